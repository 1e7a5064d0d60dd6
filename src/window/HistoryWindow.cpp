// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/HistoryWindow.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "window/UnifiedDiff.h"
#include "window/platform/Clipboard.h"
#include "window/platform/Colors.h"
#include "window/platform/Dialogs.h"
#include "window/platform/SynEdit.h"
#include "window/platform/WindowAccess.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSplitter>
#include <QTimeZone>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <Qsci/qscilexerdiff.h>
#include <Qsci/qsciscintilla.h>
#include <algorithm>

using varozidi::history::KeptVersion;

namespace {

enum Role { IndexRole = Qt::UserRole };

// Texts larger than this are shown but not compared: splitting and matching tens of megabytes
// would hold the window for seconds.
constexpr qsizetype kLargestCompared = 16 * 1024 * 1024;

QString whenOf(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc())
        .toLocalTime()
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// What the change that replaced a version changed.
QString changeOf(const QString& kind) {
    namespace h = varozidi::history;
    const std::pair<const QString&, const char*> kinds[] = {
        {h::kBody, QT_TRANSLATE_NOOP("HistoryWindow", "Text edited")},
        {h::kTitle, QT_TRANSLATE_NOOP("HistoryWindow", "Title changed")},
        {h::kLanguage, QT_TRANSLATE_NOOP("HistoryWindow", "Language changed")},
        {h::kRemoved, QT_TRANSLATE_NOOP("HistoryWindow", "Removed")},
        {h::kRestore, QT_TRANSLATE_NOOP("HistoryWindow", "Replaced by a restore")}};
    for (const auto& [name, text] : kinds)
        if (kind == name)
            return HistoryWindow::tr(text);
    return kind;
}

QString sizeOf(qint64 bytes) {
    return bytes == 1 ? HistoryWindow::tr("1 byte")
                      : HistoryWindow::tr("%1 bytes").arg(QLocale().toString(bytes));
}

// A read-only view takes the program's text only while it is writable.
void putText(QsciScintilla* view, const QByteArray& bytes, const std::function<void()>& put = {}) {
    view->setReadOnly(false);
    if (put) {
        put();
    } else {
        view->SendScintilla(QsciScintilla::SCI_CLEARALL);
        // By length: a NUL in a body is text like any other.
        view->SendScintilla(QsciScintilla::SCI_APPENDTEXT, static_cast<unsigned long>(bytes.size()),
                            bytes.constData());
        view->SendScintilla(QsciScintilla::SCI_GOTOPOS, 0UL);
    }
    view->setReadOnly(true);
}

} // namespace

HistoryWindow::HistoryWindow(QWidget* owner, Access access)
    : QWidget(owner, Qt::Window), Heading(new QLabel(this)), Versions(new QTreeWidget(this)),
      Text(new TSynEdit(this)), Differences(new QsciScintilla(this)), Status(new QLabel(this)),
      CopyButton(new QPushButton(tr("&Copy"), this)),
      UseButton(new QPushButton(tr("&Use this version"), this)),
      BringBackButton(new QPushButton(tr("&Bring back"), this)),
      CloseButton(new QPushButton(tr("Close"), this)), access_(std::move(access)) {
    setObjectName(QStringLiteral("HistoryWindow"));
    ExposeWindow(this, QAccessible::Window);
    setWindowTitle(tr("History"));
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(900, 580);
    layOut();

    connect(Versions, &QTreeWidget::currentItemChanged, this, &HistoryWindow::showCurrent);
    // Enter (or a double click) on a version: it is shown already; its text is read next.
    connect(Versions, &QTreeWidget::itemActivated, this, [this] {
        if (current() && current()->version != shownVersion_)
            showCurrent();
        Text->setFocus();
    });
    connect(CopyButton, &QPushButton::clicked, this, &HistoryWindow::CopyCurrent);
    connect(UseButton, &QPushButton::clicked, this, &HistoryWindow::useCurrent);
    connect(BringBackButton, &QPushButton::clicked, this, &HistoryWindow::bringBack);
    connect(CloseButton, &QPushButton::clicked, this, &QWidget::close);
}

void HistoryWindow::setUpViews() {
    Text->setObjectName(QStringLiteral("Text"));
    Text->setAccessibleName(tr("Text of the version"));
    Text->setReadOnly(true);
    Differences->setObjectName(QStringLiteral("Differences"));
    Differences->setAccessibleName(tr("Differences from the current text"));
    Differences->setUtf8(true);
    Differences->SendScintilla(QsciScintilla::SCI_SETUNDOCOLLECTION, 0UL);
    auto* diffLexer = new QsciLexerDiff(Differences);
    // On white paper as the highlighters are, whatever the desktop's palette; removed lines in
    // red and added ones in green, as diff viewers show them.
    diffLexer->setDefaultPaper(clWhite);
    diffLexer->setDefaultColor(clBlack);
    diffLexer->setColor(clMaroon, QsciLexerDiff::LineRemoved);
    diffLexer->setColor(clGreen, QsciLexerDiff::LineAdded);
    diffLexer->setColor(clNavy, QsciLexerDiff::Header);
    // The notes in place of a diff.
    diffLexer->setColor(clBlack, QsciLexerDiff::Comment);
    diffLexer->setDefaultFont(Text->EditorFont());
    diffLexer->setFont(Text->EditorFont(), -1);
    Differences->setLexer(diffLexer);
    Differences->setReadOnly(true);
    Differences->setMarginWidth(1, 0);
    // Scroll bars only for lines wider than the view.
    for (QsciScintilla* view : {static_cast<QsciScintilla*>(Text), Differences}) {
        view->SendScintilla(QsciScintilla::SCI_SETSCROLLWIDTH, 1UL);
        view->SendScintilla(QsciScintilla::SCI_SETSCROLLWIDTHTRACKING, 1UL);
    }
    // Tab leaves the views, which take no typing; Escape closes from them too.
    Text->installEventFilter(this);
    Differences->installEventFilter(this);
}

void HistoryWindow::layOut() {
    Heading->setObjectName(QStringLiteral("Heading"));
    Heading->setWordWrap(true);
    Versions->setObjectName(QStringLiteral("Versions"));
    Versions->setRootIsDecorated(false);
    Versions->setUniformRowHeights(true);
    Versions->setAllColumnsShowFocus(true);
    Status->setObjectName(QStringLiteral("Status"));
    Status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    CopyButton->setObjectName(QStringLiteral("CopyButton"));
    UseButton->setObjectName(QStringLiteral("UseButton"));
    BringBackButton->setObjectName(QStringLiteral("BringBackButton"));
    CloseButton->setObjectName(QStringLiteral("CloseButton"));
    setUpViews();

    const auto titled = [this](const QString& caption, QWidget* view) {
        auto* box = new QWidget(this);
        auto* column = new QVBoxLayout(box);
        column->setContentsMargins(0, 0, 0, 0);
        auto* label = new QLabel(caption, box);
        label->setBuddy(view);
        column->addWidget(label);
        column->addWidget(view, 1);
        return box;
    };
    auto* views = new QSplitter(Qt::Horizontal, this);
    views->addWidget(titled(tr("&Text of the version"), Text));
    views->addWidget(titled(tr("&Differences from the current text"), Differences));
    auto* panes = new QSplitter(Qt::Vertical, this);
    panes->addWidget(Versions);
    panes->addWidget(views);
    panes->setStretchFactor(1, 1);
    panes->setSizes({170, 330});

    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {CopyButton, UseButton, BringBackButton})
        buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Heading);
    layout->addWidget(panes, 1);
    layout->addWidget(Status);
    layout->addLayout(buttons);
    setTabOrder(Versions, Text);
    setTabOrder(Text, Differences);
    setTabOrder(Differences, CopyButton);
    setTabOrder(CopyButton, UseButton);
    setTabOrder(UseButton, BringBackButton);
    setTabOrder(BringBackButton, CloseButton);
    setFocusProxy(Versions);
}

bool HistoryWindow::ShowSnippet(qint64 id) {
    const qint64 wasId = id_;
    const bool wasRemoved = removedMode_;
    id_ = id;
    removedMode_ = false;
    if (!load(false)) {
        id_ = wasId;
        removedMode_ = wasRemoved;
        return false;
    }
    return true;
}

bool HistoryWindow::ShowRemoved() {
    const bool wasRemoved = removedMode_;
    removedMode_ = true;
    if (!load(false)) {
        removedMode_ = wasRemoved;
        return false;
    }
    return true;
}

void HistoryWindow::Reload() {
    if (removedMode_ || id_ != 0)
        load(true);
}

bool HistoryWindow::failed(const QString& what, const std::exception& e, bool quiet) {
    const QString text = what.arg(varozidi::messageOf(e));
    if (quiet)
        Status->setText(QString(text).replace(QStringLiteral("\n\n"), QStringLiteral(" ")));
    else
        MessageDlg(text, TMsgDlgType::mtError, mbOK, 0);
    return false;
}

// Everything is read first; the window changes only once all of it is in.
bool HistoryWindow::load(bool quiet) {
    QList<KeptVersion> versions;
    std::optional<varozidi::StoredBody> now;
    try {
        varozidi::Collection& collection = access_.collection();
        versions = removedMode_ ? collection.removed() : collection.versions(id_);
        if (!removedMode_)
            now = collection.read(id_);
    } catch (const std::exception& e) {
        return failed(removedMode_ ? tr("The removed snippets could not be read.\n\n%1")
                                   : tr("The history of the snippet could not be read.\n\n%1"),
                      e, quiet);
    }
    if (!removedMode_ && !now && versions.isEmpty()) {
        if (!quiet)
            MessageDlg(tr("No snippet has the ID %1, and no version of one is kept.").arg(id_),
                       TMsgDlgType::mtInformation, mbOK, 0);
        return false;
    }
    std::reverse(versions.begin(), versions.end());
    const qint64 keep = current() ? current()->version : 0;
    const bool sameText = now_ == (now ? std::optional(now->bytes) : std::nullopt);
    listed_ = versions;
    now_ = now ? std::optional(now->bytes) : std::nullopt;
    if (removedMode_) {
        setWindowTitle(tr("Removed snippets"));
        Heading->setText(tr("Snippets removed and still kept, the latest first. \"Bring back\" "
                            "puts the chosen one in the collection again."));
    } else {
        setWindowTitle(now ? tr("History of \"%1\"").arg(now->title)
                           : tr("History of snippet %1").arg(id_));
        Heading->setText(
            now ? tr("Earlier versions of \"%1\" (%2), newest first: each is the snippet as it "
                     "was before the change listed.")
                      .arg(now->title, now->language)
                : tr("Earlier versions of snippet %1, which is removed now.").arg(id_));
    }
    BringBackButton->setVisible(removedMode_);
    UseButton->setVisible(!removedMode_);
    fill(keep);
    // The version shown stays; its comparison follows the text as it is now.
    if (!current() || current()->version != shownVersion_)
        showCurrent();
    else if (!sameText)
        showDifferences(*current());
    return true;
}

void HistoryWindow::fill(qint64 keep) {
    const QSignalBlocker quiet(Versions);
    Versions->clear();
    Versions->setAccessibleName(removedMode_ ? tr("Removed snippets") : tr("Versions"));
    // The title last, taking the room that is left.
    Versions->setHeaderLabels(
        removedMode_
            ? QStringList{tr("ID"), tr("Removed"), tr("Language"), tr("Size"), tr("Title")}
            : QStringList{tr("When"), tr("What changed"), tr("Language"), tr("Size"), tr("Title")});
    QList<QTreeWidgetItem*> items;
    QTreeWidgetItem* selected = nullptr;
    for (qsizetype i = 0; i < listed_.size(); ++i) {
        const KeptVersion& v = listed_.at(i);
        const QString language = v.language.value_or(QString());
        const QString title = v.title.value_or(QString());
        auto* item = new QTreeWidgetItem(
            removedMode_ ? QStringList{QString::number(v.id), whenOf(v.changedMs), language,
                                       sizeOf(v.bodySize), title}
                         : QStringList{whenOf(v.changedMs), changeOf(v.kind), language,
                                       sizeOf(v.bodySize), title});
        item->setData(0, IndexRole, qint64(i));
        item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        items.append(item);
        if (v.version == keep)
            selected = item;
    }
    if (!selected && !items.isEmpty())
        selected = items.first();
    Versions->addTopLevelItems(items);
    for (int column = 0; column + 1 < Versions->columnCount(); ++column)
        Versions->resizeColumnToContents(column);
    if (selected)
        Versions->setCurrentItem(selected);
    if (listed_.isEmpty())
        Status->setText(removedMode_ ? tr("No removed snippet is kept.")
                                     : tr("No earlier version is kept yet: each save keeps "
                                          "the text it replaces."));
}

const KeptVersion* HistoryWindow::current() const {
    const QTreeWidgetItem* item = Versions->currentItem();
    if (!item)
        return nullptr;
    const qsizetype index = item->data(0, IndexRole).toLongLong();
    return index >= 0 && index < listed_.size() ? &listed_.at(index) : nullptr;
}

QString HistoryWindow::nameOf(const KeptVersion& version) const {
    return removedMode_ ? tr("snippet %1 as it was removed on %2")
                              .arg(version.id)
                              .arg(whenOf(version.changedMs))
                        : tr("the version replaced on %1").arg(whenOf(version.changedMs));
}

void HistoryWindow::showNothing(const QString& why) {
    shownVersion_ = 0;
    shownBody_.reset();
    putText(Text, {}, [this] { Text->Clear(); });
    putText(Differences, {});
    CopyButton->setEnabled(false);
    UseButton->setEnabled(false);
    BringBackButton->setEnabled(false);
    if (!why.isEmpty())
        Status->setText(why);
}

void HistoryWindow::showCurrent() {
    const KeptVersion* version = current();
    if (!version) {
        showNothing({});
        return;
    }
    std::optional<QByteArray> body;
    try {
        body = access_.collection().versionBody(version->id, version->version);
    } catch (const std::exception& e) {
        showNothing({});
        failed(tr("The text of this version could not be read.\n\n%1"), e, false);
        return;
    }
    if (!body) {
        showNothing(tr("This version is no longer kept."));
        return;
    }
    shownVersion_ = version->version;
    shownBody_ = std::move(body);
    // Shown as the main window shows a stored body: the bytes go to the editor as they are,
    // so that a NUL, a byte-order mark or bytes that are not UTF-8 show as what they are
    // rather than being decoded and changed.
    putText(Text, {}, [&] {
        Text->SetLinesBytes(*shownBody_,
                            access_.highlighter(version->language.value_or(QString())));
    });
    showDifferences(*version);
    CopyButton->setEnabled(true);
    UseButton->setEnabled(true);
    BringBackButton->setEnabled(true);
    Status->setText(tr("Shown: %1, %2.").arg(nameOf(*version), sizeOf(shownBody_->size())));
}

void HistoryWindow::showDifferences(const KeptVersion& version) {
    if (!shownBody_)
        return;
    QByteArray text;
    if (!now_) {
        text = tr("The snippet is removed:\nthere is no current text to compare with.\n").toUtf8();
    } else if (now_->size() > kLargestCompared || shownBody_->size() > kLargestCompared) {
        text = tr("The texts are too large\nto compare here.\n").toUtf8();
    } else {
        // From the text now to the version: what "Use this version" would change.
        const UnifiedDiff diff =
            DiffLines(*now_, *shownBody_, tr("current text").toUtf8(), nameOf(version).toUtf8());
        text = diff.text.isEmpty()
                   ? tr("The text of this version\nis the same as the current text.\n").toUtf8()
                   : diff.text;
        if (diff.rough)
            text.prepend(tr("Too many lines differ to match them one by one:\nthe differing "
                            "lines are shown removed, then added.\n")
                             .toUtf8());
    }
    putText(Differences, text);
}

bool HistoryWindow::CopyCurrent() {
    if (!shownBody_)
        return false;
    const bool exact = CopyStoredText(*shownBody_);
    Status->setText(
        exact ? tr("Copied the text of this version (%1).").arg(sizeOf(shownBody_->size()))
              : tr("Copied the text of this version, with bytes that are not UTF-8 "
                   "replaced."));
    return true;
}

void HistoryWindow::useCurrent() {
    const KeptVersion* version = current();
    if (!version || !shownBody_ || removedMode_)
        return;
    Q_EMIT UseVersion(version->id, *shownBody_, nameOf(*version));
}

void HistoryWindow::bringBack() {
    const KeptVersion* version = current();
    if (!version || !removedMode_)
        return;
    const qint64 id = version->id;
    const QString title = version->title.value_or(QString());
    qint64 back = 0;
    try {
        back = access_.collection().undelete(id);
    } catch (const std::exception& e) {
        failed(tr("The snippet could not be brought back.\n\n%1"), e, false);
        return;
    }
    load(true);
    Status->setText(back == id ? tr("\"%1\" is back in the collection.").arg(title)
                               : tr("\"%1\" is back in the collection, as snippet %2: another "
                                    "snippet has the ID %3 now.")
                                     .arg(title)
                                     .arg(back)
                                     .arg(id));
    Q_EMIT BroughtBack(back);
}

bool HistoryWindow::event(QEvent* event) {
    // Back to the window: what was saved meanwhile is listed.
    if (event->type() == QEvent::WindowActivate)
        Reload();
    return QWidget::event(event);
}

void HistoryWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool HistoryWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape) {
            close();
            return true;
        }
        const bool back = key->key() == Qt::Key_Backtab ||
                          (key->key() == Qt::Key_Tab && key->modifiers() & Qt::ShiftModifier);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            focusNextPrevChild(!back);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

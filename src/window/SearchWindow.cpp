// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/SearchWindow.h"

#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/search/SearchIndex.h"
#include "window/platform/Clipboard.h"
#include "window/platform/WindowAccess.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int kLimit = 200;
constexpr int kBusyTimeoutMs = 1000;
constexpr int kCopyWaitMs = 2000;

enum Role { IdRole = Qt::UserRole, LanguageRole, MatchStartRole, MatchLengthRole };

// Draws the matching line with the match itself in bold; the item's text stays the plain
// line, which is what assistive technology reads.
class MatchDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QString line = opt.text;
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        const int start = index.data(MatchStartRole).toInt();
        const int length = index.data(MatchLengthRole).toInt();
        QRect rect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
        // A column wider than the view is drawn to the view's edge, not past it.
        if (const auto* view = qobject_cast<const QAbstractItemView*>(widget))
            rect.setRight(std::min(rect.right(), view->viewport()->width() - 1));
        painter->save();
        painter->setPen(opt.palette.color(
            opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        QFont bold = opt.font;
        bold.setBold(true);
        QString parts[] = {line.left(start), line.mid(start, length), line.mid(start + length)};
        // The match stays in sight in a narrow column: what comes before it gives way first,
        // from its left, leaving a quarter of the width for what follows.
        const QFontMetrics plain(opt.font);
        const int before = std::max(
            0, rect.width() - QFontMetrics(bold).horizontalAdvance(parts[1]) - rect.width() / 4);
        if (plain.horizontalAdvance(parts[0]) > before)
            parts[0] = plain.elidedText(parts[0], Qt::ElideLeft, before);
        for (int i = 0; i < 3 && rect.width() > 0; ++i) {
            const QFont& font = i == 1 ? bold : opt.font;
            painter->setFont(font);
            const QString text =
                QFontMetrics(font).elidedText(parts[i], Qt::ElideRight, rect.width());
            painter->drawText(rect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text);
            rect.setLeft(rect.left() + QFontMetrics(font).horizontalAdvance(text));
        }
        painter->restore();
    }
};

} // namespace

SearchWindow::SearchWindow(QWidget* owner)
    : QWidget(owner, Qt::Window), Query(new QLineEdit(this)), Results(new QTreeWidget(this)),
      Status(new QLabel(this)), HistoryButton(new QPushButton(tr("&History of the match"), this)),
      RemovedButton(new QPushButton(tr("&Removed snippets"), this)), worker_(new QObject) {
    setObjectName(QStringLiteral("SearchWindow"));
    ExposeWindow(this, QAccessible::Window);
    setWindowTitle(tr("Search Snippets"));
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(620, 380);

    Query->setObjectName(QStringLiteral("Query"));
    Query->setPlaceholderText(tr("Text in a title, a language or a snippet"));
    Query->setAccessibleName(tr("Search for"));
    Query->setClearButtonEnabled(true);
    Results->setObjectName(QStringLiteral("Results"));
    Results->setAccessibleName(tr("Matches"));
    Results->setHeaderLabels({tr("Language"), tr("Title"), tr("Match")});
    Results->setRootIsDecorated(false);
    Results->setUniformRowHeights(true);
    Results->setAllColumnsShowFocus(true);
    Results->header()->setStretchLastSection(true);
    Results->setColumnWidth(0, 110);
    Results->setColumnWidth(1, 160);
    Results->setItemDelegateForColumn(2, new MatchDelegate(Results));
    Status->setObjectName(QStringLiteral("Status"));
    // A long title in a note must not widen the window past the screen.
    Status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setFocusProxy(Query);

    HistoryButton->setObjectName(QStringLiteral("HistoryButton"));
    HistoryButton->setToolTip(tr("The versions kept of the chosen match (Ctrl+H)"));
    RemovedButton->setObjectName(QStringLiteral("RemovedButton"));
    RemovedButton->setToolTip(tr("The snippets removed and still kept (Ctrl+Shift+H)"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Query);
    layout->addWidget(Results, 1);
    layout->addWidget(Status);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(HistoryButton);
    buttons->addWidget(RemovedButton);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    const auto history = [this] {
        if (const QTreeWidgetItem* item = Results->currentItem())
            Q_EMIT HistoryWanted(item->data(0, IdRole).toLongLong());
        else
            Status->setText(tr("Choose a match first; its history is then shown."));
    };
    connect(HistoryButton, &QPushButton::clicked, this, history);
    connect(RemovedButton, &QPushButton::clicked, this, &SearchWindow::RemovedWanted);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this), &QShortcut::activated, this,
            history);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H), this),
            &QShortcut::activated, this, &SearchWindow::RemovedWanted);

    connect(Query, &QLineEdit::textChanged, this, &SearchWindow::search);
    connect(Query, &QLineEdit::returnPressed, this, [this] {
        choose(Results->currentItem() ? Results->currentItem() : Results->topLevelItem(0));
    });
    connect(Results, &QTreeWidget::itemActivated, this, &SearchWindow::choose);
    // Both would take Ctrl+C for their own text otherwise.
    Query->installEventFilter(this);
    Results->installEventFilter(this);

    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start();
}

SearchWindow::~SearchWindow() {
    latest_->store(0);
    thread_.quit();
    thread_.wait();
}

void SearchWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool SearchWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Up and down move through the matches while the caret stays in the query. Taken
        // here, not where the query passes them on: at either end of the list the matches
        // pass them on in turn, back to the window.
        if (watched == Query && event->type() == QEvent::KeyPress &&
            (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up)) {
            QKeyEvent move(key->type(), key->key(), key->modifiers(), key->text());
            QApplication::sendEvent(Results, &move);
            return true;
        }
        if (copyKey(watched, key)) {
            if (event->type() == QEvent::ShortcutOverride) {
                event->accept(); // ours: no shortcut of the application may take it
            } else if (key->matches(QKeySequence::Copy)) {
                CopyCurrent();
            } else if (CopyCurrent()) {
                close();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool SearchWindow::copyKey(QObject* watched, QKeyEvent* key) {
    const bool copy = key->matches(QKeySequence::Copy);
    const bool copyAndClose = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                              key->modifiers().testFlag(Qt::ControlModifier);
    if (!copy && !copyAndClose)
        return false;
    // Selected text of the query is copied as in any field.
    if (copy && watched == Query && Query->hasSelectedText())
        return false;
    return Results->currentItem() != nullptr;
}

bool SearchWindow::CopyCurrent() {
    QTreeWidgetItem* item = Results->currentItem();
    if (!item)
        return false;
    std::optional<varozidi::StoredBody> body;
    try {
        const auto collection =
            varozidi::Collection::Open(database_, {}, varozidi::Collection::Access::ReadOnly);
        // Another program's write holds the file for a moment at most; a copy may wait that
        // long.
        collection->setWaitLimit(kCopyWaitMs);
        body = collection->read(item->data(0, IdRole).toLongLong());
    } catch (const std::exception& e) {
        Status->setText(tr("Nothing was copied: %1").arg(varozidi::messageOf(e)));
        return false;
    }
    if (!body) {
        Status->setText(tr("Nothing was copied: the snippet is no longer in the collection."));
        return false;
    }
    const QByteArray& bytes = body->bytes;
    const bool exact = CopyStoredText(bytes);

    // Lines as the editor counts them: LF, CR LF and a lone CR each end one.
    qsizetype lines = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n' ||
            (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')))
            ++lines;
    if (!bytes.isEmpty() && !bytes.endsWith('\n') && !bytes.endsWith('\r'))
        ++lines;
    QString note = tr("Copied %1 (%2), %3")
                       .arg(body->title, body->language,
                            lines == 1 ? tr("1 line") : tr("%1 lines").arg(lines));
    // The clipboard carries text; bytes that are not UTF-8 cannot travel as they are.
    if (!exact)
        note += tr(", with bytes that are not UTF-8 replaced");
    Status->setText(note);
    return true;
}

void SearchWindow::Refresh() {
    if (Query->text().isEmpty())
        return;
    const QTreeWidgetItem* current = Results->currentItem();
    keepId_ = current ? current->data(0, IdRole).toLongLong() : 0;
    search();
}

void SearchWindow::search() {
    const quint64 generation = ++generation_;
    latest_->store(generation);
    const QString text = Query->text();
    if (text.isEmpty()) {
        Results->clear();
        Status->clear();
        return;
    }
    Status->setText(tr("Searching..."));
    const varozidi::CollectionAddress address = database_;
    const auto latest = latest_;
    QMetaObject::invokeMethod(worker_, [this, generation, text, address, latest] {
        if (latest->load() != generation)
            return;
        varozidi::search::Outcome outcome;
        QString failure;
        const auto stopped = [&latest, generation] {
            return latest->load(std::memory_order_relaxed) != generation;
        };
        // This thread's own connection for each search.
        try {
            const auto collection =
                varozidi::Collection::Open(address, {}, varozidi::Collection::Access::ReadOnly);
            collection->setWaitLimit(kBusyTimeoutMs);
            outcome = collection->find(text, kLimit, stopped);
        } catch (const std::exception& e) {
            failure = varozidi::messageOf(e);
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, text, outcome, failure] {
                present(generation, text, outcome, failure);
            },
            Qt::QueuedConnection);
    });
}

void SearchWindow::present(quint64 generation, const QString& text,
                           const varozidi::search::Outcome& outcome, const QString& failure) {
    if (generation != generation_)
        return;
    Results->clear();
    QList<QTreeWidgetItem*> items;
    for (const auto& hit : outcome.hits) {
        auto* item = new QTreeWidgetItem({hit.language, hit.title, hit.line});
        item->setData(0, IdRole, hit.id);
        item->setData(0, LanguageRole, hit.language);
        item->setData(2, MatchStartRole, hit.matchStart);
        item->setData(2, MatchLengthRole, hit.matchLength);
        item->setToolTip(2, hit.line);
        items.append(item);
    }
    Results->addTopLevelItems(items);
    QTreeWidgetItem* current = items.isEmpty() ? nullptr : items.first();
    for (QTreeWidgetItem* item : items)
        if (keepId_ != 0 && item->data(0, IdRole).toLongLong() == keepId_)
            current = item;
    keepId_ = 0;
    if (current)
        Results->setCurrentItem(current);
    if (!failure.isEmpty())
        Status->setText(tr("The collection could not be searched: %1").arg(failure));
    else if (items.isEmpty())
        Status->setText(tr("No snippet holds \"%1\".").arg(text));
    else
        Status->setText(items.size() == 1       ? tr("1 snippet")
                        : items.size() < kLimit ? tr("%1 snippets").arg(items.size())
                                                : tr("The first %1 snippets").arg(kLimit));
    if (outcome.indexFailed)
        Q_EMIT IndexFailed();
}

void SearchWindow::choose(QTreeWidgetItem* item) {
    if (item)
        Q_EMIT Chosen(item->data(0, IdRole).toLongLong(), item->data(0, LanguageRole).toString());
}

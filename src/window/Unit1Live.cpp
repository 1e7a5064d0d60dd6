// SPDX-License-Identifier: GPL-3.0-or-later
// The window follows what others change in the collection: another window, the companion, a
// script, another machine on the server. The lists are refilled in place and the shown snippet
// brought up to date; no click handler runs and nothing is asked.

#include "window/Unit1.h"

#include "data/collection/Collection.h"
#include "data/collection/CollectionWatcher.h"
#include "data/recovery/Recovery.h"
#include "data/store/ADODB.h"
#include "data/store/SnippetQueries.h"
#include "data/sync/SyncKeeper.h"
#include "window/SearchWindow.h"

#include <QApplication>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QScrollBar>
#include <QTimer>

namespace {

// Changes that come in a burst (an import, a script) are taken together.
constexpr int kSettleMs = 150;
// A refresh that had to wait (a click being handled, a question open, the file busy) is
// tried again this soon.
constexpr int kRetryMs = 400;
// How long a refresh waits for another program's write to the file (a commit takes less);
// it never holds up the window longer, and comes back a little later.
constexpr int kRefreshBusyMs = 50;
constexpr int kBusyRetryMs = 1000;
// The settings read again this long after the data folder last changed.
constexpr int kSyncChoiceMs = 500;

// The entries as they are, to tell whether a list needs refilling at all.
QList<std::pair<QString, qint64>> entriesOf(const TListBox* list) {
    QList<std::pair<QString, qint64>> out;
    out.reserve(list->Count());
    for (int i = 0; i < list->Count(); ++i)
        out.append({list->Text(i), list->Value(i)});
    return out;
}

// Refills a list where the user sees it: the selection as given (no click), the scroll
// position where it was.
void refill(TListBox* list, const QList<std::pair<QString, qint64>>& entries, int selected) {
    const int scroll = list->verticalScrollBar()->value();
    if (entriesOf(list) != entries)
        list->SetEntries(entries);
    if (list->ItemIndex() != selected)
        list->setItemIndex(selected);
    list->verticalScrollBar()->setValue(scroll);
}

// The collection's statements wait only briefly while the refresh runs.
class BriefWaits {
public:
    explicit BriefWaits(TADOConnection* connection) : connection_(connection) {
        if (auto* collection = connection_->collection())
            collection->setWaitLimit(kRefreshBusyMs);
    }
    ~BriefWaits() {
        if (auto* collection = connection_->collection())
            collection->setWaitLimit(varozidi::Collection::kWaitLimitMs);
    }
    BriefWaits(const BriefWaits&) = delete;
    BriefWaits& operator=(const BriefWaits&) = delete;

private:
    TADOConnection* connection_;
};

// Where the list shows a language; where another spelling of its name leads the list (the
// first row of a spelling went away), there.
int rowOfLanguage(const QStringList& languages, const QString& name) {
    const int exact = int(languages.indexOf(name));
    if (exact >= 0 || name.isEmpty())
        return exact;
    for (int i = 0; i < languages.size(); ++i)
        if (languages.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

} // namespace

void TForm1::setUpLiveCollection() {
    LiveNote = new QLabel(SynEdit1);
    LiveNote->setObjectName(QStringLiteral("LiveNote"));
    // A note about the text, not part of it.
    LiveNote->setFont(QApplication::font());
    LiveNote->setAutoFillBackground(true);
    LiveNote->setMargin(4);
    LiveNote->setWordWrap(true);
    LiveNote->hide();
    SynEdit1->AddNote(LiveNote, Qt::AlignLeft);

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setSingleShot(true);
    connect(refreshTimer_, &QTimer::timeout, this, &TForm1::runPendingRefresh);

    Watcher = new CollectionWatcher(ADOConnection1, this);
    connect(Watcher, &CollectionWatcher::Changed, this, &TForm1::scheduleRefresh);
    connect(Watcher, &CollectionWatcher::Replaced, this, [this] {
        reopenPending_ = true;
        scheduleRefresh({});
    });
    Watcher->Watch();

    followSyncChoice();
    // The companion's `sync --folder` and `sync --stop` change the settings while the window
    // runs: the data folder is watched, and the choice read again once it is quiet.
    auto* settings = new QFileSystemWatcher(QStringList{DataDir}, this);
    auto* settled = new QTimer(this);
    settled->setSingleShot(true);
    settled->setInterval(kSyncChoiceMs);
    connect(settings, &QFileSystemWatcher::directoryChanged, settled, qOverload<>(&QTimer::start));
    connect(settled, &QTimer::timeout, this, &TForm1::followSyncChoice);
}

void TForm1::followSyncChoice() {
    const QString folder = varozidi::sync::ChosenFolder(DataDir);
    if (Sync && folder == syncFolder_)
        return;
    delete Sync; // a pass under way ends first
    Sync = nullptr;
    syncFolder_ = folder;
    if (folder.isEmpty() || !ADOConnection1->Connected())
        return;
    Sync = new varozidi::sync::SyncKeeper(ADOConnection1->ConnectionString(), folder, this);
    connect(Sync, &varozidi::sync::SyncKeeper::Synced, this,
            [this](const varozidi::sync::Report& report) {
                if (!report.conflicts.isEmpty())
                    showLiveNote(tr("Sync folder: %1").arg(report.conflicts.join(u'\n')));
            });
    connect(Sync, &varozidi::sync::SyncKeeper::Failed, this, [this](const QString& message) {
        const QString note = tr("Sync folder: %1");
        if (!message.isEmpty())
            showLiveNote(note.arg(message));
        else if (LiveNote->isVisible() && LiveNote->text().startsWith(note.arg(QString())))
            LiveNote->hide();
    });
}

void TForm1::scheduleRefresh(const QList<qint64>& ids) {
    if (ids.isEmpty())
        pendingAll_ = true;
    else
        pendingIds_ += ids;
    if (!refreshTimer_->isActive())
        refreshTimer_->start(kSettleMs);
}

void TForm1::runPendingRefresh() {
    // Never under a click, a question, a menu, or a backup or restore.
    if (handlerDepth_ > 0 || busy_ || QApplication::activeModalWidget() ||
        QApplication::activePopupWidget()) {
        refreshTimer_->start(kRetryMs);
        return;
    }
    const QList<qint64> ids = pendingAll_ ? QList<qint64>{} : pendingIds_;
    pendingAll_ = false;
    pendingIds_.clear();
    // The file was replaced under the connection: what it reads is no longer the collection.
    if (reopenPending_) {
        reopenPending_ = false;
        ADOConnection1->Close();
    }
    // A refresh is no action of the user's: a failure is not shown. The first may meet a
    // server connection that was lost meanwhile, which the second then makes again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            const BriefWaits brief(ADOConnection1);
            RefreshFromElsewhere(ids);
            return;
        } catch (const std::exception&) {
        }
    }
    // Someone holds the file: come back, looking at everything. A server that is away says
    // so to the watcher, which asks again once it is back.
    if (ADOConnection1->Connected() && !ADOConnection1->collection()->address().shared()) {
        pendingAll_ = true;
        refreshTimer_->start(kBusyRetryMs);
    }
}

void TForm1::RefreshFromElsewhere(const QList<qint64>& ids) {
    // Everything is read first; the window changes only once all of it is in.
    const QStringList languages = DistinctLanguages(*ADOTable1);
    int languageRow = -1;
    // After a backup or restore no language is selected while the titles stay: they are left
    // as they are.
    const bool hadLanguage = ListBox1->ItemIndex() >= 0;
    if (hadLanguage) {
        languageRow = rowOfLanguage(languages, ListBox1->Text(ListBox1->ItemIndex()));
    }
    QList<std::pair<QString, qint64>> titles;
    if (languageRow >= 0)
        titles = titlesOf(languages.at(languageRow));
    const qint64 selectedId = ListBox2->ItemIndex() >= 0 ? selectedSnippetId() : 0;
    const auto rowOf = [&titles](qint64 id) {
        for (int i = 0; i < titles.size(); ++i)
            if (titles.at(i).second == id)
                return i;
        return -1;
    };
    int titleRow = rowOf(selectedId);
    // The selected snippet was given another language: the selection goes along with it.
    if (hadLanguage && selectedId != 0 && titleRow < 0)
        if (const int moved = rowOfLanguage(languages, languageOf(selectedId)); moved >= 0) {
            languageRow = moved;
            titles = titlesOf(languages.at(moved));
            titleRow = rowOf(selectedId);
        }

    QList<std::pair<QString, qint64>> languageEntries;
    for (const QString& language : languages)
        languageEntries.append({language, 0});
    refill(ListBox1, languageEntries, languageRow);
    // A language gone with its last snippet takes its titles along; a title removed elsewhere
    // is no longer selected, and the editor keeps its text.
    if (hadLanguage)
        refill(ListBox2, titles, titleRow);

    refreshShownSnippet(ids);
    if (Search && Search->isVisible())
        Search->Refresh();
    historyFollows();
}

QString TForm1::languageOf(qint64 id) {
    OpenFiltered(*ADOTable1, IdFilter(id));
    const QString language = ADOTable1->Eof()
                                 ? QString()
                                 : ADOTable1->FieldByName(QStringLiteral("Language")).AsString();
    CloseUnfiltered(*ADOTable1);
    return language;
}

void TForm1::refreshShownSnippet(const QList<qint64>& ids) {
    using Found = varozidi::ShownSnippet::Found;
    const auto update = shown_.refresh(ids, [this] { return SynEdit1->TextBytes(); });
    // The kept text too: the next start finds the snippet by the names it has now.
    if (update.renamed && recordKept_)
        RecoveryKeeper->Changed();
    if (update.found == Found::Gone)
        showLiveNote(tr("This snippet was removed elsewhere. Your text stays here; \"Save "
                        "Edits\" offers to keep it as a new snippet."));
    if (update.found == Found::Kept)
        showLiveNote(tr("The stored text of this snippet was changed elsewhere. Your unsaved "
                        "changes are kept; saving them asks what to do."));
    if (update.found != Found::Reloaded)
        return;
    // The caret and the view stay where they were, as far as the new text reaches.
    const auto caret = SynEdit1->SendScintilla(QsciScintilla::SCI_GETCURRENTPOS);
    const auto anchor = SynEdit1->SendScintilla(QsciScintilla::SCI_GETANCHOR);
    const auto lineOf = [this](long pos) {
        return SynEdit1->SendScintilla(QsciScintilla::SCI_LINEFROMPOSITION, pos);
    };
    const auto columnOf = [this](long pos) {
        return SynEdit1->SendScintilla(QsciScintilla::SCI_GETCOLUMN, pos);
    };
    const long caretLine = lineOf(caret), caretColumn = columnOf(caret);
    const long anchorLine = lineOf(anchor), anchorColumn = columnOf(anchor);
    const long firstLine = SynEdit1->SendScintilla(QsciScintilla::SCI_GETFIRSTVISIBLELINE);
    const long xOffset = SynEdit1->SendScintilla(QsciScintilla::SCI_GETXOFFSET);

    SynEdit1->SetLinesBytes(shown_.loaded(), SynEdit1->Highlighter());
    const long lines = SynEdit1->SendScintilla(QsciScintilla::SCI_GETLINECOUNT);
    const auto at = [&](long line, long column) {
        return SynEdit1->SendScintilla(QsciScintilla::SCI_FINDCOLUMN,
                                       static_cast<unsigned long>(std::min(line, lines - 1)),
                                       column);
    };
    SynEdit1->SendScintilla(QsciScintilla::SCI_SETSEL, at(anchorLine, anchorColumn),
                            at(caretLine, caretColumn));
    SynEdit1->SendScintilla(QsciScintilla::SCI_SETFIRSTVISIBLELINE, firstLine);
    SynEdit1->SendScintilla(QsciScintilla::SCI_SETXOFFSET, xOffset);
    showLiveNote(tr("This snippet was updated from elsewhere."));
}

void TForm1::showLiveNote(const QString& text) {
    LiveNote->setText(text);
    LiveNote->show();
    LiveNote->raise();
    SynEdit1->LayOutNotes();
}

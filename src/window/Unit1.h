// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "data/collection/Collection.h"
#include "data/collection/ShownSnippet.h"
#include "data/core/Errors.h"
#include "window/platform/SynEdit.h"
#include "window/platform/TListBox.h"

#include <QIcon>
#include <QList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

class CollectionWatcher;
namespace varozidi::sync {
class SyncKeeper;
} // namespace varozidi::sync
class HistoryWindow;
class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QTimer;
class QLineEdit;
class QMenu;
class QPushButton;
class QSplitter;
class QToolButton;
class SearchWindow;
class TForm2;
class TADOConnection;
class TADOTable;
namespace varozidi::recovery {
class Keeper;
struct Record;
} // namespace varozidi::recovery
class TSynPasSyn;
class TSynJavaSyn;
class TSynCSSyn;
class TSynCssSyn;
class TSynJScriptSyn;
class TSynHTMLSyn;
class TSynPHPSyn;
class TSynVBSyn;
class TSynXMLSyn;
class TSynVBScriptSyn;
class TSynSQLSyn;
class TSynCppSyn;

namespace Ui {
class TForm1;
}

// The language keywords that pick a highlighter; see TForm1::HighlighterFor.
inline constexpr std::array<QStringView, 13> LangTable = {
    u"General", u"Java", u"Delphi", u"CSharp",   u"CSS", u"Javascript", u"HTML",
    u"PHP",     u"VB",   u"XML",    u"VBScript", u"SQL", u"C++"};

// The main window: the language and title lists, the editor, the tool bars, and the snippet
// store operations behind them.
class TForm1 : public QWidget {
    Q_OBJECT
    // The snippet in the editor and the rules of saving it; first, as the members below are
    // bound to it.
    varozidi::ShownSnippet shown_;

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Folders resolved at creation; both end in '/'.
    QString AppDir;
    QString DataDir;
    // 1 while the editor holds user changes that were neither saved nor dismissed.
    std::uint8_t& SnippitChanged = shown_.unsaved();
    // The ID of the snippet in the editor; 0 while it holds no stored snippet. 64 bits, as
    // other programs may number rows past 2^31. Changed only through the shown snippet.
    const qint64& CurrentSnippitID = shown_.id();

    // Store operations. Each throws varozidi::Error on failure; the handlers that call them
    // run inside a guard that shows the error.
    void ListLangsExecute(QObject* Sender = nullptr);
    void ListVarozidiExecute(QObject* Sender = nullptr);
    void ShowSnippitExecute(QObject* Sender = nullptr);
    void NewSnippitExecute(QObject* Sender = nullptr);
    void EditSnippitExecute(QObject* Sender = nullptr);
    void DeleteSnippitExecute(QObject* Sender = nullptr);

    // Handlers of the controls.
    void ListBox1Click(QObject* Sender = nullptr);
    void ListBox2Click(QObject* Sender = nullptr);
    void Button1Click(QObject* Sender = nullptr);
    void Button2Click(QObject* Sender = nullptr);
    void ToolButton1Click(QObject* Sender = nullptr);
    void ToolButton2Click(QObject* Sender = nullptr);
    void ToolButton4Click(QObject* Sender = nullptr);
    void ToolButton5Click(QObject* Sender = nullptr);
    void ToolButton6Click(QObject* Sender = nullptr);
    void Cut1Click(QObject* Sender = nullptr);
    void Copy1Click(QObject* Sender = nullptr);
    void Paste1Click(QObject* Sender = nullptr);
    void WordWrap1Click(QObject* Sender = nullptr);
    void SynEdit1Change(QObject* Sender = nullptr);
    void FormCloseQuery(QObject* Sender, bool& CanClose);

    // Backup and restore of the whole database file, and the spare backup command that
    // nothing invokes.
    void ToolButton9Click(QObject* Sender = nullptr);
    void ToolButton8Click(QObject* Sender = nullptr);
    void BackupDataExecute(QObject* Sender = nullptr);
    bool WinCopyFile(const QString& source, const QString& dest);
    // How long backup and restore wait for another program to let go of the database.
    int LockWaitLimitMs = 30000;

    // The search window (Ctrl+Shift+F, or Ctrl+F outside the editor), and the way a match
    // chosen there is opened: through the same clicks, question included.
    void OpenSearch();
    void ShowSearchHit(qint64 id, const QString& language);
    SearchWindow* Search = nullptr;

    // The versions kept of a snippet (Ctrl+H: the one shown) and the snippets removed, in a
    // window of their own (Unit1History.cpp). A version taken from there goes into the editor
    // as unsaved changes of its snippet, which is chosen first as any other would be.
    QAction* ShowHistory = nullptr;
    HistoryWindow* History = nullptr;
    void OpenHistory();
    void OpenHistoryOf(qint64 id);
    void OpenRemoved();
    void UseVersion(qint64 id, const QByteArray& body, const QString& what);

    // Following what others change in the collection (Unit1Live.cpp): the watcher, the quiet
    // note at the bottom of the editor, and the refresh itself, which reads first and then
    // updates the lists in place, runs no click handler and asks nothing.
    CollectionWatcher* Watcher = nullptr;
    QLabel* LiveNote = nullptr;
    // The sync folder the settings name, kept in step while the window runs; its conflicts
    // and failures are told in the note.
    varozidi::sync::SyncKeeper* Sync = nullptr;
    QString syncFolder_;
    void RefreshFromElsewhere(const QList<qint64>& ids = {});
    // Unsaved text kept on the disk until it is saved or dismissed (see Recovery.h). The
    // next start offers what a program that ended without closing left: OfferRecovery, once
    // the window is on the screen.
    varozidi::recovery::Keeper* RecoveryKeeper = nullptr;
    void OfferRecovery();
    // SIGTERM, SIGHUP, SIGINT: the unsaved text is kept, the database let go, and the program
    // ends at once, asking nothing.
    [[noreturn]] void EndAtSignal(int signal);
    // The same for a window still being made (a start-up error box is open); nothing when
    // there is none.
    static void EndStartingAtSignal(int signal);

    // The highlighter a language name selects.
    TSynCustomHighlighter* HighlighterFor(const QString& language) const;

    // Components, by their names.
    QSplitter* Splitter1;
    QFrame* Panel1;
    QSplitter* Splitter2;
    QGroupBox* GroupBox1;
    TListBox* ListBox1;
    QGroupBox* GroupBox2;
    QWidget* ToolBar1;
    QToolButton* ToolButton1;
    QToolButton* ToolButton2;
    QFrame* ToolButton3;
    QToolButton* ToolButton4;
    TListBox* ListBox2;
    QFrame* Panel3;
    QGroupBox* GroupBox3;
    QLineEdit* Edit1;
    QGroupBox* GroupBox4;
    QLineEdit* Edit2;
    QPushButton* Button1;
    QPushButton* Button2;
    QFrame* Panel2;
    QWidget* ToolBar2;
    QToolButton* ToolButton5;
    QToolButton* ToolButton6;
    QFrame* ToolButton7;
    QToolButton* ToolButton9;
    QToolButton* ToolButton8;
    TSynEdit* SynEdit1;

    TADOConnection* ADOConnection1 = nullptr;
    TADOTable* ADOTable1 = nullptr;

    QObject* ActionList1;
    QAction* ListLangs;
    QAction* ListVarozidi;
    QAction* ShowSnippit;
    QAction* NewSnippit;
    QAction* EditSnippit;
    QAction* DeleteSnippit;
    QAction* BackupData;
    QAction* RestoreData;

    QList<QIcon> ImageList1;
    QObject* BalloonHint1;

    QMenu* PopupMenu1;
    QAction* Cut1;
    QAction* Copy1;
    QAction* Paste1;
    QAction* N1;
    QAction* WordWrap1;

    TSynPasSyn* SynPasSyn1;
    TSynJavaSyn* SynJavaSyn1;
    TSynCSSyn* SynCSSyn1;
    TSynCssSyn* SynCssSyn1;
    TSynJScriptSyn* SynJScriptSyn1;
    TSynHTMLSyn* SynHTMLSyn1;
    TSynPHPSyn* SynPHPSyn1;
    TSynVBSyn* SynVBSyn1;
    TSynXMLSyn* SynXMLSyn1;
    TSynVBScriptSyn* SynVBScriptSyn1;
    TSynSQLSyn* SynSQLSyn1;
    TSynCppSyn* SynCppSyn1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void createComponents();
    void takeDesignedComponents();
    void layOutForm();
    void createCollectionAccess();
    void createActionsAndMenu();
    void createHighlighters();
    void connectHandlers();

    template <class F> void switchTo(TListBox* list, F&& open);
    template <class F> void copyWithDatabaseClosed(bool refillBeforeHiding, F&& copy);
    std::unique_ptr<varozidi::CollectionHold>
    waitForOtherPrograms(varozidi::CollectionHold::Keep keep);
    // what: the notice's text; the search index's by default.
    void showSlowWork(bool slow, const QString& what = {});
    void showSlowProgress(int percent);
    bool settleUnsavedChanges(const QString& question);
    bool saveOrOfferNew();
    void offerToSaveAsNew(const QString& why);
    void openNewSnippetPanel();
    bool settleConcurrentSave(const QString& why);
    void forgetShownSnippet();
    void findShownSnippetAgain();
    void listTitlesOfSelectedLanguage();
    QList<std::pair<QString, qint64>> titlesOf(const QString& language);
    void setUpLiveCollection();
    // The sync folder the settings choose now: the keeper started, moved or stopped.
    void followSyncChoice();
    void createHistoryAction();
    HistoryWindow* historyWindow();
    void showBroughtBack(qint64 id);
    void historyFollows();
    // Runs what the user asked for outside the window's own controls as a click handler runs.
    void asHandler(const std::function<void()>& handler);
    void scheduleRefresh(const QList<qint64>& ids);
    void runPendingRefresh();
    void refreshShownSnippet(const QList<qint64>& ids);
    QString languageOf(qint64 id);
    void showLiveNote(const QString& text);
    qint64 selectedSnippetId() const;
    void startRecovery();
    void syncRecovery();
    void recoveryLoaded(const QByteArray& body);
    varozidi::recovery::Record recoverySnapshot() const;
    void showRecovered(const varozidi::recovery::Record& record);
    bool storedBodyIs(qint64 id, const QByteArray& text);

    // A save goes ahead regardless of a write made elsewhere once the user chose to overwrite.
    bool overwriteChanges_ = false;
    // The new-snippet panel was opened to give the editor's text a snippet of its own.
    bool saveTextAsNew_ = false;
    // Handlers running now; a refresh waits until none is, so that it never changes the lists
    // under a click or a question.
    int handlerDepth_ = 0;
    QTimer* refreshTimer_ = nullptr;
    QList<qint64> pendingIds_;
    bool pendingAll_ = false;
    bool reopenPending_ = false;
    // A backup or restore is running: the window may not close under it.
    bool busy_ = false;
    // The collection as the recovery record names it, once known.
    mutable QString recoveryCollection_;
    // A record of this window may be on the disk.
    bool recordKept_ = false;
    // The editor's text as last taken for the record; its memory serves the next one.
    mutable QByteArray recoveryText_;
    // The notice shown while the search index is built before the busy notice exists.
    TForm2* slowNotice_ = nullptr;

    Ui::TForm1* ui;
    // Highlighter for each LangTable index.
    std::array<TSynCustomHighlighter*, LangTable.size()> highlighterByKeyword_{};
};

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: its components, start-up and the simple editor commands.

#include "window/Unit1.h"
#include "ui_Unit1.h"

#include "data/collection/Collection.h"
#include "data/collection/DatabaseChoice.h"
#include "data/files/DataPath.h"
#include "data/files/IniFile.h"
#include "data/recovery/Recovery.h"
#include "data/store/ADODB.h"
#include "data/transfer/Migration.h"
#include "window/Forms.h"
#include "window/Resources.h"
#include "window/platform/Dialogs.h"
#include "window/platform/Fonts.h"
#include "window/platform/TabOrder.h"
#include "window/platform/WindowAccess.h"

#include <Tessel.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QShortcut>
#include <QTimer>
#include <cstdio>

namespace {

// The tool pictures, by index.
constexpr const char* kImages[] = {
    ":/images/0-new.png",  ":/images/1-remove.png", ":/images/2-help.png",   ":/images/3-save.png",
    ":/images/4-undo.png", ":/images/5-backup.png", ":/images/6-restore.png"};

// Qt's group boxes keep margins of their own around their children, which differ between
// styles, while the form fixes where the children sit: the box's contents margins are those
// of the form, and are set again whenever the style works out its own.
class FormInsets : public QObject {
public:
    FormInsets(QWidget* box, const QMargins& insets) : QObject(box), insets_(insets) {
        box->layout()->setContentsMargins(0, 0, 0, 0);
        box->setContentsMargins(insets);
        box->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = static_cast<QWidget*>(watched);
        if (event->type() == QEvent::ContentsRectChange && box->contentsMargins() != insets_)
            box->setContentsMargins(insets_);
        return false;
    }

private:
    QMargins insets_;
};

} // namespace

namespace {

// The window while its constructor runs: a start-up error box may be open, and a signal then
// must end the program all the same.
TForm1* starting = nullptr;

} // namespace

void TForm1::EndStartingAtSignal(int signal) {
    if (starting)
        starting->EndAtSignal(signal);
}

TForm1::TForm1(QWidget* parent) : QWidget(parent), ui(new Ui::TForm1) {
    starting = this;
    const auto started = qScopeGuard([] { starting = nullptr; });
    InitResources();
    ExposeWindow(this, QAccessible::Window);
    ui->setupUi(this);
    createComponents();
    createHighlighters();
    connectHandlers();
    FormCreate();
    setUpLiveCollection();
    startRecovery();
}

TForm1::~TForm1() {
    delete ui;
}

void TForm1::createComponents() {
    takeDesignedComponents();
    layOutForm();
    createCollectionAccess();
    createActionsAndMenu();
}

void TForm1::takeDesignedComponents() {
    Splitter1 = ui->Splitter1;
    Panel1 = ui->Panel1;
    Splitter2 = ui->Splitter2;
    GroupBox1 = ui->GroupBox1;
    ListBox1 = ui->ListBox1;
    GroupBox2 = ui->GroupBox2;
    ToolBar1 = ui->ToolBar1;
    ToolButton1 = ui->ToolButton1;
    ToolButton2 = ui->ToolButton2;
    ToolButton3 = ui->ToolButton3;
    ToolButton4 = ui->ToolButton4;
    ListBox2 = ui->ListBox2;
    Panel3 = ui->Panel3;
    GroupBox3 = ui->GroupBox3;
    Edit1 = ui->Edit1;
    GroupBox4 = ui->GroupBox4;
    Edit2 = ui->Edit2;
    Button1 = ui->Button1;
    Button2 = ui->Button2;
    Panel2 = ui->Panel2;
    ToolBar2 = ui->ToolBar2;
    ToolButton5 = ui->ToolButton5;
    ToolButton6 = ui->ToolButton6;
    ToolButton7 = ui->ToolButton7;
    ToolButton9 = ui->ToolButton9;
    ToolButton8 = ui->ToolButton8;
    SynEdit1 = ui->SynEdit1;
}

void TForm1::layOutForm() {
    setFont(FormFont());
    // Reading its seven sizes took a tenth of the time before the window could show; the
    // icon follows on the loop's first turn, and message boxes before it take it themselves.
    QTimer::singleShot(0, this, [this] { setWindowIcon(ProgramIcon()); });
    SetMessageDlgOwner(this);
    resize(645, 412);
    move(0, 0);
    Splitter1->setSizes({217, 425});
    Splitter2->setSizes({160, 247});
    Splitter1->setStretchFactor(1, 1);
    Splitter2->setStretchFactor(1, 1);
    // Left, top (below the caption), right and bottom, as the form places the children.
    new FormInsets(GroupBox1, {2, 15, 2, 2});
    new FormInsets(GroupBox2, {2, 15, 2, 2});
    new FormInsets(GroupBox3, {16, 24, 14, 10});
    new FormInsets(GroupBox4, {16, 24, 14, 11});

    for (const char* image : kImages)
        ImageList1.append(QIcon(QString::fromLatin1(image)));
    const std::pair<QToolButton*, int> pictures[] = {
        {ToolButton1, 0}, {ToolButton2, 1}, {ToolButton4, 2}, {ToolButton5, 3},
        {ToolButton6, 4}, {ToolButton9, 5}, {ToolButton8, 6}};
    for (auto [button, index] : pictures)
        button->setIcon(ImageList1.at(index));
}

void TForm1::createCollectionAccess() {
    ADOConnection1 = new TADOConnection(this);
    ADOConnection1->setObjectName(QStringLiteral("ADOConnection1"));
    ADOConnection1->setLoginPrompt(false);
    ADOConnection1->OnSlowOpen = [this](bool slow) { showSlowWork(slow); };
    // A long save shows the notice and the window paints; it may not close under the save.
    ADOConnection1->OnSlowWrite = [this](bool slow) {
        busy_ = slow;
        showSlowWork(slow, tr("Saving..."));
    };
    // A signal is heard during a write too, at once, not only once the notice shows.
    ADOConnection1->OnWriteWaiting = [] { varozidi::recovery::HearTermination(); };
    // Said where a desktop program's warnings go: nothing waits for a lock file no one holds.
    ADOConnection1->OnLockFileLeft = [](const QString& message) {
        std::fprintf(stderr, "varozidi: warning: %s\n", message.toLocal8Bit().constData());
    };
    ADOConnection1->OnSlowProgress = [this](int percent) { showSlowProgress(percent); };
    ADOConnection1->OnConverting = [this](bool slow) {
        showSlowWork(slow, tr("Converting your snippets..."));
    };
    ADOConnection1->OnConverted = [this](const varozidi::transfer::JetConversion& converted) {
        const QString text =
            tr("Your snippet collection was in the old Jet 4.0 database format of the Windows "
               "program. Varozidi has converted it into its own format (%1) and uses the "
               "converted collection from now on.\n\nYour original file was not changed; it is "
               "kept as\n%2")
                .arg(converted.snippets == 1 ? tr("1 snippet")
                                             : tr("%1 snippets").arg(converted.snippets),
                     converted.original);
        // Told once the window is on the screen, not before it appears.
        QTimer::singleShot(0, this,
                           [text] { MessageDlg(text, TMsgDlgType::mtInformation, mbOK, 0); });
    };
    ADOTable1 = new TADOTable(this);
    ADOTable1->setObjectName(QStringLiteral("ADOTable1"));
    ADOTable1->setConnection(ADOConnection1);
    shown_.setTable(ADOTable1);
}

void TForm1::createActionsAndMenu() {
    ActionList1 = new QObject(this);
    ActionList1->setObjectName(QStringLiteral("ActionList1"));
    const std::pair<QAction**, const char*> actions[] = {
        {&ListLangs, "ListLangs"},     {&ListVarozidi, "ListVarozidi"},
        {&ShowSnippit, "ShowSnippit"}, {&NewSnippit, "NewSnippit"},
        {&EditSnippit, "EditSnippit"}, {&DeleteSnippit, "DeleteSnippit"},
        {&BackupData, "BackupData"},   {&RestoreData, "RestoreData"}};
    for (auto [member, name] : actions) {
        *member = new QAction(QString::fromLatin1(name), ActionList1);
        (*member)->setObjectName(QString::fromLatin1(name));
    }

    BalloonHint1 = new QObject(this);
    BalloonHint1->setObjectName(QStringLiteral("BalloonHint1"));
    BalloonHint1->setProperty("HideAfter", 1000);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Cut1 = PopupMenu1->addAction(tr("Cut"));
    Copy1 = PopupMenu1->addAction(tr("Copy"));
    Paste1 = PopupMenu1->addAction(tr("Paste"));
    N1 = PopupMenu1->addSeparator();
    WordWrap1 = PopupMenu1->addAction(tr("Word Wrap"));
    WordWrap1->setCheckable(true);
    const std::pair<QAction*, const char*> entries[] = {
        {Cut1, "Cut1"}, {Copy1, "Copy1"}, {Paste1, "Paste1"}, {N1, "N1"}, {WordWrap1, "WordWrap1"}};
    for (auto [entry, name] : entries)
        entry->setObjectName(QString::fromLatin1(name));
    SynEdit1->setPopupMenu(PopupMenu1);
    SkipInTabOrderWhileShown(Panel3, ListBox2);
    // In the new-snippet fields Return means Ok and Escape Cancel, through those buttons.
    for (QLineEdit* field : {Edit1, Edit2})
        connect(field, &QLineEdit::returnPressed, Button1, &QPushButton::click);
    auto* cancel = new QShortcut(QKeySequence(Qt::Key_Escape), Panel3);
    cancel->setContext(Qt::WidgetWithChildrenShortcut);
    connect(cancel, &QShortcut::activated, Button2, &QPushButton::click);
    createHistoryAction();
}

void TForm1::connectHandlers() {
    auto bind = [this](auto* sender, auto signal, void (TForm1::*handler)(QObject*)) {
        connect(sender, signal, this, [this, sender, handler] {
            ++handlerDepth_;
            Guarded([&] { (this->*handler)(sender); });
            --handlerDepth_;
            syncRecovery();
        });
    };
    bind(ListBox1, &TListBox::Click, &TForm1::ListBox1Click);
    bind(ListBox2, &TListBox::Click, &TForm1::ListBox2Click);
    bind(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    bind(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    bind(ToolButton1, &QToolButton::clicked, &TForm1::ToolButton1Click);
    bind(ToolButton2, &QToolButton::clicked, &TForm1::ToolButton2Click);
    bind(ToolButton4, &QToolButton::clicked, &TForm1::ToolButton4Click);
    bind(ToolButton5, &QToolButton::clicked, &TForm1::ToolButton5Click);
    bind(ToolButton6, &QToolButton::clicked, &TForm1::ToolButton6Click);
    bind(ToolButton9, &QToolButton::clicked, &TForm1::ToolButton9Click);
    bind(ToolButton8, &QToolButton::clicked, &TForm1::ToolButton8Click);
    bind(Cut1, &QAction::triggered, &TForm1::Cut1Click);
    bind(Copy1, &QAction::triggered, &TForm1::Copy1Click);
    bind(Paste1, &QAction::triggered, &TForm1::Paste1Click);
    bind(WordWrap1, &QAction::triggered, &TForm1::WordWrap1Click);
    bind(SynEdit1, &TSynEdit::OnChange, &TForm1::SynEdit1Change);

    const std::pair<QAction*, void (TForm1::*)(QObject*)> operations[] = {
        {ListLangs, &TForm1::ListLangsExecute},     {ListVarozidi, &TForm1::ListVarozidiExecute},
        {ShowSnippit, &TForm1::ShowSnippitExecute}, {NewSnippit, &TForm1::NewSnippitExecute},
        {EditSnippit, &TForm1::EditSnippitExecute}, {DeleteSnippit, &TForm1::DeleteSnippitExecute},
        {BackupData, &TForm1::BackupDataExecute}};
    for (auto [action, handler] : operations)
        bind(action, &QAction::triggered, handler);

    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F), this),
            &QShortcut::activated, this, &TForm1::OpenSearch);
    // In the editor Ctrl+F is left alone.
    connect(new QShortcut(QKeySequence::Find, this), &QShortcut::activated, this, [this] {
        if (!SynEdit1->hasFocus())
            OpenSearch();
    });
}

// Start-up. Each step that fails is reported on its own and the rest still run, so that a
// missing welcome text does not also hide the whole collection.
void TForm1::FormCreate() {
    SnippitChanged = 0;
    AppDir = QCoreApplication::applicationDirPath();
    if (!AppDir.endsWith(u'/'))
        AppDir += u'/';
    DataDir = DataDirFor(GetAppDataFolder());
    const QString settingsFile = varozidi::paths::Settings(DataDir);
    Guarded([&] { RestoreTessel(this, settingsFile.toStdU16String().c_str()); });

    Guarded([this] {
        TIniFile version(varozidi::paths::VersionFile(DataDir));
        setWindowTitle(QStringLiteral("KZQ Varozidi ") +
                       version.ReadString(QStringLiteral("VAROZIDI"), QStringLiteral("VERSION"),
                                          QStringLiteral("0.0")));
    });

    ADOConnection1->setConnectionString(
        CollectionConnectionString(DataDir, DatabaseArgument(QCoreApplication::arguments())));
    ADOTable1->setTableName(QStringLiteral("varozidi"));

    const TIniFile settings(settingsFile);
    const bool wrap = settings.ReadBool(QStringLiteral("EDIT"), QStringLiteral("WORDWRAP"), true);
    SynEdit1->setWordWrap(wrap);
    WordWrap1->setChecked(wrap);

    // One cause, one message: with a file in the data folder's place nothing there can be read.
    if (const QString file = FileInTheWay(DataDir); !file.isEmpty()) {
        ShowException(varozidi::Error(tr("The data folder \"%1\" cannot be used: \"%2\" is a "
                                         "file, not a folder.")
                                          .arg(DataDir, file)));
        return;
    }
    Guarded([this] { SynEdit1->LoadLinesFromFile(varozidi::paths::WelcomeText(DataDir)); });
    Guarded([this] { ListLangsExecute(); });
    // Said at once, not first when a save fails.
    if (const varozidi::Collection* open = ADOConnection1->collection(); open && open->readOnly())
        setWindowTitle(windowTitle() + tr(" (read-only)"));
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (busy_) {
        event->ignore();
        return;
    }
    bool canClose = true;
    try {
        FormCloseQuery(this, canClose);
    } catch (const std::exception& e) {
        ShowException(e);
        canClose = false;
    }
    if (canClose) {
        // Nothing unsaved is left to keep, and the database is let go now, lock file and all,
        // whatever the program still does before it ends.
        recordKept_ = false;
        RecoveryKeeper->Discard();
        RecoveryKeeper->Flush();
        ADOConnection1->Close();
        event->accept();
    } else
        event->ignore();
}

void TForm1::Cut1Click(QObject*) {
    SynEdit1->CutToClipboard();
}

void TForm1::Copy1Click(QObject*) {
    SynEdit1->CopyToClipboard();
}

void TForm1::Paste1Click(QObject*) {
    SynEdit1->PasteFromClipboard();
}

void TForm1::ToolButton6Click(QObject*) {
    SynEdit1->Undo();
}

void TForm1::ToolButton1Click(QObject*) {
    Panel3->setVisible(true);
    // Typing goes where it is needed: the first empty field, else the title, ready to be
    // typed over for the next snippet of the same language.
    QLineEdit* field = Edit1->text().isEmpty() ? Edit1 : Edit2;
    field->setFocus();
    field->selectAll();
}

void TForm1::ToolButton4Click(QObject*) {
    QWidget* help = HelpWindow();
    if (!help)
        return;
    help->show();
    help->raise();
    help->activateWindow();
}

void TForm1::WordWrap1Click(QObject*) {
    // The check mark always equals the editor's state; the menu may have flipped the mark
    // already, so the editor tells the state before the click.
    const bool wrap = !SynEdit1->WordWrap();
    WordWrap1->setChecked(wrap);
    SynEdit1->setWordWrap(wrap);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: its components, layout, start-up and simple commands.

#include "TestSupport.h"
#include "window/Forms.h"
#include "window/HelpModule.h"
#include "window/Unit1.h"
#include "window/Unit2.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QToolButton>
#include <Qsci/qsciscintillabase.h>
#include <QtTest>

using namespace testsupport;

class MainWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void componentTree_data();
    void componentTree();
    void designSizes();
    void formMetrics_data();
    void formMetrics();
    void lineNumbersKeepTheirDigits_data();
    void lineNumbersKeepTheirDigits();
    void toolButtons_data();
    void toolButtons();
    void popupMenu();
    void wordWrapToggles();
    void editorCommandsRaiseTheChangeFlag_data();
    void editorCommandsRaiseTheChangeFlag();
    void programLoadsDoNotRaiseTheChangeFlag();
    void addPanelCoversTheTitleList();
    void caption_data();
    void caption();
    void startupFailuresAreReportedAndStartupGoesOn_data();
    void startupFailuresAreReportedAndStartupGoesOn();
    void threeWindowsAndTheHelpButton();
    // Without a help module that loads, each click on help says so once; all else works.
    void brokenHelpModule_data();
    void brokenHelpModule();
    void oddDataFolderNames_data();
    void oddDataFolderNames();
};

void MainWindowTest::componentTree_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("container");
    const char* const tree[][3] = {
        {"Splitter1", "QSplitter", "Form1"},
        {"Panel1", "QFrame", "Splitter1"},
        {"Panel2", "QFrame", "Splitter1"},
        {"Splitter2", "QSplitter", "Panel1"},
        {"GroupBox1", "QGroupBox", "Splitter2"},
        {"ListBox1", "TListBox", "GroupBox1"},
        {"GroupBox2", "QGroupBox", "Splitter2"},
        {"ToolBar1", "QWidget", "GroupBox2"},
        {"ToolButton1", "QToolButton", "ToolBar1"},
        {"ToolButton2", "QToolButton", "ToolBar1"},
        {"ToolButton3", "QFrame", "ToolBar1"},
        {"ToolButton4", "QToolButton", "ToolBar1"},
        {"ListBox2", "TListBox", "GroupBox2"},
        {"Panel3", "QFrame", "GroupBox2"},
        {"GroupBox3", "QGroupBox", "Panel3"},
        {"Edit1", "QLineEdit", "GroupBox3"},
        {"GroupBox4", "QGroupBox", "Panel3"},
        {"Edit2", "QLineEdit", "GroupBox4"},
        {"Button1", "QPushButton", "Panel3"},
        {"Button2", "QPushButton", "Panel3"},
        {"ToolBar2", "QWidget", "Panel2"},
        {"ToolButton5", "QToolButton", "ToolBar2"},
        {"ToolButton6", "QToolButton", "ToolBar2"},
        {"ToolButton7", "QFrame", "ToolBar2"},
        {"ToolButton9", "QToolButton", "ToolBar2"},
        {"ToolButton8", "QToolButton", "ToolBar2"},
        {"SynEdit1", "TSynEdit", "Panel2"},
        {"ADOConnection1", "TADOConnection", "Form1"},
        {"ADOTable1", "TADOTable", "Form1"},
        {"ActionList1", "QObject", "Form1"},
        {"ListLangs", "QAction", "ActionList1"},
        {"ListVarozidi", "QAction", "ActionList1"},
        {"ShowSnippit", "QAction", "ActionList1"},
        {"NewSnippit", "QAction", "ActionList1"},
        {"EditSnippit", "QAction", "ActionList1"},
        {"DeleteSnippit", "QAction", "ActionList1"},
        {"BackupData", "QAction", "ActionList1"},
        {"RestoreData", "QAction", "ActionList1"},
        {"BalloonHint1", "QObject", "Form1"},
        {"PopupMenu1", "QMenu", "Form1"},
        {"SynPasSyn1", "TSynPasSyn", "Form1"},
        {"SynJavaSyn1", "TSynJavaSyn", "Form1"},
        {"SynCSSyn1", "TSynCSSyn", "Form1"},
        {"SynCssSyn1", "TSynCssSyn", "Form1"},
        {"SynJScriptSyn1", "TSynJScriptSyn", "Form1"},
        {"SynHTMLSyn1", "TSynHTMLSyn", "Form1"},
        {"SynPHPSyn1", "TSynPHPSyn", "Form1"},
        {"SynVBSyn1", "TSynVBSyn", "Form1"},
        {"SynXMLSyn1", "TSynXMLSyn", "Form1"},
        {"SynVBScriptSyn1", "TSynVBScriptSyn", "Form1"},
        {"SynSQLSyn1", "TSynSQLSyn", "Form1"},
        {"SynCppSyn1", "TSynCppSyn", "Form1"},
    };
    for (const auto& row : tree)
        QTest::newRow(row[0]) << row[0] << row[1] << row[2];
}

// Every component is found by its name, is of its class, and sits in its container.
void MainWindowTest::componentTree() {
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, container);
    Started s({});
    QCOMPARE(s->objectName(), QString("Form1"));
    QObject* component = s->findChild<QObject*>(name);
    QVERIFY2(component, qPrintable(name));
    QCOMPARE(QString::fromLatin1(component->metaObject()->className()), className);
    QObject* up = component->parent();
    while (up && up->objectName() != container && up != &s.form())
        up = up->parent();
    QVERIFY2(up && up->objectName() == container, qPrintable(name + " not inside " + container));
    // Each action's caption is its name.
    if (auto* action = qobject_cast<QAction*>(component); action && container == "ActionList1")
        QCOMPARE(action->text(), name);
}

void MainWindowTest::designSizes() {
    Started s({});
    QCOMPARE(s->size(), QSize(645, 412));
    QCOMPARE(s->pos(), QPoint(0, 0));
    QCOMPARE(s->Panel1->width(), 217);
    QCOMPARE(s->Splitter1->handleWidth(), 3);
    QCOMPARE(s->GroupBox1->height(), 160);
    QCOMPARE(s->GroupBox1->title(), QString("Snippit Languages"));
    QCOMPARE(s->GroupBox2->title(), QString("Varozidi"));
    QCOMPARE(s->GroupBox3->title(), QString("New Snippit Language..."));
    QCOMPARE(s->GroupBox4->title(), QString("New Snippit Title..."));
    QCOMPARE(s->Button1->text(), QString("Ok"));
    QCOMPARE(s->Button2->text(), QString("Cancel"));
    QVERIFY(!s->Button1->autoDefault() && !s->Button2->autoDefault());
    QCOMPARE(s->font().family(), QString("Tahoma"));
    QCOMPARE(s->font().pixelSize(), 11);
    QCOMPARE(s->SynEdit1->tabWidth(), 2);
    QCOMPARE(s->SynEdit1->EditorFont().pointSize(), 10);
    // The editor column takes what the splitter leaves.
    s->Splitter1->setSizes({300, 342});
    QCOMPARE(s->Panel1->width(), 300);
    QCOMPARE(s->Panel2->width(), 342);
    QVERIFY(!s->Panel3->isVisible());
}

void MainWindowTest::formMetrics_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("geometry"); // in its parent, at the design size
    QTest::newRow("language list") << "ListBox1" << QRect(2, 15, 211, 143);
    QTest::newRow("title list") << "ListBox2" << QRect(2, 53, 211, 192);
    QTest::newRow("language field") << "Edit1" << QRect(16, 24, 177, 21);
    QTest::newRow("title field") << "Edit2" << QRect(16, 24, 177, 21);
    QTest::newRow("Ok") << "Button1" << QRect(18, 119, 75, 25);
    QTest::newRow("Cancel") << "Button2" << QRect(99, 119, 75, 25);
}

// Where the form puts the children of the group boxes and the new-snippet panel, whatever
// margins Qt's style would add, and the lists' fixed row height.
void MainWindowTest::formMetrics() {
    QFETCH(QString, control);
    QFETCH(QRect, geometry);
    Started s({{"C++", "A", ""}, {"C++", "B", ""}, {"SQL", "C", ""}});
    s->ToolButton1Click();
    QWidget* widget = s->findChild<QWidget*>(control);
    QVERIFY(widget);
    QTRY_COMPARE(widget->geometry(), geometry);
    if (auto* list = qobject_cast<TListBox*>(widget)) {
        list->setItemIndex(-1);
        s->ListBox1->setItemIndex(0);
        s->ListBox1Click();
        QVERIFY(list->count() >= 2);
        QCOMPARE(list->visualItemRect(list->item(0)).height(), 13);
        QCOMPARE(list->visualItemRect(list->item(1)).top(),
                 list->visualItemRect(list->item(0)).top() + 13);
    }
}

void MainWindowTest::lineNumbersKeepTheirDigits_data() {
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("zoom");
    QTest::newRow("100,000 lines") << 100000 << 0;
    QTest::newRow("1,234,567 lines") << 1234567 << 0;
    QTest::newRow("100,000 lines zoomed in") << 100000 << 8;
    QTest::newRow("few lines zoomed in") << 12 << 10;
}

// The margin is wide enough for the last line's number in the margin's font at the zoom
// shown, never narrower than four digits, and follows the text as it changes.
void MainWindowTest::lineNumbersKeepTheirDigits() {
    QFETCH(int, lines);
    QFETCH(int, zoom);
    Started s({});
    TSynEdit* editor = s->SynEdit1;
    const auto width = [editor](const QByteArray& digits) {
        return int(editor->SendScintilla(QsciScintillaBase::SCI_TEXTWIDTH,
                                         QsciScintillaBase::STYLE_LINENUMBER, digits.constData()));
    };
    editor->SetLinesText(QString(lines - 1, u'\n'));
    editor->zoomTo(zoom);
    QCOMPARE(editor->lines(), lines);
    const QByteArray last = QByteArray::number(lines);
    QVERIFY(editor->marginWidth(0) > width(last));
    QVERIFY(editor->marginWidth(0) > width("0000"));
    // Back to a short text at no zoom: the margin narrows again to its four digits.
    editor->zoomTo(0);
    editor->SetLinesText("one line");
    QVERIFY(editor->marginWidth(0) > width("0000"));
    QVERIFY(editor->marginWidth(0) < width("0000000"));
}

void MainWindowTest::toolButtons_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("hint");
    QTest::addColumn<int>("image");
    QTest::newRow("ToolButton1") << "ToolButton1"
                                 << "Add Varozidi" << 0;
    QTest::newRow("ToolButton2") << "ToolButton2"
                                 << "Remove Snippit" << 1;
    QTest::newRow("ToolButton4") << "ToolButton4"
                                 << "Get Help (Requires Internet Access!)" << 2;
    QTest::newRow("ToolButton5") << "ToolButton5"
                                 << "Save Edits" << 3;
    QTest::newRow("ToolButton6") << "ToolButton6"
                                 << "Undo" << 4;
    QTest::newRow("ToolButton9") << "ToolButton9"
                                 << "Backup Data!" << 5;
    QTest::newRow("ToolButton8") << "ToolButton8"
                                 << "Restore from backup..." << 6;
}

// Each picture button shows its own picture, and names itself for tooltips and screen readers.
void MainWindowTest::toolButtons() {
    QFETCH(QString, name);
    QFETCH(QString, hint);
    QFETCH(int, image);
    Started s({});
    auto* button = s->findChild<QToolButton*>(name);
    QVERIFY(button);
    QCOMPARE(button->toolTip(), hint);
    QCOMPARE(button->accessibleName(), hint);
    QCOMPARE(button->size(), QSize(39, 38));
    QCOMPARE(s->ImageList1.size(), 7);
    const QImage expected = s->ImageList1.at(image).pixmap(32, 32).toImage();
    QVERIFY(!expected.isNull());
    QCOMPARE(button->icon().pixmap(32, 32).toImage(), expected);
    for (int other = 0; other < 7; ++other)
        if (other != image)
            QVERIFY(s->ImageList1.at(other).pixmap(32, 32).toImage() != expected);
}

void MainWindowTest::popupMenu() {
    Started s({});
    QStringList texts;
    for (QAction* entry : s->PopupMenu1->actions())
        texts.append(entry->isSeparator() ? QString("-") : entry->text());
    QCOMPARE(texts, (QStringList{"Cut", "Copy", "Paste", "-", "Word Wrap"}));
    for (QAction* entry : s->PopupMenu1->actions()) {
        QVERIFY(entry->shortcut().isEmpty());
        QCOMPARE(entry->isCheckable(), entry == s->WordWrap1);
    }
}

void MainWindowTest::wordWrapToggles() {
    Started s({});
    QVERIFY(s->WordWrap1->isChecked());
    QVERIFY(s->SynEdit1->WordWrap());
    s->WordWrap1->trigger(); // as the menu does it
    QVERIFY(!s->WordWrap1->isChecked());
    QVERIFY(!s->SynEdit1->WordWrap());
    s->WordWrap1Click(); // as a direct call does it
    QVERIFY(s->WordWrap1->isChecked());
    QVERIFY(s->SynEdit1->WordWrap());
    QCOMPARE(s->SnippitChanged, 0);
}

void MainWindowTest::editorCommandsRaiseTheChangeFlag_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("textAfter");
    QTest::addColumn<int>("flag");
    // The editor holds "hello world" with "world" selected; the clipboard holds "X".
    QTest::newRow("cut") << "Cut1"
                         << "hello " << 1;
    QTest::newRow("copy") << "Copy1"
                          << "hello world" << 0;
    QTest::newRow("paste") << "Paste1"
                           << "hello X" << 1;
    QTest::newRow("undo with nothing to undo") << "ToolButton6"
                                               << "hello world" << 0;
}

void MainWindowTest::editorCommandsRaiseTheChangeFlag() {
    QFETCH(QString, command);
    QFETCH(QString, textAfter);
    QFETCH(int, flag);
    Started s({});
    s->SynEdit1->SetLinesText("hello world");
    s->SynEdit1->setSelection(0, 6, 0, 11);
    QApplication::clipboard()->setText("X");
    if (auto* entry = s->findChild<QAction*>(command))
        entry->trigger();
    else
        QTest::mouseClick(s->findChild<QToolButton*>(command), Qt::LeftButton);
    QCOMPARE(s->SynEdit1->Text(), textAfter);
    QCOMPARE(int(s->SnippitChanged), flag);
    if (command == "Copy1")
        QCOMPARE(QApplication::clipboard()->text(), QString("world"));
}

void MainWindowTest::programLoadsDoNotRaiseTheChangeFlag() {
    Started s({});
    s->SynEdit1->setFocus();
    QTest::keyClicks(s->SynEdit1, "typed");
    QCOMPARE(s->SnippitChanged, 1);
    QVERIFY(s->SynEdit1->Text().contains("typed"));
    s->SnippitChanged = 0;
    s->SynEdit1->SetLinesText("loaded");
    s->SynEdit1->ClearLines();
    s->SynEdit1->Clear();
    QCOMPARE(s->SnippitChanged, 0);
    // A load starts a fresh history: undo cannot bring back the text shown before.
    s->SynEdit1->SetLinesText("second");
    QTest::mouseClick(s->ToolButton6, Qt::LeftButton);
    QCOMPARE(s->SynEdit1->Text(), QString("second"));
    QCOMPARE(s->SnippitChanged, 0);
}

void MainWindowTest::addPanelCoversTheTitleList() {
    Started s({{"PHP", "A", ""}});
    s->Edit1->setText("kept language");
    s->Edit2->setText("kept title");
    QTest::mouseClick(s->ToolButton1, Qt::LeftButton);
    QVERIFY(s->Panel3->isVisible());
    QCOMPARE(s->Panel3->geometry(), s->ListBox2->geometry());
    QCOMPARE(s->Edit1->text(), QString("kept language"));
    QCOMPARE(s->Edit2->text(), QString("kept title"));
    QTest::mouseClick(s->Button2, Qt::LeftButton);
    QVERIFY(!s->Panel3->isVisible());
    QCOMPARE(s->Edit1->text(), QString("kept language"));
    QCOMPARE(s.rows().size(), 1);
}

void MainWindowTest::caption_data() {
    QTest::addColumn<QByteArray>("versionFile");
    QTest::addColumn<QString>("caption");
    QTest::newRow("version 2.1") << QByteArray("[VAROZIDI]\nVERSION=2.1\n") << "KZQ Varozidi 2.1";
    QTest::newRow("names ignore case") << QByteArray("[varozidi]\nversion=3\n") << "KZQ Varozidi 3";
    QTest::newRow("no file") << QByteArray() << "KZQ Varozidi 0.0";
    QTest::newRow("no key") << QByteArray("[VAROZIDI]\nOTHER=1\n") << "KZQ Varozidi 0.0";
}

void MainWindowTest::caption() {
    QFETCH(QByteArray, versionFile);
    QFETCH(QString, caption);
    DataHome home;
    Dialogs dialogs;
    makeDatabase(home.dataDir() + "varozidi.mdb", {});
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    if (!versionFile.isEmpty())
        writeFile(home.dataDir() + "LVersion.ini", versionFile);
    TForm1 form;
    QCOMPARE(form.windowTitle(), caption);
    QVERIFY(dialogs.asked().isEmpty());
}

void MainWindowTest::startupFailuresAreReportedAndStartupGoesOn_data() {
    QTest::addColumn<bool>("welcomeText");
    QTest::addColumn<QByteArray>("database"); // empty: none, "db": a good one, else bytes
    QTest::addColumn<QString>("namedInError");
    QTest::addColumn<QStringList>("languages");
    QTest::newRow("welcome text missing")
        << false << QByteArray("db") << "kzq.txt" << QStringList{"PHP"};
    QTest::newRow("database missing") << true << QByteArray() << "varozidi.mdb" << QStringList{};
    QTest::newRow("database damaged")
        << true << QByteArray("this is no database at all") << "varozidi.mdb" << QStringList{};
}

void MainWindowTest::startupFailuresAreReportedAndStartupGoesOn() {
    QFETCH(bool, welcomeText);
    QFETCH(QByteArray, database);
    QFETCH(QString, namedInError);
    QFETCH(QStringList, languages);
    DataHome home;
    Dialogs dialogs;
    const QString dbPath = home.dataDir() + "varozidi.mdb";
    if (database == "db")
        makeDatabase(dbPath, {{"PHP", "A", "a"}});
    else if (!database.isEmpty())
        writeFile(dbPath, database);
    if (welcomeText)
        writeFile(home.dataDir() + "kzq.txt", kWelcome);

    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(dialogs.asked().size(), 1);
    QCOMPARE(dialogs.asked().first().kind, TMsgDlgType::mtError);
    QCOMPARE(dialogs.asked().first().buttons, TMsgDlgButtons(mbOK));
    QVERIFY2(dialogs.asked().first().text.contains(namedInError),
             qPrintable(dialogs.asked().first().text));
    QCOMPARE(entries(form.ListBox1), languages);
    QCOMPARE(form.SynEdit1->Text(),
             welcomeText ? QString::fromUtf8(kWelcome) : QString("SynEdit1"));
    QVERIFY(form.SynEdit1->WordWrap());
    // The program never makes a database of its own, nor touches a damaged one.
    QCOMPARE(QFile::exists(dbPath), !database.isEmpty());
    if (!database.isEmpty() && database != "db") {
        QFile file(dbPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), database);
    }
}

void MainWindowTest::threeWindowsAndTheHelpButton() {
    DataHome home;
    Dialogs dialogs;
    makeDatabase(home.dataDir() + "varozidi.mdb", {});
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    CreateForms(QStringLiteral("http://127.0.0.1:1/index.htm")); // loopback, refused at once
    QVERIFY(Form1 && Form4 && Form2);
    QVERIFY(!Form4->isVisible() && !Form2->isVisible());
    QCOMPARE(Form4->windowTitle(), QString("KZQ Help Browser"));
    QVERIFY(Form2->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(Form2->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    Form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form1));
    QTest::mouseClick(Form1->ToolButton4, Qt::LeftButton);
    QVERIFY(Form4->isVisible());
    QVERIFY(Form1->isVisible()); // the help window is not modal
    QVERIFY(dialogs.asked().isEmpty());
    delete Form4;
    delete Form1; // owns Form2
    Form1 = nullptr;
    Form4 = nullptr;
    Form2 = nullptr;
}

void MainWindowTest::brokenHelpModule_data() {
    // Relative to the data home; "" for libtessel, "another build" for help_other_build.
    QTest::addColumn<QString>("module");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("told");
    QTest::newRow("missing") << "libvarozidi_help.so" << QByteArray() << "is missing";
    QTest::newRow("not a library") << "libvarozidi_help.so"
                                   << QByteArray("\x7f"
                                                 "ELF junk")
                                   << "does not load";
    QTest::newRow("cut short") << "libvarozidi_help.so" << QByteArray("cut short") << "damaged";
    QTest::newRow("a folder in its place") << "folder" << QByteArray() << "is missing";
    QTest::newRow("a library without the help") << "" << QByteArray() << "is not its module";
    QTest::newRow("a help module of another build")
        << "another build" << QByteArray() << "belongs to another version";
}

void MainWindowTest::brokenHelpModule() {
    QFETCH(QString, module);
    QFETCH(QByteArray, content);
    QFETCH(QString, told);
    DataHome home;
    Dialogs dialogs;
    makeDatabase(home.dataDir() + "varozidi.mdb", {{"C++", "t1", "body one"}});
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    const QString built = HelpModulePath(QString());
    QString path = home.root() + u'/' + module;
    if (module.isEmpty())
        path = QStringLiteral(VAROZIDI_BINARY_DIR "/tessel/libtessel.so");
    else if (module == u"another build")
        path = QStringLiteral(VAROZIDI_OTHER_BUILD_HELP);
    else if (module == u"folder")
        QVERIFY(QDir().mkpath(path));
    else if (content == "cut short") {
        QFile whole(built);
        QVERIFY(whole.open(QIODevice::ReadOnly));
        writeFile(path, whole.read(20000)); // the loader would map past its end
    } else if (!content.isEmpty())
        writeFile(path, content);
    SetHelpModulePath(path);
    CreateFormsHelpLast(QStringLiteral("http://127.0.0.1:1/index.htm"));
    Form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form1));
    QTest::qWait(50); // the module is tried after the first paint, silently
    QVERIFY(!Form4);
    QVERIFY(dialogs.asked().isEmpty());
    for (int click = 1; click <= 2; ++click) {
        QTest::mouseClick(Form1->ToolButton4, Qt::LeftButton);
        QCOMPARE(dialogs.asked().size(), click);
        const MessageDlgRequest& said = dialogs.asked().last();
        QVERIFY2(said.text.contains(told) && said.text.contains("Everything else works"),
                 qPrintable(said.text));
        QCOMPARE(said.kind, TMsgDlgType::mtError);
    }
    QVERIFY(!Form4);
    clickRow(Form1->ListBox1, 0);
    clickRow(Form1->ListBox2, 0);
    QCOMPARE(Form1->SynEdit1->Text(), QString("body one"));
    QCOMPARE(dialogs.asked().size(), 2);
    SetHelpModulePath(built);
    delete Form1; // owns Form2
    Form1 = nullptr;
    Form2 = nullptr;
}

void MainWindowTest::oddDataFolderNames_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("semicolon") << "a;b=c-XXXXXX";
    QTest::newRow("quotes and blanks") << "it's \"my\" data-XXXXXX";
    QTest::newRow("non-latin") << QString::fromUtf8("Данные データ-XXXXXX");
}

// The database path goes into a connection string; no folder name may break it.
void MainWindowTest::oddDataFolderNames() {
    QFETCH(QString, name);
    DataHome home(name);
    QVERIFY(home.isValid());
    Dialogs dialogs;
    makeDatabase(home.dataDir() + "varozidi.mdb", {{"PHP", "A", "a"}});
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    TForm1 form;
    QVERIFY2(dialogs.asked().isEmpty(),
             qPrintable(dialogs.asked().isEmpty() ? QString() : dialogs.asked().first().text));
    QCOMPARE(entries(form.ListBox1), QStringList{"PHP"});
    QVERIFY(form.DataDir.startsWith(home.root()));
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

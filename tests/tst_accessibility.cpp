// SPDX-License-Identifier: GPL-3.0-or-later
// What a screen reader and a keyboard user get from the main window: every control's name,
// read through Qt's accessibility interface, the tab order, and commands without a mouse.

#include "TestSupport.h"
#include "window/Forms.h"
#include "window/SearchWindow.h"
#include "window/Unit1.h"
#include "window/Unit2.h"
#include "window/platform/Dialogs.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

using namespace testsupport;

namespace {

QAccessibleInterface* accessible(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

// The name a screen reader speaks for the control that has the keyboard focus, found from the
// window down as an assistive tool finds it.
QString focusedName(TForm1& form) {
    QAccessibleInterface* focused = accessible(&form)->focusChild();
    if (!focused)
        return QStringLiteral("<nothing focused>");
    if (!focused->state().focused)
        return QStringLiteral("<%1 not marked focused>").arg(focused->text(QAccessible::Name));
    // In a list the focus is on the current entry; the reader names the list with it.
    if (focused->role() == QAccessible::ListItem)
        focused = focused->parent();
    return focused->text(QAccessible::Name);
}

void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget();
    QVERIFY(target);
    QTest::keyClick(target, Qt::Key(key), modifiers);
}

void activate(TForm1& form) {
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
}

const QStringList kLeftColumn = {"Snippit Languages", "Add Varozidi", "Remove Snippit",
                                 "Get Help (Requires Internet Access!)"};
const QStringList kRightColumn = {"Save Edits", "Undo", "Backup Data!", "Restore from backup...",
                                  "Snippit"};

} // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void names_data();
    void names();
    void everyFocusableControlHasAName();
    void tabOrder_data();
    void tabOrder();
    void editorKeepsTabButLetsTheFocusGo();
    void popupMenuByKeyboard_data();
    void popupMenuByKeyboard();
    void newSnippetPanelByKeyboard_data();
    void newSnippetPanelByKeyboard();
    void firstArrowStartsAtTheTop_data();
    void firstArrowStartsAtTheTop();
    void windowsHaveRolesAndNames();
    void messageBoxesSitOverTheMainWindow();
    void openedMatchComesToTheFront();
};

void AccessibilityTest::names_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("role");
    const auto row = [](const char* control, const char* name, QAccessible::Role role) {
        QTest::newRow(control) << control << name << int(role);
    };
    row("ListBox1", "Snippit Languages", QAccessible::List);
    row("ListBox2", "Varozidi", QAccessible::List);
    row("SynEdit1", "Snippit", QAccessible::EditableText);
    row("Edit1", "New Snippit Language...", QAccessible::EditableText);
    row("Edit2", "New Snippit Title...", QAccessible::EditableText);
    row("Button1", "Ok", QAccessible::Button);
    row("Button2", "Cancel", QAccessible::Button);
    row("ToolButton1", "Add Varozidi", QAccessible::Button);
    row("ToolButton2", "Remove Snippit", QAccessible::Button);
    row("ToolButton4", "Get Help (Requires Internet Access!)", QAccessible::Button);
    row("ToolButton5", "Save Edits", QAccessible::Button);
    row("ToolButton6", "Undo", QAccessible::Button);
    row("ToolButton9", "Backup Data!", QAccessible::Button);
    row("ToolButton8", "Restore from backup...", QAccessible::Button);
    row("GroupBox1", "Snippit Languages", QAccessible::Grouping);
    row("GroupBox2", "Varozidi", QAccessible::Grouping);
}

void AccessibilityTest::names() {
    QFETCH(QString, control);
    QFETCH(QString, name);
    QFETCH(int, role);
    Started s({{"C++", "Loop", "for (;;) {}"}});
    QObject* object = s->findChild<QObject*>(control);
    QVERIFY(object);
    QAccessibleInterface* iface = accessible(object);
    QVERIFY(iface && iface->isValid());
    QCOMPARE(iface->text(QAccessible::Name), name);
    QCOMPARE(int(iface->role()), role);
}

// A control added later without a name would be silent to a screen reader.
void AccessibilityTest::everyFocusableControlHasAName() {
    Started s({});
    int checked = 0;
    for (QWidget* widget : s->findChildren<QWidget*>()) {
        if (widget->focusPolicy() == Qt::NoFocus || widget->focusProxy())
            continue;
        QAccessibleInterface* iface = accessible(widget);
        QVERIFY(iface);
        QVERIFY2(!iface->text(QAccessible::Name).trimmed().isEmpty(),
                 qPrintable(widget->objectName() + " has no accessible name"));
        ++checked;
    }
    // Two lists, the editor, two fields, two buttons and seven tool buttons.
    QCOMPARE(checked, 14);
}

void AccessibilityTest::tabOrder_data() {
    QTest::addColumn<bool>("panelOpen");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("new-snippet panel hidden")
        << false << kLeftColumn + QStringList{"Varozidi"} + kRightColumn;
    // The title list lies under the panel then, out of sight and out of the tab order.
    QTest::newRow("new-snippet panel open")
        << true
        << kLeftColumn +
               QStringList{"New Snippit Language...", "New Snippit Title...", "Ok", "Cancel"} +
               kRightColumn;
}

// Tab walks the controls in the order of the form; after the editor, Ctrl+Tab goes round to
// the start, and Shift+Tab walks back. The panel is opened from the keyboard, with Space on
// "Add Varozidi".
void AccessibilityTest::tabOrder() {
    QFETCH(bool, panelOpen);
    QFETCH(QStringList, order);
    Started s({{"C++", "Loop", "for (;;) {}"}});
    activate(s.form());
    s->ListBox1->setFocus();
    if (panelOpen) {
        press(Qt::Key_Tab);
        QCOMPARE(focusedName(s.form()), QString("Add Varozidi"));
        press(Qt::Key_Space);
        QVERIFY(s->Panel3->isVisible());
        s->ListBox1->setFocus();
    }
    QStringList walked{focusedName(s.form())};
    for (qsizetype i = 1; i < order.size(); ++i) {
        press(Qt::Key_Tab);
        walked.append(focusedName(s.form()));
    }
    QCOMPARE(walked, order);
    press(Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(focusedName(s.form()), order.first());

    // Backwards from the editor: Shift+Tab is the editor's own, Ctrl+Shift+Tab leaves it.
    s->SynEdit1->setFocus();
    press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    QStringList back{focusedName(s.form())};
    for (qsizetype i = 2; i < order.size(); ++i) {
        press(Qt::Key_Backtab, Qt::ShiftModifier);
        back.append(focusedName(s.form()));
    }
    QStringList expected(order.rbegin() + 1, order.rend());
    QCOMPARE(back, expected);
}

// Tab in the editor is text; Ctrl+Shift+Tab leaves backwards.
void AccessibilityTest::editorKeepsTabButLetsTheFocusGo() {
    Started s({});
    activate(s.form());
    s->SynEdit1->setFocus();
    s->SynEdit1->SetLinesText(QString());
    press(Qt::Key_Tab);
    QCOMPARE(s->SynEdit1->Text(), QString("\t"));
    QCOMPARE(focusedName(s.form()), QString("Snippit"));
    QCOMPARE(s->SnippitChanged, std::uint8_t(1));
    press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(focusedName(s.form()), QString("Restore from backup..."));
    QCOMPARE(s->SynEdit1->Text(), QString("\t"));
}

void AccessibilityTest::popupMenuByKeyboard_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Menu key") << int(Qt::Key_Menu) << int(Qt::NoModifier);
    QTest::newRow("Shift+F10") << int(Qt::Key_F10) << int(Qt::ShiftModifier);
}

// The editor's pop-up menu opens from the keyboard, near the caret, and its entries are
// chosen with the arrow keys: "Word Wrap" is the last one.
void AccessibilityTest::popupMenuByKeyboard() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    Started s({});
    activate(s.form());
    s->SynEdit1->setFocus();
    const bool wrapped = s->SynEdit1->WordWrap();
    QRect menuAt;
    bool opened = false;
    QTimer::singleShot(0, this, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        opened = menu == s->PopupMenu1;
        if (!menu)
            return;
        menuAt = menu->geometry();
        QTest::keyClick(menu, Qt::Key_Up);
        QCOMPARE(menu->activeAction(), s->WordWrap1);
        QTest::keyClick(menu, Qt::Key_Return);
    });
    press(key, Qt::KeyboardModifiers(modifiers));
    QTRY_VERIFY(opened);
    QTRY_COMPARE(s->SynEdit1->WordWrap(), !wrapped);
    QCOMPARE(s->WordWrap1->isChecked(), !wrapped);
    const QRect editor(s->SynEdit1->mapToGlobal(QPoint(0, 0)), s->SynEdit1->size());
    QVERIFY2(editor.contains(menuAt.topLeft()), "the menu opens inside the editor");
}

void AccessibilityTest::newSnippetPanelByKeyboard_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("focus"); // at the panel's opening, and after a refusal
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("said"); // the one message shown, if any
    const QString language = "New Snippit Language...", title = "New Snippit Title...";
    const QString none;
    QTest::newRow("both empty, Return") << none << none << language << int(Qt::Key_Return)
                                        << "The new snippet needs a language. Nothing was added.";
    QTest::newRow("no title, Enter") << "Lua" << none << title << int(Qt::Key_Enter)
                                     << "The new snippet needs a title. Nothing was added.";
    QTest::newRow("both, Return adds") << "Lua"
                                       << "Hi" << title << int(Qt::Key_Return) << none;
    QTest::newRow("Escape cancels") << "Lua" << none << title << int(Qt::Key_Escape) << none;
}

// "Add Varozidi" pressed with Space puts the caret where typing is needed; Return is Ok and
// Escape Cancel, and a refused Ok says why and leaves the caret in the empty field.
void AccessibilityTest::newSnippetPanelByKeyboard() {
    QFETCH(QString, language);
    QFETCH(QString, title);
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(QString, said);
    Started s({{"C++", "Loop", "for (;;) {}"}});
    activate(s.form());
    s->Edit1->setText(language);
    s->Edit2->setText(title);
    s->ToolButton1->setFocus();
    press(Qt::Key_Space);
    QCOMPARE(focusedName(s.form()), focus);
    press(key);
    QStringList asked;
    for (const MessageDlgRequest& request : s.dialogs.asked())
        asked << request.text;
    QCOMPARE(asked, said.isEmpty() ? QStringList() : QStringList{said});
    QCOMPARE(s->Panel3->isVisible(), !said.isEmpty());
    if (!said.isEmpty())
        QCOMPARE(focusedName(s.form()), focus);
    QCOMPARE(s.rows().size(), said.isEmpty() && key != Qt::Key_Escape ? 2 : 1);
}

void AccessibilityTest::firstArrowStartsAtTheTop_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("presses");
    QTest::addColumn<int>("selected");
    QTest::newRow("Down") << int(Qt::Key_Down) << 1 << 0;
    QTest::newRow("Up") << int(Qt::Key_Up) << 1 << 0;
    QTest::newRow("Down twice") << int(Qt::Key_Down) << 2 << 1;
}

// With nothing selected, the first arrow key chooses the first entry, and lists its titles.
void AccessibilityTest::firstArrowStartsAtTheTop() {
    QFETCH(int, key);
    QFETCH(int, presses);
    QFETCH(int, selected);
    Started s({{"Awk", "A", ""}, {"Bash", "B", ""}, {"C", "C", ""}});
    activate(s.form());
    s->ListBox1->setFocus();
    QCOMPARE(s->ListBox1->ItemIndex(), -1);
    for (int i = 0; i < presses; ++i)
        press(key);
    QCOMPARE(s->ListBox1->ItemIndex(), selected);
    QCOMPARE(s->ListBox2->Count(), 1);
    QCOMPARE(s->ListBox2->Text(0), QString(QChar(u'A' + selected)));
}

// Each window is a frame or a dialog with a name a person understands; the busy notice is
// named by what it says, its never-seen caption aside.
void AccessibilityTest::windowsHaveRolesAndNames() {
    Started s({});
    s->OpenSearch();
    Form2->Panel1->setText("Backing up database...");
    const std::tuple<QWidget*, QAccessible::Role, QString> windows[] = {
        {&s.form(), QAccessible::Window, s->windowTitle()},
        {s->Search, QAccessible::Window, "Search Snippets"},
        {Form2, QAccessible::Dialog, "Backing up database..."}};
    for (const auto& [window, role, name] : windows) {
        QCOMPARE(accessible(window)->role(), role);
        QCOMPARE(accessible(window)->text(QAccessible::Name), name);
    }
}

// A real message box, centred on the main window though the busy notice is active, with the
// program's icon.
void AccessibilityTest::messageBoxesSitOverTheMainWindow() {
    Started s({});
    s->move(120, 90);
    Form2->show();
    Form2->activateWindow();
    SetMessageDlgAnswerer({});
    QRect boxAt;
    QIcon icon;
    QTimer::singleShot(100, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        boxAt = box->frameGeometry();
        icon = box->windowIcon();
        box->button(QMessageBox::Ok)->click();
    });
    s->ToolButton2Click(); // "No Varozidi selected!"
    s.dialogs.clear();
    QVERIFY(!boxAt.isNull());
    const QPoint offCentre = boxAt.center() - s->frameGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 2,
             qPrintable(QString("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
    QCOMPARE(icon.cacheKey(), s->windowIcon().cacheKey());
}

// Opening a match puts the main window in front, with the snippet; the search window goes.
void AccessibilityTest::openedMatchComesToTheFront() {
    Started s({{"C++", "Loop", "for (;;) {}"}});
    s->OpenSearch();
    QVERIFY(QTest::qWaitForWindowActive(s->Search));
    emit s->Search->Chosen(1, "C++");
    QVERIFY(!s->Search->isVisible());
    QVERIFY(QTest::qWaitForWindowActive(&s.form()));
    QCOMPARE(s->SynEdit1->Text(), QString("for (;;) {}"));
    QCOMPARE(focusedName(s.form()), QString("Snippit"));
}

QTEST_MAIN(AccessibilityTest)
#include "tst_accessibility.moc"

// What a screen reader and a keyboard user get from the main window: every control's name,
// read through Qt's accessibility interface, the tab order, and commands without a mouse.

#include "TestSupport.h"
#include "Unit1.h"

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

QTEST_MAIN(AccessibilityTest)
#include "tst_accessibility.moc"

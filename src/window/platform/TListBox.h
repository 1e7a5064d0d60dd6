// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QListWidget>

// A list box with the old toolkit's operations. Each entry may carry a value (a row ID).
class TListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TListBox(QWidget* parent = nullptr);

    // The height of every entry, as the form gives it.
    static constexpr int kItemHeight = 13;

    // -1 when no entry is selected; setting -1 (or an index outside the list) selects none.
    int ItemIndex() const;
    void setItemIndex(int index);

    int Count() const { return count(); }
    // Throws varozidi::Error for an index outside 0 .. Count()-1.
    QString Text(int index) const;
    qint64 Value(int index) const;
    void Add(const QString& text);
    void Add(const QString& text, qint64 value);
    void Clear() { clear(); }
    // Replaces every entry at once; one by one, ten thousand entries take several times as
    // long.
    void SetEntries(const QList<std::pair<QString, qint64>>& entries);
    // Index of the first entry equal to text, ignoring letter case, or -1.
    int IndexOf(const QString& text) const;
    // The entry selected before the user's latest choice, for a handler that cannot carry
    // the choice out to put back.
    int PreviousItemIndex() const { return previous_; }
    // Chooses an entry on the user's behalf, exactly as a click on it would.
    void Choose(int index);

Q_SIGNALS:
    // The user chose an entry, by mouse or keyboard; raised after it became the selected one.
    void Click();

protected:
    // The user changes the selection only by choosing an entry, which raises Click: a right
    // click, a drag or a press released elsewhere selects nothing, so the list never shows
    // a choice its handler did not see.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Ctrl and Shift change nothing about a click: it chooses the entry under the pointer.
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;

private:
    QListWidgetItem* entry(int index) const; // throws for an index outside the list

    int previous_ = -1;
    bool clicked_ = false; // the current press ended in a click
};

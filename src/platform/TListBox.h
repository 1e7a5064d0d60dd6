#pragma once

#include <QListWidget>

// A list box with the old toolkit's operations. Each entry may carry a value (a row ID).
class TListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TListBox(QWidget* parent = nullptr);

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
    // Index of the first entry equal to text, ignoring letter case, or -1.
    int IndexOf(const QString& text) const;

Q_SIGNALS:
    // The user chose an entry, by mouse or keyboard; raised after it became the selected one.
    void Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QListWidgetItem* entry(int index) const; // throws for an index outside the list
};

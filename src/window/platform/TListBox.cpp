// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/TListBox.h"

#include "data/core/Errors.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

namespace {

// Every entry is one row of the form's fixed height.
class FixedRows : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), TListBox::kItemHeight};
    }
};

} // namespace

TListBox::TListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setItemDelegate(new FixedRows(this));
    connect(this, &QListWidget::itemClicked, this, [this] {
        clicked_ = true;
        Q_EMIT Click();
    });
}

int TListBox::ItemIndex() const {
    const int row = currentRow();
    return row >= 0 && item(row)->isSelected() ? row : -1;
}

void TListBox::setItemIndex(int index) {
    if (index < 0 || index >= count()) {
        clearSelection();
        setCurrentRow(-1);
        return;
    }
    setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
}

QListWidgetItem* TListBox::entry(int index) const {
    if (index < 0 || index >= count())
        throw varozidi::Error(QStringLiteral("List index out of bounds (%1).").arg(index));
    return item(index);
}

QString TListBox::Text(int index) const {
    return entry(index)->text();
}

qint64 TListBox::Value(int index) const {
    return entry(index)->data(Qt::UserRole).toLongLong();
}

void TListBox::Add(const QString& text) {
    addItem(text);
}

void TListBox::Add(const QString& text, qint64 value) {
    auto* entry = new QListWidgetItem(text, this);
    entry->setData(Qt::UserRole, value);
}

void TListBox::SetEntries(const QList<std::pair<QString, qint64>>& entries) {
    QStringList texts;
    texts.reserve(entries.size());
    for (const auto& entry : entries)
        texts.append(entry.first);
    clear();
    addItems(texts);
    // The values are no view's business: telling the views of each one costs more than
    // filling the list.
    const QSignalBlocker quiet(model());
    for (int i = 0; i < count(); ++i)
        item(i)->setData(Qt::UserRole, entries[i].second);
}

int TListBox::IndexOf(const QString& text) const {
    for (int i = 0; i < count(); ++i)
        if (item(i)->text().compare(text, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

void TListBox::Choose(int index) {
    previous_ = ItemIndex();
    setItemIndex(index);
    Q_EMIT Click();
}

void TListBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    previous_ = ItemIndex();
    clicked_ = false;
    QListWidget::mousePressEvent(event);
}

void TListBox::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() != Qt::NoButton) {
        event->accept();
        return;
    }
    QListWidget::mouseMoveEvent(event);
}

void TListBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    QListWidget::mouseReleaseEvent(event);
    if (!clicked_ && ItemIndex() != previous_)
        setItemIndex(previous_);
}

void TListBox::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    // The second press of a double click is a choice of its own.
    previous_ = ItemIndex();
    clicked_ = false;
    QListWidget::mouseDoubleClickEvent(event);
}

void TListBox::keyPressEvent(QKeyEvent* event) {
    const int before = ItemIndex();
    // With nothing selected the list may still hold a current entry (the first, given with the
    // focus); the first arrow key then starts at the top instead of stepping past it.
    const bool arrow = event->key() == Qt::Key_Down || event->key() == Qt::Key_Up;
    if (before < 0 && arrow && event->modifiers() == Qt::NoModifier && count() > 0) {
        previous_ = before;
        setItemIndex(0);
        Q_EMIT Click();
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
    const int now = ItemIndex();
    if (now == before)
        return;
    previous_ = before;
    if (now < 0)
        setItemIndex(before);
    else
        Q_EMIT Click();
}

QItemSelectionModel::SelectionFlags TListBox::selectionCommand(const QModelIndex& index,
                                                               const QEvent* event) const {
    if (event && index.isValid() &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease ||
         event->type() == QEvent::MouseButtonDblClick))
        return QItemSelectionModel::ClearAndSelect;
    return QListWidget::selectionCommand(index, event);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "data/collection/Collection.h"

#include <QThread>
#include <QWidget>
#include <atomic>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace varozidi::search {
struct Outcome;
}

// The search window: matches listed as the user types, found on a thread of their own so
// that typing never waits on a large collection. It has no say over the main window; it tells
// it which snippet the user chose.
class SearchWindow : public QWidget {
    Q_OBJECT
public:
    explicit SearchWindow(QWidget* owner);
    ~SearchWindow() override;

    // The database each search opens afresh, so that it sees a restored file too.
    void setDatabase(const varozidi::CollectionAddress& address) { database_ = address; }
    // Searches again for what is typed, the chosen match kept where it is still found: the
    // collection was changed elsewhere.
    void Refresh();

    QLineEdit* Query;
    QTreeWidget* Results;
    QLabel* Status;
    // The versions kept of the current match (Ctrl+H), and the snippets removed (Ctrl+Shift+H).
    QPushButton* HistoryButton;
    QPushButton* RemovedButton;

    // Puts the current match's whole body on the clipboard (and the X11 primary selection),
    // byte for byte as stored, and says so in Status; false when nothing could be copied.
    bool CopyCurrent();

Q_SIGNALS:
    void Chosen(qint64 id, const QString& language);
    void HistoryWanted(qint64 id);
    void RemovedWanted();
    // The index answered with an error; the results came from reading every row.
    void IndexFailed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void search();
    void present(quint64 generation, const QString& text, const varozidi::search::Outcome& outcome,
                 const QString& failure);
    void choose(QTreeWidgetItem* item);
    // Ctrl+C copies the match (unless text of the query is selected); Ctrl+Enter copies it
    // and closes the window.
    bool copyKey(QObject* watched, QKeyEvent* key);

    varozidi::CollectionAddress database_;
    QThread thread_;
    QObject* worker_;
    quint64 generation_ = 0;
    // The match chosen when a refresh began (0 for none).
    qint64 keepId_ = 0;
    // The newest search; an older one still running stops at its next row.
    std::shared_ptr<std::atomic<quint64>> latest_ = std::make_shared<std::atomic<quint64>>(0);
};

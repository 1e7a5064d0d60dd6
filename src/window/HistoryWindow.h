// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "data/history/History.h"

#include <QByteArray>
#include <QList>
#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QsciScintilla;
class QTreeWidget;
class TSynCustomHighlighter;
class TSynEdit;
namespace varozidi {
class Collection;
}

// The versions the collection keeps of one snippet, newest first, or the snippets removed and
// still kept. The version chosen shows coloured as its language is in the main window, beside
// what it would change in the snippet's text now. Like the search window it has no say over
// the main window: it tells it which text the user wants back, and which snippet came back.
class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    // What the window reads through and colours with; both stay the owner's.
    struct Access {
        // The collection open now; throws varozidi::Error where it cannot be opened.
        std::function<varozidi::Collection&()> collection;
        std::function<TSynCustomHighlighter*(const QString& language)> highlighter;
    };
    HistoryWindow(QWidget* owner, Access access);

    // Lists the versions kept of snippet id, or the removed snippets; false, having said why,
    // where they could not be read.
    bool ShowSnippet(qint64 id);
    bool ShowRemoved();
    // Reads the list again, the selection kept where it is still listed: the collection was
    // changed. No action of the user's failed, so a failure is said in Status only.
    void Reload();
    // The snippet listed; 0 while the removed snippets are.
    qint64 SnippetId() const { return removedMode_ ? 0 : id_; }
    bool RemovedShown() const { return removedMode_; }

    QLabel* Heading;
    QTreeWidget* Versions;
    TSynEdit* Text;
    QsciScintilla* Differences;
    QLabel* Status;
    QPushButton* CopyButton;
    QPushButton* UseButton;
    QPushButton* BringBackButton;
    QPushButton* CloseButton;

    // The chosen version's text on the clipboard, as stored; false when none is shown.
    bool CopyCurrent();

Q_SIGNALS:
    // The user wants the text of a version (named by what) in the editor as snippet id's.
    void UseVersion(qint64 id, const QByteArray& body, const QString& what);
    // Snippet id is in the collection again.
    void BroughtBack(qint64 id);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void layOut();
    void setUpViews();
    bool load(bool quiet);
    void fill(qint64 keep);
    void showCurrent();
    void showNothing(const QString& why);
    void showDifferences(const varozidi::history::KeptVersion& version);
    void useCurrent();
    void bringBack();
    const varozidi::history::KeptVersion* current() const;
    QString nameOf(const varozidi::history::KeptVersion& version) const;
    bool failed(const QString& what, const std::exception& e, bool quiet);

    Access access_;
    qint64 id_ = 0;
    bool removedMode_ = false;
    // What is listed, newest first.
    QList<varozidi::history::KeptVersion> listed_;
    // The snippet's text now, to compare with; none where it has no row.
    std::optional<QByteArray> now_;
    // The version shown (its number, unique in the collection) and its text as stored.
    qint64 shownVersion_ = 0;
    std::optional<QByteArray> shownBody_;
};

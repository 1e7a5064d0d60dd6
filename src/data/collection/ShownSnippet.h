// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The snippet a window shows, as it was read (ID, language, title, row version and the bytes
// as loaded), and the rules of saving the text over it: a row changed or deleted elsewhere
// since is never overwritten unasked, and text that lost its row goes into a new one. Qt Core
// only: the window keeps the editor and asks the questions.

#include "data/core/Errors.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

class TADOTable;
namespace varozidi::recovery {
struct Record;
}

// A save found no row to write into: the welcome text, or a snippet deleted elsewhere.
class NoSnippitToSave : public varozidi::Error {
public:
    using Error::Error;
};

// A save found the snippet changed by someone else since it was shown: writing now would
// overwrite their text.
class SnippitChangedElsewhere : public varozidi::Error {
public:
    using Error::Error;
};

namespace varozidi {

class ShownSnippet : public QObject {
    Q_OBJECT
public:
    // One row as read to be shown.
    struct Row {
        qint64 id = 0;
        QString language;
        QString title;
        QString version;
        QByteArray body;
    };

    // Whether a save compares the row's version with the one shown.
    enum class Check { Version, None };

    // What a refresh found.
    enum class Found {
        Same,     // nothing for the editor to do
        Gone,     // the row was deleted elsewhere; the text stays, unsaved or not
        Kept,     // the stored text changed while the user's changes are in the editor
        Reloaded, // the stored text changed and the editor should show loaded() now
    };
    struct Refresh {
        Found found = Found::Same;
        // Given another language or title elsewhere; language() and title() say which.
        bool renamed = false;
    };

    explicit ShownSnippet(TADOTable* table = nullptr, QObject* parent = nullptr);
    void setTable(TADOTable* table) { table_ = table; }

    // 0 while no stored snippet is shown.
    const qint64& id() const { return id_; }
    const QString& language() const { return language_; }
    const QString& title() const { return title_; }
    // The row's version when read or saved; empty where none is known.
    const QString& version() const { return version_; }
    // The stored body as last loaded or saved (UTF-8, as stored), to tell a change made
    // elsewhere from the user's own.
    const QByteArray& loaded() const { return loaded_; }
    // 1 while the editor holds changes neither saved nor dismissed; the window's flag.
    std::uint8_t& unsaved() { return unsaved_; }
    // A write of the editor's text is under way: should it land, the text is saved.
    bool writingText() const { return writingText_; }

    // The row with id, read before anything changes, the cursor left on it; none when there
    // is no such row.
    std::optional<Row> read(qint64 id);
    // row is shown now, its body in the editor.
    void show(const Row& row);
    // Nothing is shown: the editor was emptied.
    void forget();
    // The text has no row any more; language and title stay, to offer a new one.
    void unlink();

    // Writes text into the shown row. Throws NoSnippitToSave when there is no row for it,
    // SnippitChangedElsewhere when check asks and someone else wrote the row since.
    void save(const QByteArray& text, Check check = Check::Version);
    // Adds a row; with text, the text goes into it. Throws having stored nothing.
    void add(const QString& language, const QString& title,
             const std::optional<QByteArray>& text = std::nullopt);
    // The ID of the row add stored; with text, that row is the one shown now and the text
    // saved. Read after the write, so that a failure here is never a reason to add it again.
    qint64 takeAdded();

    // After the file was replaced (a restore): a row with the shown ID, language and title is
    // still this snippet; otherwise the text has no row. Text that is not what the row holds
    // now counts as unsaved.
    void findAgain();
    // Brings what is shown up to date with the row as others left it. ids: the rows that
    // changed, empty for all. editorText: the editor's text, asked for only when needed.
    Refresh refresh(const QList<qint64>& ids, const std::function<QByteArray()>& editorText);

    // The ID, language and title for a record of the unsaved text.
    void describe(recovery::Record& record) const;
    // The editor shows another text than the one the record was kept from: a save asks first.
    void distrustVersion();
    // The record's text goes back without its row: it was deleted since (numberTaken false),
    // or its ID now names another snippet. A save offers a new one with the record's names.
    void takeKept(const recovery::Record& record, bool numberTaken);

private:
    void storedUnread(const QByteArray& text);
    SnippitChangedElsewhere changedElsewhere() const;

    TADOTable* table_;
    qint64 id_ = 0;
    QString language_;
    QString title_;
    QString version_;
    QByteArray loaded_;
    std::uint8_t unsaved_ = 0;
    bool writingText_ = false;
    // What add wrote, until takeAdded.
    QString addedLanguage_;
    QString addedTitle_;
    std::optional<QByteArray> addedText_;
};

} // namespace varozidi

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The snippet database's access layer: a connection and a filtered table cursor with the
// old ADO names, over the collection's engine. Failures throw varozidi::Error with a clear
// message; this layer never asks the user anything.

#include "data/core/Errors.h"
#include "data/files/Files.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

class TADOTable;

namespace varozidi {
class Collection;
}
namespace varozidi::transfer {
struct JetConversion;
}
namespace varozidi::ado {
class Backend;
enum class WriteAside;
} // namespace varozidi::ado

// The window's way to the collection, with the old ADO names: whichever engine keeps it, the
// connection holds one varozidi::Collection while open.
class TADOConnection : public QObject {
    Q_OBJECT
public:
    explicit TADOConnection(QObject* parent = nullptr);
    ~TADOConnection() override;

    // "Provider=Microsoft.JET.OLEDB.4.0;Data Source=<path>;..." for the SQLite file, or
    // "Provider=PostgreSQL;Data Source=postgresql://..." (or the bare URI) for a server.
    QString ConnectionString() const { return connectionString_; }
    void setConnectionString(const QString& s);
    bool LoginPrompt() const { return loginPrompt_; }
    void setLoginPrompt(bool on) { loginPrompt_ = on; }

    // Opens the existing collection named by the connection string (never creates one) and
    // keeps its upkeep (see varozidi::Collection::Open). Does nothing when already open.
    void Open();
    // Closes every table cursor on this connection, then the collection.
    void Close();
    bool Connected() const { return collection_ != nullptr; }
    // The file, or the server's name (never with a password), for messages.
    QString Location() const;
    // The collection open now; null while closed.
    varozidi::Collection* collection() const { return collection_.get(); }

    // Set before Open: a collection with none of the search index is opened without making it,
    // and the first search makes it (see varozidi::Collection::Upkeep).
    bool SearchIndexWhenNeeded = false;
    // Told true when opening takes more than a moment (the snippets' search index is being
    // added), and false when that is over.
    std::function<void(bool)> OnSlowOpen;
    // Told true, again and again while it lasts, when a write takes more than a moment (the
    // write goes on aside meanwhile), and false when it is over. It must not use this
    // connection.
    std::function<void(bool)> OnSlowWrite;
    // Told every few milliseconds while a write runs aside, slow or not yet: the one place a
    // request to end the program can be heard meanwhile. It must not use this connection,
    // other than StopWrite.
    std::function<void()> OnWriteWaiting;
    // From OnSlowWrite or OnWriteWaiting: stops the write running aside, as far as it has not
    // landed yet, and returns once it is over, or once waitMs have passed.
    varozidi::ado::WriteAside StopWrite(int waitMs);
    // Told, while opening is slow, how far it has come in percent.
    std::function<void(int)> OnSlowProgress;
    // Told, as a message, when closing could not remove the lock file: it stays behind, which
    // delays no one, as no program waits for a lock file no live program holds.
    std::function<void(const QString&)> OnLockFileLeft;
    // Told when the file was still a Jet 4.0 database of the old program and opening converted
    // it (see transfer/Migration.h); OnConverting as OnSlowOpen, while that takes long.
    std::function<void(const varozidi::transfer::JetConversion&)> OnConverted;
    std::function<void(bool)> OnConverting;

Q_SIGNALS:
    // A collection was opened, again after a close; the one before it is gone.
    void Opened();
    // The collection is about to be let go of.
    void Closing();

private:
    friend class TADOTable;
    varozidi::ado::Backend& backend() const;
    void attach(TADOTable* table);
    void detach(TADOTable* table);

    QString connectionString_;
    bool loginPrompt_ = false;
    QString lastLocation_;
    std::unique_ptr<varozidi::Collection> collection_;
    std::vector<TADOTable*> tables_;
};

// A post of an edit found the row changed by someone else since the version it expected.
class RowChangedError : public varozidi::Error {
public:
    using Error::Error;
};

class TField {
public:
    QString AsString() const;
    void setAsString(const QString& value);
    QString AsWideString() const { return AsString(); }
    void setAsWideString(const QString& value) { setAsString(value); }
    // False for bytes that are not UTF-8 (another program's BLOB or broken text): AsString
    // can only show those changed; AsBytes gives them as stored.
    bool IsText() const;
    QByteArray AsBytes() const;
    // Stores text given as its UTF-8 bytes, as they are: no decoding on the way.
    void setAsBytes(const QByteArray& utf8);
    // Whole numbers; a field without a value reads as 0. AsInteger fails beyond 32 bits.
    qint64 AsLargeInt() const;
    int AsInteger() const;
    void setAsInteger(int value);
    bool IsNull() const;
    QString FieldName() const;

private:
    friend class TADOTable;
    TField(TADOTable* table, int column) : table_(table), column_(column) {}
    TADOTable* table_;
    int column_;
};

class TADOTable : public QObject {
    Q_OBJECT
public:
    enum class State { dsInactive, dsBrowse, dsEdit, dsInsert };

    explicit TADOTable(QObject* parent = nullptr);
    ~TADOTable() override;

    TADOConnection* Connection() const { return connection_; }
    void setConnection(TADOConnection* connection);
    QString TableName() const { return tableName_; }
    void setTableName(const QString& name);

    // Opens the cursor (and the connection first if needed) on the first row, of the
    // filtered rows when filtering is on. Does nothing when already open.
    void Open();
    void Close();
    bool Active() const { return state_ != State::dsInactive; }
    State GetState() const { return state_; }

    // Jet/ADO filter text, e.g. "Language = 'SQL'AND Title = 'Don''t'". Both settings
    // survive Close; while open and filtering, a change re-reads and moves to the first row.
    QString Filter() const { return filter_; }
    void setFilter(const QString& filter);
    bool Filtered() const { return filtered_; }
    void setFiltered(bool on);

    void First();
    void Next();
    bool Eof() const;
    int RecordCount() const;

    // A field of the current row by name; throws when the table has no such field.
    TField FieldByName(const QString& name);

    void Edit();
    void Insert();
    void Post();
    void Cancel();
    void Delete();

    // The current row's version as stored now, which changes with every write to the row
    // (on the local file, with every change of its fields).
    QString RowVersion();
    // The version the last Post of an edit gave the row, as it wrote it; empty where the
    // engine keeps none, or after an insert.
    QString WrittenVersion() const;
    // The next Post of this edit writes only while the row still has this version, and
    // throws RowChangedError otherwise; an empty version asks for no such check.
    void setExpectedVersion(const QString& version);

private:
    friend class TField;
    friend class TADOConnection;
    struct Impl;
    QVariant value(int column);
    void setValue(int column, const QVariant& v);
    void connectionClosing();

    TADOConnection* connection_ = nullptr;
    QString tableName_;
    QString filter_;
    bool filtered_ = false;
    // Columns a pass through a filter read row by row, with short values: read along with
    // the rows a filter finds (see Impl::scan).
    QStringList readAlong_;
    State state_ = State::dsInactive;
    std::unique_ptr<Impl> d_;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A prepared SQLite statement that reports every failure as a varozidi::Error naming the
// database file.

#include <QByteArrayView>
#include <QString>
#include <QVariant>
#include <optional>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace varozidi::ado {

// doing completes "Cannot ...", e.g. "read the database". A disk that failed (a read or
// write refused with an input/output error) throws varozidi::DiskError, anything else
// varozidi::Error.
[[noreturn]] void throwSqliteError(sqlite3* db, int rc, const QString& path, const QString& doing);
// What throwSqliteError says after "Cannot ... \"path\": ", e.g. "the disk is full"; disk
// set when the disk itself failed.
QString SqliteErrorReason(sqlite3* db, int rc, bool* disk = nullptr);

// The system's error of the last read of a database file that failed on this thread (a bad
// sector gives EIO, which SQLite passes on as a damaged file), or 0. A message that names it
// (throwSqliteError) clears it.
int ReadFailure();
void ClearReadFailure();
// The system's error of the last other call on a database file that failed on this thread
// (a write, a sync, a lock, a removal), or 0; taking it clears it.
int TakeSystemFailure();
// Whether that read was of a file empty when opened: a database being made, not a collection.
bool ReadFailureOfNewFile();
// Why the database of db, asked for reading and writing, was opened for reading only: the
// system's error, or 0 where it was not.
int WriteRefused(sqlite3* db);

class Statement {
public:
    Statement(sqlite3* db, const QString& path, const QString& sql, const QString& doing);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds values to the parameters from number first (1-based) on.
    void bind(const std::vector<QVariant>& values, int first = 1);
    void bind(int index, const QVariant& value);
    // Binds the value column of from holds now, exactly as stored (type and bytes).
    void bindStored(int index, const Statement& from, int column);
    // True while a row is ready.
    bool step();
    // Ready to run again, with the same bindings.
    void reset();
    // Runs a statement that returns no rows.
    static void exec(sqlite3* db, const QString& path, const QString& sql, const QString& doing);
    qint64 int64(int column) const;
    // SQLITE_NULL, SQLITE_TEXT, ... as the cell is stored.
    int type(int column) const;
    // NULL reads as an invalid QVariant.
    QVariant value(int column) const;
    // As value(), but a REAL comes as SQLite's own text for it, which is what it equals when
    // a filter compares it as text.
    QVariant cell(int column) const;
    // The stored bytes of a TEXT or BLOB cell (text in UTF-8), empty for NULL, nothing for a
    // number; valid until the next step.
    std::optional<QByteArrayView> bytes(int column) const;
    bool isNull(int column) const;
    // The cell as SQLite gives it as text: TEXT as stored, a number as SQLite's text for it,
    // a BLOB's bytes; nothing for NULL. Valid as bytes(). Two calls of the library where
    // type() and bytes() take three, for a listing of a million rows.
    std::optional<QByteArrayView> textOf(int column) const;
    // The stored bytes of a TEXT cell, undecoded; nothing for any other type. Valid as bytes().
    std::optional<QByteArrayView> text(int column) const;

private:
    [[noreturn]] void fail(int rc) const;

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    QString path_;
    QString doing_;
};

} // namespace varozidi::ado

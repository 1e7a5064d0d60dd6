// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The engine a connection works on, behind one small interface: the SQLite file of old, or a
// PostgreSQL server. The table cursor speaks to it in SQL whose values are all bound ("?").

#include "data/store/AdoSchema.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

namespace varozidi::ado {

// Text as the UTF-8 bytes it is stored as: read without decoding and written as text, never
// as a BLOB. A snippet's body goes to the editor and back this way, megabytes at a time.
struct Utf8Bytes {
    QByteArray bytes;
    bool operator==(const Utf8Bytes&) const = default;
};
} // namespace varozidi::ado
// Kept inside the QVariant, with no allocation of its own: a list reads thousands of them.
Q_DECLARE_TYPEINFO(varozidi::ado::Utf8Bytes, Q_RELOCATABLE_TYPE);
namespace varozidi::ado {
QVariant Utf8Value(QByteArray bytes);
// The bytes of a Utf8Value, or nullptr for any other value.
const QByteArray* Utf8BytesOf(const QVariant& value);
// Rows give text of more bytes than this as a Utf8Value; shorter text, which lists read by the
// thousand, comes decoded.
constexpr qsizetype kTextKeptAsBytes = 4096;

// The rows one query returns, read in order.
class Rows {
public:
    virtual ~Rows() = default;
    // True while a row is ready.
    virtual bool step() = 0;
    virtual qint64 int64(int column) const = 0;
    // NULL reads as an invalid QVariant; a REAL as the text a filter compares it as; long text
    // as a Utf8Value.
    virtual QVariant cell(int column) const = 0;
};

// A write that ran aside and was asked to stop: none was running, it had landed all the same,
// it stopped with nothing written, or it is still running (and holds the connection).
enum class WriteAside { None, Landed, Stopped, Running };

class Backend {
public:
    virtual ~Backend() = default;
    // The file or the server, as messages name it (never with a password).
    virtual QString location() const = 0;
    virtual TableShape describe(const QString& table) = 0;
    virtual std::unique_ptr<Rows> query(const QString& sql, const std::vector<QVariant>& params,
                                        const QString& doing) = 0;
    // Runs a statement that returns no rows; how many rows it changed.
    virtual qint64 change(const QString& sql, const std::vector<QVariant>& params,
                          const QString& doing) = 0;
    // Runs an UPDATE that ends in RETURNING returning: how many rows it changed, and into
    // returned what it gave for the last of them.
    virtual qint64 changeReturning(const QString& sql, const QString& returning,
                                   const std::vector<QVariant>& params, QString& returned,
                                   const QString& doing) = 0;
    // Runs an INSERT; the new row's rowid (named by rowidSql).
    virtual qint64 insert(const QString& sql, const std::vector<QVariant>& params,
                          const QString& rowidSql, const QString& doing) = 0;
    // The row's version, which changes with each write to it; empty where the engine keeps
    // none.
    virtual QString version(const QString& table, const QString& rowidSql, qint64 rowid,
                            const QString& doing) = 0;
    // How SQL names that version of a row of table in a condition.
    virtual QString versionSql(const QString& table) {
        Q_UNUSED(table);
        return {};
    }
    // Text compares in code point order, so an equality may add a range an index can seek.
    virtual bool textInCodePointOrder() { return false; }
    // Told after each change or insert that went through, on the caller's thread.
    void setAfterWrite(std::function<void()> after) { afterWrite_ = std::move(after); }

protected:
    void wrote() const {
        if (afterWrite_)
            afterWrite_();
    }

private:
    std::function<void()> afterWrite_;
};

} // namespace varozidi::ado

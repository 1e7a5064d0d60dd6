// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteCompaction.h"

#include "data/core/Errors.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHandle.h"
#include "data/store/AdoBackend.h"

#include <QElapsedTimer>
#include <QList>
#include <sqlite3.h>

namespace varozidi::sqlite {

using ado::Statement;

namespace {

QString reading() {
    return QStringLiteral("read the history of the database");
}

QString compacting() {
    return QStringLiteral("compact the history of the database");
}

using history::kBatchBytes;
using history::kBatchMs;
using history::kBatchRows;

QByteArray bytesAt(const Statement& s, int column) {
    return s.bytes(column).value_or(QByteArrayView()).toByteArray();
}

// A mark past the last version is of a table made anew since: looked at from the start.
qint64 packedUpTo(sqlite3* db, const QString& path) {
    Statement mark(db, path,
                   QStringLiteral("SELECT Value, (SELECT max(Version) FROM varozidi_history) FROM "
                                  "varozidi_history_state WHERE Name = ?"),
                   compacting());
    mark.bind(1, QString::fromLatin1(history::kPackedUpTo));
    return mark.step() && mark.int64(0) <= mark.int64(1) ? mark.int64(0) : 0;
}

// The version of the snippet of row just before it, packed against it where that pays.
bool packBefore(sqlite3* db, const QString& path, qint64 version, qint64 id, qint64 changed,
                qint64& read) {
    Statement before(db, path,
                     QStringLiteral("SELECT Version, Changed, Delta IS NULL AND typeof(Body) = "
                                    "'text' FROM varozidi_history WHERE ID = ? AND Version < ? "
                                    "ORDER BY Version DESC LIMIT 1"),
                     compacting());
    before.bind({id, version});
    // Only a version replaced no later than its dictionary: the retention then removes it
    // first, however the clock went.
    if (!before.step() || before.int64(2) != 1 || before.int64(1) > changed)
        return false;
    const qint64 older = before.int64(0);
    Statement body(db, path, QStringLiteral("SELECT Body FROM varozidi_history WHERE Version = ?"),
                   compacting());
    body.bind(1, older);
    body.step();
    const QByteArray text = bytesAt(body, 0);
    if (text.size() < history::kPackAtLeast)
        return false;
    const QByteArray dictionary = VersionText(db, path, version).value_or(QByteArray());
    read += text.size() + dictionary.size();
    const auto frame = history::Pack(text, dictionary);
    if (!frame)
        return false;
    // Taken out and put back rather than changed where it stands: a row made smaller leaves its
    // page as full as it was, where a row taken out lets the pages around it merge and their
    // room go to new rows. Its values are kept as stored, under its own Version.
    const QString columns = QStringLiteral("Version, ID, Language, Title, Changed, Kind");
    Statement::exec(db, path, QStringLiteral("DELETE FROM temp.varozidi_packing"), compacting());
    Statement keep(db, path,
                   QStringLiteral("INSERT INTO temp.varozidi_packing SELECT %1 FROM "
                                  "varozidi_history WHERE Version = ? AND Delta IS NULL")
                       .arg(columns),
                   compacting());
    keep.bind(1, older);
    keep.step();
    if (sqlite3_changes(db) != 1)
        return false;
    Statement out(db, path, QStringLiteral("DELETE FROM varozidi_history WHERE Version = ?"),
                  compacting());
    out.bind(1, older);
    out.step();
    Statement in(db, path,
                 QStringLiteral("INSERT INTO varozidi_history (%1, Delta, Size, Base) SELECT %1, "
                                "?, ?, ? FROM temp.varozidi_packing")
                     .arg(columns),
                 compacting());
    in.bind({*frame, qint64(text.size()), version});
    in.step();
    return true;
}

class FileCompaction : public history::CompactionWork {
public:
    explicit FileCompaction(const QString& path)
        : path_(path), db_(Handle::Open(path, Handle::Mode::ReadWrite, compacting())) {
        // As every connection of the program: a commit is on the disk before it counts.
        sqlite3_exec(db_.get(), "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
    }
    bool batch() override { return CompactBatch(db_.get(), path_); }

private:
    QString path_;
    Handle db_;
};

} // namespace

bool HoldsPacked(sqlite3* db, const QString& path, const QString& schema) {
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM pragma_table_info('varozidi_history', ?) "
                               "WHERE name IN ('Delta', 'Size', 'Base')"),
                reading());
    s.bind(1, schema);
    s.step();
    return s.int64(0) == 3;
}

std::optional<QByteArray> VersionText(sqlite3* db, const QString& path, qint64 version,
                                      const QString& schema) {
    const bool packs = HoldsPacked(db, path, schema);
    Statement row(
        db, path,
        QStringLiteral("SELECT Body, %1 FROM %2.varozidi_history WHERE Version = ?")
            .arg(packs ? QStringLiteral("Delta, Size, Base") : QStringLiteral("NULL, NULL, NULL"),
                 schema),
        reading());
    struct Link {
        QByteArray frame;
        qint64 size;
    };
    QList<Link> chain;
    for (qint64 at = version;;) {
        row.bind(1, at);
        if (!row.step())
            throw Error(QStringLiteral("Cannot read version %1 of the history of \"%2\": the "
                                       "version %3 it was stored against is gone.")
                            .arg(version)
                            .arg(path)
                            .arg(at));
        if (row.isNull(1)) {
            if (chain.isEmpty())
                return row.isNull(0) ? std::nullopt : std::optional(bytesAt(row, 0));
            QByteArray text = bytesAt(row, 0);
            for (qsizetype i = chain.size() - 1; i >= 0; --i)
                text = history::Unpack(chain[i].frame, text, chain[i].size);
            return text;
        }
        const qint64 base = row.int64(3);
        // Always a later version: a loop is a damaged table, not one to follow.
        if (base <= at)
            throw Error(QStringLiteral("Cannot read version %1 of the history of \"%2\": it is "
                                       "damaged.")
                            .arg(version)
                            .arg(path));
        chain.append({bytesAt(row, 1), row.int64(2)});
        row.reset();
        at = base;
    }
}

void UnpackDependents(sqlite3* db, const QString& path, qint64 id, qint64 base) {
    if (!HoldsPacked(db, path))
        return;
    Statement dependents(db, path,
                         QStringLiteral("SELECT Version FROM varozidi_history WHERE ID = ? AND "
                                        "Base = ?"),
                         compacting());
    dependents.bind({id, base});
    QList<qint64> versions;
    while (dependents.step())
        versions.append(dependents.int64(0));
    Statement plain(db, path,
                    QStringLiteral("UPDATE varozidi_history SET Body = ?, Delta = NULL, Size = "
                                   "NULL, Base = NULL WHERE Version = ?"),
                    compacting());
    for (const qint64 version : versions) {
        // Only text is ever packed.
        plain.bind(
            {ado::Utf8Value(VersionText(db, path, version).value_or(QByteArray())), version});
        plain.step();
        plain.reset();
    }
}

bool CompactionDue(sqlite3* db, const QString& path) {
    Statement tables(db, path,
                     QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = "
                                    "'varozidi_history_state'"),
                     compacting());
    tables.step();
    if (tables.int64(0) == 0 || !HoldsPacked(db, path))
        return false;
    Statement last(db, path, QStringLiteral("SELECT max(Version) FROM varozidi_history"),
                   compacting());
    last.step();
    return last.int64(0) - packedUpTo(db, path) >= history::kCompactAfter;
}

bool CompactBatch(sqlite3* db, const QString& path, qint64* packed) {
    Statement::exec(db, path,
                    QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS varozidi_packing (Version, ID, "
                                   "Language, Title, Changed, Kind)"),
                    compacting());
    // IMMEDIATE: no other writer in between the read of a version and its replacement.
    Statement::exec(db, path, QStringLiteral("BEGIN IMMEDIATE"), compacting());
    bool more = false;
    try {
        qint64 mark = packedUpTo(db, path);
        Statement next(db, path,
                       QStringLiteral("SELECT Version, ID, Changed FROM varozidi_history WHERE "
                                      "Version > ? ORDER BY Version LIMIT ?"),
                       compacting());
        next.bind({mark, kBatchRows});
        QElapsedTimer timer;
        timer.start();
        qint64 read = 0;
        int rows = 0;
        while (next.step()) {
            ++rows;
            if (packBefore(db, path, next.int64(0), next.int64(1), next.int64(2), read) && packed)
                ++*packed;
            mark = next.int64(0);
            if (timer.elapsed() >= kBatchMs || read >= kBatchBytes) {
                more = true;
                break;
            }
        }
        more = more || rows == kBatchRows;
        Statement keep(db, path,
                       QStringLiteral("INSERT OR REPLACE INTO varozidi_history_state (Name, "
                                      "Value) VALUES (?, ?)"),
                       compacting());
        keep.bind({QString::fromLatin1(history::kPackedUpTo), mark});
        keep.step();
        Statement::exec(db, path, QStringLiteral("COMMIT"), compacting());
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return more;
}

std::unique_ptr<history::CompactionWork> CompactionOf(const QString& path) {
    return std::make_unique<FileCompaction>(path);
}

} // namespace varozidi::sqlite

// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/postgresql/ServerCompaction.h"

#include "data/core/Errors.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/store/AdoBackend.h"

#include <QElapsedTimer>
#include <QList>

namespace varozidi::postgresql {

namespace {

QString reading() {
    return QStringLiteral("read the history of the snippets");
}

QString compacting() {
    return QStringLiteral("compact the history of the snippets");
}

using history::kBatchBytes;
using history::kBatchMs;
using history::kBatchRows;

// The compactions of every machine take their turns on the row of the state table.
qint64 takePackedUpTo(ado::PgBackend& server) {
    const QVariant name = QString::fromLatin1(history::kPackedUpTo);
    server.exec(QStringLiteral("INSERT INTO varozidi_history_state (\"Name\", \"Value\") VALUES "
                               "(?, 0) ON CONFLICT DO NOTHING"),
                {name}, compacting());
    const auto mark = server.exec(QStringLiteral("SELECT \"Value\", (SELECT max(\"Version\") FROM "
                                                 "varozidi_history) FROM varozidi_history_state "
                                                 "WHERE \"Name\" = ? FOR UPDATE"),
                                  {name}, compacting());
    // A mark past the last version is of a table made anew since: looked at from the start.
    if (mark->rows() == 0 || mark->isNull(0, 1) || mark->int64(0, 0) > mark->int64(0, 1))
        return 0;
    return mark->int64(0, 0);
}

bool packBefore(ado::PgBackend& server, qint64 version, qint64 id, qint64 changed, qint64& read) {
    // The snippet's row first, as its writers take it, then the dictionary, then the version.
    server.exec(QStringLiteral("SELECT 1 FROM varozidi WHERE \"ID\" = ? FOR SHARE"), {id},
                compacting());
    if (server
            .exec(QStringLiteral("SELECT 1 FROM varozidi_history WHERE \"Version\" = ? FOR "
                                 "SHARE"),
                  {version}, compacting())
            ->rows() == 0)
        return false;
    const auto before = server.exec(
        QStringLiteral("SELECT \"Version\", \"Changed\", \"Delta\" IS NULL AND \"Body\" IS NOT "
                       "NULL AND octet_length(\"Body\") >= ?, \"Body\" FROM varozidi_history "
                       "WHERE \"ID\" = ? AND \"Version\" < ? ORDER BY \"Version\" DESC LIMIT 1 "
                       "FOR UPDATE"),
        {history::kPackAtLeast, id, version}, compacting());
    // Only a version replaced no later than its dictionary: the retention removes it first.
    if (before->rows() == 0 || before->text(0, 2) != u"t" || before->int64(0, 1) > changed)
        return false;
    const QByteArray text = before->bytes(0, 3);
    const QByteArray dictionary = ServerVersionText(server, version).value_or(QByteArray());
    read += text.size() + dictionary.size();
    const auto frame = history::Pack(text, dictionary);
    if (!frame)
        return false;
    return server
               .exec(QStringLiteral("UPDATE varozidi_history SET \"Body\" = NULL, \"Delta\" = ?, "
                                    "\"Size\" = ?, \"Base\" = ? WHERE \"Version\" = ? AND "
                                    "\"Delta\" IS NULL RETURNING \"Version\""),
                     {*frame, qint64(text.size()), version, before->int64(0, 0)}, compacting())
               ->rows() == 1;
}

class ServerWork : public history::CompactionWork {
public:
    explicit ServerWork(const QString& uri) : server_(uri) {}
    bool batch() override { return CompactServerBatch(server_); }

private:
    ado::PgBackend server_;
};

} // namespace

bool HoldsPackedOnServer(ado::PgBackend& server) {
    const auto found = server.exec(
        QStringLiteral("SELECT count(*) FROM pg_attribute WHERE attrelid = "
                       "to_regclass('varozidi_history') AND attname IN ('Delta', 'Size', "
                       "'Base') AND NOT attisdropped"),
        {}, reading());
    return found->int64(0, 0) == 3;
}

std::optional<QByteArray> ServerVersionText(ado::PgBackend& server, qint64 version) {
    const bool packs = HoldsPackedOnServer(server);
    const QString sql = QStringLiteral("SELECT \"Body\", %1 FROM varozidi_history WHERE "
                                       "\"Version\" = ?")
                            .arg(packs ? QStringLiteral("\"Delta\", \"Size\", \"Base\"")
                                       : QStringLiteral("NULL::bytea, NULL, NULL"));
    struct Link {
        QByteArray frame;
        qint64 size;
    };
    QList<Link> chain;
    for (qint64 at = version;;) {
        const auto row = server.exec(sql, {at}, reading());
        if (row->rows() == 0)
            throw Error(QStringLiteral("Cannot read version %1 of the history on %2: the "
                                       "version %3 it was stored against is gone.")
                            .arg(version)
                            .arg(server.location())
                            .arg(at));
        if (row->isNull(0, 1)) {
            if (chain.isEmpty())
                return row->isNull(0, 0) ? std::nullopt : std::optional(row->bytes(0, 0));
            QByteArray text = row->bytes(0, 0);
            for (qsizetype i = chain.size() - 1; i >= 0; --i)
                text = history::Unpack(chain[i].frame, text, chain[i].size);
            return text;
        }
        const qint64 base = row->int64(0, 3);
        if (base <= at)
            throw Error(QStringLiteral("Cannot read version %1 of the history on %2: it is "
                                       "damaged.")
                            .arg(version)
                            .arg(server.location()));
        chain.append({row->value(0, 1).toByteArray(), row->int64(0, 2)});
        at = base;
    }
}

void UnpackServerDependents(ado::PgBackend& server, qint64 id, qint64 base) {
    if (!HoldsPackedOnServer(server))
        return;
    const auto dependents =
        server.exec(QStringLiteral("SELECT \"Version\" FROM varozidi_history WHERE \"ID\" = ? "
                                   "AND \"Base\" = ? FOR UPDATE"),
                    {id, base}, compacting());
    for (int row = 0; row < dependents->rows(); ++row) {
        const qint64 version = dependents->int64(row, 0);
        server.exec(
            QStringLiteral("UPDATE varozidi_history SET \"Body\" = ?, \"Delta\" = NULL, "
                           "\"Size\" = NULL, \"Base\" = NULL WHERE \"Version\" = ?"),
            {ado::Utf8Value(ServerVersionText(server, version).value_or(QByteArray())), version},
            compacting());
    }
}

bool ServerKeepsPacked(ado::PgBackend& server) {
    const auto state =
        server.exec(QStringLiteral("SELECT to_regclass('varozidi_history_state') IS NOT NULL"), {},
                    compacting());
    return state->text(0, 0) == u"t" && HoldsPackedOnServer(server);
}

bool ServerCompactionDue(ado::PgBackend& server) {
    const auto count = server.exec(
        QStringLiteral("SELECT m - CASE WHEN p > m THEN 0 ELSE p END FROM (SELECT "
                       "COALESCE((SELECT max(\"Version\") FROM varozidi_history), 0) AS m, "
                       "COALESCE((SELECT \"Value\" FROM varozidi_history_state WHERE \"Name\" = "
                       "?), 0) AS p) AS marks"),
        {QString::fromLatin1(history::kPackedUpTo)}, compacting());
    return count->int64(0, 0) >= history::kCompactAfter;
}

bool CompactServerBatch(ado::PgBackend& server, qint64* packed) {
    server.script(QStringLiteral("BEGIN"), compacting());
    bool more = false;
    try {
        qint64 mark = takePackedUpTo(server);
        const auto next = server.exec(
            QStringLiteral("SELECT \"Version\", \"ID\", \"Changed\" FROM varozidi_history WHERE "
                           "\"Version\" > ? ORDER BY \"Version\" LIMIT ?"),
            {mark, kBatchRows}, compacting());
        QElapsedTimer timer;
        timer.start();
        qint64 read = 0;
        int row = 0;
        for (; row < next->rows(); ++row) {
            if (packBefore(server, next->int64(row, 0), next->int64(row, 1), next->int64(row, 2),
                           read) &&
                packed)
                ++*packed;
            mark = next->int64(row, 0);
            if (timer.elapsed() >= kBatchMs || read >= kBatchBytes) {
                more = row + 1 < next->rows() || next->rows() == kBatchRows;
                break;
            }
        }
        more = more || next->rows() == kBatchRows;
        server.exec(QStringLiteral("UPDATE varozidi_history_state SET \"Value\" = ? WHERE "
                                   "\"Name\" = ?"),
                    {mark, QString::fromLatin1(history::kPackedUpTo)}, compacting());
        server.script(QStringLiteral("COMMIT"), compacting());
    } catch (...) {
        try {
            server.script(QStringLiteral("ROLLBACK"), compacting());
        } catch (const std::exception&) {
        }
        throw;
    }
    return more;
}

std::unique_ptr<history::CompactionWork> ServerCompactionOf(const QString& uri) {
    return std::make_unique<ServerWork>(uri);
}

} // namespace varozidi::postgresql

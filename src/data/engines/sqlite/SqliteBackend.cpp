// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteBackend.h"

#include "data/engines/sqlite/AdoStatement.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStringList>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sqlite3.h>
#include <thread>
// Inlined: no library of it is loaded at start.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace varozidi::ado {

namespace {

class SqliteRows : public Rows {
public:
    SqliteRows(sqlite3* db, const QString& path, const QString& sql, const QString& doing)
        : statement_(db, path, sql, doing) {}
    Statement& statement() { return statement_; }
    bool step() override { return statement_.step(); }
    qint64 int64(int column) const override { return statement_.int64(column); }
    QVariant cell(int column) const override {
        if (const auto text = statement_.text(column); text && text->size() > kTextKeptAsBytes)
            return Utf8Value(text->toByteArray());
        return statement_.cell(column);
    }

private:
    Statement statement_;
};

// The digest of its arguments, each as SQLite stores it (type and bytes), as hex text.
// XXH3: a save digests the row in its write's guard and in what the write returns, and a
// cryptographic hash of a 10 MB body took most of the save's time; a version only tells
// writes apart, it guards no secret.
void rowDigest(sqlite3_context* context, int count, sqlite3_value** values) {
    XXH3_state_t* state = XXH3_createState();
    if (!state) {
        sqlite3_result_error_nomem(context);
        return;
    }
    const auto freed = qScopeGuard([state] { XXH3_freeState(state); });
    XXH3_128bits_reset(state);
    const auto add = [state](const void* data, std::size_t size) {
        XXH3_128bits_update(state, data, size);
    };
    for (int i = 0; i < count; ++i) {
        const int type = sqlite3_value_type(values[i]);
        const char tag = char('0' + type);
        add(&tag, 1);
        switch (type) {
        case SQLITE_INTEGER: {
            const qint64 number = sqlite3_value_int64(values[i]);
            add(&number, sizeof number);
            break;
        }
        case SQLITE_FLOAT: {
            const double number = sqlite3_value_double(values[i]);
            add(&number, sizeof number);
            break;
        }
        case SQLITE_NULL:
            break;
        default: {
            const void* bytes = sqlite3_value_blob(values[i]);
            const qint64 size = sqlite3_value_bytes(values[i]);
            // The length first, so that no two rows' fields run into the same bytes.
            add(&size, sizeof size);
            if (bytes)
                add(bytes, std::size_t(size));
        }
        }
    }
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state));
    const QByteArray hex =
        QByteArray(reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest)
            .toHex();
    sqlite3_result_text(context, hex.constData(), int(hex.size()), SQLITE_TRANSIENT);
}

constexpr char kDigest[] = "varozidi_row_version";
// A write that takes longer than this is told about; the caller is then told again this often.
constexpr int kSlowMs = 400;
constexpr int kTellEveryMs = 40;

} // namespace

SqliteBackend::SqliteBackend(sqlite3* db, const QString& path) : db_(db), path_(path) {
    // Only this program's own statements may call it, never a view or trigger of the file.
    digests_ = sqlite3_create_function_v2(
                   db_, kDigest, -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY,
                   nullptr, rowDigest, nullptr, nullptr, nullptr) == SQLITE_OK;
}

QString SqliteBackend::versionSql(const QString& table) {
    if (!digests_)
        return {};
    auto it = versionSql_.find(table);
    if (it == versionSql_.end()) {
        QStringList fields;
        for (const Column& column : describe(table).columns)
            fields.append(quoteIdentifier(column.name));
        it = versionSql_
                 .emplace(table, QStringLiteral("%1(%2)").arg(QLatin1String(kDigest),
                                                              fields.join(QLatin1Char(','))))
                 .first;
    }
    return it->second;
}

QString SqliteBackend::version(const QString& table, const QString& rowidSql, qint64 rowid,
                               const QString& doing) {
    const QString digest = versionSql(table);
    if (digest.isEmpty())
        return {};
    Statement s(db_, path_,
                QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?")
                    .arg(digest, quoteIdentifier(table), rowidSql),
                doing);
    s.bind(1, rowid);
    return s.step() ? s.value(0).toString() : QString();
}

TableShape SqliteBackend::describe(const QString& table) {
    return describeTable(db_, path_, table);
}

bool SqliteBackend::textInCodePointOrder() {
    Statement encoding(db_, path_, QStringLiteral("PRAGMA encoding"),
                       QStringLiteral("read the database's text encoding"));
    return encoding.step() && encoding.value(0).toString() == u"UTF-8";
}

std::unique_ptr<Rows> SqliteBackend::query(const QString& sql, const std::vector<QVariant>& params,
                                           const QString& doing) {
    auto rows = std::make_unique<SqliteRows>(db_, path_, sql, doing);
    rows->statement().bind(params);
    return rows;
}

qint64 SqliteBackend::change(const QString& sql, const std::vector<QVariant>& params,
                             const QString& doing) {
    Statement s(db_, path_, sql, doing);
    s.bind(params);
    step(s);
    const qint64 changed = sqlite3_changes(db_);
    wrote();
    return changed;
}

qint64 SqliteBackend::changeReturning(const QString& sql, const QString& returning,
                                      const std::vector<QVariant>& params, QString& returned,
                                      const QString& doing) {
    Statement s(db_, path_, sql + QStringLiteral(" RETURNING ") + returning, doing);
    s.bind(params);
    qint64 rows = 0;
    // Stepped to its end aside: the change is committed by the last step.
    aside([&] {
        while (s.step()) {
            ++rows;
            returned = s.value(0).toString();
        }
    });
    wrote();
    return rows;
}

qint64 SqliteBackend::insert(const QString& sql, const std::vector<QVariant>& params,
                             const QString&, const QString& doing) {
    Statement s(db_, path_, sql, doing);
    s.bind(params);
    step(s);
    const qint64 rowid = sqlite3_last_insert_rowid(db_);
    wrote();
    return rowid;
}

// What the write running aside and the caller's thread share.
struct SqliteBackend::Aside {
    std::mutex mutex;
    std::condition_variable over;
    bool done = false;
    std::exception_ptr failure;
};

void SqliteBackend::step(Statement& statement) {
    aside([&statement] { statement.step(); });
}

// The connection is serialized, and the caller's thread does nothing with it until the work
// is over: it only waits, telling the caller now and then.
void SqliteBackend::aside(const std::function<void()>& work) {
    if (!slowWrite_ || !*slowWrite_ || sqlite3_threadsafe() != 1) {
        work();
        return;
    }
    Aside aside;
    aside_ = &aside;
    const auto written = qScopeGuard([this] { aside_ = nullptr; });
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            aside.failure = std::current_exception();
        }
        const std::lock_guard lock(aside.mutex);
        aside.done = true;
        aside.over.notify_all();
    });
    QElapsedTimer timer;
    timer.start();
    bool told = false;
    std::unique_lock lock(aside.mutex);
    while (!aside.over.wait_for(lock, std::chrono::milliseconds(kTellEveryMs),
                                [&] { return aside.done; })) {
        lock.unlock();
        if (waiting_ && *waiting_)
            (*waiting_)();
        if (timer.elapsed() >= kSlowMs) {
            told = true;
            (*slowWrite_)(true);
        }
        lock.lock();
    }
    lock.unlock();
    worker.join();
    if (told)
        (*slowWrite_)(false);
    if (aside.failure)
        std::rethrow_exception(aside.failure);
}

WriteAside SqliteBackend::stopWrite(int waitMs) {
    if (!aside_)
        return WriteAside::None;
    sqlite3_interrupt(db_);
    std::unique_lock lock(aside_->mutex);
    // A statement busy inside one step (a large text being indexed) sees the interruption
    // only once that step is over.
    if (!aside_->over.wait_for(lock, std::chrono::milliseconds(waitMs),
                               [this] { return aside_->done; }))
        return WriteAside::Running;
    // A write whose guard found the row changed wrote nothing either.
    return !aside_->failure && sqlite3_changes(db_) > 0 ? WriteAside::Landed : WriteAside::Stopped;
}

} // namespace varozidi::ado

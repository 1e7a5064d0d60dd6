#include "platform/SearchIndex.h"

#include "platform/AdoSchema.h"
#include "platform/AdoStatement.h"
#include "platform/Errors.h"

#include <QElapsedTimer>
#include <QSet>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <sqlite3.h>

namespace varozidi::search {

namespace {

using ado::Statement;

const QString kTable = QStringLiteral("varozidi");
const QString kTitleIndex = QStringLiteral("varozidi_search_title");
const QString kTextIndex = QStringLiteral("varozidi_search_text");
const QStringList kTriggers = {QStringLiteral("varozidi_search_insert"),
                               QStringLiteral("varozidi_search_delete"),
                               QStringLiteral("varozidi_search_update")};
constexpr int kObjects = 5;
constexpr qint64 kSlowMs = 400;
// More trigrams than this make a long query slow without making it more precise: every
// candidate is checked against the whole text anyway.
constexpr int kMaxTrigrams = 12;
constexpr qsizetype kLineWidth = 160;

QString keeping() {
    return QStringLiteral("keep the search index of the database");
}

QString searching() {
    return QStringLiteral("search the database");
}

// How SQL reaches the snippet table's fields; the ID is the rowid where there is no ID.
struct Fields {
    QString rowid;
    QString id;
};

Fields fieldsOf(sqlite3* db, const QString& path) {
    const ado::TableShape shape = ado::describeTable(db, path, kTable);
    const auto named = [&shape](const char* name) {
        for (const ado::Column& c : shape.columns)
            if (c.name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return ado::quoteIdentifier(c.name);
        return QString();
    };
    if (named("Language").isEmpty() || named("Title").isEmpty() || named("Body").isEmpty())
        throw Error(QStringLiteral("The table '%1' of \"%2\" lacks the fields Language, Title "
                                   "and Body.")
                        .arg(kTable, path));
    const QString id = named("ID");
    return {shape.rowidSql, id.isEmpty() ? shape.rowidSql : id};
}

int presentObjects(sqlite3* db, const QString& path) {
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name IN (?, ?, ?, ?, ?)"),
                searching());
    s.bind({kTitleIndex, kTextIndex, kTriggers[0], kTriggers[1], kTriggers[2]});
    s.step();
    return int(s.int64(0));
}

// Rows the statements on db have read by whole-table scans so far. Filling an index reads
// the snippet table once through a statement of its own, so this tells how far it has come.
qint64 rowsScanned(sqlite3* db) {
    qint64 rows = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s))
        rows += sqlite3_stmt_status(s, SQLITE_STMTSTATUS_FULLSCAN_STEP, 0);
    return rows;
}

// Tells slow once the work has run for more than a moment, and again when it is over; in
// between, how far it has come when that is known, reading rows scans of the table.
class SlowWatch {
public:
    SlowWatch(sqlite3* db, const SlowWork& slow, const Progress& progress = {}, qint64 rows = 0)
        : db_(db), slow_(slow), progress_(progress), rows_(rows) {
        timer_.start();
        scannedBefore_ = rowsScanned(db_);
        // Filling an index is mostly the tokenizer's own work, between few instructions of
        // the scan: to tell how far it has come the handler must look in often.
        if (slow_)
            sqlite3_progress_handler(db_, progress_ ? 1000 : 100000, &SlowWatch::tick, this);
    }
    ~SlowWatch() {
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        if (told_)
            slow_(false);
    }
    SlowWatch(const SlowWatch&) = delete;
    SlowWatch& operator=(const SlowWatch&) = delete;

private:
    static int tick(void* self) {
        auto* watch = static_cast<SlowWatch*>(self);
        if (!watch->told_ && watch->timer_.elapsed() > kSlowMs) {
            watch->told_ = true;
            watch->slow_(true);
        }
        if (watch->told_ && watch->progress_ && watch->rows_ > 0) {
            // The titles' index comes first and is quick; the bodies' takes the time.
            const qint64 read = rowsScanned(watch->db_) - watch->scannedBefore_;
            const qint64 each = std::max<qint64>(1, watch->rows_ / 2);
            const qint64 done = read <= each ? 10 * read / each : 10 + 90 * (read - each) / each;
            const int percent = int(std::clamp<qint64>(done, 0, 99));
            if (percent != watch->percent_) {
                watch->percent_ = percent;
                watch->progress_(percent);
            }
        }
        return 0;
    }
    sqlite3* db_;
    const SlowWork& slow_;
    const Progress& progress_;
    qint64 rows_;
    qint64 scannedBefore_ = 0;
    int percent_ = -1;
    QElapsedTimer timer_;
    bool told_ = false;
};

qint64 rowsOf(sqlite3* db, const QString& path) {
    Statement s(db, path, QStringLiteral("SELECT count(*) FROM ") + kTable, keeping());
    s.step();
    return s.int64(0);
}

void build(sqlite3* db, const QString& path, const SlowWork& slow, const Progress& progress) {
    const Fields fields = fieldsOf(db, path);
    // The index names the rowid in its own definition, where only a plain name will do.
    if (fields.rowid.startsWith(u'"'))
        throw Error(QStringLiteral("The table '%1' of \"%2\" hides the rowid; it is searched "
                                   "without an index.")
                        .arg(kTable, path));
    const QString r = fields.rowid;
    const QString options = QStringLiteral("content='%1', content_rowid='%2', "
                                           "tokenize='trigram', detail='none', columnsize=0")
                                .arg(kTable, r);
    const auto exec = [&](const QString& sql) { Statement::exec(db, path, sql, keeping()); };
    // Both indexes read every row once.
    const SlowWatch watch(db, slow, progress, progress ? 2 * rowsOf(db, path) : 0);
    exec(QStringLiteral("BEGIN IMMEDIATE"));
    try {
        for (const QString& trigger : kTriggers)
            exec(QStringLiteral("DROP TRIGGER IF EXISTS ") + trigger);
        for (const QString& index : {kTitleIndex, kTextIndex})
            exec(QStringLiteral("DROP TABLE IF EXISTS ") + index);
        exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(Title, %2)")
                 .arg(kTitleIndex, options));
        exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(Language, Body, %2)")
                 .arg(kTextIndex, options));
        const QString add =
            QStringLiteral("INSERT INTO %1 (rowid, Title) VALUES (new.%3, new.Title); "
                           "INSERT INTO %2 (rowid, Language, Body) "
                           "VALUES (new.%3, new.Language, new.Body);")
                .arg(kTitleIndex, kTextIndex, r);
        const QString remove =
            QStringLiteral("INSERT INTO %1 (%1, rowid, Title) VALUES ('delete', old.%3, "
                           "old.Title); INSERT INTO %2 (%2, rowid, Language, Body) "
                           "VALUES ('delete', old.%3, old.Language, old.Body);")
                .arg(kTitleIndex, kTextIndex, r);
        exec(QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 BEGIN %3 END")
                 .arg(kTriggers[0], kTable, add));
        exec(QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON %2 BEGIN %3 END")
                 .arg(kTriggers[1], kTable, remove));
        exec(QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON %2 BEGIN %3 %4 END")
                 .arg(kTriggers[2], kTable, remove, add));
        for (const QString& index : {kTitleIndex, kTextIndex})
            exec(QStringLiteral("INSERT INTO %1 (%1) VALUES ('rebuild')").arg(index));
        exec(QStringLiteral("COMMIT"));
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

// The index's own query for text: every trigram of it (a sample of a long one) as a phrase,
// all of them needed. Each candidate is then checked against the whole text.
QString matchOf(const QString& text) {
    const QList<uint> points = text.toUcs4();
    const qsizetype count = points.size() - 2;
    const qsizetype step = std::max<qsizetype>(1, count / kMaxTrigrams);
    QStringList phrases;
    QSet<QString> seen;
    for (qsizetype i = 0; i < count; i += step) {
        const QString trigram =
            QString::fromUcs4(reinterpret_cast<const char32_t*>(points.constData() + i), 3);
        if (!seen.contains(trigram.toCaseFolded())) {
            seen.insert(trigram.toCaseFolded());
            phrases.append(u'"' + QString(trigram).replace(u'"', QStringLiteral("\"\"")) + u'"');
        }
    }
    return phrases.join(QStringLiteral(" AND "));
}

QString textOf(const QVariant& value) {
    return value.typeId() == QMetaType::QByteArray ? QString::fromUtf8(value.toByteArray())
                                                   : value.toString();
}

// One snippet as search reads it, by rowid or row after row.
struct Row {
    qint64 id = 0;
    QString language;
    QString title;
    QString body;

    static Row from(const Statement& s) {
        return {s.int64(0), textOf(s.cell(1)), textOf(s.cell(2)), textOf(s.cell(3))};
    }
};

// The line of field that holds the match at at, a long one cut down around it.
Hit lineHit(const Row& row, const QString& field, qsizetype at, qsizetype length) {
    qsizetype start = at > 0 ? field.lastIndexOf(u'\n', at - 1) + 1 : 0;
    qsizetype end = field.indexOf(u'\n', at + length);
    if (end < 0)
        end = field.size();
    if (end > start && field[end - 1] == u'\r')
        --end;
    if (end - start > kLineWidth) {
        start = std::max(start, at - kLineWidth / 3);
        end = std::min(end, std::max(at + length, start + kLineWidth));
    }
    return {row.id,          row.language, row.title, field.mid(start, end - start),
            int(at - start), int(length),  false};
}

std::optional<Hit> titleHit(const Row& row, const QString& text) {
    const qsizetype at = row.title.indexOf(text, 0, Qt::CaseInsensitive);
    if (at < 0)
        return std::nullopt;
    Hit hit = lineHit(row, row.title, at, text.size());
    hit.inTitle = true;
    return hit;
}

std::optional<Hit> otherHit(const Row& row, const QString& text) {
    for (const QString* field : {&row.body, &row.language}) {
        const qsizetype at = field->indexOf(text, 0, Qt::CaseInsensitive);
        if (at >= 0)
            return lineHit(row, *field, at, text.size());
    }
    return std::nullopt;
}

bool stop(const std::function<bool()>& stopped) {
    return stopped && stopped();
}

// Title matches through the title index, then the others through the text index.
void findIndexed(sqlite3* db, const QString& path, const Fields& fields, const QString& text,
                 int limit, const std::function<bool()>& cancelled, QList<Hit>& titles,
                 QList<Hit>& others) {
    const QString match = matchOf(text);
    // A title match needs no body: the title pass reads without it.
    Statement readTitle(db, path,
                        QStringLiteral("SELECT %1, Language, Title, NULL FROM %2 WHERE %3 = ?")
                            .arg(fields.id, kTable, fields.rowid),
                        searching());
    Statement readAll(db, path,
                      QStringLiteral("SELECT %1, Language, Title, Body FROM %2 WHERE %3 = ?")
                          .arg(fields.id, kTable, fields.rowid),
                      searching());
    const auto rowAt = [](Statement& read, qint64 rowid) -> std::optional<Row> {
        read.reset();
        read.bind(1, rowid);
        if (!read.step())
            return std::nullopt;
        return Row::from(read);
    };
    QSet<qint64> titled;
    Statement byTitle(db, path,
                      QStringLiteral("SELECT rowid FROM %1 WHERE %1 MATCH ?").arg(kTitleIndex),
                      searching());
    byTitle.bind(1, match);
    while (titles.size() < limit && !stop(cancelled) && byTitle.step()) {
        const qint64 rowid = byTitle.int64(0);
        if (const auto row = rowAt(readTitle, rowid))
            if (const auto hit = titleHit(*row, text)) {
                titles.append(*hit);
                titled.insert(rowid);
            }
    }
    Statement byText(db, path,
                     QStringLiteral("SELECT rowid FROM %1 WHERE %1 MATCH ?").arg(kTextIndex),
                     searching());
    byText.bind(1, match);
    while (titles.size() + others.size() < limit && !stop(cancelled) && byText.step()) {
        const qint64 rowid = byText.int64(0);
        if (titled.contains(rowid))
            continue;
        if (const auto row = rowAt(readAll, rowid))
            if (const auto hit = otherHit(*row, text))
                others.append(*hit);
    }
}

void scan(sqlite3* db, const QString& path, const Fields& fields, const QString& text, int limit,
          const std::function<bool()>& cancelled, QList<Hit>& titles, QList<Hit>& others) {
    Statement all(db, path,
                  QStringLiteral("SELECT %1, Language, Title, Body FROM %2 ORDER BY %3")
                      .arg(fields.id, kTable, fields.rowid),
                  searching());
    // Once limit titles match, nothing later can rank higher.
    while (titles.size() < limit && !stop(cancelled) && all.step()) {
        const Row row = Row::from(all);
        if (const auto hit = titleHit(row, text))
            titles.append(*hit);
        else if (others.size() < limit)
            if (const auto other = otherHit(row, text))
                others.append(*other);
    }
}

} // namespace

bool EnsureIndex(sqlite3* db, const QString& path, const SlowWork& slow, const Progress& progress) {
    if (presentObjects(db, path) == kObjects)
        return false;
    build(db, path, slow, progress);
    return true;
}

void RebuildIndex(sqlite3* db, const QString& path, const SlowWork& slow,
                  const Progress& progress) {
    build(db, path, slow, progress);
}

QString CheckIndex(sqlite3* db, const QString& path) {
    if (presentObjects(db, path) != kObjects)
        return QStringLiteral("missing");
    try {
        for (const QString& index : {kTitleIndex, kTextIndex})
            Statement::exec(
                db, path,
                QStringLiteral("INSERT INTO %1 (%1, rank) VALUES ('integrity-check', 1)")
                    .arg(index),
                QStringLiteral("check the search index of the database"));
    } catch (const Error& e) {
        return e.message();
    }
    return QStringLiteral("ok");
}

Outcome Find(sqlite3* db, const QString& path, const QString& text, int limit,
             const std::function<bool()>& cancelled) {
    Outcome out;
    if (text.isEmpty() || limit <= 0)
        return out;
    const Fields fields = fieldsOf(db, path);
    QList<Hit> titles;
    QList<Hit> others;
    bool found = false;
    if (text.toUcs4().size() >= 3 && presentObjects(db, path) == kObjects) {
        try {
            findIndexed(db, path, fields, text, limit, cancelled, titles, others);
            found = true;
        } catch (const Error&) {
            out.indexFailed = !stop(cancelled);
            titles.clear();
            others.clear();
        }
    }
    if (!found && !stop(cancelled))
        scan(db, path, fields, text, limit, cancelled, titles, others);
    out.hits = titles + others;
    if (out.hits.size() > limit)
        out.hits.resize(limit);
    return out;
}

std::optional<Hit> TitleMatch(qint64 id, const QString& language, const QString& title,
                              const QString& text) {
    return titleHit({id, language, title, {}}, text);
}

std::optional<Hit> OtherMatch(qint64 id, const QString& language, const QString& title,
                              const QString& body, const QString& text) {
    return otherHit({id, language, title, body}, text);
}

} // namespace varozidi::search

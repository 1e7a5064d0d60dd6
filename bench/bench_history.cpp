// SPDX-License-Identifier: GPL-3.0-or-later
// What keeping every version costs: the store's writes on a copy of the collection with its
// history against a copy whose history triggers were dropped, in the same run; the growth of
// the file after many edits against the bytes of the texts they replaced; and the room the
// history takes once compacted.
//
//   build/bench/bench_history [--snippets=N] [--no-long] [--cache=DIR] [--edits=N] [--runs=N]
//
// Targets:
//   20 a save (TADOTable Edit and Post, as Save Edits) of the median and of the 10 MB body, an
//      add and a remove: with the history within 1.2 times without
//   20 the growth of the file after N random one-line edits (10,000), beyond the growth of the
//      copy without history: at most 1.2 times the bytes of the texts the edits replaced
// Told beside them: the history's room before and after compaction, for those edits and for as
// many edits of 100 snippets only, and how long compaction took.

#include "BenchSupport.h"
#include "data/collection/Collection.h"
#include "data/store/ADODB.h"
#include "data/store/AdoConnectionString.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

qint64 number(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    const qint64 n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    return n;
}

// The file's pages in use: free ones are the file's own, taken before it grows.
qint64 fileBytes(sqlite3* db) {
    return (number(db, "PRAGMA page_count") - number(db, "PRAGMA freelist_count")) *
           number(db, "PRAGMA page_size");
}

// The pages the history's table and index take, free room within them included.
qint64 historyBytes(sqlite3* db) {
    return number(db, "SELECT sum(pgsize) FROM dbstat WHERE name IN ('varozidi_history', "
                      "'varozidi_history_id')");
}

std::string megabytes(qint64 bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

// One copy of the collection, opened as the window opens it.
struct Copy {
    QString path;
    std::unique_ptr<TADOConnection> connection;
};

Copy copyOf(const QString& collection, const QString& path, bool history) {
    if (!QFile::copy(collection, path))
        qFatal("cannot copy the collection to %s", qPrintable(path));
    Copy copy{path, std::make_unique<TADOConnection>()};
    copy.connection->setConnectionString(varozidi::ado::jetConnectionString(path));
    copy.connection->Open();
    // Dropped once the connection has the file open, which would otherwise make them anew.
    if (!history) {
        sqlite3* db = bench::OpenBare(path);
        sqlite3_exec(db,
                     "DROP TRIGGER varozidi_history_update; DROP TRIGGER varozidi_history_delete",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    return copy;
}

std::unique_ptr<TADOTable> tableOf(Copy& copy, const QString& filter) {
    auto table = std::make_unique<TADOTable>();
    table->setConnection(copy.connection.get());
    table->setTableName(QStringLiteral("varozidi"));
    table->setFilter(filter);
    table->setFiltered(true);
    table->Open();
    return table;
}

double timedMs(const std::function<void()>& step) {
    QElapsedTimer timer;
    timer.start();
    step();
    return double(timer.nsecsElapsed()) / 1e6;
}

void target(const std::string& name, const std::vector<double>& with,
            const std::vector<double>& without) {
    char detail[160];
    std::snprintf(detail, sizeof detail, "%.3f ms against %.3f ms without the triggers (median)",
                  median(with), median(without));
    bench::Target("20 " + name + ", with history against without", median(with) / median(without),
                  1.2, detail);
}

// Saves of the snippet id on both copies in turn, each a change of its body.
void saves(Copy* copies, qint64 id, int runs, const std::string& name) {
    std::vector<double> times[2];
    std::unique_ptr<TADOTable> tables[2];
    for (int c = 0; c < 2; ++c)
        tables[c] = tableOf(copies[c], QStringLiteral("ID = %1").arg(id));
    const QByteArray body = tables[0]->FieldByName(QStringLiteral("Body")).AsBytes();
    // The first save warms the caches.
    for (int i = 0; i <= runs; ++i)
        for (int c = 0; c < 2; ++c) {
            const QByteArray text = body + (i % 2 ? "" : "\n// saved again");
            const double ms = timedMs([&] {
                tables[c]->Edit();
                tables[c]->FieldByName(QStringLiteral("Body")).setAsBytes(text);
                tables[c]->Post();
            });
            if (i > 0)
                times[c].push_back(ms);
        }
    target(name, times[0], times[1]);
}

void addsAndRemoves(Copy* copies, const QByteArray& body, int runs) {
    std::vector<double> adds[2], removes[2];
    std::unique_ptr<TADOTable> tables[2];
    const QString language = QStringLiteral("Bench history");
    for (int c = 0; c < 2; ++c)
        tables[c] = tableOf(copies[c], QStringLiteral("Language = '%1'").arg(language));
    for (int i = 0; i <= runs; ++i)
        for (int c = 0; c < 2; ++c) {
            TADOTable& t = *tables[c];
            const double add = timedMs([&] {
                t.Insert();
                t.FieldByName(QStringLiteral("Language")).setAsString(language);
                t.FieldByName(QStringLiteral("Title")).setAsString(QStringLiteral("added"));
                t.FieldByName(QStringLiteral("Body")).setAsBytes(body);
                t.Post();
            });
            const double remove = timedMs([&] {
                t.First();
                t.Delete();
            });
            if (i > 0) {
                adds[c].push_back(add);
                removes[c].push_back(remove);
            }
        }
    target("add, median body", adds[0], adds[1]);
    target("remove, median body", removes[0], removes[1]);
}

// body with one line changed, as a person edits code; a long single line changes a stretch.
QByteArray edited(const QByteArray& body, QRandomGenerator& random) {
    if (body.isEmpty())
        return "edited";
    const qsizetype at = random.bounded(qsizetype(body.size()));
    qsizetype start = body.lastIndexOf('\n', at) + 1;
    qsizetype end = body.indexOf('\n', at);
    if (end < 0)
        end = body.size();
    if (end - start > 200) {
        start = at;
        end = std::min(body.size(), at + 40);
    }
    return body.left(start) + "    edited(" + QByteArray::number(random.generate()) + ");" +
           body.mid(end);
}

// count edits, each of one snippet among ids, into every file at once, in the same order;
// returns the bytes of the texts they replaced.
qint64 edit(const std::vector<sqlite3*>& files, const std::vector<qint64>& ids, int count,
            quint32 seed) {
    QRandomGenerator random(seed);
    qint64 replaced = 0;
    for (sqlite3* db : files)
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < count; ++i) {
        const qint64 id = ids[std::size_t(random.bounded(int(ids.size())))];
        sqlite3_stmt* read = nullptr;
        sqlite3_prepare_v2(files[0], "SELECT Body FROM varozidi WHERE ID = ?", -1, &read, nullptr);
        sqlite3_bind_int64(read, 1, id);
        QByteArray body;
        if (sqlite3_step(read) == SQLITE_ROW)
            body = QByteArray(static_cast<const char*>(sqlite3_column_blob(read, 0)),
                              sqlite3_column_bytes(read, 0));
        sqlite3_finalize(read);
        replaced += body.size();
        const QByteArray text = edited(body, random);
        for (sqlite3* db : files) {
            sqlite3_stmt* write = nullptr;
            sqlite3_prepare_v2(db, "UPDATE varozidi SET Body = ? WHERE ID = ?", -1, &write,
                               nullptr);
            sqlite3_bind_text(write, 1, text.constData(), int(text.size()), SQLITE_STATIC);
            sqlite3_bind_int64(write, 2, id);
            sqlite3_step(write);
            sqlite3_finalize(write);
            if (i % 200 == 199)
                sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
        }
    }
    for (sqlite3* db : files)
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return replaced;
}

// The room the history's rows take after edits that replaced texts, once compacted, and how
// long that took; earlier the room it took before them.
void compacted(const QString& path, const std::string& what, qint64 replaced, qint64 earlier) {
    sqlite3* db = bench::OpenBare(path);
    const qint64 before = historyBytes(db) - earlier;
    QElapsedTimer timer;
    timer.start();
    qint64 packed = 0;
    {
        const auto collection = varozidi::Collection::Open(
            varozidi::CollectionAddress::Of(varozidi::ado::jetConnectionString(path)));
        packed = collection->compactHistory();
    }
    const double seconds = double(timer.elapsed()) / 1000;
    const qint64 after = historyBytes(db) - earlier;
    sqlite3_close(db);
    const std::string name = "20 history of " + what;
    bench::Info(name + ": texts replaced", double(replaced) / 1e6, "MB");
    bench::Info(name + ": its pages", double(before) / 1e6, "MB");
    bench::Info(name + ": its pages once compacted", double(after) / 1e6, "MB");
    bench::Info(name + ": compacted against replaced", double(after) / double(replaced), "ratio");
    bench::Info(name + ": versions packed", double(packed), "versions");
    bench::Info(name + ": compaction took", seconds, "s");
}

std::vector<qint64> idsIn(sqlite3* db, int limit) {
    std::vector<qint64> ids;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT ID FROM varozidi ORDER BY ID LIMIT ?", -1, &s, nullptr);
    sqlite3_bind_int(s, 1, limit);
    while (sqlite3_step(s) == SQLITE_ROW)
        ids.push_back(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    return ids;
}

// The growth of each copy after the same edits; the copy with history beyond the other's is
// what the history costs.
void growth(const QString& with, const QString& without, int edits) {
    std::vector<sqlite3*> files{bench::OpenBare(with), bench::OpenBare(without)};
    const qint64 before[2] = {fileBytes(files[0]), fileBytes(files[1])};
    const qint64 replaced = edit(files, idsIn(files[0], 1 << 30), edits, 20261207);
    const qint64 grown[2] = {fileBytes(files[0]) - before[0], fileBytes(files[1]) - before[1]};
    const std::string many = std::to_string(edits) + " random edits";
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "%s beyond the copy without history (which grew %s), for %s of replaced "
                  "texts, %s",
                  megabytes(grown[0] - grown[1]).c_str(), megabytes(grown[1]).c_str(),
                  megabytes(replaced).c_str(), many.c_str());
    bench::Target("20 growth from the history against the replaced texts",
                  double(grown[0] - grown[1]) / double(std::max<qint64>(replaced, 1)), 1.2, detail);
    for (sqlite3* db : files)
        sqlite3_close(db);
    compacted(with, many, replaced, 0);
    // As many edits again, on a working set of 100 snippets: each is changed again and again.
    std::vector<sqlite3*> one{bench::OpenBare(with)};
    const qint64 earlier = historyBytes(one[0]);
    const qint64 few = edit(one, idsIn(one[0], 100), edits, 7);
    sqlite3_close(one[0]);
    compacted(with, std::to_string(edits) + " more edits of 100 snippets", few, earlier);
}

} // namespace

int main(int argc, char** argv) {
    int edits = 10000;
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--edits=", 0) == 0)
            edits = std::stoi(a.substr(8));
        else if (a.rfind("--runs=", 0) == 0)
            runs = std::stoi(a.substr(7));
    }
    bench::Options options = bench::TakeOptions(argc, argv);
    options.collection = bench::CachedCollection(options.cache, options.shape);
    const bench::CollectionFacts facts = bench::ReadFacts(options.collection);
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    Copy copies[2] = {
        copyOf(options.collection, dir.filePath(QStringLiteral("with.mdb")), true),
        copyOf(options.collection, dir.filePath(QStringLiteral("without.mdb")), false)};
    // The edits first, on the copies as they came: the history grows from nothing.
    growth(copies[0].path, copies[1].path, edits);
    const int many = runs > 0 ? runs : 41;
    saves(copies, facts.medianBodyId, many, "save, median body");
    if (facts.hugeBodyId)
        saves(copies, facts.hugeBodyId, runs > 0 ? runs : 7, "save, 10 MB body");
    QByteArray median;
    {
        auto table = tableOf(copies[0], QStringLiteral("ID = %1").arg(facts.medianBodyId));
        median = table->FieldByName(QStringLiteral("Body")).AsBytes();
    }
    addsAndRemoves(copies, median, many);
    for (Copy& copy : copies)
        copy.connection->Close();
    return 0;
}

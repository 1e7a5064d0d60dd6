// SPDX-License-Identifier: GPL-3.0-or-later
// Search that matches most rows or only a few, and export and import of the whole collection,
// each against what sqlite3 itself does with the same rows, in the same run.
//
//   build/bench/bench_scale [--snippets=N] [--cache=DIR] [--search-only | --transfer-only]
//
// Targets:
//   18  varozidi-cli export (the program's JSON file) against sqlite3's .dump, and import
//       against sqlite3 adding the same rows to an empty collection; the peak memory of each
//       under 100 MB
//   19  a search matching most rows, of three characters or more and of two, against a plain
//       LIKE scan of the same fields; a search matching a few rows under 5 ms
// Every search asks for all its hits, as varozidi-cli does.

#include "BenchSupport.h"
#include "data/search/SearchIndex.h"
#include "data/setup/Setup.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Run {
    double ms = 0;
    double peakMb = 0;
    int status = -1;
};

// program with args, standard input and output from and to files (none: /dev/null), timed,
// with its peak resident memory.
Run run(const QStringList& command, const QString& in = {}, const QString& out = {}) {
    std::vector<QByteArray> args;
    for (const QString& a : command)
        args.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const QByteArray inName = QFile::encodeName(in.isEmpty() ? QStringLiteral("/dev/null") : in);
    const QByteArray outName = QFile::encodeName(out.isEmpty() ? QStringLiteral("/dev/null") : out);
    QElapsedTimer t;
    t.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int i = ::open(inName.constData(), O_RDONLY);
        const int o = ::open(outName.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || ::dup2(i, 0) < 0 || ::dup2(o, 1) < 0)
            ::_exit(127);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {double(t.nsecsElapsed()) / 1e6, double(usage.ru_maxrss) / 1024.0,
            WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The fields a search reads, through LIKE, each row's text read out as the search reads it.
qint64 likeScan(sqlite3* db, const QString& text) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT ID, Language, Title, Body FROM varozidi WHERE Title LIKE ?1 OR "
                       "Language LIKE ?1 OR Body LIKE ?1",
                       -1, &s, nullptr);
    const QByteArray pattern = "%" + text.toUtf8() + "%";
    sqlite3_bind_text(s, 1, pattern.constData(), int(pattern.size()), SQLITE_TRANSIENT);
    qint64 rows = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
        for (int c = 1; c < 4; ++c)
            sqlite3_column_text(s, c);
        ++rows;
    }
    sqlite3_finalize(s);
    return rows;
}

// The CPU time this thread has used, in ms: on a shared machine it moves less than the clock.
double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void broadSearch(const QString& collection, const QString& text, const std::string& name) {
    sqlite3* db = bench::OpenBare(collection);
    std::vector<double> ours, like, oursCpu, likeCpu;
    qint64 hits = 0, rows = 0;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer t;
        t.start();
        double cpu = cpuMs();
        rows = likeScan(db, text);
        like.push_back(double(t.nsecsElapsed()) / 1e6);
        likeCpu.push_back(cpuMs() - cpu);
        t.start();
        cpu = cpuMs();
        hits = varozidi::search::Find(db, collection, text, INT_MAX).hits.size();
        ours.push_back(double(t.nsecsElapsed()) / 1e6);
        oursCpu.push_back(cpuMs() - cpu);
    }
    sqlite3_close(db);
    char detail[300];
    std::snprintf(detail, sizeof detail,
                  "\"%s\": %.0f ms for %lld hits against LIKE %.0f ms (%lld rows; at most 1.5 "
                  "times); CPU %.0f against %.0f ms (%.2f)",
                  qPrintable(text), median(ours), static_cast<long long>(hits), median(like),
                  static_cast<long long>(rows), median(oursCpu), median(likeCpu),
                  median(oursCpu) / median(likeCpu));
    bench::Target(name, median(ours) / median(like), 1.5, detail);
}

// A statement a few rows hold: an assignment of a five-digit number in the median body.
void fewHits(const QString& collection) {
    sqlite3* db = bench::OpenBare(collection);
    const bench::CollectionFacts facts = bench::ReadFacts(collection);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT Body FROM varozidi WHERE ID = ?", -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, facts.medianBodyId);
    sqlite3_step(s);
    const QString body =
        QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    const QString text =
        QRegularExpression(QStringLiteral("\\w+ = \\d{5};")).match(body).captured();
    std::vector<double> ours;
    qint64 hits = 0;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer t;
        t.start();
        hits = varozidi::search::Find(db, collection, text, INT_MAX).hits.size();
        ours.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    sqlite3_close(db);
    char detail[200];
    std::snprintf(detail, sizeof detail, "\"%s\": %.2f ms for %lld hits (under 5 ms)",
                  qPrintable(text), median(ours), static_cast<long long>(hits));
    bench::Target("19 search matching a few rows", median(ours) / 5.0, 1.0, detail);
}

void transfer(const QString& collection) {
    QTemporaryDir dir(QFileInfo(collection).absolutePath() + QStringLiteral("/scale-XXXXXX"));
    const QString from = dir.filePath(QStringLiteral("from/"));
    const QString into = dir.filePath(QStringLiteral("into/"));
    QDir().mkpath(from);
    QDir().mkpath(into);
    const QString database = from + QStringLiteral("varozidi.mdb");
    QFile::copy(collection, database);
    const QString cli = QStringLiteral(VAROZIDI_CLI);
    const QString json = dir.filePath(QStringLiteral("export.json"));
    const QString dump = dir.filePath(QStringLiteral("dump.sql"));
    const QString copy = dir.filePath(QStringLiteral("copy.db"));
    // What SQLite itself needs to add the same rows to an empty collection, its search index
    // kept by the same triggers: the floor under import, which the dump's read does not pay.
    const QString floorDb = dir.filePath(QStringLiteral("floor.mdb"));
    const QString floorSql = dir.filePath(QStringLiteral("floor.sql"));
    {
        QFile sql(floorSql);
        if (sql.open(QIODevice::WriteOnly))
            sql.write("ATTACH '" + QFile::encodeName(database).replace('\'', "''") +
                      "' AS f; BEGIN; INSERT INTO main.varozidi (ID, Language, Title, Body) "
                      "SELECT ID, Language, Title, Body FROM f.varozidi ORDER BY ID; COMMIT;\n");
    }
    std::vector<double> floorMs;
    // Once first, so that neither side pays for the file's first reading alone.
    run({QStringLiteral("sqlite3"), database, QStringLiteral(".dump")}, {}, dump);
    std::vector<double> ours, theirs, ourIn, theirIn;
    double peakOut = 0, peakIn = 0;
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        QFile::remove(json);
        QFile::remove(copy);
        QFile::remove(into + QStringLiteral("varozidi.mdb"));
        const Run dumped =
            run({QStringLiteral("sqlite3"), database, QStringLiteral(".dump")}, {}, dump);
        const Run exported =
            run({cli, QStringLiteral("--data-dir"), from, QStringLiteral("export"), json});
        const Run read = run({QStringLiteral("sqlite3"), copy}, dump);
        varozidi::setup::CreateEmptyDatabase(into + QStringLiteral("varozidi.mdb"));
        const Run imported =
            run({cli, QStringLiteral("--data-dir"), into, QStringLiteral("import"), json});
        QFile::remove(floorDb);
        varozidi::setup::CreateEmptyDatabase(floorDb);
        const Run added = run({QStringLiteral("sqlite3"), floorDb}, floorSql);
        ok = ok && added.status == 0;
        floorMs.push_back(added.ms);
        ok = ok && dumped.status == 0 && exported.status == 0 && read.status == 0 &&
             imported.status == 0;
        theirs.push_back(dumped.ms);
        ours.push_back(exported.ms);
        theirIn.push_back(read.ms);
        ourIn.push_back(imported.ms);
        peakOut = std::max(peakOut, exported.peakMb);
        peakIn = std::max(peakIn, imported.peakMb);
    }
    char detail[240];
    std::snprintf(detail, sizeof detail,
                  "%.0f ms against sqlite3 .dump %.0f ms (at most 1.5 times), peak %.0f MB%s",
                  median(ours), median(theirs), peakOut, ok ? "" : "; A RUN FAILED");
    bench::Target("18 export against .dump", ok ? median(ours) / median(theirs) : 99, 1.5, detail);
    // The dump carries the search index already made, which sqlite3 only copies; an import
    // has to make it. So import is held to sqlite3 adding the same rows to the same empty
    // collection, and the dump's read is shown beside it.
    std::snprintf(detail, sizeof detail,
                  "%.0f ms against sqlite3 adding the same rows %.0f ms (at most 1.5 times), "
                  "peak %.0f MB%s",
                  median(ourIn), median(floorMs), peakIn, ok ? "" : "; A RUN FAILED");
    bench::Target("18 import against sqlite3 adding the rows",
                  ok ? median(ourIn) / median(floorMs) : 99, 1.5, detail);
    bench::Info("18 import against sqlite3 reading the dump, index made beforehand",
                median(ourIn) / median(theirIn), "times");
    std::snprintf(detail, sizeof detail, "export %.0f MB, import %.0f MB (under 100 MB)", peakOut,
                  peakIn);
    bench::Target("18 peak memory of export and import", std::max(peakOut, peakIn) / 100.0, 1.0,
                  detail);
}

} // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::TakeOptions(argc, argv);
    QCoreApplication app(argc, argv);
    o.collection = bench::CachedCollection(o.cache, o.shape);
    if (!app.arguments().contains(QStringLiteral("--transfer-only"))) {
        broadSearch(o.collection, QStringLiteral("token"), "19 search matching most rows");
        broadSearch(o.collection, QStringLiteral("to"), "19 two-character search, most rows");
        fewHits(o.collection);
    }
    if (!app.arguments().contains(QStringLiteral("--search-only")))
        transfer(o.collection);
    return 0;
}

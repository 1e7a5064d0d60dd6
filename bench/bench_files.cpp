// SPDX-License-Identifier: GPL-3.0-or-later
// Search and the backup copy on the large collection, each against the command-line tool a
// person would use instead, in the same run.
//
//   build/bench/bench_files [--snippets=N] [--cache=DIR]
//
// Targets:
//   5  a three-character search through the program's index against `grep -rFi` over the
//      same snippets exported as files (one per snippet: its title line, then its body)
//   6  the copy step of backup and restore (CopyFileSafely) against `cp` of the same file
// The export is made once, beside the collection in the cache folder.

#include "BenchSupport.h"
#include "data/files/Files.h"
#include "data/search/SearchIndex.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <sqlite3.h>
#include <vector>

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The snippets as files, made once.
QString exported(const QString& collection) {
    const QString dir = collection + QStringLiteral(".files");
    const QString done = dir + QStringLiteral("/.complete");
    if (QFileInfo::exists(done))
        return dir;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    sqlite3* db = bench::OpenBare(collection);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT ID, Title, Body FROM varozidi", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
        const qint64 id = sqlite3_column_int64(s, 0);
        const QString sub = dir + QStringLiteral("/%1").arg(id / 1000);
        if (id % 1000 == 0 || !QFileInfo::exists(sub))
            QDir().mkpath(sub);
        QFile out(sub + QStringLiteral("/%1.txt").arg(id));
        if (!out.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(out.fileName()));
        out.write(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
                  sqlite3_column_bytes(s, 1));
        out.write("\n");
        out.write(reinterpret_cast<const char*>(sqlite3_column_text(s, 2)),
                  sqlite3_column_bytes(s, 2));
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    QFile(done).open(QIODevice::WriteOnly);
    return dir;
}

double runMs(const QString& program, const QStringList& args) {
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    p.waitForFinished(-1);
    return double(t.nsecsElapsed()) / 1e6;
}

void search(const QString& collection) {
    const QString files = exported(collection);
    const QString query = QStringLiteral("tok");
    sqlite3* db = bench::OpenBare(collection);
    std::vector<double> ours, grep;
    int hits = 0;
    for (int i = 0; i < 3; ++i) {
        grep.push_back(runMs(QStringLiteral("grep"), {QStringLiteral("-rFi"), query, files}));
        QElapsedTimer t;
        t.start();
        // The search window asks for the first 200.
        hits = int(varozidi::search::Find(db, collection, query, 200).hits.size());
        ours.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    sqlite3_close(db);
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "\"%s\": %.1f ms (%d hits, as the search window asks) against grep -rFi %.0f ms; "
                  "%.0f times faster (at least 50)",
                  qPrintable(query), median(ours), hits, median(grep), median(grep) / median(ours));
    bench::Target("5 search against grep", median(ours) / median(grep), 1.0 / 50, detail);
}

void copy(const QString& collection) {
    QTemporaryDir dir(QFileInfo(collection).absolutePath() + QStringLiteral("/copy-XXXXXX"));
    const QString ours = dir.filePath(QStringLiteral("ours.db"));
    const QString theirs = dir.filePath(QStringLiteral("cp.db"));
    std::vector<double> a, b, c;
    for (int i = 0; i < 3; ++i) {
        QFile::remove(theirs);
        b.push_back(runMs(QStringLiteral("cp"), {collection, theirs}));
        QFile::remove(theirs);
        c.push_back(runMs(QStringLiteral("sh"),
                          {QStringLiteral("-c"), QStringLiteral("cp \"$0\" \"$1\" && sync \"$1\""),
                           collection, theirs}));
        QFile::remove(ours);
        QElapsedTimer t;
        t.start();
        CopyFileSafely(collection, ours);
        a.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    const double mb = double(QFileInfo(collection).size()) / 1e6;
    char detail[240];
    std::snprintf(detail, sizeof detail,
                  "%.0f MB: %.0f ms against cp %.0f ms (cp then sync of the copy: %.0f ms; the "
                  "program's copy reaches the disk before it counts)",
                  mb, median(a), median(b), median(c));
    bench::Target("6 backup copy against cp", median(a) / median(b), 1.2, detail);
    bench::Info("6 backup copy against cp + sync", median(a) / median(c), "ratio");
}

} // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::TakeOptions(argc, argv);
    QCoreApplication app(argc, argv);
    o.collection = bench::CachedCollection(o.cache, o.shape);
    search(o.collection);
    copy(o.collection);
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The history window on a copy of the benchmark collection: a snippet with many versions,
// and a version of the 10 MB body, each opened from a hidden window through the main window
// as Ctrl+H opens it, listed, the newest version shown with its differences, and painted.
//
//   xvfb-run -a -s "-screen 0 1024x768x24" build/bench/bench_history_window [--snippets=N]
//       [--cache=DIR] [--versions=N]
//
// Targets:
//   21 the window opened on a snippet with N versions (1,000): within 100 ms, wall clock
//   21 the window opened on the 10 MB body's version: within 1.5 times the main window showing
//      the snippet itself, in processor time of the window's thread

#include "BenchSupport.h"
#include "data/collection/Collection.h"
#include "data/store/AdoConnectionString.h"
#include "window/HistoryWindow.h"
#include "window/Unit1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace {

double threadMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void settle() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

// count changes of snippet id's body through bare SQLite: the history's triggers keep each.
void edit(sqlite3* db, qint64 id, int count) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "UPDATE varozidi SET Body = Body || ?1 WHERE ID = ?2", -1, &s, nullptr);
    for (int i = 0; i < count; ++i) {
        const QByteArray line = "\n// edit " + QByteArray::number(i);
        sqlite3_bind_text(s, 1, line.constData(), int(line.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, id);
        if (sqlite3_step(s) != SQLITE_DONE)
            qFatal("cannot edit snippet %lld: %s", id, sqlite3_errmsg(db));
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

struct Took {
    double wall, cpu;
};

// Ctrl+H's way to snippet id's history, from a hidden window to a painted one.
Took openHistory(TForm1& form, qint64 id, int expected) {
    if (form.History)
        form.History->hide();
    settle();
    QElapsedTimer t;
    t.start();
    const double cpu = threadMs();
    form.OpenHistoryOf(id);
    form.History->repaint();
    const Took took{double(t.nsecsElapsed()) / 1e6, threadMs() - cpu};
    if (form.History->Versions->topLevelItemCount() != expected)
        qFatal("history of %lld lists %d versions, not %d", id,
               form.History->Versions->topLevelItemCount(), expected);
    return took;
}

// The main window showing snippet id, painted, after another.
double showSnippet(TForm1& form, const bench::CollectionFacts& f, qint64 id,
                   const QString& language) {
    if (!bench::SelectSnippet(form, f.smallLanguage, f.smallBodyId))
        qFatal("small snippet not listed");
    form.ShowSnippitExecute();
    if (!bench::SelectSnippet(form, language, id))
        qFatal("snippet %lld not listed", id);
    settle();
    const double cpu = threadMs();
    form.ShowSnippitExecute();
    form.SynEdit1->viewport()->repaint();
    return threadMs() - cpu;
}

} // namespace

int main(int argc, char** argv) {
    int versions = 1000;
    for (int i = 1; i < argc; ++i)
        if (std::string a = argv[i]; a.rfind("--versions=", 0) == 0)
            versions = std::stoi(a.substr(11));
    bench::Options options = bench::TakeOptions(argc, argv);
    options.collection = bench::CachedCollection(options.cache, options.shape);
    const bench::CollectionFacts f = bench::ReadFacts(options.collection);
    if (!f.hugeBodyId) {
        std::fprintf(stderr, "bench_history_window: the collection has no long bodies\n");
        return 1;
    }
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("history.mdb"));
    if (!QFile::copy(options.collection, copy))
        qFatal("cannot copy the collection to %s", qPrintable(copy));
    // Opened once as the program opens it, which puts the history's triggers in.
    {
        const auto opened = varozidi::Collection::Open(
            varozidi::CollectionAddress::Of(varozidi::ado::jetConnectionString(copy)));
    }
    sqlite3* db = bench::OpenBare(copy);
    edit(db, f.medianBodyId, versions);
    edit(db, f.hugeBodyId, 1);
    sqlite3_close(db);

    bench::Home home(copy);
    bench::RefuseMessageBoxes();
    TForm1 form;
    form.resize(1000, 700);
    form.show();
    settle();

    std::vector<double> many, manyCpu, huge, floor;
    for (int i = 0; i < 7; ++i) {
        const Took m = openHistory(form, f.medianBodyId, versions);
        many.push_back(m.wall);
        manyCpu.push_back(m.cpu);
        huge.push_back(openHistory(form, f.hugeBodyId, 1).cpu);
        floor.push_back(showSnippet(form, f, f.hugeBodyId, f.hugeLanguage));
    }
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "%.1f ms (median of 7; %.1f ms of processor time) for %d versions, against a "
                  "limit of 100 ms",
                  median(many), median(manyCpu), versions);
    bench::Target("21 history window, " + std::to_string(versions) + " versions, painted",
                  median(many) / 100, 1.0, detail);
    std::snprintf(detail, sizeof detail,
                  "%.1f ms against %.1f ms showing the snippet in the main window, processor "
                  "time (median of 7)",
                  median(huge), median(floor));
    bench::Target("21 history window, a version of the 10 MB body", median(huge) / median(floor),
                  1.5, detail);
    return 0;
}

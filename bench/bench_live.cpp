// SPDX-License-Identifier: GPL-3.0-or-later
// A window that follows others' changes, measured where it could cost: start-up on a large
// server collection (the language list reads the index, not the rows) and the CPU an idle
// window uses while it watches. Starts a PostgreSQL server of its own where one is installed.
//
//   xvfb-run -a build/bench/bench_live [--snippets=N] [--idle-seconds=S] [--runs=N]
//
// Targets: a server collection of N snippets starts within 1.5 times an empty one (medians);
// an idle window uses under 0.5% of one core over a minute, on the file and on the server,
// and never writes the file.

#include "BenchSupport.h"
#include "TestSupport.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/files/IniFile.h"
#include "window/Unit1.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The window's settings name the server's collection.
void useServer(const QString& dataDir) {
    const QString settings = dataDir + QStringLiteral("Tessel.ini");
    QFile file(settings);
    file.open(QIODevice::WriteOnly);
    file.write(TIniFile::WithEntry({}, QStringLiteral("DATABASE"), QStringLiteral("URI"),
                                   testsupport::serverUri()));
}

// From nothing to the window shown with its language list filled, in ms; the median of runs.
double startUp(int runs, int& languages) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        auto form = std::make_unique<TForm1>();
        form->show();
        QCoreApplication::processEvents();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        languages = form->ListBox1->Count();
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The share of one core the window uses over seconds of nothing happening, in percent.
double idleCpu(int seconds) {
    TForm1 form;
    form.show();
    runFor(2000); // settled: painted, listening
    const double before = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    runFor(seconds * 1000);
    return 100.0 * (cpuSeconds() - before) / (double(clock.elapsed()) / 1000.0);
}

void fillServer(int snippets) {
    testsupport::resetServerTable({});
    varozidi::ado::PgBackend server(testsupport::serverUri());
    server.exec(
        QStringLiteral("INSERT INTO varozidi (\"Language\", \"Title\", \"Body\") SELECT "
                       "(ARRAY['SQL','C++','Python','Go','Rust','Java','PHP','HTML','CSS',"
                       "'Javascript','Delphi','XML','VB','sql','Bash','Lua','Ruby','Perl',"
                       "'Haskell','Kotlin'])[1 + (i * 7919) % 20], 'Snippet ' || i, "
                       "repeat('a line of code ' || i || E'\\n', 20) FROM generate_series(1, ?) i"),
        {snippets}, QStringLiteral("fill the benchmark collection"));
    server.script(QStringLiteral("ANALYZE varozidi"), QStringLiteral("analyse"));
}

} // namespace

int main(int argc, char** argv) {
    bench::Options options = bench::TakeOptions(argc, argv);
    int idleSeconds = 60;
    int runs = 7;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--idle-seconds=", 0) == 0)
            idleSeconds = std::stoi(a.substr(15));
        else if (a.rfind("--runs=", 0) == 0)
            runs = std::stoi(a.substr(7));
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    QApplication app(argc, argv);
    bench::RefuseMessageBoxes();
    bool pass = true;

    // The idle window on a file.
    {
        bench::CollectionShape shape;
        shape.snippets = 1000;
        shape.longBodies = false;
        const QString collection = bench::CachedCollection(options.cache, shape);
        const bench::Home home(collection);
        const QFileInfo before(collection);
        const double cpu = idleCpu(idleSeconds);
        const QFileInfo after(collection);
        const bool untouched =
            before.lastModified() == after.lastModified() && before.size() == after.size();
        pass &= bench::Target("idle window, file (% of a core)", cpu, 0.5,
                              std::to_string(idleSeconds) + " s; file " +
                                  (untouched ? "never written" : "WRITTEN"));
        pass &= untouched;
    }

    if (!testsupport::serverMissing().isEmpty()) {
        std::printf("TARGET|server start-up, %d snippets|-|-|NOT RUN|%s\n", options.shape.snippets,
                    qPrintable(testsupport::serverMissing()));
        std::printf("TARGET|idle window, server (%% of a core)|-|-|NOT RUN|no server\n");
        return pass ? 0 : 1;
    }
    // A data folder that names the server and holds no collection of its own.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    const QString dataDir = home.path() + QStringLiteral("/KZQ/Varozidi/");
    QDir().mkpath(dataDir);
    useServer(dataDir);
    QFile welcome(dataDir + QStringLiteral("kzq.txt"));
    if (welcome.open(QIODevice::WriteOnly))
        welcome.write("Welcome\n");
    welcome.close();
    int languages = 0;
    testsupport::resetServerTable({});
    startUp(1, languages); // warm: the first connection and the fonts
    const double empty = startUp(runs, languages);
    fillServer(options.shape.snippets);
    startUp(1, languages); // the program adds what it may to the table once
    const double large = startUp(runs, languages);
    pass &= bench::Target("server start-up, " + std::to_string(options.shape.snippets) +
                              " snippets / empty",
                          large / empty, 1.5,
                          std::to_string(large) + " ms against " + std::to_string(empty) + " ms; " +
                              std::to_string(languages) + " languages");
    pass &= bench::Target("idle window, server (% of a core)", idleCpu(idleSeconds), 0.5,
                          std::to_string(idleSeconds) + " s");
    return pass ? 0 : 1;
}

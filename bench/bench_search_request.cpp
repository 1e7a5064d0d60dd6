// SPDX-License-Identifier: GPL-3.0-or-later
// "varozidi --search TEXT" with a program already running on the large collection: from the
// command's start to its end, which comes once the running program's search window has been
// painted. Run under Xvfb:
//
//   xvfb-run -a -s "-screen 0 1024x768x24" build/bench/bench_search_request [--runs=N]
//
// Target: under 100 ms (median).

#include "BenchSupport.h"
#include "data/collection/DatabaseChoice.h"
#include "data/setup/Setup.h"
#include "window/SearchRequest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    int runs = 15;
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]).startsWith("--runs="))
            runs = std::max(1, atoi(argv[i] + 7));
    bench::Options o = bench::TakeOptions(argc, argv);
    QCoreApplication app(argc, argv);
    o.collection = bench::CachedCollection(o.cache, o.shape);
    bench::Home home(o.collection);
    varozidi::setup::InstallUserData(home.dataDir());
    const QString program = QStringLiteral(VAROZIDI_PROGRAM);

    QProcess running;
    running.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    running.start(program, {});
    running.waitForStarted();
    const QString socket = SearchSocketName(CollectionConnectionString(home.dataDir()));
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QLocalSocket probe;
        probe.connectToServer(socket);
        if (probe.waitForConnected(100))
            break;
        if (waited.elapsed() > 60000 || running.state() != QProcess::Running) {
            std::fprintf(stderr, "bench_search_request: the program never listened\n");
            return 1;
        }
        QThread::msleep(20);
    }

    std::vector<double> times;
    const QStringList queries = {QStringLiteral("tokenize"), QStringLiteral("vector"),
                                 QStringLiteral("select")};
    for (int i = 0; i <= runs; ++i) {
        QProcess request;
        QElapsedTimer timer;
        timer.start();
        request.start(program, {QStringLiteral("--search"), queries[i % queries.size()]});
        if (!request.waitForFinished(10000) || request.exitCode() != 0) {
            std::fprintf(stderr, "bench_search_request: the request was not taken\n");
            return 1;
        }
        if (i > 0) // the first warms the file cache
            times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    running.terminate();
    running.waitForFinished(10000);

    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    char detail[200];
    std::snprintf(detail, sizeof detail, "%.0f ms median, %.0f to %.0f ms, %d runs, %d snippets",
                  median, times.front(), times.back(), runs, o.shape.snippets);
    bench::Target("search window from the command line", median / 100.0, 1.0, detail);
    return 0;
}

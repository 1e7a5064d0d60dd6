// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up of the program with and without the help browser.
//
//   cmake --build build --target bench_startup
//   xvfb-run -a -s "-screen 0 1024x600x24" build/bench/bench_startup [--runs=N]
//
// Starts the program's windows N times (10 by default) in fresh processes, alternating a
// start with the help window (as the program does) and one without it, and reports the
// median and the fastest of each:
//   main      from exec to the first line of main (loading the libraries)
//   painted   from exec to the main window's first paint
//   usable    from exec to the first event the main window's event loop handles after that
//   stall     the longest the event loop was busy elsewhere in the 1.5 s after the paint,
//             measured with a 5 ms timer: what a click on the main window could wait
//   help      from exec to the help window's page loaded (with the browser only)
// The help start page is a refused loopback address, so the help window falls back to the
// local page beside this program, as it does without a network.

#include "data/setup/Setup.h"
#include "help/Unit4.h"
#include "help/platform/TWebBrowser.h"
#include "window/Forms.h"
#include "window/HelpModule.h"
#include "window/Unit1.h"
#include "window/Unit2.h"
#include "window/platform/Dialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

namespace {

qint64 nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double msSince(qint64 startNs) {
    return double(nowNs() - startNs) / 1e6;
}

constexpr int kTickMs = 5;
constexpr int kWatchMs = 1500;

// Reports when a widget has painted for the first time.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(std::function<void()> done) : done_(std::move(done)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && done_) {
            auto done = std::move(done_);
            done_ = nullptr;
            QTimer::singleShot(0, watched, done);
        }
        return false;
    }

private:
    std::function<void()> done_;
};

// One start in this process: prints "main painted usable help" in ms since execNs.
int child(bool withHelp, qint64 execNs, const QString& startPage) {
    const double mainMs = msSince(execNs);
    PrepareWebBrowserProcess();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    int argc = 1;
    char name[] = "bench_startup";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    SetMessageDlgAnswerer([](const MessageDlgRequest&) { return mrNo; });

    double painted = -1, usable = -1, help = -1, stall = -1;
    if (withHelp) {
        SetHelpModulePath(QStringLiteral(VAROZIDI_HELP_MODULE));
        CreateForms(startPage);
    } else {
        Form1 = new TForm1;
        Form2 = new TForm2(Form1);
    }
    auto finish = [&] {
        if (usable >= 0 && stall >= 0 && (!withHelp || help >= 0))
            app.quit();
    };
    // The longest the event loop went without handling a tick, for a while after the paint:
    // how long a click on the main window could have waited.
    QTimer ticks;
    ticks.setInterval(kTickMs);
    QElapsedTimer sinceTick, sincePaint;
    double longest = 0;
    QObject::connect(&ticks, &QTimer::timeout, &app, [&] {
        longest = std::max(longest, double(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
        if (sincePaint.hasExpired(kWatchMs)) {
            ticks.stop();
            stall = longest;
            finish();
        }
    });
    FirstPaint paint([&] {
        painted = msSince(execNs);
        sincePaint.start();
        sinceTick.start();
        ticks.start();
        // The next event after the first paint: is the loop free for the user?
        QTimer::singleShot(0, &app, [&] {
            usable = msSince(execNs);
            finish();
        });
    });
    Form1->installEventFilter(&paint);
    // The local page has loaded when its progress is complete; the refused start page
    // before it also ends at 100, but on its own address.
    if (withHelp)
        QObject::connect(
            static_cast<TForm4*>(Form4)->WebBrowser1, &TWebBrowser::OnProgressChange, &app,
            [&](QObject*, int progress, int progressMax) {
                if (progress < progressMax || help >= 0 ||
                    !static_cast<TForm4*>(Form4)->WebBrowser1->LocationURL().startsWith("file:"))
                    return;
                help = msSince(execNs);
                finish();
            });
    Form1->show();
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    app.exec();
    std::printf("%.1f %.1f %.1f %.1f %.1f\n", mainMs, painted, usable, stall, help);
    delete Form4;
    Form4 = nullptr;
    return painted < 0 ? 1 : 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

int parent(int argc, char** argv, int runs) {
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
    varozidi::setup::InstallUserData(home.path() + QStringLiteral("/KZQ/Varozidi/"));
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const QString refused = QStringLiteral("http://127.0.0.1:%1/index.htm").arg(probe.serverPort());
    probe.close();

    const char* names[] = {"main", "painted", "usable", "stall", "help"};
    std::map<bool, std::vector<std::vector<double>>> results;
    for (int run = 0; run < runs; ++run) {
        for (bool withHelp : {true, false}) {
            QProcess process;
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            const qint64 execNs = nowNs();
            process.start(
                QCoreApplication::applicationFilePath(),
                {withHelp ? "--child=with" : "--child=without", QString::number(execNs), refused});
            if (!process.waitForFinished(60000) || process.exitCode() != 0) {
                std::fprintf(stderr, "bench_startup: a start failed: %s\n",
                             process.readAllStandardOutput().constData());
                return 1;
            }
            std::vector<double> row;
            for (const QByteArray& value : process.readAllStandardOutput().trimmed().split(' '))
                row.push_back(value.toDouble());
            results[withHelp].push_back(row);
        }
    }
    std::printf("%d starts each; ms from exec (stall: longest wait), median (fastest)\n", runs);
    std::printf("%-8s %22s %22s %12s\n", "", "with help window", "without", "added");
    for (int i = 0; i < 5; ++i) {
        std::vector<double> with, without;
        for (const auto& row : results[true])
            with.push_back(row[std::size_t(i)]);
        for (const auto& row : results[false])
            without.push_back(row[std::size_t(i)]);
        const double w = median(with), wo = median(without);
        if (i == 4)
            std::printf("%-8s %12.1f (%7.1f) %22s %12s\n", names[i], w,
                        *std::min_element(with.begin(), with.end()), "-", "-");
        else
            std::printf("%-8s %12.1f (%7.1f) %12.1f (%7.1f) %12.1f\n", names[i], w,
                        *std::min_element(with.begin(), with.end()), wo,
                        *std::min_element(without.begin(), without.end()), w - wo);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const QString first = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (first.startsWith(QLatin1String("--child=")) && argc == 4)
        return child(first == QLatin1String("--child=with"), QByteArray(argv[2]).toLongLong(),
                     QString::fromLocal8Bit(argv[3]));
    int runs = 10;
    if (first.startsWith(QLatin1String("--runs=")))
        runs = std::max(1, first.mid(7).toInt());
    else if (!first.isEmpty()) {
        std::fprintf(stderr, "usage: bench_startup [--runs=N]\n");
        return 2;
    }
    return parent(argc, argv, runs);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The editor on the largest snippets, and memory, through the real main window.
//
//   xvfb-run -a -s "-screen 0 1024x768x24" build/bench/bench_editor [--snippets=N] [--cache=DIR]
//       [--show-only]
//
// Targets:
//   3  showing the 10 MB snippet and the median one (highlighter included, painted) against
//      a bare SELECT of the body and QScintilla's own setText of it with the same lexer; typing one
//      character in it; typing in a 2 MB single line of minified code (processor time of the
//      window's thread, painted); the 10 MB single-line snippet with word wrap on, and the
//      longest wait of the event loop after it
//   4  peak resident memory after start-up with the large collection against an empty one,
//      and resident memory after showing the 10 MB snippet and moving to a small one
// Memory is measured in fresh processes of this program (--memory=empty|large).

#include "BenchSupport.h"
#include "data/recovery/Recovery.h"
#include "data/setup/Setup.h"
#include "window/Unit1.h"
#include "window/platform/SynHighlighters.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QProcess>
#include <QTimer>
#include <Qsci/qsciscintilla.h>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <map>
#include <sqlite3.h>
#include <vector>

namespace {

double ms(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e6;
}

// Processor time of this thread, ms: on a busy machine the wall clock mostly measures the wait
// for a processor.
double cpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Of the last show(), ms of processor time.
double gShowCpu = 0;

// Minified code: one line of statements about bytes long, its short names used again and
// again as a minifier leaves them.
QString minifiedLine(qsizetype bytes) {
    QString line;
    line.reserve(bytes + 100);
    for (int i = 0; line.size() < bytes; ++i)
        line += QStringLiteral("var a%1=function(b,c){return b+\"s%1\"+c*%1};if(a%1(1,2)){x++}")
                    .arg(i % 100);
    return line;
}

// Processor time of this thread, ms: on a busy machine the wall clock mostly measures the wait
// for a processor.
double threadMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Types count characters at the caret, each painted; ms a key, and into cpu (when given) the
// window thread's processor time a key.
std::vector<double> typeKeys(TSynEdit* editor, int count, std::vector<double>* cpu = nullptr) {
    std::vector<double> keys;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer t;
        t.start();
        const double start = threadMs();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QApplication::sendEvent(editor, &press);
        QApplication::sendEvent(editor, &release);
        editor->viewport()->repaint();
        keys.push_back(ms(t));
        if (cpu)
            cpu->push_back(threadMs() - start);
    }
    return keys;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Resident memory in MB from /proc/self/status: "VmHWM" the peak, "VmRSS" now.
double residentMb(const char* key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key)) + 1).trimmed().split(' ').first().toDouble() / 1024;
    return -1;
}

void settle() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

QString bodyOf(sqlite3* db, qint64 id) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT Body FROM varozidi WHERE ID = ?", -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, id);
    QString body;
    if (sqlite3_step(s) == SQLITE_ROW)
        body = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                                 sqlite3_column_bytes(s, 0));
    sqlite3_finalize(s);
    return body;
}

template <class T> std::unique_ptr<TSynCustomHighlighter> make() {
    return std::make_unique<T>();
}

// A highlighter of the same class as the window's, whose lexer the bare editor may take.
std::unique_ptr<TSynCustomHighlighter> sameKind(const TSynCustomHighlighter* h) {
    using Make = std::unique_ptr<TSynCustomHighlighter> (*)();
    static const std::map<QByteArray, Make> kinds = {
        {"TSynPasSyn", make<TSynPasSyn>},         {"TSynJavaSyn", make<TSynJavaSyn>},
        {"TSynCSSyn", make<TSynCSSyn>},           {"TSynCssSyn", make<TSynCssSyn>},
        {"TSynJScriptSyn", make<TSynJScriptSyn>}, {"TSynHTMLSyn", make<TSynHTMLSyn>},
        {"TSynPHPSyn", make<TSynPHPSyn>},         {"TSynVBSyn", make<TSynVBSyn>},
        {"TSynXMLSyn", make<TSynXMLSyn>},         {"TSynVBScriptSyn", make<TSynVBScriptSyn>},
        {"TSynSQLSyn", make<TSynSQLSyn>},         {"TSynCppSyn", make<TSynCppSyn>}};
    const auto it = kinds.find(QByteArray(h->metaObject()->className()));
    if (it == kinds.end())
        qFatal("no highlighter class %s", h->metaObject()->className());
    return it->second();
}

// Shows a snippet through the window and paints it; ms.
double show(TForm1& form, const QString& language, qint64 id) {
    QElapsedTimer t;
    t.start();
    if (!bench::SelectSnippet(form, language, id))
        qFatal("snippet %lld not listed", id);
    // The lists refilled by the selection are painted first: a repaint paints everything
    // pending in the window, and the lists are no part of showing the snippet.
    settle();
    t.restart();
    const double cpu = cpuMs();
    form.ShowSnippitExecute();
    form.SynEdit1->viewport()->repaint();
    gShowCpu = cpuMs() - cpu;
    return ms(t);
}

// The longest the event loop waits between 5 ms ticks over the next period.
double longestStall(int periodMs) {
    QElapsedTimer since, total;
    double longest = 0;
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(5);
    since.start();
    total.start();
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        longest = std::max(longest, ms(since));
        since.restart();
        if (total.hasExpired(periodMs))
            loop.quit();
    });
    tick.start();
    loop.exec();
    return longest;
}

int memoryChild(const bench::Options& o, bool large) {
    bench::Home home(o.collection);
    if (!large) {
        QFile::remove(home.dataDir() + QStringLiteral("varozidi.mdb"));
        varozidi::setup::CreateEmptyDatabase(home.dataDir() + QStringLiteral("varozidi.mdb"));
    }
    bench::RefuseMessageBoxes();
    TForm1 form;
    form.resize(1000, 700);
    form.show();
    settle();
    const double startPeak = residentMb("VmHWM");
    double after = 0;
    if (large) {
        const bench::CollectionFacts f = bench::ReadFacts(o.collection);
        show(form, f.hugeLanguage, f.hugeBodyId);
        settle();
        show(form, f.smallLanguage, f.smallBodyId);
        settle();
        after = residentMb("VmRSS");
    }
    std::printf("%.1f %.1f\n", startPeak, after);
    return 0;
}

std::pair<double, double> memoryOf(const bench::Options& o, const char* which) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--memory=") + QLatin1String(which),
             QStringLiteral("--snippets=%1").arg(o.shape.snippets),
             QStringLiteral("--cache=") + o.cache});
    p.waitForFinished(300000);
    const QList<QByteArray> v = p.readAllStandardOutput().trimmed().split(' ');
    return {v.value(0).toDouble(), v.value(1).toDouble()};
}

int run(const bench::Options& o, bool showOnly) {
    const bench::CollectionFacts f = bench::ReadFacts(o.collection);
    if (!f.hugeBodyId || !f.singleLineId) {
        std::fprintf(stderr, "bench_editor: the collection has no long bodies\n");
        return 1;
    }
    bench::Home home(o.collection);
    bench::RefuseMessageBoxes();
    TForm1 form;
    form.resize(1000, 700);
    form.show();
    settle();

    // 3: a snippet shown through the window, against a bare SELECT of its body and
    // QScintilla's setText of it with the same lexer, both painted.
    QsciScintilla plain;
    // Text beyond Latin-1 shows only in UTF-8.
    plain.setUtf8(true);
    plain.resize(form.SynEdit1->size());
    plain.show();
    settle();
    sqlite3* bare = bench::OpenBare(o.collection);
    const auto floorShow = [&](const QString& language, qint64 id) {
        const auto highlighter = sameKind(form.HighlighterFor(language));
        plain.setText(QString());
        plain.setLexer(nullptr);
        settle();
        QElapsedTimer t;
        t.start();
        const double cpu = cpuMs();
        const QString text = bodyOf(bare, id);
        plain.setLexer(highlighter->lexer());
        plain.setText(text);
        plain.viewport()->repaint();
        const std::pair took(ms(t), cpuMs() - cpu);
        plain.setLexer(nullptr);
        return took;
    };
    // Compared in processor time of the window's thread, the median of several runs on either
    // side: on this busy machine a run's wall-clock time is mostly how long it waited for a
    // processor. The least wall-clock times are printed beside it.
    struct Pair {
        double ours, floor, oursWall, floorWall;
    };
    const auto compare = [&](const QString& language, qint64 id, int runs) {
        std::vector<double> ours, floor, oursWall, floorWall;
        for (int i = 0; i < runs; ++i) {
            show(form, f.smallLanguage, f.smallBodyId);
            settle();
            oursWall.push_back(show(form, language, id));
            ours.push_back(gShowCpu);
            settle();
            const auto [wall, cpu] = floorShow(language, id);
            floorWall.push_back(wall);
            floor.push_back(cpu);
        }
        return Pair{median(ours), median(floor),
                    *std::min_element(oursWall.begin(), oursWall.end()),
                    *std::min_element(floorWall.begin(), floorWall.end())};
    };
    char detail[240];
    const Pair huge = compare(f.hugeLanguage, f.hugeBodyId, 7);
    std::snprintf(detail, sizeof detail,
                  "%.1f ms against SELECT + setText %.1f ms of processor time (%s lexer, median "
                  "of 7); least wall-clock %.1f and %.1f ms",
                  huge.ours, huge.floor, qPrintable(f.hugeLanguage), huge.oursWall, huge.floorWall);
    bench::Target("3 show the 10 MB snippet, painted", huge.ours / huge.floor, 1.5, detail);
    const Pair mid = compare(f.medianLanguage, f.medianBodyId, 41);
    std::snprintf(detail, sizeof detail,
                  "%.2f ms against SELECT + setText %.2f ms of processor time (%s lexer, median "
                  "of 41); least wall-clock %.2f and %.2f ms",
                  mid.ours, mid.floor, qPrintable(f.medianLanguage), mid.oursWall, mid.floorWall);
    bench::Target("3 show the median snippet, painted", mid.ours / mid.floor, 2.0, detail);
    const double floor10 = huge.floor;
    if (showOnly)
        return 0;
    // The same with word wrap off, as the floor is: what wrapping the lines in view adds.
    form.SynEdit1->setWordWrap(false);
    std::vector<double> unwrapped;
    for (int i = 0; i < 3; ++i) {
        show(form, f.smallLanguage, f.smallBodyId);
        settle();
        show(form, f.hugeLanguage, f.hugeBodyId);
        unwrapped.push_back(gShowCpu);
        settle();
    }
    bench::Info("3 show the 10 MB snippet, wrap off, against SELECT + setText",
                median(unwrapped) / floor10, "ratio");
    form.SynEdit1->setWordWrap(true);

    // Typing one character at the end of its first line, painted.
    show(form, f.hugeLanguage, f.hugeBodyId);
    settle();
    form.SynEdit1->setFocus();
    form.SynEdit1->setCursorPosition(0, 20);
    const std::vector<double> keys = typeKeys(form.SynEdit1, 20);
    std::snprintf(detail, sizeof detail, "%.2f ms a key, painted (median of 20; limit 16 ms)",
                  median(keys));
    bench::Target("3 type in the 10 MB snippet", median(keys) / 16, 1.0, detail);

    // The same with the event loop running, so that the unsaved text is kept on the disk as
    // it is while typing: a key every 50 ms for 5 s; the longest the loop waits between two
    // 5 ms ticks holds the key and the taking of the text, whichever falls in it.
    {
        QFile::remove(form.RecoveryKeeper->RecordPath());
        const qsizetype sizeBefore = form.SynEdit1->TextBytes().size();
        QElapsedTimer since, total;
        double longest = 0;
        int typed = 0;
        // The longest a key went unkept: from the first key after one write to the next write.
        double firstUnkept = -1, oldestLost = 0;
        int writes = 0;
        QDateTime lastWrite;
        QEventLoop loop;
        QTimer tick, key;
        tick.setInterval(5);
        key.setInterval(50);
        QObject::connect(&key, &QTimer::timeout, &loop, [&] {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
            QApplication::sendEvent(form.SynEdit1, &press);
            ++typed;
            if (firstUnkept < 0)
                firstUnkept = ms(total);
        });
        QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
            longest = std::max(longest, ms(since) - 5);
            since.restart();
            const QDateTime written =
                QFileInfo(form.RecoveryKeeper->RecordPath()).fileTime(QFile::FileModificationTime);
            if (written.isValid() && written != lastWrite) {
                lastWrite = written;
                ++writes;
                if (firstUnkept >= 0)
                    oldestLost = std::max(oldestLost, ms(total) - firstUnkept);
                firstUnkept = -1;
            }
            if (total.hasExpired(5000))
                loop.quit();
        });
        since.start();
        total.start();
        tick.start();
        key.start();
        loop.exec();
        form.RecoveryKeeper->Flush();
        QFile kept(form.RecoveryKeeper->RecordPath());
        bool whole = false;
        try {
            whole = kept.open(QIODevice::ReadOnly) &&
                    varozidi::recovery::Decode(kept.readAll()).text.size() > sizeBefore;
        } catch (const std::exception&) {
        }
        bench::Info("3 type in the 10 MB snippet, unsaved text kept: longest wait", longest, "ms");
        // What keeping the text adds to this thread: taking it from the editor (the rest is
        // done on the keeper's own thread), counted in processor time.
        std::vector<double> takes;
        QByteArray taken;
        for (int i = 0; i < 9; ++i) {
            const double start = threadMs();
            form.SynEdit1->TextBytesInto(taken);
            takes.push_back(threadMs() - start);
        }
        std::snprintf(detail, sizeof detail,
                      "taking the 10 MB text on the window's thread: %.1f ms of processor time "
                      "(median of 9; limit 16 ms); longest wait of the event loop %.0f ms over "
                      "%d keys in 5 s; record %s",
                      median(takes), longest, typed, whole ? "kept, whole" : "MISSING");
        bench::Target("3 type in the 10 MB snippet, unsaved text kept",
                      whole ? median(takes) / 16 : 99, 1.0, detail);
        std::snprintf(detail, sizeof detail,
                      "%d records written while typing; the oldest text a kill would have lost "
                      "was %.0f ms old (limit 2000 ms)",
                      writes, oldestLost);
        bench::Target("3 unsaved text kept within 2 s", oldestLost / 2000, 1.0, detail);
    }
    form.SnippitChanged = 0;

    // A 2 MB single line (minified code) with its highlighter, typed in near its start, in its
    // middle and at its end; the slowest key counts, the first ones included. Counted in the
    // window thread's processor time (see threadMs), the wall clock beside it.
    form.SynEdit1->SetLinesText(minifiedLine(2 * 1024 * 1024),
                                form.HighlighterFor(QStringLiteral("Javascript")));
    settle();
    std::vector<double> longLine, longLineCpu;
    for (int column : {40, 1024 * 1024, 2 * 1024 * 1024 - 100}) {
        form.SynEdit1->setCursorPosition(0, column);
        const std::vector<double> typed = typeKeys(form.SynEdit1, 10, &longLineCpu);
        longLine.insert(longLine.end(), typed.begin(), typed.end());
    }
    const double slowest = *std::max_element(longLineCpu.begin(), longLineCpu.end());
    std::snprintf(detail, sizeof detail,
                  "%.1f ms a key, painted, slowest %.1f ms (30 keys; limit 50 ms); wall clock "
                  "%.1f ms, slowest %.1f ms%s",
                  median(longLineCpu), slowest, median(longLine),
                  *std::max_element(longLine.begin(), longLine.end()),
                  form.SynEdit1->HighlightSuspended() ? "; shown without colours, with a note"
                                                      : "");
    bench::Target("3 type in a 2 MB single line", slowest / 50, 1.0, detail);
    form.SnippitChanged = 0;

    // The 10 MB single line with word wrap on.
    show(form, f.smallLanguage, f.smallBodyId);
    form.SynEdit1->setWordWrap(true);
    settle();
    const double single = show(form, f.singleLineLanguage, f.singleLineId);
    const double stall = longestStall(2000);
    std::snprintf(detail, sizeof detail, "%.0f ms to show, painted (limit 2000 ms)%s", single,
                  form.SynEdit1->WrapSuspended() ? "; shown unwrapped with a note" : "");
    bench::Target("3 show the 10 MB single line, wrap on", single / 2000, 1.0, detail);
    std::snprintf(detail, sizeof detail,
                  "longest wait of the event loop over 2 s after showing it: %.0f ms (limit "
                  "100 ms)",
                  stall);
    bench::Target("3 window keeps answering", stall / 100, 1.0, detail);

    sqlite3_close(bare);

    // 4: memory, in fresh processes.
    const auto empty = memoryOf(o, "empty");
    const auto large = memoryOf(o, "large");
    std::snprintf(detail, sizeof detail, "peak %.0f MB against %.0f MB empty (limit +20 MB)",
                  large.first, empty.first);
    bench::Target("4 memory after start-up", (large.first - empty.first) / 20, 1.0, detail);
    std::snprintf(detail, sizeof detail,
                  "%.0f MB after the 10 MB snippet and a small one, against a start-up peak of "
                  "%.0f MB (limit +40 MB)",
                  large.second, large.first);
    bench::Target("4 memory after the 10 MB snippet", (large.second - large.first) / 40, 1.0,
                  detail);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QString memory;
    bool showOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]).startsWith("--memory="))
            memory = QString::fromLatin1(argv[i] + 9);
        showOnly = showOnly || QByteArray(argv[i]) == "--show-only";
    }
    bench::Options o = bench::TakeOptions(argc, argv);
    QApplication app(argc, argv);
    o.collection = bench::CachedCollection(o.cache, o.shape);
    if (!memory.isEmpty())
        return memoryChild(o, memory == u"large");
    return run(o, showOnly);
}

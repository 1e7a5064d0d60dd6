// SPDX-License-Identifier: GPL-3.0-or-later
// The store operations of the main window on a large collection, each against the bare SQLite
// statements that read or write the same data, in the same run.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_store [--snippets=N] [--no-long] [--cache=DIR]
//
// The collection (100,000 snippets by default) is generated once into the cache folder. The
// writing operations undo themselves (a new row is deleted again, an edit writes the same
// text), so the cached collection stays as it was. Prints a TARGET line per operation.

#include "BenchSupport.h"
#include "data/engines/sqlite/SqliteCollection.h"
#include "data/store/ADODB.h"
#include "window/Unit1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSet>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <sqlite3.h>
#include <vector>

namespace {

using bench::SelectSnippet;

std::unique_ptr<TForm1> gForm;
sqlite3* gBare = nullptr;
bench::CollectionFacts gFacts;
bool gFailed = false;

void fail(benchmark::State& state, const char* why) {
    gFailed = true;
    state.SkipWithError(why);
}

// Steps a statement to its end, touching every column as text as a reader would.
void drain(sqlite3_stmt* s) {
    while (sqlite3_step(s) == SQLITE_ROW)
        for (int c = 0; c < sqlite3_column_count(s); ++c)
            benchmark::DoNotOptimize(sqlite3_column_text(s, c));
}

void bare(const char* sql, const std::function<void(sqlite3_stmt*)>& bind, sqlite3* db = nullptr) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db ? db : gBare, sql, -1, &s, nullptr);
    bind(s);
    drain(s);
    sqlite3_finalize(s);
}

void bindText(sqlite3_stmt* s, int i, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(s, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

// db: the connection to write through, the bare one by default; set-up steps of the window's
// operations write through the window's own, so that its cache stays as warm as the bare one.
qint64 bareInsert(const QString& language, const QString& title, sqlite3* db = nullptr) {
    bare(
        "INSERT INTO varozidi (Language, Title) VALUES (?, ?)",
        [&](sqlite3_stmt* s) {
            bindText(s, 1, language);
            bindText(s, 2, title);
        },
        db);
    return sqlite3_last_insert_rowid(db ? db : gBare);
}

sqlite3* formDb() {
    return varozidi::sqlite::HandleOf(*gForm->ADOConnection1);
}

void bareDelete(qint64 id) {
    bare("DELETE FROM varozidi WHERE ID = ?",
         [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); });
}

QString bodyOf(qint64 id) {
    QString body;
    bare("SELECT Body FROM varozidi WHERE ID = ?", [&](sqlite3_stmt* s) {
        sqlite3_bind_int64(s, 1, id);
        if (sqlite3_step(s) == SQLITE_ROW)
            body = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                                     sqlite3_column_bytes(s, 0));
        sqlite3_reset(s);
    });
    return body;
}

// --- the operations -----------------------------------------------------------------------

void ListLangs(benchmark::State& state) {
    for (auto _ : state)
        gForm->ListLangsExecute();
    state.counters["languages"] = gForm->ListBox1->Count();
    // The list the rows themselves give: each language once, by its first row, case-blind.
    QStringList expected;
    QSet<QString> seen;
    bare("SELECT Language FROM varozidi ORDER BY ID", [&](sqlite3_stmt* s) {
        while (sqlite3_step(s) == SQLITE_ROW) {
            const QString language =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                                  sqlite3_column_bytes(s, 0));
            if (!seen.contains(language.toCaseFolded())) {
                seen.insert(language.toCaseFolded());
                expected.append(language);
            }
        }
        sqlite3_reset(s);
    });
    QStringList listed;
    for (int i = 0; i < gForm->ListBox1->Count(); ++i)
        listed.append(gForm->ListBox1->Text(i));
    if (listed != expected)
        fail(state, "the language list differs from the rows");
}

void BareListLangs(benchmark::State& state) {
    for (auto _ : state)
        bare("SELECT DISTINCT Language FROM varozidi", [](sqlite3_stmt*) {});
}

void ShowSnippit(benchmark::State& state, qint64 id, QString language) {
    gForm->ListLangsExecute();
    if (!SelectSnippet(*gForm, language, id))
        return fail(state, "snippet not listed");
    for (auto _ : state)
        gForm->ShowSnippitExecute();
    if (gForm->CurrentSnippitID != id)
        fail(state, "another snippet shown");
}

void BareShowSnippit(benchmark::State& state, qint64 id) {
    for (auto _ : state)
        bare("SELECT Language, Title, Body FROM varozidi WHERE ID = ?",
             [id](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); });
}

void EditSnippit(benchmark::State& state, qint64 id, QString language) {
    gForm->ListLangsExecute();
    if (!SelectSnippet(*gForm, language, id))
        return fail(state, "snippet not listed");
    gForm->ShowSnippitExecute();
    for (auto _ : state)
        gForm->EditSnippitExecute();
}

void BareEditSnippit(benchmark::State& state, qint64 id) {
    const QByteArray body = bodyOf(id).toUtf8();
    for (auto _ : state)
        bare("UPDATE varozidi SET Body = ? WHERE ID = ?", [&](sqlite3_stmt* s) {
            sqlite3_bind_text(s, 1, body.constData(), int(body.size()), SQLITE_STATIC);
            sqlite3_bind_int64(s, 2, id);
        });
}

// Seconds a run, by the name of the pair's side, of pairs timed in turns.
std::map<std::string, double> gTurns;

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Both sides of a pair in turns, each timed on its own: run one after the other, the second
// met the disk and the page cache as the first had left them, and either moved by half.
void inTurns(benchmark::State& state, const std::string& key, const std::function<void()>& ours,
             const std::function<void()>& floor) {
    std::vector<double> oursTimes, floorTimes;
    QElapsedTimer timer;
    for (auto _ : state) {
        timer.start();
        ours();
        oursTimes.push_back(double(timer.nsecsElapsed()) / 1e9);
        timer.start();
        floor();
        floorTimes.push_back(double(timer.nsecsElapsed()) / 1e9);
    }
    gTurns[key] = medianOf(oursTimes);
    gTurns["Bare/" + key] = medianOf(floorTimes);
}

void ListVarozidiInTurns(benchmark::State& state) {
    gForm->ListLangsExecute();
    gForm->ListBox1->setItemIndex(gForm->ListBox1->IndexOf(gFacts.largestLanguage));
    inTurns(
        state, "ListVarozidi", [] { gForm->ListVarozidiExecute(); },
        [] {
            bare("SELECT ID, Title FROM varozidi WHERE Language = ? ORDER BY ID",
                 [](sqlite3_stmt* s) { bindText(s, 1, gFacts.largestLanguage); });
        });
    state.counters["titles"] = gForm->ListBox2->Count();
    if (gForm->ListBox2->Count() < gFacts.largestLanguageCount)
        fail(state, "fewer titles listed than the language holds");
}

void EditSnippitInTurns(benchmark::State& state, qint64 id, QString language) {
    gForm->ListLangsExecute();
    if (!SelectSnippet(*gForm, language, id))
        return fail(state, "snippet not listed");
    gForm->ShowSnippitExecute();
    const QByteArray body = bodyOf(id).toUtf8();
    inTurns(
        state, "EditSnippit/10MB", [] { gForm->EditSnippitExecute(); },
        [&] {
            bare("UPDATE varozidi SET Body = ? WHERE ID = ?", [&](sqlite3_stmt* s) {
                sqlite3_bind_text(s, 1, body.constData(), int(body.size()), SQLITE_STATIC);
                sqlite3_bind_int64(s, 2, id);
            });
        });
}

// New and delete work in a small language, so that the lists they refill stay short.
const QString kNewLanguage = QStringLiteral("Prolog");

void NewSnippit(benchmark::State& state) {
    for (auto _ : state) {
        gForm->Edit1->setText(kNewLanguage);
        gForm->Edit2->setText(QStringLiteral("bench new"));
        gForm->NewSnippitExecute();
        state.PauseTiming();
        bare(
            "DELETE FROM varozidi WHERE Title = 'bench new'", [](sqlite3_stmt*) {}, formDb());
        state.ResumeTiming();
    }
}

void BareNewSnippit(benchmark::State& state) {
    for (auto _ : state) {
        const qint64 id = bareInsert(kNewLanguage, QStringLiteral("bench new"));
        state.PauseTiming();
        bareDelete(id);
        state.ResumeTiming();
    }
}

void DeleteSnippit(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const qint64 id = bareInsert(kNewLanguage, QStringLiteral("bench delete"), formDb());
        gForm->ListLangsExecute();
        if (!SelectSnippet(*gForm, kNewLanguage, id))
            return fail(state, "new row not listed");
        state.ResumeTiming();
        gForm->DeleteSnippitExecute();
    }
}

void BareDeleteSnippit(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const qint64 id = bareInsert(kNewLanguage, QStringLiteral("bench delete"));
        state.ResumeTiming();
        bareDelete(id);
    }
}

// Remembers each benchmark's mean real time per iteration, in seconds.
class Recorder : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations > 0)
                seconds[run.run_name.function_name] =
                    run.real_accumulated_time / double(run.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
};

template <class F> void add(const std::string& name, F&& f, double minTime) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<F>(f))
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(minTime);
}

} // namespace

int main(int argc, char** argv) {
    bench::Options options = bench::TakeOptions(argc, argv);
    options.collection = bench::CachedCollection(options.cache, options.shape);
    gFacts = bench::ReadFacts(options.collection);
    QApplication app(argc, argv);
    bench::Home home(options.collection);
    bench::RefuseMessageBoxes();
    gForm = std::make_unique<TForm1>();
    gBare = bench::OpenBare(options.collection);
    // Leftovers of an interrupted run.
    bare("DELETE FROM varozidi WHERE Title IN ('bench new', 'bench delete')", [](sqlite3_stmt*) {});

    const double t = options.shape.snippets >= 10000 ? 0.3 : 0.05;
    const auto m = gFacts.medianBodyId;
    const auto ml = gFacts.medianLanguage;
    const std::vector<std::tuple<std::string, std::string, std::string>> pairs = {
        {"ListLangs", "ListLangs", "SELECT DISTINCT Language"},
        {"ListVarozidi", "ListVarozidi (largest language)",
         "SELECT ID, Title WHERE Language = ?, in turns (median)"},
        {"ShowSnippit/median", "ShowSnippit (median body)",
         "SELECT Language, Title, Body WHERE ID = ?"},
        {"EditSnippit/median", "EditSnippit (median body)", "UPDATE SET Body = ? WHERE ID = ?"},
        {"NewSnippit", "NewSnippit", "INSERT INTO varozidi"},
        {"DeleteSnippit", "DeleteSnippit", "DELETE WHERE ID = ?"},
        {"ShowSnippit/10MB", "ShowSnippit (10 MB body)",
         "SELECT Language, Title, Body WHERE ID = ?"},
        {"EditSnippit/10MB", "EditSnippit (10 MB body)",
         "UPDATE SET Body = ? WHERE ID = ?, in turns (median)"}};
    add("ListLangs", ListLangs, t);
    add("Bare/ListLangs", BareListLangs, t);
    add("ListVarozidi", ListVarozidiInTurns, 2 * t);
    add(
        "ShowSnippit/median", [=](benchmark::State& s) { ShowSnippit(s, m, ml); }, t);
    add(
        "Bare/ShowSnippit/median", [=](benchmark::State& s) { BareShowSnippit(s, m); }, t);
    add(
        "EditSnippit/median", [=](benchmark::State& s) { EditSnippit(s, m, ml); }, t);
    add(
        "Bare/EditSnippit/median", [=](benchmark::State& s) { BareEditSnippit(s, m); }, t);
    add("NewSnippit", NewSnippit, t);
    add("Bare/NewSnippit", BareNewSnippit, t);
    add("DeleteSnippit", DeleteSnippit, t);
    add("Bare/DeleteSnippit", BareDeleteSnippit, t);
    if (gFacts.hugeBodyId) {
        const auto h = gFacts.hugeBodyId;
        const auto hl = gFacts.hugeLanguage;
        add(
            "ShowSnippit/10MB", [=](benchmark::State& s) { ShowSnippit(s, h, hl); }, t);
        add(
            "Bare/ShowSnippit/10MB", [=](benchmark::State& s) { BareShowSnippit(s, h); }, t);
        // Both sides in one benchmark, timed in turns.
        add(
            "EditSnippit/10MB", [=](benchmark::State& s) { EditSnippitInTurns(s, h, hl); }, 2 * t);
    }
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);

    for (const auto& [key, seconds] : gTurns)
        recorder.seconds[key] = seconds;
    for (const auto& [key, name, sql] : pairs) {
        const auto ours = recorder.seconds.find(key);
        const auto floor = recorder.seconds.find("Bare/" + key);
        if (ours == recorder.seconds.end())
            continue;
        std::printf("TIME|%d|%s|%.4f\n", options.shape.snippets, key.c_str(), ours->second * 1e3);
        if (floor == recorder.seconds.end())
            continue;
        // Showing puts the text into the editor, which the bare SELECT does not: it is held to
        // the SELECT and the editor's own setText, painted (bench_editor), and only told here.
        if (key.rfind("ShowSnippit", 0) == 0) {
            bench::Info("2 " + name + " against the bare SELECT alone",
                        ours->second / floor->second, "ratio");
            continue;
        }
        char detail[200];
        std::snprintf(detail, sizeof detail, "%.3f ms against %.3f ms (%s)", ours->second * 1e3,
                      floor->second * 1e3, sql.c_str());
        bench::Target("2 " + name, ours->second / floor->second, 2.0, detail);
    }
    sqlite3_close(gBare);
    gForm.reset();
    return gFailed ? 1 : 0;
}

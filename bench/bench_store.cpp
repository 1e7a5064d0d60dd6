// The store operations of the main window on a large collection.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_store [--snippets=N]
//
// Builds a database of N snippets (100,000 by default) with bodies of about 2 KB spread
// over 40 languages, then times listing languages, listing one language's titles, and
// showing one snippet through the real main window.

#include "Unit1.h"
#include "platform/Dialogs.h"
#include "setup/Setup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>
#include <sqlite3.h>

namespace {

int gSnippets = 100000;
std::unique_ptr<QTemporaryDir> gHome;
std::unique_ptr<TForm1> gForm;

void fill(const QString& path) {
    varozidi::setup::CreateEmptyDatabase(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO varozidi (Language, Title, Body) VALUES (?,?,?)", -1, &stmt,
                       nullptr);
    const std::string body(2000, 'x');
    for (int i = 0; i < gSnippets; ++i) {
        const std::string language = "Language " + std::to_string(i % 40);
        const std::string title = "Snippet " + std::to_string(i);
        sqlite3_bind_text(stmt, 1, language.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, title.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, body.c_str(), -1, SQLITE_STATIC);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void ListLanguages(benchmark::State& state) {
    for (auto _ : state)
        gForm->ListLangsExecute();
    state.counters["languages"] = gForm->ListBox1->Count();
}

void ListTitlesOfOneLanguage(benchmark::State& state) {
    gForm->ListLangsExecute();
    for (auto _ : state) {
        gForm->ListBox1->setItemIndex(0);
        gForm->ListVarozidiExecute();
    }
    state.counters["titles"] = gForm->ListBox2->Count();
}

void ShowOneSnippet(benchmark::State& state) {
    gForm->ListLangsExecute();
    gForm->ListBox1->setItemIndex(0);
    gForm->ListVarozidiExecute();
    gForm->ListBox2->setItemIndex(gForm->ListBox2->Count() / 2);
    for (auto _ : state)
        gForm->ShowSnippitExecute();
}

BENCHMARK(ListLanguages)->Unit(benchmark::kMillisecond);
BENCHMARK(ListTitlesOfOneLanguage)->Unit(benchmark::kMillisecond);
BENCHMARK(ShowOneSnippet)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--snippets=", 0) == 0)
            gSnippets = std::stoi(std::string(argv[i]).substr(11));
    QApplication app(argc, argv);
    gHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", gHome->path().toUtf8());
    const QString dataDir = gHome->path() + QStringLiteral("/KZQ/Varozidi/");
    QDir().mkpath(dataDir);
    fill(dataDir + QStringLiteral("varozidi.mdb"));
    QFile welcome(dataDir + QStringLiteral("kzq.txt"));
    if (!welcome.open(QIODevice::WriteOnly) || welcome.write("Welcome\n") < 0)
        return 1;
    welcome.close();
    // Any message box would wait for a click that never comes.
    SetMessageDlgAnswerer([](const MessageDlgRequest& request) -> int {
        qFatal("unexpected message: %s", qPrintable(request.text));
    });
    gForm = std::make_unique<TForm1>();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    gForm.reset();
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Export and import of a large collection, as varozidi-cli does them: into a JSON file and a
// folder tree, and back into an empty collection, each whole and synced to the disk.
//
//   cmake --build build --target bench_transfer && build/bench/bench_transfer [--snippets=N]
//
// Builds a collection of N snippets (100,000 by default) over 24 languages, about 600 bytes
// of code-like text each with some Cyrillic, CJK and an emoji, and a few titles repeated.

#include "data/setup/Setup.h"
#include "data/transfer/Transfer.h"

#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <random>
#include <sqlite3.h>
#include <string>

namespace {

using namespace varozidi::transfer;

int gSnippets = 100000;
std::unique_ptr<QTemporaryDir> gDir;
QList<Snippet> gCollection;
int gRun = 0;

const char* const kLanguages[] = {"SQL",  "C++",    "Python", "Javascript", "Java", "PHP",
                                  "HTML", "CSS",    "XML",    "Delphi",     "Go",   "Rust",
                                  "Ruby", "CSharp", "Shell",  "TypeScript", "Perl", "Lua",
                                  "VB",   "Kotlin", "Swift",  "Haskell",    "Text", "Makefile"};
const char* const kWords[] = {"select", "from",  "where", "return", "for",   "while", "if",
                              "else",   "value", "count", "index",  "items", "print", "Привет",
                              "данные", "漢字",  "名前",  "result", "error", "buffer"};

void makeCollection() {
    std::mt19937 random(5);
    for (int i = 0; i < gSnippets; ++i) {
        std::string body;
        for (int line = 0; line < 12; ++line) {
            body += std::string(size_t(line % 4) * 2, ' ');
            for (int w = 0; w < 6; ++w)
                body += std::string(kWords[random() % std::size(kWords)]) + (w < 5 ? " " : ";");
            body += line == 6 ? " // 😀\n" : "\n";
        }
        // Every twentieth title is shared with another snippet of its language.
        const int number = i % 20 == 0 ? i - 20 : i;
        gCollection.append(
            Snippet{std::nullopt, QString::fromLatin1(kLanguages[i % std::size(kLanguages)]),
                    QStringLiteral("Snippet %1 %2").arg(number).arg(kWords[random() % 13]),
                    QString::fromStdString(body)});
    }
}

// A new, empty collection; the caller closes it.
sqlite3* emptyCollection(QString* path) {
    *path = gDir->filePath(QStringLiteral("collection-%1.mdb").arg(++gRun));
    varozidi::setup::CreateEmptyDatabase(*path);
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(*path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    return db;
}

QString freshPath(const char* what) {
    return gDir->filePath(QStringLiteral("%1-%2").arg(QLatin1String(what)).arg(++gRun));
}

// The collection read from its database, then written out.
void Export(benchmark::State& state, ExportFormat format) {
    QString source;
    sqlite3* db = emptyCollection(&source);
    AddSnippets(db, source, gCollection);
    for (auto _ : state)
        ExportSnippets(ReadCollection(db, source), format, freshPath("export"));
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * gSnippets);
}

// The file or tree recognised and read, and added to an empty collection in one transaction
// (the search index's triggers included), as varozidi-cli import does.
void Import(benchmark::State& state, ExportFormat format) {
    const QString exported = freshPath("exported");
    ExportSnippets(gCollection, format, exported);
    for (auto _ : state) {
        state.PauseTiming();
        QString target;
        sqlite3* db = emptyCollection(&target);
        state.ResumeTiming();
        ImportSnippets(db, target, exported, false, {}, {});
        state.PauseTiming();
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * gSnippets);
}

BENCHMARK_CAPTURE(Export, json, ExportFormat::Json)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Export, folder, ExportFormat::Folder)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(Import, json, ExportFormat::Json)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Import, folder, ExportFormat::Folder)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--snippets=", 0) == 0)
            gSnippets = std::stoi(std::string(argv[i]).substr(11));
    gDir = std::make_unique<QTemporaryDir>();
    makeCollection();
    qint64 bytes = 0;
    for (const Snippet& s : gCollection)
        bytes += s.body->toUtf8().size();
    std::printf("%d snippets, %.1f MB of bodies, in %s\n", gSnippets, double(bytes) / 1e6,
                qPrintable(gDir->path()));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    gDir.reset();
    return 0;
}

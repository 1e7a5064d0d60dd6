// SPDX-License-Identifier: GPL-3.0-or-later
// Search on a large collection: the index against a plain LIKE scan of the same rows, in the
// same run, and what the index costs on disk.
//
//   cmake --build build --target bench_search && build/bench/bench_search [--snippets=N]
//
// Builds a database of N snippets (100,000 by default) whose titles and bodies are made of
// words of Latin, Cyrillic and Greek syllables, about 450 bytes of text each.

#include "data/search/SearchIndex.h"
#include "data/setup/Setup.h"

#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <random>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace {

int gSnippets = 100000;
QString gPath;
sqlite3* gDb = nullptr;
std::vector<std::string> gWords;

void makeWords() {
    const char* syllables[] = {"ка",  "ta",  "ro", "mi",  "zu",  "le",  "ξα",  "ob",  "ue", "ñe",
                               "int", "for", "if", "def", "var", "let", "ret", "sel", "от", "λο"};
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        std::string word;
        for (int n = 1 + int(random() % 4); n > 0; --n)
            word += syllables[random() % std::size(syllables)];
        gWords.push_back(word);
    }
}

void fill() {
    varozidi::setup::CreateEmptyDatabase(gPath);
    sqlite3_open(gPath.toUtf8().constData(), &gDb);
    sqlite3_exec(gDb, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(gDb, "INSERT INTO varozidi (Language, Title, Body) VALUES (?,?,?)", -1,
                       &stmt, nullptr);
    std::mt19937 random(11);
    for (int i = 0; i < gSnippets; ++i) {
        const std::string language = "Language " + std::to_string(i % 40);
        const std::string title =
            "Title " + gWords[random() % gWords.size()] + " " + std::to_string(i);
        std::string body;
        for (int line = 0; line < 8; ++line) {
            for (int w = 0; w < 8; ++w)
                body += gWords[random() % gWords.size()] + ' ';
            body += '\n';
        }
        sqlite3_bind_text(stmt, 1, language.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, title.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, body.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(gDb, "COMMIT", nullptr, nullptr, nullptr);
}

double scalar(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(gDb, sql, -1, &stmt, nullptr);
    const double value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_double(stmt, 0) : 0;
    sqlite3_finalize(stmt);
    return value;
}

// One snippet's title number, a word of a few dozen snippets, and a common syllable.
const char* queryOf(const benchmark::State& state) {
    static const std::string number = "77777";
    const std::string* queries[] = {&number, &gWords[4321], nullptr};
    return state.range(0) < 2 ? queries[state.range(0)]->c_str() : "sel";
}

void IndexedSearch(benchmark::State& state) {
    const QString text = QString::fromUtf8(queryOf(state));
    int found = 0;
    for (auto _ : state)
        found = int(varozidi::search::Find(gDb, gPath, text, 200).hits.size());
    state.SetLabel(queryOf(state));
    state.counters["found"] = found;
}

void LikeScan(benchmark::State& state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(gDb,
                       "SELECT ID, Body FROM varozidi WHERE Title LIKE ?1 OR Language LIKE ?1 "
                       "OR Body LIKE ?1 LIMIT 200",
                       -1, &stmt, nullptr);
    const std::string pattern = std::string("%") + queryOf(state) + "%";
    sqlite3_bind_text(stmt, 1, pattern.c_str(), -1, SQLITE_TRANSIENT);
    int found = 0;
    for (auto _ : state) {
        found = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            ++found;
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    state.SetLabel(queryOf(state));
    state.counters["found"] = found;
}

void ShortQueryScan(benchmark::State& state) {
    for (auto _ : state)
        varozidi::search::Find(gDb, gPath, QStringLiteral("ξα"), 200);
}

BENCHMARK(IndexedSearch)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(LikeScan)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(ShortQueryScan)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--snippets=", 0) == 0)
            gSnippets = std::stoi(std::string(argv[i]).substr(11));
    QTemporaryDir dir;
    gPath = dir.filePath(QStringLiteral("varozidi.mdb"));
    makeWords();
    fill();
    const double text = scalar("SELECT sum(length(CAST(Language AS BLOB)) + length(CAST(Title AS "
                               "BLOB)) + length(CAST(Body AS BLOB))) FROM varozidi");
    const double index =
        scalar("SELECT sum(pgsize) FROM dbstat WHERE name LIKE 'varozidi_search%'");
    std::printf("%d snippets, %.1f MB of text; search index %.1f MB (%.2f of the text)\n",
                gSnippets, text / 1e6, index / 1e6, index / text);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    sqlite3_close(gDb);
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "Collection.h"

#include "data/core/Errors.h"
#include "data/search/SearchIndex.h"
#include "data/setup/Setup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <sqlite3.h>
#include <string>
#include <vector>

using varozidi::Error;

namespace bench {

namespace {

// The random numbers are made here from the raw engine, which the standard fixes, so that
// every library gives the same collection for one seed.
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return double(engine_() >> 11) * 0x1p-53; }
    int below(int n) { return int(uniform() * n); }
    double normal() {
        const double u = std::max(uniform(), 1e-300);
        return std::sqrt(-2 * std::log(u)) * std::cos(2 * M_PI * uniform());
    }

private:
    std::mt19937_64 engine_;
};

constexpr std::array kLanguages = {
    "C++",  "Java",   "Javascript", "Python",     "SQL",        "CSharp",  "PHP",     "HTML",
    "CSS",  "XML",    "Delphi",     "VB",         "VBScript",   "General", "Rust",    "Go",
    "Ruby", "Perl",   "Bash",       "Haskell",    "Kotlin",     "Swift",   "Scala",   "Lua",
    "R",    "Matlab", "Fortran",    "COBOL",      "Erlang",     "Elixir",  "Clojure", "OCaml",
    "F#",   "Dart",   "Julia",      "TypeScript", "PowerShell", "Groovy",  "Ada",     "Prolog"};

const char* const kWords[] = {
    "index",  "count",   "value",  "result",  "buffer", "node",   "item",    "list",     "map",
    "key",    "name",    "size",   "offset",  "length", "total",  "first",   "last",     "next",
    "prev",   "parent",  "child",  "left",    "right",  "data",   "line",    "text",     "file",
    "path",   "stream",  "reader", "writer",  "token",  "parser", "state",   "flags",    "mode",
    "config", "options", "user",   "account", "order",  "price",  "amount",  "date",     "time",
    "start",  "end",     "range",  "query",   "table",  "row",    "column",  "field",    "record",
    "cache",  "entry",   "handle", "socket",  "port",   "host",   "request", "response", "header",
    "body",   "status",  "error",  "message", "logger", "event",  "handler", "callback", "timer",
    "thread", "lock",    "queue",  "stack",   "tree"};

const char* const kKeywords[] = {
    "if",       "else",    "for", "while",  "return", "const", "static", "int",   "void",   "class",
    "public",   "private", "new", "delete", "true",   "false", "null",   "break", "switch", "case",
    "function", "var",     "let", "def",    "import", "from",  "select", "where", "begin",  "end"};

std::string word(Random& r) {
    std::string w = kWords[r.below(int(std::size(kWords)))];
    if (r.uniform() < 0.4) {
        std::string second = kWords[r.below(int(std::size(kWords)))];
        second[0] = char(std::toupper(second[0]));
        w += second;
    }
    return w;
}

// One line of code-like text, without its line break.
std::string codeLine(Random& r, int depth) {
    std::string line(std::size_t(depth * 4), ' ');
    switch (r.below(6)) {
    case 0:
        line += "// " + word(r) + ' ' + word(r) + " of the " + word(r) + " before " + word(r);
        break;
    case 1:
        line += std::string(kKeywords[r.below(int(std::size(kKeywords)))]) + " (" + word(r) +
                " < " + std::to_string(r.below(1000)) + ") {";
        break;
    case 2:
        line += word(r) + " = " + word(r) + '(' + word(r) + ", \"" + word(r) + "\");";
        break;
    case 3:
        line += "return " + word(r) + '.' + word(r) + '[' + word(r) + " + 1];";
        break;
    case 4:
        line += std::string(kKeywords[r.below(int(std::size(kKeywords)))]) + ' ' + word(r) + ' ' +
                word(r) + " = " + std::to_string(r.below(65536)) + ';';
        break;
    default:
        line += '}';
        break;
    }
    return line;
}

std::string codeText(Random& r, std::size_t bytes, bool oneLine) {
    std::string text;
    text.reserve(bytes + 128);
    int depth = 0;
    while (text.size() < bytes) {
        std::string line = codeLine(r, depth);
        // Minified code has no line comments: one would swallow the rest of the line.
        if (oneLine && line.find("//") != std::string::npos)
            continue;
        text += oneLine ? line.substr(line.find_first_not_of(' ')) : line;
        text += oneLine ? ' ' : '\n';
        depth = std::clamp(depth + r.below(3) - 1, 0, 4);
    }
    text.resize(bytes);
    return text;
}

// Shares of the snippets: three big languages, the rest tapering off.
std::vector<double> languageShares() {
    std::vector<double> shares = {0.125, 0.11, 0.105};
    double rest = 0;
    for (std::size_t k = 3; k < kLanguages.size(); ++k)
        rest += 1.0 / double(k);
    for (std::size_t k = 3; k < kLanguages.size(); ++k)
        shares.push_back((1 - 0.34) / double(k) / rest);
    return shares;
}

void check(sqlite3* db, int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw Error(QStringLiteral("Cannot %1: %2")
                        .arg(QLatin1String(what), QString::fromUtf8(sqlite3_errmsg(db))));
}

QString factsPath(const QString& path) {
    return path + QStringLiteral(".facts");
}

void writeFacts(sqlite3* db, const QString& path, const CollectionFacts& f) {
    Q_UNUSED(db);
    QFile out(factsPath(path));
    if (!out.open(QIODevice::WriteOnly))
        throw Error(QStringLiteral("Cannot write \"%1\".").arg(out.fileName()));
    const QStringList lines = {f.largestLanguage,
                               QString::number(f.largestLanguageCount),
                               QString::number(f.medianBodyId),
                               f.medianLanguage,
                               QString::number(f.hugeBodyId),
                               f.hugeLanguage,
                               QString::number(f.singleLineId),
                               f.singleLineLanguage,
                               QString::number(f.smallBodyId),
                               f.smallLanguage,
                               QString::number(f.bytes)};
    out.write(lines.join(u'\n').toUtf8() + '\n');
}

} // namespace

QString CacheDir() {
    return QStringLiteral(BENCH_CACHE_DIR);
}

void GenerateCollection(const QString& path, const CollectionShape& shape) {
    varozidi::setup::CreateEmptyDatabase(path);
    sqlite3* db = nullptr;
    check(db, sqlite3_open(QFile::encodeName(path).constData(), &db), "open the collection");
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
    check(db, sqlite3_exec(db, "PRAGMA cache_size = -262144; BEGIN", nullptr, nullptr, nullptr),
          "start writing");
    sqlite3_stmt* insert = nullptr;
    check(db,
          sqlite3_prepare_v2(db, "INSERT INTO varozidi (Language, Title, Body) VALUES (?,?,?)", -1,
                             &insert, nullptr),
          "prepare");
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalizer(insert, sqlite3_finalize);
    Random r(shape.seed);
    const std::vector<double> shares = languageShares();
    // Where the long bodies go: spread over the collection, one per eleventh.
    const int longCount = shape.longBodies ? 10 : 0;
    CollectionFacts facts;
    std::vector<std::pair<std::size_t, qint64>> lengths;
    std::vector<QString> languageOf(std::size_t(shape.snippets) + 1);
    std::vector<int> perLanguage(kLanguages.size(), 0);
    for (int i = 0; i < shape.snippets; ++i) {
        double pick = r.uniform();
        std::size_t lang = 0;
        while (lang + 1 < shares.size() && pick >= shares[lang])
            pick -= shares[lang++];
        std::string language = kLanguages[lang];
        // A few rows spell their language in other letter case, as people type.
        if (r.uniform() < 0.005)
            std::transform(language.begin(), language.end(), language.begin(),
                           [](char c) { return char(std::tolower(c)); });
        std::size_t bytes =
            std::size_t(std::clamp(1300.0 * std::exp(1.1 * r.normal()), 100.0, 50000.0));
        bool oneLine = false;
        const int slot = longCount > 0 ? (i + 1) * (longCount + 1) / shape.snippets : 0;
        if (longCount > 0 && slot >= 1 && slot <= longCount &&
            i == slot * shape.snippets / (longCount + 1)) {
            // 1..8 MB, then 10 MB of many lines, then 10 MB on a single line.
            bytes = std::size_t(slot <= 8 ? slot : 10) * 1024 * 1024;
            oneLine = slot == longCount;
            language = oneLine ? "Javascript" : "C++";
        }
        const std::string title = word(r) + ' ' + word(r) + ' ' + std::to_string(i + 1);
        const std::string body = codeText(r, bytes, oneLine);
        sqlite3_bind_text(insert, 1, language.c_str(), int(language.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, title.c_str(), int(title.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, body.c_str(), int(body.size()), SQLITE_TRANSIENT);
        check(db, sqlite3_step(insert), "insert a snippet");
        sqlite3_reset(insert);
        const qint64 id = sqlite3_last_insert_rowid(db);
        languageOf[std::size_t(i)] = QString::fromStdString(language);
        if (language == kLanguages[lang])
            ++perLanguage[lang];
        facts.bytes += qint64(bytes);
        if (oneLine) {
            facts.singleLineId = id;
            facts.singleLineLanguage = languageOf[std::size_t(i)];
        } else if (bytes == 10u * 1024 * 1024) {
            facts.hugeBodyId = id;
            facts.hugeLanguage = languageOf[std::size_t(i)];
        }
        lengths.push_back({bytes, id});
    }
    // As an import of as many snippets leaves it.
    varozidi::search::CompactIndex(db, path);
    check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), "finish writing");
    const auto largest = std::max_element(perLanguage.begin(), perLanguage.end());
    facts.largestLanguage =
        QString::fromUtf8(kLanguages[std::size_t(largest - perLanguage.begin())]);
    facts.largestLanguageCount = *largest;
    std::vector<std::pair<std::size_t, qint64>> sorted = lengths;
    std::sort(sorted.begin(), sorted.end());
    const auto& median = sorted[sorted.size() / 2];
    facts.medianBodyId = median.second;
    facts.medianLanguage = languageOf[std::size_t(median.second - 1)];
    const auto& small = sorted[sorted.size() / 10];
    facts.smallBodyId = small.second;
    facts.smallLanguage = languageOf[std::size_t(small.second - 1)];
    writeFacts(db, path, facts);
}

CollectionFacts ReadFacts(const QString& path) {
    QFile in(factsPath(path));
    if (!in.open(QIODevice::ReadOnly))
        throw Error(QStringLiteral("Cannot read \"%1\".").arg(in.fileName()));
    const QStringList l = QString::fromUtf8(in.readAll()).split(u'\n');
    if (l.size() < 11)
        throw Error(QStringLiteral("\"%1\" is incomplete.").arg(in.fileName()));
    CollectionFacts f;
    f.largestLanguage = l[0];
    f.largestLanguageCount = l[1].toInt();
    f.medianBodyId = l[2].toLongLong();
    f.medianLanguage = l[3];
    f.hugeBodyId = l[4].toLongLong();
    f.hugeLanguage = l[5];
    f.singleLineId = l[6].toLongLong();
    f.singleLineLanguage = l[7];
    f.smallBodyId = l[8].toLongLong();
    f.smallLanguage = l[9];
    f.bytes = l[10].toLongLong();
    return f;
}

QString CachedCollection(const QString& cacheDir, const CollectionShape& shape) {
    QDir().mkpath(cacheDir);
    // The v names the generator's make, to tell collections of an older one apart.
    const QString name = QStringLiteral("snippets-%1-%2%3-v3.db")
                             .arg(shape.snippets)
                             .arg(shape.seed)
                             .arg(shape.longBodies ? QStringLiteral("-long") : QString());
    const QString path = QDir(cacheDir).filePath(name);
    if (QFileInfo::exists(path) && QFileInfo::exists(factsPath(path))) {
        // One cached by an older build gets this build's search index now, as the program's
        // first opening would give it, rather than in the middle of a timed run.
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE,
                            nullptr) == SQLITE_OK &&
            varozidi::search::EnsureIndex(db, path))
            std::fprintf(stderr, "%s: search index made anew\n", qPrintable(path));
        sqlite3_close(db);
        return path;
    }
    // Built under another name and renamed, so that an interrupted run leaves no half file.
    const QString part = path + QStringLiteral(".part");
    QFile::remove(part);
    QFile::remove(factsPath(part));
    GenerateCollection(part, shape);
    if (!QFile::rename(factsPath(part), factsPath(path)) || !QFile::rename(part, path))
        throw Error(QStringLiteral("Cannot put the collection in place at \"%1\".").arg(path));
    return path;
}

} // namespace bench

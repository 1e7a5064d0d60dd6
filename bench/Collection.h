// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The benchmark collection: a deterministic, seeded database of code snippets, generated once
// and kept under the build folder.

#include <QString>
#include <cstdint>

namespace bench {

struct CollectionShape {
    int snippets = 100000;
    std::uint64_t seed = 20261207;
    // Add the ten long bodies (1 to 10 MB; the last one a single line).
    bool longBodies = true;
};

// Where the collection for shape lives in the cache folder; generated there first if missing.
// Returns the database file. Throws varozidi::Error.
QString CachedCollection(const QString& cacheDir, const CollectionShape& shape);

// Generates the collection into a new database at path.
void GenerateCollection(const QString& path, const CollectionShape& shape);

// The language with the most snippets, and facts the benchmarks pick rows by.
struct CollectionFacts {
    QString largestLanguage;
    int largestLanguageCount = 0;
    qint64 medianBodyId = 0; // a row whose body has the median length
    qint64 hugeBodyId = 0;   // the longest body of many lines
    qint64 singleLineId = 0; // the longest single-line body
    qint64 smallBodyId = 0;
    QString medianLanguage, hugeLanguage, singleLineLanguage, smallLanguage;
    qint64 bytes = 0; // of all bodies
};
CollectionFacts ReadFacts(const QString& path);

// The cache folder the build configured.
QString CacheDir();

} // namespace bench

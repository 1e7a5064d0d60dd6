// SPDX-License-Identifier: GPL-3.0-or-later
// Generates the benchmark collection into the cache folder, unless it is there already, and
// prints the database file's path.
//
//   build/bench/bench_generate [--snippets=N] [--seed=N] [--no-long] [--cache=DIR]

#include "BenchSupport.h"

#include "data/core/Errors.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const bench::Options o = bench::TakeOptions(argc, argv);
        const QString path = bench::CachedCollection(o.cache, o.shape);
        const bench::CollectionFacts f = bench::ReadFacts(path);
        std::printf("%s\n%d snippets, %.1f MB of bodies; largest language %s (%d)\n",
                    qPrintable(path), o.shape.snippets, double(f.bytes) / 1e6,
                    qPrintable(f.largestLanguage), f.largestLanguageCount);
        return 0;
    } catch (const varozidi::Error& e) {
        std::fprintf(stderr, "bench_generate: %s\n", qPrintable(e.message()));
        return 1;
    }
}

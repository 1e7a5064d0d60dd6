// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Hits passed on one by one as a search finds them, with memory that does not grow with them.

#include "data/search/SearchMatch.h"

#include <QBuffer>
#include <QDataStream>
#include <QTemporaryFile>
#include <functional>
#include <memory>

namespace varozidi::search::internal {

// Hits put aside until those before them are told: in memory, then, past a few megabytes, in a
// temporary file, which goes with the spool.
class Spool {
public:
    Spool();
    void add(const Hit& hit);
    // Each hit in the order added; the spool is empty after.
    void replay(const std::function<void(const Hit&)>& each);
    void clear();

private:
    void check() const;
    QByteArray memory_;
    QBuffer buffer_;
    std::unique_ptr<QTemporaryFile> file_;
    QDataStream stream_;
    qsizetype count_ = 0;
};

// Title matches told as soon as no statement holds the file; the others at once too where they
// come after the last title match, else put aside until the end.
class StreamedHits : public Hits {
public:
    explicit StreamedHits(std::function<void(const Hit&)> each) : each_(std::move(each)) {}
    void settle() override;
    void othersAfterTitles(bool after) override { othersAfter_ = after; }
    // Those told already are passed over when found again.
    void restart() override;
    // Tells every hit still held.
    void finish();

private:
    void keepTitle(Hit&& hit) override;
    void keepOther(Hit&& hit) override;

    std::function<void(const Hit&)> each_;
    std::vector<Hit> pending_;
    Spool spool_;
    bool othersAfter_ = false;
    qsizetype toldTitles_ = 0;
    qsizetype toldOthers_ = 0;
    qsizetype skipTitles_ = 0;
    qsizetype skipOthers_ = 0;
};

} // namespace varozidi::search::internal

// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/search/SearchSpool.h"

#include "data/core/Errors.h"

namespace varozidi::search::internal {

namespace {

// Held in memory up to this many bytes: a search of a few thousand hits needs no file.
constexpr qsizetype kMemoryBytes = 4 << 20;

} // namespace

Spool::Spool() {
    buffer_.setBuffer(&memory_);
    buffer_.open(QIODevice::ReadWrite);
    stream_.setDevice(&buffer_);
}

void Spool::check() const {
    if (stream_.status() == QDataStream::Ok)
        return;
    throw Error(QStringLiteral("Cannot search: the matches found could not be put aside in a "
                               "temporary file (%1).")
                    .arg(file_ ? file_->errorString() : QStringLiteral("out of memory")));
}

void Spool::add(const Hit& hit) {
    if (!file_ && memory_.size() > kMemoryBytes) {
        file_ = std::make_unique<QTemporaryFile>();
        if (!file_->open() || file_->write(memory_) != memory_.size())
            throw Error(QStringLiteral("Cannot search: the matches found could not be put aside "
                                       "in a temporary file (%1).")
                            .arg(file_->errorString()));
        stream_.setDevice(file_.get());
        buffer_.close();
        memory_.clear();
    }
    stream_ << hit.id << hit.language << hit.title << hit.line << qint32(hit.matchStart)
            << qint32(hit.matchLength) << hit.inTitle;
    check();
    ++count_;
}

void Spool::replay(const std::function<void(const Hit&)>& each) {
    QIODevice* device = stream_.device();
    if (!device->seek(0))
        check();
    for (qsizetype i = 0; i < count_; ++i) {
        Hit hit;
        qint32 start = 0;
        qint32 length = 0;
        stream_ >> hit.id >> hit.language >> hit.title >> hit.line >> start >> length >>
            hit.inTitle;
        check();
        hit.matchStart = start;
        hit.matchLength = length;
        each(hit);
    }
    clear();
}

void Spool::clear() {
    file_.reset();
    buffer_.close();
    memory_.clear();
    buffer_.setBuffer(&memory_);
    buffer_.open(QIODevice::ReadWrite);
    stream_.setDevice(&buffer_);
    stream_.resetStatus();
    count_ = 0;
}

void StreamedHits::keepTitle(Hit&& hit) {
    if (titles_ > skipTitles_)
        pending_.push_back(std::move(hit));
}

void StreamedHits::keepOther(Hit&& hit) {
    if (others_ <= skipOthers_)
        return;
    if (othersAfter_)
        pending_.push_back(std::move(hit));
    else
        spool_.add(hit);
}

void StreamedHits::settle() {
    // Moved out first: what each throws leaves nothing half told behind.
    std::vector<Hit> told;
    told.swap(pending_);
    for (const Hit& hit : told) {
        ++(hit.inTitle ? toldTitles_ : toldOthers_);
        each_(hit);
    }
}

void StreamedHits::restart() {
    skipTitles_ = toldTitles_;
    skipOthers_ = toldOthers_;
    pending_.clear();
    spool_.clear();
    titles_ = others_ = 0;
}

void StreamedHits::finish() {
    settle();
    spool_.replay([this](const Hit& hit) {
        ++toldOthers_;
        each_(hit);
    });
}

} // namespace varozidi::search::internal

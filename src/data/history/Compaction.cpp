// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/history/Compaction.h"

#include "data/core/Errors.h"

#include <QString>
#include <chrono>
#include <zstd.h>

namespace varozidi::history {

namespace {

// Every reader's zstd takes a window this large without being asked; the dictionary is part
// of the window, so a text and its dictionary together must fit.
constexpr int kMaxWindowLog = 27;
// Level 3 with long-distance matching finds the dictionary's long runs in a text of any
// size that fits the window.
constexpr int kLevel = 3;
// Between batches: others waiting to write get the file first.
constexpr auto kPause = std::chrono::milliseconds(20);

int windowLogFor(qint64 bytes) {
    int log = 10;
    while (log < kMaxWindowLog && (qint64(1) << log) < bytes)
        ++log;
    return log;
}

struct Contexts {
    ZSTD_CCtx* compress = ZSTD_createCCtx();
    ZSTD_DCtx* decompress = ZSTD_createDCtx();
    ~Contexts() {
        ZSTD_freeCCtx(compress);
        ZSTD_freeDCtx(decompress);
    }
};

} // namespace

std::optional<QByteArray> Pack(QByteArrayView text, QByteArrayView dictionary) {
    const qint64 window = qint64(text.size()) + qint64(dictionary.size());
    if (window > (qint64(1) << kMaxWindowLog))
        return std::nullopt;
    const Contexts z;
    if (!z.compress)
        return std::nullopt;
    ZSTD_CCtx_setParameter(z.compress, ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(z.compress, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(z.compress, ZSTD_c_windowLog, windowLogFor(window));
    ZSTD_CCtx_setParameter(z.compress, ZSTD_c_enableLongDistanceMatching, 1);
    // A prefix is the dictionary as raw content, whatever its first bytes.
    if (ZSTD_isError(ZSTD_CCtx_refPrefix(z.compress, dictionary.data(), dictionary.size())))
        return std::nullopt;
    QByteArray frame(qsizetype(ZSTD_compressBound(std::size_t(text.size()))), Qt::Uninitialized);
    const std::size_t size = ZSTD_compress2(z.compress, frame.data(), std::size_t(frame.size()),
                                            text.data(), std::size_t(text.size()));
    if (ZSTD_isError(size) || qsizetype(size) >= text.size())
        return std::nullopt;
    frame.truncate(qsizetype(size));
    // Never replace a text by a frame that does not give it back.
    try {
        if (Unpack(frame, dictionary, text.size()) != text)
            return std::nullopt;
    } catch (const Error&) {
        return std::nullopt;
    }
    return frame;
}

QByteArray Unpack(QByteArrayView frame, QByteArrayView dictionary, qint64 size) {
    const Contexts z;
    const auto fail = [] {
        return Error(QStringLiteral("a version of the history cannot be read: the version it "
                                    "was stored against is not the text it was"));
    };
    if (!z.decompress)
        throw Error(QStringLiteral("a version of the history cannot be read: out of memory"));
    ZSTD_DCtx_setParameter(z.decompress, ZSTD_d_windowLogMax, kMaxWindowLog);
    if (ZSTD_isError(ZSTD_DCtx_refPrefix(z.decompress, dictionary.data(), dictionary.size())))
        throw fail();
    QByteArray text(qsizetype(size), Qt::Uninitialized);
    const std::size_t got = ZSTD_decompressDCtx(z.decompress, text.data(), std::size_t(size),
                                                frame.data(), std::size_t(frame.size()));
    if (ZSTD_isError(got) || qint64(got) != size)
        throw fail();
    return text;
}

Compactor::~Compactor() {
    stop();
}

void Compactor::start() {
    if (running_)
        return;
    if (thread_.joinable())
        thread_.join();
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this] {
        try {
            const std::unique_ptr<CompactionWork> work = open_();
            while (work->batch() && !stop_)
                std::this_thread::sleep_for(kPause);
        } catch (const std::exception&) {
            // Tried again at the next write.
        }
        running_ = false;
    });
}

void Compactor::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

} // namespace varozidi::history

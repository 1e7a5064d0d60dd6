// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The history compacted: a version whose body the next version of the same snippet mostly
// repeats is stored as a zstd frame made with that next version's body as its dictionary, so
// that a one-line change to a long text costs little more than the line. Both engines keep
// such a version in three columns beside the plain ones, which older programs leave empty:
// Delta (the frame, its Body then NULL), Size (the body's length in bytes) and Base (the
// Version whose body is the dictionary; always a later version of the same snippet, replaced
// no earlier, so that the retention that removes it removes its dependents first). Reading a
// version walks from it along Base to a plain body and back. Whatever removes a version that
// is another's Base stores that other plain first.

#include <QByteArray>
#include <QByteArrayView>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace varozidi::history {

// The history is compacted in the background once this many versions have been kept since it
// was last.
constexpr qint64 kCompactAfter = 10000;
// Shorter bodies are left as they are: a frame's own bytes would eat what it saves.
constexpr qint64 kPackAtLeast = 64;
// What the history's state table calls the Version up to which compaction has looked.
inline constexpr char kPackedUpTo[] = "packed";
// A batch of either engine ends after this long, or this many bytes read, or this many rows.
constexpr qint64 kBatchMs = 50;
constexpr qint64 kBatchBytes = 32 << 20;
constexpr int kBatchRows = 256;

// text as a frame against dictionary, checked to give text back; none where it would not be
// smaller, or is too large for a frame a reader is sure to take.
std::optional<QByteArray> Pack(QByteArrayView text, QByteArrayView dictionary);
// The text of a frame made by Pack with the same dictionary, of size bytes. Throws
// varozidi::Error for a frame that does not give it back (a dictionary other than its own).
QByteArray Unpack(QByteArrayView frame, QByteArrayView dictionary, qint64 size);

// One engine's compaction on a connection of its own: each call one short transaction.
class CompactionWork {
public:
    virtual ~CompactionWork() = default;
    // Compacts what a moment allows; whether more is left.
    virtual bool batch() = 0;
};

// Runs the work on a thread of its own, one batch after another, pausing between them so that
// others' writes come first. A failure (a busy or full disk) ends the run; the next write
// starts it again.
class Compactor {
public:
    using Open = std::function<std::unique_ptr<CompactionWork>()>;
    explicit Compactor(Open open) : open_(std::move(open)) {}
    // Stops the run after its batch, and waits for it.
    ~Compactor();
    Compactor(const Compactor&) = delete;
    Compactor& operator=(const Compactor&) = delete;

    // Starts a run unless one is on its way. It does at least one batch.
    void start();
    bool running() const { return running_; }
    // Asks the run to stop after its batch, and waits for it.
    void stop();

private:
    Open open_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
};

} // namespace varozidi::history

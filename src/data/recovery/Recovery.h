// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Unsaved text kept on the disk while the editor holds it, so that a crash, a kill or a
// logout does not take it along; the next start offers it back. Qt Core only: the window
// hands over what it shows and decides what to ask.

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QThread;
class QTimer;

namespace varozidi::recovery {

// What one record holds.
struct Record {
    QString collection; // the database file, or the server's address (never a password)
    qint64 id = 0;      // the snippet shown; 0 for the welcome text
    QString language;   // as shown, for the question and for a new snippet
    QString title;
    QByteArray loadedDigest; // of the body as it was loaded; empty for the welcome text
    QByteArray text;         // the editor's whole text, UTF-8
    qint64 pid = 0;
    QDateTime written;
};

// $XDG_STATE_HOME/KZQ/Varozidi/ (~/.local/state when unset or relative), ending in '/'.
QString Folder();

// A SHA-256 of the bytes, in hex.
QByteArray Digest(const QByteArray& bytes);

QByteArray Encode(const Record& record);
// Throws varozidi::Error saying what is wrong with bytes.
Record Decode(const QByteArray& bytes);

// Keeps the record of one window: written on a worker thread, so that taking the text is
// all that typing waits for. Each keeper has a name of its own (the process and a number)
// and holds a lock on it for as long as it lives, which tells other programs it still runs.
class Keeper : public QObject {
    Q_OBJECT
public:
    // snapshot: the record as the window holds it now, without loadedDigest; called on the
    // keeper's thread (the window's), so it must be quick.
    Keeper(const QString& folder, std::function<Record()> snapshot, QObject* parent = nullptr);
    ~Keeper() override;

    // A text was loaded into the editor; its digest is made on the worker.
    void Loaded(const QByteArray& body);
    // The same, with the digest known already.
    void LoadedDigest(const QByteArray& digest);
    // The user changed the text: a write within kQuiet of the last change, and never later
    // than kLongest after the first unwritten one.
    void Changed();
    // The text was saved or dismissed: the record goes, and no write still pending lands.
    void Discard();
    // Writes the record at once and returns when it is on the disk.
    void WriteNow();
    // Waits until every write and removal asked for so far is done.
    void Flush();

    QString RecordPath() const { return base_ + QStringLiteral(".record"); }
    // Told on the window's thread once, when a record cannot be written.
    std::function<void(const QString&)> OnFailure;

    static constexpr int kQuietMs = 1000;
    // Room for the write itself within two seconds.
    static constexpr int kLongestMs = 1200;

private:
    void writeSoon();
    void post(std::function<void()> job);

    QString folder_;
    QString base_;
    std::function<Record()> snapshot_;
    QThread* worker_;
    QObject* inWorker_;
    QTimer* timer_;
    qint64 firstUnwritten_ = -1; // ms since epoch; -1 when everything is written
    int lockFd_ = -1;
    // Touched by the worker only. The text loaded, until its digest is needed.
    std::optional<QByteArray> loadedBody_;
    QByteArray loadedDigest_;
    bool failed_ = false;
};

// A record left by a program that no longer runs, held so that no other program offers it
// while this one asks. Let go of without a decision, it stays for the next start.
class LeftRecord {
public:
    ~LeftRecord();
    LeftRecord(const LeftRecord&) = delete;
    LeftRecord& operator=(const LeftRecord&) = delete;

    const QString& path() const { return path_; }
    // The record; empty when it is damaged, and then error says why.
    const std::optional<Record>& record() const { return record_; }
    const QString& error() const { return error_; }
    // Removes it: the text was taken over or dismissed.
    void Remove();
    // Renames a damaged record aside, out of every later search; the new name.
    QString SetAside();

private:
    friend std::unique_ptr<LeftRecord> FindLeftRecord(const QString&, const QString&);
    LeftRecord() = default;
    QString path_;
    QString lockPath_;
    int lockFd_ = -1;
    std::optional<Record> record_;
    QString error_;
};

// The newest record in folder left for collection by a program no longer running (a
// damaged one counts, whatever it names); null when there is none. Other collections'
// records and those of running programs are left alone. What stopped programs were writing
// elsewhere is removed first (RemoveLeftovers).
std::unique_ptr<LeftRecord> FindLeftRecord(const QString& folder, const QString& collection);

// Runs handler(signal) on context's thread, from its event loop, when the process gets
// SIGTERM, SIGHUP or SIGINT. The signal handler itself only writes a byte into a pipe.
void OnTermination(QObject* context, std::function<void(int)> handler);
// Runs the handler now for a signal that came, where the event loop does not run (a long
// write waited for); nothing without one.
void HearTermination();
// Ends the process as the signal would have, without running anything else.
[[noreturn]] void EndBySignal(int signal);

} // namespace varozidi::recovery

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One sync pass, shared by its parts: SyncPass.cpp carries changes to either side,
// SyncMerge.cpp weighs the two sides against what the last pass left, SyncArrivals.cpp takes
// what came into the folder from elsewhere.

#include "data/collection/Collection.h"
#include "data/store/ADODB.h"
#include "data/store/AdoBackend.h"
#include "data/sync/Sync.h"
#include "data/sync/SyncState.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace varozidi::sync::detail {

using transfer::Text;

inline const QString kTable = QStringLiteral("varozidi");

struct Row {
    QString version;
    Text language;
    Text title;
};

// A field as the listing gives it: text, or bytes that are not (read as best it can).
inline Text textOf(const QVariant& v) {
    if (!v.isValid())
        return std::nullopt;
    if (const QByteArray* utf8 = ado::Utf8BytesOf(v))
        return QString::fromUtf8(*utf8);
    if (v.typeId() == QMetaType::QByteArray)
        return QString::fromUtf8(v.toByteArray());
    return v.toString();
}

inline QString named(const Text& language, const Text& title) {
    return QStringLiteral("\"%1\" (%2)")
        .arg(title.value_or(QString()), language.value_or(QString()));
}

// Git ends the last line of each side of a conflict; a text without that end is the same.
inline bool sameText(const QByteArray& a, const QByteArray& b) {
    return a == b || a + '\n' == b || a == b + '\n';
}

inline bool sameEntries(const State& a, const State& b) {
    if (a.entries.size() != b.entries.size())
        return false;
    for (auto it = a.entries.cbegin(); it != a.entries.cend(); ++it) {
        const auto other = b.entries.constFind(it.key());
        if (other == b.entries.constEnd() || other->id != it->id ||
            other->rowVersion != it->rowVersion || other->record != it->record ||
            other->body != it->body || other->recordStamp != it->recordStamp)
            return false;
    }
    return true;
}

class Pass {
public:
    Pass(TADOConnection& connection, const QString& folder, const QString& statePath)
        : connection_(connection), folder_(QDir::cleanPath(QFileInfo(folder).absoluteFilePath())),
          statePath_(statePath) {
        table_.setConnection(&connection_);
        table_.setTableName(kTable);
    }
    Report run();

private:
    // The folder is as a pass that found both sides in step and said nothing left it: every
    // stamp of it the same. With the collection's mark the same too, nothing is to be done.
    bool folderAsBefore() const;
    // Every snippet weighed, the folder read.
    void everything();
    // Nothing in the folder, and nothing known of it: it receives the collection whole.
    bool fillable() const;
    // False where something came into the folder meanwhile, which then gets nothing.
    bool fill();
    // The folder unread, as that pass found it: only the rows changed since are weighed, and
    // the others carried as they were.
    void rowsOnly();
    // Neither side changed the snippet since the last pass: its row, record and body file are
    // as that pass left them, and no copy of its record came.
    bool untouched(const Entry& e) const;
    // Rows no snippet of the folder stands for go into it; files no record names come in.
    void newRowsAndFiles();
    // The names of the folder's files, for a new name that must not be taken: every one of
    // them where the folder was not read.
    void fillTaken();
    // A folder that lost its records, or its bodies to placeholders, looks as if every snippet
    // were removed; removing more than a few in one pass is refused, changing nothing.
    void refuseMassRemoval();
    // The file lies behind a link (its language folder, or itself): never read or written.
    bool behindLink(const QString& file) const {
        return scan_.linked.contains(file) || scan_.linked.contains(file.section(u'/', 0, 0));
    }
    // Bytes that are not UTF-8 would be kept, but could be neither searched nor exported.
    bool refusedAsText(const QByteArray& body, const QString& file);
    QString twinFile(qint64 id, const Row& row);
    void readRows();
    // --- the collection's side

    QString versionNow();
    std::pair<qint64, QString> addRow(const Text& language, const Text& title,
                                      const QByteArray& body);
    // False when the row is gone or was changed meanwhile: the next pass sees to it.
    bool editRow(qint64 id, const QString& expected, const Record& r, const QByteArray& body,
                 QString& version);
    void removeRow(qint64 id);
    // The row rewritten as r and body, where it still has the expected version; otherwise the
    // snippet stays as the last pass left it, for the next (false).
    bool rewrite(const Entry& e, const Record& r, const QByteArray& body, const QString& expected);
    // --- the folder's side

    // The scan found the file and this pass did not drop it.
    bool there(const QString& file) const {
        return scan_.files.contains(file) && !dropped_.contains(file);
    }
    bool claimedElsewhere(const QString& file, const QString& uid) const {
        const auto owner = claimed_.constFind(file);
        return owner != claimed_.constEnd() && *owner != uid;
    }
    void claim(const QString& file, const QString& uid);
    void dropFile(const QString& file, const QString& uid);
    // The row id as it is now, written as uid's files; the other files of uid go, where their
    // text is kept. at: the file it has in the folder now, where not old's.
    void writeOut(const QString& uid, qint64 id, const Entry* old, int& count,
                  const QString& at = {});
    // The file's text is in the collection, or was this snippet's before: it may go.
    bool textKept(const QString& file, const Entry* e, const QString& written = {});
    void remember(qint64 id, const QString& version, const Record& r);
    // The lineage uid's record has in the folder now (see Lineage); none where it has none.
    Lineage lineageOnDisk(const QString& uid) const;
    static QStringList pushed(QStringList earlier, const QString& was, const QString& now) {
        if (was != now) {
            earlier.removeAll(now);
            earlier.removeAll(was);
            earlier.prepend(was);
        }
        return earlier.mid(0, kEarlierKept);
    }
    QString recordPath(const QString& uid) const {
        return folder_ + u'/' + QLatin1String(kRecordFolder) + u'/' + uid + QStringLiteral(".json");
    }
    // A text neither side may lose: a snippet of its own, in the collection and the folder.
    // uid and when, where given, are the same on every machine that meets this conflict, so
    // that they all make the one snippet.
    // Every write into the folder reaches the disk before the state says it happened.
    // A name the scan found free is never taken from a file that came meanwhile.
    // One the scan found is replaced only as it found it.
    void putBody(const QString& file, const QByteArray& bytes) {
        const auto seen = scan_.files.constFind(file);
        const bool asScanned =
            seen != scan_.files.constEnd() && !written_.contains(file) && !dropped_.contains(file);
        const Stamp stamp = WriteBody(folder_, file, bytes, asScanned || written_.contains(file),
                                      asScanned ? &*seen : nullptr);
        wrote_ = true;
        written_.insert(file, stamp);
    }
    void putRecord(const Record& r, const Lineage& lineage = {}) {
        WriteRecord(folder_, r, lineage);
        wrote_ = true;
        writtenRecords_.insert(r.uid);
    }
    // The record says the snippet was removed, so that other machines remove it too.
    void tombstone(Record r) {
        r.removed = true;
        putRecord(r);
    }
    void keepApart(const Text& language, const Text& title, const QByteArray& body,
                   const QString& why, const QString& uid = {}, QDateTime when = {});
    // --- the three-way comparison

    // What the folder says of a snippet now: its record merged with the copies of it a sync
    // engine kept, each field taken from whichever changed it since the last pass; a second
    // body changed its own way comes as conflicting.
    struct FolderSide {
        bool recordThere = false;
        bool bodyThere = false;
        Record r;
        QByteArray body;
        bool bodyRead = false;
        bool asWritten = false; // the body is the one its record says was written
        bool shared = false;    // its file there holds another record's body
        std::optional<QByteArray> conflicting;
        QString conflictUid; // where every machine makes the one snippet of it
    };
    FolderSide folderSide(const Entry& e);
    // The record and the copies a sync engine kept of it, settled as on every machine.
    void settleCopies(const Entry& e, FolderSide& f);
    // Records that name one file are one snippet: those that do not stay join the one that
    // does (a file taken in by hand here before its record came from another machine).
    void findTwins();
    // The snippet e knew by its record goes on under into's.
    void merge(const Entry& e, const QString& into);
    // Another live record names file and its body is there: the text with hash is its (the
    // uid of that record; empty where none).
    QString othersBody(const QString& file, const QString& uid, const QString& hash);
    // Its file holds another snippet's body (two machines gave one name to two snippets): it
    // keeps its text here under a name of its own, with the folder's new title or language.
    void relocate(const Entry& e, const Record& r);
    void compare(const Entry& e);
    // The folder's change into the row; Git's conflict markers never become a body.
    void takeIn(const Entry& e, const Record& r, const QByteArray& body, bool asWritten = false);
    // A body file with Git's conflict markers, as every machine the merge reaches finds it:
    // each makes the first side current and keeps the second apart as the same snippet, so
    // that all agree; a text of its own this machine had beside them is kept apart too.
    void resolveMarkers(const Entry& e, const Record& r,
                        const std::pair<QByteArray, QByteArray>& sides);
    // One side of a Git conflict, kept apart under an identity every machine gives it.
    void keepMarkedSide(const Record& r, const QByteArray& side, const QString& why);
    // Both sides changed the snippet: each field takes the side that changed it; a body both
    // changed, each its own way, keeps the folder's text apart.
    void both(const Entry& e, const Record& r, const QByteArray& body, bool asWritten);
    // A snippet another machine put into the folder.
    void arrived(const Record& r);
    // r's file holds another snippet's body, and a sync engine kept r's as a conflict copy
    // (two machines gave two snippets one name): it comes in under a name of its own.
    bool adoptCopy(const Record& r);
    // A file a person put into the folder: its folder names the language, its name the title.
    void madeByHand(const QString& file);
    // The file came in the last seconds with a time of its own, as a sync engine brings one:
    // left for a later pass.
    bool justCarried(const QString& file);
    static constexpr qint64 kCarriedMs = 3000;
    // A sync engine's copy of a file both machines changed: a conflict of its own.
    void conflictCopy(const QString& file);
    TADOConnection& connection_;
    TADOTable table_;
    const QString folder_;
    const QString statePath_;
    State base_;
    State next_;
    std::optional<QString> mark_;
    FolderScan scan_;
    QHash<qint64, Row> rows_;
    QSet<qint64> linked_;                 // rows that have their files
    QHash<QString, QString> claimed_;     // body file -> uid
    QHash<QString, QSet<QString>> owned_; // uid -> its body files
    QSet<QString> dropped_;
    QSet<QString> taken_; // lower-case relative paths
    bool takenFilled_ = false;
    bool refilled_ = false;         // a fill found the folder changed: no second one
    QSet<QString> kept_;            // hashes of the bodies the collection holds from this pass
    bool wrote_ = false;            // into the folder, so far
    QHash<QString, Stamp> written_; // body files this pass wrote, as it left them
    QSet<QString> writtenRecords_;  // likewise records, by uid
    QMultiHash<QString, Record> alternates_; // records a sync engine kept as conflict copies
    QMultiHash<QString, qint64> byName_;     // rows no record names yet, by language and title
    QHash<QString, QString> twins_;          // uid -> the uid of the record it joins
    QMultiHash<QString, QString> naming_;    // body file -> uids of the live records naming it
    QHash<QString, QString> copies_;         // hash -> a sync engine's conflict copy of a body
    QSet<QString> adopted_;                  // conflict copies that came in as their record
    QSet<QString> rekeyed_;                  // uids this pass took over from a twin
    Report report_;
};

} // namespace varozidi::sync::detail

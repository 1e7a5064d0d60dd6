// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The sync folder: the collection as plain files that Git, Syncthing or Nextcloud carry
// between machines. Each snippet is FOLDER/Language/Title.ext, its body byte for byte, and a
// record of its own in FOLDER/.varozidi-sync/<identity>.json keeps what a name cannot: the
// identity it has on every machine, its exact language and title, its body file and the hash
// of the body it was written from. No file lists them all, so a change on one machine rewrites
// that snippet's files only.

#include "data/core/Errors.h"
#include "data/transfer/Snippet.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

struct stat;

namespace varozidi::sync {

inline constexpr char kRecordFolder[] = ".varozidi-sync";

struct Record {
    QString uid;
    transfer::Text language;
    transfer::Text title;
    QString file; // relative to the folder: "SQL/Top 10.sql"
    QString hash; // BodyHash of the body as written
    // A snippet removed on purpose: its record stays, so that other machines tell the removal
    // from a record that went missing.
    bool removed = false;
    // Another record named the same file: one snippet, known by the identity that stays (see
    // Stays). This record stays too, so that a machine still knowing the snippet by it
    // follows rather than reading a removal.
    QString mergedInto;
    bool operator==(const Record&) const = default;
};

// A field as records and the state keep it apart from empty text: "=text", empty for none.
inline QString keyOf(const transfer::Text& t) {
    return t ? u'=' + *t : QString();
}

// What a record's snippet had before, latest first: its bodies' hashes, its titles and its
// languages (each "=text", empty for none). Of two records of one snippet, each machine tells
// from it the same one newer, field by field (see Settle).
struct Lineage {
    QStringList hashes;
    QStringList titles;
    QStringList languages;
};

// What tells a file changed without reading it. The time of change, which no program sets,
// tells a file written in place with its old size and time put back.
struct Stamp {
    qint64 size = -1;
    qint64 mtimeNs = 0;
    qint64 inode = 0;
    qint64 ctimeNs = 0;
    bool operator==(const Stamp&) const = default;
};

struct FolderScan {
    // The record folder as the scan found it: its times of change and modification, inode.
    Stamp recordFolder;
    QHash<QString, Record> records;      // by uid; unreadable ones are left out
    QHash<QString, Stamp> recordStamps;  // by uid
    QStringList unreadableRecords;       // uids whose record is no JSON a sync wrote
    QSet<QString> markedRecords;         // uids whose record holds Git's conflict markers
    QHash<QString, Lineage> lineage;     // by uid, of the records read (none where unread)
    QMultiHash<QString, Record> sides;   // by uid: both sides of a record with Git's markers
    QHash<QString, Lineage> copyLineage; // of the sides and of a sync engine's copies, by CopyKey
    QHash<QString, Record> removed;      // records that say their snippet was removed
    QHash<QString, QString> merged;      // records merged into another: uid -> the one it joined
    QSet<QString> linked;                // language folders and files that are links, or no
                                         // plain files
    QHash<QString, Stamp> files;         // body files, by relative path
    QStringList conflictCopies;          // relative paths a sync engine left for a conflict
    QStringList skipped;                 // why a name was left alone, for the report
    QHash<QString, Stamp> folders;       // the folder itself (""), its languages' folders
};

// Reads the folder; records whose stamp is that of known are taken from known unread. Where
// the record folder's stamp is knownFolder (no record came, went or was replaced), only the
// known records and others (uids) are looked at.
// Throws varozidi::Error when the folder is missing or cannot be read.
FolderScan ScanFolder(const QString& folder, const QHash<QString, std::pair<Stamp, Record>>& known,
                      const Stamp& knownFolder = {}, const QStringList& others = {});
// A snippet's files as a scan found them: its body file (relative) and its record.
struct Seen {
    QString file;
    Stamp body;
    QString uid;
    Stamp record;
};
// Whether the folder looks as a scan found it: its own stamp and its languages' folders'
// (folders), the record folder's, and each snippet's files'. Any name that came, went or was
// replaced, or any file written, tells otherwise.
bool LooksAsBefore(const QString& folder, const QHash<QString, Stamp>& folders,
                   const Stamp& recordFolder, const QList<Seen>& snippets);
QString BodyHash(const QByteArray& bytes);
QString NewUid();
// The folder holds files of others but no sync records: choosing it would take them all in.
bool HoldsOtherFiles(const QString& folder);
// The stamp of a file now; size -1 when it is not there.
Stamp StampOf(const QString& path);
Stamp StampOf(const struct stat& st);
// The name of uid's record in the record folder, and what it holds.
QByteArray RecordName(const QString& uid);
QByteArray RecordBytes(const Record& record, const Lineage& lineage = {});

// A record file at file (relative), as a sync engine's conflict copy of one; nothing where it
// is no record.
std::optional<Record> ReadRecordFile(const QString& folder, const QString& file,
                                     Lineage* lineage = nullptr);
// What tells apart the sides of a record, or a sync engine's copies of it.
inline QString CopyKey(const Record& r) {
    return r.uid + u'\n' + r.file + u'\n' + r.hash;
}
// Both lineages and both records' own values, in an order every machine gives them.
Lineage Joined(const Record& a, const Lineage& la, const Record& b, const Lineage& lb);
// Of two records of one snippet (a sync engine kept both, or Git merged them), the one every
// machine takes: each field from the record that had the other's value before, or, where
// neither did (both changed it), the lesser value; the file is that of the body taken. apart
// is set where both changed the body, whose other text is then kept apart.
Record Settle(const Record& a, const Lineage& la, const Record& b, const Lineage& lb,
              bool* apart = nullptr);
// Reads a body file whole; throws varozidi::Error.
QByteArray ReadBody(const QString& folder, const QString& file);
// Replaces or makes a file all at once (written beside it under a hidden name, then renamed).
// With replace false, a file that came there meanwhile stays, and TakenMeanwhile is thrown;
// likewise where expected is given and the file there is no longer as it stamps. The stamp of
// the file written; none (size -1) where another took its name at once.
Stamp WriteBody(const QString& folder, const QString& file, const QByteArray& bytes,
                bool replace = true, const Stamp* expected = nullptr);
class TakenMeanwhile : public Error {
public:
    using Error::Error;
};
// A call of the system that failed (a full disk, a folder that cannot be written).
class WriteFailed : public Error {
public:
    using Error::Error;
};
void WriteRecord(const QString& folder, const Record& record, const Lineage& lineage = {});
// Removes the file (and its language's folder once empty); gone already is no failure.
void RemoveFile(const QString& folder, const QString& file);
void RemoveRecord(const QString& folder, const QString& uid);
// Every file written so far reaches the disk before the sync's state says it did.
void Flush(const QString& folder);

// The file a snippet's body gets: Language/Title.ext, made safe for every file system, and
// numbered where taken (lower-case relative paths) already holds it.
QString FileFor(const transfer::Text& language, const transfer::Text& title,
                const QSet<QString>& taken);
// The same in two steps, for many files of one language: its folder and extension, then each.
struct Place {
    QString folder;
    QString extension; // with its dot
};
Place PlaceFor(const transfer::Text& language);
QString FileIn(const Place& place, const transfer::Text& title, const QSet<QString>& taken);
// Whether file is the very name FileFor would give (numbering aside), so it can stay.
bool FitsName(const QString& file, const transfer::Text& language, const transfer::Text& title);

// The language and title a file made by hand stands for: its folder and its name.
std::pair<transfer::Text, transfer::Text> NamedBy(const QString& file);
// Of two live records that name one file, whether a is the one that stays: the same answer on
// every machine. One whose language and title are more than its file's name tells (a record
// another machine wrote of its snippet, rather than one made of the file alone) stays; then one
// with a past (its record keeps earlier values: it was changed since it was made); then the
// lower identity.
bool Stays(const Record& a, bool aHasPast, const Record& b, bool bHasPast);

// The title a conflict copy stands for ("Top 10" for "Top 10.sync-conflict-2026...-X.sql"),
// and the two sides of a body holding Git's conflict markers (nothing where it holds none).
QString TitleOfConflictCopy(const QString& file);
std::optional<std::pair<QByteArray, QByteArray>> GitConflictSides(const QByteArray& body);

} // namespace varozidi::sync

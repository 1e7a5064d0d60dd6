// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/sync/Sync.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"
#include "data/files/IniFile.h"
#include "data/store/ADODB.h"
#include "data/store/AdoBackend.h"
#include "data/store/AdoFilter.h"
#include "data/store/SnippetQueries.h"
#include "data/sync/SyncState.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace varozidi::sync {

namespace {

using transfer::Text;

const QString kTable = QStringLiteral("varozidi");

struct Row {
    QString version;
    Text language;
    Text title;
};

// A field as the listing gives it: text, or bytes that are not (read as best it can).
Text textOf(const QVariant& v) {
    if (!v.isValid())
        return std::nullopt;
    if (const QByteArray* utf8 = ado::Utf8BytesOf(v))
        return QString::fromUtf8(*utf8);
    if (v.typeId() == QMetaType::QByteArray)
        return QString::fromUtf8(v.toByteArray());
    return v.toString();
}

QString named(const Text& language, const Text& title) {
    return QStringLiteral("\"%1\" (%2)")
        .arg(title.value_or(QString()), language.value_or(QString()));
}

// Git ends the last line of each side of a conflict; a text without that end is the same.
bool sameText(const QByteArray& a, const QByteArray& b) {
    return a == b || a + '\n' == b || a == b + '\n';
}

// A field as the state keeps it apart from empty text.
QString keyOf(const Text& t) {
    return t ? u'=' + *t : QString();
}

bool sameEntries(const State& a, const State& b) {
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
    Pass(TADOConnection& connection, const QString& folder)
        : connection_(connection), folder_(QDir::cleanPath(QFileInfo(folder).absoluteFilePath())),
          statePath_(StatePath(folder_, connection.collection()->address().identity())) {
        table_.setConnection(&connection_);
        table_.setTableName(kTable);
    }

    Report run() {
        base_ = LoadState(statePath_);
        QHash<QString, std::pair<Stamp, Record>> known;
        for (const Entry& e : std::as_const(base_.entries))
            known.insert(e.record.uid, {e.recordStamp, e.record});
        scan_ = ScanFolder(folder_, known);
        // An emptied folder is far likelier an unmounted disk or a wrong checkout than the
        // wish to remove every snippet everywhere.
        if (!base_.entries.isEmpty() && scan_.records.isEmpty() && scan_.files.isEmpty())
            throw Error(QStringLiteral("The sync folder \"%1\" holds none of the %2 snippets it "
                                       "held at the last sync; nothing was changed. If it is "
                                       "on a disk that is not mounted, mount it; to start "
                                       "over, stop syncing and choose the folder again.")
                            .arg(folder_)
                            .arg(base_.entries.size()));
        refuseMassRemoval();
        readRows();
        for (const QString& copy : std::as_const(scan_.conflictCopies))
            if (copy.startsWith(QLatin1String(kRecordFolder) + u'/'))
                if (const auto r = ReadRecordFile(folder_, copy))
                    alternates_.insert(r->uid, *r);
        for (const QString& file : scan_.files.keys())
            taken_.insert(file.toLower());
        report_.notes += scan_.skipped;

        for (const Entry& e : std::as_const(base_.entries))
            compare(e);
        for (const Record& r : std::as_const(scan_.records))
            if (!base_.entries.contains(r.uid))
                arrived(r);
        for (const QString& uid : std::as_const(scan_.unreadableRecords))
            if (!base_.entries.contains(uid))
                report_.notes.append(
                    QStringLiteral("The record %1 in the folder could not be read; it is left "
                                   "for the machine that wrote it.")
                        .arg(uid));
        for (auto it = rows_.cbegin(); it != rows_.cend(); ++it)
            if (!linked_.contains(it.key()))
                writeOut(NewUid(), it.key(), nullptr, report_.intoFolder.added);
        for (auto it = scan_.files.cbegin(); it != scan_.files.cend(); ++it)
            if (!claimed_.contains(it.key()) && !dropped_.contains(it.key()))
                madeByHand(it.key());
        for (const QString& copy : std::as_const(scan_.conflictCopies))
            conflictCopy(copy);
        if (wrote_)
            Flush(folder_);
        if (wrote_ || report_.changedAnything() || !sameEntries(base_, next_))
            SaveState(statePath_, next_);
        return report_;
    }

private:
    // A folder that lost its records, or its bodies to placeholders, looks as if every snippet
    // were removed; removing more than a few in one pass is refused, changing nothing.
    void refuseMassRemoval() {
        if (!base_.entries.isEmpty() &&
            !QFileInfo(folder_ + u'/' + QLatin1String(kRecordFolder)).isDir())
            throw Error(QStringLiteral("The sync folder \"%1\" has lost its records (%2), which "
                                       "a sync never removes; nothing was changed. Bring them "
                                       "back (a .gitignore or a tool that skips hidden files may "
                                       "have left them out), or stop syncing and choose an empty "
                                       "folder.")
                            .arg(folder_, QLatin1String(kRecordFolder)));
        qsizetype gone = 0;
        for (const Entry& e : std::as_const(base_.entries))
            if ((!scan_.records.contains(e.record.uid) &&
                 !scan_.unreadableRecords.contains(e.record.uid)) ||
                (!scan_.files.contains(scan_.records.value(e.record.uid, e.record).file) &&
                 !scan_.files.contains(e.record.file)))
                ++gone;
        if (gone > 10 && gone * 5 > base_.entries.size())
            throw Error(QStringLiteral("The sync folder \"%1\" lacks %2 of the %3 snippets it "
                                       "held at the last sync (their records in %4 or their "
                                       "files); nothing was changed. If that is what you want, "
                                       "remove them in the program instead.")
                            .arg(folder_)
                            .arg(gone)
                            .arg(base_.entries.size())
                            .arg(QLatin1String(kRecordFolder)));
    }

    void readRows() {
        ado::Backend& rows = connection_.collection()->rows();
        const QString rowid = rows.describe(kTable).rowidSql;
        const QString version = rows.versionSql(kTable);
        if (version.isEmpty())
            throw Error(QStringLiteral("This collection keeps no version of its rows, which a "
                                       "sync needs to tell what changed."));
        const auto s =
            rows.query(QStringLiteral("SELECT %1, %2, %3, %4 FROM %5")
                           .arg(rowid, version, ado::quoteIdentifier("Language"),
                                ado::quoteIdentifier("Title"), ado::quoteIdentifier(kTable)),
                       {}, QStringLiteral("read the collection for a sync"));
        while (s->step())
            rows_.insert(s->int64(0),
                         {s->cell(1).toString(), textOf(s->cell(2)), textOf(s->cell(3))});
    }

    // --- the collection's side

    QString versionNow() {
        QString v = table_.WrittenVersion();
        return v.isEmpty() ? table_.RowVersion() : v;
    }

    std::pair<qint64, QString> addRow(const Text& language, const Text& title,
                                      const QByteArray& body) {
        CloseUnfiltered(table_);
        table_.Open();
        table_.Insert();
        if (language)
            table_.FieldByName(QStringLiteral("Language")).setAsString(*language);
        if (title)
            table_.FieldByName(QStringLiteral("Title")).setAsString(*title);
        table_.FieldByName(QStringLiteral("Body")).setAsBytes(body);
        table_.Post();
        kept_.insert(BodyHash(body));
        const qint64 id = table_.FieldByName(QStringLiteral("ID")).AsLargeInt();
        linked_.insert(id);
        ++report_.intoCollection.added;
        return {id, versionNow()};
    }

    // False when the row is gone or was changed meanwhile: the next pass sees to it.
    bool editRow(qint64 id, const QString& expected, const Record& r, const QByteArray& body,
                 QString& version) {
        OpenFiltered(table_, IdFilter(id));
        if (table_.Eof())
            return false;
        table_.Edit();
        table_.setExpectedVersion(expected);
        if (r.language)
            table_.FieldByName(QStringLiteral("Language")).setAsString(*r.language);
        if (r.title)
            table_.FieldByName(QStringLiteral("Title")).setAsString(*r.title);
        table_.FieldByName(QStringLiteral("Body")).setAsBytes(body);
        try {
            table_.Post();
        } catch (const RowChangedError&) {
            report_.notes.append(QStringLiteral("%1 changed while it was synced; the next sync "
                                                "takes it up.")
                                     .arg(named(r.language, r.title)));
            return false;
        }
        version = versionNow();
        kept_.insert(BodyHash(body));
        ++report_.intoCollection.changed;
        return true;
    }

    void removeRow(qint64 id) {
        OpenFiltered(table_, IdFilter(id));
        if (table_.Eof())
            return;
        table_.Delete();
        ++report_.intoCollection.removed;
    }

    // --- the folder's side

    bool claimedElsewhere(const QString& file, const QString& uid) const {
        const auto owner = claimed_.constFind(file);
        return owner != claimed_.constEnd() && *owner != uid;
    }

    void claim(const QString& file, const QString& uid) {
        if (const auto was = claimed_.constFind(file); was != claimed_.constEnd() && *was != uid)
            owned_[*was].remove(file);
        claimed_.insert(file, uid);
        owned_[uid].insert(file);
        taken_.insert(file.toLower());
    }

    void dropFile(const QString& file, const QString& uid) {
        if (claimedElsewhere(file, uid))
            return;
        RemoveFile(folder_, file);
        taken_.remove(file.toLower());
        dropped_.insert(file);
        if (const auto owner = claimed_.take(file); !owner.isEmpty())
            owned_[owner].remove(file);
    }

    // The row id as it is now, written as uid's files; the other files of uid go, where their
    // text is kept. at: the file it has in the folder now, where not old's.
    void writeOut(const QString& uid, qint64 id, const Entry* old, int& count,
                  const QString& at = {}) {
        linked_.insert(id);
        const auto stored = connection_.collection()->read(id);
        if (!stored)
            return; // removed meanwhile: the next pass carries that
        const Text language = stored->language, title = stored->title;
        const QStringList mine = owned_.value(uid).values();
        for (const QString& f : std::as_const(mine))
            taken_.remove(f.toLower());
        const QString now = !at.isEmpty() ? at : old ? old->record.file : QString();
        const QString file =
            !now.isEmpty() && FitsName(now, language, title) && !claimedElsewhere(now, uid)
                ? now
                : FileFor(language, title, taken_);
        for (const QString& f : std::as_const(mine))
            taken_.insert(f.toLower());
        claim(file, uid);
        const QString hash = BodyHash(stored->bytes);
        // A file that looked unchanged may have been written in place with its old size and
        // time: a text in it that no pass saw is kept before it is replaced.
        if (old && file == old->record.file && scan_.files.value(file) == old->body) {
            const QByteArray there = ReadBody(folder_, file);
            const QString was = BodyHash(there);
            if (was != old->record.hash && was != hash && !kept_.contains(was) &&
                !old->earlier.contains(was))
                keepApart(language, title, there,
                          QStringLiteral("its file held a text no sync had seen"));
        }
        try {
            WriteBody(folder_, file, stored->bytes);
        } catch (const Error& e) {
            // One snippet that cannot be written (a file where its folder should be) holds up
            // no other.
            report_.notes.append(e.message());
            if (old)
                next_.entries.insert(uid, *old);
            return;
        }
        wrote_ = true;
        kept_.insert(hash);
        for (const QString& f : std::as_const(mine))
            if (f != file && textKept(f, old, hash))
                dropFile(f, uid);
        const Record r{uid, language, title, file, hash};
        WriteRecord(folder_, r);
        remember(id, rows_.value(id).version, r);
        ++count;
    }

    // The file's text is in the collection, or was this snippet's before: it may go.
    bool textKept(const QString& file, const Entry* e, const QString& written = {}) {
        if (!scan_.files.contains(file) && !claimed_.contains(file))
            return true;
        const QString hash = BodyHash(ReadBody(folder_, file));
        return hash == written || kept_.contains(hash) ||
               (e && (hash == e->record.hash || e->earlier.contains(hash)));
    }

    void remember(qint64 id, const QString& version, const Record& r) {
        claim(r.file, r.uid);
        const auto body = scan_.files.constFind(r.file);
        const auto record = scan_.recordStamps.constFind(r.uid);
        Entry e{id,
                version,
                r,
                wrote_ || body == scan_.files.constEnd() ? StampOf(folder_ + u'/' + r.file) : *body,
                wrote_ || record == scan_.recordStamps.constEnd() ? StampOf(recordPath(r.uid))
                                                                  : *record,
                {},
                {},
                {}};
        if (const auto was = base_.entries.constFind(r.uid); was != base_.entries.constEnd()) {
            e.earlier = pushed(was->earlier, was->record.hash, r.hash);
            e.earlierTitles = pushed(was->earlierTitles, keyOf(was->record.title), keyOf(r.title));
            e.earlierLanguages =
                pushed(was->earlierLanguages, keyOf(was->record.language), keyOf(r.language));
        }
        next_.entries.insert(r.uid, e);
    }

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
    void keepApart(const Text& language, const Text& title, const QByteArray& body,
                   const QString& why, const QString& uid = {}, QDateTime when = {}) {
        if (!when.isValid() && uid.isEmpty())
            when = QDateTime::currentDateTime();
        const Text kept =
            title.value_or(QString()) +
            (when.isValid() ? QStringLiteral(" (conflict %1)")
                                  .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm")))
                            : QStringLiteral(" (conflict)"));
        const auto [id, version] = addRow(language, kept, body);
        rows_.insert(id, {version, language, kept});
        writeOut(uid.isEmpty() ? NewUid() : uid, id, nullptr, report_.intoFolder.added);
        report_.conflicts.append(QStringLiteral("%1: %2; the other text is the snippet %3 (ID %4).")
                                     .arg(named(language, title), why, named(language, kept))
                                     .arg(id));
    }

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
        std::optional<QByteArray> conflicting;
    };

    FolderSide folderSide(const Entry& e) {
        FolderSide f;
        f.r = e.record;
        QList<Record> candidates;
        if (scan_.records.contains(e.record.uid))
            candidates.append(scan_.records.value(e.record.uid));
        f.recordThere = !candidates.isEmpty() || scan_.unreadableRecords.contains(e.record.uid);
        candidates += alternates_.values(e.record.uid);
        f.recordThere = f.recordThere || !candidates.isEmpty();
        candidates.append(e.record); // an unreadable record: its files as they were
        const auto changedThere = [](const auto& value, const auto& base,
                                     const QStringList& earlier, const QString& key) {
            return value != base && !earlier.contains(key);
        };
        bool bodyTaken = false;
        for (const Record& c : std::as_const(candidates)) {
            const auto stamp = scan_.files.constFind(c.file);
            if (stamp == scan_.files.constEnd() || claimedElsewhere(c.file, e.record.uid))
                continue;
            claim(c.file, e.record.uid);
            QByteArray bytes;
            QString hash = e.record.hash;
            const bool unread = c.file == e.record.file && *stamp == e.body;
            if (!unread) {
                bytes = ReadBody(folder_, c.file);
                hash = BodyHash(bytes);
            }
            // An older text under a record new in other fields is a stale copy; a whole record
            // of an earlier state (a checkout of an older commit) is a change back to it.
            const bool older =
                hash != e.record.hash && e.earlier.contains(hash) &&
                !changedThere(c.title, e.record.title, e.earlierTitles, keyOf(c.title)) &&
                !changedThere(c.language, e.record.language, e.earlierLanguages, keyOf(c.language));
            const bool changed = older || changedThere(hash, e.record.hash, e.earlier, hash);
            if (changed && bodyTaken && hash != f.r.hash)
                f.conflicting = bytes;
            if ((changed && !bodyTaken) || !f.bodyThere) {
                f.bodyThere = true;
                bodyTaken = changed;
                f.r.file = c.file;
                f.r.hash = hash;
                f.asWritten = hash == c.hash;
                f.body = bytes;
                f.bodyRead = !unread;
            }
        }
        for (const Record& c : std::as_const(candidates)) {
            if (changedThere(c.title, e.record.title, e.earlierTitles, keyOf(c.title)) &&
                f.r.title == e.record.title)
                f.r.title = c.title;
            if (changedThere(c.language, e.record.language, e.earlierLanguages,
                             keyOf(c.language)) &&
                f.r.language == e.record.language)
                f.r.language = c.language;
        }
        return f;
    }

    void compare(const Entry& e) {
        const auto row = rows_.constFind(e.id);
        const bool inCollection = row != rows_.constEnd();
        if (inCollection)
            linked_.insert(e.id);
        FolderSide f = folderSide(e);
        const bool recordThere = f.recordThere, bodyThere = f.bodyThere;
        Record& r = f.r;
        QByteArray& body = f.body;
        const bool bodyRead = f.bodyRead;
        if (f.conflicting)
            keepApart(r.language, r.title, *f.conflicting,
                      QStringLiteral("two machines changed it, and the sync engine kept both"));
        const bool folderChanged = bodyThere && r != e.record;
        const bool collectionChanged = !inCollection || row->version != e.rowVersion;

        if (!inCollection && (!recordThere || !bodyThere)) {
            if (bodyThere)
                dropFile(r.file, r.uid);
            if (recordThere)
                RemoveRecord(folder_, r.uid);
            return;
        }
        if (!recordThere || !bodyThere) {
            // Removed in the folder: the row goes too, unless it changed here since, when it
            // comes back into the folder with that change.
            if (bodyThere && !folderChanged)
                dropFile(r.file, r.uid);
            else if (bodyThere)
                return arrivedBack(e, r, body, bodyRead);
            if (collectionChanged) {
                writeOut(r.uid, e.id, &e, report_.intoFolder.added);
                return;
            }
            if (recordThere)
                RemoveRecord(folder_, r.uid);
            removeRow(e.id);
            return;
        }
        if (!inCollection) {
            if (!folderChanged) {
                dropFile(r.file, r.uid);
                RemoveRecord(folder_, r.uid);
                ++report_.intoFolder.removed;
                return;
            }
            // Removed here, changed there: it comes back with the change.
            if (!bodyRead)
                body = ReadBody(folder_, r.file);
            const auto [id, version] = addRow(r.language, r.title, body);
            remember(id, version, r);
            report_.notes.append(QStringLiteral("%1 was removed here but changed in the folder; "
                                                "it is back with that change (ID %2).")
                                     .arg(named(r.language, r.title))
                                     .arg(id));
            return;
        }
        if (!folderChanged && !collectionChanged) {
            remember(e.id, e.rowVersion, r);
            return;
        }
        if (!folderChanged) {
            writeOut(r.uid, e.id, &e, report_.intoFolder.changed);
            return;
        }
        if (!bodyRead)
            body = ReadBody(folder_, r.file);
        if (!collectionChanged)
            return takeIn(e, r, body, f.asWritten);
        both(e, r, body, f.asWritten);
    }

    // A record gone with its body still there, changed: a removal met a change.
    void arrivedBack(const Entry& e, Record r, QByteArray body, bool bodyRead) {
        if (!bodyRead)
            body = ReadBody(folder_, r.file);
        takeIn(e, r, body);
    }

    // The folder's change into the row; Git's conflict markers never become a body.
    void takeIn(const Entry& e, const Record& r, const QByteArray& body, bool asWritten = false) {
        // Markers in a body a machine wrote so are its text, not a conflict.
        if (const auto sides = asWritten ? std::nullopt : GitConflictSides(body))
            return resolveMarkers(e, r, *sides);
        QString version;
        if (!editRow(e.id, e.rowVersion, r, body, version)) {
            next_.entries.insert(r.uid, e); // left as it was for the next pass
            return;
        }
        rows_[e.id].version = version;
        // The record and the file's name follow what the row now is.
        if (!scan_.records.contains(r.uid) || scan_.records.value(r.uid) != r ||
            !FitsName(r.file, r.language, r.title) || alternates_.contains(r.uid)) {
            int rewritten = 0;
            writeOut(r.uid, e.id, &e, rewritten, r.file);
            return;
        }
        remember(e.id, version, r);
    }

    // A body file with Git's conflict markers, as every machine the merge reaches finds it:
    // each makes the first side current and keeps the second apart as the same snippet, so
    // that all agree; a text of its own this machine had beside them is kept apart too.
    void resolveMarkers(const Entry& e, const Record& r,
                        const std::pair<QByteArray, QByteArray>& sides) {
        const auto stored = connection_.collection()->read(e.id);
        if (!stored)
            return;
        const QString why = QStringLiteral("the folder held both sides of a Git conflict");
        // The very bytes of the first side, on every machine alike.
        const QByteArray current = sides.first.isEmpty() ? stored->bytes : sides.first;
        if (!sameText(sides.second, current))
            keepMarkedSide(r, sides.second, why);
        const QString here = BodyHash(stored->bytes);
        if (!sameText(stored->bytes, current) && !sameText(stored->bytes, sides.second) &&
            here != e.record.hash && !e.earlier.contains(here))
            keepApart(r.language, r.title, stored->bytes, why);
        if (current != stored->bytes) {
            QString version;
            if (!editRow(e.id, rows_.value(e.id).version, r, current, version)) {
                next_.entries.insert(r.uid, e);
                return;
            }
            rows_[e.id].version = version;
        }
        writeOut(r.uid, e.id, &e, report_.intoFolder.changed);
    }

    // One side of a Git conflict, kept apart under an identity every machine gives it.
    void keepMarkedSide(const Record& r, const QByteArray& side, const QString& why) {
        const QString uid = BodyHash(r.uid.toUtf8() + '\n' + side);
        if (next_.entries.contains(uid) || base_.entries.contains(uid) ||
            scan_.records.contains(uid))
            return;
        keepApart(r.language, r.title, side, why, uid, QDateTime());
    }

    // Both sides changed the snippet: each field takes the side that changed it; a body both
    // changed, each its own way, keeps the folder's text apart.
    void both(const Entry& e, const Record& r, const QByteArray& body, bool asWritten) {
        const auto stored = connection_.collection()->read(e.id);
        if (!stored)
            return; // removed meanwhile: the next pass carries that
        if (const auto sides = asWritten ? std::nullopt : GitConflictSides(body))
            return resolveMarkers(e, r, *sides);
        const auto pick = [](const Text& base, const Text& here, const Text& there) {
            return here == base ? there : here;
        };
        Record merged = r;
        merged.language = pick(e.record.language, Text(stored->language), r.language);
        merged.title = pick(e.record.title, Text(stored->title), r.title);
        QByteArray mergedBody = stored->bytes;
        const QString hereHash = BodyHash(stored->bytes);
        const bool changedThere = r.hash != e.record.hash && !e.earlier.contains(r.hash);
        if (changedThere && hereHash == e.record.hash)
            mergedBody = body;
        else if (changedThere && r.hash != hereHash)
            keepApart(r.language, r.title, body, QStringLiteral("changed here and in the folder"));
        if (mergedBody != stored->bytes || merged.language != Text(stored->language) ||
            merged.title != Text(stored->title)) {
            QString version;
            if (!editRow(e.id, rows_.value(e.id).version, merged, mergedBody, version)) {
                next_.entries.insert(r.uid, e);
                return;
            }
            rows_[e.id].version = version;
        }
        writeOut(r.uid, e.id, &e, report_.intoFolder.changed);
    }

    // A snippet another machine put into the folder.
    void arrived(const Record& r) {
        const auto stamp = scan_.files.constFind(r.file);
        if (stamp == scan_.files.constEnd() || claimedElsewhere(r.file, r.uid)) {
            report_.notes.append(QStringLiteral("%1 is in the folder without its body yet; the "
                                                "next sync takes it in.")
                                     .arg(named(r.language, r.title)));
            return;
        }
        claim(r.file, r.uid);
        QByteArray body = ReadBody(folder_, r.file);
        const auto sides = BodyHash(body) == r.hash ? std::nullopt : GitConflictSides(body);
        if (sides) {
            body = sides->first.isEmpty() ? sides->second : sides->first;
            if (!sides->first.isEmpty() && !sameText(sides->second, sides->first))
                keepMarkedSide(r, sides->second,
                               QStringLiteral("two machines added it under one name"));
        }
        Record taken = r;
        taken.hash = BodyHash(body);
        // The same snippet already here (both collections held it before their first sync,
        // or a pass was cut short after adding it): one snippet, not two.
        for (auto it = rows_.cbegin(); it != rows_.cend(); ++it) {
            if (linked_.contains(it.key()) || it->language != r.language || it->title != r.title)
                continue;
            const auto stored = connection_.collection()->read(it.key());
            if (stored && stored->bytes == body) {
                linked_.insert(it.key());
                if (taken.hash != r.hash)
                    WriteBody(folder_, r.file, body);
                remember(it.key(), it->version, taken);
                if (taken.hash != r.hash)
                    WriteRecord(folder_, taken);
                return;
            }
        }
        const auto [id, version] = addRow(r.language, r.title, body);
        if (taken.hash != r.hash) {
            WriteBody(folder_, r.file, body);
            WriteRecord(folder_, taken);
        }
        remember(id, version, taken);
    }

    // A file a person put into the folder: its folder names the language, its name the title.
    void madeByHand(const QString& file) {
        const qsizetype slash = file.indexOf(u'/');
        const Text language = file.left(slash);
        QString title = file.mid(slash + 1);
        const qsizetype dot = title.lastIndexOf(u'.');
        if (dot > 0)
            title.truncate(dot);
        QByteArray body = ReadBody(folder_, file);
        if (const auto sides = GitConflictSides(body)) {
            body = sides->first.isEmpty() ? sides->second : sides->first;
            if (!sides->first.isEmpty() && !sameText(sides->second, sides->first))
                keepMarkedSide(Record{BodyHash(file.toUtf8()), language, title, file, {}},
                               sides->second,
                               QStringLiteral("its file held both sides of a Git conflict"));
            WriteBody(folder_, file, body);
        }
        const auto [id, version] = addRow(language, title, body);
        const Record r{NewUid(), language, title, file, BodyHash(body)};
        WriteRecord(folder_, r);
        remember(id, version, r);
    }

    // A sync engine's copy of a file both machines changed: a conflict of its own.
    void conflictCopy(const QString& file) {
        if (file.startsWith(QLatin1String(kRecordFolder) + u'/')) {
            RemoveFile(folder_, file); // the record is written anew from the collection
            return;
        }
        const qsizetype slash = file.indexOf(u'/');
        const QByteArray body = ReadBody(folder_, file);
        const Text language = file.left(slash);
        const Text title = TitleOfConflictCopy(file);
        // The sync engine leaves the copy on every machine: each makes the same snippet of
        // it, or finds it made already.
        const QString uid = BodyHash(file.toUtf8() + '\n' + body);
        bool same = next_.entries.contains(uid) || scan_.records.contains(uid);
        for (const Entry& e : std::as_const(next_.entries))
            if (!same && e.record.language == language && e.record.title == title) {
                const auto stored = connection_.collection()->read(e.id);
                same = stored && stored->bytes == body;
            }
        if (!same)
            keepApart(
                language, title, body,
                QStringLiteral("the sync engine found it changed on two machines"), uid,
                QDateTime::fromMSecsSinceEpoch(StampOf(folder_ + u'/' + file).mtimeNs / 1000000));
        RemoveFile(folder_, file);
    }

    TADOConnection& connection_;
    TADOTable table_;
    const QString folder_;
    const QString statePath_;
    State base_;
    State next_;
    FolderScan scan_;
    QHash<qint64, Row> rows_;
    QSet<qint64> linked_;                 // rows that have their files
    QHash<QString, QString> claimed_;     // body file -> uid
    QHash<QString, QSet<QString>> owned_; // uid -> its body files
    QSet<QString> dropped_;
    QSet<QString> taken_; // lower-case relative paths
    QSet<QString> kept_;  // hashes of the bodies the collection holds from this pass
    bool wrote_ = false;  // into the folder, so far
    QMultiHash<QString, Record> alternates_; // records a sync engine kept as conflict copies
    Report report_;
};

} // namespace

namespace {

// One pass at a time for a folder and a collection: the window's and the companion's would
// each add what the other is adding.
class PassLock {
public:
    explicit PassLock(const QString& statePath) {
        MakeFolders(paths::StateFolder());
        fd_ = ::open(posix::native(statePath + QStringLiteral(".lock")).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw Error(QStringLiteral("Cannot sync: the lock beside \"%1\" cannot be made (%2).")
                            .arg(statePath, posix::systemError(errno)));
        QElapsedTimer waited;
        waited.start();
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (waited.elapsed() > kWaitMs) {
                ::close(fd_);
                throw Error(QStringLiteral("Another sync of this folder is still running; try "
                                           "again once it is over."));
            }
            QThread::msleep(50);
        }
    }
    ~PassLock() { ::close(fd_); }
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

private:
    static constexpr qint64 kWaitMs = 60000;
    int fd_ = -1;
};

} // namespace

Report SyncOnce(TADOConnection& connection, const QString& folder) {
    connection.Open();
    const PassLock lock(StatePath(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()),
                                  connection.collection()->address().identity()));
    return Pass(connection, folder).run();
}

QString ChosenFolder(const QString& dataDir) {
    return TIniFile(paths::Settings(dataDir))
        .ReadString(QStringLiteral("SYNC"), QStringLiteral("Folder"), {})
        .trimmed();
}

void ChooseFolder(const QString& dataDir, const QString& folder) {
    TIniFile ini(paths::Settings(dataDir));
    ini.WriteString(QStringLiteral("SYNC"), QStringLiteral("Folder"), folder);
    ini.UpdateFile();
}

} // namespace varozidi::sync

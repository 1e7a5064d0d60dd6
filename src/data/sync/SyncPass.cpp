// SPDX-License-Identifier: GPL-3.0-or-later
// A sync pass: the collection and the folder read, and changes carried to either side.
#include "data/sync/SyncPass.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/store/AdoBackend.h"
#include "data/store/AdoFilter.h"
#include "data/store/SnippetQueries.h"

#include <QDir>
#include <QFileInfo>

namespace varozidi::sync::detail {

Report Pass::run() {
    base_ = LoadState(statePath_);
    // Taken before anything is read: a change while the pass runs moves it on.
    mark_ = connection_.collection()->changeMark();
    if (folderAsBefore()) {
        if (mark_ && *mark_ == base_.collectionMark)
            return report_;
        rowsOnly();
    } else {
        everything();
    }
    if (wrote_)
        Flush(folder_);
    // Records this pass wrote are read once more by the next, which then trusts the folder.
    next_.recordFolder = wrote_ ? Stamp{} : scan_.recordFolder;
    QSet<QString> others;
    const auto other = [this, &others](const QString& uid) {
        if (!next_.entries.contains(uid))
            others.insert(uid);
    };
    for (const QString& uid : std::as_const(base_.others))
        other(uid);
    for (auto it = scan_.recordStamps.cbegin(); it != scan_.recordStamps.cend(); ++it)
        other(it.key());
    for (const QString& uid : std::as_const(writtenRecords_))
        other(uid);
    for (const QString& uid : std::as_const(others))
        if (QFileInfo::exists(recordPath(uid)))
            next_.others.append(uid);
    next_.others.sort();
    if (!wrote_ && !report_.changedAnything() && report_.notes.isEmpty() && mark_) {
        next_.collectionMark = *mark_;
        next_.folders = scan_.folders;
    }
    if (wrote_ || report_.changedAnything() || next_.recordFolder != base_.recordFolder ||
        next_.collectionMark != base_.collectionMark || next_.folders != base_.folders ||
        next_.others != base_.others || !sameEntries(base_, next_))
        SaveState(statePath_, next_);
    return report_;
}

void Pass::everything() {
    QHash<QString, std::pair<Stamp, Record>> known;
    for (const Entry& e : std::as_const(base_.entries))
        known.insert(e.record.uid, {e.recordStamp, e.record});
    scan_ = ScanFolder(folder_, known, base_.recordFolder, base_.others);
    // An emptied folder is far likelier an unmounted disk or a wrong checkout than the
    // wish to remove every snippet everywhere.
    if (!base_.entries.isEmpty() && scan_.records.isEmpty() && scan_.files.isEmpty() &&
        scan_.removed.isEmpty() && scan_.merged.isEmpty())
        throw Error(QStringLiteral("The sync folder \"%1\" holds none of the %2 snippets it "
                                   "held at the last sync; nothing was changed. If it is "
                                   "on a disk that is not mounted, mount it; to start "
                                   "over, stop syncing and choose the folder again.")
                        .arg(folder_)
                        .arg(base_.entries.size()));
    // A removal that met a change (Git merged the record, the change kept the file): the file
    // is there, so the snippet is, and its record says so once more.
    QStringList revived;
    QSet<QString> named; // a file a live record names is that snippet's, not the removed one's
    if (!scan_.removed.isEmpty())
        for (const Record& r : std::as_const(scan_.records))
            named.insert(r.file);
    for (auto it = scan_.removed.begin(); it != scan_.removed.end();) {
        if (scan_.files.contains(it->file) && !named.contains(it->file)) {
            Record live = *it;
            live.removed = false;
            scan_.records.insert(it.key(), live);
            revived.append(it.key());
            it = scan_.removed.erase(it);
        } else {
            ++it;
        }
    }
    for (const QString& copy : std::as_const(scan_.conflictCopies))
        if (copy.startsWith(QLatin1String(kRecordFolder) + u'/'))
            if (Lineage lineage; const auto r = ReadRecordFile(folder_, copy, &lineage)) {
                alternates_.insert(r->uid, *r);
                scan_.copyLineage.insert(CopyKey(*r), lineage);
            }
    findTwins();
    refuseMassRemoval();
    readRows();
    if (!refilled_ && fillable()) {
        if (fill())
            return;
        // Something came into the folder meanwhile: it is read again, and merged with.
        refilled_ = true;
        twins_.clear();
        alternates_.clear();
        rows_.clear();
        return everything();
    }
    for (const QString& file : scan_.files.keys())
        taken_.insert(file.toLower());
    takenFilled_ = true;
    report_.notes += scan_.skipped;

    // What neither side changed is carried as it was; the rest is weighed.
    next_.entries = base_.entries;
    QList<const Entry*> weighed;
    for (const Entry& e : std::as_const(base_.entries)) {
        if (untouched(e)) {
            linked_.insert(e.id);
            claimed_.insert(e.record.file, e.record.uid);
        } else {
            weighed.append(&e);
            next_.entries.remove(e.record.uid);
        }
    }
    for (const Entry* e : std::as_const(weighed))
        if (const auto into = twins_.constFind(e->record.uid); into != twins_.constEnd())
            merge(*e, *into);
        else
            compare(*e);
    for (const Record& r : std::as_const(scan_.records))
        if (!base_.entries.contains(r.uid) && !rekeyed_.contains(r.uid) && !twins_.contains(r.uid))
            arrived(r);
    for (const QString& uid : std::as_const(scan_.unreadableRecords))
        if (!base_.entries.contains(uid))
            report_.notes.append(
                QStringLiteral("The record %1 in the folder could not be read; it is left "
                               "for the machine that wrote it.")
                    .arg(uid));
    newRowsAndFiles();
    for (const QString& copy : std::as_const(scan_.conflictCopies))
        conflictCopy(copy);
    for (const QString& uid : std::as_const(revived))
        if (const auto e = next_.entries.constFind(uid); e != next_.entries.constEnd())
            putRecord(e->record);
    // A record Git left with its markers is written clean once weighed.
    for (const QString& uid : std::as_const(scan_.markedRecords)) {
        if (writtenRecords_.contains(uid))
            continue;
        if (const auto e = next_.entries.find(uid); e != next_.entries.end()) {
            putRecord(e->record);
            e->recordStamp = StampOf(recordPath(uid));
        } else if (const auto gone = scan_.removed.constFind(uid); gone != scan_.removed.cend()) {
            putRecord(*gone); // a removal both sides agree on, its markers gone
        }
    }
}

void Pass::rowsOnly() {
    readRows();
    scan_.recordFolder = base_.recordFolder;
    scan_.folders = base_.folders;
    next_.entries = base_.entries;
    QList<const Entry*> changed;
    for (const Entry& e : std::as_const(base_.entries)) {
        linked_.insert(e.id);
        const auto row = rows_.constFind(e.id);
        if (row == rows_.constEnd() || row->version != e.rowVersion)
            changed.append(&e);
    }
    // Only the changed snippets' files are in the scan: no other is read, taken or dropped.
    for (const Entry* e : std::as_const(changed)) {
        next_.entries.remove(e->record.uid);
        scan_.records.insert(e->record.uid, e->record);
        scan_.recordStamps.insert(e->record.uid, e->recordStamp);
        scan_.files.insert(e->record.file, e->body);
    }
    for (const Entry* e : std::as_const(changed))
        compare(*e);
    newRowsAndFiles();
}

bool Pass::untouched(const Entry& e) const {
    const QString& uid = e.record.uid;
    const auto row = rows_.constFind(e.id);
    const auto record = scan_.records.constFind(uid);
    const auto stamp = scan_.recordStamps.constFind(uid);
    const auto body = scan_.files.constFind(e.record.file);
    return row != rows_.constEnd() && row->version == e.rowVersion &&
           record != scan_.records.constEnd() && *record == e.record &&
           stamp != scan_.recordStamps.constEnd() && *stamp == e.recordStamp &&
           body != scan_.files.constEnd() && *body == e.body && !alternates_.contains(uid) &&
           !twins_.contains(uid) && !scan_.removed.contains(uid) && !behindLink(e.record.file);
}

void Pass::newRowsAndFiles() {
    for (auto it = rows_.cbegin(); it != rows_.cend(); ++it)
        if (!linked_.contains(it.key()))
            writeOut(NewUid(), it.key(), nullptr, report_.intoFolder.added,
                     twinFile(it.key(), *it));
    for (auto it = scan_.files.cbegin(); it != scan_.files.cend(); ++it)
        if (!claimed_.contains(it.key()) && !dropped_.contains(it.key()))
            madeByHand(it.key());
}

void Pass::fillTaken() {
    if (takenFilled_)
        return;
    takenFilled_ = true;
    for (const Entry& e : std::as_const(base_.entries))
        if (!dropped_.contains(e.record.file))
            taken_.insert(e.record.file.toLower());
}

bool Pass::folderAsBefore() const {
    if (base_.collectionMark.isEmpty() || base_.folders.isEmpty() || base_.recordFolder.inode == 0)
        return false;
    QList<Seen> snippets;
    snippets.reserve(base_.entries.size());
    for (const Entry& e : std::as_const(base_.entries))
        snippets.append({e.record.file, e.body, e.record.uid, e.recordStamp});
    return LooksAsBefore(folder_, base_.folders, base_.recordFolder, snippets);
}

void Pass::refuseMassRemoval() {
    if (!base_.entries.isEmpty() &&
        !QFileInfo(folder_ + u'/' + QLatin1String(kRecordFolder)).isDir())
        throw Error(QStringLiteral("The sync folder \"%1\" has lost its records (%2), which "
                                   "a sync never removes; nothing was changed. Bring them "
                                   "back (a .gitignore or a tool that skips hidden files may "
                                   "have left them out), or stop syncing and choose an empty "
                                   "folder.")
                        .arg(folder_, QLatin1String(kRecordFolder)));
    qsizetype gone = 0, emptied = 0;
    for (const Entry& e : std::as_const(base_.entries)) {
        if (scan_.removed.contains(e.record.uid) || behindLink(e.record.file) ||
            twins_.contains(e.record.uid))
            continue; // removed on purpose elsewhere, left alone, or one with another
        const QString file = scan_.records.value(e.record.uid, e.record).file;
        if ((!scan_.records.contains(e.record.uid) &&
             !scan_.unreadableRecords.contains(e.record.uid)) ||
            (!scan_.files.contains(file) && !scan_.files.contains(e.record.file)))
            ++gone;
        else if (scan_.files.value(file).size == 0 && e.body.size > 0)
            ++emptied;
    }
    const auto many = [this](qsizetype n) {
        const qsizetype all = base_.entries.size();
        return (n > 10 && n * 5 > all) || (n >= 2 && n * 2 > all);
    };
    if (many(emptied))
        throw Error(QStringLiteral("In the sync folder \"%1\", %2 of the %3 snippets' files are "
                                   "empty now; nothing was changed. Placeholders of a cloud "
                                   "folder that keeps files online only may stand in for them.")
                        .arg(folder_)
                        .arg(emptied)
                        .arg(base_.entries.size()));
    if (many(gone))
        throw Error(QStringLiteral("The sync folder \"%1\" lacks %2 of the %3 snippets it "
                                   "held at the last sync (their records in %4 or their "
                                   "files); nothing was changed. If that is what you want, "
                                   "remove them in the program instead.")
                        .arg(folder_)
                        .arg(gone)
                        .arg(base_.entries.size())
                        .arg(QLatin1String(kRecordFolder)));
}

// A pass cut short after writing a new snippet's body but before its record: the body is
// there under the very name the snippet gets, holding its text, and is the snippet's file
// rather than one made by hand.
QString Pass::twinFile(qint64 id, const Row& row) {
    const QString natural = FileFor(row.language, row.title, {});
    if (!scan_.files.contains(natural) || claimed_.contains(natural) || dropped_.contains(natural))
        return {};
    const auto stored = connection_.collection()->read(id);
    return stored && ReadBody(folder_, natural) == stored->bytes ? natural : QString();
}

bool Pass::refusedAsText(const QByteArray& body, const QString& file) {
    if (ExactUtf8(body))
        return false;
    report_.notes.append(QStringLiteral("\"%1\" is left out: it is not UTF-8 text, which the "
                                        "collection keeps.")
                             .arg(file));
    return true;
}

void Pass::readRows() {
    ado::Backend& rows = connection_.collection()->rows();
    const QString rowid = rows.describe(kTable).rowidSql;
    const QString version = rows.versionSql(kTable);
    if (version.isEmpty())
        throw Error(QStringLiteral("This collection keeps no version of its rows, which a "
                                   "sync needs to tell what changed."));
    const auto s = rows.query(QStringLiteral("SELECT %1, %2, %3, %4 FROM %5")
                                  .arg(rowid, version, ado::quoteIdentifier("Language"),
                                       ado::quoteIdentifier("Title"), ado::quoteIdentifier(kTable)),
                              {}, QStringLiteral("read the collection for a sync"));
    while (s->step())
        rows_.insert(s->int64(0), {s->cell(1).toString(), textOf(s->cell(2)), textOf(s->cell(3))});
}

QString Pass::versionNow() {
    QString v = table_.WrittenVersion();
    return v.isEmpty() ? table_.RowVersion() : v;
}

std::pair<qint64, QString> Pass::addRow(const Text& language, const Text& title,
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

bool Pass::editRow(qint64 id, const QString& expected, const Record& r, const QByteArray& body,
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

bool Pass::rewrite(const Entry& e, const Record& r, const QByteArray& body,
                   const QString& expected) {
    QString version;
    if (!editRow(e.id, expected, r, body, version)) {
        next_.entries.insert(r.uid, e);
        return false;
    }
    rows_[e.id].version = version;
    return true;
}

void Pass::removeRow(qint64 id) {
    OpenFiltered(table_, IdFilter(id));
    if (table_.Eof())
        return;
    table_.Delete();
    ++report_.intoCollection.removed;
}

void Pass::claim(const QString& file, const QString& uid) {
    if (const auto was = claimed_.constFind(file); was != claimed_.constEnd() && *was != uid)
        owned_[*was].remove(file);
    claimed_.insert(file, uid);
    owned_[uid].insert(file);
    taken_.insert(file.toLower());
}

void Pass::dropFile(const QString& file, const QString& uid) {
    if (claimedElsewhere(file, uid))
        return;
    // Another record names the file still: it is that snippet's body, whatever this one is.
    if (naming_.isEmpty())
        for (const Record& r : std::as_const(scan_.records))
            naming_.insert(r.file, r.uid);
    for (auto it = naming_.constFind(file); it != naming_.cend() && it.key() == file; ++it)
        if (*it != uid && !twins_.contains(*it) && scan_.records.contains(*it))
            return;
    RemoveFile(folder_, file);
    taken_.remove(file.toLower());
    dropped_.insert(file);
    if (const auto owner = claimed_.take(file); !owner.isEmpty())
        owned_[owner].remove(file);
}

void Pass::writeOut(const QString& uid, qint64 id, const Entry* old, int& count,
                    const QString& at) {
    linked_.insert(id);
    const auto stored = connection_.collection()->read(id);
    if (!stored)
        return; // removed meanwhile: the next pass carries that
    // The rows as listed tell NULL from empty text, which a body read whole does not.
    const auto row = rows_.constFind(id);
    const bool listed = row != rows_.constEnd();
    const Text language = listed && !row->language ? Text() : Text(stored->language);
    const Text title = listed && !row->title ? Text() : Text(stored->title);
    const QStringList mine = owned_.value(uid).values();
    QString file = !at.isEmpty() ? at : old ? old->record.file : QString();
    // A pass cut short after writing the renamed file, before its record: that file is it.
    if (file.isEmpty() || !FitsName(file, language, title))
        file = twinFile(id, {{}, language, title});
    if (file.isEmpty() || !FitsName(file, language, title) || claimedElsewhere(file, uid)) {
        fillTaken();
        for (const QString& f : std::as_const(mine))
            taken_.remove(f.toLower());
        file = FileFor(language, title, taken_);
        for (const QString& f : std::as_const(mine))
            taken_.insert(f.toLower());
    }
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
        putBody(file, stored->bytes);
    } catch (const Error& e) {
        // One snippet that cannot be written (a file where its folder should be) holds up
        // no other.
        report_.notes.append(e.message());
        report_.failed = report_.failed || dynamic_cast<const WriteFailed*>(&e);
        report_.again = true;
        if (old)
            next_.entries.insert(uid, *old);
        return;
    }
    kept_.insert(hash);
    for (const QString& f : std::as_const(mine))
        if (f != file && textKept(f, old, hash))
            dropFile(f, uid);
    const Record r{uid, language, title, file, hash, false, {}};
    // What the folder's record had before, with its own values: the same on every machine
    // that writes it from the same folder.
    Lineage lineage;
    if (const auto was = scan_.records.constFind(uid); was != scan_.records.constEnd()) {
        const Lineage prior =
            scan_.lineage.contains(uid) ? scan_.lineage.value(uid) : lineageOnDisk(uid);
        lineage = {pushed(prior.hashes, was->hash, hash),
                   pushed(prior.titles, keyOf(was->title), keyOf(title)),
                   pushed(prior.languages, keyOf(was->language), keyOf(language))};
    }
    putRecord(r, lineage);
    remember(id, rows_.value(id).version, r);
    ++count;
}

Lineage Pass::lineageOnDisk(const QString& uid) const {
    Lineage lineage;
    ReadRecordFile(folder_, QLatin1String(kRecordFolder) + u'/' + uid + QStringLiteral(".json"),
                   &lineage);
    return lineage;
}

bool Pass::textKept(const QString& file, const Entry* e, const QString& written) {
    if (dropped_.contains(file) || (!scan_.files.contains(file) && !claimed_.contains(file)) ||
        !QFileInfo::exists(folder_ + u'/' + file))
        return true; // gone already: nothing of it to lose
    const QString hash = BodyHash(ReadBody(folder_, file));
    return hash == written || kept_.contains(hash) ||
           (e && (hash == e->record.hash || e->earlier.contains(hash)));
}

void Pass::remember(qint64 id, const QString& version, const Record& r) {
    claim(r.file, r.uid);
    const auto body = scan_.files.constFind(r.file);
    const auto record = scan_.recordStamps.constFind(r.uid);
    Entry e{id,
            version,
            r,
            written_.contains(r.file)        ? written_.value(r.file)
            : body == scan_.files.constEnd() ? StampOf(folder_ + u'/' + r.file)
                                             : *body,
            writtenRecords_.contains(r.uid) || record == scan_.recordStamps.constEnd()
                ? StampOf(recordPath(r.uid))
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

void Pass::keepApart(const Text& language, const Text& title, const QByteArray& body,
                     const QString& why, const QString& uid, QDateTime when) {
    if (!when.isValid() && uid.isEmpty())
        when = QDateTime::currentDateTime();
    const Text kept = title.value_or(QString()) +
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

} // namespace varozidi::sync::detail

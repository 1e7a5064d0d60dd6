// SPDX-License-Identifier: GPL-3.0-or-later
// A sync pass weighs each snippet: the folder's side against the collection's and the last pass.
#include "data/sync/SyncPass.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"

namespace varozidi::sync::detail {

Pass::FolderSide Pass::folderSide(const Entry& e) {
    FolderSide f;
    f.r = e.record;
    QList<Record> candidates;
    if (scan_.records.contains(e.record.uid))
        candidates.append(scan_.records.value(e.record.uid));
    f.recordThere = !candidates.isEmpty() || scan_.unreadableRecords.contains(e.record.uid);
    candidates += alternates_.values(e.record.uid);
    f.recordThere = f.recordThere || !candidates.isEmpty();
    candidates.append(e.record); // an unreadable record: its files as they were
    // The fields of a record Git merged are settled already: its sides give their files only.
    const QList<Record> fieldCandidates = candidates;
    candidates += scan_.sides.values(e.record.uid);
    // A value this machine never had, or one the record had after this machine's (a change
    // back to an earlier value, its own earlier values holding this machine's).
    const auto changedThere = [](const auto& value, const auto& base, const QStringList& earlier,
                                 const QString& key, const QStringList& later,
                                 const QString& baseKey) {
        return value != base && (!earlier.contains(key) || later.contains(baseKey));
    };
    const auto lineageOf = [this, &e](const Record& c) {
        if (const auto r = scan_.records.constFind(e.record.uid);
            r != scan_.records.constEnd() && *r == c)
            return scan_.lineage.value(e.record.uid);
        return scan_.copyLineage.value(CopyKey(c));
    };
    const auto titleThere = [&](const Record& c, const Lineage& l) {
        return changedThere(c.title, e.record.title, e.earlierTitles, keyOf(c.title), l.titles,
                            keyOf(e.record.title));
    };
    const auto languageThere = [&](const Record& c, const Lineage& l) {
        return changedThere(c.language, e.record.language, e.earlierLanguages, keyOf(c.language),
                            l.languages, keyOf(e.record.language));
    };
    bool bodyTaken = false;
    for (const Record& c : std::as_const(candidates)) {
        const auto stamp = scan_.files.constFind(c.file);
        if (stamp == scan_.files.constEnd() || dropped_.contains(c.file))
            continue;
        if (claimedElsewhere(c.file, e.record.uid)) {
            f.shared = true;
            continue;
        }
        QByteArray bytes;
        QString hash = e.record.hash;
        const bool unread = c.file == e.record.file && *stamp == e.body;
        if (!unread) {
            bytes = ReadBody(folder_, c.file);
            hash = BodyHash(bytes);
        }
        if (hash != e.record.hash && !e.earlier.contains(hash)) {
            if (const QString other = othersBody(c.file, e.record.uid, hash); !other.isEmpty()) {
                claim(c.file, other); // so that this one is written under another name
                f.shared = true;
                continue;
            }
        }
        claim(c.file, e.record.uid);
        const Lineage lineage = lineageOf(c);
        // An older text under a record new in other fields is a stale copy; a whole record
        // of an earlier state (a checkout of an older commit) is a change back to it.
        const bool older = hash != e.record.hash && e.earlier.contains(hash) &&
                           !titleThere(c, lineage) && !languageThere(c, lineage);
        const bool changed =
            older || changedThere(hash, e.record.hash, e.earlier, hash,
                                  hash == c.hash ? lineage.hashes : QStringList(), e.record.hash);
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
    if ((alternates_.contains(e.record.uid) || scan_.sides.contains(e.record.uid)) &&
        scan_.records.contains(e.record.uid)) {
        settleCopies(e, f);
        return f;
    }
    for (const Record& c : fieldCandidates) {
        const Lineage lineage = lineageOf(c);
        // A whole record of an earlier state, its text with it: its title and language too.
        const bool back =
            c.hash != e.record.hash && e.earlier.contains(c.hash) &&
            (c.title == e.record.title || e.earlierTitles.contains(keyOf(c.title))) &&
            (c.language == e.record.language || e.earlierLanguages.contains(keyOf(c.language)));
        if ((titleThere(c, lineage) || (back && c.title != e.record.title)) &&
            f.r.title == e.record.title)
            f.r.title = c.title;
        if ((languageThere(c, lineage) || (back && c.language != e.record.language)) &&
            f.r.language == e.record.language)
            f.r.language = c.language;
    }
    return f;
}

void Pass::settleCopies(const Entry& e, FolderSide& f) {
    const QString& uid = e.record.uid;
    const auto byHashAndFile = [](const Record& a, const Record& b) {
        return a.hash + a.file < b.hash + b.file;
    };
    Record settled;
    Lineage lineage;
    QList<Record> copies = alternates_.values(uid);
    // The same order on every machine, whichever copy its sync engine or Git named which.
    std::sort(copies.begin(), copies.end(), byHashAndFile);
    QList<Record> sides = scan_.sides.values(uid);
    std::sort(sides.begin(), sides.end(), byHashAndFile);
    if (!sides.isEmpty()) {
        settled = sides.takeFirst();
        lineage = scan_.copyLineage.value(CopyKey(settled));
        copies = sides + copies;
    } else {
        settled = scan_.records.value(uid);
        // A record the scan took unread (unchanged since this machine wrote it) is read for it.
        lineage = scan_.lineage.contains(uid) ? scan_.lineage.value(uid) : lineageOnDisk(uid);
    }
    QStringList apart; // files of a body both changed, the one not taken
    for (const Record& copy : std::as_const(copies)) {
        const Lineage copyLineage = scan_.copyLineage.value(CopyKey(copy));
        bool bodies = false;
        const Record before = settled;
        settled = Settle(before, lineage, copy, copyLineage, &bodies);
        if (bodies)
            apart.append(settled.hash == before.hash ? copy.file : before.file);
        lineage = Joined(before, lineage, copy, copyLineage);
    }
    scan_.lineage.insert(uid, lineage); // what the record written of it keeps
    f.r.title = settled.title;
    f.r.language = settled.language;
    if (settled.file != f.r.file && there(settled.file) && !claimedElsewhere(settled.file, uid)) {
        claim(settled.file, uid);
        f.body = ReadBody(folder_, settled.file);
        f.bodyRead = true;
        f.bodyThere = true;
        f.r.file = settled.file;
        f.r.hash = BodyHash(f.body);
        f.asWritten = f.r.hash == settled.hash;
    }
    f.conflicting.reset();
    if (!apart.isEmpty() && f.bodyThere && !f.bodyRead) {
        f.body = ReadBody(folder_, f.r.file);
        f.bodyRead = true;
    }
    for (const QString& file : std::as_const(apart)) {
        if (file == f.r.file || !there(file) || claimedElsewhere(file, uid))
            continue;
        claim(file, uid);
        const QByteArray other = ReadBody(folder_, file);
        if (BodyHash(other) != f.r.hash && !sameText(other, f.body)) {
            f.conflicting = other;
            f.conflictUid = BodyHash((uid + u'\n').toUtf8() + other);
            break;
        }
    }
}

void Pass::findTwins() {
    struct Claim {
        const Record* r;
        bool fresh; // new or changed since the last pass, or a sync engine's copy
        bool copy = false;
        bool past = false;
        QStringList hashes; // the texts it had before
    };
    QMultiHash<QString, Claim> naming; // file -> the records and copies that name it
    QSet<QString> wanted; // the last pass left no two records of one file: one is fresh
    QSet<QString> fresh;  // uids
    for (const Record& r : std::as_const(scan_.records))
        if (const auto was = base_.entries.constFind(r.uid);
            was == base_.entries.constEnd() || was->record != r) {
            fresh.insert(r.uid);
            wanted.insert(r.file);
        }
    for (const Record& copy : std::as_const(alternates_)) {
        naming.insert(copy.file, {&copy, true, true, false, {}});
        wanted.insert(copy.file);
    }
    if (!wanted.isEmpty())
        for (const Record& r : std::as_const(scan_.records))
            if (wanted.contains(r.file))
                naming.insert(r.file, {&r, fresh.contains(r.uid), false, false, {}});
    const auto lineageOf = [this](const Claim& c) {
        const QString& uid = c.r->uid;
        if (c.copy)
            return scan_.copyLineage.value(CopyKey(*c.r));
        if (scan_.lineage.contains(uid))
            return scan_.lineage.value(uid);
        if (const auto e = base_.entries.constFind(uid); e != base_.entries.constEnd() && !c.fresh)
            return Lineage{e->earlier, e->earlierTitles, e->earlierLanguages};
        return lineageOnDisk(uid);
    };
    for (const QString& file : std::as_const(wanted)) {
        QList<Claim> claims = naming.values(file);
        if (claims.size() < 2)
            continue;
        for (Claim& c : claims) {
            const Lineage l = lineageOf(c);
            c.past = !l.hashes.isEmpty() || !l.titles.isEmpty() || !l.languages.isEmpty();
            c.hashes = l.hashes;
        }
        const Claim* stays = &claims.first();
        for (const Claim& c : std::as_const(claims))
            if (Stays(*c.r, c.past, *stays->r, stays->past))
                stays = &c;
        const QString& into = stays->r->uid;
        for (const Claim& c : std::as_const(claims)) {
            const Record& r = *c.r;
            // Only a record made of the file alone joins another: two snippets of their own
            // that came to one name (titles a name cannot tell apart) stay two.
            // And only where one text is, or was, the other's: a snippet of its own that came
            // to the name another had taken keeps its own.
            if (r.uid == into || c.copy || twins_.contains(r.uid) ||
                NamedBy(r.file) != std::pair{r.language, r.title} ||
                (r.hash != stays->r->hash && !stays->hashes.contains(r.hash) &&
                 !c.hashes.contains(stays->r->hash)))
                continue;
            // Both snippets here: only a copy taken in by hand, unchanged since, joins one
            // whose record changed to its file with its text (merge() sees the text is it).
            if (base_.entries.contains(r.uid) && base_.entries.contains(into) &&
                (c.fresh || !stays->fresh || stays->r->hash != r.hash ||
                 keyOf(stays->r->language) != keyOf(r.language) ||
                 keyOf(stays->r->title) != keyOf(r.title)))
                continue;
            twins_.insert(r.uid, into);
        }
    }
    for (auto it = scan_.merged.cbegin(); it != scan_.merged.cend(); ++it)
        if (it.key() != *it && !(base_.entries.contains(it.key()) && base_.entries.contains(*it)))
            twins_.insert(it.key(), *it);
        else if (base_.entries.contains(it.key())) // a snippet of its own here: never a removal
            scan_.records.insert(it.key(), base_.entries.value(it.key()).record);
}

QString Pass::othersBody(const QString& file, const QString& uid, const QString& hash) {
    if (naming_.isEmpty())
        for (const Record& r : std::as_const(scan_.records))
            naming_.insert(r.file, r.uid);
    for (auto it = naming_.constFind(file); it != naming_.cend() && it.key() == file; ++it)
        if (*it != uid && !twins_.contains(*it) && scan_.records.value(*it).hash == hash)
            return *it;
    return {};
}

void Pass::relocate(const Entry& e, const Record& r) {
    const auto row = rows_.constFind(e.id);
    if (row != rows_.constEnd() && row->version == e.rowVersion &&
        (r.language != e.record.language || r.title != e.record.title)) {
        const auto stored = connection_.collection()->read(e.id);
        if (!stored || !rewrite(e, r, stored->bytes, e.rowVersion))
            return;
    }
    report_.notes.append(QStringLiteral("%1 shared its file's name with another snippet; it "
                                        "keeps its text under a name of its own.")
                             .arg(named(r.language, r.title)));
    writeOut(r.uid, e.id, &e, report_.intoFolder.changed, r.file);
}

void Pass::merge(const Entry& e, const QString& into) {
    if (base_.entries.contains(into)) {
        // Both are snippets here: the copy goes where it holds the very text of the one that
        // stays and was not changed here since; otherwise it is a snippet of its own.
        const auto row = rows_.constFind(e.id);
        const auto stored = row != rows_.constEnd() && row->version == e.rowVersion
                                ? connection_.collection()->read(e.id)
                                : std::nullopt;
        if (!stored || BodyHash(stored->bytes) != scan_.records.value(into).hash)
            return compare(e);
        linked_.insert(e.id);
        removeRow(e.id);
        if (e.record.file != scan_.records.value(into).file && textKept(e.record.file, &e))
            dropFile(e.record.file, e.record.uid);
        Record gone = scan_.records.value(e.record.uid, e.record);
        gone.mergedInto = into;
        putRecord(gone);
        report_.notes.append(QStringLiteral("%1 (ID %2) was a copy of another snippet here, "
                                            "whose record came later; the copy is removed.")
                                 .arg(named(e.record.language, e.record.title))
                                 .arg(e.id));
        return;
    }
    if (!scan_.records.contains(into) && !scan_.removed.contains(into)) {
        // The record it joined is not here yet: it stays as the last pass left it.
        claim(e.record.file, e.record.uid);
        next_.entries.insert(e.record.uid, e);
        report_.notes.append(QStringLiteral("%1 waits for the record %2, which it joined on "
                                            "another machine.")
                                 .arg(named(e.record.language, e.record.title), into));
        return;
    }
    Entry joined = e;
    joined.record.uid = into;
    joined.recordStamp = {};
    rekeyed_.insert(into);
    compare(joined);
    if (!scan_.merged.contains(e.record.uid)) {
        Record gone = scan_.records.value(e.record.uid, e.record);
        gone.mergedInto = into;
        putRecord(gone);
    }
}

void Pass::compare(const Entry& e) {
    const auto row = rows_.constFind(e.id);
    const bool inCollection = row != rows_.constEnd();
    if (inCollection)
        linked_.insert(e.id);
    if (behindLink(e.record.file)) {
        // The scan said which name it is, and why.
        next_.entries.insert(e.record.uid, e);
        return;
    }
    FolderSide f = folderSide(e);
    const bool recordThere = f.recordThere, bodyThere = f.bodyThere;
    Record& r = f.r;
    QByteArray& body = f.body;
    const bool bodyRead = f.bodyRead;
    if (f.conflicting && !f.conflictUid.isEmpty() &&
        (next_.entries.contains(f.conflictUid) || scan_.records.contains(f.conflictUid)))
        f.conflicting.reset(); // another machine kept it apart already
    if (f.conflicting)
        keepApart(r.language, r.title, *f.conflicting,
                  QStringLiteral("two machines changed it, and the sync engine kept both"),
                  f.conflictUid);
    if (!bodyThere && f.shared && recordThere && inCollection)
        return relocate(e, r);
    const bool folderChanged = bodyThere && r != e.record;
    const bool collectionChanged = !inCollection || row->version != e.rowVersion;

    if (!inCollection && (!recordThere || !bodyThere)) {
        if (bodyThere)
            dropFile(r.file, r.uid);
        if (recordThere)
            RemoveRecord(folder_, r.uid);
        return;
    }
    if (!recordThere && bodyThere && !scan_.removed.contains(r.uid)) {
        // Its record went missing (a tool that tidies hidden files), its body is there: the
        // snippet is, and its record is written again.
        if (folderChanged)
            return takeIn(e, r, bodyRead ? body : ReadBody(folder_, r.file));
        writeOut(r.uid, e.id, &e, report_.intoFolder.changed);
        return;
    }
    if (!recordThere || !bodyThere) {
        // Removed in the folder: the row goes too, unless it changed here since, when it
        // comes back into the folder with that change.
        if (bodyThere && !folderChanged)
            dropFile(r.file, r.uid);
        else if (bodyThere)
            // Its record gone, its body changed: a removal met a change, which wins.
            return takeIn(e, r, bodyRead ? body : ReadBody(folder_, r.file));
        if (collectionChanged) {
            writeOut(r.uid, e.id, &e, report_.intoFolder.added);
            return;
        }
        if (recordThere && !scan_.removed.contains(r.uid))
            tombstone(r);
        removeRow(e.id);
        return;
    }
    if (!inCollection) {
        if (!folderChanged) {
            // The record says so first: a body gone without it would read as never synced.
            tombstone(r);
            dropFile(r.file, r.uid);
            ++report_.intoFolder.removed;
            return;
        }
        // Removed here, changed there: it comes back with the change.
        if (!bodyRead)
            body = ReadBody(folder_, r.file);
        // Git's markers never become a body: the first side comes back, the second apart.
        const auto sides = f.asWritten ? std::nullopt : GitConflictSides(body);
        if (sides) {
            if (!sides->first.isEmpty() && !sameText(sides->second, sides->first))
                keepMarkedSide(r, sides->second,
                               QStringLiteral("the folder held both sides of a Git conflict"));
            body = sides->first.isEmpty() ? sides->second : sides->first;
        }
        const auto [id, version] = addRow(r.language, r.title, body);
        if (sides) {
            rows_.insert(id, {version, r.language, r.title});
            writeOut(r.uid, id, &e, report_.intoFolder.changed, r.file);
        } else {
            remember(id, version, r);
        }
        report_.notes.append(QStringLiteral("%1 was removed here but changed in the folder; "
                                            "it is back with that change (ID %2).")
                                 .arg(named(r.language, r.title))
                                 .arg(id));
        return;
    }
    if (!folderChanged && !collectionChanged) {
        // A second file of it (both names a merge or a sync engine left) goes, its text kept.
        if (owned_.value(r.uid).size() > 1)
            writeOut(r.uid, e.id, &e, report_.intoFolder.changed, r.file);
        else
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

void Pass::takeIn(const Entry& e, const Record& r, const QByteArray& body, bool asWritten) {
    if (refusedAsText(body, r.file)) {
        next_.entries.insert(r.uid, e);
        return;
    }
    // Markers in a body a machine wrote so, or in a text that held them already, are its
    // text, not a conflict.
    if (const auto sides = asWritten ? std::nullopt : GitConflictSides(body)) {
        const auto stored = connection_.collection()->read(e.id);
        if (!stored || !GitConflictSides(stored->bytes))
            return resolveMarkers(e, r, *sides);
    }
    if (!rewrite(e, r, body, e.rowVersion))
        return;
    // The record and the file's name follow what the row now is.
    if (!scan_.records.contains(r.uid) || scan_.records.value(r.uid) != r ||
        !FitsName(r.file, r.language, r.title) || alternates_.contains(r.uid) ||
        scan_.markedRecords.contains(r.uid)) {
        int rewritten = 0;
        writeOut(r.uid, e.id, &e, rewritten, r.file);
        return;
    }
    remember(e.id, rows_.value(e.id).version, r);
}

void Pass::resolveMarkers(const Entry& e, const Record& r,
                          const std::pair<QByteArray, QByteArray>& sides) {
    const auto stored = connection_.collection()->read(e.id);
    if (!stored)
        return;
    const QString why = QStringLiteral("the folder held both sides of a Git conflict");
    // Git ends the last line of a side: where a text a record in the folder was written with
    // lacks only that end, the side is that very text (the same on every machine).
    QStringList known = {r.hash};
    for (const Record& side : scan_.sides.values(r.uid))
        known << side.hash;
    const auto exact = [&known](QByteArray side) {
        if (side.endsWith('\n') && known.contains(BodyHash(side.chopped(1))))
            side.chop(1);
        return side;
    };
    // The very bytes of the first side, on every machine alike.
    QByteArray current = sides.first.isEmpty() ? stored->bytes : exact(sides.first);
    if (current != stored->bytes && sameText(current, stored->bytes) &&
        known.contains(BodyHash(stored->bytes)))
        current = stored->bytes;
    if (!sameText(sides.second, current))
        keepMarkedSide(r, exact(sides.second), why);
    const QString here = BodyHash(stored->bytes);
    if (!sameText(stored->bytes, current) && !sameText(stored->bytes, sides.second) &&
        here != e.record.hash && !e.earlier.contains(here))
        keepApart(r.language, r.title, stored->bytes, why);
    if (current != stored->bytes) {
        if (!rewrite(e, r, current, rows_.value(e.id).version))
            return;
    }
    writeOut(r.uid, e.id, &e, report_.intoFolder.changed);
}

void Pass::keepMarkedSide(const Record& r, const QByteArray& side, const QString& why) {
    const QString uid = BodyHash(r.uid.toUtf8() + '\n' + side);
    if (next_.entries.contains(uid) || base_.entries.contains(uid) || scan_.records.contains(uid))
        return;
    keepApart(r.language, r.title, side, why, uid, QDateTime());
}

void Pass::both(const Entry& e, const Record& r, const QByteArray& body, bool asWritten) {
    const auto stored = connection_.collection()->read(e.id);
    if (!stored)
        return; // removed meanwhile: the next pass carries that
    if (refusedAsText(body, r.file)) {
        next_.entries.insert(r.uid, e);
        return;
    }
    if (const auto sides =
            asWritten || GitConflictSides(stored->bytes) ? std::nullopt : GitConflictSides(body))
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
        if (!rewrite(e, merged, mergedBody, rows_.value(e.id).version))
            return;
    }
    writeOut(r.uid, e.id, &e, report_.intoFolder.changed);
}

} // namespace varozidi::sync::detail

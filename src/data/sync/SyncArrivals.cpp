// SPDX-License-Identifier: GPL-3.0-or-later
// What comes into the folder from elsewhere: another machine's snippets, files made by hand,
// and the copies a sync engine keeps of a file changed on two machines.
#include "data/sync/SyncPass.h"

#include "data/collection/Collection.h"
#include "data/core/Posix.h"

#include <QRegularExpression>

#include <sys/stat.h>

namespace varozidi::sync::detail {

bool Pass::adoptCopy(const Record& r) {
    if (copies_.isEmpty())
        for (const QString& copy : std::as_const(scan_.conflictCopies))
            if (!copy.startsWith(QLatin1String(kRecordFolder) + u'/'))
                copies_.insert(BodyHash(ReadBody(folder_, copy)), copy);
    const QString copy = copies_.value(r.hash);
    if (copy.isEmpty() || copy.section(u'/', 0, 0) != r.file.section(u'/', 0, 0) ||
        adopted_.contains(copy))
        return false;
    const QByteArray body = ReadBody(folder_, copy);
    if (BodyHash(body) != r.hash)
        return false;
    fillTaken();
    Record taken = r;
    taken.file = FileFor(r.language, r.title, taken_);
    claim(taken.file, r.uid);
    putBody(taken.file, body);
    const auto [id, version] = addRow(r.language, r.title, body);
    putRecord(taken);
    remember(id, version, taken);
    RemoveFile(folder_, copy);
    adopted_.insert(copy);
    return true;
}

void Pass::arrived(const Record& r) {
    if (!there(r.file) || claimedElsewhere(r.file, r.uid)) {
        if (adoptCopy(r))
            return;
        report_.notes.append(QStringLiteral("%1 is in the folder without its body yet; the "
                                            "next sync takes it in.")
                                 .arg(named(r.language, r.title)));
        return;
    }
    claim(r.file, r.uid);
    QByteArray body = ReadBody(folder_, r.file);
    if (refusedAsText(body, r.file))
        return;
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
    if (byName_.isEmpty())
        for (auto it = rows_.cbegin(); it != rows_.cend(); ++it)
            if (!linked_.contains(it.key()))
                byName_.insert(keyOf(it->language) + u'\n' + keyOf(it->title), it.key());
    for (const qint64 id : byName_.values(keyOf(r.language) + u'\n' + keyOf(r.title))) {
        if (linked_.contains(id))
            continue;
        const auto stored = connection_.collection()->read(id);
        if (stored && stored->bytes == body) {
            linked_.insert(id);
            if (taken.hash != r.hash)
                putBody(r.file, body);
            remember(id, rows_.value(id).version, taken);
            if (taken.hash != r.hash)
                putRecord(taken);
            return;
        }
    }
    const auto [id, version] = addRow(r.language, r.title, body);
    if (taken.hash != r.hash) {
        putBody(r.file, body);
        putRecord(taken);
    }
    remember(id, version, taken);
    // Another machine met a conflict and kept a text apart: this one says so as well.
    static const QRegularExpression kept(
        QStringLiteral(R"(^(.*) \(conflict( \d{4}-\d\d-\d\d \d\d:\d\d)?\)$)"));
    if (const auto m = kept.match(r.title.value_or(QString())); m.hasMatch())
        report_.conflicts.append(
            QStringLiteral("%1: another machine found it changed on two machines; the other "
                           "text is the snippet %2 (ID %3).")
                .arg(named(r.language, m.captured(1)), named(r.language, r.title))
                .arg(id));
}

bool Pass::justCarried(const QString& file) {
    struct stat st {};
    if (::lstat(posix::native(folder_ + u'/' + file).constData(), &st) != 0)
        return false;
    const qint64 changed = qint64(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1000000;
    const qint64 modified = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    if (modified >= changed - 1000 || QDateTime::currentMSecsSinceEpoch() - changed > kCarriedMs)
        return false;
    report_.notes.append(QStringLiteral("\"%1\" came just now without a record; it is taken "
                                        "in once the sync engine has had time to bring one.")
                             .arg(file));
    report_.again = true;
    return true;
}

void Pass::madeByHand(const QString& file) {
    // A sync engine keeps the time a file was written elsewhere: such a file may be another
    // machine's snippet whose record is still on its way, and taken in now it would be two.
    if (justCarried(file))
        return;
    const auto [language, title] = NamedBy(file);
    QByteArray body = ReadBody(folder_, file);
    if (refusedAsText(body, file))
        return;
    if (const auto sides = GitConflictSides(body)) {
        body = sides->first.isEmpty() ? sides->second : sides->first;
        if (!sides->first.isEmpty() && !sameText(sides->second, sides->first))
            keepMarkedSide(Record{BodyHash(file.toUtf8()), language, title, file, {}, false, {}},
                           sides->second,
                           QStringLiteral("its file held both sides of a Git conflict"));
        putBody(file, body);
    }
    const auto [id, version] = addRow(language, title, body);
    const Record r{NewUid(), language, title, file, BodyHash(body), false, {}};
    putRecord(r);
    remember(id, version, r);
}

void Pass::conflictCopy(const QString& file) {
    if (adopted_.contains(file))
        return;
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
    // Its text is a snippet's already (two snippets that came to one name): nothing to keep.
    const QString hash = BodyHash(body);
    bool same = next_.entries.contains(uid) || scan_.records.contains(uid);
    for (const Entry& e : std::as_const(next_.entries))
        if (!same &&
            (e.record.hash == hash || (e.record.language == language && e.record.title == title))) {
            const auto stored = connection_.collection()->read(e.id);
            same = stored && stored->bytes == body;
        }
    if (!same)
        keepApart(language, title, body,
                  QStringLiteral("the sync engine found it changed on two machines"), uid,
                  QDateTime::fromMSecsSinceEpoch(StampOf(folder_ + u'/' + file).mtimeNs / 1000000));
    RemoveFile(folder_, file);
}

} // namespace varozidi::sync::detail

// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/sync/SyncState.h"

#include "data/files/DataPath.h"
#include "data/files/Files.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace varozidi::sync {

namespace {

const QString kFormat = QStringLiteral("varozidi-sync-state");

QJsonArray stampJson(const Stamp& s) {
    return {double(s.size), QString::number(s.mtimeNs), double(s.inode)};
}

Stamp stampFrom(const QJsonValue& v) {
    const QJsonArray a = v.toArray();
    return {qint64(a.at(0).toDouble(-1)), a.at(1).toString().toLongLong(),
            qint64(a.at(2).toDouble())};
}

QJsonValue text(const transfer::Text& t) {
    return t ? QJsonValue(*t) : QJsonValue();
}

transfer::Text textFrom(const QJsonValue& v) {
    return v.isString() ? transfer::Text(v.toString()) : std::nullopt;
}

} // namespace

QString StatePath(const QString& folder, const QString& collectionIdentity) {
    const QByteArray key = (QDir::cleanPath(folder) + u'\n' + collectionIdentity).toUtf8();
    return varozidi::paths::StateFolder() +
           QStringLiteral("sync-%1.json")
               .arg(quint64(XXH3_64bits(key.constData(), std::size_t(key.size()))), 16, 16,
                    QLatin1Char('0'));
}

State LoadState(const QString& path) {
    InputFile file(path);
    if (!file.isOpen())
        return {};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (doc.object().value(QLatin1String("format")).toString() != kFormat)
        return {};
    State state;
    for (const QJsonValue& v : doc.object().value(QLatin1String("entries")).toArray()) {
        const QJsonObject o = v.toObject();
        Entry e;
        e.id = qint64(o.value(QLatin1String("id")).toDouble());
        e.rowVersion = o.value(QLatin1String("version")).toString();
        e.record = {
            o.value(QLatin1String("uid")).toString(), textFrom(o.value(QLatin1String("language"))),
            textFrom(o.value(QLatin1String("title"))), o.value(QLatin1String("file")).toString(),
            o.value(QLatin1String("hash")).toString()};
        e.body = stampFrom(o.value(QLatin1String("body")));
        e.recordStamp = stampFrom(o.value(QLatin1String("record")));
        const auto list = [&o](const char* key) {
            QStringList out;
            for (const QJsonValue& h : o.value(QLatin1String(key)).toArray())
                out.append(h.toString());
            return out;
        };
        e.earlier = list("earlier");
        e.earlierTitles = list("earlierTitles");
        e.earlierLanguages = list("earlierLanguages");
        if (!e.record.uid.isEmpty() && e.id > 0)
            state.entries.insert(e.record.uid, e);
    }
    return state;
}

void SaveState(const QString& path, const State& state) {
    QJsonArray entries;
    for (const Entry& e : state.entries)
        entries.append(QJsonObject{
            {QStringLiteral("uid"), e.record.uid},
            {QStringLiteral("id"), double(e.id)},
            {QStringLiteral("version"), e.rowVersion},
            {QStringLiteral("language"), text(e.record.language)},
            {QStringLiteral("title"), text(e.record.title)},
            {QStringLiteral("file"), e.record.file},
            {QStringLiteral("hash"), e.record.hash},
            {QStringLiteral("body"), stampJson(e.body)},
            {QStringLiteral("record"), stampJson(e.recordStamp)},
            {QStringLiteral("earlier"), QJsonArray::fromStringList(e.earlier)},
            {QStringLiteral("earlierTitles"), QJsonArray::fromStringList(e.earlierTitles)},
            {QStringLiteral("earlierLanguages"), QJsonArray::fromStringList(e.earlierLanguages)}});
    MakeFolders(varozidi::paths::StateFolder());
    WriteFileSafely(path, QJsonDocument(QJsonObject{{QStringLiteral("format"), kFormat},
                                                    {QStringLiteral("entries"), entries}})
                              .toJson(QJsonDocument::Compact));
}

} // namespace varozidi::sync

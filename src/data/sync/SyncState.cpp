// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/sync/SyncState.h"

#include "data/files/DataPath.h"
#include "data/files/Files.h"

#include <QDataStream>
#include <QDir>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace varozidi::sync {

namespace {

// A binary file: read and written at each pass, for every snippet, where JSON took a second
// for 100,000 of them.
constexpr quint32 kMagic = 0x56535954; // "VSYT"
constexpr quint32 kFormat = 2;         // 1 lacked the marks of a pass in step

QDataStream& operator<<(QDataStream& out, const transfer::Text& t) {
    return out << bool(t) << t.value_or(QString());
}

QDataStream& operator>>(QDataStream& in, transfer::Text& t) {
    bool has = false;
    QString text;
    in >> has >> text;
    t = has ? transfer::Text(text) : std::nullopt;
    return in;
}

QDataStream& operator<<(QDataStream& out, const Stamp& s) {
    return out << s.size << s.mtimeNs << s.inode;
}

QDataStream& operator>>(QDataStream& in, Stamp& s) {
    return in >> s.size >> s.mtimeNs >> s.inode;
}

} // namespace

QString StatePath(const QString& folder, const QString& collectionIdentity) {
    const QByteArray key = (QDir::cleanPath(folder) + u'\n' + collectionIdentity).toUtf8();
    return varozidi::paths::StateFolder() +
           QStringLiteral("sync-%1.state")
               .arg(quint64(XXH3_64bits(key.constData(), std::size_t(key.size()))), 16, 16,
                    QLatin1Char('0'));
}

State LoadState(const QString& path) {
    InputFile file(path);
    if (!file.isOpen())
        return {};
    const QByteArray bytes = file.readAll();
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_4);
    quint32 magic = 0, format = 0;
    qint64 count = 0;
    State state;
    in >> magic >> format >> state.recordFolder;
    if (magic != kMagic || format < 1 || format > kFormat)
        return {};
    if (format >= 2) {
        qint64 folders = 0;
        in >> state.collectionMark >> folders;
        for (qint64 i = 0; i < folders && in.status() == QDataStream::Ok; ++i) {
            QString name;
            Stamp stamp;
            in >> name >> stamp;
            state.folders.insert(name, stamp);
        }
    }
    in >> count;
    if (count < 0)
        return {};
    state.entries.reserve(count);
    for (qint64 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        Entry e;
        in >> e.record.uid >> e.id >> e.rowVersion >> e.record.language >> e.record.title >>
            e.record.file >> e.record.hash >> e.body >> e.recordStamp >> e.earlier >>
            e.earlierTitles >> e.earlierLanguages;
        if (!e.record.uid.isEmpty() && e.id > 0)
            state.entries.insert(e.record.uid, e);
    }
    // A damaged file is no state: the next pass merges as a union, losing nothing.
    if (in.status() != QDataStream::Ok)
        return {};
    return state;
}

void SaveState(const QString& path, const State& state) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    out << kMagic << kFormat << state.recordFolder << state.collectionMark
        << qint64(state.folders.size());
    for (auto it = state.folders.cbegin(); it != state.folders.cend(); ++it)
        out << it.key() << *it;
    out << qint64(state.entries.size());
    for (const Entry& e : state.entries)
        out << e.record.uid << e.id << e.rowVersion << e.record.language << e.record.title
            << e.record.file << e.record.hash << e.body << e.recordStamp << e.earlier
            << e.earlierTitles << e.earlierLanguages;
    MakeFolders(varozidi::paths::StateFolder());
    WriteFileSafely(path, bytes);
}

} // namespace varozidi::sync

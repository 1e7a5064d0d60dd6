// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/sync/SyncState.h"

#include "data/core/Posix.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QMutex>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace varozidi::sync {

namespace {

// A binary file: read and written at each pass, for every snippet, where JSON took a second
// for 100,000 of them.
constexpr quint32 kMagic = 0x56535954; // "VSYT"
// 1 lacked the marks of a pass in step, 2 the times of change of files (a pass reads every
// file once then).
constexpr quint32 kFormat = 3;

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
    return out << s.size << s.mtimeNs << s.inode << s.ctimeNs;
}

// Stamps of format 2 and earlier lack the time of change.
Stamp readStamp(QDataStream& in, quint32 format) {
    Stamp s;
    in >> s.size >> s.mtimeNs >> s.inode;
    if (format >= 3)
        in >> s.ctimeNs;
    return s;
}

// The state the last pass of this process left, with the stamp of its file: the window's
// passes, one after another, need not read it back each time.
struct Kept {
    QString path;
    Stamp stamp;
    State state;
};
QMutex keptLock;
Kept kept;

} // namespace

QString StatePath(const QString& folder, const QString& collectionIdentity) {
    const QByteArray key = (QDir::cleanPath(folder) + u'\n' + collectionIdentity).toUtf8();
    return varozidi::paths::StateFolder() +
           QStringLiteral("sync-%1.state")
               .arg(quint64(XXH3_64bits(key.constData(), std::size_t(key.size()))), 16, 16,
                    QLatin1Char('0'));
}

QString StateFor(const QString& folder, const QString& collectionIdentity) {
    const QString spelled = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    const QString canonical = QFileInfo(spelled).canonicalFilePath();
    if (canonical.isEmpty() || canonical == spelled)
        return StatePath(spelled, collectionIdentity);
    const QString path = StatePath(canonical, collectionIdentity);
    // The state kept under the folder's other spelling, by an earlier version, carries over.
    if (const QString before = StatePath(spelled, collectionIdentity);
        !QFileInfo::exists(path) && QFileInfo::exists(before))
        ::rename(posix::native(before).constData(), posix::native(path).constData());
    return path;
}

State LoadState(const QString& path) {
    const Stamp stamp = StampOf(path);
    {
        const QMutexLocker lock(&keptLock);
        if (stamp.size >= 0 && kept.path == path && kept.stamp == stamp)
            return kept.state;
    }
    State state = ReadState(path);
    const QMutexLocker lock(&keptLock);
    kept = {path, stamp, state};
    return state;
}

State ReadState(const QString& path) {
    InputFile file(path);
    if (!file.isOpen())
        return {};
    const QByteArray bytes = file.readAll();
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_4);
    quint32 magic = 0, format = 0;
    qint64 count = 0;
    State state;
    in >> magic >> format;
    if (magic != kMagic || format < 1 || format > kFormat)
        return {};
    state.recordFolder = readStamp(in, format);
    if (format >= 2) {
        qint64 folders = 0;
        in >> state.collectionMark >> folders;
        for (qint64 i = 0; i < folders && in.status() == QDataStream::Ok; ++i) {
            QString name;
            in >> name;
            state.folders.insert(name, readStamp(in, format));
        }
    }
    in >> count;
    if (count < 0)
        return {};
    state.entries.reserve(count);
    for (qint64 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        Entry e;
        in >> e.record.uid >> e.id >> e.rowVersion >> e.record.language >> e.record.title >>
            e.record.file >> e.record.hash;
        e.body = readStamp(in, format);
        e.recordStamp = readStamp(in, format);
        in >> e.earlier >> e.earlierTitles >> e.earlierLanguages;
        if (!e.record.uid.isEmpty() && e.id > 0)
            state.entries.insert(e.record.uid, e);
    }
    if (!in.atEnd())
        in >> state.others;
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
    out << state.others;
    MakeFolders(varozidi::paths::StateFolder());
    WriteFileSafely(path, bytes);
    const QMutexLocker lock(&keptLock);
    kept = {path, StampOf(path), state};
}

} // namespace varozidi::sync

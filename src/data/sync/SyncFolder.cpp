// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/sync/SyncFolder.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/Files.h"
#include "data/transfer/JsonFiles.h"
#include "data/transfer/Names.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QUuid>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace varozidi::sync {

namespace {

using posix::native;
using posix::systemError;

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;
const QString kTemporarySuffix = QStringLiteral(".varozidi-tmp");

[[noreturn]] void failed(const QString& folder, const QString& step, int err) {
    throw WriteFailed(QStringLiteral("Cannot sync with the folder \"%1\": %2 failed (%3).")
                          .arg(folder, step, systemError(err)));
}

std::optional<QString> utf8Name(const char* raw) {
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString name = decode(QByteArrayView(raw));
    if (decode.hasError())
        return std::nullopt;
    return name;
}

qint64 nanoseconds(const struct timespec& t) {
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

Stamp stampOf(const struct stat& st) {
    return {qint64(st.st_size), nanoseconds(st.st_mtim), qint64(st.st_ino),
            nanoseconds(st.st_ctim)};
}

// Names that sync engines and editors use while a file is on its way.
bool onItsWay(const QString& name) {
    // Nextcloud's and ownCloud's placeholders of files kept only on the server too.
    return name.startsWith(u'.') || name.startsWith(QLatin1String("~syncthing~")) ||
           name.endsWith(QLatin1String(".tmp")) || name.endsWith(QLatin1String(".part")) ||
           name.endsWith(u'~') || name.endsWith(QLatin1String(".nextcloud")) ||
           name.endsWith(QLatin1String(".owncloud"));
}

const QRegularExpression& syncthingCopy() {
    static const QRegularExpression re(
        QStringLiteral("^(.*)\\.sync-conflict-[0-9]{8}-[0-9]{6}(?:-[A-Z0-9]+)?(\\.[^.]*)?$"));
    return re;
}

const QRegularExpression& conflictedCopy() {
    // Nextcloud's "(conflicted copy 2026-12-09 101010)", Dropbox's "(Ann's conflicted copy
    // 2026-12-09)".
    static const QRegularExpression re(
        QStringLiteral("^(.*) \\((?:[^()]*'s )?conflicted copy[^()]*\\)(\\.[^.]*)?$"));
    return re;
}

bool isConflictCopy(const QString& name) {
    return syncthingCopy().match(name).hasMatch() || conflictedCopy().match(name).hasMatch();
}

std::optional<Record> parseRecord(const QByteArray& bytes, const QString& uid,
                                  Lineage* lineage = nullptr) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const auto text = [&o](const char* key) -> transfer::Text {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isString() ? transfer::Text(v.toString()) : std::nullopt;
    };
    Record r{uid,
             text("language"),
             text("title"),
             o.value(QLatin1String("file")).toString(),
             o.value(QLatin1String("hash")).toString(),
             o.value(QLatin1String("removed")).toBool(),
             o.value(QLatin1String("mergedInto")).toString()};
    if (o.value(QLatin1String("uid")).toString() != uid || r.file.isEmpty())
        return std::nullopt;
    if (lineage) {
        const QJsonObject earlier = o.value(QLatin1String("earlier")).toObject();
        const auto list = [&earlier](const char* key) {
            QStringList out;
            for (const QJsonValue& v : earlier.value(QLatin1String(key)).toArray())
                out.append(v.toString());
            return out;
        };
        *lineage = {list("hashes"), list("titles"), list("languages")};
    }
    return r;
}

// A record as a merge left it with Git's markers: where the two sides differ, each field takes
// the same side on every machine, so that all agree.
std::optional<Record> recordIn(const QByteArray& bytes, const QString& uid, FolderScan& scan) {
    Lineage lineage;
    if (auto record = parseRecord(bytes, uid, &lineage)) {
        scan.lineage.insert(uid, lineage);
        return record;
    }
    const auto sides = GitConflictSides(bytes);
    Lineage ourLineage, theirLineage;
    const auto ours = sides ? parseRecord(sides->first, uid, &ourLineage) : std::nullopt;
    const auto theirs = sides ? parseRecord(sides->second, uid, &theirLineage) : std::nullopt;
    if (!ours || !theirs)
        return std::nullopt;
    scan.markedRecords.insert(uid);
    for (const auto& [side, sideLineage] :
         {std::pair{*ours, ourLineage}, {*theirs, theirLineage}}) {
        scan.sides.insert(uid, side);
        scan.copyLineage.insert(CopyKey(side), sideLineage);
    }
    scan.lineage.insert(uid, Joined(*ours, ourLineage, *theirs, theirLineage));
    return Settle(*ours, ourLineage, *theirs, theirLineage);
}

template <class Each> void eachEntry(const QString& folder, const QString& path, Each&& each) {
    DIR* dir = ::opendir(native(path).constData());
    if (!dir)
        failed(folder, QStringLiteral("reading \"%1\"").arg(path), errno);
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st {};
        if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        each(entry->d_name, st);
    }
    ::closedir(dir);
}

void scanRecords(const QString& folder, const QHash<QString, std::pair<Stamp, Record>>& known,
                 const Stamp& knownFolder, const QStringList& others, FolderScan& scan) {
    const QString path = folder + u'/' + QLatin1String(kRecordFolder);
    struct stat st {};
    if (::stat(native(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    scan.recordFolder = stampOf(st);
    const auto take = [&](const QString& uid, const Stamp& stamp) {
        scan.recordStamps.insert(uid, stamp);
        const auto was = known.constFind(uid);
        if (was != known.constEnd() && was->first == stamp) {
            scan.records.insert(uid, was->second);
            return;
        }
        InputFile file(path + u'/' + QLatin1String(RecordName(uid)));
        std::optional<Record> record;
        if (file.isOpen())
            record = recordIn(file.readAll(), uid, scan);
        if (record && !record->mergedInto.isEmpty())
            scan.merged.insert(uid, record->mergedInto);
        else if (record && record->removed)
            scan.removed.insert(uid, *record);
        else if (record)
            scan.records.insert(uid, *record);
        else
            scan.unreadableRecords.append(uid);
    };
    if (knownFolder.inode != 0 && scan.recordFolder == knownFolder) {
        // No name came or went, but a record may have been edited in place.
        const int fd = ::open(native(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            failed(folder, QStringLiteral("reading \"%1\"").arg(path), errno);
        const auto look = [&](const QString& uid) {
            struct stat entry {};
            if (::fstatat(fd, RecordName(uid).constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(entry.st_mode))
                take(uid, stampOf(entry));
        };
        for (auto it = known.cbegin(); it != known.cend(); ++it)
            look(it.key());
        for (const QString& uid : others)
            if (!known.contains(uid))
                look(uid);
        ::close(fd);
        return;
    }
    static const QRegularExpression uidName(QStringLiteral("^([0-9a-f]{32})\\.json$"));
    eachEntry(folder, path, [&](const char* raw, const struct stat& entry) {
        const auto name = utf8Name(raw);
        if (!name || !S_ISREG(entry.st_mode))
            return;
        const auto match = uidName.match(*name);
        if (match.hasMatch())
            take(match.captured(1), stampOf(entry));
        else if (isConflictCopy(*name))
            scan.conflictCopies.append(QLatin1String(kRecordFolder) + u'/' + *name);
    });
}

} // namespace

FolderScan ScanFolder(const QString& folder, const QHash<QString, std::pair<Stamp, Record>>& known,
                      const Stamp& knownFolder, const QStringList& others) {
    struct stat st {};
    if (::stat(native(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Error(QStringLiteral("The sync folder \"%1\" is not there; if it lies on a disk "
                                   "that is not mounted now, mount it and sync again. Nothing "
                                   "was changed.")
                        .arg(folder));
    FolderScan scan;
    scan.folders.insert(QString(), stampOf(st));
    scanRecords(folder, known, knownFolder, others, scan);
    eachEntry(folder, folder, [&](const char* raw, const struct stat& top) {
        const auto language = utf8Name(raw);
        if (!language) {
            scan.skipped.append(QStringLiteral("A folder whose name is not UTF-8 is left "
                                               "alone."));
            return;
        }
        if (S_ISLNK(top.st_mode) && !language->startsWith(u'.')) {
            scan.linked.insert(*language);
            scan.skipped.append(
                QStringLiteral("\"%1\" is left alone: it is a link.").arg(*language));
        }
        if (language->startsWith(u'.') || !S_ISDIR(top.st_mode))
            return; // the records, a repository's own files, a README
        scan.folders.insert(*language, stampOf(top));
        const QString languagePath = folder + u'/' + *language;
        eachEntry(folder, languagePath, [&](const char* rawName, const struct stat& entry) {
            const auto name = utf8Name(rawName);
            if (!name) {
                scan.skipped.append(
                    QStringLiteral("A file in \"%1\" whose name is not UTF-8 is left alone.")
                        .arg(*language));
                return;
            }
            const QString file = *language + u'/' + *name;
            if (onItsWay(*name))
                return;
            if (S_ISLNK(entry.st_mode)) {
                scan.linked.insert(file);
                scan.skipped.append(
                    QStringLiteral("\"%1\" is left alone: it is a link.").arg(file));
                return;
            }
            if (!S_ISREG(entry.st_mode)) {
                // A snippet whose file this is stays as it was, as behind a link.
                scan.linked.insert(file);
                scan.skipped.append(
                    QStringLiteral("\"%1\" is left alone: it is no plain file.").arg(file));
                return;
            }
            if (isConflictCopy(*name))
                scan.conflictCopies.append(file);
            else
                scan.files.insert(file, stampOf(entry));
        });
    });
    return scan;
}

bool LooksAsBefore(const QString& folder, const QHash<QString, Stamp>& folders,
                   const Stamp& recordFolder, const QList<Seen>& snippets) {
    const int root = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return false;
    const int kept = ::openat(root, kRecordFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto looks = [](int at, const char* name, const Stamp& was, bool dir) {
        struct stat st {};
        return ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               (dir ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) && stampOf(st) == was;
    };
    bool same = kept >= 0 && looks(root, kRecordFolder, recordFolder, true);
    for (auto it = folders.cbegin(); same && it != folders.cend(); ++it)
        same = looks(root, it.key().isEmpty() ? "." : native(it.key()).constData(), *it, true);
    for (auto it = snippets.cbegin(); same && it != snippets.cend(); ++it)
        same = looks(root, native(it->file).constData(), it->body, false) &&
               looks(kept, RecordName(it->uid).constData(), it->record, false);
    if (kept >= 0)
        ::close(kept);
    ::close(root);
    return same;
}

QString BodyHash(const QByteArray& bytes) {
    const XXH128_hash_t h = XXH3_128bits(bytes.constData(), std::size_t(bytes.size()));
    return QStringLiteral("%1%2")
        .arg(quint64(h.high64), 16, 16, QLatin1Char('0'))
        .arg(quint64(h.low64), 16, 16, QLatin1Char('0'));
}

QString NewUid() {
    return QUuid::createUuid().toString(QUuid::Id128);
}

bool HoldsOtherFiles(const QString& folder) {
    const QDir dir(folder);
    if (dir.exists(QLatin1String(kRecordFolder)))
        return false;
    // Empty folders and hidden files (a repository's, a sync engine's, a desktop's) are none.
    if (!dir.entryList(QDir::Files | QDir::System).isEmpty())
        return true;
    for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (!QDir(dir.filePath(sub))
                 .entryList(QDir::Files | QDir::System | QDir::Dirs | QDir::NoDotAndDotDot)
                 .isEmpty())
            return true;
    return false;
}

Stamp StampOf(const struct stat& st) {
    return stampOf(st);
}

QByteArray RecordName(const QString& uid) {
    return uid.toLatin1() + ".json";
}

QByteArray RecordBytes(const Record& record, const Lineage& lineage) {
    // As QJsonDocument indents an object, its keys in order, without building one.
    QByteArray out = "{\n";
    if (!lineage.hashes.isEmpty() || !lineage.titles.isEmpty() || !lineage.languages.isEmpty()) {
        out += "    \"earlier\": {";
        const auto list = [&out](const char* key, const QStringList& values, bool last) {
            out += "\"";
            out += key;
            out += "\": [";
            for (qsizetype i = 0; i < values.size(); ++i) {
                if (i > 0)
                    out += ", ";
                transfer::AppendJson(out, values[i]);
            }
            out += last ? "]" : "], ";
        };
        list("hashes", lineage.hashes, false);
        list("languages", lineage.languages, false);
        list("titles", lineage.titles, true);
        out += "},\n";
    }
    const auto field = [&out](const char* key, const transfer::Text& value, bool last = false) {
        out += "    \"";
        out += key;
        out += "\": ";
        transfer::AppendJson(out, value);
        out += last ? "\n" : ",\n";
    };
    field("file", record.file);
    field("hash", record.hash);
    field("language", record.language);
    if (!record.mergedInto.isEmpty())
        field("mergedInto", record.mergedInto);
    if (record.removed)
        out += "    \"removed\": true,\n";
    field("title", record.title);
    field("uid", record.uid, true);
    return out + "}\n";
}

Stamp StampOf(const QString& path) {
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0)
        return {};
    return stampOf(st);
}

std::optional<Record> ReadRecordFile(const QString& folder, const QString& file, Lineage* lineage) {
    InputFile in(folder + u'/' + file);
    const QString name = file.mid(file.lastIndexOf(u'/') + 1);
    if (!in.isOpen() || name.size() < 32)
        return std::nullopt;
    return parseRecord(in.readAll(), name.left(32), lineage);
}

QByteArray ReadBody(const QString& folder, const QString& file) {
    InputFile in(folder + u'/' + file);
    if (!in.isOpen())
        throw Error(QStringLiteral("Cannot read \"%1\" in the sync folder \"%2\": %3.")
                        .arg(file, folder, in.openError()));
    return in.readAll();
}

namespace {

// rename(2) that never replaces: where the file system has no such rename, a link, which
// fails where the name is taken, then the temporary name removed.
int renameNew(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (::link(from.constData(), to.constData()) != 0)
        return -1;
    ::unlink(from.constData());
    return 0;
}

} // namespace

Stamp WriteBody(const QString& folder, const QString& file, const QByteArray& bytes, bool replace,
                const Stamp* expected) {
    const QString target = folder + u'/' + file;
    const qsizetype slash = file.lastIndexOf(u'/');
    const QString dir = folder + u'/' + file.left(slash);
    if (::mkdir(native(dir).constData(), kFolderMode) != 0 && errno != EEXIST)
        failed(folder, QStringLiteral("making the folder \"%1\"").arg(dir), errno);
    // Never through a link: a write there would land outside the folder.
    struct stat st {};
    if (::lstat(native(dir).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Error(QStringLiteral("Cannot write \"%1\" into the sync folder: \"%2\" is no "
                                   "folder of its own (a link or a file is in its place).")
                        .arg(file, dir));
    const QString temporary = dir + QStringLiteral("/.") + file.mid(slash + 1) + u'.' +
                              QString::number(::getpid()) + kTemporarySuffix;
    const int fd = ::open(native(temporary).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    if (fd < 0)
        failed(folder, QStringLiteral("writing \"%1\"").arg(temporary), errno);
    const bool written = WriteAll(fd, bytes.constData(), std::size_t(bytes.size()));
    const int err = errno;
    struct stat made {};
    ::fstat(fd, &made);
    if (::close(fd) != 0 || !written) {
        ::unlink(native(temporary).constData());
        failed(folder, QStringLiteral("writing \"%1\"").arg(target), written ? errno : err);
    }
    // A sync engine that put another text there since the scan keeps it: the next pass weighs it.
    if (struct stat there{};
        expected && replace &&
        (::lstat(native(target).constData(), &there) != 0 ? errno != ENOENT || expected->size >= 0
                                                          : stampOf(there) != *expected)) {
        ::unlink(native(temporary).constData());
        throw TakenMeanwhile(QStringLiteral("\"%1\" changed in the sync folder while it was "
                                            "synced; the next sync takes that in.")
                                 .arg(file));
    }
    if ((replace ? ::rename(native(temporary).constData(), native(target).constData())
                 : renameNew(native(temporary), native(target))) != 0) {
        const int renameErr = errno;
        ::unlink(native(temporary).constData());
        if (renameErr == EEXIST)
            throw TakenMeanwhile(QStringLiteral("\"%1\" came into the sync folder while it was "
                                                "synced; the next sync takes it in.")
                                     .arg(file));
        failed(folder, QStringLiteral("putting \"%1\" in place").arg(target), renameErr);
    }
    struct stat now {};
    if (::lstat(native(target).constData(), &now) != 0 || now.st_ino != made.st_ino)
        return {}; // replaced at once by another: read again by the next pass
    return stampOf(now);
}

void WriteRecord(const QString& folder, const Record& record, const Lineage& lineage) {
    WriteBody(folder, QLatin1String(kRecordFolder) + u'/' + record.uid + QStringLiteral(".json"),
              RecordBytes(record, lineage));
}

void RemoveFile(const QString& folder, const QString& file) {
    const QString path = folder + u'/' + file;
    const qsizetype at = file.lastIndexOf(u'/');
    struct stat st {};
    if (at > 0 && (::lstat(native(folder + u'/' + file.left(at)).constData(), &st) != 0 ||
                   !S_ISDIR(st.st_mode)))
        return; // nothing of ours lies behind a link
    if (::unlink(native(path).constData()) != 0 && errno != ENOENT)
        failed(folder, QStringLiteral("removing \"%1\"").arg(path), errno);
    const qsizetype slash = file.lastIndexOf(u'/');
    if (slash > 0 && file.left(slash) != QLatin1String(kRecordFolder))
        ::rmdir(native(folder + u'/' + file.left(slash)).constData()); // only once empty
}

void RemoveRecord(const QString& folder, const QString& uid) {
    RemoveFile(folder, QLatin1String(kRecordFolder) + u'/' + uid + QStringLiteral(".json"));
}

void Flush(const QString& folder) {
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        failed(folder, QStringLiteral("opening it"), errno);
    const int rc = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        failed(folder, QStringLiteral("writing it to the disk"), err);
}

QString TitleOfConflictCopy(const QString& file) {
    const QString name = file.mid(file.lastIndexOf(u'/') + 1);
    for (const QRegularExpression* re : {&syncthingCopy(), &conflictedCopy()}) {
        const auto m = re->match(name);
        if (m.hasMatch())
            return m.captured(1);
    }
    return name;
}

} // namespace varozidi::sync

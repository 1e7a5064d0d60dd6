// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/FolderTree.h"

#include "data/core/Posix.h"
#include "data/core/SysUtils.h"
#include "data/files/Files.h"
#include "data/files/Temporary.h"
#include "data/history/History.h"
#include "data/transfer/JsonFiles.h"
#include "data/transfer/Names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varozidi::transfer {

namespace {

using posix::native;
using posix::systemError;

const QString kFormat = QStringLiteral("varozidi-folder");
// Well below the 255 bytes most file systems allow a name, so that numbering and the
// extension still fit, and paths stay short.
constexpr qsizetype kLanguageBytes = 100;
constexpr qsizetype kTitleBytes = 120;
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

// A failure of the system while writing: the step and its reason.
[[noreturn]] void failed(const QString& path, const QString& step, int err) {
    throw Error(QStringLiteral("Cannot export into \"%1\": %2 failed (%3).")
                    .arg(path, step, systemError(err)));
}

void writeNewFile(const QString& target, const QString& path, const QByteArray& bytes) {
    const int fd =
        ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0)
        failed(target, QStringLiteral("creating \"%1\"").arg(path), errno);
    const bool written = WriteAll(fd, bytes.constData(), std::size_t(bytes.size()));
    const int err = errno;
    if (::close(fd) != 0 || !written)
        failed(target, QStringLiteral("writing \"%1\"").arg(path), written ? errno : err);
}

struct IndexEntry {
    int order;
    Snippet snippet;
    bool nullBody;
};

QHash<QString, IndexEntry> readIndex(const QString& root) {
    QHash<QString, IndexEntry> entries;
    const QString file = root + u'/' + QLatin1String(kFolderIndex);
    if (!QFileInfo::exists(file))
        return entries;
    const QJsonObject index = ParseJsonObject(file, ReadInputFile(file));
    if (index.value(QStringLiteral("format")).toString() != kFormat ||
        !index.value(QStringLiteral("snippets")).isArray())
        throw BadInput(QStringLiteral("\"%1\" is not the index of an exported folder.").arg(file));
    int order = 0;
    for (const QJsonValue& item : index.value(QStringLiteral("snippets")).toArray()) {
        const QJsonObject o = item.toObject();
        const auto text = [&o](const char* name) -> Text {
            const QJsonValue v = o.value(QLatin1String(name));
            return v.isString() ? Text(v.toString()) : std::nullopt;
        };
        Snippet s{std::nullopt, text("language"), text("title"), std::nullopt};
        s.id = WholeNumber(o.value(QStringLiteral("id")));
        entries.insert(
            o.value(QStringLiteral("file")).toString().normalized(QString::NormalizationForm_C),
            {order++, s, o.value(QStringLiteral("nullBody")).toBool()});
    }
    return entries;
}

// Names as they are on the disk: a listing through QDir decodes each one as text, which drops
// a leading byte order mark, and the index then names a file that seems not to be there.
QFileInfoList entriesOf(const QString& folder) {
    QStringList names;
    if (DIR* dir = ::opendir(native(folder).constData())) {
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArrayView name(entry->d_name);
            if (name != "." && name != "..")
                names.append(ExactUtf8(name).value_or(QFile::decodeName(entry->d_name)));
        }
        ::closedir(dir);
    }
    names.sort();
    QFileInfoList entries;
    for (const QString& name : std::as_const(names))
        entries.append(QFileInfo(folder + u'/' + name));
    return entries;
}

// The entries of a folder being imported; one that cannot be listed fails the import rather
// than leave its snippets out.
QFileInfoList readableEntries(const QString& folder) {
    if (::access(native(folder).constData(), R_OK | X_OK) != 0)
        throw BadInput(QStringLiteral("Cannot read the folder \"%1\": %2; nothing was added.")
                           .arg(folder, systemError(errno)));
    return entriesOf(folder);
}

[[noreturn]] void otherShape(const QString& root, const QString& why) {
    throw BadInput(QStringLiteral("\"%1\" is not a folder of snippets as export writes it: %2.")
                       .arg(root, why));
}

const char kHistoryFormat[] = "varozidi-folder-history";

// A record of the history file: a file's versions, or a removed snippet's (file empty).
void appendKept(QByteArray& out, const QString& file, const Snippet& s, bool first) {
    out += first ? "\n    {" : ",\n    {";
    if (file.isEmpty()) {
        out += "\"id\": " + (s.id ? QByteArray::number(*s.id) : QByteArray("null"));
    } else {
        out += "\"file\": ";
        AppendJson(out, file);
    }
    out += ", \"versions\": [";
    for (qsizetype i = 0; i < s.versions.size(); ++i)
        AppendJsonVersion(out, s.versions[i], i == 0);
    AppendHistoryRecordTail(out);
}

struct FolderHistory {
    QHash<QString, QList<Version>> byFile;
    QList<Snippet> removed;
};

QList<Version> versionsIn(const QJsonObject& record, const QString& where) {
    QList<Version> versions;
    const QJsonValue list = record.value(QStringLiteral("versions"));
    if (!list.isArray())
        throw BadInput(QStringLiteral("%1 has no list of versions.").arg(where));
    int n = 0;
    for (const QJsonValue& v : list.toArray())
        versions.append(VersionFromJson(v, QStringLiteral("%1, version %2,").arg(where).arg(++n)));
    return versions;
}

FolderHistory readHistory(const QString& root) {
    FolderHistory history;
    const QString file = root + u'/' + QLatin1String(kFolderHistory);
    if (!QFileInfo::exists(file))
        return history;
    const QJsonObject kept = ParseJsonObject(file, ReadInputFile(file));
    if (kept.value(QStringLiteral("format")).toString() != QLatin1String(kHistoryFormat) ||
        !kept.value(QStringLiteral("snippets")).isArray() ||
        !kept.value(QStringLiteral("removed")).isArray())
        throw BadInput(
            QStringLiteral("\"%1\" is not the history of an exported folder.").arg(file));
    for (const QJsonValue& item : kept.value(QStringLiteral("snippets")).toArray()) {
        const QString name = item[QStringLiteral("file")].toString();
        history.byFile.insert(name.normalized(QString::NormalizationForm_C),
                              versionsIn(item.toObject(), QStringLiteral("In \"%1\", the entry "
                                                                         "of \"%2\"")
                                                              .arg(file, name)));
    }
    int n = 0;
    for (const QJsonValue& item : kept.value(QStringLiteral("removed")).toArray()) {
        const QString where = QStringLiteral("In \"%1\", removed snippet %2").arg(file).arg(++n);
        Snippet gone{WholeNumber(item[QStringLiteral("id")]), std::nullopt, std::nullopt,
                     std::nullopt, versionsIn(item.toObject(), where)};
        if (gone.versions.isEmpty() || (gone.versions.first().kind != history::kRemoved &&
                                        gone.versions.first().kind != history::kRestore))
            throw BadInput(QStringLiteral("%1 has no removal as its latest version.").arg(where));
        history.removed.append(gone);
    }
    return history;
}

} // namespace

void WriteSnippetFolder(const QList<Snippet>& snippets, const QString& path,
                        const QList<Snippet>* removed) {
    const QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QFileInfo info(target);
    if (!QFileInfo(info.path()).isDir())
        throw BadInput(
            QStringLiteral("There is no folder \"%1\" to export into.").arg(info.path()));
    const bool exists = info.exists() || info.isSymLink();
    if (exists && (!info.isDir() || info.isSymLink() || !entriesOf(target).isEmpty()))
        throw BadInput(QStringLiteral("\"%1\" exists already and is not an empty folder; export "
                                      "writes only into a new or an empty folder.")
                           .arg(target));

    TemporaryBeside temp(target, TemporaryBeside::Folder,
                         QStringLiteral("export into \"%1\"").arg(target));
    const QString tree = temp.path();
    FolderNames languageFolders;
    QHash<QString, QString> folderOf; // "=" + language (a null string for none) -> folder
    QHash<QString, FolderNames> filesIn;
    QByteArrayList index;
    QByteArray history = "{\n  \"format\": \"" + QByteArray(kHistoryFormat) +
                         "\",\n  \"version\": 1,\n  \"snippets\": [";
    bool anyKept = false;
    for (const Snippet& s : snippets) {
        const QString key = s.language ? u'=' + *s.language : QString();
        QString folder = folderOf.value(key);
        if (folder.isEmpty()) {
            folder = languageFolders.take(SafeFileName(
                s.language.value_or(QString()), kLanguageBytes, QStringLiteral("No language")));
            if (::mkdir(native(tree + u'/' + folder).constData(), kFolderMode) != 0)
                failed(target, QStringLiteral("creating the folder \"%1\"").arg(folder), errno);
            folderOf.insert(key, folder);
        }
        const QString file =
            folder + u'/' +
            filesIn[folder].take(
                SafeFileName(s.title.value_or(QString()), kTitleBytes, QStringLiteral("Untitled")),
                ExtensionFor(s.language.value_or(QString())));
        writeNewFile(target, tree + u'/' + file, s.body.value_or(QString()).toUtf8());

        QByteArray record = "{\"file\": ";
        AppendJson(record, file);
        record += ", \"id\": " + (s.id ? QByteArray::number(*s.id) : QByteArray("null"));
        record += ", \"language\": ";
        AppendJson(record, s.language);
        record += ", \"title\": ";
        AppendJson(record, s.title);
        index.append(record + (s.body ? "}" : ", \"nullBody\": true}"));
        if (removed && !s.versions.isEmpty()) {
            appendKept(history, file, s, !anyKept);
            anyKept = true;
        }
    }
    writeNewFile(target, tree + u'/' + QLatin1String(kFolderIndex), JsonListFile(kFormat, index));
    if (removed) {
        history += JsonRemovedHead(!anyKept);
        for (qsizetype i = 0; i < removed->size(); ++i)
            appendKept(history, QString(), removed->at(i), i == 0);
        history += JsonExportTail(removed->isEmpty());
        writeNewFile(target, tree + u'/' + QLatin1String(kFolderHistory), history);
    }

    // Every file on the disk before the tree appears at its name, with one sync for all.
    if (::syncfs(temp.fd()) != 0)
        failed(target, QStringLiteral("writing it to disk"), errno);
    // Over an empty folder, or where nothing is.
    if (!temp.PutInPlace(exists))
        throw BadInput(QStringLiteral("\"%1\" appeared while the export was written; nothing "
                                      "was put there.")
                           .arg(target));
}

FolderSnippets ReadSnippetFolder(const QString& path) {
    const QString root = QDir::cleanPath(path);
    const QHash<QString, IndexEntry> index = readIndex(root);
    struct Found {
        int order;
        QString file;
        Snippet snippet;
    };
    QList<Found> found;
    QSet<QString> missing(index.keyBegin(), index.keyEnd());
    for (const QFileInfo& language : readableEntries(root)) {
        if (language.fileName().startsWith(u'.'))
            continue;
        if (!language.isDir())
            otherShape(
                root,
                QStringLiteral("\"%1\" lies outside a language folder").arg(language.fileName()));
        for (const QFileInfo& entry : readableEntries(language.filePath())) {
            const QString file = language.fileName() + u'/' + entry.fileName();
            if (entry.fileName().startsWith(u'.'))
                continue;
            if (entry.isDir())
                otherShape(root,
                           QStringLiteral("\"%1\" is a folder inside a language folder").arg(file));
            if (!entry.isFile())
                otherShape(root, QStringLiteral("\"%1\" is not a file").arg(file));
            const QByteArray bytes = ReadInputFile(entry.filePath());
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                          QStringDecoder::Flag::Stateless);
            const QString body = utf8(bytes);
            if (utf8.hasError())
                throw BadInput(QStringLiteral("\"%1\" is not UTF-8 text.").arg(entry.filePath()));

            const auto known = index.constFind(file.normalized(QString::NormalizationForm_C));
            if (known != index.cend()) {
                missing.remove(known.key());
                Snippet s = known->snippet;
                if (!(known->nullBody && bytes.isEmpty()))
                    s.body = body;
                found.append({known->order, file, s});
                continue;
            }
            const QString name = entry.fileName();
            const qsizetype dot = name.lastIndexOf(u'.');
            found.append({INT_MAX, file,
                          Snippet{std::nullopt, language.fileName(),
                                  dot > 0 ? name.left(dot) : name, body}});
        }
    }
    if (!missing.isEmpty()) {
        QStringList names = missing.values();
        names.sort();
        throw BadInput(
            QStringLiteral("In \"%1\", the index names files that are missing: %2; "
                           "nothing was added.")
                .arg(root, QStringLiteral("\"") + names.join(QStringLiteral("\", \"")) + u'"'));
    }
    // Nothing to read and no index saying so: most likely the wrong folder.
    if (found.isEmpty() && !QFileInfo::exists(root + u'/' + QLatin1String(kFolderIndex)))
        throw BadInput(QStringLiteral("\"%1\" holds no snippets: neither an exported folder's "
                                      "index nor language folders with files in them.")
                           .arg(root));
    // The index's order is the snippets' own; files it does not name follow.
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.order != b.order ? a.order < b.order : a.file < b.file;
    });
    FolderHistory history = readHistory(root);
    FolderSnippets read;
    for (Found& f : found) {
        f.snippet.versions = history.byFile.take(f.file.normalized(QString::NormalizationForm_C));
        read.snippets.append(f.snippet);
    }
    if (!history.byFile.isEmpty())
        throw BadInput(QStringLiteral("In \"%1\", the history names files that are missing: "
                                      "\"%2\"; nothing was added.")
                           .arg(root, history.byFile.keys().join(QStringLiteral("\", \""))));
    read.removed = std::move(history.removed);
    return read;
}

} // namespace varozidi::transfer

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Snippets on their way into or out of the collection, and what a bad file is reported as.

#include "data/core/Errors.h"
#include "data/files/Files.h"

#include <QList>
#include <QString>
#include <cerrno>
#include <functional>
#include <optional>

namespace varozidi::transfer {

// A field without a value (NULL) stays apart from empty text all the way through.
using Text = std::optional<QString>;

// An earlier version of a snippet, as the collection's history keeps it (see
// data/history/History.h): what the change that replaced it changed, when, and its text.
struct Version {
    QString kind;
    qint64 changedMs = 0; // ms since 1970, UTC
    Text language;
    Text title;
    Text body;
    bool operator==(const Version&) const = default;
};

struct Snippet {
    std::optional<qint64> id; // none: the collection numbers it
    Text language;
    Text title;
    Text body;
    // Carried only by an export with its history: the latest first. A removed snippet has
    // nothing but its ID and these, the first of them its removal.
    QList<Version> versions = {};
    bool operator==(const Snippet&) const = default;
};

enum class ExportFormat { Json, Folder };

// What an import added, or would add, in the order read; valid while the import calls back.
class ImportedSnippets {
public:
    virtual ~ImportedSnippets() = default;
    QString kind; // what was read, in words: "a Varozidi export", ...
    // The earlier versions and the removed snippets it brought into the history.
    qint64 versions = 0;
    qint64 removed = 0;
    virtual qint64 size() const = 0;
    // Each snippet in turn: the ID it got, its language and its title.
    virtual void
    forEach(const std::function<void(qint64 id, const Text& language, const Text& title)>& each)
        const = 0;
};

// The file or folder given is not one that can be read: of the wrong kind, malformed or
// damaged. Nothing was changed. The command line reports it as the user's mistake.
class BadInput : public Error {
public:
    using Error::Error;
};

// What a file that could not be opened for reading is reported as: BadInput, or DiskError
// where the disk failed.
[[noreturn]] inline void CannotOpen(const QString& path, const InputFile& file) {
    const QString message = QStringLiteral("Cannot read \"%1\": %2.").arg(path, file.openError());
    if (file.openErrno() == EIO)
        throw DiskError(message);
    throw BadInput(message);
}

// Everything the file at path holds, read to its end; a read that fails partway throws
// DiskError, never a part passed off as the whole.
inline QByteArray ReadInputFile(const QString& path) {
    InputFile file(path);
    if (!file.isOpen())
        CannotOpen(path, file);
    return file.readAll();
}

} // namespace varozidi::transfer

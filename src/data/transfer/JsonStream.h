// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The program's own export file read a record at a time, so that neither the whole file nor
// every snippet is ever held in memory, whatever the collection's size.

#include "data/transfer/Snippet.h"

#include <QByteArray>
#include <functional>

namespace varozidi::transfer {

// Text as the file and the collection hold it: UTF-8; none for null.
using Utf8 = std::optional<QByteArray>;

struct Utf8Version {
    QString kind;
    qint64 changedMs = 0;
    Utf8 language;
    Utf8 title;
    Utf8 body;
};

struct Utf8Snippet {
    std::optional<qint64> id; // none: the collection numbers it
    Utf8 language;
    Utf8 title;
    Utf8 body;
    // As transfer::Snippet: an export with its history carries them, the latest first; a
    // removed snippet (from the file's "removed" list) has only its ID and these.
    QList<Utf8Version> versions = {};
    bool removed = false;
};

// The same snippet in Qt's strings.
Snippet SnippetOf(const Utf8Snippet& s);

// Reads the JSON file at path and hands each snippet of its "snippets" and "removed" lists to
// each, in the order written; bytesRead is told now and then how many bytes are read, of how
// many in all.
// Returns false, having handed nothing, when the file is JSON of another shape (Visual Studio
// Code snippets). Throws BadInput naming what is wrong and where: the line and column of bad
// JSON, the snippet and field of a bad record. Records before the bad one may have been handed
// already: the caller keeps them from the collection until the whole file is read.
bool StreamJsonExport(const QString& path, const std::function<void(Utf8Snippet&&)>& each,
                      const std::function<void(qint64 done, qint64 total)>& bytesRead = {});

} // namespace varozidi::transfer

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Snippets as a tree of files, PATH/Language/Title.ext, bodies byte for byte. Beside them an
// index file keeps what names cannot: IDs, exact titles and languages, and which fields had no
// value, so that reading an exported tree back gives the very snippets that were written.

#include "data/transfer/Snippet.h"

namespace varozidi::transfer {

// The index file's name in the tree's top folder.
inline constexpr char kFolderIndex[] = ".varozidi-index.json";
// Beside it, in a tree written with the history: each file's earlier versions, and the
// removed snippets kept.
inline constexpr char kFolderHistory[] = ".varozidi-history.json";

// Writes the tree into a new folder beside path, then renames it into place whole. path must
// not exist, or be an empty folder (BadInput otherwise). With removed, the history file is
// written too. Throws Error on failure; nothing is then left behind.
void WriteSnippetFolder(const QList<Snippet>& snippets, const QString& path,
                        const QList<Snippet>* removed = nullptr);

struct FolderSnippets {
    QList<Snippet> snippets;
    QList<Snippet> removed; // from the history file, where there is one
};

// The snippets of a tree under path: language from the folder, title from the file name
// without its extension, or as the index file has them for files it names; their versions
// from the history file. Hidden files are left out. Throws BadInput for a tree of another
// shape or a file that is not UTF-8 text.
FolderSnippets ReadSnippetFolder(const QString& path);

} // namespace varozidi::transfer

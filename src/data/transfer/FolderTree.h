// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Snippets as a tree of files, PATH/Language/Title.ext, bodies byte for byte. Beside them an
// index file keeps what names cannot: IDs, exact titles and languages, and which fields had no
// value, so that reading an exported tree back gives the very snippets that were written.

#include "data/transfer/Snippet.h"

namespace varozidi::transfer {

// The index file's name in the tree's top folder.
inline constexpr char kFolderIndex[] = ".varozidi-index.json";

// Writes the tree into a new folder beside path, then renames it into place whole. path must
// not exist, or be an empty folder (BadInput otherwise). Throws Error on failure; nothing is
// then left behind.
void WriteSnippetFolder(const QList<Snippet>& snippets, const QString& path);

// The snippets of a tree under path: language from the folder, title from the file name
// without its extension, or as the index file has them for files it names. Hidden files are
// left out. Throws BadInput for a tree of another shape or a file that is not UTF-8 text.
QList<Snippet> ReadSnippetFolder(const QString& path);

} // namespace varozidi::transfer

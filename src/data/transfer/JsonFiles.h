// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Snippets as JSON: the program's own export file, and the snippet files of Visual Studio
// Code, which allow comments and trailing commas.

#include "data/transfer/Snippet.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>

namespace varozidi::transfer {

// The export file: UTF-8, one snippet a line with id, language, title and body, null for a
// field without a value.
QByteArray SnippetsToJson(const QList<Snippet>& snippets);
// The same file a piece at a time: its head, each snippet's record (a separator before all
// but the first), and its tail.
QByteArray JsonExportHead();
void AppendJsonRecord(QByteArray& out, const Snippet& snippet, bool first);
QByteArray JsonExportTail(bool empty);

// An export with the history: each record's head (a removed snippet's holds only its ID),
// its versions in turn, and its end; after the snippets, the head of the removed ones, which
// the same tail ends.
void AppendHistoryRecordHead(QByteArray& out, const Snippet& snippet, bool first, bool removed);
void AppendJsonVersion(QByteArray& out, const Version& version, bool first);
inline void AppendHistoryRecordTail(QByteArray& out) {
    out += "]}";
}
QByteArray JsonRemovedHead(bool noSnippets);
// The whole file, with or without the history.
QByteArray SnippetsToJson(const QList<Snippet>& snippets, const QList<Snippet>& removed,
                          bool withHistory);

// A version's time as an export writes it, ISO 8601 in UTC to the millisecond; and back, in ms
// since 1970, none for text that is no time with its zone.
QByteArray JsonTime(qint64 ms);
std::optional<qint64> TimeFrom(const QString& text);
// A version read from a file of the program's other than the streamed export (the history
// of a folder tree); where names it in a message. Throws BadInput.
Version VersionFromJson(const QJsonValue& value, const QString& where);

// The whole number value holds, any 64-bit one exactly; nullopt for anything else.
std::optional<qint64> WholeNumber(const QJsonValue& value);

// value as a JSON string or null, appended to out.
void AppendJson(QByteArray& out, const Text& value);

// A file of the program's: {"format": format, "version": 1, "snippets": [records]}, each
// record (a JSON object) on a line of its own.
QByteArray JsonListFile(const QString& format, const QByteArrayList& records);

// The snippets of Visual Studio Code's JSON file at path (bytes are its content), which gives
// the language by its name (python.json) or each snippet's scope; the program's own export is
// read by StreamJsonExport. Throws BadInput naming what is wrong and where.
QList<Snippet> ReadVsCodeSnippets(const QString& path, const QByteArray& bytes);

// The object at the root of JSON text that may hold comments and trailing commas; throws
// BadInput for anything else.
QJsonObject ParseJsonObject(const QString& path, const QByteArray& bytes);

// text with its comments and trailing commas turned into blanks, as Visual Studio Code
// allows them, strings left alone.
QByteArray StripJsonComments(QByteArray text);

} // namespace varozidi::transfer

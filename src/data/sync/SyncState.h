// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What this machine last brought in step, for each snippet: the collection's row and version,
// and the folder's record and the stamps of its files. The base of the next sync's
// three-way comparison; kept in the state folder, one file per folder and collection.

#include "data/sync/SyncFolder.h"

namespace varozidi::sync {

struct Entry {
    qint64 id = 0;
    QString rowVersion;
    Record record;
    Stamp body;
    Stamp recordStamp;
    // The hashes of the bodies it had before, latest first: a folder holding one of those
    // holds an older text, not a change.
    QStringList earlier;
    // Likewise its titles and languages, each as "=text" (empty: none).
    QStringList earlierTitles;
    QStringList earlierLanguages;
};

inline constexpr qsizetype kEarlierKept = 16;

struct State {
    QHash<QString, Entry> entries; // by uid
    // The record folder as the pass that left this found it, where that pass wrote none.
    Stamp recordFolder;
    // Where the pass that left this found both sides in step and changed nothing: the
    // collection's change mark, and the folder's own stamp ("") and its languages' folders'.
    QString collectionMark;
    QHash<QString, Stamp> folders;
    // Records in the record folder that are no entry (removed, merged, or waiting for their
    // body): read again by a scan that trusts the record folder.
    QStringList others;
};

QString StatePath(const QString& folder, const QString& collectionIdentity);
// StatePath of the folder as the file system names it (links resolved), so that each spelling
// of one folder finds the one state.
QString StateFor(const QString& folder, const QString& collectionIdentity);
// A missing file is an empty state; a damaged one too, which a sync then merges as a union,
// losing nothing.
State LoadState(const QString& path);
// The file itself, never the copy LoadState keeps of what this process read or wrote last.
State ReadState(const QString& path);
void SaveState(const QString& path, const State& state);

} // namespace varozidi::sync

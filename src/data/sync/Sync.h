// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Keeping the collection and a sync folder (see SyncFolder.h) in step, in both directions.
// Each pass compares both sides with what the last pass left (see SyncState.h): a side that
// changed is carried to the other; when both changed a snippet differently, the collection's
// text stays and the folder's becomes a snippet of its own, titled "... (conflict ...)", so
// that neither is lost. A removal travels unless the other side changed the snippet since,
// which then comes back with its change.

#include "data/core/Errors.h"

#include <QString>
#include <QStringList>

class TADOConnection;

namespace varozidi::sync {

struct Counts {
    int added = 0;
    int changed = 0;
    int removed = 0;
    bool any() const { return added || changed || removed; }
};

struct Report {
    Counts intoCollection;
    Counts intoFolder;
    QStringList conflicts; // one line each, naming the snippet and where its other text went
    QStringList notes;     // what was left for the next pass, and why
    bool again = false;    // a pass in a few seconds finds more to do
    bool failed = false;   // something could not be written (a full disk): among the notes
    bool changedAnything() const {
        return intoCollection.any() || intoFolder.any() || !conflicts.isEmpty();
    }
};

// Another pass of this folder and collection is running, and waiting for it took too long.
class SyncBusy : public Error {
public:
    using Error::Error;
};

// One pass over the open connection's collection and folder, after waiting up to waitMs for
// another to end. Throws varozidi::Error, with nothing lost: what a pass did not finish, the
// next one does.
Report SyncOnce(TADOConnection& connection, const QString& folder, int waitMs = 60000);

// The folder the settings' [SYNC] Folder entry names in dataDir, empty for none; a new one,
// or none (empty) to stop syncing.
QString ChosenFolder(const QString& dataDir);
void ChooseFolder(const QString& dataDir, const QString& folder);

} // namespace varozidi::sync

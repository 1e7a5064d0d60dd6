// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Every earlier version of each snippet, kept by the database itself: triggers on the snippet
// table copy a row into the history table before an update or a removal changes it, so that
// every program's writes are kept, this one's or another's. What both engines share.

#include <QByteArray>
#include <QString>
#include <optional>

namespace varozidi::history {

// The table the triggers fill.
inline const QString kTable = QStringLiteral("varozidi_history");

// Why a version was kept: what the change that followed it changed.
inline const QString kBody = QStringLiteral("body");
inline const QString kTitle = QStringLiteral("title");
inline const QString kLanguage = QStringLiteral("language");
inline const QString kRemoved = QStringLiteral("removed");
inline const QString kRestore = QStringLiteral("restore");

// Whether kind is one of those above.
inline bool IsKind(QStringView kind) {
    for (const QString* known : {&kBody, &kTitle, &kLanguage, &kRemoved, &kRestore})
        if (kind == *known)
            return true;
    return false;
}

// One version as it was before a change, or a snippet removed, without its body.
struct KeptVersion {
    qint64 id = 0;        // the snippet's ID
    qint64 version = 0;   // the version's own number, unique in the collection
    qint64 changedMs = 0; // when it was replaced, in ms since 1970 (UTC)
    QString kind;         // one of the kinds above
    std::optional<QString> language;
    std::optional<QString> title;
    qint64 bodySize = 0; // in bytes as stored
};

// One row of the history whole: its texts as the bytes stored, none for NULL.
struct StoredVersion {
    qint64 version = 0;
    qint64 id = 0;
    std::optional<QByteArray> language;
    std::optional<QByteArray> title;
    std::optional<QByteArray> body;
    qint64 changedMs = 0;
    QString kind;
};

// How long versions are kept: each for days, and the last versions of each snippet for ever;
// a removal is the last version of its snippet, so a removed snippet is kept at least as long.
struct Retention {
    int days = 90;
    int versions = 20;
    // False where the settings could not be read or an entry was not understood: the
    // collection then keeps the limits it has, or keeps everything, but never prunes by a
    // guess. A number past the largest allowed counts as the largest.
    bool settled = true;
    // False where no entry of the settings named that limit: its default then never keeps
    // less than the collection kept before (its settings may be lost or damaged).
    bool daysChosen = true;
    bool versionsChosen = true;
    bool operator==(const Retention&) const = default;
};

// The most any setting can ask to keep.
Retention KeepingMost();

// The [HISTORY] section of the settings file at path (KeepDays, KeepVersions); a missing
// entry keeps the default.
Retention RetentionFrom(const QString& settingsFile);
// The settings beside a collection file: the data folder's, for the usual collection.
Retention RetentionBeside(const QString& databaseFile);
// The settings of the user's own data folder, for a collection on a server.
Retention RetentionOfUser();

// Written into the triggers, so that a change of the settings makes them anew.
QString RetentionMark(const Retention& keep);
// keep, with each limit the settings did not name at least the one whose mark is in the
// engine's trigger text (empty where it has none).
Retention AtLeastAsKept(const Retention& keep, const QString& triggerText);

} // namespace varozidi::history

// SPDX-License-Identifier: GPL-3.0-or-later
// sync: the collection and a folder that Git, Syncthing or Nextcloud carry, kept in step.

#include "Cli.h"

#include "data/sync/Sync.h"
#include "data/sync/SyncFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

namespace cli {

namespace {

QJsonObject countsJson(const varozidi::sync::Counts& c) {
    return {{QStringLiteral("added"), c.added},
            {QStringLiteral("changed"), c.changed},
            {QStringLiteral("removed"), c.removed}};
}

QString countsText(const varozidi::sync::Counts& c) {
    return QStringLiteral("%1 added, %2 changed, %3 removed")
        .arg(c.added)
        .arg(c.changed)
        .arg(c.removed);
}

QString chosenFolder(Context& c) {
    if (!c.options.contains(QStringLiteral("--folder"))) {
        const QString folder = varozidi::sync::ChosenFolder(c.dataDir());
        if (folder.isEmpty())
            throw UserError(QStringLiteral("No sync folder is chosen; 'varozidi-cli sync --folder "
                                           "DIR' chooses one."));
        return folder;
    }
    const QString given = c.options.value(QStringLiteral("--folder"));
    if (given.trimmed().isEmpty())
        throw UserError(QStringLiteral("Which folder should the collection sync with? The name "
                                       "given is empty."));
    const QFileInfo info(given);
    if (info.exists() && !info.isDir())
        throw UserError(QStringLiteral("\"%1\" is not a folder.").arg(given));
    if (!info.exists() && !QDir().mkpath(info.absoluteFilePath()))
        throw UserError(QStringLiteral("Cannot make the folder \"%1\".").arg(given));
    if (varozidi::sync::HoldsOtherFiles(info.absoluteFilePath()))
        throw UserError(QStringLiteral("\"%1\" holds files but no sync records; choose an empty "
                                       "folder, or one that another machine syncs with.")
                            .arg(given));
    const QString folder = QDir::cleanPath(info.absoluteFilePath());
    varozidi::sync::ChooseFolder(c.dataDir(), folder);
    return folder;
}

} // namespace

int Sync(Context& c) {
    if (c.options.contains(QStringLiteral("--stop"))) {
        if (c.options.contains(QStringLiteral("--folder")))
            throw UserError(QStringLiteral("--stop and --folder go apart: stop, or choose a "
                                           "folder."));
        const QString was = varozidi::sync::ChosenFolder(c.dataDir());
        varozidi::sync::ChooseFolder(c.dataDir(), QString());
        if (c.json)
            c.printJson(QJsonObject{{QStringLiteral("stopped"), was}});
        else
            c.print(was.isEmpty() ? QStringLiteral("No folder was synced.\n")
                                  : QStringLiteral("No longer syncing with \"%1\"; its files "
                                                   "stay as they are.\n")
                                        .arg(was));
        return kDone;
    }
    const QString folder = chosenFolder(c);
    c.searchIndexWhenNeeded = true;
    const varozidi::sync::Report report = varozidi::sync::SyncOnce(c.connection(), folder);
    if (report.changedAnything())
        c.changed();
    if (c.json) {
        c.printJson(
            QJsonObject{{QStringLiteral("folder"), folder},
                        {QStringLiteral("intoCollection"), countsJson(report.intoCollection)},
                        {QStringLiteral("intoFolder"), countsJson(report.intoFolder)},
                        {QStringLiteral("conflicts"), QJsonArray::fromStringList(report.conflicts)},
                        {QStringLiteral("notes"), QJsonArray::fromStringList(report.notes)}});
        return report.failed ? kFailure : kDone;
    }
    QString text =
        QStringLiteral("Synced with \"%1\".\ninto the collection: %2\ninto the "
                       "folder: %3\n")
            .arg(folder, countsText(report.intoCollection), countsText(report.intoFolder));
    for (const QString& conflict : report.conflicts)
        text += QStringLiteral("conflict: ") + OneLine(conflict) + u'\n';
    for (const QString& note : report.notes)
        text += QStringLiteral("note: ") + OneLine(note) + u'\n';
    c.print(text);
    // What was written stays; what could not be is said in the notes, and the next sync
    // tries again.
    return report.failed ? kFailure : kDone;
}

} // namespace cli

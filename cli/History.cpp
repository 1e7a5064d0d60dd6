// SPDX-License-Identifier: GPL-3.0-or-later
// The commands over the versions the collection keeps: history, show --version, removed,
// undelete.

#include "Cli.h"

#include "data/collection/Collection.h"
#include "data/core/SysUtils.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimeZone>

namespace cli {

namespace {

using varozidi::history::KeptVersion;

qint64 numberOf(const QString& text, const char* what) {
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    if (!ok)
        throw UserError(
            QStringLiteral("'%1' is not a %2 (a whole number).").arg(text, QLatin1String(what)));
    return number;
}

QString timeOf(qint64 ms, Qt::TimeSpec zone) {
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc());
    return zone == Qt::UTC ? time.toString(Qt::ISODateWithMs)
                           : time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QJsonValue text(const std::optional<QString>& value) {
    return value ? QJsonValue(*value) : QJsonValue();
}

QJsonObject versionRecord(const KeptVersion& v) {
    return {{QStringLiteral("id"), v.id},
            {QStringLiteral("version"), v.version},
            {QStringLiteral("time"), timeOf(v.changedMs, Qt::UTC)},
            {QStringLiteral("kind"), v.kind},
            {QStringLiteral("language"), text(v.language)},
            {QStringLiteral("title"), text(v.title)},
            {QStringLiteral("size"), v.bodySize}};
}

void printVersions(Context& c, const QList<KeptVersion>& versions, bool withId) {
    QJsonArray records;
    QList<QStringList> rows;
    for (const KeptVersion& v : versions) {
        records.append(versionRecord(v));
        QStringList row{QString::number(v.version),
                        timeOf(v.changedMs, Qt::LocalTime),
                        v.kind,
                        QString::number(v.bodySize),
                        OneLine(v.language.value_or(QString())),
                        OneLine(v.title.value_or(QString()))};
        if (withId)
            row.prepend(QString::number(v.id));
        rows.append(row);
    }
    c.json ? c.printJson(records) : c.print(Aligned(rows));
}

} // namespace

int History(Context& c) {
    const qint64 id = numberOf(c.args[0], "snippet ID");
    varozidi::Collection& collection = c.collection();
    const QList<KeptVersion> versions = collection.versions(id);
    if (versions.isEmpty() && !collection.read(id))
        throw UserError(
            QStringLiteral("No snippet has the ID %1, and no version of one is kept.").arg(id));
    printVersions(c, versions, false);
    return kDone;
}

int ShowVersion(Context& c, qint64 id) {
    const qint64 version = numberOf(c.options.value(QStringLiteral("--version")), "version number");
    varozidi::Collection& collection = c.collection();
    const auto body = collection.versionBody(id, version);
    if (!body)
        throw UserError(QStringLiteral("There is no version %1 of snippet %2; '%3 history %2' "
                                       "lists them.")
                            .arg(version)
                            .arg(id)
                            .arg(QStringLiteral("varozidi-cli")));
    if (!c.json) {
        c.write(*body);
        return kDone;
    }
    const auto utf8 = ExactUtf8(*body);
    if (!utf8)
        throw varozidi::Error(QStringLiteral("Version %1 of snippet %2 has a body that is not "
                                             "UTF-8 text, which JSON cannot hold unchanged; "
                                             "without --json it is written as stored.")
                                  .arg(version)
                                  .arg(id));
    for (const KeptVersion& v : collection.versions(id))
        if (v.version == version) {
            QJsonObject record = versionRecord(v);
            record.insert(QStringLiteral("body"), *utf8);
            c.printJson(record);
        }
    return kDone;
}

int Removed(Context& c) {
    printVersions(c, c.collection().removed(), true);
    return kDone;
}

int Undelete(Context& c) {
    const qint64 id = numberOf(c.args[0], "snippet ID");
    varozidi::Collection& collection = c.collection();
    const auto kept = [&] {
        const QList<KeptVersion> removed = collection.removed();
        return std::any_of(removed.cbegin(), removed.cend(),
                           [id](const KeptVersion& v) { return v.id == id; });
    };
    const UserError notKept(QStringLiteral("Snippet %1 is not among the removed snippets kept; "
                                           "'varozidi-cli removed' lists them.")
                                .arg(id));
    if (!kept())
        throw notKept;
    qint64 back = 0;
    try {
        back = collection.undelete(id);
    } catch (const varozidi::DiskError&) {
        throw;
    } catch (const varozidi::AfterChangeError&) {
        throw;
    } catch (const varozidi::Error&) {
        // Another run brought it back in between: the same answer as had it come first.
        if (!kept())
            throw notKept;
        throw;
    }
    c.changed();
    if (c.json)
        c.printJson(QJsonObject{{QStringLiteral("id"), back}, {QStringLiteral("was"), id}});
    else
        c.print(QString::number(back) + u'\n');
    return kDone;
}

} // namespace cli

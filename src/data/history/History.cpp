// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/history/History.h"

#include "data/files/DataPath.h"
#include "data/files/IniFile.h"

#include <QFileInfo>

namespace varozidi::history {

namespace {

// Past this, a number is surely a typing error; the default is safer than a huge limit.
constexpr int kMaxDays = 100 * 366;
constexpr int kMaxVersions = 100000;

int bounded(int value, int fallback, int max) {
    return value < 0 || value > max ? fallback : value;
}

} // namespace

bool IsKind(QStringView kind) {
    for (const QString* known : {&kBody, &kTitle, &kLanguage, &kRemoved, &kRestore})
        if (kind == *known)
            return true;
    return false;
}

Retention RetentionFrom(const QString& settingsFile) {
    const TIniFile ini(settingsFile);
    const Retention fallback;
    const QString section = QStringLiteral("HISTORY");
    return {bounded(ini.ReadInteger(section, QStringLiteral("KeepDays"), fallback.days),
                    fallback.days, kMaxDays),
            bounded(ini.ReadInteger(section, QStringLiteral("KeepVersions"), fallback.versions),
                    fallback.versions, kMaxVersions)};
}

Retention RetentionBeside(const QString& databaseFile) {
    return RetentionFrom(
        paths::Settings(QFileInfo(databaseFile).absolutePath() + QLatin1Char('/')));
}

Retention RetentionOfUser() {
    return RetentionFrom(paths::Settings(DataDirFor(GetAppDataFolder())));
}

QString RetentionMark(const Retention& keep) {
    return QStringLiteral("/* history: %1 days, %2 versions */").arg(keep.days).arg(keep.versions);
}

} // namespace varozidi::history

// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/history/History.h"

#include "data/files/DataPath.h"
#include "data/files/IniFile.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace varozidi::history {

namespace {

constexpr int kMaxDays = 100 * 366;
constexpr int kMaxVersions = 100000;

QString entry(const TIniFile& ini, const char* key) {
    return ini.ReadString(QStringLiteral("HISTORY"), QLatin1String(key), QString()).trimmed();
}

// A whole number, at most max; nothing where the entry is there but not one.
std::optional<int> limit(const QString& text, int fallback, int max) {
    if (text.isEmpty())
        return fallback;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (ok && value >= 0)
        return int(std::min<qlonglong>(value, max));
    // Digits past what a number holds still ask for a lot.
    const bool digits =
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); });
    return digits ? std::optional<int>(max) : std::nullopt;
}

} // namespace

Retention KeepingMost() {
    return {kMaxDays, kMaxVersions, true};
}

Retention RetentionFrom(const QString& settingsFile) {
    const TIniFile ini(settingsFile);
    Retention keep;
    const QString daysText = entry(ini, "KeepDays"), versionsText = entry(ini, "KeepVersions");
    const std::optional<int> days = limit(daysText, keep.days, kMaxDays);
    const std::optional<int> versions = limit(versionsText, keep.versions, kMaxVersions);
    if (!ini.Unread().isEmpty() || !days || !versions)
        return {days.value_or(kMaxDays), versions.value_or(kMaxVersions), false};
    return {*days, *versions, true, !daysText.isEmpty(), !versionsText.isEmpty()};
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

Retention AtLeastAsKept(const Retention& keep, const QString& triggerText) {
    static const QRegularExpression mark(
        QStringLiteral(R"(/\* history: (\d+) days, (\d+) versions \*/)"));
    const QRegularExpressionMatch kept = mark.match(triggerText);
    if (!keep.settled || !kept.hasMatch())
        return keep;
    Retention most = keep;
    if (!keep.daysChosen)
        most.days = std::max(keep.days, std::min(kept.captured(1).toInt(), kMaxDays));
    if (!keep.versionsChosen)
        most.versions = std::max(keep.versions, std::min(kept.captured(2).toInt(), kMaxVersions));
    return most;
}

} // namespace varozidi::history

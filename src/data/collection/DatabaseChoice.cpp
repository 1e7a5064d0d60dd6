// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/collection/DatabaseChoice.h"

#include "data/files/DataPath.h"
#include "data/files/IniFile.h"
#include "data/store/AdoConnectionString.h"

QString DatabaseArgument(const QStringList& arguments) {
    const QString option = QStringLiteral("--database");
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == option && i + 1 < arguments.size())
            return arguments[i + 1];
        if (arguments[i].startsWith(option + u'='))
            return arguments[i].mid(option.size() + 1);
    }
    return {};
}

QString CollectionConnectionString(const QString& dataDir, const QString& databaseArgument) {
    QString uri = databaseArgument.trimmed();
    if (uri.isEmpty())
        uri = TIniFile(varozidi::paths::Settings(dataDir))
                  .ReadString(QStringLiteral("DATABASE"), QStringLiteral("URI"), {})
                  .trimmed();
    if (uri.isEmpty())
        return varozidi::ado::jetConnectionString(varozidi::paths::Database(dataDir));
    // Anything else than a server address is refused, with the reason, when it is opened.
    return varozidi::ado::serverConnectionString(uri);
}

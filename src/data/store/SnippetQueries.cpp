// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/SnippetQueries.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/store/ADODB.h"

#include <QSet>

QStringList DistinctLanguages(TADOTable& table) {
    // The language index answers without reading the rows, and leaves the cursor alone. A
    // table it cannot read so (one without row numbers) is read below, which says why not.
    if (TADOConnection* connection = table.Connection()) {
        connection->Open();
        try {
            if (auto languages = connection->collection()->languages(table.TableName()))
                return *languages;
        } catch (const varozidi::Error&) {
        }
    }
    table.Open();
    table.setFiltered(false);
    table.First();
    // A set keeps this linear on large collections.
    QStringList languages;
    QSet<QString> listed;
    while (!table.Eof()) {
        const QString language = table.FieldByName(QStringLiteral("Language")).AsString();
        if (!listed.contains(language.toCaseFolded())) {
            listed.insert(language.toCaseFolded());
            languages.append(language);
        }
        table.Next();
    }
    return languages;
}

QString IdFilter(qint64 id) {
    return QStringLiteral("ID = ") + QuotedStr(IntToStr(id));
}

void OpenFiltered(TADOTable& table, const QString& filter) {
    table.setFilter(filter);
    table.setFiltered(true);
    table.Open();
}

void CloseUnfiltered(TADOTable& table) {
    table.Close();
    table.setFiltered(false);
}

#include "SnippetQueries.h"

#include "platform/ADODB.h"

#include <QSet>

QStringList DistinctLanguages(TADOTable& table) {
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

// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/AdoConnectionString.h"

#include "data/core/Errors.h"

namespace varozidi::ado {

std::map<QString, QString> parseConnectionString(const QString& s) {
    auto fail = [&s](const QString& why) {
        throw Error(QStringLiteral("The connection string \"%1\" is not valid: %2.").arg(s, why));
    };
    std::map<QString, QString> pairs;
    const qsizetype n = s.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype eq = s.indexOf(u'=', i);
        const qsizetype semi = s.indexOf(u';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            const qsizetype end = semi < 0 ? n : semi;
            if (!s.mid(i, end - i).trimmed().isEmpty())
                fail(QStringLiteral("\"%1\" has no '='").arg(s.mid(i, end - i).trimmed()));
            i = end + 1;
            continue;
        }
        const QString key = s.mid(i, eq - i).trimmed().toLower();
        if (key.isEmpty())
            fail(QStringLiteral("a name is missing before '=' at position %1").arg(eq + 1));
        i = eq + 1;
        while (i < n && s[i].isSpace())
            ++i;
        QString value;
        if (i < n && (s[i] == u'"' || s[i] == u'\'')) {
            const QChar quote = s[i++];
            bool closed = false;
            while (i < n) {
                if (s[i] == quote) {
                    if (i + 1 < n && s[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += s[i++];
            }
            if (!closed)
                fail(QStringLiteral("the value of \"%1\" has no closing quote").arg(key));
            while (i < n && s[i].isSpace())
                ++i;
            if (i < n && s[i] != u';')
                fail(QStringLiteral("text follows the quoted value of \"%1\"").arg(key));
            ++i;
        } else {
            const qsizetype end = semi < 0 ? n : semi;
            value = s.mid(i, end - i).trimmed();
            i = end + 1;
        }
        pairs[key] = value;
    }
    return pairs;
}

namespace {

// A value holding the separator or a quote, starting with one, or with blanks at an end
// (which an unquoted value loses) goes in quotes.
QString quotedValue(const QString& value) {
    const bool plain = !value.contains(u';') && !value.contains(u'"') && !value.startsWith(u'\'') &&
                       value.trimmed() == value;
    return plain ? value : u'"' + QString(value).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

} // namespace

QString jetConnectionString(const QString& path) {
    return QStringLiteral("Provider=Microsoft.JET.OLEDB.4.0;Data Source=") + quotedValue(path) +
           QStringLiteral(";Persist Security Info=False;");
}

QString serverConnectionString(const QString& uri) {
    return QStringLiteral("Provider=PostgreSQL;Data Source=") + quotedValue(uri) + u';';
}

} // namespace varozidi::ado

#pragma once

#include <QString>

// s in single quotes with every inner single quote doubled: O'Neil -> 'O''Neil'.
inline QString QuotedStr(const QString& s) {
    return u'\'' + QString(s).replace(u'\'', QStringLiteral("''")) + u'\'';
}

inline QString IntToStr(qint64 n) {
    return QString::number(n);
}

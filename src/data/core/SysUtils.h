// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <optional>

// s in single quotes with every inner single quote doubled: O'Neil -> 'O''Neil'.
inline QString QuotedStr(const QString& s) {
    return u'\'' + QString(s).replace(u'\'', QStringLiteral("''")) + u'\'';
}

inline QString IntToStr(qint64 n) {
    return QString::number(n);
}

// bytes as text exactly, a leading byte order mark included (QString::fromUtf8 drops it);
// nullopt when they are not UTF-8, which no text could give back unchanged.
inline std::optional<QString> ExactUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    // A sequence cut short at the end shows as an error once anything follows it.
    const QString after = decoder.decode(QByteArrayView("x"));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

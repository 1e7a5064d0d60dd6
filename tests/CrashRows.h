// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the crash harness's writers store: every row carries a tag, and its title and body are
// made from that tag alone, so a row read back after a kill shows at once whether it is one
// whole write (old or new) or a mix of two.

#include <QString>

namespace crashrows {

inline QString titleFor(qint64 tag) {
    return QStringLiteral("T%1").arg(tag);
}

// Long enough that a write spans many pages of the file.
inline QString bodyFor(qint64 tag) {
    const QString line = QStringLiteral("tag %1 line of text for the harness\n").arg(tag);
    return QString::number(tag) + u'|' + line.repeated(200 + int(tag % 13) * 150);
}

// The tag a body was made from, or -1 when it is no body made here.
inline qint64 tagOf(const QString& body) {
    bool ok = false;
    const qint64 tag = body.section(u'|', 0, 0).toLongLong(&ok);
    return ok && body == bodyFor(tag) ? tag : -1;
}

// An editor's text made from a tag: large, so that keeping it takes a while.
inline QString recordFor(qint64 tag) {
    return bodyFor(tag).repeated(6);
}

} // namespace crashrows

// SPDX-License-Identifier: GPL-3.0-or-later
// The sync folder's names, and the settling of two records of one snippet: what every machine
// decides the same way.
#include "data/sync/SyncFolder.h"

#include "data/transfer/Names.h"

#include <QRegularExpression>

namespace varozidi::sync {

namespace {

constexpr qsizetype kLanguageBytes = 100;
constexpr qsizetype kTitleBytes = 120;

QString languageFolder(const transfer::Text& language) {
    return transfer::SafeFileName(language.value_or(QString()), kLanguageBytes,
                                  QStringLiteral("No language"));
}

// A title that would read as a sync engine's file on its way or its conflict copy is
// spelled so that it does not.
QString titleStem(const transfer::Text& title) {
    QString stem =
        transfer::SafeFileName(title.value_or(QString()), kTitleBytes, QStringLiteral("Untitled"));
    stem.replace(QLatin1String(".sync-conflict-"), QLatin1String(".sync_conflict-"));
    stem.replace(QLatin1String("conflicted copy"), QLatin1String("conflicted_copy"));
    if (stem.startsWith(u'~'))
        stem[0] = u'_';
    if (stem.endsWith(u'~'))
        stem[stem.size() - 1] = u'_';
    return stem;
}

} // namespace

Place PlaceFor(const transfer::Text& language) {
    return {languageFolder(language), u'.' + transfer::ExtensionFor(language.value_or(QString()))};
}

QString FileIn(const Place& place, const transfer::Text& title, const QSet<QString>& taken) {
    const QString stem = titleStem(title);
    QString file = place.folder + u'/' + stem + place.extension;
    for (int n = 2; taken.contains(file.toLower()); ++n)
        file = place.folder + u'/' + stem + QStringLiteral(" (%1)").arg(n) + place.extension;
    return file;
}

QString FileFor(const transfer::Text& language, const transfer::Text& title,
                const QSet<QString>& taken) {
    return FileIn(PlaceFor(language), title, taken);
}

bool FitsName(const QString& file, const transfer::Text& language, const transfer::Text& title) {
    const QString dir = languageFolder(language);
    const QString stem = titleStem(title);
    const QString ext = u'.' + transfer::ExtensionFor(language.value_or(QString()));
    if (!file.startsWith(dir + u'/') || !file.endsWith(ext))
        return false;
    const QString name = file.mid(dir.size() + 1).chopped(ext.size());
    if (name == stem)
        return true;
    static const QRegularExpression numbered(QStringLiteral("^(.*) \\([0-9]+\\)$"));
    const auto m = numbered.match(name);
    return m.hasMatch() && m.captured(1) == stem;
}

std::pair<transfer::Text, transfer::Text> NamedBy(const QString& file) {
    const qsizetype slash = file.indexOf(u'/');
    QString title = file.mid(slash + 1);
    const qsizetype dot = title.lastIndexOf(u'.');
    if (dot > 0)
        title.truncate(dot);
    return {file.left(slash), title};
}

bool Stays(const Record& a, bool aHasPast, const Record& b, bool bHasPast) {
    const auto named = [](const Record& r) {
        return NamedBy(r.file) == std::pair{r.language, r.title};
    };
    if (named(a) != named(b))
        return named(b);
    if (aHasPast != bHasPast)
        return aHasPast;
    return a.uid < b.uid;
}

Lineage Joined(const Record& a, const Lineage& la, const Record& b, const Lineage& lb) {
    const auto join = [](QStringList list, const QStringList& more, const QString& x,
                         const QString& y) {
        list += more;
        list << x << y;
        list.sort();
        list.removeDuplicates();
        return list;
    };
    return {join(la.hashes, lb.hashes, a.hash, b.hash),
            join(la.titles, lb.titles, keyOf(a.title), keyOf(b.title)),
            join(la.languages, lb.languages, keyOf(a.language), keyOf(b.language))};
}

Record Settle(const Record& a, const Lineage& la, const Record& b, const Lineage& lb, bool* apart) {
    // 1: a's, 2: b's, 0: both changed it.
    const auto newer = [](const QString& ka, const QStringList& earlierA, const QString& kb,
                          const QStringList& earlierB) {
        return ka == kb || earlierA.contains(kb) ? 1 : earlierB.contains(ka) ? 2 : 0;
    };
    const auto settle = [](int side, const auto& va, const auto& vb) {
        return side == 1 ? va : side == 2 ? vb : (vb < va ? vb : va);
    };
    Record r = a;
    const int title = newer(keyOf(a.title), la.titles, keyOf(b.title), lb.titles);
    const int language = newer(keyOf(a.language), la.languages, keyOf(b.language), lb.languages);
    const int body = newer(a.hash, la.hashes, b.hash, lb.hashes);
    r.title = settle(title, a.title, b.title);
    r.language = settle(language, a.language, b.language);
    r.hash = settle(body, a.hash, b.hash);
    r.file = r.hash != a.hash ? b.file : r.hash != b.hash || r.title == a.title ? a.file : b.file;
    r.removed = a.removed && b.removed; // a removal that met a change: the change
    r.mergedInto = a.mergedInto == b.mergedInto ? a.mergedInto : QString();
    if (apart)
        *apart = body == 0;
    return r;
}

std::optional<std::pair<QByteArray, QByteArray>> GitConflictSides(const QByteArray& body) {
    if (!body.startsWith("<<<<<<< ") && !body.contains("\n<<<<<<< "))
        return std::nullopt;
    enum class In { Both, Ours, Base, Theirs } in = In::Both;
    QByteArray ours, theirs;
    qsizetype at = 0;
    while (at < body.size()) {
        qsizetype end = body.indexOf('\n', at);
        end = end < 0 ? body.size() : end + 1;
        const QByteArrayView line(body.constData() + at, end - at);
        at = end;
        if (in == In::Both && line.startsWith("<<<<<<< "))
            in = In::Ours;
        else if (in == In::Ours && line.startsWith("||||||| "))
            in = In::Base;
        else if ((in == In::Ours || in == In::Base) && line.startsWith("=======") &&
                 line.trimmed() == "=======")
            in = In::Theirs;
        else if (in == In::Theirs && line.startsWith(">>>>>>> "))
            in = In::Both;
        else if (in == In::Both) {
            ours += line;
            theirs += line;
        } else if (in == In::Ours) {
            ours += line;
        } else if (in == In::Theirs) {
            theirs += line;
        }
    }
    // Markers that do not close: no side can be told apart, and the whole stays one text.
    if (in != In::Both)
        return std::pair{QByteArray(), body};
    return std::pair{ours, theirs};
}

} // namespace varozidi::sync

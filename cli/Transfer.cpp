// SPDX-License-Identifier: GPL-3.0-or-later
// export and import: every snippet out into a file or folder, snippets in from one.

#include "Cli.h"

#include "data/collection/Collection.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace cli {

namespace {

using namespace varozidi::transfer;

// A file or folder that cannot be read or written to is the user's to fix.
template <class F> auto asUserError(F&& step) {
    try {
        return step();
    } catch (const BadInput& e) {
        throw UserError(e.message());
    }
}

QJsonValue json(const Text& text) {
    return text ? QJsonValue(*text) : QJsonValue();
}

QString plain(const Text& text) {
    return text.value_or(QString());
}

QString counted(qsizetype n) {
    return n == 1 ? QStringLiteral("1 snippet") : QStringLiteral("%1 snippets").arg(n);
}

// Work done of all on standard error, with the time left, once the work has run for about a
// second; only where a person watches a terminal, never beside JSON.
class ProgressLine {
public:
    ProgressLine(const Context& c, const char* doing)
        : doing_(doing), shown_(!c.json && ::isatty(STDERR_FILENO)) {
        // Tests ask for it at once rather than make work that lasts a second.
        bool set = false;
        const int after = qEnvironmentVariableIntValue("VAROZIDI_PROGRESS_AFTER_MS", &set);
        if (set)
            afterMs_ = after;
        timer_.start();
    }
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // done of total units; doing names a later stage of the work, timed on its own.
    void operator()(qint64 done, qint64 total, const char* unit = "snippets",
                    const char* doing = nullptr) {
        const qint64 ms = timer_.elapsed();
        if (doing && doing != doing_) {
            doing_ = doing;
            stageAt_ = ms;
        }
        if (!shown_ || ms < afterMs_ || done == 0 ||
            (drawn_ && ms - drawnAt_ < kEveryMs && done < total))
            return;
        drawnAt_ = ms;
        drawn_ = true;
        const qint64 spent = ms - stageAt_;
        const qint64 left = done > 0 ? (spent * (total - done) / done + 999) / 1000 : 0;
        // Bytes are shown in megabytes.
        const qint64 scale = std::strcmp(unit, "MB") == 0 ? 1000000 : 1;
        std::fprintf(stderr, "\r%s %lld of %lld %s, about %lld s left\033[K", doing_,
                     static_cast<long long>(done / scale),
                     static_cast<long long>((total + scale - 1) / scale), unit,
                     static_cast<long long>(left));
        std::fflush(stderr);
    }
    // The line taken away, before anything else is written.
    void clear() {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

private:
    static constexpr qint64 kEveryMs = 100;
    const char* doing_;
    bool shown_;
    bool drawn_ = false;
    qint64 drawnAt_ = 0;
    qint64 stageAt_ = 0;
    qint64 afterMs_ = 1000;
    QElapsedTimer timer_;
};

} // namespace

int Export(Context& c) {
    const QString format = c.options.value(QStringLiteral("--format"), QStringLiteral("json"));
    if (format != u"json" && format != u"folder")
        throw UserError(
            QStringLiteral("There is no export format '%1'; use json or folder.").arg(format));
    varozidi::Collection& collection = c.collection();
    const ExportFormat as = format == u"folder" ? ExportFormat::Folder : ExportFormat::Json;
    const bool withHistory = c.options.contains(QStringLiteral("--with-history"));
    const qint64 exported = asUserError([&] {
        ProgressLine line(c, "Exported");
        return collection.exportTo(
            as, c.args[0], [&line](qint64 done, qint64 total) { line(done, total); }, withHistory);
    });
    c.changed();
    if (c.json)
        c.printJson(QJsonObject{{QStringLiteral("exported"), exported},
                                {QStringLiteral("path"), c.args[0]}});
    else
        c.print(QStringLiteral("%1 exported to %2.\n").arg(counted(exported), c.args[0]));
    return kDone;
}

namespace {

using EachAdded = std::function<void(qint64 id, const Text& language, const Text& title)>;
using ForEachAdded = std::function<void(const EachAdded&)>;

// What was added, a line (or a JSON record) a snippet, written out a piece at a time: an
// import of any size is listed without holding the list.
void listAdded(Context& c, const ForEachAdded& forEach, qint64 count, const QString& from,
               const QString& kind, const QString& kept, bool dryRun) {
    constexpr qsizetype kPiece = 1 << 16;
    QByteArray out;
    const auto flush = [&](bool always) {
        if (always || out.size() >= kPiece) {
            c.write(out);
            out.clear();
        }
    };
    if (c.json) {
        out += '[';
        bool first = true;
        forEach([&](qint64 id, const Text& language, const Text& title) {
            if (!first)
                out += ',';
            first = false;
            out += QJsonDocument(QJsonObject{{QStringLiteral("id"), id},
                                             {QStringLiteral("language"), json(language)},
                                             {QStringLiteral("title"), json(title)}})
                       .toJson(QJsonDocument::Compact);
            flush(false);
        });
        out += "]\n";
        flush(true);
        return;
    }
    // The columns' widths first, then the lines padded to them.
    qsizetype idWidth = 0;
    qsizetype languageWidth = 0;
    forEach([&](qint64 id, const Text& language, const Text&) {
        idWidth = std::max(idWidth, QString::number(id).size());
        languageWidth = std::max(languageWidth, OneLine(plain(language)).size());
    });
    forEach([&](qint64 id, const Text& language, const Text& title) {
        out += (QString::number(id).leftJustified(idWidth + 2) +
                OneLine(plain(language)).leftJustified(languageWidth + 2) + OneLine(plain(title)) +
                u'\n')
                   .toUtf8();
        flush(false);
    });
    out +=
        (dryRun
             ? QStringLiteral("%1 would be added from %2 (%3)%4; nothing was changed.\n")
                   .arg(counted(count), from, kind, kept)
             : QStringLiteral("%1 added from %2 (%3)%4.\n").arg(counted(count), from, kind, kept))
            .toUtf8();
    flush(true);
}

// ", with 3 earlier versions and 1 removed snippet", where the file held any.
QString historyBrought(const ImportedSnippets& list) {
    if (list.versions == 0 && list.removed == 0)
        return {};
    const QString versions = list.versions == 1
                                 ? QStringLiteral("1 earlier version")
                                 : QStringLiteral("%1 earlier versions").arg(list.versions);
    if (list.removed == 0)
        return QStringLiteral(", with ") + versions;
    return QStringLiteral(", with %1 and %2")
        .arg(versions, list.removed == 1 ? QStringLiteral("1 removed snippet")
                                         : QStringLiteral("%1 removed snippets").arg(list.removed));
}

} // namespace

int Import(Context& c) {
    const bool dryRun = c.options.contains(QStringLiteral("--dry-run"));
    varozidi::Collection& collection = c.collection();
    // Read and added in one step; nothing is added unless all of it is read.
    ProgressLine line(c, "Read");
    const varozidi::ImportHooks progress{
        [&line](qint64 done, qint64 total) { line(done, total, "MB"); },
        [&line](qint64 done, qint64 total) { line(done, total, "snippets", "Added"); }};
    asUserError([&] {
        collection.importFrom(c.args[0], dryRun, progress, [&](const ImportedSnippets& list) {
            line.clear();
            if (!dryRun)
                c.changed();
            listAdded(
                c, [&list](const EachAdded& each) { list.forEach(each); }, list.size(), c.args[0],
                list.kind, historyBrought(list), dryRun);
        });
    });
    return kDone;
}

} // namespace cli

// SPDX-License-Identifier: GPL-3.0-or-later
// export and import: every snippet out into a file or folder, snippets in from one.

#include "Cli.h"

#include "platform/ADODB.h"
#include "transfer/ServerTransfer.h"
#include "transfer/Transfer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>
#include <memory>
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

bool IsCollectionFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) &&
           file.read(16) == QByteArrayView("SQLite format 3\0", 16);
}

QString counted(qsizetype n) {
    return n == 1 ? QStringLiteral("1 snippet") : QStringLiteral("%1 snippets").arg(n);
}

// Snippets done of all on standard error, with the time left, once the work has run for about a
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
    ~ProgressLine() {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void operator()(qint64 done, qint64 total) {
        const qint64 ms = timer_.elapsed();
        if (!shown_ || ms < afterMs_ || (drawn_ && ms - drawnAt_ < kEveryMs && done < total))
            return;
        drawnAt_ = ms;
        drawn_ = true;
        const qint64 left = done > 0 ? (ms * (total - done) / done + 999) / 1000 : 0;
        std::fprintf(stderr, "\r%s %lld of %lld snippets, about %lld s left\033[K", doing_,
                     static_cast<long long>(done), static_cast<long long>(total),
                     static_cast<long long>(left));
        std::fflush(stderr);
    }

private:
    static constexpr qint64 kEveryMs = 100;
    const char* doing_;
    bool shown_;
    bool drawn_ = false;
    qint64 drawnAt_ = 0;
    qint64 afterMs_ = 1000;
    QElapsedTimer timer_;
};

} // namespace

int Export(Context& c) {
    const QString format = c.options.value(QStringLiteral("--format"), QStringLiteral("json"));
    if (format != u"json" && format != u"folder")
        throw UserError(
            QStringLiteral("There is no export format '%1'; use json or folder.").arg(format));
    TADOConnection& connection = c.connection();
    const ExportFormat as = format == u"folder" ? ExportFormat::Folder : ExportFormat::Json;
    const qint64 exported = asUserError([&] {
        if (!c.server()) {
            ProgressLine line(c, "Exported");
            return ExportCollection(connection.handle(), connection.DatabasePath(), as, c.args[0],
                                    [&line](qint64 done, qint64 total) { line(done, total); });
        }
        const QList<Snippet> snippets = ReadServerCollection(*c.server());
        ExportSnippets(snippets, as, c.args[0]);
        return qint64(snippets.size());
    });
    c.changed();
    if (c.json)
        c.printJson(QJsonObject{{QStringLiteral("exported"), exported},
                                {QStringLiteral("path"), c.args[0]}});
    else
        c.print(QStringLiteral("%1 exported to %2.\n").arg(counted(exported), c.args[0]));
    return kDone;
}

int Import(Context& c) {
    const bool dryRun = c.options.contains(QStringLiteral("--dry-run"));
    // All of it is read and checked before the collection is touched.
    TADOConnection& connection = c.connection();
    // A server is filled from the local collection file too, when it moves there.
    const Source source = asUserError([&] {
        return c.server() && IsCollectionFile(c.args[0])
                   ? Source{ReadCollectionFile(c.args[0]), QStringLiteral("a Varozidi collection")}
                   : ReadSnippetsFrom(c.args[0]);
    });
    const QList<qint64> ids =
        c.server()
            ? AddSnippetsToServer(*c.server(), source.snippets, dryRun)
            : AddSnippets(connection.handle(), connection.DatabasePath(), source.snippets, dryRun,
                          [line = std::make_shared<ProgressLine>(c, "Added")](
                              qint64 done, qint64 total) { (*line)(done, total); });
    if (!dryRun)
        c.changed();
    QJsonArray records;
    QList<QStringList> rows;
    for (qsizetype i = 0; i < ids.size(); ++i) {
        const Snippet& s = source.snippets[i];
        records.append(QJsonObject{{QStringLiteral("id"), ids[i]},
                                   {QStringLiteral("language"), json(s.language)},
                                   {QStringLiteral("title"), json(s.title)}});
        rows.append({QString::number(ids[i]), OneLine(plain(s.language)), OneLine(plain(s.title))});
    }
    if (c.json) {
        c.printJson(records);
        return kDone;
    }
    c.print(Aligned(rows));
    c.print(dryRun ? QStringLiteral("%1 would be added from %2 (%3); nothing was changed.\n")
                         .arg(counted(ids.size()), c.args[0], source.kind)
                   : QStringLiteral("%1 added from %2 (%3).\n")
                         .arg(counted(ids.size()), c.args[0], source.kind));
    return kDone;
}

} // namespace cli

// The commands of varozidi-cli, each reading and writing the snippets as the program does.

#include "Cli.h"

#include "SnippetQueries.h"
#include "platform/ADODB.h"
#include "platform/AdoStatement.h"
#include "platform/Files.h"
#include "platform/PgBackend.h"
#include "platform/PgSearch.h"
#include "platform/SearchIndex.h"
#include "platform/SysUtils.h"
#include "transfer/ServerTransfer.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryFile>
#include <climits>
#include <cstdio>
#include <sqlite3.h>

namespace cli {

namespace {

using varozidi::Error;

QString field(TADOTable& table, const char* name) {
    return table.FieldByName(QLatin1String(name)).AsString();
}

qint64 idOf(const QString& text) {
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (!ok)
        throw UserError(QStringLiteral("'%1' is not a snippet ID (a whole number).").arg(text));
    return id;
}

// Stands the cursor on the snippet with that ID.
TADOTable& snippet(Context& c, qint64 id) {
    TADOTable& table = c.table();
    table.setFilter(QStringLiteral("ID = ") + QuotedStr(IntToStr(id)));
    table.setFiltered(true);
    if (table.Eof())
        throw UserError(QStringLiteral("No snippet has the ID %1.").arg(id));
    return table;
}

QJsonObject record(TADOTable& table, bool withBody) {
    QJsonObject object{{QStringLiteral("id"), table.FieldByName(QStringLiteral("ID")).AsLargeInt()},
                       {QStringLiteral("language"), field(table, "Language")},
                       {QStringLiteral("title"), field(table, "Title")}};
    if (withBody) {
        const TField body = table.FieldByName(QStringLiteral("Body"));
        object.insert(QStringLiteral("body"), body.IsNull() ? QJsonValue() : body.AsString());
    }
    return object;
}

int languages(Context& c) {
    const QStringList names = DistinctLanguages(c.table());
    if (c.json)
        c.printJson(QJsonArray::fromStringList(names));
    else
        for (const QString& name : names)
            c.print(name + u'\n');
    return kDone;
}

int list(Context& c) {
    TADOTable& table = c.table();
    const auto language = c.options.constFind(QStringLiteral("--language"));
    if (language != c.options.cend())
        table.setFilter(QStringLiteral("Language = ") + QuotedStr(*language));
    table.setFiltered(language != c.options.cend());
    QJsonArray records;
    QList<QStringList> rows;
    for (table.First(); !table.Eof(); table.Next()) {
        const QJsonObject r = record(table, false);
        records.append(r);
        rows.append({QString::number(r[QStringLiteral("id")].toInteger()),
                     r[QStringLiteral("language")].toString(),
                     r[QStringLiteral("title")].toString()});
    }
    c.json ? c.printJson(records) : c.print(Aligned(rows));
    return kDone;
}

int show(Context& c) {
    TADOTable& table = snippet(c, idOf(c.args[0]));
    c.json ? c.printJson(record(table, true)) : c.write(field(table, "Body").toUtf8());
    return kDone;
}

int add(Context& c) {
    const QString language = c.options.value(QStringLiteral("--language"));
    const QString title = c.options.value(QStringLiteral("--title"));
    if (language.isEmpty() || title.isEmpty())
        throw UserError(QStringLiteral("A new snippet needs both --language and --title."));
    const QString body = QString::fromUtf8(c.input());
    TADOTable& table = c.table();
    table.Insert();
    table.FieldByName(QStringLiteral("Language")).setAsString(language);
    table.FieldByName(QStringLiteral("Title")).setAsString(title);
    table.FieldByName(QStringLiteral("Body")).setAsWideString(body);
    table.Post();
    if (c.json)
        c.printJson(record(table, false));
    else
        c.print(QString::number(table.FieldByName(QStringLiteral("ID")).AsLargeInt()) + u'\n');
    return kDone;
}

int edit(Context& c) {
    const qint64 id = idOf(c.args[0]);
    // All of the new body first: a run cut short while reading changes nothing, and the one
    // write that follows is whole or not at all.
    const QString body = QString::fromUtf8(c.input());
    TADOTable& table = snippet(c, id);
    table.Edit();
    table.FieldByName(QStringLiteral("Body")).setAsWideString(body);
    table.Post();
    if (c.json)
        c.printJson(record(table, false));
    return kDone;
}

int remove(Context& c) {
    TADOTable& table = snippet(c, idOf(c.args[0]));
    const QJsonObject removed = record(table, false);
    table.Delete();
    if (c.json)
        c.printJson(removed);
    return kDone;
}

int search(Context& c) {
    TADOConnection& connection = c.connection();
    const auto outcome =
        c.server() ? varozidi::search::FindOnServer(*c.server(), c.args[0], INT_MAX)
                   : varozidi::search::Find(connection.handle(), connection.DatabasePath(),
                                            c.args[0], INT_MAX);
    // The hits are whole either way, read row by row: a file that cannot be written now (read
    // only, or busy) still answers, and says its index stays damaged.
    QString unkept;
    if (outcome.indexFailed) {
        try {
            varozidi::search::RebuildIndex(connection.handle(), connection.DatabasePath());
        } catch (const varozidi::Error& e) {
            unkept = e.message();
        }
    }
    QJsonArray records;
    QList<QStringList> rows;
    for (const auto& hit : outcome.hits) {
        records.append(QJsonObject{{QStringLiteral("id"), hit.id},
                                   {QStringLiteral("language"), hit.language},
                                   {QStringLiteral("title"), hit.title},
                                   {QStringLiteral("line"), hit.line}});
        rows.append({QString::number(hit.id), hit.language, hit.title, hit.line.trimmed()});
    }
    c.json ? c.printJson(records) : c.print(Aligned(rows));
    if (!unkept.isEmpty()) {
        const QByteArray note = QStringLiteral("varozidi-cli: the search index is damaged and "
                                               "could not be rebuilt, so every snippet was read "
                                               "instead: %1\n")
                                    .arg(unkept)
                                    .toUtf8();
        std::fwrite(note.constData(), 1, std::size_t(note.size()), stderr);
    }
    return kDone;
}

// SQLite's online backup reads one consistent state, even while the program writes; the copy
// goes to a temporary file and is renamed into place whole.
int backup(Context& c) {
    const QFileInfo target(c.args[0]);
    if (!target.dir().exists())
        throw UserError(QStringLiteral("There is no folder \"%1\".").arg(target.path()));
    TADOConnection& connection = c.connection();
    if (c.server()) {
        varozidi::transfer::BackupServer(*c.server(), target.absoluteFilePath());
        return kDone;
    }
    // A FILE that is a link stays one: the copy replaces the file it points to.
    const QFileInfo destination(ReplacementTarget(
        target.absoluteFilePath(), QStringLiteral("back up to \"%1\"").arg(target.filePath())));
    const auto temp = TemporaryFileBeside(destination);
    sqlite3* copy = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(temp->fileName()).constData(), &copy,
                             SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_backup* job = sqlite3_backup_init(copy, "main", connection.handle(), "main");
        rc = job ? sqlite3_backup_step(job, -1) : sqlite3_errcode(copy);
        const int finished = job ? sqlite3_backup_finish(job) : SQLITE_OK;
        if (rc == SQLITE_DONE)
            rc = finished;
    }
    const QString why = QString::fromUtf8(sqlite3_errmsg(copy));
    sqlite3_close_v2(copy);
    if (rc != SQLITE_OK)
        throw Error(QStringLiteral("Cannot back up to \"%1\": %2.").arg(target.filePath(), why));
    if (std::rename(QFile::encodeName(temp->fileName()).constData(),
                    QFile::encodeName(destination.absoluteFilePath()).constData()) != 0)
        throw Error(
            QStringLiteral("Cannot put the backup in place as \"%1\".").arg(target.filePath()));
    temp->setAutoRemove(false);
    return kDone;
}

int check(Context& c) {
    TADOConnection& connection = c.connection();
    QStringList problems;
    QString index;
    if (c.server()) {
        // The server keeps its own data sound; a table it can read whole is what counts here.
        c.server()->exec(QStringLiteral("SELECT count(\"Body\") FROM varozidi"), {},
                         QStringLiteral("check the database"));
        problems.append(QStringLiteral("ok"));
        index = varozidi::search::CheckServerIndex(*c.server());
    } else {
        varozidi::ado::Statement integrity(connection.handle(), connection.DatabasePath(),
                                           QStringLiteral("PRAGMA integrity_check"),
                                           QStringLiteral("check the database"));
        while (integrity.step())
            problems.append(integrity.value(0).toString());
        index = varozidi::search::CheckIndex(connection.handle(), connection.DatabasePath());
    }
    const QString database = problems.join(QStringLiteral("; "));
    const bool ok = database == u"ok" && index == u"ok";
    if (c.json)
        c.printJson(QJsonObject{{QStringLiteral("database"), database},
                                {QStringLiteral("searchIndex"), index},
                                {QStringLiteral("ok"), ok}});
    else
        c.print(QStringLiteral("database: %1\nsearch index: %2\n%3\n")
                    .arg(database, index,
                         ok ? QStringLiteral("The collection is sound.")
                            : QStringLiteral("The collection has problems (see above).")));
    return ok ? kDone : kFailure;
}

} // namespace

const QList<Command>& Commands() {
    static const QList<Command> commands{
        {QStringLiteral("languages"),
         QString(),
         QStringLiteral("the language list, as the program shows it"),
         QString(),
         {},
         0,
         languages},
        {QStringLiteral("list"),
         QString(),
         QStringLiteral("ID, language and title of each snippet"),
         QStringLiteral("With --language, only the snippets of that language (letter case "
                        "ignored)."),
         {QStringLiteral("--language L")},
         0,
         list},
        {QStringLiteral("show"),
         QStringLiteral("ID"),
         QStringLiteral("the body of a snippet, byte for byte as stored"),
         QStringLiteral("No line break is added after it."),
         {},
         1,
         show},
        {QStringLiteral("add"),
         QStringLiteral("--language L --title T"),
         QStringLiteral("a new snippet with its body from standard input; prints its ID"),
         QStringLiteral("Example: %1 add --language SQL --title 'Top 10' < top10.sql")
             .arg(QStringLiteral("varozidi-cli")),
         {QStringLiteral("--language L"), QStringLiteral("--title T")},
         0,
         add},
        {QStringLiteral("edit"),
         QStringLiteral("ID"),
         QStringLiteral("replaces a snippet's body with standard input"),
         QStringLiteral("The body is replaced in one step: stopped at any moment, the snippet "
                        "keeps its old body or has the whole new one."),
         {},
         1,
         edit},
        {QStringLiteral("remove"),
         QStringLiteral("ID"),
         QStringLiteral("deletes one snippet"),
         QString(),
         {},
         1,
         remove},
        {QStringLiteral("search"),
         QStringLiteral("TEXT"),
         QStringLiteral("the snippets holding TEXT, best match first"),
         QStringLiteral("Titles, languages and bodies are searched, letter case ignored; title "
                        "matches come first. Each match is shown with its line."),
         {},
         1,
         search},
        {QStringLiteral("backup"),
         QStringLiteral("FILE"),
         QStringLiteral("a consistent copy of the database, safe while the program is open"),
         QStringLiteral("FILE is replaced whole, never left half-written."),
         {},
         1,
         backup},
        {QStringLiteral("check"),
         QString(),
         QStringLiteral("checks the database and its search index"),
         QStringLiteral("Exit status 0 when both are sound, 2 when not."),
         {},
         0,
         check},
        {QStringLiteral("export"),
         QStringLiteral("PATH"),
         QStringLiteral("every snippet into a new JSON file (or a folder tree)"),
         QStringLiteral(
             "json (the default): one UTF-8 file with id, language, title and body of each "
             "snippet,\nnull where a field has no value.\nfolder: PATH/Language/Title.ext, "
             "each body byte for byte, names made safe for every\nfile system; the file "
             ".varozidi-index.json keeps what names cannot (IDs, exact titles).\nPATH must not "
             "exist yet (an empty folder will do for a tree); it appears whole or\nnot at all."),
         {QStringLiteral("--format F")},
         1,
         Export},
        {QStringLiteral("import"),
         QStringLiteral("PATH"),
         QStringLiteral("adds the snippets of a file or folder; lists them with their IDs"),
         QStringLiteral(
             "PATH is recognised by its content: a JSON file or folder tree of export, Visual "
             "Studio\nCode snippets (a language's .json or a .code-snippets file), or a Jet 4.0 "
             "database\n(.mdb) of the old Windows program; into a server (--database), also the "
             "local\ncollection file (varozidi.mdb). All are added in one step, or none. Into "
             "an\nempty collection they keep their IDs; otherwise they get new ones.\n"
             "With --dry-run, lists what would be added and changes nothing."),
         {QStringLiteral("--dry-run")},
         1,
         Import},
    };
    return commands;
}

} // namespace cli

// SPDX-License-Identifier: GPL-3.0-or-later
// The commands of varozidi-cli, each reading and writing the snippets as the program does.

#include "Cli.h"

#include "data/collection/Collection.h"
#include "data/core/SysUtils.h"
#include "data/files/Files.h"
#include "data/store/ADODB.h"
#include "data/store/SnippetQueries.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

using varozidi::Error;

// A field's text, or an Error naming the snippet when it holds bytes that are not UTF-8 text
// (stored by another program): shown otherwise, they would come out changed.
QString field(TADOTable& table, const char* name) {
    const TField value = table.FieldByName(QLatin1String(name));
    if (!value.IsText())
        RefuseNotText(table.FieldByName(QStringLiteral("ID")).AsLargeInt(),
                      QString::fromLatin1(name));
    return value.AsString();
}

QJsonValue nullable(TADOTable& table, const char* name) {
    return table.FieldByName(QLatin1String(name)).IsNull() ? QJsonValue()
                                                           : QJsonValue(field(table, name));
}

qint64 idOf(const QString& text) {
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (!ok)
        throw UserError(QStringLiteral("'%1' is not a snippet ID (a whole number).").arg(text));
    return id;
}

// Stands the cursor on the snippet with that ID. Filtered before it opens: opening unfiltered
// would read every row's number first.
TADOTable& snippet(Context& c, qint64 id) {
    TADOTable& table = c.unopenedTable();
    table.setFilter(QStringLiteral("ID = ") + QuotedStr(IntToStr(id)));
    table.setFiltered(true);
    table.Open();
    if (table.Eof())
        throw UserError(QStringLiteral("No snippet has the ID %1.").arg(id));
    return table;
}

QJsonObject record(TADOTable& table, bool withBody) {
    QJsonObject object{{QStringLiteral("id"), table.FieldByName(QStringLiteral("ID")).AsLargeInt()},
                       {QStringLiteral("language"), nullable(table, "Language")},
                       {QStringLiteral("title"), nullable(table, "Title")}};
    if (withBody)
        object.insert(QStringLiteral("body"), nullable(table, "Body"));
    return object;
}

int languages(Context& c) {
    c.searchIndexWhenNeeded = true;
    const QStringList names = DistinctLanguages(c.unopenedTable());
    // A replacement character may stand for bytes another program stored: the rows say.
    if (std::any_of(names.cbegin(), names.cend(), [](const QString& name) {
            return name.contains(QChar::ReplacementCharacter);
        })) {
        TADOTable& table = c.table();
        table.setFiltered(false);
        for (table.First(); !table.Eof(); table.Next())
            field(table, "Language");
    }
    if (c.json)
        c.printJson(QJsonArray::fromStringList(names));
    else
        for (const QString& name : names)
            c.print(OneLine(name) + u'\n');
    return kDone;
}

int show(Context& c) {
    c.searchIndexWhenNeeded = true;
    if (c.options.contains(QStringLiteral("--version")))
        return ShowVersion(c, idOf(c.args[0]));
    TADOTable& table = snippet(c, idOf(c.args[0]));
    // Byte for byte, even bytes another program stored that are not UTF-8.
    c.json ? c.printJson(record(table, true))
           : c.write(table.FieldByName(QStringLiteral("Body")).AsBytes());
    return kDone;
}

int add(Context& c) {
    const QString language = c.options.value(QStringLiteral("--language"));
    const QString title = c.options.value(QStringLiteral("--title"));
    if (language.isEmpty() || title.isEmpty())
        throw UserError(QStringLiteral("A new snippet needs both --language and --title."));
    const QString body = Utf8Text(c.input(), QStringLiteral("Standard input"));
    TADOTable& table = c.table();
    table.Insert();
    table.FieldByName(QStringLiteral("Language")).setAsString(language);
    table.FieldByName(QStringLiteral("Title")).setAsString(title);
    table.FieldByName(QStringLiteral("Body")).setAsWideString(body);
    table.Post();
    c.changed();
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
    const QString body = Utf8Text(c.input(), QStringLiteral("Standard input"));
    TADOTable& table = snippet(c, id);
    table.Edit();
    table.FieldByName(QStringLiteral("Body")).setAsWideString(body);
    table.Post();
    c.changed();
    if (c.json)
        c.printJson(record(table, false));
    return kDone;
}

int remove(Context& c) {
    TADOTable& table = snippet(c, idOf(c.args[0]));
    const QJsonObject removed = record(table, false);
    table.Delete();
    c.changed();
    if (c.json)
        c.printJson(removed);
    return kDone;
}

// An existing FILE is replaced only when it is a collection database (an older backup), and
// never when it is the collection itself.
void checkBackupTarget(Context& c, const QString& given, const QFileInfo& destination) {
    if (!destination.exists())
        return;
    // A device or a pipe is no place for a copy: replacing it would take it away from whoever
    // uses it, and --force is for files.
    struct stat found {};
    if (::stat(QFile::encodeName(destination.absoluteFilePath()).constData(), &found) == 0 &&
        !S_ISREG(found.st_mode))
        throw UserError(
            QStringLiteral("\"%1\" is not a file; a backup goes into a file.").arg(given));
    if (c.collection().isItself(destination.absoluteFilePath()))
        throw UserError(
            QStringLiteral("\"%1\" is the collection itself; a backup goes into another file.")
                .arg(given));
    // An empty file holds nothing to lose.
    if (c.options.contains(QStringLiteral("--force")) || destination.size() == 0)
        return;
    try {
        varozidi::whole::VerifyBackup(destination.absoluteFilePath(), QStringLiteral("varozidi"));
    } catch (const varozidi::DiskError&) {
        throw;
    } catch (const Error&) {
        throw UserError(QStringLiteral("\"%1\" exists and is not a collection database; backup "
                                       "replaces only an older backup (--force replaces it "
                                       "anyway).")
                            .arg(given));
    }
}

// One consistent state of the collection, even while the program writes; the copy goes to a
// temporary file and is renamed into place whole.
int backup(Context& c) {
    if (c.args[0].isEmpty())
        throw UserError(QStringLiteral("Which file should the backup go to? The name given is "
                                       "empty."));
    const QFileInfo target(c.args[0]);
    if (!target.dir().exists())
        throw UserError(QStringLiteral("There is no folder \"%1\".").arg(target.path()));
    c.collection();
    // A FILE that is a link stays one: the copy replaces the file it points to. A link to
    // nothing is a wrong argument, as a missing folder is.
    const QFileInfo destination([&] {
        try {
            return ReplacementTarget(target.absoluteFilePath(),
                                     QStringLiteral("back up to \"%1\"").arg(target.filePath()));
        } catch (const Error& e) {
            throw UserError(e.message());
        }
    }());
    checkBackupTarget(c, target.filePath(), destination);
    c.collection().backupTo(target.filePath());
    return kDone;
}

int check(Context& c) {
    const varozidi::CheckReport report = c.collection().check();
    const QString& database = report.database;
    const QString& index = report.searchIndex;
    const QString unchecked = report.indexUnchecked ? index : QString();
    const bool ok = database == u"ok" && (index == u"ok" || index == unchecked);
    QJsonObject verdict{{QStringLiteral("database"), database},
                        {QStringLiteral("searchIndex"), index},
                        {QStringLiteral("ok"), ok}};
    if (!unchecked.isEmpty())
        verdict.insert(QStringLiteral("writable"), false);
    if (c.json)
        c.printJson(verdict);
    else
        c.print(QStringLiteral("database: %1\nsearch index: %2\n%3\n")
                    .arg(database, index,
                         !ok ? QStringLiteral("The collection has problems (see above).")
                         : unchecked.isEmpty()
                             ? QStringLiteral("The collection is sound.")
                             : QStringLiteral("The database is sound; it cannot be written to "
                                              "now, so its search index was not checked.")));
    return ok ? kDone : kFailure;
}

} // namespace

void RefuseNotText(qint64 id, const QString& field) {
    throw Error(QStringLiteral("Snippet %1 has a %2 that is not UTF-8 text (another program "
                               "stored it as bytes), which cannot be shown unchanged here; "
                               "'varozidi-cli show %1' writes a body as stored.")
                    .arg(id)
                    .arg(field.toLower()));
}

void CheckStoredText(Context& c, qint64 id) {
    TADOTable& table = snippet(c, id);
    field(table, "Language");
    field(table, "Title");
    field(table, "Body");
}

namespace {

// The commands that read or change single snippets.
QList<Command> snippetCommands() {
    return {
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
         List},
        {QStringLiteral("show"),
         QStringLiteral("ID"),
         QStringLiteral("the body of a snippet, byte for byte as stored"),
         QStringLiteral("No line break is added after it. With --version, the body of that "
                        "earlier version\n(see history)."),
         {QStringLiteral("--version V")},
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
    };
}

// The commands over the versions kept.
QList<Command> historyCommands() {
    return {
        {QStringLiteral("history"),
         QStringLiteral("ID"),
         QStringLiteral("the earlier versions of a snippet kept, oldest first"),
         QStringLiteral("Each with its version number, when it was replaced, what the change "
                        "changed (body, title,\nlanguage, removed, restore), its body's size in "
                        "bytes, language and title. Every\nversion is kept 90 days and the last "
                        "20 of each snippet for ever; the settings'\n[HISTORY] KeepDays and "
                        "KeepVersions change that."),
         {},
         1,
         History},
        {QStringLiteral("removed"),
         QString(),
         QStringLiteral("the removed snippets still kept, the latest removed last"),
         QString(),
         {},
         0,
         Removed},
        {QStringLiteral("undelete"),
         QStringLiteral("ID"),
         QStringLiteral("brings a removed snippet back; prints the ID it has now"),
         QStringLiteral("It keeps its old ID unless another snippet has it now."),
         {},
         1,
         Undelete},
    };
}

// The commands over the whole collection.
QList<Command> collectionCommands() {
    return {
        {QStringLiteral("search"),
         QStringLiteral("TEXT"),
         QStringLiteral("the snippets holding TEXT, best match first"),
         QStringLiteral("Titles, languages and bodies are searched, letter case ignored; title "
                        "matches come first. Each match is shown with its line."),
         {},
         1,
         Search},
        {QStringLiteral("backup"),
         QStringLiteral("FILE"),
         QStringLiteral("a consistent copy of the database, safe while the program is open"),
         QStringLiteral("FILE is replaced whole, never left half-written. An existing FILE is "
                        "replaced only when it is a\ncollection database (an older backup); "
                        "--force replaces any file."),
         {QStringLiteral("--force")},
         1,
         backup},
        {QStringLiteral("check"),
         QString(),
         QStringLiteral("checks the database and its search index"),
         QStringLiteral("Exit status 0 when both are sound, 2 when not, or when the disk fails to "
                        "read them."),
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
             "exist yet (an empty folder will do for a tree); it appears whole or\nnot at all.\n"
             "--with-history: each snippet's earlier versions kept too (kind, time, language, "
             "title\nand body, the latest first), and the removed snippets kept; import brings "
             "them back\ninto the history."),
         {QStringLiteral("--format F"), QStringLiteral("--with-history")},
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
             "an\nempty collection they keep their IDs; otherwise they get new ones. The versions "
             "and\nremoved snippets of an export --with-history go into the history.\n"
             "With --dry-run, lists what would be added and changes nothing."),
         {QStringLiteral("--dry-run")},
         1,
         Import},
        {QStringLiteral("sync"),
         QString(),
         QStringLiteral("brings the collection and its sync folder in step, both ways"),
         QStringLiteral(
             "--folder DIR chooses the folder (made when missing) and keeps it in the "
             "settings'\n[SYNC] Folder. Each snippet is DIR/Language/Title.ext, its body byte for "
             "byte,\nwith a record in DIR/.varozidi-sync/. A snippet changed on both sides keeps "
             "both\ntexts: the other becomes a snippet titled \"... (conflict ...)\". --stop "
             "forgets\nthe folder; its files stay."),
         {QStringLiteral("--folder DIR"), QStringLiteral("--stop")},
         0,
         Sync},
    };
}

} // namespace

const QList<Command>& Commands() {
    static const QList<Command> commands =
        snippetCommands() + historyCommands() + collectionCommands();
    return commands;
}

} // namespace cli

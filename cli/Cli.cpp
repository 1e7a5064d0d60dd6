#include "Cli.h"

#include "DataPath.h"
#include "DatabaseChoice.h"
#include "platform/ADODB.h"
#include "platform/Files.h"
#include "platform/PgBackend.h"
#include "transfer/Migration.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace cli {

namespace {

const QString kTool = QStringLiteral("varozidi-cli");

void toStream(FILE* stream, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
}

QString usageOf(const Command& command) {
    QStringList parts{command.name};
    // Options the usage names are required; the others are shown as optional.
    for (const QString& option : command.options)
        if (!command.usage.contains(option))
            parts.append(u'[' + option + u']');
    if (!command.usage.isEmpty())
        parts.append(command.usage);
    return parts.join(u' ');
}

QString toolHelp() {
    QList<QStringList> rows;
    for (const Command& command : Commands())
        rows.append({QStringLiteral("  ") + usageOf(command), command.summary});
    return QStringLiteral(
               "Usage: %1 [--data-dir DIR] [--database URI] [--json] COMMAND [ARGUMENTS]\n\n"
               "The snippet collection of KZQ Varozidi, from a terminal or a script. It works on "
               "the\nprogram's data folder ($XDG_DATA_HOME/KZQ/Varozidi/) and may run while the "
               "program is open.\n\nCommands:\n")
               .arg(kTool) +
           Aligned(rows) +
           QStringLiteral(
               "\nOptions:\n"
               "  --data-dir DIR  use the data folder DIR\n"
               "  --database URI  use the collection on the PostgreSQL server at URI\n"
               "                  (postgresql://...; the password comes from ~/.pgpass)\n"
               "  --json          print data as JSON: id, language, title and, where shown, "
               "body\n"
               "  --help          this text; after a command, that command's own\n\n"
               "Exit status: 0 done; 1 a wrong argument, no snippet with that ID, or a file "
               "import\ncannot read; 2 a failure (no database, a damaged database, a full "
               "disk).\n");
}

QString commandHelp(const Command& command) {
    QString summary = command.summary;
    summary[0] = summary[0].toUpper();
    return QStringLiteral("Usage: %1 [--data-dir DIR] [--json] %2\n\n%3.\n")
               .arg(kTool, usageOf(command), summary) +
           (command.help.isEmpty() ? QString() : u'\n' + command.help + u'\n');
}

// The options that take a value, as "--name", from every command's list.
bool takesValue(const QString& name) {
    if (name == u"--data-dir" || name == u"--database")
        return true;
    for (const Command& command : Commands())
        for (const QString& option : command.options)
            if (option.startsWith(name + u' '))
                return true;
    return false;
}

bool offers(const Command& command, const QString& name) {
    for (const QString& option : command.options)
        if (option == name || option.startsWith(name + u' '))
            return true;
    return false;
}

int run(const QStringList& arguments) {
    QString dataDir = DataDirFor(GetAppDataFolder());
    QString database;
    bool json = false;
    bool help = false;
    QString name;
    QStringList positional;
    QMap<QString, QString> options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == u"--") {
            positional += arguments.mid(i + 1);
            break;
        }
        if (arg == u"-h" || arg == u"--help") {
            help = true;
        } else if (arg == u"--json") {
            json = true;
        } else if (arg.startsWith(QStringLiteral("--"))) {
            const qsizetype eq = arg.indexOf(u'=');
            const QString option = eq > 0 ? arg.left(eq) : arg;
            QString value = eq > 0 ? arg.mid(eq + 1) : QString();
            if (takesValue(option) && eq < 0) {
                if (++i == arguments.size())
                    throw UserError(QStringLiteral("%1 needs a value.").arg(option));
                value = arguments[i];
            }
            if (option == u"--data-dir")
                dataDir = value.endsWith(u'/') ? value : value + u'/';
            else if (option == u"--database")
                database = value;
            else
                options.insert(option, value);
        } else if (name.isEmpty()) {
            name = arg;
        } else {
            positional.append(arg);
        }
    }
    if (name.isEmpty()) {
        if (!help)
            throw UserError(QStringLiteral("Which command? '%1 --help' lists them.").arg(kTool));
        toStream(stdout, toolHelp().toUtf8());
        return kDone;
    }
    const auto& commands = Commands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&name](const Command& c) { return c.name == name; });
    if (command == commands.end())
        throw UserError(
            QStringLiteral("There is no command '%1'; '%2 --help' lists them.").arg(name, kTool));
    if (help) {
        toStream(stdout, commandHelp(*command).toUtf8());
        return kDone;
    }
    for (auto it = options.cbegin(); it != options.cend(); ++it)
        if (!offers(*command, it.key()))
            throw UserError(
                QStringLiteral("The command '%1' takes no option %2.").arg(name, it.key()));
    if (positional.size() != command->arguments)
        throw UserError(QStringLiteral("Usage: %1 %2").arg(kTool, usageOf(*command)));
    Context context(dataDir, database);
    context.args = positional;
    context.options = options;
    context.json = json;
    return command->run(context);
}

} // namespace

Context::Context(const QString& dataDir, const QString& database)
    : dataDir_(dataDir), database_(database) {}

Context::~Context() = default;

QString Context::databasePath() const {
    return ResolveFileName(dataDir_ + QStringLiteral("varozidi.mdb"));
}

TADOConnection& Context::connection() {
    if (!connection_) {
        connection_ = std::make_unique<TADOConnection>();
        connection_->setConnectionString(CollectionConnectionString(dataDir_, database_));
        connection_->OnConverted = [](const varozidi::transfer::JetConversion& converted) {
            toStream(stderr, (kTool + QStringLiteral(": the collection was in the old Jet 4.0 "
                                                     "format; %1 snippets were converted, and "
                                                     "the original is kept as \"%2\".\n")
                                          .arg(converted.snippets)
                                          .arg(converted.original))
                                 .toUtf8());
        };
    }
    connection_->Open();
    return *connection_;
}

varozidi::ado::PgBackend* Context::server() {
    return dynamic_cast<varozidi::ado::PgBackend*>(connection().backend());
}

TADOTable& Context::table() {
    if (!table_) {
        table_ = std::make_unique<TADOTable>();
        table_->setConnection(&connection());
        table_->setTableName(QStringLiteral("varozidi"));
    }
    table_->Open();
    return *table_;
}

QByteArray Context::input() {
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        throw varozidi::Error(QStringLiteral("Cannot read standard input."));
    return in.readAll();
}

void Context::print(const QString& text) {
    toStream(stdout, text.toUtf8());
}

void Context::printJson(const QJsonValue& value) {
    const QJsonDocument document =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    toStream(stdout, document.toJson(QJsonDocument::Compact) + '\n');
}

void Context::write(const QByteArray& bytes) {
    toStream(stdout, bytes);
}

QString Aligned(const QList<QStringList>& rows) {
    QList<qsizetype> widths;
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i + 1 < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    QString out;
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i)
            out += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        out += u'\n';
    }
    return out;
}

int Main(const QStringList& arguments) {
    try {
        return run(arguments);
    } catch (const UserError& e) {
        toStream(stderr, (kTool + QStringLiteral(": ") + e.message() + u'\n').toUtf8());
        return kUserError;
    } catch (const std::exception& e) {
        // One line: the data layer's messages may hold line breaks of their own.
        const QString message = varozidi::messageOf(e).simplified();
        toStream(stderr, (kTool + QStringLiteral(": ") + message + u'\n').toUtf8());
        return kFailure;
    }
}

} // namespace cli

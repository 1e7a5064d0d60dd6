// SPDX-License-Identifier: GPL-3.0-or-later
#include "Cli.h"

#include "data/Version.h"
#include "data/collection/Collection.h"
#include "data/collection/DatabaseChoice.h"
#include "data/core/SysUtils.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"
#include "data/files/Temporary.h"
#include "data/store/ADODB.h"
#include "data/transfer/Migration.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace cli {

namespace {

const QString kTool = QStringLiteral("varozidi-cli");

// Standard streams the shell left closed; their descriptors hold /dev/null instead, so that
// no file the tool opens takes their place.
bool closedStream[3] = {false, false, false};

// Set once a command's change is stored: output failing after that must not read as if the
// change had failed too.
bool changeMade = false;

// The server the collection is on, from --database or the settings, for hiding its password.
QString serverAddress;

bool namesServer(const QString& database) {
    try {
        return varozidi::CollectionAddress::Of(database).shared();
    } catch (const std::exception&) {
        return false;
    }
}

QString systemError(int err, bool writing) {
    if (err == EFBIG)
        return QStringLiteral("the file would grow past the size limit set for this shell "
                              "(ulimit -f)");
    return DiskErrorText(err, writing);
}

void toStream(FILE* stream, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
}

[[noreturn]] void outputFailed(int err) {
    throw varozidi::Error(
        QStringLiteral("Cannot write to standard output: %1%2.")
            .arg(systemError(err, true),
                 changeMade ? QStringLiteral(" (the change itself was made)") : QString()));
}

// Output that did not all arrive is a failure, not a success with less said.
void checkedOutput(const QByteArray& bytes) {
    if (closedStream[STDOUT_FILENO])
        throw varozidi::Error(
            QStringLiteral("Cannot write to standard output: it is closed%1.")
                .arg(changeMade ? QStringLiteral(" (the change itself was made)") : QString()));
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) !=
            std::size_t(bytes.size()) ||
        std::ferror(stdout))
        outputFailed(errno);
}

void flushOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        outputFailed(errno);
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
               "  --help          this text; after a command, that command's own\n"
               "  --version       the version of this tool\n\n"
               "Exit status: 0 done; 1 a wrong argument, no snippet with that ID, or a file "
               "import\ncannot read; 2 a failure (no database, a damaged database, a disk "
               "full or failing),\nexcept after \"(the change itself was made)\": the change "
               "is done, only its output lost.\n");
}

QString commandHelp(const Command& command) {
    QString summary = command.summary;
    summary[0] = summary[0].toUpper();
    return QStringLiteral("Usage: %1 [--data-dir DIR] [--database URI] [--json] %2\n\n%3.\n")
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

// A command line taken apart.
struct Line {
    QString dataDir;
    QString database;
    bool json = false;
    bool help = false;
    bool version = false;
    QString name;
    QStringList positional;
    QMap<QString, QString> options;
};

// "--version V" after a command that takes it, the tool's own --version otherwise.
bool takesVersion(const QString& command) {
    for (const Command& c : Commands())
        if (c.name == command)
            return offers(c, QStringLiteral("--version"));
    return false;
}

Line parsed(const QStringList& arguments) {
    Line line;
    line.dataDir = DataDirFor(GetAppDataFolder());
    std::set<QString> given;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == u"--") {
            line.positional += arguments.mid(i + 1);
            break;
        }
        if (arg == u"-h" || arg == u"--help") {
            line.help = true;
        } else if (arg == u"--json") {
            line.json = true;
        } else if (arg == u"--version" && !takesVersion(line.name)) {
            line.version = true;
        } else if (arg.startsWith(QStringLiteral("--"))) {
            const qsizetype eq = arg.indexOf(u'=');
            const QString option = eq > 0 ? arg.left(eq) : arg;
            QString value = eq > 0 ? arg.mid(eq + 1) : QString();
            if (takesValue(option) && eq < 0) {
                if (++i == arguments.size())
                    throw UserError(QStringLiteral("%1 needs a value.").arg(option));
                value = arguments[i];
            }
            // Which of two values was meant is for the user to say, not for the order.
            if (takesValue(option) && !given.insert(option).second)
                throw UserError(QStringLiteral("%1 is given twice; give it once.").arg(option));
            if (option == u"--data-dir")
                line.dataDir = value.endsWith(u'/') ? value : value + u'/';
            else if (option == u"--database")
                line.database = value;
            else
                line.options.insert(option, value);
        } else if (line.name.isEmpty()) {
            line.name = arg;
        } else {
            line.positional.append(arg);
        }
    }
    return line;
}

int run(const QStringList& arguments) {
    const Line line = parsed(arguments);
    const auto& [dataDir, database, json, help, version, name, positional, options] = line;
    if (name.isEmpty() && version && !help) {
        checkedOutput((kTool + QStringLiteral(" " VAROZIDI_VERSION "\n")).toUtf8());
        return kDone;
    }
    if (name.isEmpty()) {
        if (!help)
            throw UserError(QStringLiteral("Which command? '%1 --help' lists them.").arg(kTool));
        checkedOutput(toolHelp().toUtf8());
        return kDone;
    }
    const auto& commands = Commands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&line](const Command& c) { return c.name == line.name; });
    if (command == commands.end())
        throw UserError(
            QStringLiteral("There is no command '%1'; '%2 --help' lists them.").arg(name, kTool));
    if (help) {
        checkedOutput(commandHelp(*command).toUtf8());
        return kDone;
    }
    for (auto it = options.cbegin(); it != options.cend(); ++it)
        if (!offers(*command, it.key()))
            throw UserError(
                QStringLiteral("The command '%1' takes no option %2.").arg(name, it.key()));
    if (version)
        throw UserError(QStringLiteral("--version goes alone: '%1 --version'.").arg(kTool));
    if (positional.size() != command->arguments)
        throw UserError(QStringLiteral("Usage: %1 %2").arg(kTool, usageOf(*command)));
    // An address of another kind is a wrong argument, as a wrong option is.
    if (!database.isEmpty() && !namesServer(database))
        throw UserError(QStringLiteral("\"%1\" is not the address of a database server; such an "
                                       "address begins with \"postgresql://\".")
                            .arg(database));
    RemoveLeftovers();
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

TADOConnection& Context::connection() {
    if (!connection_) {
        connection_ = std::make_unique<TADOConnection>();
        connection_->setConnectionString(CollectionConnectionString(dataDir_, database_));
        connection_->SearchIndexWhenNeeded = searchIndexWhenNeeded;
        // A server's address may carry a password, which no message shows.
        try {
            const auto address = varozidi::CollectionAddress::Of(connection_->ConnectionString());
            if (address.shared())
                serverAddress = address.source();
        } catch (const std::exception&) {
        }
        connection_->OnLockFileLeft = [](const QString& message) {
            toStream(stderr, (kTool + QStringLiteral(": warning: ") + message + u'\n').toUtf8());
        };
        connection_->OnConverted = [](const varozidi::transfer::JetConversion& converted) {
            toStream(stderr, (kTool + QStringLiteral(": the collection was in the old Jet 4.0 "
                                                     "format; %1 snippets were converted, and "
                                                     "the original is kept as \"%2\".\n")
                                          .arg(converted.snippets)
                                          .arg(converted.original))
                                 .toUtf8());
        };
        // Making a missing search index can take a while: said on a terminal, as the window
        // says it, and never beside JSON.
        if (!json && ::isatty(STDERR_FILENO)) {
            connection_->OnSlowOpen = [](bool slow) {
                std::fputs(slow ? "\rPreparing search...\033[K" : "\r\033[K", stderr);
                std::fflush(stderr);
            };
            connection_->OnSlowProgress = [](int percent) {
                std::fprintf(stderr, "\rPreparing search... %d%%\033[K", percent);
                std::fflush(stderr);
            };
        }
    }
    connection_->Open();
    return *connection_;
}

varozidi::Collection& Context::collection() {
    return *connection().collection();
}

TADOTable& Context::table() {
    unopenedTable().Open();
    return *table_;
}

TADOTable& Context::unopenedTable() {
    if (!table_) {
        table_ = std::make_unique<TADOTable>();
        table_->setConnection(&connection());
        table_->setTableName(QStringLiteral("varozidi"));
    }
    return *table_;
}

// Read to its end or not at all: a body cut short by a failed read must not be stored.
QByteArray Context::input() {
    if (closedStream[STDIN_FILENO])
        throw varozidi::Error(QStringLiteral("Cannot read standard input: it is closed."));
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, n);
        else if (n == 0)
            return bytes;
        else if (errno != EINTR)
            throw varozidi::Error(
                QStringLiteral("Cannot read standard input: %1.").arg(systemError(errno, false)));
    }
}

void Context::changed() {
    changeMade = true;
    // A reader gone from a pipe must not end the tool unheard once the change is made: the
    // write then fails, and the message says the change was made.
    std::signal(SIGPIPE, SIG_IGN);
}

void Context::print(const QString& text) {
    checkedOutput(text.toUtf8());
}

void Context::printJson(const QJsonValue& value) {
    const QJsonDocument document =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    checkedOutput(document.toJson(QJsonDocument::Compact) + '\n');
}

void Context::write(const QByteArray& bytes) {
    checkedOutput(bytes);
}

QString OneLine(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QChar(u'0'));
        else
            out += c;
    }
    return out;
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

void GuardStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            closedStream[fd] = true;
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                ::dup2(null, fd);
                ::close(null);
            }
        }
}

namespace {

// A message may quote the address typed after --database; its password never shows.
void report(const QStringList& arguments, const QString& message) {
    const QString hidden = varozidi::HidePassword(
        varozidi::HidePassword(message, DatabaseArgument(arguments)), serverAddress);
    toStream(stderr, (kTool + QStringLiteral(": ") + hidden + u'\n').toUtf8());
}

} // namespace

QString Utf8Text(const QByteArray& bytes, const QString& what) {
    if (auto text = ExactUtf8(bytes))
        return *std::move(text);
    throw UserError(QStringLiteral("%1 is not UTF-8 text; the collection keeps UTF-8 text only, "
                                   "so convert it first (for example with iconv -f LATIN1 -t "
                                   "UTF-8).")
                        .arg(what));
}

int Main(const QStringList& arguments, const QByteArrayList& raw) {
    SetWarningHandler([](const QString& message) {
        toStream(stderr, (kTool + QStringLiteral(": ") + message + u'\n').toUtf8());
    });
    try {
        // Taken from the bytes: the decoding the arguments went through drops a leading byte
        // order mark, and a title or language keeps every byte.
        QStringList exact = arguments;
        for (qsizetype i = 1; i < raw.size() && i < exact.size(); ++i)
            exact[i] = Utf8Text(raw[i], QStringLiteral("The argument \"%1\"").arg(arguments[i]));
        const int status = run(exact);
        flushOutput();
        return status;
    } catch (const UserError& e) {
        report(arguments, e.message());
        return kUserError;
    } catch (const std::exception& e) {
        // One line: the data layer's messages may hold line breaks of their own.
        report(arguments, varozidi::messageOf(e).simplified());
        return kFailure;
    }
}

} // namespace cli

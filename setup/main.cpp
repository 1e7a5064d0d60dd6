// SPDX-License-Identifier: GPL-3.0-or-later
// varozidi-setup: puts the per-user data files in place, never replacing any.

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/files/DataPath.h"
#include "data/files/Temporary.h"
#include "data/setup/Setup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <csignal>

int main(int argc, char** argv) {
    // Past a file-size limit a write fails with EFBIG and is reported, instead of the signal
    // ending the tool with a half-made file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // Anything but what it knows stops it before it touches a file.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Puts Varozidi's data files in place in your data folder, creating only "
                       "the ones that are missing and never replacing any."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and change nothing."));
    parser.addOption(help);
    parser.addOption({QStringLiteral("database"),
                      QStringLiteral("Also create the snippet table on this PostgreSQL server "
                                     "(a postgresql:// URI), if it has none."),
                      QStringLiteral("URI")});
    if (!parser.parse(QCoreApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        err << "varozidi-setup: "
            << (parser.errorText().isEmpty()
                    ? varozidi::HidePassword(QStringLiteral("unexpected argument '%1'.")
                                                 .arg(parser.positionalArguments().constFirst()),
                                             parser.positionalArguments().constFirst())
                    : parser.errorText())
            << " Try 'varozidi-setup --help'.\n";
        return 2;
    }
    if (parser.isSet(help)) {
        // The usage line names the program as typed, not the path it was found at.
        QString text = parser.helpText();
        const QString program = QCoreApplication::arguments().constFirst();
        if (text.contains(program))
            text.replace(text.indexOf(program), program.size(), QStringLiteral("varozidi-setup"));
        out << text;
        return 0;
    }
    const QString dataDir = DataDirFor(GetAppDataFolder());
    SetWarningHandler([&err](const QString& message) {
        err << "varozidi-setup: " << message << '\n';
        err.flush();
    });
    RemoveLeftovers();
    try {
        const auto outcome = varozidi::setup::InstallUserData(dataDir);
        for (const QString& path : outcome.created)
            out << "created " << path << '\n';
        for (const QString& path : outcome.kept)
            out << "kept     " << path << '\n';
        // --database URI: a server database gets the snippet table too.
        const QString server = parser.value(QStringLiteral("database"));
        if (!server.isEmpty()) {
            const auto address = varozidi::CollectionAddress::Of(server);
            const bool kept = varozidi::whole::Prepare(address);
            out << (kept ? "kept     " : "created ") << "the snippet table on " << address.name()
                << '\n';
        }
    } catch (const std::exception& e) {
        err << "varozidi-setup: "
            << varozidi::HidePassword(varozidi::messageOf(e),
                                      parser.value(QStringLiteral("database")))
            << '\n';
        return 1;
    }
    return 0;
}

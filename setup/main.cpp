// varozidi-setup: puts the per-user data files in place, never replacing any.

#include "DataPath.h"
#include "DatabaseChoice.h"
#include "platform/Errors.h"
#include "platform/PgBackend.h"
#include "setup/ServerSetup.h"
#include "setup/Setup.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QString dataDir = DataDirFor(GetAppDataFolder());
    try {
        const auto outcome = varozidi::setup::InstallUserData(dataDir);
        for (const QString& path : outcome.created)
            out << "created " << path << '\n';
        for (const QString& path : outcome.kept)
            out << "kept     " << path << '\n';
        // --database URI: a server database gets the snippet table too.
        const QString server = DatabaseArgument(QCoreApplication::arguments());
        if (!server.isEmpty()) {
            const bool kept = varozidi::setup::PrepareServer(server);
            out << (kept ? "kept     " : "created ") << "the snippet table on "
                << varozidi::ado::ServerName(server) << '\n';
        }
    } catch (const std::exception& e) {
        err << "varozidi-setup: " << varozidi::messageOf(e) << '\n';
        return 1;
    }
    return 0;
}

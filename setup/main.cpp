// varozidi-setup: puts the per-user data files in place, never replacing any.

#include "DataPath.h"
#include "platform/Errors.h"
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
    } catch (const std::exception& e) {
        err << "varozidi-setup: " << varozidi::messageOf(e) << '\n';
        return 1;
    }
    return 0;
}

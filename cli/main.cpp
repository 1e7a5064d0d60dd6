// SPDX-License-Identifier: GPL-3.0-or-later
// varozidi-cli: see Cli.h.

#include "Cli.h"

#include <QCoreApplication>
#include <csignal>
#include <cstring>
#include <optional>

namespace {

// A run that asks for help or the version prints text and touches nothing else, so it goes
// without the application object: setting that up (the locale, the event loop) would be much
// of what such a run costs, and scripts and shell completion ask often.
bool onlyPrintsText(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
            std::strcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    cli::GuardStandardStreams();
    // Past a file-size limit a write then fails with EFBIG, reported like any other, instead
    // of the signal ending the tool with the output cut short.
    std::signal(SIGXFSZ, SIG_IGN);
    QByteArrayList raw;
    for (int i = 0; i < argc; ++i)
        raw.append(QByteArray(argv[i]));
    std::optional<QCoreApplication> app;
    QStringList arguments;
    if (onlyPrintsText(argc, argv)) {
        for (const QByteArray& arg : std::as_const(raw))
            arguments.append(QString::fromLocal8Bit(arg));
    } else {
        app.emplace(argc, argv);
        arguments = QCoreApplication::arguments();
    }
    return cli::Main(arguments, raw);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// varozidi-cli: see Cli.h.

#include "Cli.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char** argv) {
    cli::GuardStandardStreams();
    // Past a file-size limit a write then fails with EFBIG, reported like any other, instead
    // of the signal ending the tool with the output cut short.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QByteArrayList raw;
    for (int i = 0; i < argc; ++i)
        raw.append(QByteArray(argv[i]));
    return cli::Main(QCoreApplication::arguments(), raw);
}

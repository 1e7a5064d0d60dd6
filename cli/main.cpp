// varozidi-cli: see Cli.h.

#include "Cli.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return cli::Main(QCoreApplication::arguments());
}

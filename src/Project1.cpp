// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: creates the three windows in order and runs until the main window closes.

#include "data/collection/DatabaseChoice.h"
#include "data/files/DataPath.h"
#include "data/recovery/Recovery.h"
#include "window/Forms.h"
#include "window/HelpModule.h"
#include "window/SearchRequest.h"
#include "window/Unit1.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QTimer>
#include <cstdio>
#include <cstring>

namespace {

// Without any display the toolkit would abort with a message of its own. A platform named
// on the command line (-platform offscreen) needs none.
bool displayAvailable(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const SearchOption search = SearchOptionOf(arguments);
    const QString dataDir = DataDirFor(GetAppDataFolder());
    const QString searchSocket =
        SearchSocketName(CollectionConnectionString(dataDir, DatabaseArgument(arguments)));
    // A program on this collection is running: its search window comes forward instead, and
    // nothing of the toolkit needs to start.
    if (search.given && ForwardSearch(searchSocket, search))
        return 0;
    if (!displayAvailable(argc, argv)) {
        std::fputs("varozidi: no graphical display found (neither DISPLAY nor WAYLAND_DISPLAY "
                   "is set); start it from a desktop session.\n",
                   stderr);
        return 2;
    }
    // The help browser's engine report and its pages' console are for developers, who can
    // turn them back on with QT_LOGGING_RULES.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false\njs=false"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varozidi"));
    QApplication::setDesktopFileName(QStringLiteral(VAROZIDI_APP_ID));
    // Set up before the window, which opens the database (and makes its lock file) as it is
    // created: a signal meanwhile is answered once the window exists.
    static int signalBeforeWindow = 0;
    varozidi::recovery::OnTermination(&app, [](int signal) {
        if (Form1)
            Form1->EndAtSignal(signal);
        TForm1::EndStartingAtSignal(signal);
        signalBeforeWindow = signal;
    });
    CreateFormsHelpLast(OnlineHelpStartPage());
    if (signalBeforeWindow != 0)
        Form1->EndAtSignal(signalBeforeWindow);
    Form1->show();
    ListenForSearches(searchSocket, Form1);
    QTimer::singleShot(0, Form1, [] { Form1->OfferRecovery(); });
    if (search.given)
        QTimer::singleShot(0, Form1, [search] { ShowSearch(Form1, search); });
    const int result = app.exec();
    // The browser has to go while the application it runs in still exists.
    delete Form4;
    Form4 = nullptr;
    // The database and its lock file go with the window, however the loop ended.
    delete Form1;
    Form1 = nullptr;
    return result;
}

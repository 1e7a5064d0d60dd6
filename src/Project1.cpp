// Program entry: creates the three windows in order and runs until the main window closes.

#include "Forms.h"
#include "Recovery.h"
#include "Unit1.h"
#include "Unit4.h"
#include "platform/TWebBrowser.h"

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
    if (!displayAvailable(argc, argv)) {
        std::fputs("varozidi: no graphical display found (neither DISPLAY nor WAYLAND_DISPLAY "
                   "is set); start it from a desktop session.\n",
                   stderr);
        return 2;
    }
    // The help browser's engine report and its pages' console are for developers, who can
    // turn them back on with QT_LOGGING_RULES.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false\njs=false"));
    PrepareWebBrowserProcess();
    // The embedded browser shares its OpenGL contexts with the windows.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varozidi"));
    QApplication::setDesktopFileName(QStringLiteral(VAROZIDI_APP_ID));
    // Set up before the window, which opens the database (and makes its lock file) as it is
    // created: a signal meanwhile is answered once the window exists.
    static int signalBeforeWindow = 0;
    varozidi::recovery::OnTermination(&app, [](int signal) {
        if (Form1)
            Form1->EndAtSignal(signal);
        signalBeforeWindow = signal;
    });
    CreateFormsHelpLast(TForm4::OnlineStartPage());
    if (signalBeforeWindow != 0)
        Form1->EndAtSignal(signalBeforeWindow);
    Form1->show();
    QTimer::singleShot(0, Form1, [] { Form1->OfferRecovery(); });
    const int result = app.exec();
    // The browser has to go while the application it runs in still exists.
    delete Form4;
    Form4 = nullptr;
    // The database and its lock file go with the window, however the loop ended.
    delete Form1;
    Form1 = nullptr;
    return result;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/HelpModule.h"

#include "data/core/Errors.h"
#include "data/modules/Module.h"
#include "help/HelpServer.h"
#include "window/platform/WindowAccess.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>

namespace {

// Qt WebEngine warns, as it loads after the application object, that no OpenGL context is
// shared with it. The help browser draws in software and shares none.
QtMessageHandler handlerBeforeLoad = nullptr;

void quietSharingWarning(QtMsgType type, const QMessageLogContext& context,
                         const QString& message) {
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("Qt WebEngine seems to be initialized from a plugin")))
        return;
    handlerBeforeLoad(type, context, message);
}

QString& chosenModulePath() {
    static QString path;
    return path;
}

struct LoadedModule {
    QString path;
    CreateHelpWindowFunction create = nullptr;
};

// The module stays loaded until the program ends: the windows it made run its code.
CreateHelpWindowFunction loadModule(const QString& path) {
    static LoadedModule loaded;
    if (loaded.create && loaded.path == path)
        return loaded.create;
    const QString afterwards =
        QStringLiteral(" Everything else works as before; installing Varozidi again restores the "
                       "help.");
    if (!QFileInfo(path).isFile())
        throw varozidi::Error(
            QStringLiteral("The help cannot be shown: its module %1 is missing.").arg(path) +
            afterwards);
    if (!varozidi::modules::IsWholeLibrary(path))
        throw varozidi::Error(
            QStringLiteral("The help cannot be shown: its module %1 is damaged (cut short).")
                .arg(path) +
            afterwards);
    QLibrary library(path);
    handlerBeforeLoad = qInstallMessageHandler(quietSharingWarning);
    const bool opened = library.load();
    qInstallMessageHandler(handlerBeforeLoad);
    auto create = reinterpret_cast<CreateHelpWindowFunction>(
        opened ? library.resolve(kCreateHelpWindowName) : nullptr);
    if (!create)
        throw varozidi::Error(
            (opened ? QStringLiteral("The help cannot be shown: %1 is not its module (another "
                                     "library is in its place).")
                          .arg(path)
                    : QStringLiteral("The help cannot be shown: its module does not load (%1).")
                          .arg(library.errorString())) +
            afterwards);
    loaded = {path, create};
    return create;
}

} // namespace

QString OnlineHelpStartPage() {
    return QStringLiteral(VAROZIDI_HELP_SERVER "index.htm");
}

QString HelpModulePath(const QString& appDir) {
    return chosenModulePath().isEmpty() ? appDir + QStringLiteral("libvarozidi_help.so")
                                        : chosenModulePath();
}

void SetHelpModulePath(const QString& path) {
    chosenModulePath() = path;
}

QWidget* CreateHelpWindow(const HelpWindowRequest& request) {
    QWidget* window = loadModule(HelpModulePath(request.appDir))(request);
    // Screen readers meet it as a window of its own, named by its caption.
    if (window)
        ExposeWindow(window, QAccessible::Window);
    return window;
}

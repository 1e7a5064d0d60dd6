// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/HelpModule.h"

#include "data/core/Errors.h"
#include "data/modules/Module.h"
#include "help/HelpServer.h"
#include "window/platform/WindowAccess.h"

#include <QCoreApplication>

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

using varozidi::modules::ModuleFault;

QString problemOf(ModuleFault fault, const QString& detail, const QString& path) {
    switch (fault) {
    case ModuleFault::None:
        break;
    case ModuleFault::Missing:
    case ModuleFault::NotAFile:
        return QStringLiteral("its module %1 is missing.").arg(path);
    case ModuleFault::CutShort:
        return QStringLiteral("its module %1 is damaged (cut short).").arg(path);
    case ModuleFault::DoesNotLoad:
        return QStringLiteral("its module does not load (%1).").arg(detail);
    case ModuleFault::NoEntry:
        return QStringLiteral("%1 is not its module (another library is in its place).").arg(path);
    case ModuleFault::OtherBuild:
        return QStringLiteral("its module %1 belongs to another version of Varozidi.").arg(path);
    }
    return {};
}

// The module stays loaded until the program ends: the windows it made run its code.
CreateHelpWindowFunction loadModule(const QString& path) {
    static QString loadedPath;
    static CreateHelpWindowFunction loaded = nullptr;
    if (loaded && loadedPath == path)
        return loaded;
    handlerBeforeLoad = qInstallMessageHandler(quietSharingWarning);
    const varozidi::modules::LoadedModule module = varozidi::modules::OpenModule(
        path, kHelpEntry, {sizeof(HelpFunctions), HelpFunctionNames()},
        varozidi::modules::Binding::Lazy);
    qInstallMessageHandler(handlerBeforeLoad);
    const auto* table = static_cast<const HelpFunctions*>(module.table);
    if (!table || !table->createHelpWindow)
        throw varozidi::Error(
            QStringLiteral("The help cannot be shown: ") +
            problemOf(table ? ModuleFault::OtherBuild : module.fault, module.detail, path) +
            QStringLiteral(" Everything else works as before; installing Varozidi again "
                           "restores the help."));
    loadedPath = path;
    loaded = table->createHelpWindow;
    return loaded;
}

} // namespace

QString OnlineHelpStartPage() {
    return QStringLiteral(VAROZIDI_HELP_SERVER "index.htm");
}

QString HelpModulePath(const QString& appDir) {
    return chosenModulePath().isEmpty() ? appDir + QString::fromLatin1(kHelpModule)
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

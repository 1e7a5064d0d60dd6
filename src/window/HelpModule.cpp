// SPDX-License-Identifier: GPL-3.0-or-later
#include "HelpModule.h"

#include "HelpServer.h"
#include "modules/Module.h"
#include "platform/Errors.h"
#include "platform/WindowAccess.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QOpenGLContext>

QT_BEGIN_NAMESPACE
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);
QT_END_NAMESPACE

namespace {

QOpenGLContext* sharedContext = nullptr;

void dropSharedContext() {
    if (QOpenGLContext::globalShareContext() == sharedContext)
        qt_gl_set_global_share_context(nullptr);
    delete sharedContext;
    sharedContext = nullptr;
}

// The browser draws through an OpenGL context shared with the windows', which must exist
// before its libraries load. Made here rather than by the application at start-up, where
// it took longer than everything else before the main window could show.
void shareOpenGLContexts() {
    if (QOpenGLContext::globalShareContext())
        return;
    sharedContext = new QOpenGLContext;
    sharedContext->setFormat(QSurfaceFormat::defaultFormat());
    sharedContext->create();
    qt_gl_set_global_share_context(sharedContext);
    qAddPostRoutine(dropSharedContext);
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
    shareOpenGLContexts();
    QLibrary library(path);
    auto create = reinterpret_cast<CreateHelpWindowFunction>(
        library.load() ? library.resolve(kCreateHelpWindowName) : nullptr);
    if (!create)
        throw varozidi::Error(
            QStringLiteral("The help cannot be shown: its module does not load (%1).")
                .arg(library.errorString()) +
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

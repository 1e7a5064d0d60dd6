// SPDX-License-Identifier: GPL-3.0-or-later
#include "BenchSupport.h"

#include "data/modules/Module.h"
#include "window/Unit1.h"
#include "window/platform/Dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <sqlite3.h>

namespace {

// The benchmarks use the modules of this build, which do not lie beside them.
void useBuiltModules() {
    varozidi::modules::SetFolder(QStringLiteral(VAROZIDI_BINARY_DIR));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(useBuiltModules)

namespace bench {

Options TakeOptions(int& argc, char** argv) {
    Options o;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--snippets=", 0) == 0)
            o.shape.snippets = std::stoi(a.substr(11));
        else if (a.rfind("--seed=", 0) == 0)
            o.shape.seed = std::stoull(a.substr(7));
        else if (a == "--no-long")
            o.shape.longBodies = false;
        else if (a.rfind("--cache=", 0) == 0)
            o.cache = QString::fromStdString(a.substr(8));
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return o;
}

Home::Home(const QString& collection) {
    qputenv("XDG_DATA_HOME", dir_.path().toUtf8());
    qputenv("XDG_STATE_HOME", (dir_.path() + QStringLiteral("/state")).toUtf8());
    dataDir_ = dir_.path() + QStringLiteral("/KZQ/Varozidi/");
    QDir().mkpath(dataDir_);
    QFile::link(collection, dataDir_ + QStringLiteral("varozidi.mdb"));
    QFile welcome(dataDir_ + QStringLiteral("kzq.txt"));
    if (welcome.open(QIODevice::WriteOnly))
        welcome.write("Welcome\n");
}

void RefuseMessageBoxes() {
    SetMessageDlgAnswerer([](const MessageDlgRequest& request) -> int {
        qFatal("unexpected message: %s", qPrintable(request.text));
    });
}

bool SelectSnippet(TForm1& form, const QString& language, qint64 id) {
    const int lang = form.ListBox1->IndexOf(language);
    if (lang < 0)
        return false;
    form.ListBox1->setItemIndex(lang);
    form.ListVarozidiExecute();
    for (int i = 0; i < form.ListBox2->Count(); ++i)
        if (form.ListBox2->Value(i) == id) {
            form.ListBox2->setItemIndex(i);
            return true;
        }
    return false;
}

sqlite3* OpenBare(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 3000);
    return db;
}

bool Target(const std::string& name, double ratio, double limit, const std::string& detail) {
    const bool pass = ratio <= limit;
    std::printf("TARGET|%s|%.3g|%.3g|%s|%s\n", name.c_str(), ratio, limit, pass ? "PASS" : "FAIL",
                detail.c_str());
    std::fflush(stdout);
    return pass;
}

void Info(const std::string& name, double value, const std::string& unit) {
    std::printf("INFO|%s|%.3f|%s\n", name.c_str(), value, unit.c_str());
    std::fflush(stdout);
}

} // namespace bench

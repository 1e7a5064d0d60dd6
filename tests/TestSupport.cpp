// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include "PgServer.h"

#include "data/engines/postgresql/PgBackend.h"
#include "data/files/IniFile.h"
#include "data/modules/Module.h"
#include "data/setup/Setup.h"
#include "data/store/AdoConnectionString.h"
#include "window/Forms.h"
#include "window/HelpModule.h"
#include "window/Unit1.h"
#include "window/Unit2.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QtTest>
#include <sqlite3.h>

namespace testsupport {

namespace {

struct Db {
    sqlite3* handle = nullptr;
    explicit Db(const QString& path) {
        if (sqlite3_open_v2(path.toUtf8().constData(), &handle, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK)
            qFatal("cannot open test database %s", qPrintable(path));
    }
    ~Db() { sqlite3_close(handle); }
};

// Every row of the server's table, each field as text or null.
QList<QList<QVariant>> serverRows() {
    varozidi::ado::PgBackend server(serverUri());
    const auto result =
        server.exec(QStringLiteral("SELECT \"ID\", \"Language\", \"Title\", \"Body\" FROM "
                                   "varozidi ORDER BY \"ID\""),
                    {}, QStringLiteral("read the test rows"));
    QList<QList<QVariant>> rows;
    for (int row = 0; row < result->rows(); ++row)
        rows.append({result->value(row, 0), result->value(row, 1), result->value(row, 2),
                     result->value(row, 3)});
    return rows;
}

} // namespace

void makeDatabase(const QString& path, const QList<Row>& rows) {
    if (varozidi::ado::IsServerUri(path))
        return resetServerTable(rows);
    varozidi::setup::CreateEmptyDatabase(path);
    Db db(path);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db.handle, "INSERT INTO varozidi (Language, Title, Body) VALUES (?,?,?)", -1,
                       &stmt, nullptr);
    for (const Row& row : rows) {
        const QByteArray values[] = {row.language.toUtf8(), row.title.toUtf8(), row.body.toUtf8()};
        for (int i = 0; i < 3; ++i)
            sqlite3_bind_text(stmt, i + 1, values[i].constData(), int(values[i].size()),
                              SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE)
            qFatal("insert failed: %s", sqlite3_errmsg(db.handle));
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
}

QList<StoredRow> readRows(const QString& path) {
    if (varozidi::ado::IsServerUri(path)) {
        QList<StoredRow> rows;
        for (const auto& r : serverRows())
            rows.append({r[0].toLongLong(), r[1].toString(), r[2].toString(), r[3].toString()});
        return rows;
    }
    Db db(path);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db.handle, "SELECT ID, Language, Title, Body FROM varozidi ORDER BY ID", -1,
                       &stmt, nullptr);
    QList<StoredRow> rows;
    auto text = [stmt](int col) {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, col)),
                                 sqlite3_column_bytes(stmt, col));
    };
    while (sqlite3_step(stmt) == SQLITE_ROW)
        rows.append({sqlite3_column_int64(stmt, 0), text(1), text(2), text(3)});
    sqlite3_finalize(stmt);
    return rows;
}

QJsonArray readRowsAsJson(const QString& path) {
    if (varozidi::ado::IsServerUri(path)) {
        QJsonArray rows;
        for (const auto& r : serverRows())
            rows.append(QJsonObject{{"ID", r[0].toLongLong()},
                                    {"Language", QJsonValue::fromVariant(r[1])},
                                    {"Title", QJsonValue::fromVariant(r[2])},
                                    {"Body", QJsonValue::fromVariant(r[3])}});
        return rows;
    }
    Db db(path);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db.handle, "SELECT ID, Language, Title, Body FROM varozidi ORDER BY ID", -1,
                       &stmt, nullptr);
    QJsonArray rows;
    auto value = [stmt](int col) -> QJsonValue {
        if (sqlite3_column_type(stmt, col) == SQLITE_NULL)
            return QJsonValue::Null;
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, col)),
                                 sqlite3_column_bytes(stmt, col));
    };
    while (sqlite3_step(stmt) == SQLITE_ROW)
        rows.append(QJsonObject{{"ID", sqlite3_column_int64(stmt, 0)},
                                {"Language", value(1)},
                                {"Title", value(2)},
                                {"Body", value(3)}});
    sqlite3_finalize(stmt);
    return rows;
}

QString connectionStringFor(const QString& path) {
    return varozidi::ado::IsServerUri(path) ? varozidi::ado::serverConnectionString(path)
                                            : varozidi::ado::jetConnectionString(path);
}

void execSql(const QString& path, const QString& sql) {
    if (varozidi::ado::IsServerUri(path)) {
        try {
            varozidi::ado::PgBackend(path).script(sql, QStringLiteral("run the test's SQL"));
        } catch (const std::exception& e) {
            QFAIL(e.what());
        }
        return;
    }
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr),
             SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message);
    const QString why = QString::fromUtf8(message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
    QVERIFY2(rc == SQLITE_OK, qPrintable(why));
}

QStringList cliCollection(const QStringList& args) {
    if (!onServer() || args.contains(QStringLiteral("--data-dir")) ||
        args.contains(QStringLiteral("--database")))
        return args;
    return QStringList{QStringLiteral("--database"), serverUri()} + args;
}

CliRun runCli(const QStringList& args, const QByteArray& input) {
    QProcess process;
    process.start(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli"), cliCollection(args));
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(30000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QStringList entries(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out.append(list->item(i)->text());
    return out;
}

void clickRow(QListWidget* list, int row, Qt::MouseButton button) {
    QListWidgetItem* item = list->item(row);
    QVERIFY2(item, qPrintable(QStringLiteral("no row %1").arg(row)));
    list->scrollToItem(item);
    const QPoint at = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), button, Qt::NoModifier, at);
}

void typeText(TForm1& form, const QString& text) {
    form.SynEdit1->setFocus();
    form.SynEdit1->SendScintilla(QsciScintillaBase::SCI_DOCUMENTEND);
    QTest::keyClicks(form.SynEdit1, text);
}

DataHome::DataHome(const QString& name)
    : dir_(QDir::tempPath() + u'/' + name), previous_(qgetenv("XDG_DATA_HOME")),
      hadPrevious_(qEnvironmentVariableIsSet("XDG_DATA_HOME")),
      previousState_(qgetenv("XDG_STATE_HOME")),
      hadPreviousState_(qEnvironmentVariableIsSet("XDG_STATE_HOME")) {
    qputenv("XDG_DATA_HOME", dir_.path().toUtf8());
    qputenv("XDG_STATE_HOME", (root() + QStringLiteral("state")).toUtf8());
    QDir().mkpath(dataDir());
}

DataHome::~DataHome() {
    if (hadPrevious_)
        qputenv("XDG_DATA_HOME", previous_);
    else
        qunsetenv("XDG_DATA_HOME");
    if (hadPreviousState_)
        qputenv("XDG_STATE_HOME", previousState_);
    else
        qunsetenv("XDG_STATE_HOME");
}

QString DataHome::stateDir() const {
    return root() + QStringLiteral("state/KZQ/Varozidi/");
}

QString DataHome::root() const {
    return dir_.path() + u'/';
}

QString DataHome::dataDir() const {
    return root() + QStringLiteral("KZQ/Varozidi/");
}

Dialogs::Dialogs() {
    SetMessageDlgAnswerer([this](const MessageDlgRequest& request) {
        asked_.append(request);
        if (!answers_.isEmpty())
            return answers_.takeFirst();
        ++unexpected_;
        return (request.buttons & mbNo) ? mrNo : mrOk;
    });
}

void atNextBox(const std::function<void(QMessageBox*)>& act) {
    auto* watch = new QTimer(qApp);
    // Once the box has the focus too: a key sent before would go to the window behind it, and
    // the box would wait for ever (seen on a loaded machine).
    QObject::connect(watch, &QTimer::timeout, watch, [watch, act] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->isActiveWindow() && box->focusWidget()) {
            watch->deleteLater();
            watch->stop();
            act(box);
        }
    });
    watch->start(30);
}

std::unique_ptr<QProcess> otherProgram(const QString& path, const QString& sql) {
    auto shell = std::make_unique<QProcess>();
    shell->start(QStringLiteral("sqlite3"), {path});
    if (!shell->waitForStarted())
        return nullptr;
    // It waits for the window's reads as a real program would (the shell's own default is
    // to give up at once).
    shell->write(".timeout 5000\n" + sql.toUtf8() + ";\nSELECT 'ran';\n");
    while (!shell->readAllStandardOutput().contains("ran") && shell->waitForReadyRead(30000)) {
    }
    return shell;
}

Dialogs::~Dialogs() {
    SetMessageDlgAnswerer({});
}

Started::Started(const QList<Row>& rows, const QList<std::pair<QString, QByteArray>>& files) {
    makeDatabase(database(), rows);
    writeFile(home.dataDir() + QStringLiteral("kzq.txt"), kWelcome);
    for (const auto& [name, content] : files)
        writeFile(home.dataDir() + name, content);
    if (onServer()) {
        const QString settings = home.dataDir() + QStringLiteral("Tessel.ini");
        QFile file(settings);
        const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        file.close();
        writeFile(settings, TIniFile::WithEntry(text, QStringLiteral("DATABASE"),
                                                QStringLiteral("URI"), serverUri()));
    }
    form_ = std::make_unique<TForm1>();
    Form2 = new TForm2(form_.get()); // as at start-up; the window owns it
    form_->show();
    if (!QTest::qWaitForWindowExposed(form_.get()))
        qWarning("main window not exposed");
}

QString Started::database() const {
    return onServer() ? serverUri() : home.dataDir() + QStringLiteral("varozidi.mdb");
}

Started::~Started() {
    Form2 = nullptr;
}

StartedHere::StartedHere() : form(std::make_unique<TForm1>()) {
    Form2 = new TForm2(form.get());
    form->show();
}

StartedHere::~StartedHere() {
    form.reset();
    Form2 = nullptr;
}

QString StartedHere::said() const {
    QStringList texts;
    for (const MessageDlgRequest& request : dialogs.asked())
        texts.append(request.text);
    return texts.join(u'|');
}

} // namespace testsupport

namespace {

// The suites use the modules of this build, which do not lie beside the test programs.
void useBuiltModules() {
    SetHelpModulePath(QStringLiteral(VAROZIDI_HELP_MODULE));
    varozidi::modules::SetFolder(QStringLiteral(VAROZIDI_BINARY_DIR));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(useBuiltModules)

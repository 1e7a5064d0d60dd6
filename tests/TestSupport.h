// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "PgServer.h"

#include "window/platform/Dialogs.h"

#include <QJsonArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class QListWidget;
class QMessageBox;
class QProcess;
class TForm1;

namespace testsupport {

struct Row {
    QString language;
    QString title;
    QString body;
};

struct StoredRow {
    qint64 id;
    QString language;
    QString title;
    QString body;
    bool operator==(const StoredRow&) const = default;
};

// A new snippet database at path holding rows in the given order (IDs 1, 2, ...).
void makeDatabase(const QString& path, const QList<Row>& rows);
// Every row of path's table, in ID order, read with plain SQLite.
QList<StoredRow> readRows(const QString& path);

// Every row of path's table in ID order, as objects with the fields ID, Language, Title and
// Body, null where a field has no value.
QJsonArray readRowsAsJson(const QString& path);

// The program's connection string for a database at path.
QString connectionStringFor(const QString& path);
// Runs sql on the database at path with plain SQLite; the test fails if it does.
void execSql(const QString& path, const QString& sql);

// varozidi-cli run as a user runs it: exit status (-1 after a crash), output and errors.
struct CliRun {
    int status = -1;
    QByteArray out;
    QByteArray err;
};
CliRun runCli(const QStringList& args, const QByteArray& input = {});
// args with "--database" and the test server first when the suite runs on the server and
// args name no collection of their own.
QStringList cliCollection(const QStringList& args);

// Writes text (UTF-8) to path, replacing the file.
void writeFile(const QString& path, const QByteArray& bytes);

// The texts of a list widget's entries, top to bottom.
QStringList entries(const QListWidget* list);
// A real mouse click on an entry of a list, as the user makes it.
void clickRow(QListWidget* list, int row, Qt::MouseButton button = Qt::LeftButton);
// Types text at the end of the editor, as the user does.
void typeText(TForm1& form, const QString& text);

// Does to the next real message box what the user does (SetMessageDlgAnswerer({}) first).
void atNextBox(const std::function<void(QMessageBox*)>& act);
// sqlite3, the shell, as another program on the database at path: runs sql and returns once
// it has run, the shell still open; null where sqlite3 is not installed.
std::unique_ptr<QProcess> otherProgram(const QString& path, const QString& sql);

// A temporary per-user data folder: XDG_DATA_HOME points into it for the object's life.
class DataHome {
public:
    // name: a template for the folder's name (ending in XXXXXX), to try odd paths.
    explicit DataHome(const QString& name = QStringLiteral("varozidi-XXXXXX"));
    ~DataHome();
    QString root() const;    // the XDG_DATA_HOME folder, ending in '/'
    QString dataDir() const; // root + "KZQ/Varozidi/", created
    // Where unsaved text is kept: XDG_STATE_HOME (root + "state") + "KZQ/Varozidi/".
    QString stateDir() const;
    bool isValid() const { return dir_.isValid(); }

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_;
    QByteArray previousState_;
    bool hadPreviousState_;
};

// Answers every MessageDlg in order from a script and records what was asked. An
// unscripted dialog is answered with No/OK and counted as unexpected.
class Dialogs {
public:
    Dialogs();
    ~Dialogs();
    void answer(int result) { answers_.append(result); }
    const QList<MessageDlgRequest>& asked() const { return asked_; }
    int unexpected() const { return unexpected_; }
    void clear() {
        asked_.clear();
        answers_.clear();
        unexpected_ = 0;
    }

private:
    QList<MessageDlgRequest> asked_;
    QList<int> answers_;
    int unexpected_ = 0;
};

// A main window started, shown, on a database holding rows, with a welcome text in place,
// and its busy notice.
class Started {
public:
    // files: more data files (name, content) to put in place before the window starts.
    explicit Started(const QList<Row>& rows,
                     const QList<std::pair<QString, QByteArray>>& files = {});
    ~Started();
    TForm1& form() { return *form_; }
    TForm1* operator->() { return form_.get(); }
    // The file, or the test server's address when the suite runs on the server.
    QString database() const;
    QList<StoredRow> rows() const { return readRows(database()); }

    DataHome home;
    Dialogs dialogs;

private:
    std::unique_ptr<TForm1> form_;
};

// The main window started, shown, on the data folder as it is (XDG_DATA_HOME), with its busy
// notice; every message it shows is recorded.
class StartedHere {
public:
    StartedHere();
    ~StartedHere();
    // The texts of the messages shown so far, joined by '|'.
    QString said() const;

    Dialogs dialogs;
    std::unique_ptr<TForm1> form;
};

inline const QByteArray kWelcome = QByteArrayLiteral("Welcome!\nAdd a snippet.\n");

} // namespace testsupport

#pragma once

#include "platform/Dialogs.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

struct Row {
    QString language;
    QString title;
    QString body;
};

struct StoredRow {
    int id;
    QString language;
    QString title;
    QString body;
    bool operator==(const StoredRow&) const = default;
};

// A new snippet database at path holding rows in the given order (IDs 1, 2, ...).
void makeDatabase(const QString& path, const QList<Row>& rows);
// Every row of path's table, in ID order, read with plain SQLite.
QList<StoredRow> readRows(const QString& path);

// A temporary per-user data folder: XDG_DATA_HOME points into it for the object's life.
class DataHome {
public:
    DataHome();
    ~DataHome();
    QString root() const;    // the XDG_DATA_HOME folder, ending in '/'
    QString dataDir() const; // root + "KZQ/Varozidi/", created
    bool isValid() const { return dir_.isValid(); }

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_;
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

} // namespace testsupport

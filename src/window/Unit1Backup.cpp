// SPDX-License-Identifier: GPL-3.0-or-later
// Backup and restore: the whole database file is copied while the connection is closed,
// under the busy notice.

#include "window/Unit1.h"

#include "data/collection/DatabaseChoice.h"
#include "data/core/Errors.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/postgresql/ServerTransfer.h"
#include "data/engines/sqlite/DatabaseFile.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"
#include "data/store/ADODB.h"
#include "window/Forms.h"
#include "window/Unit2.h"
#include "window/platform/Dialogs.h"
#include "window/platform/Toolkit.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QScopeGuard>
#include <QScopedValueRollback>

using varozidi::Error;

namespace {

constexpr int kPauseMs = 2000;
constexpr int kPollMs = 1000;

// Each path is built when it is used; letter case does not matter in any of them.
QString liveDatabase() {
    return ResolveFileName(GetAppDataFolder() + QStringLiteral("KZQ/Varozidi/Varozidi.mdb"));
}

QString backupFolder() {
    return GetAppDataFolder() + QStringLiteral("KZQBackups/Varozidi/");
}

QString backupCopy() {
    return ResolveFileName(backupFolder() + QStringLiteral("Varozidi.mdb"));
}

} // namespace

void TForm1::ToolButton9Click(QObject*) {
    Form2->Panel1->setText(QStringLiteral("Backing up database..."));
    const QString server = ServerUriOf(ADOConnection1->ConnectionString());
    copyWithDatabaseClosed(false, [server](bool held) {
        MakeFolders(backupFolder());
        // A server's rows become the usual local backup file.
        if (!server.isEmpty()) {
            varozidi::ado::PgBackend connection(server);
            varozidi::transfer::BackupServer(connection, backupCopy());
            return;
        }
        if (!held)
            SettleDatabaseFile(liveDatabase());
        CopyFileSafely(liveDatabase(), backupCopy());
    });
}

void TForm1::ToolButton8Click(QObject*) {
    // The caption changes also when the user declines.
    Form2->Panel1->setText(QStringLiteral("Restoring database..."));
    if (MessageDlg(
            QStringLiteral("This will reset your database to the last backup! Are you sure?"),
            TMsgDlgType::mtConfirmation, mbYes | mbNo, 0, mbNo) != mrYes)
        return;
    const QString backup = backupCopy();
    if (!QFileInfo::exists(backup)) {
        MessageDlg(tr("There is no backup to restore yet (\"%1\" does not exist); nothing was "
                      "changed. \"Backup Data!\" makes one.")
                       .arg(backup),
                   TMsgDlgType::mtInformation, mbOK, 0);
        return;
    }
    try {
        TADOConnection::VerifyDatabaseFile(backup, ADOTable1->TableName());
    } catch (const Error& e) {
        throw Error(
            tr("The backup cannot be restored, so nothing was changed.\n\n%1").arg(e.message()));
    }
    const QString server = ServerUriOf(ADOConnection1->ConnectionString());
    copyWithDatabaseClosed(true, [backup, server](bool held) {
        if (!server.isEmpty()) {
            varozidi::ado::PgBackend connection(server);
            varozidi::transfer::RestoreServer(connection, backup);
            return;
        }
        // Written into the file, so that another program that has it open goes on with it.
        if (held && RestoreDatabaseInto(liveDatabase(), backup))
            return;
        // A file SQLite cannot write into is replaced whole. An old journal left beside it
        // would otherwise be played into the restored one.
        SettleDatabaseFile(liveDatabase());
        CopyFileSafely(backup, liveDatabase());
    });
}

// Shows the notice, closes the connection, waits for other programs to let go of the
// database and runs copy. Whatever happens, the connection is reopened, the language list
// refilled and the notice taken away; the first failure is then reported.
template <class F> void TForm1::copyWithDatabaseClosed(bool refillBeforeHiding, F&& copy) {
    const QScopedValueRollback busy(busy_, true);
    const QString language =
        ListBox1->ItemIndex() >= 0 ? ListBox1->Text(ListBox1->ItemIndex()) : QString();
    Form2->move(frameGeometry().center() - Form2->rect().center());
    Form2->show();
    ProcessMessages();
    Sleep(kPauseMs);

    std::exception_ptr failure;
    const auto attempt = [&failure](auto&& step) {
        try {
            step();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    };
    attempt([&] {
        ADOConnection1->Close();
        // A restore waits until no one has the file in use, a backup until no one writes.
        auto hold = waitForOtherPrograms(refillBeforeHiding ? DatabaseHold::Keep::Everyone
                                                            : DatabaseHold::Keep::Writers);
        const bool held = hold != nullptr;
        // A restore takes the lock again as it writes through SQLite; a backup keeps it.
        if (refillBeforeHiding)
            hold.reset();
        copy(held);
    });
    attempt([this] { ADOConnection1->Open(); });
    // The language list is refilled; the selected language and title stay where the file
    // still holds them, and the titles follow the file: a title list left over from before
    // would open or remove whatever snippet now has an ID it shows.
    const auto refill = [this, language] {
        ListLangsExecute();
        const int row = language.isEmpty() ? -1 : ListBox1->IndexOf(language);
        ListBox1->setItemIndex(row);
        if (row < 0)
            ListBox2->SetEntries({});
        else
            RefreshFromElsewhere();
        if (CurrentSnippitID == 0 && ListBox2->ItemIndex() >= 0)
            ListBox2->setItemIndex(-1);
    };
    if (refillBeforeHiding) {
        attempt([this] { findShownSnippetAgain(); });
        attempt(refill);
    }
    Form2->hide();
    if (!refillBeforeHiding)
        attempt(refill);
    if (failure)
        std::rethrow_exception(failure);
}

// Polls once a second until SQLite's own lock is ours: the returned hold keeps it for the copy.
// The lock file says only that some program has the collection open; an idle window, which
// follows what a restore writes into the file, is no reason to wait. Null where the file
// takes no lock, or on a server, which orders writers itself.
std::unique_ptr<DatabaseHold> TForm1::waitForOtherPrograms(DatabaseHold::Keep keep) {
    if (!ServerUriOf(ADOConnection1->ConnectionString()).isEmpty())
        return nullptr;
    const QString caption = Form2->Panel1->text();
    const auto showCaption = qScopeGuard([&] { Form2->Panel1->setText(caption); });
    QElapsedTimer waited;
    waited.start();
    while (true) {
        bool busy = false;
        auto hold = DatabaseHold::Take(liveDatabase(), keep, busy);
        if (!busy)
            return hold;
        if (waited.elapsed() >= LockWaitLimitMs)
            throw Error(tr("The database is in use by another program, so nothing was copied. "
                           "Close the other program and try again."));
        Form2->Panel1->setText(caption + QLatin1Char('\n') +
                               tr("Waiting for another program to let go of the collection"));
        Sleep(kPollMs);
    }
}

// Nothing invokes this: no notice, no wait, no refill; the connection is reopened in every
// case.
void TForm1::BackupDataExecute(QObject*) {
    ADOConnection1->Close();
    bool copied = false;
    try {
        const QString folder = backupFolder();
        MakeFolders(folder);
        copied = WinCopyFile(DataDir + QStringLiteral("varozidi.mdb"),
                             folder + QStringLiteral("varozidi.mdb"));
    } catch (...) {
        ADOConnection1->Open();
        throw;
    }
    ADOConnection1->Open();
    if (!copied)
        throw Error(tr("The database could not be copied into the backup folder."));
}

bool TForm1::WinCopyFile(const QString& source, const QString& dest) {
    try {
        CopyFileSafely(source, dest);
        return true;
    } catch (const Error&) {
        return false;
    }
}

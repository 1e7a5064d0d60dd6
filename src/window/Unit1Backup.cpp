// SPDX-License-Identifier: GPL-3.0-or-later
// Backup and restore: the whole database file is copied while the connection is closed,
// under the busy notice.

#include "window/Unit1.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
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

} // namespace

void TForm1::ToolButton9Click(QObject*) {
    Form2->Panel1->setText(QStringLiteral("Backing up database..."));
    const auto address = varozidi::CollectionAddress::Of(ADOConnection1->ConnectionString());
    copyWithDatabaseClosed(false, [address](bool held) {
        // The backup folder is looked up anew each time, as is the backup in it.
        MakeFolders(varozidi::paths::BackupFolder());
        varozidi::whole::Backup(address, varozidi::paths::BackupCopy(), held);
    });
}

void TForm1::ToolButton8Click(QObject*) {
    // The caption changes also when the user declines.
    Form2->Panel1->setText(QStringLiteral("Restoring database..."));
    if (MessageDlg(
            QStringLiteral("This will reset your database to the last backup! Are you sure?"),
            TMsgDlgType::mtConfirmation, mbYes | mbNo, 0, mbNo) != mrYes)
        return;
    const QString backup = varozidi::paths::BackupCopy();
    if (!QFileInfo::exists(backup)) {
        MessageDlg(tr("There is no backup to restore yet (\"%1\" does not exist); nothing was "
                      "changed. \"Backup Data!\" makes one.")
                       .arg(backup),
                   TMsgDlgType::mtInformation, mbOK, 0);
        return;
    }
    try {
        varozidi::whole::VerifyBackup(backup, ADOTable1->TableName());
    } catch (const Error& e) {
        throw Error(
            tr("The backup cannot be restored, so nothing was changed.\n\n%1").arg(e.message()));
    }
    const auto address = varozidi::CollectionAddress::Of(ADOConnection1->ConnectionString());
    copyWithDatabaseClosed(
        true, [address, backup](bool held) { varozidi::whole::Restore(address, backup, held); });
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
    bool copied = false;
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
        auto hold =
            waitForOtherPrograms(refillBeforeHiding ? varozidi::CollectionHold::Keep::Everyone
                                                    : varozidi::CollectionHold::Keep::Writers);
        const bool held = hold != nullptr;
        // A restore takes the lock again as it writes through SQLite; a backup keeps it.
        if (refillBeforeHiding)
            hold.reset();
        copy(held);
        copied = true;
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
    if (!failure)
        return;
    if (!copied)
        std::rethrow_exception(failure);
    // The copy is made: what failed after it is no reason to make it again.
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        throw varozidi::AfterChangeError(varozidi::messageOf(e));
    }
}

// Polls once a second until the collection's own lock is ours: the returned hold keeps it for
// the copy. The lock file says only that some program has the collection open; an idle window,
// which follows what a restore writes into the file, is no reason to wait. Null where nothing
// needs holding (a server orders its writers itself).
std::unique_ptr<varozidi::CollectionHold>
TForm1::waitForOtherPrograms(varozidi::CollectionHold::Keep keep) {
    const auto address = varozidi::CollectionAddress::Of(ADOConnection1->ConnectionString());
    const QString caption = Form2->Panel1->text();
    const auto showCaption = qScopeGuard([&] { Form2->Panel1->setText(caption); });
    QElapsedTimer waited;
    waited.start();
    while (true) {
        bool busy = false;
        auto hold = varozidi::whole::Hold(address, keep, busy);
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
        const QString folder = varozidi::paths::BackupFolder();
        MakeFolders(folder);
        copied = WinCopyFile(varozidi::paths::Database(DataDir), varozidi::paths::Database(folder));
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

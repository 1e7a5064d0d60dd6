// SPDX-License-Identifier: GPL-3.0-or-later
// Unsaved text kept on the disk while the editor holds it, and offered back at the next start
// when the program ended without closing (a crash, a kill, a logout).

#include "window/Unit1.h"

#include "data/recovery/Recovery.h"
#include "data/store/ADODB.h"
#include "data/store/AdoBackend.h"
#include "data/store/SnippetQueries.h"
#include "window/platform/Dialogs.h"

#include <QFileInfo>
#include <unistd.h>

using namespace varozidi::recovery;

namespace {

// How long an end by a signal waits for a write it stopped.
constexpr int kStopWriteMs = 100;

} // namespace

void TForm1::startRecovery() {
    RecoveryKeeper = new Keeper(
        Folder(), [this] { return recoverySnapshot(); }, this);
    // Typing goes on either way; the text is still in the editor to be saved.
    RecoveryKeeper->OnFailure = [this](const QString& why) {
        qWarning("varozidi: unsaved text cannot be kept on the disk: %s", qPrintable(why));
        // The user must know that only a save protects the text now.
        showLiveNote(tr("Unsaved text cannot be kept on the disk (%1); if Varozidi ended now "
                        "it would be lost. Save your changes.")
                         .arg(why));
    };
    connect(SynEdit1, &TSynEdit::OnChange, this, [this] {
        recordKept_ = true;
        RecoveryKeeper->Changed();
    });
}

// After every handler: a text saved, or dismissed at a question, takes its record along.
void TForm1::syncRecovery() {
    if (SnippitChanged == 1 || !recordKept_)
        return;
    recordKept_ = false;
    RecoveryKeeper->Discard();
}

void TForm1::recoveryLoaded(const QByteArray& body) {
    RecoveryKeeper->Loaded(body);
}

Record TForm1::recoverySnapshot() const {
    Record record;
    // The file by its real name: another window may reach it through a link.
    if (const QString location = ADOConnection1->Location(); !location.isEmpty()) {
        const QString file = QFileInfo(location).canonicalFilePath();
        recoveryCollection_ = file.isEmpty() ? location : file;
    }
    record.collection = recoveryCollection_;
    shown_.describe(record);
    SynEdit1->TextBytesInto(recoveryText_);
    record.text = recoveryText_;
    record.pid = ::getpid();
    record.written = QDateTime::currentDateTimeUtc();
    return record;
}

bool TForm1::storedBodyIs(qint64 id, const QByteArray& text) {
    // Unreadable now: the question is asked, and showing the text says what went wrong.
    try {
        OpenFiltered(*ADOTable1, IdFilter(id));
        const bool same =
            !ADOTable1->Eof() && ADOTable1->FieldByName(QStringLiteral("Body")).AsBytes() == text;
        CloseUnfiltered(*ADOTable1);
        return same;
    } catch (const std::exception&) {
        CloseUnfiltered(*ADOTable1);
        return false;
    }
}

void TForm1::OfferRecovery() {
    if (SnippitChanged == 1)
        return;
    const std::unique_ptr<LeftRecord> left =
        FindLeftRecord(Folder(), recoverySnapshot().collection);
    if (!left)
        return;
    if (!left->record()) {
        const QString aside = left->SetAside();
        MessageDlg(tr("Unsaved text kept from an earlier run of Varozidi cannot be read (%1), so "
                      "it cannot be shown again.\n\nThe file was set aside as \"%2\".")
                       .arg(left->error(), aside.isEmpty() ? left->path() : aside),
                   TMsgDlgType::mtError, mbOK, 0);
        return;
    }
    const Record& record = *left->record();
    // Its text reached the snippet after all (the program ended just after a save): there is
    // nothing to offer, and offering would ask about the save as someone else's.
    if (record.id != 0 && storedBodyIs(record.id, record.text)) {
        left->Remove();
        return;
    }
    const QString what = record.id == 0
                             ? tr("Text typed over the welcome text")
                             : tr("The snippet \"%1\" (%2)").arg(record.title, record.language);
    const int answer =
        MessageDlg(tr("%1 was not saved when Varozidi last ended. Show the unsaved text?\n\n"
                      "Yes: show it, unsaved, to save or drop as you like.\nNo: throw it away.\n"
                      "Cancel: ask again at the next start.")
                       .arg(what),
                   TMsgDlgType::mtConfirmation, mbYes | mbNo | mbCancel, 0, mbYes);
    if (answer == mrNo)
        left->Remove();
    if (answer != mrYes)
        return;
    // A failure leaves the record where it was, for the next start.
    Guarded([&] {
        showRecovered(record);
        recordKept_ = true;
        // The text is this program's own now; its record replaces the one left behind.
        RecoveryKeeper->WriteNow();
        left->Remove();
    });
}

// The snippet selected and shown as a click would, then the kept text over it as unsaved
// changes: a save goes through every check a save makes.
void TForm1::showRecovered(const Record& record) {
    // As kept: bytes of a snippet that are not UTF-8 come back unchanged.
    const QByteArray& text = record.text;
    if (record.id == 0) {
        SynEdit1->SetLinesBytes(text, SynEdit1->Highlighter());
        shown_.unlink();
        SnippitChanged = 1;
        openNewSnippetPanel();
        return;
    }
    OpenFiltered(*ADOTable1, IdFilter(record.id));
    const bool present = !ADOTable1->Eof();
    const QString language =
        present ? ADOTable1->FieldByName(QStringLiteral("Language")).AsString() : QString();
    const QString title =
        present ? ADOTable1->FieldByName(QStringLiteral("Title")).AsString() : QString();
    CloseUnfiltered(*ADOTable1);
    if (present && (language == record.language || title == record.title)) {
        ShowSearchHit(record.id, language);
        if (CurrentSnippitID != record.id)
            throw varozidi::Error(tr("The snippet \"%1\" could not be shown.").arg(title));
        if (Digest(SynEdit1->TextBytes()) != record.loadedDigest)
            shown_.distrustVersion();
        RecoveryKeeper->LoadedDigest(record.loadedDigest);
        SynEdit1->SetLinesBytes(text, SynEdit1->Highlighter());
    } else {
        // Deleted since, or its number now names another snippet: a save offers a new one,
        // with the language and title it had.
        SynEdit1->SetLinesBytes(text, HighlighterFor(record.language));
        shown_.takeKept(record, present);
    }
    SnippitChanged = 1;
}

void TForm1::EndAtSignal(int signal) {
    try {
        // A write under way stops where it is; one that landed already stored the text. One
        // that goes on is left to the end of the process, which undoes it; should it have
        // landed all the same, the next start finds the record's text stored and drops it.
        using varozidi::ado::WriteAside;
        const WriteAside write =
            ADOConnection1 ? ADOConnection1->StopWrite(kStopWriteMs) : WriteAside::None;
        const bool stored = write == WriteAside::Landed && shown_.writingText();
        if (RecoveryKeeper) {
            if (SnippitChanged == 1 && !stored) {
                RecoveryKeeper->WriteNow();
            } else if (recordKept_) {
                recordKept_ = false;
                RecoveryKeeper->Discard();
            }
            RecoveryKeeper->Flush();
            // Its lock file goes with it; a record written above stays for the next start.
            delete RecoveryKeeper;
            RecoveryKeeper = nullptr;
        }
        // Closing would wait for the write still going on.
        if (ADOConnection1 && write != WriteAside::Running)
            ADOConnection1->Close();
    } catch (...) {
        // Ending is what was asked for; nothing here may stop it.
    }
    EndBySignal(signal);
}

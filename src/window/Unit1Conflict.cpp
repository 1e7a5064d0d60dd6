// SPDX-License-Identifier: GPL-3.0-or-later
// Two people, or two programs, saving one snippet: the later save asks before it overwrites,
// and every answer keeps both texts.

#include "window/Unit1.h"

#include "window/platform/Dialogs.h"

// True when the editor's text was saved.
bool TForm1::settleConcurrentSave(const QString& why) {
    const int answer =
        MessageDlg(why + tr("\n\nYes: overwrite it with your text.\nNo: keep the stored text; "
                            "yours stays in the editor, unsaved.\nCancel: save your text as a "
                            "new snippet."),
                   TMsgDlgType::mtConfirmation, mbYes | mbNo | mbCancel, 0, mbNo);
    if (answer == mrYes) {
        overwriteChanges_ = true;
        try {
            EditSnippitExecute();
        } catch (...) {
            overwriteChanges_ = false;
            throw;
        }
        overwriteChanges_ = false;
        SnippitChanged = 0;
        return true;
    }
    if (answer == mrCancel)
        openNewSnippetPanel();
    return false;
}

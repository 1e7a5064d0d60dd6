// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's side of search: opening the search window, opening a match chosen there,
// and the notice while the search index is being built.

#include "window/Unit1.h"

#include "data/collection/Collection.h"
#include "data/store/ADODB.h"
#include "window/Forms.h"
#include "window/SearchWindow.h"
#include "window/Unit2.h"
#include "window/platform/Dialogs.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>

void TForm1::OpenSearch() {
    if (!Search) {
        Search = new SearchWindow(this);
        connect(Search, &SearchWindow::Chosen, this, [this](qint64 id, const QString& language) {
            Guarded([&] { ShowSearchHit(id, language); });
        });
        connect(Search, &SearchWindow::HistoryWanted, this,
                [this](qint64 id) { asHandler([&] { OpenHistoryOf(id); }); });
        connect(Search, &SearchWindow::RemovedWanted, this,
                [this] { asHandler([this] { OpenRemoved(); }); });
        // An index found damaged is built again; meanwhile every row was read.
        connect(Search, &SearchWindow::IndexFailed, this, [this] {
            Guarded([this] {
                ADOConnection1->Open();
                ADOConnection1->collection()->repairSearchIndex(
                    [this](bool slow) { showSlowWork(slow); },
                    [this](int percent) { showSlowProgress(percent); });
            });
        });
    }
    // The search window opens its own connections to the same collection; one that cannot
    // be named says so in the search window, at each search.
    try {
        Search->setDatabase(ADOConnection1->Connected() ? ADOConnection1->collection()->address()
                                                        : varozidi::CollectionAddress::Of(
                                                              ADOConnection1->ConnectionString()));
    } catch (const std::exception&) {
        Search->setDatabase({});
    }
    Search->show();
    Search->raise();
    Search->activateWindow();
    Search->Query->setFocus();
    Search->Query->selectAll();
}

void TForm1::ShowSearchHit(qint64 id, const QString& language) {
    int row = ListBox1->IndexOf(language);
    if (row < 0) {
        // Added by another program since the list was filled.
        ListLangsExecute();
        row = ListBox1->IndexOf(language);
    }
    if (row < 0)
        throw varozidi::Error(tr("The snippet is no longer in the collection."));
    ListBox1->Choose(row);
    if (ListBox1->ItemIndex() != row)
        return; // the switch was called off, or failed and said why
    for (int i = 0; i < ListBox2->Count(); ++i)
        if (ListBox2->Value(i) == id) {
            // The language's question was this one's: the text was saved or given up there.
            const std::uint8_t changed = SnippitChanged;
            SnippitChanged = 0;
            ListBox2->Choose(i);
            if (ListBox2->ItemIndex() != i) {
                SnippitChanged = changed;
            } else if (Search) {
                // Opened: the search window has done its part and goes, keeping its query for
                // the next time, and the snippet is in front, ready to be read or typed in.
                Search->hide();
                raise();
                activateWindow();
                SynEdit1->setFocus();
            }
            return;
        }
    throw varozidi::Error(tr("The snippet is no longer in the collection."));
}

// Building the index of a large collection takes a while; the busy notice says why. Before
// the notice window exists (at start-up) the main window shows one of its own.
void TForm1::showSlowWork(bool slow, const QString& what) {
    TForm2* notice = Form2;
    if (!notice) {
        if (!slowNotice_)
            slowNotice_ = new TForm2(this);
        notice = slowNotice_;
    }
    if (!slow) {
        notice->hide();
        return;
    }
    notice->Panel1->setText(what.isEmpty() ? tr("Preparing search...") : what);
    const QRect over = isVisible() ? frameGeometry() : screen()->availableGeometry();
    notice->move(over.center() - notice->rect().center());
    notice->show();
    // Paint it now; no click or key may run a handler while the database is busy.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// How far the index has come, in the notice, so that a long wait shows it is moving.
void TForm1::showSlowProgress(int percent) {
    TForm2* notice = Form2 ? Form2 : slowNotice_;
    if (!notice || !notice->isVisible())
        return;
    notice->Panel1->setText(tr("Preparing search... %1%").arg(percent));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The writer the crash harness kills: it runs one of the program's writing operations over
// and over on real files, says "ready" once the first has finished, and never stops by
// itself.

#include "CrashRows.h"
#include "data/collection/Collection.h"
#include "data/engines/sqlite/DatabaseFile.h"
#include "data/files/Files.h"
#include "data/recovery/Recovery.h"
#include "data/store/ADODB.h"
#include "data/store/AdoConnectionString.h"
#include "window/Forms.h"
#include "window/Unit1.h"
#include "window/Unit2.h"
#include "window/platform/SynEdit.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sqlite3.h>

namespace {

void ready(bool& said) {
    if (!said) {
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        said = true;
    }
}

// Edits, adds and deletes the snippets of one language through the data layer, as the
// window's Save Edits, Add and Remove do.
[[noreturn]] void store(const QString& database) {
    TADOConnection connection;
    connection.setConnectionString(varozidi::ado::jetConnectionString(database));
    TADOTable table;
    table.setConnection(&connection);
    table.setTableName(QStringLiteral("varozidi"));
    table.setFilter(QStringLiteral("Language = 'Store'"));
    table.setFiltered(true);
    table.Open();
    auto* random = QRandomGenerator::global();
    bool said = false;
    for (;;) {
        const qint64 tag = random->bounded(1, 1 << 30);
        const int count = table.RecordCount();
        const int op = int(random->bounded(4));
        if ((op == 2 && count < 30) || count < 4) {
            table.Insert();
            table.FieldByName(QStringLiteral("Language")).setAsString(QStringLiteral("Store"));
        } else {
            table.First();
            for (int skip = int(random->bounded(count)); skip > 0; --skip)
                table.Next();
            if (op == 3) {
                table.Delete();
                ready(said);
                continue;
            }
            table.Edit();
        }
        table.FieldByName(QStringLiteral("Title")).setAsString(crashrows::titleFor(tag));
        table.FieldByName(QStringLiteral("Body")).setAsString(crashrows::bodyFor(tag));
        table.Post();
        ready(said);
    }
}

// One save of the snippet id with the body made from tag, as the window's Save Edits makes it;
// then nothing more.
[[noreturn]] void save(const QString& database, qint64 id, qint64 tag) {
    TADOConnection connection;
    connection.setConnectionString(varozidi::ado::jetConnectionString(database));
    TADOTable table;
    table.setConnection(&connection);
    table.setTableName(QStringLiteral("varozidi"));
    table.setFilter(QStringLiteral("ID = %1").arg(id));
    table.setFiltered(true);
    table.Open();
    bool said = false;
    ready(said);
    table.Edit();
    table.FieldByName(QStringLiteral("Title")).setAsString(crashrows::titleFor(tag));
    table.FieldByName(QStringLiteral("Body")).setAsString(crashrows::bodyFor(tag));
    table.Post();
    std::fputs("saved\n", stdout);
    std::fflush(stdout);
    for (;;)
        QThread::sleep(1);
}

// Another program edits the snippets while the collection's history is compacted, again and
// again.
[[noreturn]] void compact(const QString& database) {
    const auto collection = varozidi::Collection::Open(
        varozidi::CollectionAddress::Of(varozidi::ado::jetConnectionString(database)));
    sqlite3* other = nullptr;
    sqlite3_open_v2(QFile::encodeName(database).constData(), &other, SQLITE_OPEN_READWRITE,
                    nullptr);
    sqlite3_busy_timeout(other, 5000);
    auto* random = QRandomGenerator::global();
    bool said = false;
    for (;;) {
        for (int i = 0; i < 10; ++i) {
            const qint64 tag = random->bounded(1, 1 << 30);
            const QByteArray title = crashrows::titleFor(tag).toUtf8();
            const QByteArray body = crashrows::bodyFor(tag).toUtf8();
            sqlite3_stmt* edit = nullptr;
            sqlite3_prepare_v2(other,
                               "UPDATE varozidi SET Title = ?, Body = ? WHERE ID = (SELECT ID "
                               "FROM varozidi ORDER BY random() LIMIT 1)",
                               -1, &edit, nullptr);
            sqlite3_bind_text(edit, 1, title.constData(), int(title.size()), SQLITE_STATIC);
            sqlite3_bind_text(edit, 2, body.constData(), int(body.size()), SQLITE_STATIC);
            sqlite3_step(edit);
            sqlite3_finalize(edit);
        }
        collection->compactHistory();
        ready(said);
    }
}

// A writer stopped in the middle of a transaction that has already spilled changed pages
// into the file: what a crash leaves behind, a hot journal beside a half-changed file.
[[noreturn]] void spill(const QString& database) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db,
                 "PRAGMA cache_size = 10; BEGIN IMMEDIATE; "
                 "UPDATE varozidi SET Body = 'half-written ' || hex(randomblob(30000))",
                 nullptr, nullptr, nullptr);
    std::raise(SIGKILL);
    std::abort();
}

// The copy that "Backup Data!" makes, with the connection closed.
[[noreturn]] void backup(const QString& database, const QString& folder) {
    bool said = false;
    for (;;) {
        SettleDatabaseFile(database);
        MakeFolders(folder);
        CopyFileSafely(database, folder + QStringLiteral("Varozidi.mdb"));
        ready(said);
    }
}

// The copy that "Restore Data!" makes, alternating between two backups.
[[noreturn]] void restore(const QString& database, const QStringList& backups) {
    bool said = false;
    for (qsizetype i = 0;; ++i) {
        const QString& from = backups[i % backups.size()];
        VerifyDatabaseFile(from, QStringLiteral("varozidi"));
        SettleDatabaseFile(database);
        CopyFileSafely(from, database);
        ready(said);
    }
}

// The main window closing, over and over: its placement and word wrap are stored each time.
[[noreturn]] void settings() {
    TForm1 form;
    Form2 = new TForm2(&form);
    form.show();
    bool said = false;
    for (int i = 0;; ++i) {
        const bool second = i % 2 == 1;
        form.setGeometry(second ? QRect(200, 150, 640, 480) : QRect(100, 80, 520, 360));
        form.SynEdit1->setWordWrap(second);
        bool canClose = false;
        form.FormCloseQuery(&form, canClose);
        ready(said);
    }
}

// The editor's unsaved text kept again and again, a large text each time.
[[noreturn]] void record() {
    TForm1 form;
    Form2 = new TForm2(&form);
    form.show();
    auto* random = QRandomGenerator::global();
    bool said = false;
    for (;;) {
        // Most of the time goes to the write itself, where the kills should fall.
        form.SynEdit1->SetLinesText(crashrows::recordFor(random->bounded(1, 1 << 30)));
        form.RecoveryKeeper->WriteNow();
        ready(said);
    }
}

// The program as it starts, on the data folder as it is, ending only by a signal: shows the
// snippet id of language (none: the welcome text), types text into it and says "typed"; with
// save, then says "saving" and clicks "Save Edits".
int window(const QString& language, qint64 id, const QString& typed, bool save) {
    Form1 = new TForm1;
    Form2 = new TForm2(Form1);
    varozidi::recovery::OnTermination(Form1, [](int signal) { Form1->EndAtSignal(signal); });
    Form1->show();
    if (id != 0)
        Form1->ShowSearchHit(id, language);
    Form1->SynEdit1->setFocus();
    Form1->SynEdit1->SendScintilla(QsciScintillaBase::SCI_DOCUMENTEND);
    // Key by key, as a keyboard sends them; any character, not only those with a key.
    for (const QChar c : typed) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(Form1->SynEdit1, &press);
    }
    std::fputs(Form1->SnippitChanged == 1 ? "typed\n" : "not typed\n", stdout);
    std::fflush(stdout);
    if (save)
        QTimer::singleShot(0, Form1, [] {
            std::fputs("saving\n", stdout);
            std::fflush(stdout);
            Form1->ToolButton5->click();
        });
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    // Only the window needs the application; the others start faster without it.
    std::unique_ptr<QApplication> app;
    if (args.value(0) == u"settings" || args.value(0) == u"record" || args.value(0) == u"window")
        app = std::make_unique<QApplication>(argc, argv);
    try {
        if (args.value(0) == u"store")
            store(args.value(1));
        if (args.value(0) == u"save")
            save(args.value(1), args.value(2).toLongLong(), args.value(3).toLongLong());
        if (args.value(0) == u"compact")
            compact(args.value(1));
        if (args.value(0) == u"spill")
            spill(args.value(1));
        if (args.value(0) == u"backup")
            backup(args.value(1), args.value(2));
        if (args.value(0) == u"restore")
            restore(args.value(1), args.mid(2));
        if (args.value(0) == u"settings")
            settings();
        if (args.value(0) == u"record")
            record();
        if (args.value(0) == u"window")
            return window(args.value(1), args.value(2).toLongLong(), args.value(3),
                          args.value(4) == u"save");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "crash_worker: %s\n", e.what());
        return 2;
    }
    std::fputs("crash_worker store|save|compact|spill|backup|restore|settings|record|window ...\n",
               stderr);
    return 1;
}

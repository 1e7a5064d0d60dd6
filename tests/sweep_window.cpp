// SPDX-License-Identifier: GPL-3.0-or-later
// The main window for the I/O sweep (tests/io_sweep.py). It starts as the program starts, makes
// one action ready and says "ready"; the sweep attaches strace and creates IO/go; the window
// does the action as a user does it (a click on the real button, keys into the editor) and
// makes the link IO/done. Once the sweep has let go of it and created IO/report, it writes
// what it said and holds into IO/report.json and ends. Nothing between go and done touches a
// file of its own, so every failing call the sweep injects there is the window's.
//
//   sweep_window save|add|remove|backup|restore|close|record IO

#include "data/recovery/Recovery.h"
#include "window/Forms.h"
#include "window/Unit1.h"
#include "window/Unit2.h"
#include "window/platform/Dialogs.h"
#include "window/platform/SynEdit.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <cstdio>
#include <unistd.h>

namespace {

QJsonArray messages;
QJsonArray warnings;

const char* kindName(TMsgDlgType kind) {
    switch (kind) {
    case TMsgDlgType::mtWarning:
        return "warning";
    case TMsgDlgType::mtError:
        return "error";
    case TMsgDlgType::mtInformation:
        return "information";
    case TMsgDlgType::mtConfirmation:
        return "confirmation";
    }
    return "?";
}

// Kept in memory: a line on standard error would be a write the sweep counts.
void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg)
        warnings.append(text);
}

// Key by key, as a keyboard sends them.
void type(const QString& text) {
    Form1->SynEdit1->setFocus();
    Form1->SynEdit1->SendScintilla(QsciScintillaBase::SCI_DOCUMENTEND);
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(Form1->SynEdit1, &press);
    }
}

void wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Gets the action ready; returns what does it.
std::function<void()> prepare(const QString& action) {
    const auto click = [](QWidget* button) -> std::function<void()> {
        return [button] { QTest::mouseClick(button, Qt::LeftButton); };
    };
    if (action == u"save") {
        Form1->ShowSearchHit(2, QStringLiteral("C++"));
        type(QStringLiteral("// typed ☃\n"));
        Form1->RecoveryKeeper->WriteNow(); // no write of the record left pending
        return click(Form1->ToolButton5);
    }
    if (action == u"add") {
        Form1->ShowSearchHit(1, QStringLiteral("Python"));
        QTest::mouseClick(Form1->ToolButton1, Qt::LeftButton);
        Form1->Edit1->setText(QStringLiteral("Python"));
        Form1->Edit2->setText(QStringLiteral("Added ☃"));
        return click(Form1->Button1);
    }
    if (action == u"remove") {
        Form1->ShowSearchHit(3, QStringLiteral("SQL"));
        return click(Form1->ToolButton2);
    }
    if (action == u"backup")
        return click(Form1->ToolButton9);
    if (action == u"restore")
        return click(Form1->ToolButton8);
    if (action == u"close") {
        Form1->setGeometry(QRect(200, 150, 640, 480));
        Form1->SynEdit1->setWordWrap(true);
        return [] { Form1->close(); };
    }
    if (action == u"record") {
        Form1->ShowSearchHit(1, QStringLiteral("Python"));
        type(QStringLiteral("# first\n"));
        Form1->RecoveryKeeper->WriteNow();
        return [] {
            type(QStringLiteral("# second\n"));
            // The keeper writes a second after the last key.
            wait(varozidi::recovery::Keeper::kQuietMs + 500);
            Form1->RecoveryKeeper->Flush();
        };
    }
    return {};
}

QJsonObject report() {
    QJsonObject out;
    out["messages"] = messages;
    out["warnings"] = warnings;
    out["editor"] = Form1->SynEdit1->Text();
    out["unsaved"] = Form1->SnippitChanged == 1;
    out["note"] = Form1->LiveNote->isVisible() ? Form1->LiveNote->text() : QString();
    // The records as the next start reads them.
    QJsonArray records;
    const QDir folder(varozidi::recovery::Folder());
    for (const QString& name : folder.entryList({QStringLiteral("*.record")}, QDir::Files)) {
        QFile file(folder.filePath(name));
        QJsonObject record;
        try {
            if (!file.open(QIODevice::ReadOnly))
                throw std::runtime_error("cannot be opened");
            record["text"] = QString::fromUtf8(varozidi::recovery::Decode(file.readAll()).text);
        } catch (const std::exception& e) {
            record["damaged"] = QString::fromUtf8(e.what());
        }
        records.append(record);
    }
    out["records"] = records;
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("sweep_window save|add|remove|backup|restore|close|record IO\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varozidi"));
    // The close action closes the window; the report still has to be written.
    QApplication::setQuitOnLastWindowClosed(false);
    const QString io = QFile::decodeName(argv[2]) + u'/';
    Form1 = new TForm1;
    Form2 = new TForm2(Form1);
    Form1->show();
    QApplication::setActiveWindow(Form1);
    const std::function<void()> act = prepare(QString::fromLatin1(argv[1]));
    if (!act) {
        std::fprintf(stderr, "sweep_window: no action %s\n", argv[1]);
        return 1;
    }
    SetMessageDlgAnswerer([](const MessageDlgRequest& request) {
        messages.append(QJsonObject{{"kind", kindName(request.kind)}, {"text", request.text}});
        return (request.buttons & mbYes) ? mrYes : mrOk;
    });
    qInstallMessageHandler(keepWarning);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);

    // Polled with stat, which the sweep never fails. Without go (the state before), straight
    // to the report.
    bool acted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!acted && QFileInfo::exists(io + QStringLiteral("go"))) {
            acted = true;
            Guarded(act);
            // A save or a close removes the record on the keeper's thread: done once it is.
            Form1->RecoveryKeeper->Flush();
            if (::symlink("done", QFile::encodeName(io + QStringLiteral("done")).constData()) != 0)
                std::abort();
        }
        if (QFileInfo::exists(io + QStringLiteral("report")))
            QApplication::exit(0);
    });
    poll.start(10);
    QApplication::exec();

    QFile out(io + QStringLiteral("report.json"));
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(report()).toJson()) < 0 ||
        !out.flush())
        return 2;
    out.close();
    delete Form1;
    Form1 = nullptr;
    return 0;
}

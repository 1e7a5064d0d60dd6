// SPDX-License-Identifier: GPL-3.0-or-later
// Bringing an old collection over: the old program's Jet 4.0 file copied in as varozidi.mdb is
// converted when the program starts, and said so once; a damaged one is left as it is.

#include "TestSupport.h"
#include "window/Unit1.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace testsupport;

namespace {

const QString kFixtures = QStringLiteral(VAROZIDI_FIXTURES_DIR);

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

} // namespace

class MigrationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DataHome> home_;
    std::unique_ptr<Dialogs> dialogs_;

    QString database() const { return home_->dataDir() + "varozidi.mdb"; }
    QStringList files() const {
        return QDir(home_->dataDir()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    // The program started as a user starts it, its window on the screen.
    std::unique_ptr<TForm1> start() {
        auto form = std::make_unique<TForm1>();
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qWarning("main window not exposed");
        return form;
    }

private Q_SLOTS:
    void init() {
        dialogs_.reset();
        home_.reset(); // before the next one takes over XDG_DATA_HOME
        home_ = std::make_unique<DataHome>();
        dialogs_ = std::make_unique<Dialogs>();
        writeFile(home_->dataDir() + "kzq.txt", kWelcome);
    }
    void convertedOnceOnStart();
    void damagedIsLeftAlone_data();
    void damagedIsLeftAlone();
};

void MigrationTest::convertedOnceOnStart() {
    writeFile(database(), contentOf(kFixtures + "/legacy-jet4.mdb"));
    {
        const auto form = start();
        QTRY_COMPARE(dialogs_->asked().size(), 1);
        const MessageDlgRequest told = dialogs_->asked().first();
        QCOMPARE(told.kind, TMsgDlgType::mtInformation);
        QCOMPARE(told.buttons, TMsgDlgButtons(mbOK));
        QCOMPARE(entries(form->ListBox1), (QStringList{"Pascal", "C++", "Python", "SQL", "Text", "",
                                                       "Delphi", "JavaScript", "Go"}));
        const QStringList kept = files().filter(QRegularExpression("^varozidi-jet4-.*\\.mdb$"));
        QCOMPARE(kept.size(), 1);
        QVERIFY2(told.text.contains("9 snippets") &&
                     told.text.contains(home_->dataDir() + kept.first()),
                 qPrintable(told.text));
        QCOMPARE(contentOf(home_->dataDir() + kept.first()),
                 contentOf(kFixtures + "/legacy-jet4.mdb"));
    }
    const QJsonObject expected =
        QJsonDocument::fromJson(contentOf(kFixtures + "/legacy-jet4.expected.json")).object();
    QCOMPARE(readRowsAsJson(database()), expected["rows"].toArray());

    // The second start finds a database of its own: nothing to convert, nothing to say.
    dialogs_->clear();
    const QStringList before = files();
    {
        const auto form = start();
        QTest::qWait(100);
        QCOMPARE(entries(form->ListBox1).size(), 9);
    }
    QCOMPARE(dialogs_->asked().size(), 0);
    QCOMPARE(files(), before);
    QCOMPARE(before.size(), 3); // kzq.txt, the original kept and the new database: no leftovers
}

void MigrationTest::damagedIsLeftAlone_data() {
    const QByteArray jet = contentOf(kFixtures + "/legacy-jet4.mdb");
    QByteArray jet3 = jet;
    jet3[0x14] = 0;
    QByteArray lostMap = jet; // libmdb reads out of bounds on it
    lostMap[0x18037] = char(0x93);
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("says");
    QTest::newRow("cut inside a memo") << jet.left(32 * 4096) << "should be 43000 bytes long";
    QTest::newRow("cut before its tables")
        << jet.left(3 * 4096) << "its list of tables cannot be read";
    for (const int pages : {8, 10, 12})
        QTest::newRow(qPrintable(QStringLiteral("cut after %1 pages").arg(pages)))
            << jet.left(pages * 4096) << "its list of tables is cut short";
    QTest::newRow("Jet 3") << jet3 << "is a Jet 3 (Access 97) database";
    QTest::newRow("a usage map that crashes libmdb") << lostMap << "is damaged";
}

void MigrationTest::damagedIsLeftAlone() {
    QFETCH(QByteArray, content);
    QFETCH(QString, says);
    writeFile(database(), content);
    {
        const auto form = start();
        QCOMPARE(dialogs_->asked().size(), 1);
        const MessageDlgRequest told = dialogs_->asked().first();
        QCOMPARE(told.kind, TMsgDlgType::mtError);
        QVERIFY2(told.text.contains("could not be converted") && told.text.contains(says),
                 qPrintable(told.text));
        QVERIFY(entries(form->ListBox1).isEmpty());
    }
    QCOMPARE(contentOf(database()), content);
    QCOMPARE(files(), (QStringList{"kzq.txt", "varozidi.mdb"}));
}

QTEST_MAIN(MigrationTest)
#include "tst_migration.moc"

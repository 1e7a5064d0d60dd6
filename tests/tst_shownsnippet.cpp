// SPDX-License-Identifier: GPL-3.0-or-later
// The shown snippet's rules of saving, on a real SQLite file, without a window: another
// program changes or deletes the row meanwhile, and the text goes into a new row instead.

#include "TestSupport.h"

#include "data/collection/ShownSnippet.h"
#include "data/store/ADODB.h"

#include <QtTest>

using testsupport::execSql;
using varozidi::ShownSnippet;

namespace {

using Found = ShownSnippet::Found;

// The shown snippet over its own connection to path, showing row 1.
struct Shown {
    explicit Shown(const QString& path) {
        connection.setConnectionString(testsupport::connectionStringFor(path));
        table.setConnection(&connection);
        table.setTableName(QStringLiteral("varozidi"));
        shown.show(shown.read(1).value());
    }
    TADOConnection connection;
    TADOTable table;
    ShownSnippet shown{&table};
};

} // namespace

class TestShownSnippet : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path_;

    QByteArray stored(qint64 id) {
        for (const auto& row : testsupport::readRows(path_))
            if (row.id == id)
                return row.body.toUtf8();
        return "(none)";
    }

private slots:
    void init() {
        QFile::remove(path_ = dir_.filePath(QStringLiteral("collection.db")));
        testsupport::makeDatabase(path_, {{"SQL", "Top", "select 1"}, {"C++", "Main", "int"}});
    }

    void save_data() {
        QTest::addColumn<QString>("elsewhere");
        QTest::addColumn<bool>("overwrite");
        QTest::addColumn<QString>("refused"); // the error's start; empty when saved
        QTest::addColumn<QByteArray>("after");
        const QString change = QStringLiteral("UPDATE varozidi SET Body = 'theirs' WHERE ID = 1");
        const QString remove = QStringLiteral("DELETE FROM varozidi WHERE ID = 1");
        QTest::newRow("untouched") << QString() << false << QString() << QByteArray("mine");
        QTest::newRow("changed") << change << false << "The snippet \"Top\" was changed by another"
                                 << QByteArray("theirs");
        QTest::newRow("overwritten") << change << true << QString() << QByteArray("mine");
        QTest::newRow("deleted") << remove << false << "The snippet \"Top\" is no longer"
                                 << QByteArray("(none)");
        QTest::newRow("deleted, overwrite")
            << remove << true << "The snippet \"Top\" is no longer" << QByteArray("(none)");
    }
    void save() {
        QFETCH(QString, elsewhere);
        QFETCH(bool, overwrite);
        QFETCH(QString, refused);
        QFETCH(QByteArray, after);
        Shown s(path_);
        if (!elsewhere.isEmpty())
            execSql(path_, elsewhere);
        QString error;
        try {
            s.shown.save("mine",
                         overwrite ? ShownSnippet::Check::None : ShownSnippet::Check::Version);
        } catch (const varozidi::Error& e) {
            error = e.message();
        }
        QVERIFY2(refused.isEmpty() ? error.isEmpty() : error.startsWith(refused),
                 qPrintable(error));
        QCOMPARE(stored(1), after);
        QCOMPARE(s.shown.loaded(), refused.isEmpty() ? "mine" : "select 1");
        QVERIFY(!s.table.Active());
        // Saved, the next save needs no question: the version shown is the row's own.
        if (refused.isEmpty())
            s.shown.save("again");
    }

    void saveAsNew_data() {
        QTest::addColumn<bool>("withText");
        QTest::newRow("the editor's text") << true;
        QTest::newRow("an empty snippet") << false;
    }
    void saveAsNew() {
        QFETCH(bool, withText);
        Shown s(path_);
        execSql(path_, QStringLiteral("DELETE FROM varozidi WHERE ID = 1"));
        QVERIFY_THROWS_EXCEPTION(NoSnippitToSave, s.shown.save("kept"));
        s.shown.add("Go", "Kept", withText ? std::optional<QByteArray>("kept") : std::nullopt);
        const qint64 id = s.shown.takeAdded();
        QCOMPARE(id, 3);
        QCOMPARE(stored(3), withText ? "kept" : "");
        QCOMPARE(s.shown.id(), withText ? 3 : 1);
        QCOMPARE(s.shown.title(), withText ? "Kept" : "Top");
        if (withText)
            s.shown.save("kept, then edited");
        QCOMPARE(stored(3), withText ? "kept, then edited" : "");
    }

    void refresh_data() {
        QTest::addColumn<QString>("elsewhere");
        QTest::addColumn<bool>("typed");
        QTest::addColumn<int>("found");
        QTest::addColumn<bool>("renamed");
        QTest::addColumn<QByteArray>("loaded");
        const QString blob = QStringLiteral("UPDATE varozidi SET Body = X'FF0041' WHERE ID = 1");
        QTest::newRow("untouched")
            << QString() << false << int(Found::Same) << false << QByteArray("select 1");
        QTest::newRow("renamed") << "UPDATE varozidi SET Title = 'New' WHERE ID = 1" << false
                                 << int(Found::Same) << true << QByteArray("select 1");
        QTest::newRow("new bytes")
            << blob << false << int(Found::Reloaded) << false << QByteArray("\xff\0A", 3);
        QTest::newRow("new bytes over typing")
            << blob << true << int(Found::Kept) << false << QByteArray("select 1");
        QTest::newRow("deleted") << "DELETE FROM varozidi WHERE ID = 1" << false << int(Found::Gone)
                                 << false << QByteArray("select 1");
    }
    void refresh() {
        QFETCH(QString, elsewhere);
        QFETCH(bool, typed);
        QFETCH(int, found);
        QFETCH(bool, renamed);
        QFETCH(QByteArray, loaded);
        Shown s(path_);
        if (!elsewhere.isEmpty())
            execSql(path_, elsewhere);
        s.shown.unsaved() = typed;
        const QByteArray editor = s.shown.loaded();
        QCOMPARE(s.shown.refresh({2}, [&] { return editor; }).found, Found::Same);
        const auto update = s.shown.refresh({1}, [&] { return editor; });
        QCOMPARE(int(update.found), found);
        QCOMPARE(update.renamed, renamed);
        QCOMPARE(s.shown.loaded(), loaded);
        // What the editor shows after a reload is saved without a question.
        if (update.found == Found::Reloaded) {
            s.shown.save(loaded + "!");
            QCOMPARE(s.shown.read(1)->body, loaded + "!");
        }
    }

    // Text kept from an earlier start over a text changed since: a refresh that finds the
    // stored text as shown must not make the save forget to ask.
    void keptTextStillAsks() {
        Shown s(path_);
        s.shown.distrustVersion();
        s.shown.unsaved() = 1;
        execSql(path_, "UPDATE varozidi SET Title = 'Top' WHERE ID = 2");
        QCOMPARE(s.shown.refresh({}, [] { return QByteArray("kept"); }).found, Found::Same);
        bool asked = false;
        try {
            s.shown.save("kept", ShownSnippet::Check::Version);
        } catch (const SnippitChangedElsewhere&) {
            asked = true;
        }
        QVERIFY(asked);
        QCOMPARE(stored(1), "select 1");
    }

    void findAgain_data() {
        QTest::addColumn<QString>("restored");
        QTest::addColumn<qint64>("id");
        QTest::addColumn<int>("unsaved");
        QTest::newRow("as it was") << "SELECT 1" << qint64(1) << 0;
        QTest::newRow("other text")
            << "UPDATE varozidi SET Body = 'older' WHERE ID = 1" << qint64(1) << 1;
        QTest::newRow("another snippet")
            << "UPDATE varozidi SET Title = 'Other' WHERE ID = 1" << qint64(0) << 1;
    }
    void findAgain() {
        QFETCH(QString, restored);
        QFETCH(qint64, id);
        QFETCH(int, unsaved);
        Shown s(path_);
        execSql(path_, restored);
        s.shown.findAgain();
        QCOMPARE(s.shown.id(), id);
        QCOMPARE(int(s.shown.unsaved()), unsaved);
        QCOMPARE(s.shown.title(), "Top");
    }
};

QTEST_GUILESS_MAIN(TestShownSnippet)
#include "tst_shownsnippet.moc"

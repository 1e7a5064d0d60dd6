// SPDX-License-Identifier: GPL-3.0-or-later
// The snippet store operations of the main window, on real database files (or, with
// VAROZIDI_TEST_ENGINE=postgresql, on a real server).

#include "TestSupport.h"
#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/engines/postgresql/PgBackend.h"
#include "window/Unit1.h"
#include "window/platform/SynHighlighters.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>
#include <sqlite3.h>

using namespace testsupport;

Q_DECLARE_METATYPE(QList<testsupport::Row>)

class StoreTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void languagesAreListedOnceInFirstSeenOrder_data();
    void languagesAreListedOnceInFirstSeenOrder();
    void startupShowsWelcomeTextAndNoTitles();
    void eachTitleEntryIsItsOwnRow_data();
    void eachTitleEntryIsItsOwnRow();
    void savingWritesOnlyTheShownRow();
    void deletingRemovesOnlyTheSelectedRow_data();
    void deletingRemovesOnlyTheSelectedRow();
    void newSnippetListsItsOwnLanguage_data();
    void newSnippetListsItsOwnLanguage();
    void languageSpellingsAreOneLanguage_data();
    void languageSpellingsAreOneLanguage();
    void savingWithNoRowChangesNothing_data();
    void savingWithNoRowChangesNothing();
    void deletingTheLastSnippetEmptiesEverything();
    void deletingTheLastLanguageListsTheNowLastOne();
    void showingWithoutSelectedLanguageUsesTheRowsLanguage();
    void showingARowDeletedBehindTheListsKeepsTheEditor();
    void textRoundTripsExactly_data();
    void textRoundTripsExactly();
    void bodiesTravelAsStored_data();
    void bodiesTravelAsStored();
};

namespace {

int indexOfEntry(const QListWidget* list, const QString& text, int occurrence = 0) {
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text() == text && occurrence-- == 0)
            return i;
    return -1;
}

void selectLanguage(Started& s, const QString& language) {
    const int row = s->ListBox1->IndexOf(language);
    QVERIFY2(row >= 0, qPrintable(language));
    clickRow(s->ListBox1, row);
}

void showTitle(Started& s, const QString& language, const QString& title, int occurrence = 0) {
    selectLanguage(s, language);
    const int row = indexOfEntry(s->ListBox2, title, occurrence);
    QVERIFY2(row >= 0, qPrintable(title));
    clickRow(s->ListBox2, row);
}

// The first row's body put in place as another program would: as bytes, not by the window.
void storeBody(const QString& database, const QByteArray& body) {
    if (onServer()) {
        varozidi::ado::PgBackend(database).exec(
            "UPDATE varozidi SET \"Body\" = convert_from(?, 'UTF8') WHERE \"ID\" = 1", {body},
            "store the body");
        return;
    }
    execSql(database, "UPDATE varozidi SET Body = CAST(x'" + QString::fromLatin1(body.toHex()) +
                          "' AS TEXT) WHERE ID = 1");
}

// The first row's body as stored, byte for byte.
QByteArray storedBody(const QString& database) {
    if (onServer())
        return varozidi::ado::PgBackend(database)
            .exec("SELECT convert_to(\"Body\", 'UTF8') FROM varozidi WHERE \"ID\" = 1", {},
                  "read the body")
            ->value(0, 0)
            .toByteArray();
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT Body, typeof(Body) FROM varozidi WHERE ID = 1", -1, &s, nullptr);
    QByteArray body;
    if (sqlite3_step(s) == SQLITE_ROW)
        body = qstrcmp(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)), "text") == 0
                   ? QByteArray(static_cast<const char*>(sqlite3_column_blob(s, 0)),
                                sqlite3_column_bytes(s, 0))
                   : QByteArray("(not stored as text)");
    sqlite3_finalize(s);
    sqlite3_close(db);
    return body;
}

} // namespace

void StoreTest::languagesAreListedOnceInFirstSeenOrder_data() {
    QTest::addColumn<QList<Row>>("rows");
    QTest::addColumn<QStringList>("languages");
    QTest::newRow("four rows") << QList<Row>{{"PHP", "A", ""},
                                             {"SQL", "B", ""},
                                             {"PHP", "C", ""},
                                             {"XML", "D", ""}}
                               << QStringList{"PHP", "SQL", "XML"};
    QTest::newRow("ascii case") << QList<Row>{{"sql", "A", ""}, {"SQL", "B", ""}}
                                << QStringList{"sql"};
    QTest::newRow("non-ascii case")
        << QList<Row>{{"Ärger", "A", ""}, {"C++", "B", ""}, {"ärger", "C", ""}}
        << QStringList{"Ärger", "C++"};
    QTest::newRow("empty table") << QList<Row>{} << QStringList{};
}

void StoreTest::languagesAreListedOnceInFirstSeenOrder() {
    QFETCH(QList<Row>, rows);
    QFETCH(QStringList, languages);
    Started s(rows);
    QCOMPARE(entries(s->ListBox1), languages);
    QCOMPARE(s->ListBox1->ItemIndex(), -1);
    QVERIFY(s.dialogs.asked().isEmpty());
}

void StoreTest::startupShowsWelcomeTextAndNoTitles() {
    Started s({{"PHP", "A", "a"}, {"SQL", "B", "b"}});
    QCOMPARE(s->SynEdit1->Text(), QString::fromUtf8(kWelcome));
    QCOMPARE(s->ListBox2->count(), 0);
    QCOMPARE(s->CurrentSnippitID, 0);
    QCOMPARE(s->SnippitChanged, 0);
    QCOMPARE(s->SynEdit1->Highlighter(), nullptr);
}

void StoreTest::eachTitleEntryIsItsOwnRow_data() {
    QTest::addColumn<QList<Row>>("rows");
    QTest::addColumn<QString>("language");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("body");
    const QList<Row> twoLanguages{{"PHP", "Hello", "php body"}, {"SQL", "Hello", "sql body"}};
    const QList<Row> twiceInOne{{"SQL", "Hello", "first"}, {"SQL", "Hello", "second"}};
    QTest::newRow("same title, second language") << twoLanguages << "SQL" << 0 << 2 << "sql body";
    QTest::newRow("same title, first language") << twoLanguages << "PHP" << 0 << 1 << "php body";
    QTest::newRow("twice in one language, first") << twiceInOne << "SQL" << 0 << 1 << "first";
    QTest::newRow("twice in one language, second") << twiceInOne << "SQL" << 1 << 2 << "second";
    QTest::newRow("quote in title")
        << QList<Row>{{"SQL", "Don't", "quoted"}} << "SQL" << 0 << 1 << "quoted";
}

void StoreTest::eachTitleEntryIsItsOwnRow() {
    QFETCH(QList<Row>, rows);
    QFETCH(QString, language);
    QFETCH(int, occurrence);
    QFETCH(int, id);
    QFETCH(QString, body);
    Started s(rows);
    showTitle(s, language, rows.at(id - 1).title, occurrence);
    QCOMPARE(s->SynEdit1->Text(), body);
    QCOMPARE(s->CurrentSnippitID, id);
    QCOMPARE(s->SnippitChanged, 0);
    QVERIFY(s.dialogs.asked().isEmpty());
}

void StoreTest::savingWritesOnlyTheShownRow() {
    Started s({{"PHP", "Hello", "php body"}, {"SQL", "Hello", "sql body"}});
    showTitle(s, "SQL", "Hello");
    s->SynEdit1->SetLinesText("edited");
    s->EditSnippitExecute();
    const QList<StoredRow> expected{{1, "PHP", "Hello", "php body"}, {2, "SQL", "Hello", "edited"}};
    QCOMPARE(s.rows(), expected);
}

void StoreTest::deletingRemovesOnlyTheSelectedRow_data() {
    QTest::addColumn<QList<Row>>("rows");
    QTest::addColumn<QString>("language");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<int>("deletedId");
    const QList<Row> twoLanguages{{"PHP", "Hello", "p"}, {"SQL", "Hello", "s"}};
    const QList<Row> twiceInOne{{"SQL", "Hello", "1"}, {"SQL", "Hello", "2"}, {"XML", "X", "x"}};
    QTest::newRow("title shared across languages") << twoLanguages << "SQL" << 0 << 2;
    QTest::newRow("title twice, first entry") << twiceInOne << "SQL" << 0 << 1;
    QTest::newRow("title twice, second entry") << twiceInOne << "SQL" << 1 << 2;
}

void StoreTest::deletingRemovesOnlyTheSelectedRow() {
    QFETCH(QList<Row>, rows);
    QFETCH(QString, language);
    QFETCH(int, occurrence);
    QFETCH(int, deletedId);
    Started s(rows);
    selectLanguage(s, language);
    s->ListBox2->setItemIndex(indexOfEntry(s->ListBox2, "Hello", occurrence));
    s->DeleteSnippitExecute();
    QList<qint64> left;
    for (const auto& row : s.rows())
        left.append(row.id);
    QVERIFY(!left.contains(deletedId));
    QCOMPARE(left.size(), rows.size() - 1);
    // The editor shows another text, which the delete leaves alone.
    QCOMPARE(s->SynEdit1->Text(), QString::fromUtf8(kWelcome));
}

void StoreTest::newSnippetListsItsOwnLanguage_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("languages");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("existing, not last")
        << "PHP" << QStringList{"PHP", "SQL", "XML"} << QStringList{"A", "C", "New"};
    QTest::newRow("existing, other case")
        << "php" << QStringList{"PHP", "SQL", "XML"} << QStringList{"A", "C", "New"};
    QTest::newRow("new language") << "Go" << QStringList{"PHP", "SQL", "XML", "Go"}
                                  << QStringList{"New"};
}

void StoreTest::newSnippetListsItsOwnLanguage() {
    QFETCH(QString, language);
    QFETCH(QStringList, languages);
    QFETCH(QStringList, titles);
    Started s({{"PHP", "A", ""}, {"SQL", "B", ""}, {"PHP", "C", ""}, {"XML", "D", ""}});
    s->Edit1->setText(language);
    s->Edit2->setText("New");
    s->NewSnippitExecute();
    QCOMPARE(entries(s->ListBox1), languages);
    QCOMPARE(s->ListBox1->ItemIndex(), s->ListBox1->IndexOf(language));
    QCOMPARE(entries(s->ListBox2), titles);
    QCOMPARE(s->ListBox2->ItemIndex(), -1);
    const StoredRow added = s.rows().last();
    QCOMPARE(added.id, 5);
    QCOMPARE(added.language, language);
    QCOMPARE(added.title, QString("New"));
    QCOMPARE(added.body, QString());
    // The editor still belongs to what was shown before.
    QCOMPARE(s->SynEdit1->Text(), QString::fromUtf8(kWelcome));
    QCOMPARE(s->CurrentSnippitID, 0);
}

void StoreTest::languageSpellingsAreOneLanguage_data() {
    QTest::addColumn<QList<Row>>("rows");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("ascii") << QList<Row>{{"sql", "a", ""}, {"XML", "x", ""}, {"SQL", "b", ""}}
                           << QStringList{"a", "b"};
    QTest::newRow("umlaut") << QList<Row>{{"Ärger", "a", ""}, {"ärger", "b", ""}}
                            << QStringList{"a", "b"};
}

void StoreTest::languageSpellingsAreOneLanguage() {
    QFETCH(QList<Row>, rows);
    QFETCH(QStringList, titles);
    Started s(rows);
    clickRow(s->ListBox1, 0);
    QCOMPARE(entries(s->ListBox2), titles);
}

void StoreTest::savingWithNoRowChangesNothing_data() {
    QTest::addColumn<bool>("deletedElsewhere");
    QTest::addColumn<int>("answer"); // to the offer of a new snippet
    QTest::newRow("welcome text, offer declined") << false << mrNo;
    QTest::newRow("shown snippet deleted elsewhere, offer declined") << true << mrNo;
    QTest::newRow("welcome text, offer taken") << false << mrYes;
}

void StoreTest::savingWithNoRowChangesNothing() {
    QFETCH(bool, deletedElsewhere);
    QFETCH(int, answer);
    Started s({{"PHP", "A", "a"}, {"PHP", "B", "b"}});
    if (deletedElsewhere) {
        showTitle(s, "PHP", "A");
        execSql(s.database(), "DELETE FROM varozidi WHERE \"ID\" = 1");
    }
    const QList<StoredRow> before = s.rows();
    s->SynEdit1->SetLinesText("typed text");
    QVERIFY_THROWS_EXCEPTION(NoSnippitToSave, s->EditSnippitExecute());
    QCOMPARE(s.rows(), before);
    // Through the button the user is offered a new snippet for the text.
    s->SnippitChanged = 1;
    s->Edit1->setText("Go");
    s->Edit2->setText("Kept");
    s.dialogs.answer(answer);
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QCOMPARE(s.dialogs.asked().size(), 1);
    QCOMPARE(s.dialogs.asked().first().kind, TMsgDlgType::mtConfirmation);
    QVERIFY(s.dialogs.asked().first().text.contains("not saved"));
    QCOMPARE(s.rows(), before);
    QCOMPARE(s->SnippitChanged, 1);
    QCOMPARE(s->Panel3->isVisible(), answer == mrYes);
    if (answer != mrYes)
        return;
    // Nothing was known of the text, so the fields keep what they held.
    QCOMPARE(s->Edit1->text(), QString("Go"));
    QTest::mouseClick(s->Button1, Qt::LeftButton);
    QCOMPARE(s.rows().last(), (StoredRow{3, "Go", "Kept", "typed text"}));
    QCOMPARE(s->CurrentSnippitID, 3);
    QCOMPARE(s->SnippitChanged, 0);
    QCOMPARE(s->ListBox2->currentItem()->text(), QString("Kept"));
    QVERIFY(!s->Panel3->isVisible());
}

void StoreTest::deletingTheLastSnippetEmptiesEverything() {
    Started s({{"PHP", "Only", "body"}});
    showTitle(s, "PHP", "Only");
    s->DeleteSnippitExecute();
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(s->ListBox1->count(), 0);
    QCOMPARE(s->ListBox2->count(), 0);
    QCOMPARE(s->SynEdit1->Text(), QString());
    QCOMPARE(s->CurrentSnippitID, 0);
    QVERIFY(s.rows().isEmpty());
    // Listing titles of an empty language list is no error either.
    s->ListVarozidiExecute();
    QCOMPARE(s->ListBox2->count(), 0);
}

void StoreTest::deletingTheLastLanguageListsTheNowLastOne() {
    Started s({{"PHP", "A", ""}, {"SQL", "B", ""}, {"XML", "D", ""}});
    showTitle(s, "XML", "D");
    s->DeleteSnippitExecute();
    QCOMPARE(entries(s->ListBox1), (QStringList{"PHP", "SQL"}));
    QCOMPARE(s->ListBox1->ItemIndex(), 1);
    QCOMPARE(entries(s->ListBox2), QStringList{"B"});
}

void StoreTest::showingWithoutSelectedLanguageUsesTheRowsLanguage() {
    Started s({{"SQL", "Query", "select 1"}, {"PHP", "Page", "echo 1;"}});
    showTitle(s, "PHP", "Page");
    QCOMPARE(s->SynEdit1->Highlighter(), s->SynPHPSyn1);
    selectLanguage(s, "SQL");
    s->ListLangsExecute(); // as after a backup: no language selected, titles kept
    QCOMPARE(s->ListBox1->ItemIndex(), -1);
    clickRow(s->ListBox2, 0);
    QCOMPARE(s->SynEdit1->Text(), QString("select 1"));
    QCOMPARE(s->SynEdit1->Highlighter(), s->SynSQLSyn1);
    QVERIFY(s.dialogs.asked().isEmpty());
}

void StoreTest::showingARowDeletedBehindTheListsKeepsTheEditor() {
    Started s({{"PHP", "A", "a"}, {"PHP", "B", "b"}});
    showTitle(s, "PHP", "A");
    execSql(s.database(), "DELETE FROM varozidi WHERE \"ID\" = 2");
    clickRow(s->ListBox2, 1);
    QCOMPARE(s.dialogs.asked().size(), 1);
    QVERIFY(s.dialogs.asked().first().text.contains("no longer in the database"));
    QCOMPARE(s->SynEdit1->Text(), QString("a"));
    QCOMPARE(s->CurrentSnippitID, 1);
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
}

void StoreTest::textRoundTripsExactly_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("windows line ends") << QString("line 1\r\nline 2\r\n");
    QTest::newRow("unix line ends") << QString("a\nb\n\nc");
    QTest::newRow("non-latin") << QString::fromUtf8("Grüße, Привет, 你好 \U0001F600");
    QTest::newRow("quotes and sql") << QString("it's \"x\"; DROP TABLE varozidi; --");
    QTest::newRow("empty") << QString();
    QTest::newRow("NUL inside") << QString::fromUtf8("before\0after\0", 13);
    QTest::newRow("controls, BOM, separators")
        << QString::fromUtf8("\xEF\xBB\xBFx\x01\x7F\xE2\x80\xA8y\xCC\x81\xE2\x80\x8D");
}

void StoreTest::textRoundTripsExactly() {
    QFETCH(QString, text);
    Started s({{"PHP", "A", "old"}});
    showTitle(s, "PHP", "A");
    s->SynEdit1->SetLinesText(text);
    if (onServer() && text.contains(QChar(0))) {
        // A server's text has no NUL: refused whole, never cut short, the editor kept.
        QVERIFY_THROWS_EXCEPTION(varozidi::Error, s->EditSnippitExecute());
        QCOMPARE(s.rows().first().body, QStringLiteral("old"));
        QCOMPARE(s->SynEdit1->Text(), text);
        return;
    }
    s->EditSnippitExecute();
    QCOMPARE(s.rows().first().body, text);
    clickRow(s->ListBox2, 0);
    QCOMPARE(s->SynEdit1->Text(), text);
}

void StoreTest::bodiesTravelAsStored_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("CR/LF mixed") << QByteArray("a\r\nb\nc\rd\r\n\r\r\n\n");
    QTest::newRow("BOM first, alone") << QByteArray("\xEF\xBB\xBF");
    QTest::newRow("BOM and more") << QByteArray("\xEF\xBB\xBFint x;\r\n\xEF\xBB\xBF");
    QTest::newRow("astral, combining, joined")
        << QByteArray("e\xCC\x81 \xF0\x9D\x84\x9E \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92"
                      "\xBB \xF4\x8F\xBF\xBF\xE2\x80\xA8");
    QTest::newRow("NUL inside and last") << QByteArray("a\0b\n\0", 5);
    QByteArray large;
    for (int i = 0; large.size() < 1024 * 1024; ++i)
        large += "line " + QByteArray::number(i) + " \xC3\xB1 \xF0\x9F\x98\x80" +
                 (i % 3 ? "\n" : "\r\n");
    QTest::newRow("1 MB") << large;
    QTest::newRow("not UTF-8, another program's") << QByteArray("caf\xE9 \xFF\xFE \xF0\x9F\x98");
    QTest::newRow("not UTF-8, long") << QByteArray("caf\xE9\n").repeated(2000) + "\xF0\x9F";
}

// Shown as stored, saved unchanged, typed in and saved, shown again: the same bytes all the way.
void StoreTest::bodiesTravelAsStored() {
    QFETCH(QByteArray, body);
    if (onServer() && !ExactUtf8(body))
        QSKIP("A server's text is UTF-8 only.");
    Started s({{"PHP", "A", "old"}});
    if (onServer() && body.contains('\0')) {
        // A server's text has no NUL: refused whole, never cut short, the editor kept.
        showTitle(s, "PHP", "A");
        s->SynEdit1->SetLinesBytes(body, s->SynEdit1->Highlighter());
        QVERIFY_THROWS_EXCEPTION(varozidi::Error, s->EditSnippitExecute());
        QCOMPARE(storedBody(s.database()), QByteArray("old"));
        QCOMPARE(s->SynEdit1->TextBytes(), body);
        return;
    }
    storeBody(s.database(), body);
    showTitle(s, "PHP", "A");
    QCOMPARE(s->SynEdit1->TextBytes(), body);
    s->EditSnippitExecute();
    QCOMPARE(storedBody(s.database()), body);
    typeText(s.form(), "x!");
    s->EditSnippitExecute();
    // The version kept is the one just written: saving again asks nothing.
    s->EditSnippitExecute();
    QCOMPARE(s.dialogs.asked().size(), 0);
    const QByteArray typed = body + "x!";
    QCOMPARE(storedBody(s.database()), typed);
    clickRow(s->ListBox2, 0);
    QCOMPARE(s->SynEdit1->TextBytes(), typed);
}

QTEST_MAIN(StoreTest)
#include "tst_store.moc"

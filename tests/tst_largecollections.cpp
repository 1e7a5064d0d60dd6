// SPDX-License-Identifier: GPL-3.0-or-later
// What keeps the program quick on a large collection without changing what the user sees: the
// language index (the language list and one language's titles without reading every row,
// letter case ignored for every alphabet), word wrap left off for lines too long to wrap,
// and the help browser started only once the main window is up.

#include "TestSupport.h"
#include "data/engines/sqlite/SqliteCollection.h"
#include "data/store/ADODB.h"
#include "data/store/LanguageIndex.h"
#include "data/store/SnippetQueries.h"
#include "window/Forms.h"
#include "window/Unit1.h"
#include "window/platform/SynEdit.h"
#include "window/platform/SynHighlighters.h"

#include <QFile>
#include <QLabel>
#include <QToolButton>
#include <QtTest>
#include <sqlite3.h>

using namespace testsupport;

namespace {

// A language given as this is stored without a value; "blob:" stores the rest as bytes.
const QString kNull = QStringLiteral("<null>");
const QString kBlob = QStringLiteral("blob:");

// A collection whose rows have these languages, in this order, titled t1, t2, ...
void makeCollection(const QString& path, const QStringList& languages) {
    QList<Row> rows;
    for (int i = 0; i < languages.size(); ++i)
        rows.append({languages[i], QStringLiteral("t%1").arg(i + 1), QStringLiteral("body")});
    makeDatabase(path, rows);
    for (int i = 0; i < languages.size(); ++i) {
        if (languages[i] == kNull)
            execSql(path,
                    QStringLiteral("UPDATE varozidi SET Language = NULL WHERE ID = %1").arg(i + 1));
        else if (languages[i].startsWith(kBlob))
            execSql(path, QStringLiteral("UPDATE varozidi SET Language = X'%1' WHERE ID = %2")
                              .arg(QString::fromLatin1(languages[i].mid(5).toUtf8().toHex()))
                              .arg(i + 1));
    }
}

bool hasIndex(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = "
                       "'varozidi_language'",
                       -1, &s, nullptr);
    const bool found = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) > 0;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return found;
}

struct Opened {
    TADOConnection connection;
    TADOTable table;
    explicit Opened(const QString& path) {
        connection.setConnectionString(connectionStringFor(path));
        table.setConnection(&connection);
        table.setTableName(QStringLiteral("varozidi"));
    }
};

// The titles the table lists under a filter, in row order.
QStringList titlesWhere(TADOTable& table, const QString& filter) {
    table.setFilter(filter);
    table.setFiltered(true);
    table.Open();
    QStringList titles;
    for (table.First(); !table.Eof(); table.Next())
        titles.append(table.FieldByName(QStringLiteral("Title")).AsString());
    return titles;
}

} // namespace

class LargeCollectionsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString path() const { return dir_->filePath(QStringLiteral("varozidi.mdb")); }

private Q_SLOTS:
    void init() { dir_ = std::make_unique<QTemporaryDir>(); }
    void languagesFromIndex_data();
    void languagesFromIndex();
    void olderDatabaseGetsIndexOnOpen();
    void titlesOfLanguageCaseBlind_data();
    void titlesOfLanguageCaseBlind();
    void wrapOffForOverlongLines_data();
    void wrapOffForOverlongLines();
    void overlongLineInShortRuns_data();
    void overlongLineInShortRuns();
    void helpWindowAfterMainWindow_data();
    void helpWindowAfterMainWindow();
};

void LargeCollectionsTest::languagesFromIndex_data() {
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("listed");
    QTest::newRow("order of first row, not alphabetical")
        << QStringList{"SQL", "C++", "Ada", "C++", "SQL"} << QStringList{"SQL", "C++", "Ada"};
    QTest::newRow("spelling met first wins")
        << QStringList{"python", "Go", "Python", "PYTHON"} << QStringList{"python", "Go"};
    QTest::newRow("later row of an earlier spelling")
        << QStringList{"Rust", "RUST", "rust"} << QStringList{"Rust"};
    QTest::newRow("letters beyond ASCII")
        << QStringList{"Ärger", "ÄRGER", "ärger", "ΣΊΣΥΦΟΣ", "σίσυφος", "Straße"}
        << QStringList{"Ärger", "ΣΊΣΥΦΟΣ", "Straße"};
    QTest::newRow("Kelvin sign and long s fold to k and s")
        << QStringList{"\u212Aotlin", "kotlin", "\u017Fcala", "Scala"}
        << QStringList{"\u212Aotlin", "\u017Fcala"};
    QTest::newRow("no value reads as empty text")
        << QStringList{"Go", kNull, "", "Go"} << QStringList{"Go", ""};
    QTest::newRow("bytes read as their text")
        << QStringList{kBlob + "Lua", "LUA", "Go"} << QStringList{"Lua", "Go"};
    QTest::newRow("empty collection") << QStringList{} << QStringList{};
}

// The index gives the list the rows give, and reading the rows still does without it.
void LargeCollectionsTest::languagesFromIndex() {
    QFETCH(QStringList, rows);
    QFETCH(QStringList, listed);
    makeCollection(path(), rows);
    QVERIFY(hasIndex(path()));
    {
        Opened o(path());
        QCOMPARE(DistinctLanguages(o.table), listed);
    }
    // A table that took the index's name keeps it from being added: every row is read.
    execSql(path(), QStringLiteral("DROP INDEX varozidi_language"));
    execSql(path(), QStringLiteral("CREATE TABLE varozidi_language (x)"));
    Opened o(path());
    QCOMPARE(DistinctLanguages(o.table), listed);
    QVERIFY(!hasIndex(path()));
}

void LargeCollectionsTest::olderDatabaseGetsIndexOnOpen() {
    makeCollection(path(), {"C++", "Go"});
    execSql(path(), QStringLiteral("DROP INDEX varozidi_language"));
    Opened o(path());
    o.connection.Open();
    QVERIFY(hasIndex(path()));
    QCOMPARE(DistinctLanguages(o.table), (QStringList{"C++", "Go"}));
    // Once there, opening again leaves it alone.
    QVERIFY(!varozidi::language::EnsureIndex(varozidi::sqlite::HandleOf(o.connection), path()));
}

void LargeCollectionsTest::titlesOfLanguageCaseBlind_data() {
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("every spelling, row order") << QStringList{"C++", "Java", "c++", "C++", "JAVA"}
                                               << "C++" << QStringList{"t1", "t3", "t4"};
    QTest::newRow("capitals and small letters far apart in binary order")
        << QStringList{"prolog", "Python", "PROLOG", "Perl", "Prolog"} << "PrOlOg"
        << QStringList{"t1", "t3", "t5"};
    QTest::newRow("Kelvin sign, long s")
        << QStringList{"\u212Aotlin", "KOTLIN", "\u017Fql", "SQL", "sql"} << "kotlin"
        << QStringList{"t1", "t2"};
    QTest::newRow("long s found from S")
        << QStringList{"\u017Fql", "SQL", "Sal"} << "sql" << QStringList{"t1", "t2"};
    QTest::newRow("Greek final sigma") << QStringList{"ΣΊΣΥΦΟΣ", "σίσυφος", "σίσυφοσ", "Σίσυφο"}
                                       << "σίσυφος" << QStringList{"t1", "t2", "t3"};
    QTest::newRow("letters outside the first plane")
        << QStringList{"\U00010400\U00010401", "\U00010428\U00010429", "\U00010400"}
        << "\U00010428\U00010401" << QStringList{"t1", "t2"};
    QTest::newRow("empty matches no value")
        << QStringList{"Go", kNull, "", "Go"} << "" << QStringList{"t2", "t3"};
    QTest::newRow("bytes compared as text")
        << QStringList{kBlob + "Lua", "lua", "Luau"} << "LUA" << QStringList{"t1", "t2"};
    QTest::newRow("quote in the name")
        << QStringList{"Don't", "DON'T", "Dont"} << "don't" << QStringList{"t1", "t2"};
    QTest::newRow("long name, many letters")
        << QStringList{"AbCdEfGhIjKlMnOpQrSt", "abcdefghijklmnopqrst", "abcdefghijklmnopqrsu"}
        << "ABCDEFGHIJKLMNOPQRST" << QStringList{"t1", "t2"};
}

void LargeCollectionsTest::titlesOfLanguageCaseBlind() {
    QFETCH(QStringList, rows);
    QFETCH(QString, language);
    QFETCH(QStringList, titles);
    makeCollection(path(), rows);
    QString quoted = language;
    quoted.replace(u'\'', QStringLiteral("''"));
    Opened o(path());
    QCOMPARE(titlesWhere(o.table, QStringLiteral("Language = '%1'").arg(quoted)), titles);
}

void LargeCollectionsTest::wrapOffForOverlongLines_data() {
    QTest::addColumn<int>("lineLength");
    QTest::addColumn<bool>("wanted");
    QTest::addColumn<bool>("wrapped");
    QTest::newRow("short lines wrap") << 80 << true << true;
    QTest::newRow("at the limit still wraps") << int(TSynEdit::kLongestWrappedLine) << true << true;
    QTest::newRow("one byte more does not")
        << int(TSynEdit::kLongestWrappedLine) + 1 << true << false;
    QTest::newRow("wrap off stays off") << 80 << false << false;
    QTest::newRow("no note when wrap is off anyway")
        << int(TSynEdit::kLongestWrappedLine) * 2 << false << false;
}

// The user's choice stands (menu and settings), the note says when it is set aside, and the
// next snippet of ordinary lines wraps again.
void LargeCollectionsTest::wrapOffForOverlongLines() {
    QFETCH(int, lineLength);
    QFETCH(bool, wanted);
    QFETCH(bool, wrapped);
    TSynEdit editor;
    editor.resize(400, 300);
    editor.setWordWrap(wanted);
    editor.SetLinesText(QStringLiteral("first line\n") + QString(lineLength, u'x') +
                        QStringLiteral("\nlast line"));
    QCOMPARE(editor.WordWrap(), wanted);
    QCOMPARE(editor.wrapMode() != QsciScintilla::WrapNone, wrapped);
    const bool noted = wanted && !wrapped;
    QCOMPARE(editor.WrapSuspended(), noted);
    const auto note = [&editor] {
        const auto* label = editor.findChild<QLabel*>();
        return label && label->isVisibleTo(&editor) ? label->text() : QString();
    };
    QCOMPARE(note().isEmpty(), !noted);
    QCOMPARE(editor.Text().size(), lineLength + 21);

    editor.SetLinesText(QStringLiteral("short\ntext"));
    QCOMPARE(editor.wrapMode() != QsciScintilla::WrapNone, wanted);
    QVERIFY(!editor.WrapSuspended());
    // Gone, not merely hidden, so that no screen reader finds it.
    QCOMPARE(editor.findChild<QLabel*>(), nullptr);
}

void LargeCollectionsTest::overlongLineInShortRuns_data() {
    QTest::addColumn<QList<int>>("lineLengths"); // the long line of each text, shown in turn
    QTest::newRow("overlong, then ordinary") << QList<int>{200000, 80};
    QTest::newRow("ordinary, overlong, at the limit")
        << QList<int>{80, 300000, int(TSynEdit::kLongestWrappedLine)};
    QTest::newRow("overlong after overlong") << QList<int>{150000, 400000, 60};
}

// An overlong line goes without colours, in short runs that Scintilla measures once, also
// after text is pasted into it; the next ordinary text has its colours, its share of the
// width cache and the caret's reports back.
void LargeCollectionsTest::overlongLineInShortRuns() {
    QFETCH(QList<int>, lineLengths);
    TSynEdit editor;
    TSynCppSyn cpp;
    editor.resize(300, 300);
    editor.setWordWrap(true);
    editor.show();
    QVERIFY(QTest::qWaitForWindowExposed(&editor));
    int column = 0;
    for (int length : lineLengths) {
        // Minified code with a character of two bytes now and then.
        const QString line = QStringLiteral("var é1=f(b,\"s\")+c;").repeated(length / 20 + 1);
        editor.SetLinesText(QStringLiteral("int x;\n") + line.left(length) + u'\n', &cpp);
        const bool overlong = length > TSynEdit::kLongestWrappedLine;
        QCOMPARE(editor.lexer(), overlong ? nullptr : cpp.lexer());
        const auto* note = editor.findChild<QLabel*>();
        QCOMPARE(note && note->isVisibleTo(&editor), overlong);
        // Narrower than the note's one line: it takes more lines rather than lose words; below
        // the text, not over it.
        const QRect text = editor.viewport()->geometry();
        QVERIFY(!note || (note->geometry().left() >= text.left() &&
                          note->geometry().right() <= text.right() &&
                          note->geometry().top() > text.bottom()));
        QSignalSpy caret(&editor, &QsciScintilla::cursorPositionChanged);
        editor.setCursorPosition(1, ++column);
        if (!overlong) {
            QCOMPARE(editor.SendScintilla(QsciScintilla::SCI_GETPOSITIONCACHE), 65536L);
            QTRY_VERIFY(!caret.isEmpty());
            continue;
        }
        // Pasted in the middle; Scintilla asks for its styles as it would to paint it.
        const long middle = editor.SendScintilla(QsciScintilla::SCI_GETLENGTH) / 2 & ~63L;
        editor.SendScintilla(QsciScintilla::SCI_INSERTTEXT, static_cast<unsigned long>(middle),
                             QByteArray(5000, 'q').constData());
        editor.SendScintilla(QsciScintilla::SCI_COLOURISE, static_cast<unsigned long>(middle), -1L);
        const long size = editor.SendScintilla(QsciScintilla::SCI_GETLENGTH);
        long run = 0, longest = 0;
        for (long at = 0, before = -1; at < size; ++at) {
            const long style = editor.SendScintilla(QsciScintilla::SCI_GETSTYLEAT, at);
            QVERIFY2(style >= 0 && style <= 2, qPrintable(QString::number(at)));
            run = style == before ? run + 1 : 1;
            longest = std::max(longest, run);
            before = style;
        }
        QVERIFY2(longest < 30, qPrintable(QString::number(longest)));
    }
}

// The main window comes up without the browser; the help window follows, hidden, and the
// help button then opens it as before, also when clicked before the first paint is over.
void LargeCollectionsTest::helpWindowAfterMainWindow_data() {
    QTest::addColumn<bool>("beforeFirstPaint");
    QTest::newRow("help clicked once the window is up") << false;
    QTest::newRow("help clicked before the first paint") << true;
}

void LargeCollectionsTest::helpWindowAfterMainWindow() {
    QFETCH(bool, beforeFirstPaint);
    DataHome home;
    Dialogs dialogs;
    makeDatabase(home.dataDir() + "varozidi.mdb", {{"C++", "t1", "body"}});
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    CreateFormsHelpLast(QStringLiteral("http://127.0.0.1:1/index.htm")); // refused at once
    QVERIFY(Form1 && Form2);
    QVERIFY(!Form4);
    QCOMPARE(entries(Form1->ListBox1), QStringList{"C++"});
    if (beforeFirstPaint)
        Form1->ToolButton4Click();
    Form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form1));
    QTRY_VERIFY(Form4);
    if (!beforeFirstPaint) {
        QVERIFY(!Form4->isVisible());
        QTest::mouseClick(Form1->ToolButton4, Qt::LeftButton);
    }
    QVERIFY(Form4->isVisible());
    QVERIFY(dialogs.asked().isEmpty());
    delete Form4;
    delete Form1; // owns Form2
    Form1 = nullptr;
    Form4 = nullptr;
    Form2 = nullptr;
}

QTEST_MAIN(LargeCollectionsTest)
#include "tst_largecollections.moc"

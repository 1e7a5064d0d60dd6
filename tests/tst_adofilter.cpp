// SPDX-License-Identifier: GPL-3.0-or-later
// Jet/ADO filter texts applied through a table cursor over a real database file.

#include "TestSupport.h"

#include "data/core/Errors.h"
#include "data/store/ADODB.h"

#include <QtTest>
#include <sqlite3.h>

using testsupport::connectionStringFor;
using testsupport::execSql;

namespace {

QList<int> idsFromHere(TADOTable& table) {
    QList<int> ids;
    while (!table.Eof()) {
        ids.append(table.FieldByName(QStringLiteral("ID")).AsInteger());
        table.Next();
    }
    return ids;
}

} // namespace

class TestAdoFilter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void selectsMatchingRows_data();
    void selectsMatchingRows();
    void rejectsInvalidFilter_data();
    void rejectsInvalidFilter();
    void invalidFilterKeepsShownRows();

private:
    QTemporaryDir dir_;
    QString path_;
    std::unique_ptr<TADOConnection> connection_;
    std::unique_ptr<TADOTable> table_;
};

void TestAdoFilter::initTestCase() {
    QVERIFY(dir_.isValid());
    path_ = dir_.filePath(QStringLiteral("varozidi.mdb"));
    testsupport::makeDatabase(path_, {
                                         {"SQL", "Top 10", "select 1"},       // 1
                                         {"sql", "Don't", "select 2"},        // 2
                                         {"C++", "Hello", "int main"},        // 3
                                         {"Ärger", "Umlaut", "x"},            // 4
                                         {"Python", "Top 10", "print"},       // 5
                                         {"", "NoLang", "empty language"},    // 6
                                         {"Perl", "NullLang", "no language"}, // 7
                                     });
    execSql(path_, QStringLiteral("UPDATE varozidi SET Language = NULL WHERE ID = 7"));
}

void TestAdoFilter::init() {
    connection_ = std::make_unique<TADOConnection>();
    connection_->setConnectionString(connectionStringFor(path_));
    table_ = std::make_unique<TADOTable>();
    table_->setConnection(connection_.get());
    table_->setTableName(QStringLiteral("varozidi"));
}

void TestAdoFilter::cleanup() {
    table_.reset();
    connection_.reset();
}

void TestAdoFilter::selectsMatchingRows_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QList<int>>("ids");

    const QList<int> all{1, 2, 3, 4, 5, 6, 7};
    QTest::newRow("text equal, any case") << "Language = 'SQL'" << QList<int>{1, 2};
    QTest::newRow("field name in any case") << "language = 'sql'" << QList<int>{1, 2};
    QTest::newRow("doubled quote") << "Title = 'Don''t'" << QList<int>{2};
    QTest::newRow("key as quoted text") << "ID = '3'" << QList<int>{3};
    QTest::newRow("key as number") << "ID = 3" << QList<int>{3};
    QTest::newRow("key with blanks in quotes") << "ID = ' 5 '" << QList<int>{5};
    QTest::newRow("AND right after quote")
        << "Language = 'SQL'AND Title = 'Top 10'" << QList<int>{1};
    QTest::newRow("OR and parenthesis right after quote")
        << "Language = 'Python'OR(ID = '1')" << QList<int>{1, 5};
    QTest::newRow("non-ASCII lower") << "Language = 'ärger'" << QList<int>{4};
    QTest::newRow("non-ASCII upper") << "LANGUAGE = 'ÄRGER'" << QList<int>{4};
    QTest::newRow("ordering ignores case") << "Title >= 'u'" << QList<int>{4};
    QTest::newRow("empty text finds empty and missing") << "Language = ''" << QList<int>{6, 7};
    QTest::newRow("AND binds tighter than OR")
        << "Language = 'SQL' OR Language = 'C++' AND Title = 'Nope'" << QList<int>{1, 2};
    QTest::newRow("parentheses") << "(Language = 'SQL' OR Language = 'C++') AND Title = 'Hello'"
                                 << QList<int>{3};
    QTest::newRow("bracketed field") << "[Title] = 'Hello'" << QList<int>{3};
    QTest::newRow("range, lower-case keyword") << "ID > 2 and ID <= 4" << QList<int>{3, 4};
    QTest::newRow("not equal") << "ID <> 1 AND id < 3" << QList<int>{2};
    QTest::newRow("not equal text") << "Title = 'top 10' AND Language <> 'python'" << QList<int>{1};
    QTest::newRow("nothing matches") << "Language = 'Cobol'" << QList<int>{};
    QTest::newRow("empty filter") << "" << all;
    QTest::newRow("blank filter") << "   " << all;
}

void TestAdoFilter::selectsMatchingRows() {
    QFETCH(QString, filter);
    QFETCH(QList<int>, ids);

    table_->setFilter(filter);
    table_->setFiltered(true);
    table_->Open();
    QCOMPARE(table_->RecordCount(), ids.size());
    QCOMPARE(idsFromHere(*table_), ids);
}

void TestAdoFilter::rejectsInvalidFilter_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("problem");

    QTest::newRow("LIKE") << "Language LIKE 'S%'"
                          << "LIKE";
    QTest::newRow("unterminated quote") << "Language = 'SQL"
                                        << "closing quote";
    QTest::newRow("unknown field") << "Colour = 'red'"
                                   << "no field 'Colour'";
    QTest::newRow("trailing garbage") << "Language = 'SQL' garbage"
                                      << "'garbage'";
    QTest::newRow("trailing value") << "Title = 'a' 'b%1'"
                                    << "'b%1' at position 13";
    QTest::newRow("missing value") << "Language ="
                                   << "value is missing";
    QTest::newRow("doubled operator") << "Language == 'SQL'"
                                      << "value is missing";
    QTest::newRow("text for a number") << "ID = 'abc'"
                                       << "type mismatch";
    QTest::newRow("empty text for a number") << "ID = ''"
                                             << "type mismatch";
    QTest::newRow("unclosed parenthesis") << "(Language = 'SQL'"
                                          << "not closed";
    QTest::newRow("dangling AND") << "Language = 'SQL' AND"
                                  << "field name is expected";
    QTest::newRow("empty parentheses") << "()"
                                       << "field name is expected";
    QTest::newRow("unclosed bracket") << "[Title = 'x'"
                                      << "']'";
    QTest::newRow("unknown operator") << "Language != 'SQL'"
                                      << "'!'";
    QTest::newRow("double quotes") << "Title = \"x\""
                                   << "'\"'";
    QTest::newRow("nesting") << QString(200, u'(') + "ID = 1" + QString(200, u')') << "nested";
}

void TestAdoFilter::rejectsInvalidFilter() {
    QFETCH(QString, filter);
    QFETCH(QString, problem);

    table_->setFilter(filter);
    table_->setFiltered(true);
    QString message;
    try {
        table_->Open();
    } catch (const varozidi::Error& e) {
        message = e.message();
    }
    QVERIFY2(message.contains(problem), qPrintable(message));
    QVERIFY2(message.contains(filter), qPrintable(message));
    QVERIFY(!table_->Active());
}

void TestAdoFilter::invalidFilterKeepsShownRows() {
    table_->setFilter(QStringLiteral("Language = 'SQL'"));
    table_->setFiltered(true);
    table_->Open();
    table_->Next();

    QVERIFY_THROWS_EXCEPTION(varozidi::Error,
                             table_->setFilter(QStringLiteral("Language LIKE 'S%'")));
    QCOMPARE(table_->Filter(), QStringLiteral("Language = 'SQL'"));
    QCOMPARE(table_->RecordCount(), 2);
    QCOMPARE(idsFromHere(*table_), QList<int>{2});
}

QTEST_GUILESS_MAIN(TestAdoFilter)
#include "tst_adofilter.moc"

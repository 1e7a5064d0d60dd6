// SPDX-License-Identifier: GPL-3.0-or-later
// The highlighters in a real editor: the styles the lexers give a sample's comment, keyword
// and string belong to the right attribute, and attribute colours reach the editor.

#include "TestSupport.h"
#include "window/Unit1.h"
#include "window/platform/Colors.h"
#include "window/platform/SynHighlighters.h"

#include <QApplication>
#include <Qsci/qscilexer.h>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>

namespace {

using Factory = std::function<TSynCustomHighlighter*()>;

template <class T> Factory factory() {
    return [] { return new T; };
}

const std::map<QString, Factory>& factories() {
    static const std::map<QString, Factory> all = {
        {QStringLiteral("TSynPasSyn"), factory<TSynPasSyn>()},
        {QStringLiteral("TSynJavaSyn"), factory<TSynJavaSyn>()},
        {QStringLiteral("TSynCSSyn"), factory<TSynCSSyn>()},
        {QStringLiteral("TSynCssSyn"), factory<TSynCssSyn>()},
        {QStringLiteral("TSynJScriptSyn"), factory<TSynJScriptSyn>()},
        {QStringLiteral("TSynHTMLSyn"), factory<TSynHTMLSyn>()},
        {QStringLiteral("TSynPHPSyn"), factory<TSynPHPSyn>()},
        {QStringLiteral("TSynVBSyn"), factory<TSynVBSyn>()},
        {QStringLiteral("TSynXMLSyn"), factory<TSynXMLSyn>()},
        {QStringLiteral("TSynVBScriptSyn"), factory<TSynVBScriptSyn>()},
        {QStringLiteral("TSynSQLSyn"), factory<TSynSQLSyn>()},
        {QStringLiteral("TSynCppSyn"), factory<TSynCppSyn>()},
    };
    return all;
}

std::unique_ptr<TSynCustomHighlighter> make(const QString& name) {
    const auto it = factories().find(name);
    if (it == factories().end())
        qFatal("no highlighter %s", qPrintable(name));
    return std::unique_ptr<TSynCustomHighlighter>(it->second());
}

int styleAt(TSynEdit& editor, int pos) {
    return int(editor.SendScintilla(QsciScintillaBase::SCI_GETSTYLEAT, pos));
}

QColor fromBgr(long bgr) {
    return QColor(int(bgr & 0xff), int((bgr >> 8) & 0xff), int((bgr >> 16) & 0xff));
}

QColor editorForeground(TSynEdit& editor, int style) {
    return fromBgr(editor.SendScintilla(QsciScintillaBase::SCI_STYLEGETFORE, style));
}

void colourise(TSynEdit& editor, const QString& text) {
    editor.SetLinesText(text);
    editor.SendScintilla(QsciScintillaBase::SCI_COLOURISE, 0, -1);
}

QColor editorBackground(TSynEdit& editor, int style) {
    return fromBgr(editor.SendScintilla(QsciScintillaBase::SCI_STYLEGETBACK, style));
}

// The contrast ratio of two colours as the accessibility guidelines define it (1 to 21).
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Some lexer styles are faint on purpose (code switched off by the preprocessor), so the bar
// is telling text from paper at all; dark blue on a dark palette's paper is about 1.1.
constexpr double kTellApart = 1.5;

QPalette darkPalette() {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    return dark;
}

// Puts a palette in force for the application and takes the old one back at the end.
class ApplicationPalette {
public:
    explicit ApplicationPalette(const QPalette& palette) : previous_(QApplication::palette()) {
        QApplication::setPalette(palette);
    }
    ~ApplicationPalette() { QApplication::setPalette(previous_); }

private:
    QPalette previous_;
};

bool contains(const std::vector<int>& styles, int style) {
    return std::find(styles.begin(), styles.end(), style) != styles.end();
}

// Where in a sample its comment, keyword and string start.
struct Positions {
    int comment, keyword, string;
};

Positions positionsIn(const QString& text, const QString& comment, const QString& keyword,
                      const QString& string) {
    const auto at = [&](const QString& marker) {
        const auto pos = text.indexOf(marker);
        if (pos < 0)
            qFatal("marker %s not in sample", qPrintable(marker));
        return int(pos);
    };
    return {at(comment), at(keyword), at(string)};
}

// Unlike any lexer's own colours, so that a colour that never arrived cannot pass.
const QColor commentColour(10, 140, 20);
const QColor keyColour(20, 30, 210);
const QColor stringColour(170, 0, 90);

void setColours(TSynCustomHighlighter& hl, const QColor& comment, const QColor& key,
                const QColor& string) {
    hl.CommentAttri().setForeground(comment);
    hl.KeyAttri().setForeground(key);
    hl.StringAttri().setForeground(string);
}

// One sample row: the text, where its comment, keyword and string start, and a
// highlighter to switch to and back.
void sample(const char* name, const char* highlighter, const char* text, const char* comment,
            const char* keyword, const char* string, const char* other) {
    QTest::newRow(name) << QString::fromLatin1(highlighter) << QString::fromLatin1(text)
                        << QString::fromLatin1(comment) << QString::fromLatin1(keyword)
                        << QString::fromLatin1(string) << QString::fromLatin1(other);
}

} // namespace

class TestHighlighters : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sampleStylesBelongToTheirKind_data() { samples(); }
    void sampleStylesBelongToTheirKind();
    void coloursSetWhileActiveReachEditor_data() { samples(); }
    void coloursSetWhileActiveReachEditor();
    void coloursSetBeforeActivationReachEditor_data() { samples(); }
    void coloursSetBeforeActivationReachEditor();
    void switchingHighlightersKeepsColours_data() { samples(); }
    void switchingHighlightersKeepsColours();
    void keywordsIgnoreCase_data();
    void keywordsIgnoreCase();
    void languageNamePicksHighlighter_data();
    void languageNamePicksHighlighter();
    void mainWindowColours_data();
    void mainWindowColours();
    void readableOnEitherPalette_data();
    void readableOnEitherPalette();
    void followsAPaletteChangeWhileRunning();

private:
    void samples();
};

void TestHighlighters::samples() {
    QTest::addColumn<QString>("highlighter");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("string");
    // A highlighter sharing style numbers where one exists, so that a colour left behind
    // by the switch would show.
    QTest::addColumn<QString>("other");

    sample("Pascal", "TSynPasSyn", "{ greet }\nprocedure Hello;\nbegin\n  WriteLn('Hi');\nend;\n",
           "{ greet", "procedure", "'Hi'", "TSynSQLSyn");
    sample("Pascal line comment", "TSynPasSyn", "// greet\nbegin\n  s := 'Hi';\nend;\n", "// greet",
           "begin", "'Hi'", "TSynSQLSyn");
    sample("Java", "TSynJavaSyn", "// greet\npublic class A {\n  String s = \"hi\";\n}\n",
           "// greet", "public", "\"hi\"", "TSynCSSyn");
    sample("C#", "TSynCSSyn", "/* greet */\nusing System;\nclass A { string s = @\"hi\"; }\n",
           "/* greet", "using", "@\"hi\"", "TSynJavaSyn");
    sample("CSS", "TSynCssSyn", "/* page */\nbody {\n  color: red;\n  font-family: \"Arial\";\n}\n",
           "/* page", "color", "\"Arial\"", "TSynPasSyn");
    sample("JavaScript", "TSynJScriptSyn", "// greet\nfunction f() {\n  return 'hi';\n}\n",
           "// greet", "function", "'hi'", "TSynCppSyn");
    sample("HTML markup", "TSynHTMLSyn", "<!-- note -->\n<p class=\"x\">Hi</p>\n", "<!-- note",
           "p class", "\"x\"", "TSynXMLSyn");
    sample("HTML script", "TSynHTMLSyn", "<p>Hi</p>\n<script>\n// greet\nvar s = 'a';\n</script>\n",
           "// greet", "var", "'a'", "TSynPHPSyn");
    sample("PHP", "TSynPHPSyn", "// greet\nfunction hi($name) {\n  echo 'Hello ' . $name;\n}\n",
           "// greet", "function", "'Hello '", "TSynHTMLSyn");
    sample("PHP block comment", "TSynPHPSyn", "/* greet */\n$s = \"x\";\nif ($s) { return; }\n",
           "/* greet", "if", "\"x\"", "TSynHTMLSyn");
    sample("VB", "TSynVBSyn", "' greet\nDim s As String\ns = \"hi\"\n", "' greet", "Dim", "\"hi\"",
           "TSynVBScriptSyn");
    sample("XML", "TSynXMLSyn", "<?xml version=\"1.0\"?>\n<!-- note -->\n<root a=\"v\"/>\n",
           "<!-- note", "root", "\"v\"", "TSynHTMLSyn");
    sample("VBScript", "TSynVBScriptSyn", "Rem greet\nDim s\ns = \"hi\"\nMsgBox s\n", "Rem greet",
           "Dim", "\"hi\"", "TSynVBSyn");
    sample("SQL", "TSynSQLSyn", "-- all names\nSELECT name FROM t WHERE a = 'x';\n", "-- all",
           "SELECT", "'x'", "TSynPasSyn");
    sample("C++", "TSynCppSyn", "// greet\n#include <cstdio>\nint main() { puts(\"hi\"); }\n",
           "// greet", "int", "\"hi\"", "TSynJScriptSyn");
}

void TestHighlighters::sampleStylesBelongToTheirKind() {
    QFETCH(QString, highlighter);
    QFETCH(QString, text);
    QFETCH(QString, comment);
    QFETCH(QString, keyword);
    QFETCH(QString, string);

    TSynEdit editor;
    const auto hl = make(highlighter);
    editor.setHighlighter(hl.get());
    colourise(editor, text);
    const Positions at = positionsIn(text, comment, keyword, string);

    const int commentStyle = styleAt(editor, at.comment);
    const int keywordStyle = styleAt(editor, at.keyword);
    const int stringStyle = styleAt(editor, at.string);
    QVERIFY2(contains(hl->stylesOf(TSynAttrKind::Comment), commentStyle),
             qPrintable(QString::number(commentStyle)));
    QVERIFY2(contains(hl->stylesOf(TSynAttrKind::Key), keywordStyle),
             qPrintable(QString::number(keywordStyle)));
    QVERIFY2(contains(hl->stylesOf(TSynAttrKind::String), stringStyle),
             qPrintable(QString::number(stringStyle)));
}

void TestHighlighters::coloursSetWhileActiveReachEditor() {
    QFETCH(QString, highlighter);
    QFETCH(QString, text);
    QFETCH(QString, comment);
    QFETCH(QString, keyword);
    QFETCH(QString, string);

    TSynEdit editor;
    const auto hl = make(highlighter);
    editor.setHighlighter(hl.get());
    colourise(editor, text);
    const Positions at = positionsIn(text, comment, keyword, string);
    QVERIFY(editorForeground(editor, styleAt(editor, at.comment)) != commentColour);
    QVERIFY(editorForeground(editor, styleAt(editor, at.keyword)) != keyColour);
    QVERIFY(editorForeground(editor, styleAt(editor, at.string)) != stringColour);
    setColours(*hl, commentColour, keyColour, stringColour);

    QCOMPARE(editorForeground(editor, styleAt(editor, at.comment)), commentColour);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.keyword)), keyColour);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.string)), stringColour);
    // Every style of a kind follows, not only those the sample happens to use.
    for (int style : hl->stylesOf(TSynAttrKind::Comment))
        QCOMPARE(editorForeground(editor, style), commentColour);
    for (int style : hl->stylesOf(TSynAttrKind::Key))
        QCOMPARE(editorForeground(editor, style), keyColour);
    for (int style : hl->stylesOf(TSynAttrKind::String))
        QCOMPARE(editorForeground(editor, style), stringColour);
}

void TestHighlighters::coloursSetBeforeActivationReachEditor() {
    QFETCH(QString, highlighter);
    QFETCH(QString, text);
    QFETCH(QString, comment);
    QFETCH(QString, keyword);
    QFETCH(QString, string);

    TSynEdit editor;
    const auto hl = make(highlighter);
    setColours(*hl, commentColour, keyColour, stringColour);
    editor.setHighlighter(hl.get());
    colourise(editor, text);

    const Positions at = positionsIn(text, comment, keyword, string);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.comment)), commentColour);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.keyword)), keyColour);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.string)), stringColour);
}

void TestHighlighters::switchingHighlightersKeepsColours() {
    QFETCH(QString, highlighter);
    QFETCH(QString, text);
    QFETCH(QString, comment);
    QFETCH(QString, keyword);
    QFETCH(QString, string);
    QFETCH(QString, other);

    TSynEdit editor;
    const auto hl = make(highlighter);
    const auto otherHl = make(other);
    // The other highlighter's colours are this one's, rotated: none matches its own kind.
    setColours(*otherHl, keyColour, stringColour, commentColour);
    editor.setHighlighter(hl.get());
    setColours(*hl, commentColour, keyColour, stringColour);
    editor.setHighlighter(otherHl.get());
    editor.setHighlighter(hl.get());
    // Recolouring the highlighter no longer shown must leave the editor alone.
    setColours(*otherHl, stringColour, commentColour, keyColour);
    colourise(editor, text);

    const Positions at = positionsIn(text, comment, keyword, string);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.comment)), commentColour);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.keyword)), keyColour);
    QCOMPARE(editorForeground(editor, styleAt(editor, at.string)), stringColour);
    QCOMPARE(hl->CommentAttri().Foreground(), commentColour);
    QCOMPARE(hl->KeyAttri().Foreground(), keyColour);
    QCOMPARE(hl->StringAttri().Foreground(), stringColour);
}

void TestHighlighters::keywordsIgnoreCase_data() {
    QTest::addColumn<QString>("highlighter");
    QTest::addColumn<QString>("keyword");

    for (const char* name : {"TSynVBSyn", "TSynVBScriptSyn"}) {
        const QString hl = QString::fromLatin1(name);
        QTest::newRow(qPrintable(hl + " Dim")) << hl << "Dim";
        QTest::newRow(qPrintable(hl + " DIM")) << hl << "DIM";
        QTest::newRow(qPrintable(hl + " dim")) << hl << "dim";
        QTest::newRow(qPrintable(hl + " ReDim")) << hl << "ReDim";
        QTest::newRow(qPrintable(hl + " End")) << hl << "End";
    }
    QTest::newRow("TSynPHPSyn ECHO") << "TSynPHPSyn"
                                     << "ECHO";
    QTest::newRow("TSynPHPSyn Function") << "TSynPHPSyn"
                                         << "Function";
    QTest::newRow("TSynPHPSyn strlen") << "TSynPHPSyn"
                                       << "strlen";
}

void TestHighlighters::keywordsIgnoreCase() {
    QFETCH(QString, highlighter);
    QFETCH(QString, keyword);

    TSynEdit editor;
    const auto hl = make(highlighter);
    editor.setHighlighter(hl.get());
    colourise(editor, QStringLiteral("x = 1\n") + keyword + QStringLiteral(" y\n"));

    QVERIFY(!hl->lexer()->caseSensitive());
    QVERIFY(contains(hl->stylesOf(TSynAttrKind::Key), styleAt(editor, 6)));
    // The identifier after it stays plain, so the keyword list is not matching everything.
    QVERIFY(!contains(hl->stylesOf(TSynAttrKind::Key), styleAt(editor, 7 + int(keyword.size()))));
}

void TestHighlighters::languageNamePicksHighlighter_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("component");
    const char* const table[][2] = {
        {"C++", "SynCppSyn1"},
        {"Java", "SynJavaSyn1"},
        {"java", "SynPasSyn1"},
        {"CSharp", "SynCSSyn1"},
        {"C#", "SynPasSyn1"},
        {"CSS", "SynCssSyn1"},
        {"CSS3", "SynCssSyn1"},
        {"MySQL", "SynSQLSyn1"},
        {"SQL Server", "SynSQLSyn1"},
        {"HTML5", "SynHTMLSyn1"},
        {"XHTML", "SynHTMLSyn1"},
        {"XML", "SynXMLSyn1"},
        {"PHP", "SynPHPSyn1"},
        {"VB.NET", "SynVBSyn1"},
        {"Visual Basic", "SynPasSyn1"},
        {"Javascript", "SynJScriptSyn1"},
        {"General Javascript", "SynJScriptSyn1"},
        {"VBScript", "SynVBScriptSyn1"},
        {"PHP in HTML", "SynHTMLSyn1"},
        {"General", "SynPasSyn1"},
        {"Delphi", "SynPasSyn1"},
        {"", "SynPasSyn1"},
        {"Rust", "SynPasSyn1"},
    };
    for (const auto& row : table)
        QTest::newRow(*row[0] ? row[0] : "empty name") << row[0] << row[1];
}

void TestHighlighters::languageNamePicksHighlighter() {
    QFETCH(QString, language);
    QFETCH(QString, component);
    testsupport::Started s({});
    QCOMPARE(s->HighlighterFor(language)->objectName(), component);
}

void TestHighlighters::mainWindowColours_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<QColor>("colour");
    const QString pascal = "{ greet }\nbegin\n  s := 'Hi';\nend;\n";
    const QString java = "// greet\nclass A { String s = \"hi\" + 1; }\n";
    QTest::newRow("Delphi comment") << "Delphi" << pascal << "{ greet" << clGreen;
    QTest::newRow("Delphi keyword") << "Delphi" << pascal << "begin" << clNavy;
    QTest::newRow("Delphi string") << "Delphi" << pascal << "'Hi'" << clMaroon;
    QTest::newRow("Java comment") << "Java" << java << "// greet" << clGreen;
    QTest::newRow("Java string") << "Java" << java << "\"hi\"" << clPurple;
    QTest::newRow("Java symbol") << "Java" << java << "+" << clRed;
}

// The colours the main window gives its highlighters show in a snippet it loads.
void TestHighlighters::mainWindowColours() {
    QFETCH(QString, language);
    QFETCH(QString, text);
    QFETCH(QString, marker);
    QFETCH(QColor, colour);
    testsupport::Started s({{language, "Sample", text}});
    testsupport::clickRow(s->ListBox1, 0);
    testsupport::clickRow(s->ListBox2, 0);
    QCOMPARE(s->SynEdit1->Text(), text);
    s->SynEdit1->SendScintilla(QsciScintillaBase::SCI_COLOURISE, 0, -1);
    const int style = styleAt(*s->SynEdit1, int(text.indexOf(marker)));
    QCOMPARE(editorForeground(*s->SynEdit1, style), colour);
}

void TestHighlighters::readableOnEitherPalette_data() {
    QTest::addColumn<QString>("highlighter"); // empty: none, as for the welcome text
    QTest::addColumn<bool>("dark");
    for (bool dark : {false, true}) {
        const char* palette = dark ? "dark" : "light";
        QTest::newRow(qPrintable(QStringLiteral("none, %1").arg(palette))) << QString() << dark;
        for (const auto& entry : factories())
            QTest::newRow(qPrintable(entry.first + ", " + palette)) << entry.first << dark;
    }
}

// Every style a highlighter draws, and the caret, stand out from the paper they are drawn on,
// whatever palette the desktop has: the paper never comes from a palette the colours were not
// chosen for.
void TestHighlighters::readableOnEitherPalette() {
    QFETCH(QString, highlighter);
    QFETCH(bool, dark);
    const ApplicationPalette palette(dark ? darkPalette() : QPalette(Qt::white));
    std::unique_ptr<TSynCustomHighlighter> hl;
    if (!highlighter.isEmpty())
        hl = make(highlighter);
    TSynEdit editor;
    editor.setHighlighter(hl.get());
    // Without a highlighter all text is drawn in style 0.
    QList<int> styles{hl ? int(QsciScintillaBase::STYLE_DEFAULT) : 0};
    if (hl)
        for (int style = 0; style < 128; ++style)
            if (!hl->lexer()->description(style).isEmpty())
                styles.append(style);
    for (int style : styles) {
        const double ratio =
            contrast(editorForeground(editor, style), editorBackground(editor, style));
        QVERIFY2(ratio >= kTellApart, qPrintable(QStringLiteral("style %1 (%2): contrast %3")
                                                     .arg(style)
                                                     .arg(hl ? hl->lexer()->description(style) : "")
                                                     .arg(ratio)));
    }
    const QColor caret = fromBgr(editor.SendScintilla(QsciScintillaBase::SCI_GETCARETFORE));
    QVERIFY(contrast(caret, editorBackground(editor, QsciScintillaBase::STYLE_DEFAULT)) >=
            kTellApart);
}

// Without a highlighter the editor's paper is the palette's; switching the desktop to dark
// while the program runs takes the editor along.
void TestHighlighters::followsAPaletteChangeWhileRunning() {
    const ApplicationPalette light{QPalette(Qt::white)};
    TSynEdit editor;
    QCOMPARE(editorBackground(editor, QsciScintillaBase::STYLE_DEFAULT),
             QApplication::palette().color(QPalette::Base));
    const ApplicationPalette dark(darkPalette());
    QTRY_COMPARE(editorBackground(editor, 0), QColor(0x1e, 0x1e, 0x1e));
    QCOMPARE(editorBackground(editor, QsciScintillaBase::STYLE_DEFAULT), QColor(0x1e, 0x1e, 0x1e));
    QCOMPARE(editorForeground(editor, 0), QColor(0xee, 0xee, 0xee));
}

QTEST_MAIN(TestHighlighters)
#include "tst_highlighters.moc"

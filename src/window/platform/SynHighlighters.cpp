// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/SynHighlighters.h"

#include "window/platform/Colors.h"

#include <Qsci/qscilexercpp.h>
#include <Qsci/qscilexercsharp.h>
#include <Qsci/qscilexercss.h>
#include <Qsci/qscilexerhtml.h>
#include <Qsci/qscilexerjava.h>
#include <Qsci/qscilexerjavascript.h>
#include <Qsci/qscilexerpascal.h>
#include <Qsci/qscilexersql.h>
#include <Qsci/qscilexerxml.h>

namespace {

using K = TSynAttrKind;

// --- lexers QScintilla has no class for -----------------------------------------------------

// Scintilla's Visual Basic lexer serves both "vb" and "vbscript"; its style numbers.
enum VbStyle {
    VbDefault = 0,
    VbComment = 1,
    VbNumber = 2,
    VbKeyword = 3,
    VbString = 4,
    VbPreprocessor = 5,
    VbOperator = 6,
    VbIdentifier = 7,
    VbDate = 8,
    VbUnclosedString = 9,
    VbKeyword2 = 10,
    VbKeyword3 = 11,
    VbKeyword4 = 12,
    VbConstant = 13,
    VbAsm = 14,
    VbLabel = 15,
    VbError = 16,
    VbHexNumber = 17,
    VbBinNumber = 18,
};

class VbLexerBase : public QsciLexer {
public:
    explicit VbLexerBase(QObject* parent) : QsciLexer(parent) {}

    // The lexer lowercases each word before looking it up, so the lists are lowercase.
    bool caseSensitive() const override { return false; }

    QString description(int style) const override {
        switch (style) {
        case VbDefault:
            return tr("Default");
        case VbComment:
            return tr("Comment");
        case VbNumber:
            return tr("Number");
        case VbKeyword:
            return tr("Keyword");
        case VbString:
            return tr("String");
        case VbPreprocessor:
            return tr("Preprocessor");
        case VbOperator:
            return tr("Operator");
        case VbIdentifier:
            return tr("Identifier");
        case VbDate:
            return tr("Date");
        case VbUnclosedString:
            return tr("Unclosed string");
        case VbKeyword2:
            return tr("Secondary keywords");
        case VbKeyword3:
            return tr("Keyword set 3");
        case VbKeyword4:
            return tr("Keyword set 4");
        case VbConstant:
            return tr("Constant");
        case VbAsm:
            return tr("Inline assembler");
        case VbLabel:
            return tr("Label");
        case VbError:
            return tr("Error");
        case VbHexNumber:
            return tr("Hexadecimal number");
        case VbBinNumber:
            return tr("Binary number");
        }
        return QString();
    }

    QColor defaultColor(int style) const override {
        switch (style) {
        case VbComment:
            return clGreen;
        case VbNumber:
        case VbHexNumber:
        case VbBinNumber:
        case VbDate:
            return clTeal;
        case VbKeyword:
        case VbKeyword2:
        case VbKeyword3:
        case VbKeyword4:
            return clNavy;
        case VbString:
        case VbUnclosedString:
            return clPurple;
        case VbPreprocessor:
            return clOlive;
        case VbConstant:
        case VbLabel:
            return clMaroon;
        case VbError:
            return clRed;
        }
        return clBlack;
    }

    QColor defaultPaper(int style) const override {
        // As the ready lexers do, an unclosed string is marked to the end of the line.
        if (style == VbUnclosedString)
            return QColor(0xe0, 0xc0, 0xe0);
        return QsciLexer::defaultPaper(style);
    }

    bool defaultEolFill(int style) const override { return style == VbUnclosedString; }

    QFont defaultFont(int style) const override {
        QFont font = QsciLexer::defaultFont(style);
        if (style == VbKeyword)
            font.setBold(true);
        return font;
    }
};

class VbLexer : public VbLexerBase {
public:
    explicit VbLexer(QObject* parent) : VbLexerBase(parent) {}
    const char* language() const override { return "Visual Basic"; }
    const char* lexer() const override { return "vb"; }
    const char* keywords(int set) const override {
        if (set == 1)
            return "addhandler addressof alias and andalso as attribute begin boolean byref "
                   "byte byval call case catch cbool cbyte cchar cdate cdbl cdec char cint "
                   "class clng cobj const continue csng cstr ctype currency date decimal "
                   "declare default delegate dim directcast do double each else elseif empty "
                   "end endif enum erase error event exit explicit false finally for friend "
                   "function get global gosub goto handles if implements imports in inherits "
                   "integer interface is isnot let lib like load long loop me mod module "
                   "mustinherit mustoverride mybase myclass namespace new next not nothing "
                   "notinheritable notoverridable null object of on operator option optional "
                   "or orelse overloads overridable overrides paramarray partial preserve "
                   "private property protected public raiseevent readonly redim rem "
                   "removehandler resume return select set shadows shared short single static "
                   "step stop strict string structure sub synclock then throw to true try "
                   "trycast type typeof unload until using variant wend when while with "
                   "withevents writeonly xor";
        return nullptr;
    }
};

class VbScriptLexer : public VbLexerBase {
public:
    explicit VbScriptLexer(QObject* parent) : VbLexerBase(parent) {}
    const char* language() const override { return "VBScript"; }
    const char* lexer() const override { return "vbscript"; }
    const char* keywords(int set) const override {
        if (set == 1)
            return "and byref byval call case class const default dim do each else elseif "
                   "empty end eqv erase error execute executeglobal exit explicit false for "
                   "function get goto if imp in is let loop me mod new next not nothing null "
                   "on option or preserve private property public randomize redim rem resume "
                   "select set step stop sub then to true until wend while with xor";
        return nullptr;
    }
};

// Scintilla's "phpscript" is the HTML lexer started inside PHP code, so a snippet needs no
// opening tag. These are its PHP style numbers.
enum PhpStyle {
    PhpHtmlDefault = 0,
    PhpStartEnd = 18,
    PhpComplexVariable = 104,
    PhpDefault = 118,
    PhpDoubleQuotedString = 119,
    PhpSingleQuotedString = 120,
    PhpKeyword = 121,
    PhpNumber = 122,
    PhpVariable = 123,
    PhpComment = 124,
    PhpCommentLine = 125,
    PhpDoubleQuotedVariable = 126,
    PhpOperator = 127,
};

class PhpLexer : public QsciLexer {
public:
    explicit PhpLexer(QObject* parent) : QsciLexer(parent) {}

    const char* language() const override { return "PHP"; }
    const char* lexer() const override { return "phpscript"; }
    // Keywords and function names ignore case in PHP.
    bool caseSensitive() const override { return false; }
    const char* wordCharacters() const override {
        return "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_$";
    }

    // The HTML lexer's keyword sets: 1 HTML, 2 JavaScript, 3 VBScript, 4 Python, 5 PHP.
    const char* keywords(int set) const override {
        if (set == 5)
            return "abstract and array as break callable case catch class clone const "
                   "continue declare default die do echo else elseif empty enddeclare endfor "
                   "endforeach endif endswitch endwhile enum eval exit extends false final "
                   "finally fn for foreach function global goto if implements include "
                   "include_once instanceof insteadof interface isset list match namespace new "
                   "null or parent print private protected public readonly require "
                   "require_once return self static switch throw trait true try unset use var "
                   "while xor yield "
                   "array_key_exists array_keys array_map array_merge array_values count "
                   "define explode implode in_array is_array is_null json_decode json_encode "
                   "preg_match preg_replace printf sprintf str_replace strlen strpos "
                   "strtolower strtoupper substr trim";
        return nullptr;
    }

    QString description(int style) const override {
        switch (style) {
        case PhpHtmlDefault:
            return tr("HTML default");
        case PhpStartEnd:
            return tr("PHP start and end");
        case PhpComplexVariable:
            return tr("Complex variable");
        case PhpDefault:
            return tr("Default");
        case PhpDoubleQuotedString:
            return tr("Double-quoted string");
        case PhpSingleQuotedString:
            return tr("Single-quoted string");
        case PhpKeyword:
            return tr("Keyword");
        case PhpNumber:
            return tr("Number");
        case PhpVariable:
            return tr("Variable");
        case PhpComment:
            return tr("Comment");
        case PhpCommentLine:
            return tr("Line comment");
        case PhpDoubleQuotedVariable:
            return tr("Variable in a double-quoted string");
        case PhpOperator:
            return tr("Operator");
        }
        return QString();
    }

    QColor defaultColor(int style) const override {
        switch (style) {
        case PhpStartEnd:
            return clMaroon;
        case PhpComment:
        case PhpCommentLine:
            return clGreen;
        case PhpKeyword:
            return clNavy;
        case PhpDoubleQuotedString:
        case PhpSingleQuotedString:
            return clPurple;
        case PhpNumber:
            return clTeal;
        case PhpVariable:
        case PhpComplexVariable:
        case PhpDoubleQuotedVariable:
            return clMaroon;
        }
        return clBlack;
    }

    QFont defaultFont(int style) const override {
        QFont font = QsciLexer::defaultFont(style);
        if (style == PhpKeyword)
            font.setBold(true);
        return font;
    }
};

// --- style maps -----------------------------------------------------------------------------

// Shared by every lexer built on Scintilla's C++ lexer. The inactive (+64) styles are left
// out: they grey out code disabled by the preprocessor, which should stay grey.
constexpr TSynStyleMapEntry cppFamilyStyles[] = {
    {K::Comment, QsciLexerCPP::Comment},
    {K::Comment, QsciLexerCPP::CommentLine},
    {K::Comment, QsciLexerCPP::CommentDoc},
    {K::Comment, QsciLexerCPP::CommentLineDoc},
    {K::Comment, QsciLexerCPP::CommentDocKeyword},
    {K::Comment, QsciLexerCPP::CommentDocKeywordError},
    {K::Comment, QsciLexerCPP::PreProcessorComment},
    {K::Comment, QsciLexerCPP::PreProcessorCommentLineDoc},
    // Task markers only ever appear inside comments.
    {K::Comment, QsciLexerCPP::TaskMarker},
    {K::Key, QsciLexerCPP::Keyword},
    {K::Key, QsciLexerCPP::KeywordSet2},
    {K::String, QsciLexerCPP::DoubleQuotedString},
    {K::String, QsciLexerCPP::SingleQuotedString},
    {K::String, QsciLexerCPP::UnclosedString},
    {K::String, QsciLexerCPP::VerbatimString},
    {K::String, QsciLexerCPP::RawString},
    {K::String, QsciLexerCPP::TripleQuotedVerbatimString},
    {K::String, QsciLexerCPP::HashQuotedString},
    {K::String, QsciLexerCPP::EscapeSequence},
    {K::Symbol, QsciLexerCPP::Operator},
};

constexpr TSynStyleMapEntry pascalStyles[] = {
    {K::Comment, QsciLexerPascal::Comment},
    {K::Comment, QsciLexerPascal::CommentParenthesis},
    {K::Comment, QsciLexerPascal::CommentLine},
    {K::Key, QsciLexerPascal::Keyword},
    {K::String, QsciLexerPascal::SingleQuotedString},
    {K::String, QsciLexerPascal::UnclosedString},
    {K::String, QsciLexerPascal::Character},
    {K::Symbol, QsciLexerPascal::Operator},
};

// In style sheets the words the lexer looks up in its lists are property names, pseudo
// classes and elements, and at-rules.
constexpr TSynStyleMapEntry cssStyles[] = {
    {K::Comment, QsciLexerCSS::Comment},
    {K::Key, QsciLexerCSS::CSS1Property},
    {K::Key, QsciLexerCSS::CSS2Property},
    {K::Key, QsciLexerCSS::CSS3Property},
    {K::Key, QsciLexerCSS::ExtendedCSSProperty},
    {K::Key, QsciLexerCSS::PseudoClass},
    {K::Key, QsciLexerCSS::ExtendedPseudoClass},
    {K::Key, QsciLexerCSS::PseudoElement},
    {K::Key, QsciLexerCSS::ExtendedPseudoElement},
    {K::Key, QsciLexerCSS::AtRule},
    {K::Key, QsciLexerCSS::MediaRule},
    {K::Key, QsciLexerCSS::Important},
    {K::String, QsciLexerCSS::DoubleQuotedString},
    {K::String, QsciLexerCSS::SingleQuotedString},
    {K::Symbol, QsciLexerCSS::Operator},
};

// Markup and every script language the HTML lexer knows.
constexpr TSynStyleMapEntry htmlStyles[] = {
    {K::Comment, QsciLexerHTML::HTMLComment},
    {K::Comment, QsciLexerHTML::ASPXCComment},
    {K::Comment, QsciLexerHTML::SGMLComment},
    {K::Comment, QsciLexerHTML::SGMLParameterComment},
    {K::Comment, QsciLexerHTML::JavaScriptComment},
    {K::Comment, QsciLexerHTML::JavaScriptCommentLine},
    {K::Comment, QsciLexerHTML::JavaScriptCommentDoc},
    {K::Comment, QsciLexerHTML::ASPJavaScriptComment},
    {K::Comment, QsciLexerHTML::ASPJavaScriptCommentLine},
    {K::Comment, QsciLexerHTML::ASPJavaScriptCommentDoc},
    {K::Comment, QsciLexerHTML::VBScriptComment},
    {K::Comment, QsciLexerHTML::ASPVBScriptComment},
    {K::Comment, QsciLexerHTML::PythonComment},
    {K::Comment, QsciLexerHTML::ASPPythonComment},
    {K::Comment, QsciLexerHTML::PHPComment},
    {K::Comment, QsciLexerHTML::PHPCommentLine},
    // Known element and attribute names come from the lexer's keyword list.
    {K::Key, QsciLexerHTML::Tag},
    {K::Key, QsciLexerHTML::Attribute},
    {K::Key, QsciLexerHTML::SGMLCommand},
    {K::Key, QsciLexerHTML::JavaScriptKeyword},
    {K::Key, QsciLexerHTML::ASPJavaScriptKeyword},
    {K::Key, QsciLexerHTML::VBScriptKeyword},
    {K::Key, QsciLexerHTML::ASPVBScriptKeyword},
    {K::Key, QsciLexerHTML::PythonKeyword},
    {K::Key, QsciLexerHTML::ASPPythonKeyword},
    {K::Key, QsciLexerHTML::PHPKeyword},
    {K::String, QsciLexerHTML::HTMLDoubleQuotedString},
    {K::String, QsciLexerHTML::HTMLSingleQuotedString},
    {K::String, QsciLexerHTML::SGMLDoubleQuotedString},
    {K::String, QsciLexerHTML::SGMLSingleQuotedString},
    {K::String, QsciLexerHTML::JavaScriptDoubleQuotedString},
    {K::String, QsciLexerHTML::JavaScriptSingleQuotedString},
    {K::String, QsciLexerHTML::JavaScriptUnclosedString},
    {K::String, QsciLexerHTML::ASPJavaScriptDoubleQuotedString},
    {K::String, QsciLexerHTML::ASPJavaScriptSingleQuotedString},
    {K::String, QsciLexerHTML::ASPJavaScriptUnclosedString},
    {K::String, QsciLexerHTML::VBScriptString},
    {K::String, QsciLexerHTML::VBScriptUnclosedString},
    {K::String, QsciLexerHTML::ASPVBScriptString},
    {K::String, QsciLexerHTML::ASPVBScriptUnclosedString},
    {K::String, QsciLexerHTML::PythonDoubleQuotedString},
    {K::String, QsciLexerHTML::PythonSingleQuotedString},
    {K::String, QsciLexerHTML::PythonTripleSingleQuotedString},
    {K::String, QsciLexerHTML::PythonTripleDoubleQuotedString},
    {K::String, QsciLexerHTML::ASPPythonDoubleQuotedString},
    {K::String, QsciLexerHTML::ASPPythonSingleQuotedString},
    {K::String, QsciLexerHTML::ASPPythonTripleSingleQuotedString},
    {K::String, QsciLexerHTML::ASPPythonTripleDoubleQuotedString},
    {K::String, QsciLexerHTML::PHPDoubleQuotedString},
    {K::String, QsciLexerHTML::PHPSingleQuotedString},
    {K::Symbol, QsciLexerHTML::XMLStart},
    {K::Symbol, QsciLexerHTML::XMLEnd},
    {K::Symbol, QsciLexerHTML::XMLTagEnd},
    {K::Symbol, QsciLexerHTML::JavaScriptSymbol},
    {K::Symbol, QsciLexerHTML::ASPJavaScriptSymbol},
    {K::Symbol, QsciLexerHTML::PythonOperator},
    {K::Symbol, QsciLexerHTML::ASPPythonOperator},
    {K::Symbol, QsciLexerHTML::PHPOperator},
};

constexpr TSynStyleMapEntry phpStyles[] = {
    {K::Comment, PhpComment},
    {K::Comment, PhpCommentLine},
    {K::Key, PhpKeyword},
    {K::String, PhpDoubleQuotedString},
    {K::String, PhpSingleQuotedString},
    {K::Symbol, PhpOperator},
};

// VB and VBScript share one lexer and so one map.
constexpr TSynStyleMapEntry vbStyles[] = {
    {K::Comment, VbComment},       {K::Key, VbKeyword},     {K::Key, VbKeyword2},
    {K::Key, VbKeyword3},          {K::Key, VbKeyword4},    {K::String, VbString},
    {K::String, VbUnclosedString}, {K::Symbol, VbOperator},
};

// XML has no keywords as such; element names and the markup declarations play their part.
constexpr TSynStyleMapEntry xmlStyles[] = {
    {K::Comment, QsciLexerHTML::HTMLComment},
    {K::Comment, QsciLexerHTML::SGMLComment},
    {K::Comment, QsciLexerHTML::SGMLParameterComment},
    {K::Key, QsciLexerHTML::Tag},
    {K::Key, QsciLexerHTML::UnknownTag},
    {K::Key, QsciLexerHTML::SGMLCommand},
    {K::String, QsciLexerHTML::HTMLDoubleQuotedString},
    {K::String, QsciLexerHTML::HTMLSingleQuotedString},
    {K::String, QsciLexerHTML::SGMLDoubleQuotedString},
    {K::String, QsciLexerHTML::SGMLSingleQuotedString},
    {K::Symbol, QsciLexerHTML::XMLStart},
    {K::Symbol, QsciLexerHTML::XMLEnd},
    {K::Symbol, QsciLexerHTML::XMLTagEnd},
};

// The SQL lexer's second keyword set (database objects) has no name in QsciLexerSQL.
constexpr int sqlKeywordSet2 = 16;

constexpr TSynStyleMapEntry sqlStyles[] = {
    {K::Comment, QsciLexerSQL::Comment},
    {K::Comment, QsciLexerSQL::CommentLine},
    {K::Comment, QsciLexerSQL::CommentDoc},
    {K::Comment, QsciLexerSQL::PlusComment},
    {K::Comment, QsciLexerSQL::CommentLineHash},
    {K::Comment, QsciLexerSQL::CommentDocKeyword},
    {K::Comment, QsciLexerSQL::CommentDocKeywordError},
    {K::Key, QsciLexerSQL::Keyword},
    {K::Key, sqlKeywordSet2},
    {K::Key, QsciLexerSQL::PlusKeyword},
    {K::Key, QsciLexerSQL::KeywordSet5},
    {K::Key, QsciLexerSQL::KeywordSet6},
    {K::Key, QsciLexerSQL::KeywordSet7},
    {K::Key, QsciLexerSQL::KeywordSet8},
    {K::String, QsciLexerSQL::DoubleQuotedString},
    {K::String, QsciLexerSQL::SingleQuotedString},
    // Despite its name this is Oracle's q'[...]' quoting, a string literal.
    {K::String, QsciLexerSQL::QuotedOperator},
    {K::Symbol, QsciLexerSQL::Operator},
};

} // namespace

TSynPasSyn::TSynPasSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerPascal, pascalStyles, parent) {}

TSynJavaSyn::TSynJavaSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerJava, cppFamilyStyles, parent) {}

TSynCSSyn::TSynCSSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerCSharp, cppFamilyStyles, parent) {}

TSynCssSyn::TSynCssSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerCSS, cssStyles, parent) {}

TSynJScriptSyn::TSynJScriptSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerJavaScript, cppFamilyStyles, parent) {}

TSynHTMLSyn::TSynHTMLSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerHTML, htmlStyles, parent) {}

TSynPHPSyn::TSynPHPSyn(QObject* parent)
    : TSynCustomHighlighter(new PhpLexer(nullptr), phpStyles, parent) {}

TSynVBSyn::TSynVBSyn(QObject* parent)
    : TSynCustomHighlighter(new VbLexer(nullptr), vbStyles, parent) {}

TSynXMLSyn::TSynXMLSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerXML, xmlStyles, parent) {}

TSynVBScriptSyn::TSynVBScriptSyn(QObject* parent)
    : TSynCustomHighlighter(new VbScriptLexer(nullptr), vbStyles, parent) {}

TSynSQLSyn::TSynSQLSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerSQL, sqlStyles, parent) {}

TSynCppSyn::TSynCppSyn(QObject* parent)
    : TSynCustomHighlighter(new QsciLexerCPP, cppFamilyStyles, parent) {}

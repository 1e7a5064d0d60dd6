// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The highlighters the editor can switch between, one per snippet language. Each wraps a
// QScintilla lexer and maps its comment, keyword, string and symbol styles onto the
// attributes the program colours.
//
// TSynCSSyn (C#) and TSynCssSyn (style sheets) differ only in case; they live in this one
// header so that no two file names do.

#include "window/platform/SynEdit.h"

class TSynPasSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynPasSyn(QObject* parent = nullptr);
};

class TSynJavaSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynJavaSyn(QObject* parent = nullptr);
};

// C#.
class TSynCSSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynCSSyn(QObject* parent = nullptr);
};

// Cascading style sheets.
class TSynCssSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynCssSyn(QObject* parent = nullptr);
};

class TSynJScriptSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynJScriptSyn(QObject* parent = nullptr);
};

// HTML with the scripts embedded in it.
class TSynHTMLSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynHTMLSyn(QObject* parent = nullptr);
};

// Plain PHP code: snippets rarely carry the opening tag, so none is needed.
class TSynPHPSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynPHPSyn(QObject* parent = nullptr);
};

class TSynVBSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynVBSyn(QObject* parent = nullptr);
};

class TSynXMLSyn : public TSynCustomHighlighter {
    Q_OBJECT
    Q_PROPERTY(bool WantBracesParsed READ WantBracesParsed WRITE setWantBracesParsed)
public:
    explicit TSynXMLSyn(QObject* parent = nullptr);

    // QScintilla's XML lexer gives braces no meaning of their own, so this is only
    // stored: the program's settings keep their meaning without changing the colouring.
    bool WantBracesParsed() const { return wantBracesParsed_; }
    void setWantBracesParsed(bool on) { wantBracesParsed_ = on; }

private:
    bool wantBracesParsed_ = true;
};

class TSynVBScriptSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynVBScriptSyn(QObject* parent = nullptr);
};

class TSynSQLSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynSQLSyn(QObject* parent = nullptr);
};

// C and C++.
class TSynCppSyn : public TSynCustomHighlighter {
    Q_OBJECT
public:
    explicit TSynCppSyn(QObject* parent = nullptr);
};

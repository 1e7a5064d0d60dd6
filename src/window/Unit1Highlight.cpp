// SPDX-License-Identifier: GPL-3.0-or-later
// The twelve highlighters and the choice among them by language name.

#include "window/Unit1.h"

#include "window/platform/Colors.h"
#include "window/platform/SynHighlighters.h"

namespace {

// "Javascript" and "VBScript" contain the earlier keywords "Java" and "VB"; they are tried
// first so that they reach highlighters of their own. Otherwise the table order decides.
constexpr int kSearchOrder[] = {5, 10, 0, 1, 2, 3, 4, 6, 7, 8, 9, 11, 12};
static_assert(std::size(kSearchOrder) == LangTable.size());

template <class T> T* named(T* component, const char* name) {
    component->setObjectName(QString::fromLatin1(name));
    return component;
}

} // namespace

void TForm1::createHighlighters() {
    SynPasSyn1 = named(new TSynPasSyn(this), "SynPasSyn1");
    SynJavaSyn1 = named(new TSynJavaSyn(this), "SynJavaSyn1");
    SynCSSyn1 = named(new TSynCSSyn(this), "SynCSSyn1");
    SynCssSyn1 = named(new TSynCssSyn(this), "SynCssSyn1");
    SynJScriptSyn1 = named(new TSynJScriptSyn(this), "SynJScriptSyn1");
    SynHTMLSyn1 = named(new TSynHTMLSyn(this), "SynHTMLSyn1");
    SynPHPSyn1 = named(new TSynPHPSyn(this), "SynPHPSyn1");
    SynVBSyn1 = named(new TSynVBSyn(this), "SynVBSyn1");
    SynXMLSyn1 = named(new TSynXMLSyn(this), "SynXMLSyn1");
    SynVBScriptSyn1 = named(new TSynVBScriptSyn(this), "SynVBScriptSyn1");
    SynSQLSyn1 = named(new TSynSQLSyn(this), "SynSQLSyn1");
    SynCppSyn1 = named(new TSynCppSyn(this), "SynCppSyn1");

    SynPasSyn1->CommentAttri().setForeground(clGreen);
    SynPasSyn1->KeyAttri().setForeground(clNavy);
    SynPasSyn1->StringAttri().setForeground(clMaroon);
    SynJavaSyn1->CommentAttri().setForeground(clGreen);
    SynJavaSyn1->StringAttri().setForeground(clPurple);
    SynJavaSyn1->SymbolAttri().setForeground(clRed);
    SynXMLSyn1->setWantBracesParsed(false);

    highlighterByKeyword_ = {SynPasSyn1,      SynJavaSyn1, SynPasSyn1, SynCSSyn1, SynCssSyn1,
                             SynJScriptSyn1,  SynHTMLSyn1, SynPHPSyn1, SynVBSyn1, SynXMLSyn1,
                             SynVBScriptSyn1, SynSQLSyn1,  SynCppSyn1};
}

TSynCustomHighlighter* TForm1::HighlighterFor(const QString& language) const {
    for (int index : kSearchOrder)
        if (language.contains(LangTable[index], Qt::CaseSensitive))
            return highlighterByKeyword_[index];
    return SynPasSyn1;
}

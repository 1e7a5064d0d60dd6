// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/SynEdit.h"

#include "data/core/Errors.h"
#include "data/files/Files.h"
#include "window/platform/Colors.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScopedValueRollback>
#include <QStringDecoder>
#include <Qsci/qscilexer.h>
#include <Qsci/qscistyle.h>
#include <algorithm>
#include <cstring>
#include <malloc.h>

using varozidi::Error;

// --- highlighters -------------------------------------------------------------------------

TSynCustomHighlighter::TSynCustomHighlighter(QsciLexer* lexer,
                                             std::span<const TSynStyleMapEntry> styles,
                                             QObject* parent)
    : QObject(parent), lexer_(lexer), styles_(styles) {
    lexer_->setParent(this);
    // The colours are chosen for white paper. QScintilla would take the default paper and
    // text from the desktop's palette, which may be dark, so both are fixed here together,
    // before any style reads them.
    lexer_->setDefaultPaper(clWhite);
    lexer_->setDefaultColor(clBlack);
}

TSynCustomHighlighter::~TSynCustomHighlighter() = default;

std::vector<int> TSynCustomHighlighter::stylesOf(TSynAttrKind kind) const {
    std::vector<int> out;
    for (const auto& entry : styles_)
        if (entry.kind == kind)
            out.push_back(entry.style);
    return out;
}

QColor TSynHighlighterAttributes::Foreground() const {
    const auto styles = owner_->stylesOf(kind_);
    return styles.empty() ? QColor() : owner_->lexer()->color(styles.front());
}

void TSynHighlighterAttributes::setForeground(const QColor& colour) {
    for (int style : owner_->stylesOf(kind_))
        owner_->lexer()->setColor(colour, style);
}

// --- editor ---------------------------------------------------------------------------------

namespace {

// Old welcome files may be in a Windows code page; UTF-8 is tried first.
QString decodeText(const QByteArray& bytes) {
    // A byte-order mark names its encoding; Notepad saves UTF-16 with one.
    if (const auto bom = QStringConverter::encodingForData(bytes);
        bom && *bom != QStringConverter::Utf8)
        return QStringDecoder(*bom).decode(bytes);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

QsciScintilla::EolMode eolModeOf(const QByteArray& text) {
    const qsizetype lf = text.indexOf('\n');
    // Only a CR before the first LF decides; a text of megabytes is not searched to its end.
    const qsizetype cr = QByteArrayView(text).first(lf < 0 ? text.size() : lf).indexOf('\r');
    if (cr >= 0 && (lf < 0 || cr < lf))
        return lf == cr + 1 ? QsciScintilla::EolWindows : QsciScintilla::EolMac;
    return QsciScintilla::EolUnix;
}

// Whether a line of the text is longer than limit bytes. Each step looks back from limit bytes
// ahead for the last line end, so that a text of short lines is hardly read at all.
bool hasLineLongerThan(const QByteArray& bytes, qsizetype limit) {
    const char* line = bytes.constData();
    const char* const end = line + bytes.size();
    while (end - line > limit) {
        const void* last = memrchr(line, '\n', std::size_t(limit) + 1);
        if (!last)
            return true;
        line = static_cast<const char*>(last) + 1;
    }
    return false;
}

// Widths of short runs of text, remembered: a long line (minified code) repeats its names and
// keywords often, and measuring each again is what takes the time. A line too long gets a
// larger share while it is shown.
constexpr unsigned long kWidthCache = 65536;
constexpr unsigned long kLongLineWidthCache = 524288;

// Scintilla remembers the widths of runs of fewer than 30 bytes only.
constexpr long kLongestRun = 29;

// What a byte belongs to when a line is cut into runs: a word, spaces, or other characters
// (operators, brackets, quotes).
int kindOf(unsigned char c) {
    if (c >= 0x80 || c == '_' || c == '$' || (c >= '0' && c <= '9') ||
        ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
        return 0;
    return c == ' ' || c == '\t' ? 1 : 2;
}

// Bytes of the UTF-8 character that starts with c; 0 inside one.
long charBytes(unsigned char c) {
    if ((c & 0xC0) == 0x80)
        return 0;
    return c < 0xE0 ? 1 + (c >= 0xC0) : c < 0xF0 ? 3 : 4;
}

// Cuts text into runs as a lexer cuts tokens: words, spaces and the rest, none longer than
// kLongestRun bytes, numbers in pairs of digits. The same few runs recur all over minified code, so
// each width is measured once, and after an edit the runs behind it are the same again.
// Neighbouring runs differ in style (0, 1 or 2, all drawn alike), the first from the style before
// the text and the last from the one after it (-1: none), so that Scintilla keeps them apart.
std::vector<char> runStyles(const char* text, long length, int before, int after) {
    std::vector<char> styles(std::size_t(std::max(length, 0L)));
    long start = 0;
    int style = before;
    while (start < length) {
        const int kind = kindOf(static_cast<unsigned char>(text[start]));
        // Numbers in pairs of digits: a line of megabytes holds thousands of different
        // numbers, each measured on its first showing, but only a hundred different pairs.
        const long longest = text[start] >= '0' && text[start] <= '9' ? 2 : kLongestRun;
        long end = start + 1;
        while (end < length) {
            const auto c = static_cast<unsigned char>(text[end]);
            const long n = charBytes(c);
            if (n > 0 && (kindOf(c) != kind || end - start + n > longest))
                break;
            ++end;
        }
        const int avoid = end == length ? after : -1;
        int next = 0;
        while (next == style || next == avoid)
            ++next;
        style = next;
        std::fill(styles.begin() + start, styles.begin() + end, char(style));
        start = end;
    }
    return styles;
}

} // namespace

TSynEdit::TSynEdit(QWidget* parent) : QsciScintilla(parent) {
    // "Courier New" resolves to its metric twin through fontconfig. Scintilla takes point
    // sizes only: 10 pt and 8 pt are 13 and 11 pixels at 96 dpi.
    editorFont_ = QFont(QStringLiteral("Courier New"), 10);
    editorFont_.setStyleHint(QFont::Monospace);
    gutterFont_ = editorFont_;
    gutterFont_.setPointSize(8);

    setUtf8(true);
    setTabWidth(2);
    setIndentationsUseTabs(true);
    setMarginLineNumbers(0, true);
    setMarginWidth(1, 0);
    setEolMode(EolUnix);
    SendScintilla(SCI_SETPOSITIONCACHE, kWidthCache);
    applyEditorLook();

    connect(this, &QsciScintilla::textChanged, this, [this] {
        if (programChange_)
            return;
        // Styled at once rather than when painted: styling then would have Scintilla compare
        // the laid-out line with the text again, character by character.
        if (longLine_)
            styleRuns(SendScintilla(SCI_GETLENGTH));
        Q_EMIT OnChange();
    });
    // The line numbers keep their room as they gain digits, and as the text is zoomed.
    connect(this, &QsciScintilla::linesChanged, this, &TSynEdit::fitLineNumbers);
    connect(this, &QsciScintillaBase::SCN_STYLENEEDED, this, [this](int upTo) { styleRuns(upTo); });
    connect(this, &QsciScintillaBase::SCN_ZOOM, this, [this] {
        marginFor_ = {};
        fitLineNumbers();
    });
    replaceText(QByteArrayLiteral("SynEdit1"));
}

void TSynEdit::applyEditorLook() {
    const QScopedValueRollback applying(applyingLook_, true);
    // Without a highlighter the text follows the desktop's palette; with one, the
    // highlighter's paper and default colour hold, and the caret takes that colour.
    if (!lexer()) {
        setFont(editorFont_);
        setPaper(palette().color(QPalette::Base));
        setColor(palette().color(QPalette::Text));
        setCaretForegroundColor(palette().color(QPalette::Text));
        // A line too long is drawn in styles 0 to 2 by turns (styleRuns), all alike.
        for (int style : {1, 2})
            QsciStyle(style, QString(), palette().color(QPalette::Text),
                      palette().color(QPalette::Base), editorFont_)
                .apply(this);
    } else {
        // The area past the text is drawn in the default style, which the lexer leaves at
        // the palette's text colour.
        SendScintilla(SCI_STYLESETBACK, STYLE_DEFAULT, lexer()->defaultPaper());
        SendScintilla(SCI_STYLESETFORE, STYLE_DEFAULT, lexer()->defaultColor());
        setCaretForegroundColor(lexer()->defaultColor());
    }
    setSelectionBackgroundColor(palette().color(QPalette::Highlight));
    setSelectionForegroundColor(palette().color(QPalette::HighlightedText));
    setMarginsFont(gutterFont_);
    setMarginsBackgroundColor(palette().color(QPalette::Button));
    setMarginsForegroundColor(palette().color(QPalette::ButtonText));
    // The margin's width outlasts a change of lexer; its font and the digits decide it.
    fitLineNumbers();
}

// Room for the digits of the last line number and a gap, four digits at least, so that the
// text does not shift while the first thousands of lines are typed.
void TSynEdit::fitLineNumbers() {
    int digits = 4;
    for (int n = lines(); n >= 10000; n /= 10)
        ++digits;
    const int zoom = int(SendScintilla(SCI_GETZOOM));
    if (marginFor_ == std::pair(digits, zoom))
        return;
    marginFor_ = {digits, zoom};
    setMarginWidth(0, QString(digits + 1, u'0'));
}

void TSynEdit::replaceText(const QByteArray& bytes, const std::function<void()>& whileEmpty) {
    const bool wasLarge = SendScintilla(SCI_GETLENGTH) > kLargeText;
    programChange_ = true;
    setEolMode(eolModeOf(bytes));
    longLine_ = hasLineLongerThan(bytes, kLongestWrappedLine);
    // The history is emptied below; collecting it would only copy the text once more.
    SendScintilla(SCI_SETUNDOCOLLECTION, 0UL);
    SendScintilla(SCI_CLEARALL);
    // A lexer set on an empty document styles nothing yet; set later, it restyles it all.
    if (whileEmpty)
        whileEmpty();
    applyLexer();
    applyLongLine();
    // Text that goes in wrapped is wrapped whole at once; wrapping it afterwards does the
    // lines in view now and the others while the window is idle.
    if (wrapMode() != WrapNone)
        setWrapMode(WrapNone);
    // By length, not as a C string: a NUL inside a snippet is text like any other.
    SendScintilla(SCI_APPENDTEXT, static_cast<unsigned long>(bytes.size()), bytes.constData());
    if (longLine_) {
        const std::vector<char> styles = runStyles(bytes.constData(), long(bytes.size()), -1, -1);
        SendScintilla(SCI_STARTSTYLING, 0UL);
        SendScintilla(SCI_SETSTYLINGEX, static_cast<unsigned long>(styles.size()), styles.data());
    }
    applyWrap();
    SendScintilla(SCI_SETUNDOCOLLECTION, 1UL);
    programChange_ = false;
    // The memory a large text took (its copies on the way in) stays with the allocator until
    // it is handed back; a snippet of megabytes would otherwise weigh on long after.
    if (wasLarge && bytes.size() <= kLargeText)
        malloc_trim(0);
    SendScintilla(SCI_EMPTYUNDOBUFFER);
    SendScintilla(SCI_SETSAVEPOINT);
}

QString TSynEdit::Text() const {
    return QString::fromUtf8(TextBytes());
}

QByteArray TSynEdit::TextBytes() const {
    QByteArray bytes;
    TextBytesInto(bytes);
    return bytes;
}

void TSynEdit::TextBytesInto(QByteArray& buffer) const {
    // Not text(): it reads the document as a C string and stops at the first NUL.
    const long size = SendScintilla(SCI_GETLENGTH);
    // Memory far beyond what the text needs now is handed back.
    if (!buffer.isDetached() || buffer.capacity() > 2 * size + 65536)
        buffer = QByteArray();
    buffer.resize(size);
    // The text lies in two parts, on either side of the editor's gap; each is copied as it
    // lies. One range across the gap would move half the text to close it, and the editor's
    // own copy (SCI_GETTEXT) takes about ten times as long for a large text.
    const long gap = std::clamp(SendScintilla(SCI_GETGAPPOSITION), 0L, size);
    const auto part = [this](long from, long length) {
        return reinterpret_cast<const char*>(
            SendScintilla(SCI_GETRANGEPOINTER, static_cast<unsigned long>(from), length));
    };
    if (gap > 0)
        std::memcpy(buffer.data(), part(0, gap), std::size_t(gap));
    if (size > gap)
        std::memcpy(buffer.data() + gap, part(gap, size - gap), std::size_t(size - gap));
}

void TSynEdit::LoadLinesFromFile(const QString& path) {
    InputFile file(path);
    if (!file.isOpen())
        throw Error(QStringLiteral("Cannot open file \"%1\": %2.").arg(path, file.openError()));
    const QByteArray bytes = file.readAll();
    replaceText(decodeText(bytes).toUtf8());
}

void TSynEdit::ClearLines() {
    replaceText(QByteArray());
}

void TSynEdit::SetLinesText(const QString& text) {
    replaceText(text.toUtf8());
}

void TSynEdit::SetLinesText(const QString& text, TSynCustomHighlighter* highlighter) {
    SetLinesBytes(text.toUtf8(), highlighter);
}

void TSynEdit::SetLinesBytes(const QByteArray& utf8, TSynCustomHighlighter* highlighter) {
    replaceText(utf8, [&] { setHighlighter(highlighter); });
}

void TSynEdit::Clear() {
    replaceText(QByteArray());
}

void TSynEdit::ReplaceTextAsEdit(const QByteArray& utf8) {
    setEolMode(eolModeOf(utf8));
    const bool longLine = hasLineLongerThan(utf8, kLongestWrappedLine);
    const auto settle = [this, longLine] {
        longLine_ = longLine;
        applyLexer();
        applyLongLine();
        applyWrap();
    };
    // The settings for a line too long before it goes in, the others once it is gone: neither
    // text is wrapped or coloured whole under the wrong ones.
    if (longLine)
        settle();
    SendScintilla(SCI_BEGINUNDOACTION);
    SendScintilla(SCI_TARGETWHOLEDOCUMENT);
    SendScintilla(SCI_REPLACETARGET, static_cast<unsigned long>(utf8.size()), utf8.constData());
    SendScintilla(SCI_ENDUNDOACTION);
    if (!longLine)
        settle();
}

void TSynEdit::setWordWrap(bool on) {
    wantWrap_ = on;
    applyWrap();
}

void TSynEdit::applyWrap() {
    const WrapMode mode = wantWrap_ && !longLine_ ? WrapWord : WrapNone;
    if (wrapMode() != mode)
        setWrapMode(mode);
    showNote();
}

// Says what a line too long leaves off. Made only while shown: a hidden note would still be
// there for a screen reader to find.
void TSynEdit::showNote() {
    QString text;
    if (WrapSuspended() && HighlightSuspended())
        text = tr("Word wrap and highlighting are off for this snippet: it has a line too long "
                  "for them.");
    else if (WrapSuspended())
        text = tr("Word wrap is off for this snippet: it has a line too long to wrap.");
    else if (HighlightSuspended())
        text = tr("Highlighting is off for this snippet: it has a line too long to colour.");
    if (text.isEmpty()) {
        delete wrapNote_;
        wrapNote_ = nullptr;
        LayOutNotes();
        return;
    }
    if (!wrapNote_) {
        wrapNote_ = new QLabel(this);
        // A note about the text, not part of it.
        wrapNote_->setFont(QApplication::font());
        wrapNote_->setAutoFillBackground(true);
        wrapNote_->setMargin(4);
        AddNote(wrapNote_, Qt::AlignRight);
    }
    wrapNote_->setText(text);
    wrapNote_->show();
    wrapNote_->raise();
    LayOutNotes();
}

void TSynEdit::AddNote(QLabel* note, Qt::Alignment side) {
    notes_.append({note, side});
    note->installEventFilter(this);
    LayOutNotes();
}

// Each note as wide as its text, at most as wide as the text area, over more lines where it
// must; side by side where they fit, else one above the other. The text area shrinks by
// their height, so that its last lines can still be scrolled to and read.
void TSynEdit::LayOutNotes() {
    if (layingOutNotes_)
        return;
    const QScopedValueRollback busy(layingOutNotes_, true);
    const QRect text = viewport()->geometry().adjusted(0, 0, 0, noteSpace_);
    QList<QLabel*> shown[2]; // left, right
    int widths = 0;
    for (const auto& [note, side] : notes_) {
        if (!note || note->isHidden())
            continue;
        note->setWordWrap(false);
        note->adjustSize();
        if (note->width() > text.width()) {
            note->setWordWrap(true);
            note->resize(text.width(), note->heightForWidth(text.width()));
        }
        widths += note->width();
        shown[side & Qt::AlignRight ? 1 : 0].append(note);
    }
    const bool sideBySide = widths <= text.width();
    int space = 0, stacked = 0;
    for (const QList<QLabel*>& notes : shown)
        for (QLabel* note : notes) {
            stacked += note->height();
            space = sideBySide ? std::max(space, note->height()) : stacked;
        }
    if (space != noteSpace_) {
        // The caret stays in sight where it was: on the last line, typing goes on above the
        // note.
        const long caretLine =
            SendScintilla(SCI_VISIBLEFROMDOCLINE,
                          SendScintilla(SCI_LINEFROMPOSITION, SendScintilla(SCI_GETCURRENTPOS)));
        const long first = SendScintilla(SCI_GETFIRSTVISIBLELINE);
        const bool caretShown =
            caretLine >= first && caretLine < first + SendScintilla(SCI_LINESONSCREEN);
        noteSpace_ = space;
        setViewportMargins(0, 0, 0, space);
        if (caretShown)
            SendScintilla(SCI_SCROLLCARET);
    }
    int bottom = text.bottom() + 1;
    for (int right = 0; right < 2; ++right)
        for (QLabel* note : shown[right]) {
            note->move(right ? text.right() + 1 - note->width() : text.left(),
                       bottom - note->height());
            if (!sideBySide)
                bottom -= note->height();
        }
}

bool TSynEdit::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show || event->type() == QEvent::Hide)
        for (const auto& entry : notes_)
            if (entry.first == watched)
                QMetaObject::invokeMethod(this, &TSynEdit::LayOutNotes, Qt::QueuedConnection);
    return QsciScintilla::eventFilter(watched, event);
}

// The highlighter's lexer, set while the editor is empty where it can be: set on a text, it
// restyles all of it.
void TSynEdit::applyLexer() {
    QsciLexer* wanted = highlighter_ && !longLine_ ? highlighter_->lexer() : nullptr;
    if (lexer() == wanted)
        return;
    if (wanted) {
        // Every style draws in the editor's font; only colours differ between styles.
        wanted->setDefaultFont(editorFont_);
        wanted->setFont(editorFont_, -1);
    }
    setLexer(wanted);
    // A new lexer resets paper and margins.
    applyEditorLook();
}

void TSynEdit::resizeEvent(QResizeEvent* event) {
    QsciScintilla::resizeEvent(event);
    LayOutNotes();
}

void TSynEdit::setHighlighter(TSynCustomHighlighter* highlighter) {
    // Setting a lexer restyles every line, even when it is the same lexer.
    highlighter_ = highlighter;
    applyLexer();
    showNote();
}

// A line too long is cut into short runs of styles that look alike (styleRuns), and
// QScintilla's own reading of the caret's column on each move, a walk over every character
// before it, is left out (nothing here listens to it): on a line of megabytes either would
// cost more than a key may.
void TSynEdit::applyLongLine() {
    if (longLineSettings_ == longLine_)
        return;
    longLineSettings_ = longLine_;
    SendScintilla(SCI_SETPOSITIONCACHE, longLine_ ? kLongLineWidthCache : kWidthCache);
    if (longLine_)
        disconnect(this, SIGNAL(SCN_UPDATEUI(int)), this, SLOT(handleUpdateUI(int)));
    else
        connect(this, SIGNAL(SCN_UPDATEUI(int)), this, SLOT(handleUpdateUI(int)));
}

// Scintilla lays a line out whole after every change. In short runs each width is looked up,
// not measured; typed text takes style 0 and joins the run it falls in, so only a stretch of
// style 0 grown too long (text pasted, runs joined by a deletion) is cut again, and the rest
// keeps its runs.
void TSynEdit::styleRuns(long upTo) {
    if (!longLine_ || lexer())
        return;
    const long from = SendScintilla(SCI_GETENDSTYLED);
    const auto styleAt = [this](long pos) {
        return SendScintilla(SCI_GETSTYLEAT, static_cast<unsigned long>(pos));
    };
    long first = from;
    while (first > 0 && from - first <= kLongestRun && styleAt(first - 1) == 0)
        --first;
    long last = from;
    while (last < upTo && styleAt(last) == 0)
        ++last;
    if (last - first > kLongestRun) {
        const long size = SendScintilla(SCI_GETLENGTH);
        const auto* text = reinterpret_cast<const char*>(
            SendScintilla(SCI_GETRANGEPOINTER, static_cast<unsigned long>(first), last - first));
        const std::vector<char> styles =
            runStyles(text, last - first, first > 0 ? int(styleAt(first - 1)) : -1,
                      last < size ? int(styleAt(last)) : -1);
        SendScintilla(SCI_STARTSTYLING, static_cast<unsigned long>(first));
        SendScintilla(SCI_SETSTYLINGEX, static_cast<unsigned long>(styles.size()), styles.data());
    }
    // The rest keeps its runs.
    SendScintilla(SCI_STARTSTYLING, static_cast<unsigned long>(std::max(upTo, last)));
}

void TSynEdit::changeEvent(QEvent* event) {
    QsciScintilla::changeEvent(event);
    // The desktop switched between light and dark while the program runs.
    if (event->type() == QEvent::PaletteChange && !applyingLook_) {
        marginFor_ = {};
        applyEditorLook();
    }
}

void TSynEdit::contextMenuEvent(QContextMenuEvent* event) {
    if (!popupMenu_) {
        QsciScintilla::contextMenuEvent(event);
        return;
    }
    const bool byKeyboard = event->reason() == QContextMenuEvent::Keyboard;
    popupMenu_->exec(byKeyboard ? viewport()->mapToGlobal(caretPoint()) : event->globalPos());
    event->accept();
}

// Below the caret's line, where the eye already is.
QPoint TSynEdit::caretPoint() const {
    const long pos = SendScintilla(SCI_GETCURRENTPOS);
    const int x = int(SendScintilla(SCI_POINTXFROMPOSITION, 0UL, pos));
    const int y = int(SendScintilla(SCI_POINTYFROMPOSITION, 0UL, pos));
    const int line = int(SendScintilla(SCI_LINEFROMPOSITION, static_cast<unsigned long>(pos)));
    const int height = int(SendScintilla(SCI_TEXTHEIGHT, static_cast<unsigned long>(line)));
    const QPoint below(x, y + height);
    return viewport()->rect().contains(below) ? below : viewport()->rect().center();
}

void TSynEdit::keyPressEvent(QKeyEvent* event) {
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const bool tab = event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab;
    if (tab && (modifiers & Qt::ControlModifier)) {
        const bool back = event->key() == Qt::Key_Backtab || (modifiers & Qt::ShiftModifier);
        // The editor's own focusNextPrevChild keeps the focus; the widget's moves it.
        QWidget::focusNextPrevChild(!back);
        event->accept();
        return;
    }
    if ((event->key() == Qt::Key_Menu && modifiers == Qt::NoModifier) ||
        (event->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier)) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, caretPoint(),
                               viewport()->mapToGlobal(caretPoint()));
        contextMenuEvent(&menu);
        event->accept();
        return;
    }
    QsciScintilla::keyPressEvent(event);
}

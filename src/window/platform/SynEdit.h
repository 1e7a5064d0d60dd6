// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The source editor (a QScintilla widget) with the operations the main window relies on,
// and the base of the exchangeable syntax highlighters.

#include <QColor>
#include <QFont>
#include <QList>
#include <QObject>
#include <QPointer>
#include <Qsci/qsciscintilla.h>
#include <functional>
#include <span>

class QLabel;
class QMenu;
class QsciLexer;
class TSynCustomHighlighter;

// What a highlighter attribute stands for; each highlighter maps it onto its lexer's styles.
enum class TSynAttrKind { Comment, Key, String, Symbol };

// One attribute of a highlighter (comments, keywords, strings, symbols). Setting its
// foreground recolours every lexer style of that kind.
class TSynHighlighterAttributes {
public:
    QColor Foreground() const;
    void setForeground(const QColor& colour);

private:
    friend class TSynCustomHighlighter;
    TSynHighlighterAttributes(TSynCustomHighlighter* owner, TSynAttrKind kind)
        : owner_(owner), kind_(kind) {}
    TSynCustomHighlighter* owner_;
    TSynAttrKind kind_;
};

// Which lexer styles draw an attribute kind.
struct TSynStyleMapEntry {
    TSynAttrKind kind;
    int style;
};

class TSynCustomHighlighter : public QObject {
    Q_OBJECT
public:
    ~TSynCustomHighlighter() override;

    QsciLexer* lexer() const { return lexer_; }
    TSynHighlighterAttributes& CommentAttri() { return comment_; }
    TSynHighlighterAttributes& KeyAttri() { return key_; }
    TSynHighlighterAttributes& StringAttri() { return string_; }
    TSynHighlighterAttributes& SymbolAttri() { return symbol_; }

    // The lexer styles of one kind, in the order of the map.
    std::vector<int> stylesOf(TSynAttrKind kind) const;

protected:
    // Takes ownership of lexer. styles must outlive the highlighter (a static table).
    TSynCustomHighlighter(QsciLexer* lexer, std::span<const TSynStyleMapEntry> styles,
                          QObject* parent);

private:
    QsciLexer* lexer_;
    std::span<const TSynStyleMapEntry> styles_;
    TSynHighlighterAttributes comment_{this, TSynAttrKind::Comment};
    TSynHighlighterAttributes key_{this, TSynAttrKind::Key};
    TSynHighlighterAttributes string_{this, TSynAttrKind::String};
    TSynHighlighterAttributes symbol_{this, TSynAttrKind::Symbol};
};

class TSynEdit : public QsciScintilla {
    Q_OBJECT
public:
    explicit TSynEdit(QWidget* parent = nullptr);

    // The program's own changes of the text: none of them raises OnChange, and each
    // starts a fresh undo history so that Undo never brings back another snippet.
    void LoadLinesFromFile(const QString& path); // throws varozidi::Error naming the file
    void ClearLines();
    void SetLinesText(const QString& text);
    // The text with the highlighter that colours it, set while the editor is empty.
    void SetLinesText(const QString& text, TSynCustomHighlighter* highlighter);
    // The same from UTF-8 as stored, handed to the editor as it is: bytes that are not UTF-8
    // are shown as such and come back unchanged from TextBytes.
    void SetLinesBytes(const QByteArray& utf8, TSynCustomHighlighter* highlighter);
    void Clear();
    // The whole text replaced as one edit of the user's: OnChange is raised, and Undo brings
    // back the text before. The bytes go in as they are, as with SetLinesBytes.
    void ReplaceTextAsEdit(const QByteArray& utf8);

    // The whole text, NUL characters included.
    QString Text() const;
    // The same as the editor keeps it, UTF-8: one copy, cheap enough to take while typing.
    QByteArray TextBytes() const;
    // The same into buffer, reusing its memory when nothing else holds it still: a large text
    // taken again and again then costs no fresh pages each time.
    void TextBytesInto(QByteArray& buffer) const;

    void CutToClipboard() { cut(); }
    void CopyToClipboard() { copy(); }
    void PasteFromClipboard() { paste(); }
    void Undo() { undo(); }

    // The user's choice. A text with a line longer than kLongestWrappedLine bytes is shown
    // unwrapped all the same, with a note saying so: Scintilla lays out a wrapped line whole,
    // which for a line of megabytes (minified code) stops the window for seconds.
    bool WordWrap() const { return wantWrap_; }
    void setWordWrap(bool on);
    bool WrapSuspended() const { return wantWrap_ && longLine_; }
    // Such a text goes without its highlighter's colours too (the note says so): a lexer
    // restyles a line whole on every key. Highlighter() still names the highlighter.
    bool HighlightSuspended() const { return highlighter_ && longLine_; }
    static constexpr qsizetype kLongestWrappedLine = 100000;
    // Text of more bytes than this counts as large.
    static constexpr long kLargeText = 1024 * 1024;

    TSynCustomHighlighter* Highlighter() const { return highlighter_; }
    void setHighlighter(TSynCustomHighlighter* highlighter);

    // The editor's text font; highlighters draw every style in it.
    QFont EditorFont() const { return editorFont_; }

    // The menu shown on a right click instead of the editor's own.
    void setPopupMenu(QMenu* menu) { popupMenu_ = menu; }

    // A note about the text, at the left or the right below it: while it shows, the text
    // makes room for it rather than having its last lines covered. The editor places it;
    // LayOutNotes again after its text changed.
    void AddNote(QLabel* note, Qt::Alignment side);
    void LayOutNotes();

Q_SIGNALS:
    // Raised for every change the user makes to the text, never for the program's own.
    void OnChange();

protected:
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Tab belongs to the text; Ctrl+Tab and Ctrl+Shift+Tab move the focus on, and the Menu
    // key or Shift+F10 opens the pop-up menu at the caret.
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void replaceText(const QByteArray& bytes, const std::function<void()>& whileEmpty = {});
    QPoint caretPoint() const;
    void applyEditorLook();
    void applyWrap();
    void applyLexer();
    void showNote();
    void fitLineNumbers();
    void applyLongLine();
    void styleRuns(long upTo);

    TSynCustomHighlighter* highlighter_ = nullptr;
    QFont editorFont_;
    QFont gutterFont_;
    QMenu* popupMenu_ = nullptr;
    bool programChange_ = false;
    bool applyingLook_ = false;
    bool wantWrap_ = false;
    bool longLine_ = false;
    bool longLineSettings_ = false; // the settings for a line too long are in force
    QLabel* wrapNote_ = nullptr;    // only while shown
    QList<std::pair<QPointer<QLabel>, Qt::Alignment>> notes_;
    int noteSpace_ = 0; // the room below the text
    bool layingOutNotes_ = false;
    std::pair<int, int> marginFor_; // digits and zoom the line-number margin was fitted to
};

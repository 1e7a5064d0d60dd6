// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

class QLabel;
class QSizeGrip;
class TStatusBar;

enum class TStatusPanelStyle { psText, psOwnerDraw };

// One panel of a status bar. A text panel shows its text in a label, so that assistive
// technology reads it; an owner-drawn panel is left to the bar's OnDrawPanel handler.
class TStatusPanel {
public:
    int Index() const { return index_; }
    int Width() const { return width_; }
    void setWidth(int width);
    QString Text() const { return text_; }
    void setText(const QString& text);
    TStatusPanelStyle Style() const { return style_; }
    void setStyle(TStatusPanelStyle style);

private:
    friend class TStatusBar;
    TStatusPanel(TStatusBar* bar, int index);

    TStatusBar* bar_;
    int index_;
    int width_ = 50;
    QString text_;
    TStatusPanelStyle style_ = TStatusPanelStyle::psText;
    QLabel* label_;
};

// A status bar along the bottom of a window, divided into panels from left to right; the last
// panel reaches to the right edge, where a size grip sits.
class TStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit TStatusBar(QWidget* parent = nullptr);
    ~TStatusBar() override;

    // Replaces the panels with count new ones, each 50 wide.
    void setPanelCount(int count);
    int PanelCount() const { return static_cast<int>(panels_.size()); }
    TStatusPanel* Panel(int index) const;
    // The panel's area in the bar's coordinates.
    QRect PanelRect(int index) const;

    QSize sizeHint() const override;

signals:
    // Asks for an owner-drawn panel to be drawn, whenever the bar paints it.
    void OnDrawPanel(TStatusBar* StatusBar, TStatusPanel* Panel, const QRect& Rect);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class TStatusPanel;
    void layoutPanels();

    std::vector<std::unique_ptr<TStatusPanel>> panels_;
    QSizeGrip* grip_;
};

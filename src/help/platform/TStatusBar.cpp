// SPDX-License-Identifier: GPL-3.0-or-later
#include "help/platform/TStatusBar.h"

#include <QLabel>
#include <QPainter>
#include <QSizeGrip>
#include <qdrawutil.h>

namespace {

constexpr int kHeight = 19;
constexpr int kTop = 2; // a thin strip above the panels, as the classic bar has
constexpr int kGap = 2; // between neighbouring panels

} // namespace

TStatusPanel::TStatusPanel(TStatusBar* bar, int index)
    : bar_(bar), index_(index), label_(new QLabel(bar)) {
    label_->setObjectName(QStringLiteral("Panel%1").arg(index));
    // Addresses and status texts come from web pages: never read them as markup.
    label_->setTextFormat(Qt::PlainText);
    label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label_->setAccessibleDescription(QStringLiteral("Status"));
}

void TStatusPanel::setWidth(int width) {
    width_ = width;
    bar_->layoutPanels();
}

void TStatusPanel::setText(const QString& text) {
    text_ = text;
    label_->setText(text);
}

void TStatusPanel::setStyle(TStatusPanelStyle style) {
    style_ = style;
    label_->setVisible(style == TStatusPanelStyle::psText);
    bar_->update();
}

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent), grip_(new QSizeGrip(this)) {
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Status bar"));
}

TStatusBar::~TStatusBar() = default;

void TStatusBar::setPanelCount(int count) {
    for (auto& panel : panels_)
        delete panel->label_;
    panels_.clear();
    for (int i = 0; i < count; ++i)
        panels_.push_back(std::unique_ptr<TStatusPanel>(new TStatusPanel(this, i)));
    layoutPanels();
}

TStatusPanel* TStatusBar::Panel(int index) const {
    if (index < 0 || index >= PanelCount())
        return nullptr;
    return panels_[static_cast<std::size_t>(index)].get();
}

QRect TStatusBar::PanelRect(int index) const {
    int left = 0;
    for (int i = 0; i < index; ++i)
        left += panels_[static_cast<std::size_t>(i)]->width_ + kGap;
    const bool last = index == PanelCount() - 1;
    const int width =
        last ? std::max(0, this->width() - left) : panels_[static_cast<std::size_t>(index)]->width_;
    return QRect(left, kTop, width, height() - kTop);
}

QSize TStatusBar::sizeHint() const {
    return QSize(QWidget::sizeHint().width(), kHeight);
}

void TStatusBar::layoutPanels() {
    for (int i = 0; i < PanelCount(); ++i)
        panels_[static_cast<std::size_t>(i)]->label_->setGeometry(
            PanelRect(i).adjusted(3, 1, -3, -1));
    const QSize grip = grip_->sizeHint();
    grip_->setGeometry(width() - grip.width(), height() - grip.height(), grip.width(),
                       grip.height());
    grip_->raise();
    update();
}

void TStatusBar::resizeEvent(QResizeEvent*) {
    layoutPanels();
}

void TStatusBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    for (int i = 0; i < PanelCount(); ++i) {
        TStatusPanel* panel = panels_[static_cast<std::size_t>(i)].get();
        const QRect rect = PanelRect(i);
        if (panel->style_ == TStatusPanelStyle::psOwnerDraw)
            emit OnDrawPanel(this, panel, rect);
        else
            qDrawShadePanel(&painter, rect, palette(), true, 1);
    }
}

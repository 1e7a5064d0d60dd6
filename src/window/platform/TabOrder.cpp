// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/TabOrder.h"

#include <QEvent>
#include <QWidget>

namespace {

class SkipWhileShown : public QObject {
public:
    SkipWhileShown(QWidget* cover, QWidget* covered)
        : QObject(cover), covered_(covered), policy_(covered->focusPolicy()) {
        cover->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show)
            covered_->setFocusPolicy(Qt::NoFocus);
        else if (event->type() == QEvent::Hide)
            covered_->setFocusPolicy(policy_);
        return false;
    }

private:
    QWidget* covered_;
    Qt::FocusPolicy policy_;
};

} // namespace

void SkipInTabOrderWhileShown(QWidget* cover, QWidget* covered) {
    new SkipWhileShown(cover, covered); // owned by cover
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/WindowAccess.h"

#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QHash>
#include <QWidget>

namespace {

struct Exposure {
    QAccessible::Role role;
    std::function<QString()> name;
};

QHash<const QObject*, Exposure>& exposures() {
    static QHash<const QObject*, Exposure> instance;
    return instance;
}

class WindowAccessible : public QAccessibleWidget {
public:
    WindowAccessible(QWidget* window, const Exposure& exposure)
        : QAccessibleWidget(window, exposure.role), name_(exposure.name) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && name_)
            return name_();
        return QAccessibleWidget::text(t);
    }

private:
    std::function<QString()> name_;
};

QAccessibleInterface* exposed(const QString&, QObject* object) {
    const auto found = exposures().constFind(object);
    if (found == exposures().cend())
        return nullptr;
    return new WindowAccessible(static_cast<QWidget*>(object), *found);
}

} // namespace

void ExposeWindow(QWidget* window, QAccessible::Role role, std::function<QString()> name) {
    static const bool installed = [] {
        QAccessible::installFactory(exposed);
        return true;
    }();
    Q_UNUSED(installed);
    exposures().insert(window, {role, std::move(name)});
    QObject::connect(window, &QObject::destroyed, QCoreApplication::instance(),
                     [window] { exposures().remove(window); });
}

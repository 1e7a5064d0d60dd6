// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/Clipboard.h"

#include "data/core/SysUtils.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

bool CopyStoredText(const QByteArray& bytes) {
    // Decoded keeping a leading byte-order mark, which fromUtf8 would drop.
    const std::optional<QString> exact = ExactUtf8(bytes);
    const QString text = exact ? *exact : QString::fromUtf8(bytes);
    QClipboard* clipboard = QGuiApplication::clipboard();
    const auto mime = [&text] {
        auto* copied = new QMimeData;
        copied->setText(text);
        return copied;
    };
    clipboard->setMimeData(mime(), QClipboard::Clipboard);
    if (clipboard->supportsSelection())
        clipboard->setMimeData(mime(), QClipboard::Selection);
    return exact.has_value();
}

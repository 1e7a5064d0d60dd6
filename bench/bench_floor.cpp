// SPDX-License-Identifier: GPL-3.0-or-later
// The floor for start-up: a minimal Qt program that shows one QScintilla editor.

#include <QApplication>
#include <Qsci/qsciscintilla.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QsciScintilla editor;
    editor.setWindowTitle(QStringLiteral("floor"));
    editor.resize(800, 600);
    editor.show();
    return app.exec();
}

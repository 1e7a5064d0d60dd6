// SPDX-License-Identifier: GPL-3.0-or-later
// The main window on a screen of twice the density (as at 192 dpi): the same layout in the
// sizes of the form, twice as many pixels, the sharp @2x tool pictures and fonts twice as tall.

#include "TestSupport.h"
#include "window/Unit1.h"
#include "window/platform/Fonts.h"

#include <QApplication>
#include <QGroupBox>
#include <QSplitter>
#include <QToolButton>
#include <QtTest>

using namespace testsupport;

namespace {

constexpr qreal kScale = 2.0;

// The rows of region in which something differs clearly from the colour at its top-left.
int inkHeight(const QImage& image, const QRect& region) {
    const QColor paper = image.pixelColor(region.topLeft());
    int first = -1, last = -1;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.lightness() - paper.lightness()) > 96) {
                if (first < 0)
                    first = y;
                last = y;
                break;
            }
        }
    return first < 0 ? 0 : last - first + 1;
}

// The largest difference in any channel of any pixel of two images of one size.
int worstDifference(const QImage& a, const QImage& b) {
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            worst = std::max({worst, std::abs(p.red() - q.red()), std::abs(p.green() - q.green()),
                              std::abs(p.blue() - q.blue()), std::abs(p.alpha() - q.alpha())});
        }
    return worst;
}

} // namespace

class HiDpiTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowHasTheFormSizesInTwiceThePixels();
    void toolPicturesAreTheSharpOnes_data();
    void toolPicturesAreTheSharpOnes();
    void textIsTwiceAsTall_data();
    void textIsTwiceAsTall();
};

void HiDpiTest::windowHasTheFormSizesInTwiceThePixels() {
    Started s({});
    QCOMPARE(s->devicePixelRatioF(), kScale);
    QCOMPARE(s->size(), QSize(645, 412));
    QCOMPARE(s->Panel1->width(), 217);
    QCOMPARE(s->GroupBox1->height(), 160);
    QCOMPARE(s->ToolButton5->size(), QSize(39, 38));
    QCOMPARE(s->ToolButton5->iconSize(), QSize(32, 32));
    const QPixmap shot = s->grab();
    QCOMPARE(shot.size(), QSize(1290, 824));
}

void HiDpiTest::toolPicturesAreTheSharpOnes_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("picture");
    QTest::newRow("ToolButton1") << "ToolButton1"
                                 << ":/images/0-new@2x.png";
    QTest::newRow("ToolButton2") << "ToolButton2"
                                 << ":/images/1-remove@2x.png";
    QTest::newRow("ToolButton4") << "ToolButton4"
                                 << ":/images/2-help@2x.png";
    QTest::newRow("ToolButton5") << "ToolButton5"
                                 << ":/images/3-save@2x.png";
    QTest::newRow("ToolButton6") << "ToolButton6"
                                 << ":/images/4-undo@2x.png";
    QTest::newRow("ToolButton9") << "ToolButton9"
                                 << ":/images/5-backup@2x.png";
    QTest::newRow("ToolButton8") << "ToolButton8"
                                 << ":/images/6-restore@2x.png";
}

// A 32 x 32 picture blown up to 64 x 64 would be blurred; the button draws the 64 x 64 one.
void HiDpiTest::toolPicturesAreTheSharpOnes() {
    QFETCH(QString, button);
    QFETCH(QString, picture);
    Started s({});
    auto* tool = s->findChild<QToolButton*>(button);
    QVERIFY(tool);
    const QImage drawn = tool->icon()
                             .pixmap(tool->iconSize(), tool->devicePixelRatioF())
                             .toImage()
                             .convertToFormat(QImage::Format_ARGB32);
    const QImage sharp = QImage(picture).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(sharp.size(), QSize(64, 64));
    QCOMPARE(drawn.size(), QSize(64, 64));
    QVERIFY(worstDifference(drawn, sharp) <= 2); // rounding of half-transparent pixels
    // What the 32 x 32 picture blown up would give, so that the comparison can tell.
    const QString normal = QString(picture).replace("@2x", "");
    const QImage blurred = QImage(normal)
                               .scaled(64, 64, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                               .convertToFormat(QImage::Format_ARGB32);
    QVERIFY(worstDifference(blurred, sharp) > 2);
}

void HiDpiTest::textIsTwiceAsTall_data() {
    QTest::addColumn<QString>("where");
    QTest::newRow("form font, group caption") << "GroupBox1";
    QTest::newRow("editor font") << "SynEdit1";
}

// The ink of a line of text, measured in the window's pixels, is twice its height at 96 dpi.
void HiDpiTest::textIsTwiceAsTall() {
    QFETCH(QString, where);
    Started s({});
    QImage shot;
    QRect line;
    QFont font;
    QString text;
    if (where == "GroupBox1") {
        font = FormFont();
        text = s->GroupBox1->title();
        shot = s->GroupBox1->grab().toImage();
        // Above the list: the caption's row.
        const int top = s->ListBox1->mapTo(s->GroupBox1, QPoint(0, 0)).y();
        line = QRect(0, 0, shot.width(), int(top * kScale));
    } else {
        s->SynEdit1->setMarginWidth(0, 0);
        s->SynEdit1->SetLinesText("Welcome!");
        font = s->SynEdit1->EditorFont();
        text = "Welcome!";
        shot = s->SynEdit1->viewport()->grab().toImage();
        const int height = int(s->SynEdit1->SendScintilla(QsciScintillaBase::SCI_TEXTHEIGHT, 0));
        line = QRect(0, 0, shot.width(), int(height * kScale));
    }
    QCOMPARE(shot.devicePixelRatio(), kScale);
    const int expected = int(QFontMetrics(font).tightBoundingRect(text).height() * kScale);
    const int measured = inkHeight(shot, line);
    // Anti-aliased edges fade below the ink threshold; at the old size it would be half.
    QVERIFY2(std::abs(measured - expected) <= expected / 4,
             qPrintable(
                 QStringLiteral("ink %1 px high, expected about %2").arg(measured).arg(expected)));
}

int main(int argc, char** argv) {
    // Before the application exists: the scale is read once, at start.
    qputenv("QT_SCALE_FACTOR", QByteArray::number(kScale));
    QApplication app(argc, argv);
    HiDpiTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpi.moc"

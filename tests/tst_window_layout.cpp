#include "PanelFixture.h"

#include "panel/ColourButton.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <QHash>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

int px(int twips) {
    return qRound(twips / 15.0);
}

QWidget* control(Form1& form, const QString& name) {
    return form.findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
}

QString captionOf(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w)) {
        return label->text();
    }
    if (auto* button = qobject_cast<QPushButton*>(w)) {
        return button->text();
    }
    return {};
}

// Contrast as the accessibility guidelines measure it, from relative luminance.
double contrast(QColor a, QColor b) {
    const auto luminance = [](QColor c) {
        const auto channel = [](double v) {
            v /= 255;
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
    };
    const double x = luminance(a);
    const double y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// The strongest contrast of any pixel in area against the area's commonest
// colour: the text against what is behind it.
double textContrast(const QImage& shot, const QRect& area) {
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            ++counts[shot.pixel(x, y)];
        }
    }
    QRgb background = 0;
    int most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            background = it.key();
        }
    }
    double strongest = 1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        strongest = std::max(strongest, contrast(QColor(it.key()), QColor(background)));
    }
    return strongest;
}

// A desktop's dark scheme, as a dark Qt colour theme sets it.
QPalette darkPalette() {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x353535));
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, QColor(0x2A2A2A));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::Button, QColor(0x353535));
    dark.setColor(QPalette::ButtonText, Qt::white);
    dark.setColor(QPalette::Highlight, QColor(0x2A82DA));
    dark.setColor(QPalette::HighlightedText, Qt::black);
    return dark;
}

// A row for each control under a light palette and a dark one.
void paletteRows(std::initializer_list<const char*> names) {
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("name");
    for (const bool dark : {false, true}) {
        for (const char* name : names) {
            QTest::addRow("%s, %s palette", name, dark ? "dark" : "light") << dark << name;
        }
    }
}

// The window under a palette, its boxes showing values, as a user sees it.
struct Shown {
    explicit Shown(bool dark) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setPalette(dark ? darkPalette() : QApplication::style()->standardPalette());
        p = std::make_unique<PanelFixture>();
        p->form->cmdMS->click();
        p->form->show();
    }
    ~Shown() {
        p.reset();
        QApplication::setPalette(QApplication::style()->standardPalette());
    }
    QRect inWindow(QWidget* w, QRect r) const {
        const qreal scale = p->form->devicePixelRatioF();
        r.translate(w->mapTo(p->form.get(), QPoint()));
        return QRect((QPointF(r.topLeft()) * scale).toPoint(), (QSizeF(r.size()) * scale).toSize());
    }
    std::unique_ptr<PanelFixture> p;
};

} // namespace

class WindowLayoutTest : public QObject {
    Q_OBJECT

private slots:
    void theWindow() {
        PanelFixture p;
        QCOMPARE(p.form->windowTitle(), QStringLiteral("Zovrel Rev B"));
        QCOMPARE(p.form->size(), QSize(568, 267));
        QCOMPARE(p.form->minimumSize(), p.form->maximumSize());
        QCOMPARE(p.form->palette().color(QPalette::Window), QColor(0xFFFFC0));
    }

    void everyControl_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twips");
        const auto row = [](const char* name, const char* kind, const char* caption, int l, int t,
                            int w, int h) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                                << QString::fromLatin1(caption) << QRect(l, t, w, h);
        };
        row("Shape3", "QFrame", "", 0, 240, 2055, 3375);
        row("Label3", "QLabel", "SDI Write", 600, 0, 1845, 300);
        row("txtDisplay1", "QLineEdit", "", 840, 360, 555, 396);
        row("vsbInputCode1", "QScrollBar", "", 840, 720, 495, 1815);
        row("cmdZS", "QPushButton", "Zero Scale", 120, 3000, 615, 495);
        row("cmdMS", "QPushButton", "Mid Scale", 720, 3000, 615, 495);
        row("cmdFS", "QPushButton", "Full Scale", 1320, 3000, 615, 495);
        row("Shape1", "QFrame", "", 2400, 240, 4335, 3375);
        row("lblBlSDA_Write", "QLabel", "SDI Write Bit Control (Click Run)", 3000, 0, 3405, 300);
        row("lblBit(5)", "QLabel", "6", 3480, 600, 300, 495);
        row("lblBit(4)", "QLabel", "5", 3735, 600, 300, 495);
        row("lblBit(3)", "QLabel", "4", 3975, 600, 300, 495);
        row("lblBit(2)", "QLabel", "3", 4230, 600, 300, 495);
        row("lblBit(1)", "QLabel", "2", 4485, 600, 300, 495);
        row("lblBit(0)", "QLabel", "1", 4725, 600, 300, 495);
        row("lblBit(6)", "QLabel", "0", 4920, 600, 300, 495);
        row("lblBit(26)", "QLabel", "", 5175, 960, 300, 495);
        row("vsbBit(6)", "QScrollBar", "", 3465, 810, 250, 1215);
        row("vsbBit(5)", "QScrollBar", "", 3720, 810, 250, 1215);
        row("vsbBit(4)", "QScrollBar", "", 3975, 810, 250, 1215);
        row("vsbBit(3)", "QScrollBar", "", 4215, 810, 250, 1215);
        row("vsbBit(2)", "QScrollBar", "", 4470, 810, 250, 1215);
        row("vsbBit(1)", "QScrollBar", "", 4725, 810, 250, 1215);
        row("vsbBit(0)", "QScrollBar", "", 4965, 810, 240, 1215);
        row("txtBit(6)", "QLineEdit", "", 3465, 2085, 250, 495);
        row("txtBit(5)", "QLineEdit", "", 3720, 2085, 250, 495);
        row("txtBit(4)", "QLineEdit", "", 3975, 2085, 250, 495);
        row("txtBit(3)", "QLineEdit", "", 4215, 2085, 250, 495);
        row("txtBit(2)", "QLineEdit", "", 4470, 2085, 255, 495);
        row("txtBit(1)", "QLineEdit", "", 4725, 2085, 250, 495);
        row("txtBit(0)", "QLineEdit", "", 4980, 2085, 250, 495);
        row("lblData_Byte", "QLabel", "Data Byte", 3840, 2640, 855, 195);
        row("lblWrite", "QLabel", "Data Written", 2640, 3120, 1155, 285);
        row("txtSDA_Write", "QLineEdit", "", 3960, 3000, 855, 495);
        row("cmdRun", "QPushButton", "R&un", 5280, 3000, 1215, 495);
        row("cmdExit", "QPushButton", "E&xit", 6960, 3000, 1215, 495);
    }
    void everyControl() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        PanelFixture p;
        QWidget* w = control(*p.form, name);
        QVERIFY2(w, qPrintable(name));
        QVERIFY(w->inherits(kind.toLatin1()));
        QCOMPARE(w->parentWidget(), p.form.get());
        QCOMPARE(w->geometry(),
                 QRect(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height())));
        QCOMPARE(captionOf(w), caption);
        // A caption is whole: it fits the control in the font it is shown in.
        if (auto* label = qobject_cast<QLabel*>(w)) {
            QVERIFY2(label->fontMetrics().horizontalAdvance(caption) <= w->width(),
                     qPrintable(label->font().family()));
        }
    }

    void theDigitsRead6To0FromLeftToRight() {
        PanelFixture p;
        std::vector<QLabel*> digits(p.form->lblBit.begin(), p.form->lblBit.end());
        std::sort(digits.begin(), digits.end(),
                  [](QLabel* a, QLabel* b) { return a->x() < b->x(); });
        QString read;
        for (QLabel* d : digits) {
            read += d->text();
        }
        QCOMPARE(read, QStringLiteral("6543210"));
    }

    // What shows at a point: scroll bars, text boxes and buttons cover labels.
    void stacking_data() {
        QTest::addColumn<QPoint>("twips");
        QTest::addColumn<QString>("shown");
        QTest::newRow("digit strip above its bar") << QPoint(3630, 700) << "lblBit(5)";
        QTest::newRow("bar over the rest of the digit label") << QPoint(3630, 900) << "vsbBit(6)";
        QTest::newRow("bit 0 bar over the empty label") << QPoint(5190, 1100) << "vsbBit(0)";
        QTest::newRow("the empty label beside it") << QPoint(5400, 1100) << "lblBit(26)";
        QTest::newRow("caption over its rectangle") << QPoint(700, 250) << "Label3";
        QTest::newRow("code display inside its rectangle") << QPoint(1000, 500) << "txtDisplay1";
    }
    void stacking() {
        QFETCH(QPoint, twips);
        QFETCH(QString, shown);
        PanelFixture p;
        QWidget* at = p.form->childAt(px(twips.x()), px(twips.y()));
        QVERIFY(at);
        QCOMPARE(at->objectName(), shown);
    }

    void looks_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("points");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<QColor>("text");
        QTest::newRow("Label3") << "Label3" << 9.75 << true << QColor(0x0000FF);
        QTest::newRow("lblBlSDA_Write") << "lblBlSDA_Write" << 9.75 << true << QColor(0x0000FF);
        QTest::newRow("txtDisplay1") << "txtDisplay1" << 8.0 << false << QColor(0xFF0000);
        QTest::newRow("txtSDA_Write") << "txtSDA_Write" << 13.5 << false << QColor(0x0000FF);
        QTest::newRow("cmdRun") << "cmdRun" << 12.0 << true << QColor();
        QTest::newRow("cmdExit") << "cmdExit" << 12.0 << true << QColor();
        QTest::newRow("cmdZS") << "cmdZS" << 8.0 << false << QColor();
    }
    void looks() {
        QFETCH(QString, name);
        QFETCH(double, points);
        QFETCH(bool, bold);
        QFETCH(QColor, text);
        PanelFixture p;
        QWidget* w = control(*p.form, name);
        QCOMPARE(w->font().pointSizeF(), points);
        QCOMPARE(w->font().bold(), bold);
        QVERIFY(w->font().families().contains(QStringLiteral("MS Sans Serif")));
        if (text.isValid()) {
            const auto role = qobject_cast<QLabel*>(w) ? QPalette::WindowText : QPalette::Text;
            QCOMPARE(w->palette().color(role), text);
        }
    }

    void buttonsKeysAndTips() {
        PanelFixture p;
        QCOMPARE(p.form->cmdRun->shortcut(), QKeySequence(QStringLiteral("Alt+U")));
        QCOMPARE(p.form->cmdExit->shortcut(), QKeySequence(QStringLiteral("Alt+X")));
        QCOMPARE(p.form->cmdRun->toolTip(), QStringLiteral("Run to execute"));
        QCOMPARE(p.form->cmdExit->toolTip(), QStringLiteral("Exit the program"));
    }

    // Long preset captions wrap onto two lines inside the bevel, never cut.
    void captionsFitTheirButtons_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("lines");
        QTest::newRow("cmdZS") << "cmdZS" << 2;
        QTest::newRow("cmdMS") << "cmdMS" << 2;
        QTest::newRow("cmdFS") << "cmdFS" << 2;
        QTest::newRow("cmdRun") << "cmdRun" << 1;
        QTest::newRow("cmdExit") << "cmdExit" << 1;
    }
    void captionsFitTheirButtons() {
        QFETCH(QString, name);
        QFETCH(int, lines);
        PanelFixture p;
        auto* button = qobject_cast<ColourButton*>(control(*p.form, name));
        QVERIFY(button);
        const QRect area = button->captionRect();
        const QFontMetrics metrics(button->font());
        const QString caption = button->text().remove(QLatin1Char('&'));
        for (const QString& word : caption.split(QLatin1Char(' '))) {
            QVERIFY2(metrics.horizontalAdvance(word) <= area.width(), qPrintable(word));
        }
        const QRect used = metrics.boundingRect(area, Qt::AlignCenter | Qt::TextWordWrap, caption);
        QCOMPARE(qRound(double(used.height()) / metrics.height()), lines);
        QVERIFY(area.contains(used));
    }

    void coloursOnScreen_data() {
        QTest::addColumn<QPoint>("twips");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("window beside the panels") << QPoint(7500, 1500) << QColor(0xFFFFC0);
        QTest::newRow("inside the code panel") << QPoint(300, 1500) << QColor(0xFFFFC0);
        QTest::newRow("digit strip background") << QPoint(3490, 790) << QColor(0xFFFFC0);
        QTest::newRow("Zero Scale") << QPoint(190, 3070) << QColor(0xC0FFC0);
        QTest::newRow("Mid Scale") << QPoint(790, 3070) << QColor(0xC0FFC0);
        QTest::newRow("Full Scale") << QPoint(1390, 3070) << QColor(0xC0FFC0);
        QTest::newRow("Run") << QPoint(5350, 3070) << QColor(0x80FF80);
        QTest::newRow("Exit") << QPoint(7030, 3070) << QColor(0xFF8080);
        // Red on the window-frame colour of a classic desktop, black: readable.
        QTest::newRow("code display field") << QPoint(900, 560) << QColor(Qt::black);
    }
    void coloursOnScreen() {
        QFETCH(QPoint, twips);
        QFETCH(QColor, colour);
        PanelFixture p;
        p.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(p.form.get()));
        const QImage shot = p.form->grab().toImage();
        const qreal scale = shot.devicePixelRatio();
        const QPoint at(qRound(px(twips.x()) * scale), qRound(px(twips.y()) * scale));
        QCOMPARE(shot.pixelColor(at).rgb(), colour.rgb());
    }

    // Every text reads at 4.5:1 or better against what is behind it, under a
    // light palette and a dark one alike.
    void everyTextIsReadable_data() {
        paletteRows({"Label3", "lblBlSDA_Write", "lblBit(0)", "lblBit(6)", "lblData_Byte",
                     "lblWrite", "cmdZS", "cmdRun", "cmdExit", "txtDisplay1", "txtBit(6)",
                     "txtSDA_Write"});
    }
    void everyTextIsReadable() {
        QFETCH(bool, dark);
        QFETCH(QString, name);
        Shown s(dark);
        QVERIFY(QTest::qWaitForWindowExposed(s.p->form.get()));
        QWidget* w = control(*s.p->form, name);
        QRect area = w->rect().adjusted(4, 4, -4, -4); // inside any frame or bevel
        if (auto* label = qobject_cast<QLabel*>(w)) {
            area = label->fontMetrics().boundingRect(label->contentsRect(), int(label->alignment()),
                                                     label->text());
            // A digit shows only above its bit's scroll bar.
            area.setBottom(std::min(area.bottom(), px(810 - 600) - 1));
        }
        const double measured = textContrast(s.p->form->grab().toImage(), s.inWindow(w, area));
        QVERIFY2(measured >= 4.5, qPrintable(QString::number(measured, 'f', 2)));
    }

    // Focus shows as a ring of 3:1 or better against what it is drawn over.
    void theFocusRingStandsOut_data() {
        paletteRows({"cmdZS", "cmdRun", "cmdExit", "vsbBit(1)", "vsbInputCode1", "txtBit(6)",
                     "txtDisplay1"});
    }
    void theFocusRingStandsOut() {
        QFETCH(bool, dark);
        QFETCH(QString, name);
        Shown s(dark);
        QVERIFY(QTest::qWaitForWindowActive(s.p->form.get()));
        QWidget* w = control(*s.p->form, name);
        QWidget* elsewhere = w == s.p->form->cmdExit ? s.p->form->cmdRun : s.p->form->cmdExit;
        elsewhere->setFocus();
        QTRY_VERIFY(elsewhere->hasFocus());
        const QImage without = s.p->form->grab().toImage();
        w->setFocus();
        QTRY_VERIFY(w->hasFocus());
        const QImage with = s.p->form->grab().toImage();
        const QRect area = s.inWindow(w, w->rect());
        double strongest = 1;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                strongest =
                    std::max(strongest, contrast(with.pixelColor(x, y), without.pixelColor(x, y)));
            }
        }
        QVERIFY2(strongest >= 3, qPrintable(QString::number(strongest, 'f', 2)));
    }

    void tabWalksEveryControlInTabIndexOrder() {
        PanelFixture p;
        p.form->show();
        QVERIFY(QTest::qWaitForWindowActive(p.form.get()));
        const QStringList expected = {
            "vsbBit(1)", "vsbBit(2)", "vsbBit(3)", "vsbBit(4)",   "vsbBit(5)",    "vsbBit(6)",
            "txtBit(6)", "txtBit(5)", "txtBit(1)", "txtBit(2)",   "txtBit(3)",    "txtBit(4)",
            "cmdExit",   "cmdRun",    "vsbBit(0)", "txtBit(0)",   "txtSDA_Write", "vsbInputCode1",
            "cmdZS",     "cmdMS",     "cmdFS",     "txtDisplay1", "vsbBit(1)"};
        QStringList walked;
        walked << QApplication::focusWidget()->objectName();
        for (qsizetype i = 1; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walked << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(walked, expected);
    }

    void aFocusedBitScrollBarAnswersTheKeys_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("value");
        QTest::newRow("down") << int(Qt::Key_Down) << 1;
        QTest::newRow("page down") << int(Qt::Key_PageDown) << 1;
        QTest::newRow("end") << int(Qt::Key_End) << 1;
        QTest::newRow("up stays at the top") << int(Qt::Key_Up) << 0;
    }
    void aFocusedBitScrollBarAnswersTheKeys() {
        QFETCH(int, key);
        QFETCH(int, value);
        PanelFixture p;
        p.form->show();
        QVERIFY(QTest::qWaitForWindowActive(p.form.get()));
        QCOMPARE(QApplication::focusWidget(), p.form->vsbBit[1]);
        QTest::keyClick(p.form->vsbBit[1], Qt::Key(key));
        QCOMPARE(p.form->vsbBit[1]->value(), value);
        QCOMPARE(p.form->txtSDA_Write->text(), value ? QStringLiteral("2") : QString());
        QVERIFY(p.port->writes.empty());
    }
};

QTEST_MAIN(WindowLayoutTest)
#include "tst_window_layout.moc"

#include "PanelFixture.h"
#include "SpreadingOrder.h"

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <numeric>
#include <random>

using Codes = std::vector<int>;

namespace {

const QStringList noTexts(9, QString());

QStringList bitTextsOf(int code) {
    QStringList texts;
    for (int k = 0; k < 7; ++k) {
        texts << QString::number((code >> k) & 1);
    }
    return texts;
}

} // namespace

class PanelBehaviourTest : public QObject {
    Q_OBJECT

private slots:
    void startUpWritesNothing() {
        PanelFixture p;
        QCOMPARE(p.allTexts(), noTexts);
        QCOMPARE(p.form->vsbInputCode1->value(), 0);
        QCOMPARE(p.bits(), 0);
        QCOMPARE(Module1::Data_Byte, 0.0);
        QVERIFY(p.port->writes.empty());
        QVERIFY(!p.port->isOpen());
    }

    void movingTheCodeTo64AtStartUp() {
        PanelFixture p;
        p.form->vsbInputCode1->setValue(64);
        QCOMPARE(p.form->txtDisplay1->text(), QStringLiteral("64"));
        QCOMPARE(p.bitChanges, Changes{6});
        QCOMPARE(p.bitTexts(), bitTextsOf(64));
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("64"));
        QCOMPARE(p.codesSent(), Codes{64});
        QCOMPARE(p.port->writes.size(), std::size_t{16});
        QCOMPARE(Module1::Data_Byte, 64.0);
    }

    // Spreading through the real scroll bars: every drop first, then every rise.
    void spreadingRunsTheBitHandlerInOrder_data() { addSpreadingRows(); }
    void spreadingRunsTheBitHandlerInOrder() {
        QFETCH(int, before);
        QFETCH(int, code);
        QFETCH(Changes, changes);
        PanelFixture p;
        p.setBitsByHand(before);
        p.forget();
        Module1::Data_Byte = code;
        p.form->Set_Bits_from_Data_Byte();
        QCOMPARE(p.bitChanges, changes);
        QCOMPARE(p.bits(), code & 127);
        QCOMPARE(Module1::Data_Byte, double(code));
        QVERIFY(p.port->writes.empty());
        if (!changes.empty()) {
            QCOMPARE(p.bitTexts(), bitTextsOf(code & 127));
            QCOMPARE(p.form->txtSDA_Write->text(), QString::number(code & 127));
        }
    }

    void everyCodeFromTheCodeScrollBarReachesBitsTextsAndChip() {
        PanelFixture p;
        std::vector<int> order(127);
        std::iota(order.begin(), order.end(), 1);
        std::shuffle(order.begin(), order.end(), std::mt19937(20261208));
        order.push_back(0);
        for (int n : order) {
            p.forget();
            p.form->vsbInputCode1->setValue(n);
            QCOMPARE(p.form->txtDisplay1->text(), QString::number(n));
            QCOMPARE(p.bits(), n);
            QCOMPARE(p.bitTexts(), bitTextsOf(n));
            QCOMPARE(p.form->txtSDA_Write->text(), QString::number(n));
            QCOMPARE(p.codesSent(), Codes{n});
            double composed = -1;
            p.form->Get_Data_Byte_from_Bits(composed);
            QCOMPARE(composed, double(n));
        }
        QCOMPARE(p.port->board.malformedCount(), std::uint64_t{0});
    }

    // Frames per action, from a given code scroll bar position and hand-set bits.
    void framesPerAction_data() {
        QTest::addColumn<int>("codeBefore");
        QTest::addColumn<int>("bitsBefore");
        QTest::addColumn<QString>("action");
        QTest::addColumn<Codes>("frames");
        QTest::addColumn<int>("codeAfter");
        QTest::newRow("code change") << 0 << 0 << "code 10" << Codes{10} << 10;
        QTest::newRow("bit change") << 20 << 20 << "bit 0" << Codes{} << 20;
        QTest::newRow("run sends the bits") << 20 << 5 << "run" << Codes{5} << 20;
        QTest::newRow("zero scale at 0") << 0 << 0 << "zero" << Codes{0} << 0;
        QTest::newRow("zero scale from 127") << 127 << 127 << "zero" << Codes{0, 0} << 0;
        QTest::newRow("mid scale at 64") << 64 << 3 << "mid" << Codes{64} << 64;
        QTest::newRow("mid scale from 0") << 0 << 0 << "mid" << Codes{64, 64} << 64;
        QTest::newRow("full scale from 0") << 0 << 0 << "full" << Codes{127, 127} << 127;
        QTest::newRow("full scale at 127") << 127 << 0 << "full" << Codes{127} << 127;
    }
    void framesPerAction() {
        QFETCH(int, codeBefore);
        QFETCH(int, bitsBefore);
        QFETCH(QString, action);
        QFETCH(Codes, frames);
        QFETCH(int, codeAfter);
        PanelFixture p;
        p.form->vsbInputCode1->setValue(codeBefore);
        p.setBitsByHand(bitsBefore);
        const double registerBefore = Module1::Data_Byte;
        p.forget();

        if (action == QLatin1String("code 10")) {
            p.form->vsbInputCode1->setValue(10);
        } else if (action == QLatin1String("bit 0")) {
            p.form->vsbBit[0]->setValue(1);
        } else if (action == QLatin1String("run")) {
            QTest::mouseClick(p.form->cmdRun, Qt::LeftButton);
        } else if (action == QLatin1String("zero")) {
            QTest::mouseClick(p.form->cmdZS, Qt::LeftButton);
        } else if (action == QLatin1String("mid")) {
            QTest::mouseClick(p.form->cmdMS, Qt::LeftButton);
        } else if (action == QLatin1String("full")) {
            QTest::mouseClick(p.form->cmdFS, Qt::LeftButton);
        }
        QCOMPARE(p.codesSent(), frames);
        QCOMPARE(p.port->writes.size(), 16 * frames.size());
        QCOMPARE(p.form->vsbInputCode1->value(), codeAfter);
        QCOMPARE(Module1::Data_Byte, frames.empty() ? registerBefore : double(frames.back()));
        if (action == QLatin1String("zero") || action == QLatin1String("mid") ||
            action == QLatin1String("full")) {
            QCOMPARE(p.bits(), codeAfter);
        }
    }

    void fullScaleFromZeroRisesThenDropsAndRisesAgain() {
        PanelFixture p;
        QTest::mouseClick(p.form->cmdFS, Qt::LeftButton);
        const Changes expected{0,  1,  2,  3, 4, 5, 6, -1, -2, -3, -4,
                               -5, -6, -7, 0, 1, 2, 3, 4,  5,  6};
        QCOMPARE(p.bitChanges, expected);
        QCOMPARE(p.form->txtDisplay1->text(), QStringLiteral("127"));
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("127"));
    }

    void zeroScaleAndRunAtStartUpWriteNoText() {
        for (int which = 0; which < 2; ++which) {
            PanelFixture p;
            QTest::mouseClick(which == 0 ? p.form->cmdZS : p.form->cmdRun, Qt::LeftButton);
            QCOMPARE(p.codesSent(), Codes{0});
            QCOMPARE(p.allTexts(), noTexts);
        }
    }

    void runLeavesTheCodePanelAloneUntilTheCodeMoves() {
        PanelFixture p;
        p.form->vsbInputCode1->setValue(20);
        p.setBitsByHand(5);
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("5"));
        p.forget();
        QTest::mouseClick(p.form->cmdRun, Qt::LeftButton);
        QCOMPARE(p.codesSent(), Codes{5});
        QCOMPARE(p.form->txtDisplay1->text(), QStringLiteral("20"));
        QCOMPARE(p.form->vsbInputCode1->value(), 20);
        QCOMPARE(p.bitChanges, Changes{});
        p.form->vsbInputCode1->setValue(21);
        QCOMPARE(p.bits(), 21);
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("21"));
        QCOMPARE(p.codesSent(), (Codes{5, 21}));
    }

    void keysOnTheCodeScrollBarSendEachChange_data() {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<Codes>("frames");
        QTest::newRow("down") << 0 << int(Qt::Key_Down) << Codes{1};
        QTest::newRow("up") << 10 << int(Qt::Key_Up) << Codes{9};
        QTest::newRow("page down moves by one") << 10 << int(Qt::Key_PageDown) << Codes{11};
        QTest::newRow("end") << 3 << int(Qt::Key_End) << Codes{127};
        QTest::newRow("home") << 99 << int(Qt::Key_Home) << Codes{0};
        QTest::newRow("up at the top sends nothing") << 0 << int(Qt::Key_Up) << Codes{};
        QTest::newRow("down at the bottom sends nothing") << 127 << int(Qt::Key_Down) << Codes{};
        QTest::newRow("left moves towards the top") << 10 << int(Qt::Key_Left) << Codes{9};
        QTest::newRow("right moves towards the bottom") << 10 << int(Qt::Key_Right) << Codes{11};
    }
    void keysOnTheCodeScrollBarSendEachChange() {
        QFETCH(int, start);
        QFETCH(int, key);
        QFETCH(Codes, frames);
        PanelFixture p;
        p.form->vsbInputCode1->setValue(start);
        p.forget();
        QTest::keyClick(p.form->vsbInputCode1, Qt::Key(key));
        QCOMPARE(p.codesSent(), frames);
    }

    void aDragSendsOneFrameWhenItEnds() {
        PanelFixture p;
        p.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(p.form.get()));
        QScrollBar* bar = p.form->vsbInputCode1;
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = Qt::Vertical;
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = bar->sliderPosition();
        option.sliderValue = bar->value();
        option.singleStep = bar->singleStep();
        option.pageStep = bar->pageStep();
        option.subControls = QStyle::SC_All;
        const QRect handle = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                          QStyle::SC_ScrollBarSlider, bar);
        QPoint at = handle.center();
        QTest::mousePress(bar, Qt::LeftButton, {}, at);
        for (int step = 0; step < 6; ++step) {
            at.ry() += 8;
            QMouseEvent move(QEvent::MouseMove, at, bar->mapToGlobal(at), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(bar, &move);
        }
        QVERIFY(bar->sliderPosition() > 0);
        QCOMPARE(p.codesSent(), Codes{});
        QTest::mouseRelease(bar, Qt::LeftButton, {}, at);
        QCOMPARE(p.codesSent(), Codes{bar->value()});
        QVERIFY(bar->value() > 0);
    }

    void textTypedIntoTheBoxesChangesNothing() {
        PanelFixture p;
        p.form->vsbInputCode1->setValue(33);
        p.forget();
        for (QLineEdit* box : {p.form->txtDisplay1, p.form->txtBit[3], p.form->txtSDA_Write}) {
            QTest::keyClicks(box, QStringLiteral("99"));
            QTest::keyClick(box, Qt::Key_Return);
        }
        QVERIFY(p.port->writes.empty());
        QCOMPARE(Module1::Data_Byte, 33.0);
        QCOMPARE(p.bits(), 33);
        QCOMPARE(p.form->vsbInputCode1->value(), 33);
        QTest::mouseClick(p.form->cmdRun, Qt::LeftButton);
        QCOMPARE(p.codesSent(), Codes{33});
    }

    void altURunsAndAltXExitsWithStatus0() {
        PanelFixture p;
        p.form->show();
        QVERIFY(QTest::qWaitForWindowActive(p.form.get()));
        p.setBitsByHand(77);
        // An access key presses the button as a click would, a moment later.
        QTest::keyClick(p.form.get(), Qt::Key_U, Qt::AltModifier);
        QTRY_COMPARE(p.codesSent(), Codes{77});
        p.forget();
        QEventLoop loop;
        QTimer::singleShot(0, p.form.get(),
                           [&p] { QTest::keyClick(p.form.get(), Qt::Key_X, Qt::AltModifier); });
        QTimer::singleShot(5000, &loop, [&loop] { loop.exit(99); });
        QCOMPARE(loop.exec(), 0);
        QVERIFY(p.port->writes.empty());
    }

    // Enter presses a focused button; a focused scroll bar shows its focus.
    void theKeyboardUserSeesAndUsesTheFocus() {
        PanelFixture p;
        p.form->show();
        QVERIFY(QTest::qWaitForWindowActive(p.form.get()));
        QScrollBar* bar = p.form->vsbBit[1];
        QVERIFY(bar->hasFocus());
        const QImage focused = bar->grab().toImage();
        p.form->cmdRun->setFocus();
        QTRY_VERIFY(!bar->hasFocus());
        QVERIFY(bar->grab().toImage() != focused);
        QTest::keyClick(p.form->cmdRun, Qt::Key_Return);
        QTRY_COMPARE(p.codesSent(), Codes{0});
    }

    void aFailingPortIsReportedOnceAndNothingMoreHappens() {
        auto failing = std::make_shared<RecorderPort>(std::size_t{5});
        PanelFixture p(failing);
        QTest::mouseClick(p.form->cmdFS, Qt::LeftButton);
        QCOMPARE(p.failures.size(), 1);
        QVERIFY(p.failures.front().contains(QLatin1String("write 5")));
        QCOMPARE(failing->writes().size(), std::size_t{5});
        const QStringList texts = p.allTexts();
        QTest::mouseClick(p.form->cmdRun, Qt::LeftButton);
        p.form->vsbInputCode1->setValue(3);
        QCOMPARE(failing->attempts(), std::size_t{6});
        QCOMPARE(p.failures.size(), 1);
        QCOMPARE(p.allTexts(), texts);
    }
};

QTEST_MAIN(PanelBehaviourTest)
#include "tst_panel_behaviour.moc"

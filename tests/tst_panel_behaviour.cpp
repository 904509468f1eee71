#include "PanelFixture.h"

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

using Changes = std::vector<int>;
using Codes = std::vector<int>;

namespace {

const QStringList No_Texts(9, QString());

QStringList Bit_Texts_Of(int code) {
    QStringList texts;
    for (int k = 0; k < 7; ++k) {
        texts << QString::number((code >> k) & 1);
    }
    return texts;
}

} // namespace

class Panel_Behaviour_Test : public QObject {
    Q_OBJECT

private slots:
    void start_up_writes_nothing() {
        Panel_Fixture p;
        QCOMPARE(p.all_texts(), No_Texts);
        QCOMPARE(p.form->vsbInputCode1->value(), 0);
        QCOMPARE(p.bits(), 0);
        QCOMPARE(Module1::Data_Byte, 0.0);
        QVERIFY(p.port->writes.empty());
        QVERIFY(!p.port->isOpen());
    }

    void moving_the_code_to_64_at_start_up() {
        Panel_Fixture p;
        p.form->vsbInputCode1->setValue(64);
        QCOMPARE(p.form->txtDisplay1->text(), QStringLiteral("64"));
        QCOMPARE(p.bit_changes, Changes{6});
        QCOMPARE(p.bit_texts(), Bit_Texts_Of(64));
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("64"));
        QCOMPARE(p.codes_sent(), Codes{64});
        QCOMPARE(p.port->writes.size(), std::size_t{16});
        QCOMPARE(Module1::Data_Byte, 64.0);
    }

    // Spreading through the real scroll bars: every drop first, then every rise.
    void spreading_runs_the_bit_handler_in_order_data() {
        QTest::addColumn<int>("bits_before");
        QTest::addColumn<int>("code");
        QTest::addColumn<Changes>("changes");
        QTest::newRow("0 over all 0") << 0 << 0 << Changes{};
        QTest::newRow("127 over all 1")
            << 127 << 127 << Changes{-1, -2, -3, -4, -5, -6, -7, 0, 1, 2, 3, 4, 5, 6};
        QTest::newRow("64 over bit 6") << 64 << 64 << Changes{-7, 6};
        QTest::newRow("5 over bits 0 and 1") << 3 << 5 << Changes{-1, -2, 0, 2};
    }
    void spreading_runs_the_bit_handler_in_order() {
        QFETCH(int, bits_before);
        QFETCH(int, code);
        QFETCH(Changes, changes);
        Panel_Fixture p;
        p.set_bits_by_hand(bits_before);
        p.forget();
        Module1::Data_Byte = code;
        p.form->Set_Bits_from_Data_Byte();
        QCOMPARE(p.bit_changes, changes);
        QCOMPARE(p.bits(), code);
        QCOMPARE(Module1::Data_Byte, double(code));
        QVERIFY(p.port->writes.empty());
        if (!changes.empty()) {
            QCOMPARE(p.bit_texts(), Bit_Texts_Of(code));
            QCOMPARE(p.form->txtSDA_Write->text(), QString::number(code));
        }
    }

    void every_code_from_the_code_scroll_bar_reaches_bits_texts_and_chip() {
        Panel_Fixture p;
        std::vector<int> order(127);
        std::iota(order.begin(), order.end(), 1);
        std::shuffle(order.begin(), order.end(), std::mt19937(20261208));
        order.push_back(0);
        for (int n : order) {
            p.forget();
            p.form->vsbInputCode1->setValue(n);
            QCOMPARE(p.form->txtDisplay1->text(), QString::number(n));
            QCOMPARE(p.bits(), n);
            QCOMPARE(p.bit_texts(), Bit_Texts_Of(n));
            QCOMPARE(p.form->txtSDA_Write->text(), QString::number(n));
            QCOMPARE(p.codes_sent(), Codes{n});
            double composed = -1;
            p.form->Get_Data_Byte_from_Bits(composed);
            QCOMPARE(composed, double(n));
        }
        QCOMPARE(p.port->board.malformedCount(), std::uint64_t{0});
    }

    // Frames per action, from a given code scroll bar position and hand-set bits.
    void frames_per_action_data() {
        QTest::addColumn<int>("code_before");
        QTest::addColumn<int>("bits_before");
        QTest::addColumn<QString>("action");
        QTest::addColumn<Codes>("frames");
        QTest::addColumn<int>("code_after");
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
    void frames_per_action() {
        QFETCH(int, code_before);
        QFETCH(int, bits_before);
        QFETCH(QString, action);
        QFETCH(Codes, frames);
        QFETCH(int, code_after);
        Panel_Fixture p;
        p.form->vsbInputCode1->setValue(code_before);
        p.set_bits_by_hand(bits_before);
        const double register_before = Module1::Data_Byte;
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
        QCOMPARE(p.codes_sent(), frames);
        QCOMPARE(p.port->writes.size(), 16 * frames.size());
        QCOMPARE(p.form->vsbInputCode1->value(), code_after);
        QCOMPARE(Module1::Data_Byte, frames.empty() ? register_before : double(frames.back()));
        if (action == QLatin1String("zero") || action == QLatin1String("mid") ||
            action == QLatin1String("full")) {
            QCOMPARE(p.bits(), code_after);
        }
    }

    void full_scale_from_zero_rises_then_drops_and_rises_again() {
        Panel_Fixture p;
        QTest::mouseClick(p.form->cmdFS, Qt::LeftButton);
        const Changes expected{0,  1,  2,  3, 4, 5, 6, -1, -2, -3, -4,
                               -5, -6, -7, 0, 1, 2, 3, 4,  5,  6};
        QCOMPARE(p.bit_changes, expected);
        QCOMPARE(p.form->txtDisplay1->text(), QStringLiteral("127"));
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("127"));
    }

    void zero_scale_and_run_at_start_up_write_no_text() {
        for (int which = 0; which < 2; ++which) {
            Panel_Fixture p;
            QTest::mouseClick(which == 0 ? p.form->cmdZS : p.form->cmdRun, Qt::LeftButton);
            QCOMPARE(p.codes_sent(), Codes{0});
            QCOMPARE(p.all_texts(), No_Texts);
        }
    }

    void run_leaves_the_code_panel_alone_until_the_code_moves() {
        Panel_Fixture p;
        p.form->vsbInputCode1->setValue(20);
        p.set_bits_by_hand(5);
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("5"));
        p.forget();
        QTest::mouseClick(p.form->cmdRun, Qt::LeftButton);
        QCOMPARE(p.codes_sent(), Codes{5});
        QCOMPARE(p.form->txtDisplay1->text(), QStringLiteral("20"));
        QCOMPARE(p.form->vsbInputCode1->value(), 20);
        QCOMPARE(p.bit_changes, Changes{});
        p.form->vsbInputCode1->setValue(21);
        QCOMPARE(p.bits(), 21);
        QCOMPARE(p.form->txtSDA_Write->text(), QStringLiteral("21"));
        QCOMPARE(p.codes_sent(), (Codes{5, 21}));
    }

    void keys_on_the_code_scroll_bar_send_each_change_data() {
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
    }
    void keys_on_the_code_scroll_bar_send_each_change() {
        QFETCH(int, start);
        QFETCH(int, key);
        QFETCH(Codes, frames);
        Panel_Fixture p;
        p.form->vsbInputCode1->setValue(start);
        p.forget();
        QTest::keyClick(p.form->vsbInputCode1, Qt::Key(key));
        QCOMPARE(p.codes_sent(), frames);
    }

    void a_drag_sends_one_frame_when_it_ends() {
        Panel_Fixture p;
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
        QCOMPARE(p.codes_sent(), Codes{});
        QTest::mouseRelease(bar, Qt::LeftButton, {}, at);
        QCOMPARE(p.codes_sent(), Codes{bar->value()});
        QVERIFY(bar->value() > 0);
    }

    void text_typed_into_the_boxes_changes_nothing() {
        Panel_Fixture p;
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
        QCOMPARE(p.codes_sent(), Codes{33});
    }

    void alt_u_runs_and_alt_x_exits_with_status_0() {
        Panel_Fixture p;
        p.form->show();
        QVERIFY(QTest::qWaitForWindowActive(p.form.get()));
        p.set_bits_by_hand(77);
        // An access key presses the button as a click would, a moment later.
        QTest::keyClick(p.form.get(), Qt::Key_U, Qt::AltModifier);
        QTRY_COMPARE(p.codes_sent(), Codes{77});
        p.forget();
        QEventLoop loop;
        QTimer::singleShot(0, p.form.get(),
                           [&p] { QTest::keyClick(p.form.get(), Qt::Key_X, Qt::AltModifier); });
        QTimer::singleShot(5000, &loop, [&loop] { loop.exit(99); });
        QCOMPARE(loop.exec(), 0);
        QVERIFY(p.port->writes.empty());
    }

    void a_failing_port_is_reported_once_and_nothing_more_happens() {
        auto failing = std::make_shared<RecorderPort>(std::size_t{5});
        Panel_Fixture p(failing);
        QTest::mouseClick(p.form->cmdFS, Qt::LeftButton);
        QCOMPARE(p.failures.size(), 1);
        QVERIFY(p.failures.front().contains(QLatin1String("write 5")));
        QCOMPARE(failing->writes().size(), std::size_t{5});
        const QStringList texts = p.all_texts();
        QTest::mouseClick(p.form->cmdRun, Qt::LeftButton);
        p.form->vsbInputCode1->setValue(3);
        QCOMPARE(failing->attempts(), std::size_t{6});
        QCOMPARE(p.failures.size(), 1);
        QCOMPARE(p.all_texts(), texts);
    }
};

QTEST_MAIN(Panel_Behaviour_Test)
#include "tst_panel_behaviour.moc"

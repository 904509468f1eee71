#include "SpreadingOrder.h"

#include "model/BitConversion.h"
#include "model/Module1.h"

#include <QTest>

#include <array>
#include <vector>

namespace {

// Seven bits that, like the scroll bars, report a change only when a write
// really changes a value. A change is logged as +k (rose) or -k-1 (dropped).
class LoggedBits : public BitView {
public:
    std::array<int, codeBits> value{};
    std::vector<int> changes;

    int bit(int k) const override { return value.at(k); }
    void setBit(int k, int v) override {
        if (value.at(k) == v) {
            return;
        }
        value.at(k) = v;
        changes.push_back(v ? k : -k - 1);
    }
    void load(int code) {
        for (int k = 0; k < codeBits; ++k) {
            value[k] = (code >> k) & 1;
        }
    }
    int code() const {
        int c = 0;
        for (int k = 0; k < codeBits; ++k) {
            c |= value[k] << k;
        }
        return c;
    }
};

} // namespace

class BitConversionTest : public QObject {
    Q_OBJECT

private slots:
    void init() { Module1::Data_Byte = 0; }

    void composing_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<double>("expected");
        QTest::newRow("all bits 0") << 0b0000000 << 0.0;
        QTest::newRow("all bits 1") << 0b1111111 << 127.0;
        QTest::newRow("bit 6 alone") << 0b1000000 << 64.0;
        QTest::newRow("bit 0 alone") << 0b0000001 << 1.0;
        QTest::newRow("bits 0 and 2") << 0b0000101 << 5.0;
        QTest::newRow("bits 1 to 5") << 0b0111110 << 62.0;
    }
    void composing() {
        QFETCH(int, bits);
        QFETCH(double, expected);
        LoggedBits view;
        view.load(bits);
        // Whatever the register holds, composing reads only the bits.
        Module1::Data_Byte = 99;
        double target = -1;
        Get_Data_Byte_from_Bits(view, target);
        QCOMPARE(target, expected);
        QCOMPARE(Module1::Data_Byte, 99.0);
        QVERIFY(view.changes.empty());
    }

    void composingKeepsEachWeightedTermInItsSlot() {
        LoggedBits view;
        view.load(0b1000101);
        double target = 0;
        Get_Data_Byte_from_Bits(view, target);
        const std::array<double, 7> terms = {
            Module1::bit0Term, Module1::bit1Term, Module1::bit2Term, Module1::bit3Term,
            Module1::bit4Term, Module1::bit5Term, Module1::bit6Term};
        const std::array<double, 7> expected = {1, 0, 4, 0, 0, 0, 64};
        QCOMPARE(terms, expected);
    }

    void spreadingOrder_data() { addSpreadingRows(); }
    void spreadingOrder() {
        QFETCH(int, before);
        QFETCH(int, code);
        QFETCH(Changes, changes);
        LoggedBits view;
        view.load(before);
        Module1::Data_Byte = code;
        Set_Bits_from_Data_Byte(view);
        QCOMPARE(view.changes, changes);
        QCOMPARE(view.code(), code & 127);
        QCOMPARE(Module1::Data_Byte, double(code));
    }

    void everyCodeSurvivesTheRoundTrip() {
        LoggedBits view;
        view.load(0b1010101);
        for (int n = 0; n <= 127; ++n) {
            Module1::Data_Byte = n;
            Set_Bits_from_Data_Byte(view);
            double composed = -1;
            Get_Data_Byte_from_Bits(view, composed);
            QCOMPARE(composed, double(n));
        }
    }
};

QTEST_APPLESS_MAIN(BitConversionTest)
#include "tst_bit_conversion.moc"

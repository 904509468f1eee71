#include "ProbePort.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "port/NTPort.h"

#include <QTest>

#include <memory>

namespace {

QString wordsText(const std::vector<PortWrite>& writes) {
    QStringList words;
    for (const auto& w : writes) {
        words << QStringLiteral("%1").arg(w.word, 2, 16, QLatin1Char('0'));
    }
    return words.join(QLatin1Char(' '));
}

} // namespace

class FrameWriterTest : public QObject {
    Q_OBJECT

    std::shared_ptr<ProbePort> port;

private slots:
    void init() {
        port = std::make_shared<ProbePort>();
        usePortOutput(port);
        Module1::Data_Byte = 0;
    }
    void cleanup() { releasePortOutput(); }

    void frameWords_data() {
        QTest::addColumn<double>("code");
        QTest::addColumn<QString>("words");
        QTest::addColumn<int>("latched");
        QTest::newRow("0") << 0.0 << "24 20 22 20 22 20 22 20 22 20 22 20 22 20 22 24" << 0;
        QTest::newRow("1") << 1.0 << "24 20 22 20 22 20 22 20 22 20 22 20 22 21 23 24" << 1;
        QTest::newRow("5") << 5.0 << "24 20 22 20 22 20 22 20 22 21 23 20 22 21 23 24" << 5;
        QTest::newRow("64") << 64.0 << "24 21 23 20 22 20 22 20 22 20 22 20 22 20 22 24" << 64;
        QTest::newRow("127") << 127.0 << "24 21 23 21 23 21 23 21 23 21 23 21 23 21 23 24" << 127;
        QTest::newRow("42") << 42.0 << "24 20 22 21 23 20 22 21 23 20 22 21 23 20 22 24" << 42;
        // Only the low seven bits of the register are ever sent.
        QTest::newRow("200") << 200.0 << "24 21 23 20 22 20 22 21 23 20 22 20 22 20 22 24" << 72;
    }
    void frameWords() {
        QFETCH(double, code);
        QFETCH(QString, words);
        QFETCH(int, latched);
        Module1::Data_Byte = code;
        Read_Write_Bits_to_Parallel_Port();
        QCOMPARE(wordsText(port->writes), words);
        for (const auto& w : port->writes) {
            QCOMPARE(w.address, std::uint16_t{0x378});
        }
        QCOMPARE(port->board.frameCount(), std::uint64_t{1});
        const LatchedFrame& frame = port->board.frames().back();
        QCOMPARE(frame.clockEdges, 7);
        QCOMPARE(frame.code, latched);
        QCOMPARE(port->board.code(), std::optional<int>(latched));
        QCOMPARE(Module1::Data_Byte, code);
    }

    void theSameCodeTwiceGivesTwoIdenticalFrames() {
        Module1::Data_Byte = 93;
        Read_Write_Bits_to_Parallel_Port();
        Read_Write_Bits_to_Parallel_Port();
        QCOMPARE(port->writes.size(), std::size_t{32});
        const std::vector<PortWrite> first(port->writes.begin(), port->writes.begin() + 16);
        const std::vector<PortWrite> second(port->writes.begin() + 16, port->writes.end());
        QCOMPARE(first, second);
        // The seam puts the idle word on the port twice in succession.
        QCOMPARE(port->writes[15].word, std::uint16_t{0x24});
        QCOMPARE(port->writes[16].word, std::uint16_t{0x24});
        QCOMPARE(port->codes(), (std::vector<int>{93, 93}));
        QCOMPARE(port->board.malformedCount(), std::uint64_t{0});
    }

    void thePortOpensAtTheFirstWriteAndOnlyOnce() {
        auto recorder = std::make_shared<RecorderPort>();
        usePortOutput(recorder);
        QCOMPARE(recorder->openCount(), 0);
        Read_Write_Bits_to_Parallel_Port();
        Read_Write_Bits_to_Parallel_Port();
        QCOMPARE(recorder->openCount(), 1);
        QCOMPARE(recorder->writes().size(), std::size_t{32});
    }

    void aFailedWriteEndsTheFrameAndEveryLaterWrite_data() {
        QTest::addColumn<int>("failAt");
        for (int k : {0, 1, 7, 15}) {
            QTest::addRow("write %d", k) << k;
        }
    }
    void aFailedWriteEndsTheFrameAndEveryLaterWrite() {
        QFETCH(int, failAt);
        auto recorder = std::make_shared<RecorderPort>(static_cast<std::size_t>(failAt));
        usePortOutput(recorder);
        Module1::Data_Byte = 127;
        QVERIFY_THROWS_EXCEPTION(PortError, Read_Write_Bits_to_Parallel_Port());
        QCOMPARE(recorder->writes().size(), static_cast<std::size_t>(failAt));
        QCOMPARE(recorder->attempts(), static_cast<std::size_t>(failAt + 1));
        // The port is not tried again, not even for a fresh frame.
        QVERIFY_THROWS_EXCEPTION(PortError, Read_Write_Bits_to_Parallel_Port());
        QCOMPARE(recorder->attempts(), static_cast<std::size_t>(failAt + 1));
    }

    void aWriteWithoutAChosenPortFails() {
        releasePortOutput();
        QVERIFY_THROWS_EXCEPTION(PortError, OutportW(0x378, 0x24));
    }
};

QTEST_APPLESS_MAIN(FrameWriterTest)
#include "tst_frame_writer.moc"

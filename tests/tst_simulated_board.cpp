#include "FrameWords.h"

#include "watch/SimulatedBoard.h"

#include <QTest>

#include <vector>

class SimulatedBoardTest : public QObject {
    Q_OBJECT

private slots:
    void latching_data() {
        QTest::addColumn<Words>("words");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("edges");
        QTest::newRow("a whole frame") << frameFor(93) << 1 << 93 << 7;
        QTest::newRow("six bits: malformed") << frameFor(0b101101, 6) << 1 << 0b101101 << 6;
        QTest::newRow("nine bits keep the last seven")
            << frameFor(0b110000011, 9) << 1 << 0b0000011 << 9;
        QTest::newRow("select never falls") << Words{0x24, 0x26, 0x24, 0x25, 0x27} << 0 << -1 << 0;
        QTest::newRow("select falls and rises, no clock") << Words{0x24, 0x20, 0x24} << 1 << 0 << 0;
        // The clock must rise while selected; a clock already high counts no edge.
        QTest::newRow("clock high when select falls")
            << Words{0x26, 0x23, 0x21, 0x23, 0x24} << 1 << 1 << 1;
    }
    void latching() {
        QFETCH(Words, words);
        QFETCH(int, frames);
        QFETCH(int, code);
        QFETCH(int, edges);
        SimulatedBoard board;
        std::vector<LatchedFrame> told;
        board.onFrameLatched([&told](const LatchedFrame& f) { told.push_back(f); });
        for (auto w : words) {
            board.write(0x378, w);
        }
        QCOMPARE(board.frameCount(), std::uint64_t(frames));
        QCOMPARE(int(told.size()), frames);
        if (frames == 0) {
            QVERIFY(!board.code().has_value());
            return;
        }
        QCOMPARE(board.code(), std::optional<int>(code));
        QCOMPARE(told.back().clockEdges, edges);
        QCOMPARE(told.back().malformed(), edges != 7);
        QCOMPARE(board.malformedCount(), std::uint64_t(edges != 7 ? 1 : 0));
        QCOMPARE(told.back().number, std::uint64_t{1});
    }

    void aFrameHoldsItsSixteenWordsEvenAfterIdleWrites() {
        SimulatedBoard board;
        for (auto w : Words{0x24, 0x24, 0x24}) {
            board.write(0x378, w);
        }
        for (int code : {5, 127}) {
            for (auto w : frameFor(code)) {
                board.write(0x378, w);
            }
        }
        QCOMPARE(board.frames().size(), std::size_t{2});
        QCOMPARE(board.frames()[0].words, frameFor(5));
        QCOMPARE(board.frames()[1].words, frameFor(127));
        QCOMPARE(board.frames()[1].number, std::uint64_t{2});
    }

    void wordsTheBoardCannotTakeAreRefusedUnwritten_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("word");
        QTest::newRow("status register") << 0x379 << 0x24;
        QTest::newRow("another port") << 0x278 << 0x24;
        QTest::newRow("high byte set") << 0x378 << 0x0124;
        QTest::newRow("negative word") << 0x378 << 0xFF24;
    }
    void wordsTheBoardCannotTakeAreRefusedUnwritten() {
        QFETCH(int, address);
        QFETCH(int, word);
        SimulatedBoard board;
        board.write(0x378, 0x24);
        QVERIFY_THROWS_EXCEPTION(PortError,
                                 board.write(std::uint16_t(address), std::uint16_t(word)));
        QCOMPARE(board.lines(), std::uint16_t{0x24});
    }

    void theHistoryIsBoundedButTheCountIsNot() {
        SimulatedBoard board;
        const Words frame = frameFor(1);
        const std::size_t total = SimulatedBoard::historyLimit + 10;
        for (std::size_t i = 0; i < total; ++i) {
            for (auto w : frame) {
                board.write(0x378, w);
            }
        }
        QCOMPARE(board.frameCount(), std::uint64_t(total));
        QCOMPARE(board.frames().size(), SimulatedBoard::historyLimit);
        QCOMPARE(board.frames().back().number, std::uint64_t(total));
    }
};

QTEST_APPLESS_MAIN(SimulatedBoardTest)
#include "tst_simulated_board.moc"

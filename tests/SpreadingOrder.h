#pragma once

#include <QTest>

#include <vector>

// Bit change handler runs, in order: +k when bit k rose, -k-1 when it dropped.
using Changes = std::vector<int>;

// Spreading a code over bits that held another: every bit that was 1 drops,
// in index order, then every bit of the code rises, in index order.
inline void addSpreadingRows() {
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("code");
    QTest::addColumn<Changes>("changes");
    QTest::newRow("0 over all 0") << 0 << 0 << Changes{};
    QTest::newRow("127 over all 1")
        << 127 << 127 << Changes{-1, -2, -3, -4, -5, -6, -7, 0, 1, 2, 3, 4, 5, 6};
    QTest::newRow("64 over bit 6") << 64 << 64 << Changes{-7, 6};
    QTest::newRow("5 over bits 0 and 1") << 3 << 5 << Changes{-1, -2, 0, 2};
    QTest::newRow("0 over 127") << 127 << 0 << Changes{-1, -2, -3, -4, -5, -6, -7};
    QTest::newRow("1 over 0") << 0 << 1 << Changes{0};
    // Bits of weight 128 and above never reach the scroll bars.
    QTest::newRow("200 keeps its low seven bits") << 0 << 200 << Changes{3, 6};
}

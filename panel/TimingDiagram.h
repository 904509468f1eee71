#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

// Select, clock and serial data of one frame drawn as logic levels, each edge
// where its write fell in time.
class TimingDiagram : public QWidget {
    Q_OBJECT

public:
    explicit TimingDiagram(QWidget* parent = nullptr);

    void showFrame(std::vector<std::uint16_t> words, std::vector<std::uint64_t> times);

    // Where each word begins, in widget coordinates: in proportion to its
    // time, or evenly spaced when the times do not tell.
    std::vector<double> wordPositions() const;
    QRect plotRect() const;
    int labelWidth() const;

    QSize sizeHint() const override { return {420, 150}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<std::uint16_t> words_;
    std::vector<std::uint64_t> times_;
};

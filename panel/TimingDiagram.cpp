#include "panel/TimingDiagram.h"

#include <QPainter>
#include <QPainterPath>

#include <utility>

namespace {

constexpr int margin = 8;

struct TraceLine {
    const char* name;
    std::uint16_t mask;
};
constexpr TraceLine lines[] = {{"select", 0x04}, {"clock", 0x02}, {"data", 0x01}};

} // namespace

TimingDiagram::TimingDiagram(QWidget* parent) : QWidget(parent) {
    setMinimumSize(300, 120);
}

void TimingDiagram::showFrame(std::vector<std::uint16_t> words, std::vector<std::uint64_t> times) {
    words_ = std::move(words);
    times_ = std::move(times);
    update();
}

// Room for the longest line name in the font the desktop gives, however large.
int TimingDiagram::labelWidth() const {
    int widest = 0;
    for (const TraceLine& line : lines) {
        widest = std::max(widest, fontMetrics().horizontalAdvance(QString::fromLatin1(line.name)));
    }
    return widest + 2 * margin;
}

QRect TimingDiagram::plotRect() const {
    return rect().adjusted(labelWidth(), margin, -margin, -margin);
}

std::vector<double> TimingDiagram::wordPositions() const {
    std::vector<double> x;
    const QRect plot = plotRect();
    const std::size_t n = words_.size();
    if (n == 0) {
        return x;
    }
    // The last word is held for one even step after it is written.
    const bool timed = times_.size() == n && n > 1 && times_.back() > times_.front();
    const double span = timed ? double(times_.back() - times_.front()) : double(n - 1);
    const double width = plot.width() * (n > 1 ? double(n - 1) / n : 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double at = timed ? double(times_[i] - times_.front()) : double(i);
        x.push_back(plot.left() + (span > 0 ? at / span * width : 0.0));
    }
    return x;
}

void TimingDiagram::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    const QRect plot = plotRect();
    const std::vector<double> x = wordPositions();
    const int rows = int(std::size(lines));
    const double rowHeight = double(plot.height()) / rows;

    for (int r = 0; r < rows; ++r) {
        const double top = plot.top() + r * rowHeight + rowHeight * 0.2;
        const double bottom = plot.top() + (r + 1) * rowHeight - rowHeight * 0.2;
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(QRectF(margin / 2, top, labelWidth() - margin, bottom - top),
                         Qt::AlignVCenter | Qt::AlignLeft, QString::fromLatin1(lines[r].name));
        if (x.empty()) {
            continue;
        }
        QPainterPath path;
        auto level = [&](std::size_t i) { return (words_[i] & lines[r].mask) ? top : bottom; };
        path.moveTo(x[0], level(0));
        for (std::size_t i = 1; i < x.size(); ++i) {
            path.lineTo(x[i], level(i - 1));
            path.lineTo(x[i], level(i));
        }
        path.lineTo(plot.right(), level(x.size() - 1));
        painter.setPen(QPen(QColor(0x0000C0), 1.5));
        painter.drawPath(path);
    }
}

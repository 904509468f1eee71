#include "chart/Plot.h"

#include <QApplication>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QFile>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QScatterSeries>
#include <QSvgGenerator>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

namespace {

QValueAxis* axis(const QString& title, double low, double high, const char* format) {
    auto* a = new QValueAxis;
    a->setTitleText(title);
    a->setRange(low, high);
    a->setLabelFormat(format);
    a->applyNiceNumbers();
    return a;
}

// Codes in steps of 16, as the chip's bits fall, and the last code measured
// (127 on a whole sweep) labelled too.
QCategoryAxis* codeAxis(int low, int high) {
    auto* a = new QCategoryAxis;
    a->setTitleText("Code");
    a->setRange(low, high);
    a->setStartValue(low);
    a->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    for (int code = low; code < high; code += code == low && low % 16 ? 16 - low % 16 : 16) {
        if (high - code >= 8 || code == low) {
            a->append(QString::number(code), code);
        }
    }
    a->append(QString::number(high), high);
    return a;
}

// A horizontal line across the codes, dashed.
QLineSeries* level(const QString& name, double value, int low, int high, const QColor& color) {
    auto* line = new QLineSeries;
    line->setName(name);
    line->setPen(QPen(color, 1.5, Qt::DashLine));
    line->append(low, value);
    line->append(high, value);
    return line;
}

void attach(QChart* chart, QAbstractSeries* series, QAbstractAxis* x, QAbstractAxis* y) {
    chart->addSeries(series);
    series->attachAxis(x);
    series->attachAxis(y);
}

// Qt's notes about the environment of a program that shows no window.
void quiet(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg && !message.startsWith("QStandardPaths")) {
        std::fprintf(stderr, "zovrel-sweep: %s\n", qPrintable(message));
    }
}

QChartView* view(QChart* chart, QWidget* parent) {
    chart->legend()->setAlignment(Qt::AlignBottom);
    auto* v = new QChartView(chart, parent);
    v->setRenderHint(QPainter::Antialiasing);
    return v;
}

} // namespace

Charts buildCharts(const std::vector<Row>& rows, const Summary& summary) {
    const auto [low, high] = std::minmax({summary.ends.firstCode, summary.ends.lastCode});
    const QColor inlColor(0x1f, 0x77, 0xb4), dnlColor(0xd6, 0x5f, 0x00), turnColor(Qt::red);
    auto* top = new QChart;
    top->setTitle("Zovrel Rev B: resistance against code");
    auto* bottom = new QChart;
    QString limits;
    const SweepLimits& given = summary.limits;
    if (given.endToEndOhms) {
        limits += QString(", end to end %1 Ω ± %2%")
                      .arg(*given.endToEndOhms, 0, 'f', 0)
                      .arg(given.endToEndTolerancePercent);
    }
    if (given.maxWiperOhms) {
        limits += QString(", wiper ≤ %1 Ω").arg(*given.maxWiperOhms, 0, 'f', 1);
    }
    if (!summary.verdicts.empty()) {
        top->setTitle(
            top->title() +
            QString(" (limits%1: %2)").arg(limits).arg(summary.limitsMet() ? "PASS" : "FAIL"));
    }
    bottom->setTitle(
        QString("INL and DNL, end-point method (1 LSB = %1 Ω)").arg(summary.ends.lsb(), 0, 'f', 2));
    auto* topX = codeAxis(low, high);
    auto* bottomX = codeAxis(low, high);
    double lowest = std::min(summary.ends.firstOhms, summary.ends.lastOhms);
    double highest = std::max(summary.ends.firstOhms, summary.ends.lastOhms);
    double worst = std::max({1.0, given.maxInlLsb.value_or(0), given.maxDnlLsb.value_or(0)});
    for (const Row& row : rows) {
        lowest = std::min(lowest, row.ohms);
        highest = std::max(highest, row.ohms);
        worst = std::max({worst, std::abs(row.inl), std::isnan(row.dnl) ? 0 : std::abs(row.dnl)});
    }
    auto* topY = axis("Resistance (Ω)", lowest, highest, "%.0f");
    const double span = std::ceil(worst * 4) / 4 + 0.25;
    auto* bottomY = axis("LSB", -span, span, "%.2f");
    top->addAxis(topX, Qt::AlignBottom);
    top->addAxis(topY, Qt::AlignLeft);
    bottom->addAxis(bottomX, Qt::AlignBottom);
    bottom->addAxis(bottomY, Qt::AlignLeft);

    // A line of resistance and one of INL for each pass, in the order measured.
    std::map<std::pair<int, bool>, std::pair<QLineSeries*, QLineSeries*>> passes;
    auto* dnl = new QScatterSeries;
    dnl->setName("DNL");
    dnl->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    dnl->setMarkerSize(6);
    dnl->setColor(dnlColor);
    dnl->setBorderColor(dnlColor.darker());
    for (const Row& row : rows) {
        auto& [resistance, inl] = passes[{row.sweep, row.down}];
        if (!resistance) {
            resistance = new QLineSeries;
            resistance->setName(
                passes.size() == 1
                    ? "measured"
                    : QString("sweep %1%2").arg(row.sweep).arg(row.down ? " down" : ""));
            inl = new QLineSeries;
            inl->setName(passes.size() == 1 ? "INL" : resistance->name() + " INL");
            inl->setPen(QPen(inlColor, 2.5));
        }
        resistance->append(row.code, row.ohms);
        inl->append(row.code, row.inl);
        if (!std::isnan(row.dnl)) {
            dnl->append(row.code, row.dnl);
        }
    }
    auto* ideal = new QLineSeries;
    ideal->setName("end-point line");
    ideal->setPen(QPen(Qt::gray, 1, Qt::DashLine));
    ideal->append(summary.ends.firstCode, summary.ends.firstOhms);
    ideal->append(summary.ends.lastCode, summary.ends.lastOhms);
    attach(top, ideal, topX, topY);
    for (const auto& [key, pair] : passes) {
        attach(top, pair.first, topX, topY);
        attach(bottom, pair.second, bottomX, bottomY);
    }
    // The codes where the resistance turns back, on the curve of the first pass.
    if (!summary.reversals.empty()) {
        auto* turns = new QScatterSeries;
        turns->setName("turns back");
        turns->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
        turns->setMarkerSize(12);
        turns->setColor(turnColor);
        for (const auto& [below, above] : summary.reversals) {
            const auto at = std::find_if(rows.begin(), rows.end(),
                                         [above = above](const Row& r) { return r.code == above; });
            turns->append(above, at != rows.end() ? at->ohms : summary.ends.ideal(above));
        }
        attach(top, turns, topX, topY);
    }
    for (const auto& [name, most, color] :
         {std::tuple{QStringLiteral("INL limit"), given.maxInlLsb, inlColor},
          std::tuple{QStringLiteral("DNL limit"), given.maxDnlLsb, dnlColor}}) {
        if (most) {
            attach(bottom, level(name, *most, low, high, color), bottomX, bottomY);
            auto* under = level(name, -*most, low, high, color);
            attach(bottom, under, bottomX, bottomY);
            bottom->legend()->markers(under).front()->setVisible(false);
        }
    }
    // DNL's markers last, so that they are drawn over INL's lines.
    attach(bottom, dnl, bottomX, bottomY);
    // The legend names each kind of line once.
    for (QChart* chart : {top, bottom}) {
        const auto series = chart->series();
        for (QAbstractSeries* s : series) {
            if (s->name().startsWith("sweep ")) {
                chart->legend()->markers(s).front()->setVisible(false);
            }
        }
    }
    return {top, bottom};
}

std::optional<std::string> drawCharacterization(const std::vector<Row>& rows,
                                                const Summary& summary, const std::string& path) {
    // Nothing is shown: a screen, if there is one, is not needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qInstallMessageHandler(quiet);
    int argc = 1;
    char name[] = "zovrel-sweep";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);

    const Charts charts = buildCharts(rows, summary);

    QWidget page;
    page.resize(1000, 900);
    page.setAutoFillBackground(true);
    page.setPalette(QPalette(Qt::white));
    auto* layout = new QVBoxLayout(&page);
    layout->addWidget(view(charts.resistance, &page), 3);
    layout->addWidget(view(charts.linearity, &page), 2);
    page.ensurePolished();
    layout->activate();

    const QString file = QString::fromLocal8Bit(path.c_str());
    bool written = false;
    if (file.endsWith(".svg")) {
        QSvgGenerator svg;
        svg.setFileName(file);
        svg.setSize(page.size());
        svg.setViewBox(QRect(QPoint(0, 0), page.size()));
        svg.setTitle("Zovrel Rev B characterization");
        QPainter painter;
        written = painter.begin(&svg);
        if (written) {
            page.render(&painter);
            written = painter.end();
        }
        written = written && QFile(file).size() > 0;
    } else {
        written = page.grab().save(file, "PNG");
    }
    if (!written) {
        return "the plot could not be written to '" + path + "'";
    }
    return std::nullopt;
}

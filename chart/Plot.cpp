#include "chart/Plot.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QFile>
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

namespace {

QValueAxis* axis(const QString& title, double low, double high, const char* format) {
    auto* a = new QValueAxis;
    a->setTitleText(title);
    a->setRange(low, high);
    a->setLabelFormat(format);
    a->applyNiceNumbers();
    return a;
}

// Codes in steps of 16, as the chip's bits fall.
QValueAxis* codeAxis(double low, double high) {
    auto* a = new QValueAxis;
    a->setTitleText("Code");
    a->setRange(low, high);
    a->setLabelFormat("%d");
    a->setTickType(QValueAxis::TicksDynamic);
    a->setTickAnchor(0);
    a->setTickInterval(16);
    return a;
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

    const auto [low, high] = std::minmax({summary.ends.firstCode, summary.ends.lastCode});
    auto* resistance = new QLineSeries;
    resistance->setName("measured");
    auto* ideal = new QLineSeries;
    ideal->setName("end-point line");
    ideal->setPen(QPen(Qt::gray, 1, Qt::DashLine));
    auto* inl = new QLineSeries;
    inl->setName("INL");
    auto* dnl = new QScatterSeries;
    dnl->setName("DNL");
    dnl->setMarkerSize(5);
    double lowest = INFINITY, highest = -INFINITY, worst = 1.0;
    for (const Row& row : rows) {
        resistance->append(row.code, row.ohms);
        inl->append(row.code, row.inl);
        worst = std::max(worst, std::abs(row.inl));
        if (!std::isnan(row.dnl)) {
            dnl->append(row.code, row.dnl);
            worst = std::max(worst, std::abs(row.dnl));
        }
        lowest = std::min(lowest, row.ohms);
        highest = std::max(highest, row.ohms);
    }
    ideal->append(summary.ends.firstCode, summary.ends.firstOhms);
    ideal->append(summary.ends.lastCode, summary.ends.lastOhms);

    QWidget page;
    page.resize(1000, 900);
    page.setAutoFillBackground(true);
    page.setPalette(QPalette(Qt::white));
    auto* layout = new QVBoxLayout(&page);
    auto* top = new QChart;
    top->setTitle("Zovrel Rev B: resistance from wiper to end B against code");
    top->addSeries(resistance);
    top->addSeries(ideal);
    auto* topX = codeAxis(low, high);
    auto* topY =
        axis("Resistance (Ω)", std::min({lowest, summary.ends.firstOhms, summary.ends.lastOhms}),
             std::max({highest, summary.ends.firstOhms, summary.ends.lastOhms}), "%.0f");
    top->addAxis(topX, Qt::AlignBottom);
    top->addAxis(topY, Qt::AlignLeft);
    for (auto* series :
         {static_cast<QAbstractSeries*>(resistance), static_cast<QAbstractSeries*>(ideal)}) {
        series->attachAxis(topX);
        series->attachAxis(topY);
    }
    auto* bottom = new QChart;
    bottom->setTitle(
        QString("INL and DNL, end-point method (1 LSB = %1 Ω)").arg(summary.ends.lsb(), 0, 'f', 2));
    bottom->addSeries(inl);
    bottom->addSeries(dnl);
    const double span = std::ceil(worst * 4) / 4;
    auto* bottomX = codeAxis(low, high);
    auto* bottomY = axis("LSB", -span, span, "%.2f");
    bottom->addAxis(bottomX, Qt::AlignBottom);
    bottom->addAxis(bottomY, Qt::AlignLeft);
    for (auto* series : {static_cast<QAbstractSeries*>(inl), static_cast<QAbstractSeries*>(dnl)}) {
        series->attachAxis(bottomX);
        series->attachAxis(bottomY);
    }
    layout->addWidget(view(top, &page), 3);
    layout->addWidget(view(bottom, &page), 2);
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

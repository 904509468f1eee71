#include "panel/Form1.h"

#include "panel/ColourButton.h"
#include "panel/Form1Accessible.h"
#include "panel/PanelCaption.h"
#include "panel/PanelScrollBar.h"
#include "panel/PanelTextBox.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include <utility>

namespace {

// Positions are kept in twips, as the window was drawn; 15 twips make one
// logical pixel at 96 dpi and Qt's high-dpi scaling does the rest.
constexpr int pixels(int twips) {
    return (twips + 7) / 15;
}

struct TwipsRect {
    int left, top, width, height;
};

void place(QWidget* control, TwipsRect r) {
    control->setGeometry(pixels(r.left), pixels(r.top), pixels(r.width), pixels(r.height));
}

template <typename Control> Control* make(QWidget* parent, const QString& name, TwipsRect r) {
    auto* control = new Control(parent);
    control->setObjectName(name);
    place(control, r);
    return control;
}

QString indexed(const char* name, int index) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}

QScrollBar* makeScrollBar(QWidget* parent, const QString& name, TwipsRect r, int maximum) {
    auto* bar = make<PanelScrollBar>(parent, name, r);
    bar->setOrientation(Qt::Vertical);
    bar->setRange(0, maximum);
    bar->setSingleStep(1);
    bar->setPageStep(1);
    // A drag sends one change, when the scroll box is let go.
    bar->setTracking(false);
    bar->setFocusPolicy(Qt::StrongFocus);
    return bar;
}

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption, TwipsRect r,
                        QRgb face) {
    auto* button = new ColourButton(QColor(face), parent);
    button->setObjectName(name);
    place(button, r);
    button->setText(caption);
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, QColor(Qt::black));
    button->setPalette(palette);
    return button;
}

// The window was drawn in "MS Sans Serif"; where it is missing, the nearest
// sans-serif face the system has stands in at the same point size.
QFont sansSerif(double points, bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void setColour(QWidget* control, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = control->palette();
    palette.setColor(role, colour);
    control->setPalette(palette);
}

QLabel* makeCaption(QWidget* parent, const QString& name, const QString& caption, TwipsRect r) {
    auto* label = new PanelCaption(caption, parent);
    label->setObjectName(name);
    place(label, r);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setFont(sansSerif(9.75, true));
    setColour(label, QPalette::WindowText, QColor(0x0000FF));
    return label;
}

QFrame* makeRectangle(QWidget* parent, const QString& name, TwipsRect r) {
    auto* shape = make<QFrame>(parent, name, r);
    shape->setFrameStyle(QFrame::Box | QFrame::Plain);
    shape->setLineWidth(1);
    return shape;
}

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& caption, TwipsRect r,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop) {
    auto* label = make<QLabel>(parent, name, r);
    label->setText(caption);
    label->setAlignment(alignment);
    return label;
}

// The boxes only show values the program writes: typing into one would show
// a value the chip does not hold. Read-only, they still take focus in their
// place in the tab order, so a screen reader can read them.
QLineEdit* makeTextBox(QWidget* parent, const QString& name, TwipsRect r,
                       const QString& spokenName) {
    auto* box = make<PanelTextBox>(parent, name, r);
    box->setTextMargins(0, 0, 0, 0);
    box->setReadOnly(true);
    box->setAccessibleName(spokenName);
    return box;
}

// Where the window sets a colour behind text it sets the text's colour too,
// so that a dark desktop palette cannot leave light text on a light face.
void setColours(QWidget* control, QPalette::ColorRole back, const QColor& background,
                QPalette::ColorRole fore, const QColor& text) {
    QPalette palette = control->palette();
    palette.setColor(back, background);
    palette.setColor(fore, text);
    control->setPalette(palette);
}

constexpr QRgb windowYellow = 0xFFFFC0;
constexpr QRgb presetGreen = 0xC0FFC0;
constexpr QRgb runGreen = 0x80FF80;
constexpr QRgb exitRed = 0xFF8080;
// The classic desktop's active title bar, for the bit boxes' text.
constexpr QRgb titleBarNavy = 0x000080;

// Left edges of the bit columns, bit 0 to bit 6, and the widths that differ.
constexpr int bitBarLeft[7] = {4965, 4725, 4470, 4215, 3975, 3720, 3465};
constexpr int bitBarWidth[7] = {240, 250, 250, 250, 250, 250, 250};
constexpr int bitBoxLeft[7] = {4980, 4725, 4470, 4215, 3975, 3720, 3465};
constexpr int bitBoxWidth[7] = {250, 250, 255, 250, 250, 250, 250};
// The digit labels by array index: lblBit(k) shows digit[k] at digitLeft[k].
constexpr int digit[7] = {1, 2, 3, 4, 5, 6, 0};
constexpr int digitLeft[7] = {4725, 4485, 4230, 3975, 3735, 3480, 4920};

} // namespace

Form1::Form1(FailureSink onFailure, QWidget* parent)
    : QWidget(parent), onFailure_(std::move(onFailure)) {
    installForm1Accessibility();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Zovrel Rev B"));
    // Laid out once with absolute positions: resizing or maximising moves nothing.
    setFixedSize(pixels(8520), pixels(4005));
    setFont(sansSerif(8));
    setColours(this, QPalette::Window, QColor(windowYellow), QPalette::WindowText,
               QColor(Qt::black));
    setAutoFillBackground(true);
    createControls();
    setUpTabOrder();
    connectHandlers();
}

Form1::~Form1() = default;

void Form1::createControls() {
    // Labels and rectangles first: later siblings stack above earlier ones, so
    // every scroll bar, text box and button covers the labels it overlaps.
    // Labels show the window's own yellow through them.
    Shape3 = makeRectangle(this, QStringLiteral("Shape3"), {0, 240, 2055, 3375});
    Shape3->setAccessibleName(QStringLiteral("Code panel"));
    Shape1 = makeRectangle(this, QStringLiteral("Shape1"), {2400, 240, 4335, 3375});
    Shape1->setAccessibleName(QStringLiteral("Bit panel"));
    Label3 = makeCaption(this, QStringLiteral("Label3"), QStringLiteral("SDI Write"),
                         {600, 0, 1845, 300});
    lblBlSDA_Write =
        makeCaption(this, QStringLiteral("lblBlSDA_Write"),
                    QStringLiteral("SDI Write Bit Control (Click Run)"), {3000, 0, 3405, 300});
    for (int i = 0; i < codeBits; ++i) {
        lblBit[i] = makeLabel(this, indexed("lblBit", i), QString::number(digit[i]),
                              {digitLeft[i], 600, 300, 495}, Qt::AlignHCenter | Qt::AlignTop);
    }
    lblBit26 = makeLabel(this, indexed("lblBit", 26), QString(), {5175, 960, 300, 495},
                         Qt::AlignHCenter | Qt::AlignTop);

    lblData_Byte = makeLabel(this, QStringLiteral("lblData_Byte"), QStringLiteral("Data Byte"),
                             {3840, 2640, 855, 195});
    lblWrite = makeLabel(this, QStringLiteral("lblWrite"), QStringLiteral("Data Written"),
                         {2640, 3120, 1155, 285}, Qt::AlignHCenter | Qt::AlignTop);

    txtDisplay1 = makeTextBox(this, QStringLiteral("txtDisplay1"), {840, 360, 555, 396},
                              QStringLiteral("Code"));
    txtDisplay1->setAlignment(Qt::AlignCenter);
    // The system's window-frame colour is black on the classic desktop the
    // window was drawn for; a palette's frame shades can be mid-grey, which
    // leaves the red code nearly unreadable.
    setColours(txtDisplay1, QPalette::Base, QColor(Qt::black), QPalette::Text, QColor(0xFF0000));
    vsbInputCode1 =
        makeScrollBar(this, QStringLiteral("vsbInputCode1"), {840, 720, 495, 1815}, 127);
    vsbInputCode1->setAccessibleName(QStringLiteral("Code, 0 to 127"));
    cmdZS = makeButton(this, QStringLiteral("cmdZS"), QStringLiteral("Zero Scale"),
                       {120, 3000, 615, 495}, presetGreen);
    cmdMS = makeButton(this, QStringLiteral("cmdMS"), QStringLiteral("Mid Scale"),
                       {720, 3000, 615, 495}, presetGreen);
    cmdFS = makeButton(this, QStringLiteral("cmdFS"), QStringLiteral("Full Scale"),
                       {1320, 3000, 615, 495}, presetGreen);

    // The system's active-title-bar colour: the classic desktop's navy, which
    // reads well on the boxes' white whatever the desktop's palette.
    for (int k = 0; k < codeBits; ++k) {
        vsbBit[k] = makeScrollBar(this, indexed("vsbBit", k),
                                  {bitBarLeft[k], 810, bitBarWidth[k], 1215}, 1);
        vsbBit[k]->setAccessibleName(QStringLiteral("Bit %1").arg(k));
        txtBit[k] =
            makeTextBox(this, indexed("txtBit", k), {bitBoxLeft[k], 2085, bitBoxWidth[k], 495},
                        QStringLiteral("Bit %1 value").arg(k));
        setColours(txtBit[k], QPalette::Base, QColor(Qt::white), QPalette::Text,
                   QColor(titleBarNavy));
    }
    txtSDA_Write = makeTextBox(this, QStringLiteral("txtSDA_Write"), {3960, 3000, 855, 495},
                               QStringLiteral("Data Written"));
    txtSDA_Write->setAlignment(Qt::AlignCenter);
    txtSDA_Write->setFont(sansSerif(13.5));
    setColours(txtSDA_Write, QPalette::Base, QColor(Qt::white), QPalette::Text, QColor(0x0000FF));
    cmdRun = makeButton(this, QStringLiteral("cmdRun"), QStringLiteral("R&un"),
                        {5280, 3000, 1215, 495}, runGreen);
    cmdRun->setFont(sansSerif(12, true));
    cmdRun->setToolTip(QStringLiteral("Run to execute"));
    cmdExit = makeButton(this, QStringLiteral("cmdExit"), QStringLiteral("E&xit"),
                         {6960, 3000, 1215, 495}, exitRed);
    cmdExit->setFont(sansSerif(12, true));
    cmdExit->setToolTip(QStringLiteral("Exit the program"));
}

void Form1::setUpTabOrder() {
    // Ascending tab index; focus starts on vsbBit(1), tab index 0.
    QWidget* const order[] = {vsbBit[1], vsbBit[2],    vsbBit[3],     vsbBit[4], vsbBit[5],
                              vsbBit[6], txtBit[6],    txtBit[5],     txtBit[1], txtBit[2],
                              txtBit[3], txtBit[4],    cmdExit,       cmdRun,    vsbBit[0],
                              txtBit[0], txtSDA_Write, vsbInputCode1, cmdZS,     cmdMS,
                              cmdFS,     txtDisplay1};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        setTabOrder(order[i], order[i + 1]);
    }
    vsbBit[1]->setFocus(Qt::OtherFocusReason);
}

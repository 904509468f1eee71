#include "panel/Form1.h"

#include "panel/ColourButton.h"
#include "panel/PanelCaption.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include <utility>

namespace {

// Positions are kept in twips, as the window was drawn; 15 twips make one
// logical pixel at 96 dpi and Qt's high-dpi scaling does the rest.
constexpr int Pixels(int twips) {
    return (twips + 7) / 15;
}

struct Twips_Rect {
    int left, top, width, height;
};

void Place(QWidget* control, Twips_Rect r) {
    control->setGeometry(Pixels(r.left), Pixels(r.top), Pixels(r.width), Pixels(r.height));
}

template <typename Control> Control* Make(QWidget* parent, const QString& name, Twips_Rect r) {
    auto* control = new Control(parent);
    control->setObjectName(name);
    Place(control, r);
    return control;
}

QString Indexed(const char* name, int index) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}

QScrollBar* Make_Scroll_Bar(QWidget* parent, const QString& name, Twips_Rect r, int maximum) {
    auto* bar = Make<QScrollBar>(parent, name, r);
    bar->setOrientation(Qt::Vertical);
    bar->setRange(0, maximum);
    bar->setSingleStep(1);
    bar->setPageStep(1);
    // A drag sends one change, when the scroll box is let go.
    bar->setTracking(false);
    bar->setFocusPolicy(Qt::StrongFocus);
    return bar;
}

QPushButton* Make_Button(QWidget* parent, const QString& name, const QString& caption, Twips_Rect r,
                         QRgb face) {
    auto* button = new Colour_Button(QColor(face), parent);
    button->setObjectName(name);
    Place(button, r);
    button->setText(caption);
    return button;
}

// The window was drawn in "MS Sans Serif"; where it is missing, the nearest
// sans-serif face the system has stands in at the same point size.
QFont Sans_Serif(double points, bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void Set_Colour(QWidget* control, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = control->palette();
    palette.setColor(role, colour);
    control->setPalette(palette);
}

QLabel* Make_Caption(QWidget* parent, const QString& name, const QString& caption, Twips_Rect r) {
    auto* label = new Panel_Caption(caption, parent);
    label->setObjectName(name);
    Place(label, r);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setFont(Sans_Serif(9.75, true));
    Set_Colour(label, QPalette::WindowText, QColor(0x0000FF));
    return label;
}

QFrame* Make_Rectangle(QWidget* parent, const QString& name, Twips_Rect r) {
    auto* shape = Make<QFrame>(parent, name, r);
    shape->setFrameStyle(QFrame::Box | QFrame::Plain);
    shape->setLineWidth(1);
    return shape;
}

QLabel* Make_Label(QWidget* parent, const QString& name, const QString& caption, Twips_Rect r,
                   Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop) {
    auto* label = Make<QLabel>(parent, name, r);
    label->setText(caption);
    label->setAlignment(alignment);
    return label;
}

QLineEdit* Make_Text_Box(QWidget* parent, const QString& name, Twips_Rect r) {
    auto* box = Make<QLineEdit>(parent, name, r);
    box->setTextMargins(0, 0, 0, 0);
    return box;
}

constexpr QRgb Window_Yellow = 0xFFFFC0;
constexpr QRgb Preset_Green = 0xC0FFC0;
constexpr QRgb Run_Green = 0x80FF80;
constexpr QRgb Exit_Red = 0xFF8080;

// Left edges of the bit columns, bit 0 to bit 6, and the widths that differ.
constexpr int Bit_Bar_Left[7] = {4965, 4725, 4470, 4215, 3975, 3720, 3465};
constexpr int Bit_Bar_Width[7] = {240, 250, 250, 250, 250, 250, 250};
constexpr int Bit_Box_Left[7] = {4980, 4725, 4470, 4215, 3975, 3720, 3465};
constexpr int Bit_Box_Width[7] = {250, 250, 255, 250, 250, 250, 250};
// The digit labels by array index: lblBit(k) shows Digit[k] at Digit_Left[k].
constexpr int Digit[7] = {1, 2, 3, 4, 5, 6, 0};
constexpr int Digit_Left[7] = {4725, 4485, 4230, 3975, 3735, 3480, 4920};

} // namespace

Form1::Form1(Failure_Sink on_failure, QWidget* parent)
    : QWidget(parent), on_failure_(std::move(on_failure)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Zovrel Rev B"));
    // Laid out once with absolute positions: resizing or maximising moves nothing.
    setFixedSize(Pixels(8520), Pixels(4005));
    setFont(Sans_Serif(8));
    Set_Colour(this, QPalette::Window, QColor(Window_Yellow));
    setAutoFillBackground(true);
    Create_Controls();
    Set_Tab_Order();
    Connect_Handlers();
}

Form1::~Form1() = default;

void Form1::Create_Controls() {
    // Labels and rectangles first: later siblings stack above earlier ones, so
    // every scroll bar, text box and button covers the labels it overlaps.
    // Labels show the window's own yellow through them.
    Shape3 = Make_Rectangle(this, QStringLiteral("Shape3"), {0, 240, 2055, 3375});
    Shape1 = Make_Rectangle(this, QStringLiteral("Shape1"), {2400, 240, 4335, 3375});
    Label3 = Make_Caption(this, QStringLiteral("Label3"), QStringLiteral("SDI Write"),
                          {600, 0, 1845, 300});
    lblBlSDA_Write =
        Make_Caption(this, QStringLiteral("lblBlSDA_Write"),
                     QStringLiteral("SDI Write Bit Control (Click Run)"), {3000, 0, 3405, 300});
    for (int i = 0; i < Bit_Count; ++i) {
        lblBit[i] = Make_Label(this, Indexed("lblBit", i), QString::number(Digit[i]),
                               {Digit_Left[i], 600, 300, 495}, Qt::AlignHCenter | Qt::AlignTop);
    }
    lblBit26 = Make_Label(this, Indexed("lblBit", 26), QString(), {5175, 960, 300, 495},
                          Qt::AlignHCenter | Qt::AlignTop);
    lblData_Byte = Make_Label(this, QStringLiteral("lblData_Byte"), QStringLiteral("Data Byte"),
                              {3840, 2640, 855, 195});
    lblWrite = Make_Label(this, QStringLiteral("lblWrite"), QStringLiteral("Data Written"),
                          {2640, 3120, 1155, 285}, Qt::AlignHCenter | Qt::AlignTop);

    txtDisplay1 = Make_Text_Box(this, QStringLiteral("txtDisplay1"), {840, 360, 555, 396});
    txtDisplay1->setAlignment(Qt::AlignCenter);
    Set_Colour(txtDisplay1, QPalette::Text, QColor(0xFF0000));
    // The system's window-frame colour: the platform palette's darkest frame
    // colour, Shadow, stands in for it (black on most desktops).
    Set_Colour(txtDisplay1, QPalette::Base, QApplication::palette().color(QPalette::Shadow));
    vsbInputCode1 =
        Make_Scroll_Bar(this, QStringLiteral("vsbInputCode1"), {840, 720, 495, 1815}, 127);
    cmdZS = Make_Button(this, QStringLiteral("cmdZS"), QStringLiteral("Zero Scale"),
                        {120, 3000, 615, 495}, Preset_Green);
    cmdMS = Make_Button(this, QStringLiteral("cmdMS"), QStringLiteral("Mid Scale"),
                        {720, 3000, 615, 495}, Preset_Green);
    cmdFS = Make_Button(this, QStringLiteral("cmdFS"), QStringLiteral("Full Scale"),
                        {1320, 3000, 615, 495}, Preset_Green);

    // The system's active-title-bar colour: the platform palette's accent,
    // Highlight, stands in for it.
    const QColor title_bar = QApplication::palette().color(QPalette::Active, QPalette::Highlight);
    for (int k = 0; k < Bit_Count; ++k) {
        vsbBit[k] = Make_Scroll_Bar(this, Indexed("vsbBit", k),
                                    {Bit_Bar_Left[k], 810, Bit_Bar_Width[k], 1215}, 1);
        txtBit[k] = Make_Text_Box(this, Indexed("txtBit", k),
                                  {Bit_Box_Left[k], 2085, Bit_Box_Width[k], 495});
        Set_Colour(txtBit[k], QPalette::Text, title_bar);
    }
    txtSDA_Write = Make_Text_Box(this, QStringLiteral("txtSDA_Write"), {3960, 3000, 855, 495});
    txtSDA_Write->setAlignment(Qt::AlignCenter);
    txtSDA_Write->setFont(Sans_Serif(13.5));
    Set_Colour(txtSDA_Write, QPalette::Text, QColor(0x0000FF));
    cmdRun = Make_Button(this, QStringLiteral("cmdRun"), QStringLiteral("R&un"),
                         {5280, 3000, 1215, 495}, Run_Green);
    cmdRun->setFont(Sans_Serif(12, true));
    cmdRun->setToolTip(QStringLiteral("Run to execute"));
    cmdExit = Make_Button(this, QStringLiteral("cmdExit"), QStringLiteral("E&xit"),
                          {6960, 3000, 1215, 495}, Exit_Red);
    cmdExit->setFont(Sans_Serif(12, true));
    cmdExit->setToolTip(QStringLiteral("Exit the program"));
}

void Form1::Set_Tab_Order() {
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

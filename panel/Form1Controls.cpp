#include "panel/Form1.h"

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

QPushButton* Make_Button(QWidget* parent, const QString& name, const QString& caption,
                         Twips_Rect r) {
    auto* button = Make<QPushButton>(parent, name, r);
    button->setText(caption);
    button->setAutoDefault(false);
    return button;
}

QLabel* Make_Label(QWidget* parent, const QString& name, const QString& caption, Twips_Rect r) {
    auto* label = Make<QLabel>(parent, name, r);
    label->setText(caption);
    return label;
}

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
    setFixedSize(Pixels(8520), Pixels(4005));
    Create_Controls();
    Set_Tab_Order();
    Connect_Handlers();
}

Form1::~Form1() = default;

void Form1::Create_Controls() {
    // Labels and rectangles first: later siblings stack above earlier ones, so
    // every scroll bar, text box and button covers the labels it overlaps.
    Shape3 = Make<QFrame>(this, QStringLiteral("Shape3"), {0, 240, 2055, 3375});
    Shape1 = Make<QFrame>(this, QStringLiteral("Shape1"), {2400, 240, 4335, 3375});
    Label3 = Make_Label(this, QStringLiteral("Label3"), QStringLiteral("SDI Write"),
                        {600, 0, 1845, 300});
    lblBlSDA_Write =
        Make_Label(this, QStringLiteral("lblBlSDA_Write"),
                   QStringLiteral("SDI Write Bit Control (Click Run)"), {3000, 0, 3405, 300});
    for (int i = 0; i < Bit_Count; ++i) {
        lblBit[i] = Make_Label(this, Indexed("lblBit", i), QString::number(Digit[i]),
                               {Digit_Left[i], 600, 300, 495});
    }
    lblBit26 = Make_Label(this, Indexed("lblBit", 26), QString(), {5175, 960, 300, 495});
    lblData_Byte = Make_Label(this, QStringLiteral("lblData_Byte"), QStringLiteral("Data Byte"),
                              {3840, 2640, 855, 195});
    lblWrite = Make_Label(this, QStringLiteral("lblWrite"), QStringLiteral("Data Written"),
                          {2640, 3120, 1155, 285});

    txtDisplay1 = Make<QLineEdit>(this, QStringLiteral("txtDisplay1"), {840, 360, 555, 396});
    vsbInputCode1 =
        Make_Scroll_Bar(this, QStringLiteral("vsbInputCode1"), {840, 720, 495, 1815}, 127);
    cmdZS = Make_Button(this, QStringLiteral("cmdZS"), QStringLiteral("Zero Scale"),
                        {120, 3000, 615, 495});
    cmdMS = Make_Button(this, QStringLiteral("cmdMS"), QStringLiteral("Mid Scale"),
                        {720, 3000, 615, 495});
    cmdFS = Make_Button(this, QStringLiteral("cmdFS"), QStringLiteral("Full Scale"),
                        {1320, 3000, 615, 495});

    for (int k = 0; k < Bit_Count; ++k) {
        vsbBit[k] = Make_Scroll_Bar(this, Indexed("vsbBit", k),
                                    {Bit_Bar_Left[k], 810, Bit_Bar_Width[k], 1215}, 1);
        txtBit[k] = Make<QLineEdit>(this, Indexed("txtBit", k),
                                    {Bit_Box_Left[k], 2085, Bit_Box_Width[k], 495});
    }
    txtSDA_Write = Make<QLineEdit>(this, QStringLiteral("txtSDA_Write"), {3960, 3000, 855, 495});
    cmdRun = Make_Button(this, QStringLiteral("cmdRun"), QStringLiteral("R&un"),
                         {5280, 3000, 1215, 495});
    cmdRun->setToolTip(QStringLiteral("Run to execute"));
    cmdExit = Make_Button(this, QStringLiteral("cmdExit"), QStringLiteral("E&xit"),
                          {6960, 3000, 1215, 495});
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

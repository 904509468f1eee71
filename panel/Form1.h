#pragma once

// The window and everything on it: Form1 with its controls and handlers
// (Form1Controls.cpp, Form1Handlers.cpp), the port monitor (PortMonitor.h)
// and the painted pieces they are made of. Qt Widgets.

#include "model/BitView.h"
#include "panel/BitScrollBars.h"

#include "port/NTPort.h"

#include <QWidget>

#include <array>
#include <exception>
#include <functional>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;

// The panel's one window. The code panel picks a code and sends it at once; the
// bit panel sets the seven bits by hand and sends them with Run.
class Form1 : public QWidget {
    Q_OBJECT

public:
    // Receives the first failure inside a handler. The handler that failed
    // stops there; the sink reports and ends the program.
    using FailureSink = std::function<void(const std::exception& failure)>;

    explicit Form1(FailureSink onFailure, QWidget* parent = nullptr);
    ~Form1() override;

    // Code panel.
    QFrame* Shape3 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* txtDisplay1 = nullptr;
    QScrollBar* vsbInputCode1 = nullptr;
    QPushButton* cmdZS = nullptr;
    QPushButton* cmdMS = nullptr;
    QPushButton* cmdFS = nullptr;

    // Bit panel; index k is bit k, except for lblBit, whose indices are kept
    // as the window has always numbered its digit labels.
    QFrame* Shape1 = nullptr;
    QLabel* lblBlSDA_Write = nullptr;
    std::array<QLabel*, codeBits> lblBit{};
    QLabel* lblBit26 = nullptr;
    std::array<QScrollBar*, codeBits> vsbBit{};
    std::array<QLineEdit*, codeBits> txtBit{};
    QLabel* lblData_Byte = nullptr;
    QLabel* lblWrite = nullptr;
    QLineEdit* txtSDA_Write = nullptr;
    QPushButton* cmdRun = nullptr;

    QPushButton* cmdExit = nullptr;

    // Composes the bits into target; spreads Data_Byte over the bits.
    void Get_Data_Byte_from_Bits(double& target) const;
    void Set_Bits_from_Data_Byte();

    // Run: sends the code composed from the bits. The presets call it too.
    void cmdRun_Click();

private:
    void createControls();
    void setUpTabOrder();
    void connectHandlers();

    void vsbInputCode1_Change();
    void vsbBit_Change(int Index);
    void cmdZS_Click();
    void cmdMS_Click();
    void cmdFS_Click();
    void cmdExit_Click();
    // Zero Scale and Full Scale: every bit to one value, the code, then Run.
    void presetEveryBit(int value, int code);

    // The boundary between Qt's event delivery and a handler: a failure must
    // not unwind through Qt, so it stops here and goes to the sink.
    template <typename Handler> void runHandler(Handler&& handler) noexcept;
    void reportFailure(std::exception_ptr failure) noexcept;

    FailureSink onFailure_;
    BitScrollBars bits_{vsbBit};
};

template <typename Handler> void Form1::runHandler(Handler&& handler) noexcept {
    // After a failure the program is ending: no handler runs any more.
    if (portOutputFailed()) {
        return;
    }
    try {
        handler();
    } catch (...) {
        reportFailure(std::current_exception());
    }
}

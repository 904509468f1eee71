#pragma once

#include "model/BitView.h"
#include "panel/BitScrollBars.h"

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
    // Receives the text of any failure inside a handler. The handler that
    // failed stops there; the sink reports and ends the program.
    using Failure_Sink = std::function<void(const QString& what)>;

    static constexpr int Bit_Count = BitView::Bit_Count;

    explicit Form1(Failure_Sink on_failure, QWidget* parent = nullptr);
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
    std::array<QLabel*, Bit_Count> lblBit{};
    QLabel* lblBit26 = nullptr;
    std::array<QScrollBar*, Bit_Count> vsbBit{};
    std::array<QLineEdit*, Bit_Count> txtBit{};
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
    void Create_Controls();
    void Set_Tab_Order();
    void Connect_Handlers();

    void vsbInputCode1_Change();
    void vsbBit_Change(int Index);
    void cmdZS_Click();
    void cmdMS_Click();
    void cmdFS_Click();
    void cmdExit_Click();

    // The boundary between Qt's event delivery and a handler: a failure must
    // not unwind through Qt, so it stops here and goes to the sink.
    template <typename Handler> void Run_Handler(Handler&& handler) noexcept;
    void Report_Failure(std::exception_ptr failure) noexcept;

    Failure_Sink on_failure_;
    bool failed_ = false;
    Bit_Scroll_Bars bits_{vsbBit};
};

template <typename Handler> void Form1::Run_Handler(Handler&& handler) noexcept {
    // After a failure the program is ending: no handler runs any more.
    if (failed_) {
        return;
    }
    try {
        handler();
    } catch (...) {
        Report_Failure(std::current_exception());
    }
}

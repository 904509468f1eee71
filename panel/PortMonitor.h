#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class SimulatedBoard;
class Timing_Diagram;
struct LatchedFrame;

// A second window that follows the frames the board latches: the code it
// holds, the last frame's words and timing, the count of frames, and a
// warning when a frame was malformed. It only watches; it changes nothing.
class Port_Monitor : public QWidget {
    Q_OBJECT

public:
    // held_code_caption tells whose code is shown: the simulated chip's, or
    // on a real port the code last sent.
    Port_Monitor(SimulatedBoard& board, const QString& held_code_caption,
                 QWidget* parent = nullptr);

    QLabel* lblCode = nullptr;
    QProgressBar* barCode = nullptr;
    QLabel* lblWords = nullptr;
    Timing_Diagram* diagram = nullptr;
    QLabel* lblFrames = nullptr;
    QLabel* lblWarning = nullptr;

private:
    void Show_Frame(const LatchedFrame& frame);

    SimulatedBoard& board_;
};

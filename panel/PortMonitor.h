#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class SimulatedBoard;
class TimingDiagram;
struct LatchedFrame;

// A second window that follows the frames the board latches: the code it
// holds, the last frame's words and timing, the count of frames, and a
// warning when a frame was malformed. It only watches; it changes nothing.
class PortMonitor : public QWidget {
    Q_OBJECT

public:
    // heldCodeCaption tells whose code is shown: the simulated chip's, or
    // on a real port the code last sent.
    PortMonitor(SimulatedBoard& board, const QString& heldCodeCaption, QWidget* parent = nullptr);

private:
    void showFrame(const LatchedFrame& frame);

    SimulatedBoard& board_;
    // Their object names drop the trailing underscore: "codeLabel", "codeBar"...
    QLabel* codeLabel_;
    QProgressBar* codeBar_;
    QLabel* wordsLabel_;
    TimingDiagram* diagram_;
    QLabel* framesLabel_;
    QLabel* warningLabel_;
};

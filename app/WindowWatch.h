#pragma once

#include <QAbstractNativeEventFilter>

class QWidget;

// Ends the event loop, as closing the window does, when the window system
// destroys the panel's window without closing it first (a window killed from
// outside); otherwise the program would live on with no window.
class WindowWatch : public QAbstractNativeEventFilter {
public:
    explicit WindowWatch(const QWidget& window) : window_(window) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    const QWidget& window_;
};

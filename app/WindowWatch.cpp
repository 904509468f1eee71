#include "app/WindowWatch.h"

#include <QCoreApplication>
#include <QWidget>

#include <xcb/xproto.h>

bool WindowWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) {
        return false;
    }
    const auto* destroyed = static_cast<const xcb_destroy_notify_event_t*>(message);
    if (window_.testAttribute(Qt::WA_WState_Created) && destroyed->window == window_.winId()) {
        QCoreApplication::exit(0);
    }
    return false;
}

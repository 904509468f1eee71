#pragma once

#include "setup/CommandLine.h"

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiSimplePoll;

// Advertises the instrument by mDNS/DNS-SD through the Avahi daemon, as other
// Linux services advertise themselves: _scpi-raw._tcp on the raw port,
// _vxi-11._tcp on the portmapper's port 111, and with the web page _lxi._tcp
// and _http._tcp on its port (TXT path=/), with the TXT records an LXI
// client reads (maker, model, serial number, version), on the interface the
// server listens on (every one for 0.0.0.0 or [::]). Its Avahi client waits
// in the server's one poll: wait() is the server's way of waiting. With no
// daemon it says so once and advertises as soon as one starts.
class Advertiser {
public:
    struct Services {
        ListenAddress listen;
        unsigned short rawPort = 0;
        bool vxi11 = false;          // the VXI-11 door is served
        unsigned short httpPort = 0; // the web page's port; 0: no page
        // Told the name Avahi gives this host on the link ("bench.local",
        // or "bench-2.local" after a clash), each time it is known.
        std::function<void(const std::string&)> named;
    };

    explicit Advertiser(std::function<void(std::string)> say);
    ~Advertiser();
    Advertiser(const Advertiser&) = delete;
    Advertiser& operator=(const Advertiser&) = delete;

    // Whether an address reaches beyond this machine: nothing is advertised
    // for the loopback.
    static bool reachesOut(const ListenAddress& address);

    // Starts advertising; false, having said why, when it cannot at all.
    bool start(Services services);
    // Polls the server's descriptors and Avahi's together.
    int wait(std::vector<pollfd>& watched, int timeoutMs);

private:
    static void clientChanged(AvahiClient* client, int state, void* self);
    static void groupChanged(AvahiEntryGroup* group, int state, void* self);
    static int pollTogether(pollfd* avahi, unsigned count, int timeoutMs, void* self);
    void publish(AvahiClient* client);
    void connect();

    std::function<void(std::string)> say_;
    Services services_;
    int interface_ = -1; // AVAHI_IF_UNSPEC
    int protocol_ = -1;  // AVAHI_PROTO_UNSPEC
    std::string name_;
    AvahiSimplePoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    bool toldAbsent_ = false;
    bool reconnect_ = false;
    std::vector<pollfd>* ours_ = nullptr;
    int ourResult_ = 0;
};

#include "scpi/Advertiser.h"

#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace {

// What an LXI client reads from an instrument's TXT records.
constexpr const char* maker = "Manufacturer=Zovrel";
constexpr const char* model = "Model=Zovrel Rev B";
constexpr const char* serial = "SerialNumber=0";
constexpr const char* version = "FirmwareVersion=" ZOVREL_VERSION;
constexpr unsigned short portmapper = 111;

// The interface that holds the address, by index; -1 when none does.
int interfaceOf(const ListenAddress& address, int family) {
    unsigned char wanted[16];
    if (inet_pton(family, address.host.c_str(), wanted) != 1) {
        return -1;
    }
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) {
        return -1;
    }
    int index = -1;
    for (const ifaddrs* a = all; a && index < 0; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != family) {
            continue;
        }
        const void* held = family == AF_INET
                               ? static_cast<const void*>(
                                     &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr)
                               : &reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr;
        if (std::memcmp(held, wanted, family == AF_INET ? 4 : 16) == 0) {
            index = static_cast<int>(if_nametoindex(a->ifa_name));
        }
    }
    freeifaddrs(all);
    return index;
}

} // namespace

Advertiser::Advertiser(std::function<void(std::string)> say) : say_(std::move(say)) {}

Advertiser::~Advertiser() {
    if (client_) {
        avahi_client_free(client_); // frees the group too, withdrawing the services
    }
    if (poll_) {
        avahi_simple_poll_free(poll_);
    }
}

bool Advertiser::reachesOut(const ListenAddress& address) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) != 127;
    }
    return inet_pton(AF_INET6, address.host.c_str(), &v6) == 1 && !IN6_IS_ADDR_LOOPBACK(&v6) &&
           !(IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

bool Advertiser::start(Services services) {
    services_ = std::move(services);
    const bool v6 = services_.listen.host.find(':') != std::string::npos;
    if (services_.listen.host != "0.0.0.0" && services_.listen.host != "::") {
        interface_ = interfaceOf(services_.listen, v6 ? AF_INET6 : AF_INET);
        protocol_ = v6 ? AVAHI_PROTO_INET6 : AVAHI_PROTO_INET;
    }
    poll_ = avahi_simple_poll_new();
    if (!poll_) {
        say_("mDNS: cannot start Avahi's poll (no memory): the instrument is not advertised");
        return false;
    }
    avahi_simple_poll_set_func(poll_, &Advertiser::pollTogether, this);
    connect();
    return client_ != nullptr;
}

void Advertiser::connect() {
    int error = 0;
    // NO_FAIL: without a daemon the client waits for one and connects when it starts.
    client_ = avahi_client_new(avahi_simple_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                               reinterpret_cast<AvahiClientCallback>(&Advertiser::clientChanged),
                               this, &error);
    if (!client_) {
        say_(std::string("mDNS: cannot reach Avahi (") + avahi_strerror(error) +
             "): the instrument is not advertised");
    }
}

void Advertiser::clientChanged(AvahiClient* client, int state, void* self) {
    auto& a = *static_cast<Advertiser*>(self);
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        a.toldAbsent_ = false;
        a.publish(client);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled: publish again once it is.
        if (a.group_) {
            avahi_entry_group_reset(a.group_);
        }
        break;
    case AVAHI_CLIENT_CONNECTING:
        if (!a.toldAbsent_) {
            a.say_("mDNS: no Avahi daemon is running, so the instrument is not advertised; it "
                   "will be once avahi-daemon starts");
            a.toldAbsent_ = true;
        }
        break;
    case AVAHI_CLIENT_FAILURE:
        a.say_(std::string("mDNS: Avahi failed (") + avahi_strerror(avahi_client_errno(client)) +
               "); trying again");
        a.reconnect_ = true;
        break;
    default:
        break;
    }
}

void Advertiser::groupChanged(AvahiEntryGroup* group, int state, void* self) {
    auto& a = *static_cast<Advertiser*>(self);
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        a.say_("mDNS: advertised as '" + a.name_ + "' (_scpi-raw._tcp" +
               (a.services_.vxi11 ? ", _vxi-11._tcp" : "") +
               (a.services_.httpPort ? ", _lxi._tcp, _http._tcp)" : ")"));
    } else if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        char* other = avahi_alternative_service_name(a.name_.c_str());
        a.name_ = other;
        avahi_free(other);
        a.publish(avahi_entry_group_get_client(group));
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        a.say_(std::string("mDNS: advertising failed: ") +
               avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
}

void Advertiser::publish(AvahiClient* client) {
    if (!group_) {
        group_ = avahi_entry_group_new(
            client, reinterpret_cast<AvahiEntryGroupCallback>(&Advertiser::groupChanged), this);
        if (!group_) {
            say_(std::string("mDNS: ") + avahi_strerror(avahi_client_errno(client)));
            return;
        }
    }
    if (const char* fqdn = avahi_client_get_host_name_fqdn(client); fqdn && services_.named) {
        services_.named(fqdn);
    }
    if (name_.empty()) {
        const char* host = avahi_client_get_host_name(client);
        name_ = std::string("Zovrel Rev B on ") + (host ? host : "this host");
    }
    avahi_entry_group_reset(group_);
    const auto add = [&](const char* type, unsigned short port, const char* path = nullptr) {
        return avahi_entry_group_add_service(group_, interface_, protocol_, AvahiPublishFlags(0),
                                             name_.c_str(), type, nullptr, nullptr, port,
                                             "txtvers=1", maker, model, serial, version, path,
                                             static_cast<const char*>(nullptr));
    };
    int error = add("_scpi-raw._tcp", services_.rawPort);
    if (error == 0 && services_.vxi11) {
        error = add("_vxi-11._tcp", portmapper);
    }
    for (const char* page : {"_lxi._tcp", "_http._tcp"}) {
        if (error == 0 && services_.httpPort != 0) {
            error = add(page, services_.httpPort, "path=/");
        }
    }
    if (error == AVAHI_ERR_COLLISION) {
        char* other = avahi_alternative_service_name(name_.c_str());
        name_ = other;
        avahi_free(other);
        publish(client);
        return;
    }
    if (error != 0 || (error = avahi_entry_group_commit(group_)) != 0) {
        say_(std::string("mDNS: cannot advertise: ") + avahi_strerror(error));
    }
}

int Advertiser::pollTogether(pollfd* avahi, unsigned count, int timeoutMs, void* self) {
    auto& a = *static_cast<Advertiser*>(self);
    std::vector<pollfd> all(avahi, avahi + count);
    all.insert(all.end(), a.ours_->begin(), a.ours_->end());
    const int ready = ::poll(all.data(), all.size(), timeoutMs);
    a.ourResult_ = ready;
    if (ready < 0) {
        return ready;
    }
    int avahiReady = 0;
    for (unsigned i = 0; i < count; ++i) {
        avahi[i].revents = all[i].revents;
        avahiReady += avahi[i].revents != 0;
    }
    for (std::size_t i = 0; i < a.ours_->size(); ++i) {
        (*a.ours_)[i].revents = all[count + i].revents;
    }
    return avahiReady;
}

int Advertiser::wait(std::vector<pollfd>& watched, int timeoutMs) {
    ours_ = &watched;
    ourResult_ = 0;
    if (avahi_simple_poll_prepare(poll_, timeoutMs) < 0 || avahi_simple_poll_run(poll_) < 0) {
        return errno == EINTR ? 0 : -1;
    }
    avahi_simple_poll_dispatch(poll_);
    if (reconnect_) {
        reconnect_ = false;
        group_ = nullptr;
        avahi_client_free(client_);
        connect();
    }
    return ourResult_;
}

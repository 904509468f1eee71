#include "scpi/NetworkFacts.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

std::optional<unsigned long> readHex(const std::string& text) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
    if (text.size() != 8 || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::string defaultGateway(const std::string& routeTable, const std::string& interfaceName) {
    std::istringstream lines(routeTable);
    std::string line;
    std::getline(lines, line); // the column names
    std::optional<unsigned long> best;
    unsigned long bestMetric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway;
        unsigned flags = 0, references = 0, use = 0;
        unsigned long metric = 0;
        if (!(fields >> name >> destination >> gateway >> std::hex >> flags >> std::dec >>
              references >> use >> metric)) {
            continue;
        }
        // The kernel prints the address as the word it holds, in this
        // machine's byte order; the route with the lowest metric is used.
        const auto word = readHex(gateway);
        if (name == interfaceName && destination == "00000000" && (flags & RTF_UP) &&
            (flags & RTF_GATEWAY) && word && (!best || metric < bestMetric)) {
            best = word;
            bestMetric = metric;
        }
    }
    if (!best) {
        return "0.0.0.0";
    }
    in_addr address{};
    address.s_addr = static_cast<in_addr_t>(*best);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string defaultGateway(const std::string& interfaceName) {
    std::ifstream file("/proc/net/route");
    std::stringstream table;
    table << file.rdbuf();
    return defaultGateway(table.str(), interfaceName);
}

bool addressLeased(const std::string& interfaceName, const std::string& address) {
    in_addr wanted{};
    const unsigned index = if_nametoindex(interfaceName.c_str());
    if (index == 0 || inet_pton(AF_INET, address.c_str(), &wanted) != 1) {
        return false;
    }
    const int link = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (link < 0) {
        return false;
    }
    struct {
        nlmsghdr header;
        ifaddrmsg message;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = RTM_GETADDR;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.message.ifa_family = AF_INET;
    // The kernel answers at once; a second is plenty, and the start of the
    // server never hangs on it.
    const timeval patience{1, 0};
    ::setsockopt(link, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    bool leased = false;
    bool done = ::send(link, &ask, sizeof ask, 0) != static_cast<ssize_t>(sizeof ask);
    alignas(nlmsghdr) char buffer[32768];
    while (!done) {
        ssize_t got = ::recv(link, buffer, sizeof buffer, MSG_TRUNC);
        if (got <= 0 || got > static_cast<ssize_t>(sizeof buffer)) {
            break; // nothing, or a message cut short: not known, so not said
        }
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, got);
             h = NLMSG_NEXT(h, got)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
                continue;
            }
            const auto* message = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
            if (message->ifa_index != index) {
                continue;
            }
            int length = static_cast<int>(IFA_PAYLOAD(h));
            for (auto* a = IFA_RTA(message); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
                if (a->rta_type == IFA_LOCAL && RTA_PAYLOAD(a) == sizeof wanted &&
                    std::memcmp(RTA_DATA(a), &wanted, sizeof wanted) == 0) {
                    // An address set for good is permanent; one a lease gave
                    // has a lifetime.
                    leased = !(message->ifa_flags & IFA_F_PERMANENT);
                }
            }
        }
    }
    ::close(link);
    return leased;
}

bool linkLocal(const std::string& address) {
    return address.rfind("169.254.", 0) == 0;
}

#pragma once

#include <string>

// What the identification XML says of the interface the page is served on,
// read from the kernel rather than assumed.

// The IPv4 gateway of the default route through interfaceName, from a
// routing table as /proc/net/route gives it; "0.0.0.0" when it has none.
std::string defaultGateway(const std::string& routeTable, const std::string& interfaceName);
std::string defaultGateway(const std::string& interfaceName);

// Whether the IPv4 address on interfaceName was leased (it has a lifetime,
// as a DHCP client sets) rather than set for good.
bool addressLeased(const std::string& interfaceName, const std::string& address);

// Whether address is IPv4 link-local (169.254/16), as an interface takes
// for itself when no server gives it one.
bool linkLocal(const std::string& address);

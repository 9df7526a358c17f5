// Unlisted targets: the one shape a caller may name, the one address it stands for, and where such
// a target may point. What a caller names goes into the module's URL, and the module fetches
// whatever it is given: so nothing past host[:port] may pass, the host is resolved here once and
// the module is handed that address, and the address must be one the configuration allows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "web/address.h"

namespace kestrel::exporter {

// Whether text is host[:port]: a host name, an IPv4 address or a bracketed IPv6 address, and a
// port from 1 to 65535. Nothing else reaches the module from a caller: no user, path, query or
// fragment, no percent escapes. host comes without brackets; port is 0 when none is given.
bool SplitHostAndPort(const std::string& text, std::string& host, uint16_t& port);
bool IsHostAndPort(const std::string& text);

// The address host names without asking a name server: IPv4 in every form the C library and
// libcurl take (127.1, 2130706433, 0x7f.1, 017700000001), IPv6 (an IPv4-mapped one as the IPv4
// address it carries), and localhost and *.localhost, which are loopback by definition (RFC 6761:
// libcurl never asks DNS for them either). false for any other name.
bool LiteralAddress(const std::string& host, web::IpAddress& address);

// The addresses a name server gives for host, in the order the system prefers; empty with error
// saying why. May block for as long as the system's resolver takes.
std::vector<web::IpAddress> ResolveHost(const std::string& host, std::string& error);

// "192.0.2.7:80", "[2001:db8::7]:443": the name of an unlisted target, and the host text its
// provider is given, so every spelling of one address and port is one target.
std::string AddressAndPort(const web::IpAddress& address, uint16_t port);

// The addresses of this machine's interfaces now.
std::vector<web::IpAddress> OwnAddresses();

// Why an unlisted target at address:port may not be fetched; empty when it may. It may when
// reachable lists a network holding address, except: link-local addresses (cloud metadata
// services), loopback, the unspecified address (which reaches this machine) and own_addresses
// only when a listed network lies within their range (169.254.0.0/16, 127.0.0.0/8, the address
// itself, ...), never through a wider one; and never this machine at own_port, the exporter itself.
std::string UnreachableReason(const web::IpAddress& address, uint16_t port,
                              const std::vector<web::Network>& reachable, uint16_t own_port,
                              const std::vector<web::IpAddress>& own_addresses);

}  // namespace kestrel::exporter

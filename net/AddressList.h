// What a configured server address stands for: the socket addresses to connect to, in the order a
// connection should try them.
#pragma once

#include "framework/Text.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <vector>

// One address to try, with the port already in it.
struct ServerAddress {
    sockaddr_storage address;
    int length;

    int Family() const noexcept { return address.ss_family; }
    const sockaddr* Get() const noexcept { return reinterpret_cast<const sockaddr*>(&address); }
};

// The addresses of host for port (its low 16 bits):
// - dotted-decimal IPv4 as inet_addr reads it: that one address, without any lookup;
// - an IPv6 literal, bare or in brackets ("::1", "[::1]"), with an optional zone ("fe80::1%3");
//   the brackets hold a literal only, never a name;
// - otherwise a host name: every IPv4 and IPv6 address the resolver gives, families interleaved.
// False with WSAEINVAL when nothing usable resolves (the resolver's own error is replaced, as the
// connect has always reported it). CMemoryException is not raised: std::bad_alloc may pass.
bool ResolveServerAddresses(const CText& host, unsigned port, std::vector<ServerAddress>& addresses);

// Keeps the resolver's order (it sorts by RFC 6724) within each family and alternates the families,
// starting with the first address's, as RFC 8305 asks: a broken path of one family then costs one
// attempt's delay, not one per address of that family.
void InterleaveFamilies(std::vector<ServerAddress>& addresses);

// Resolving the server address: the numeric forms first, then the system's resolver.
#include "net/AddressList.h"

#include "net/WinsockCalls.h"

#include <cstring>

namespace {

bool Append(std::vector<ServerAddress>& addresses, const sockaddr* address, size_t length, unsigned port) {
    ServerAddress entry;
    std::memset(&entry, 0, sizeof entry);
    if (length > sizeof entry.address) return false;
    std::memcpy(&entry.address, address, length);
    entry.length = static_cast<int>(length);
    const u_short networkPort = htons(static_cast<u_short>(port));
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in))
        reinterpret_cast<sockaddr_in*>(&entry.address)->sin_port = networkPort;
    else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6))
        reinterpret_cast<sockaddr_in6*>(&entry.address)->sin6_port = networkPort;
    else
        return false; // a family nothing here can connect to
    addresses.push_back(entry);
    return true;
}

// Frees what getaddrinfo gave on every way out, a failed append's exception included.
class FoundAddresses {
public:
    FoundAddresses() = default;
    ~FoundAddresses() { winsock::FreeAddrInfo(list); }
    FoundAddresses(const FoundAddresses&) = delete;
    FoundAddresses& operator=(const FoundAddresses&) = delete;
    addrinfo* list = nullptr;
};

} // namespace

bool ResolveServerAddresses(const CText& host, unsigned port, std::vector<ServerAddress>& addresses) {
    addresses.clear();
    // Dotted-decimal text is used as it stands, with no lookup, exactly as before names could
    // resolve to IPv6; the all-ones address is not numeric to inet_addr and goes to the resolver.
    sockaddr_in ipv4;
    std::memset(&ipv4, 0, sizeof ipv4);
    ipv4.sin_family = AF_INET;
    ipv4.sin_addr.s_addr = winsock::InetAddr(host.Data());
    if (ipv4.sin_addr.s_addr != INADDR_NONE) {
        Append(addresses, reinterpret_cast<const sockaddr*>(&ipv4), sizeof ipv4, port);
        return true;
    }

    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    CText name = host;
    const size_t length = host.Length();
    if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
        // An IPv6 literal written as in a URL; a name in brackets is no address.
        name = CText(host.Data() + 1, length - 2);
        hints.ai_family = AF_INET6;
        hints.ai_flags = AI_NUMERICHOST;
    }
    FoundAddresses found;
    if (name.IsEmpty() || winsock::GetAddrInfo(name.Data(), &hints, &found.list) != 0) {
        winsock::SetLastError(WSAEINVAL);
        return false;
    }
    for (const addrinfo* entry = found.list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr != nullptr) Append(addresses, entry->ai_addr, entry->ai_addrlen, port);
    }
    if (addresses.empty()) {
        winsock::SetLastError(WSAEINVAL);
        return false;
    }
    InterleaveFamilies(addresses);
    return true;
}

void InterleaveFamilies(std::vector<ServerAddress>& addresses) {
    if (addresses.empty()) return;
    const int firstFamily = addresses.front().Family();
    std::vector<ServerAddress> first;
    std::vector<ServerAddress> other;
    for (const ServerAddress& entry : addresses) (entry.Family() == firstFamily ? first : other).push_back(entry);
    addresses.clear();
    for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size()) addresses.push_back(first[i]);
        if (i < other.size()) addresses.push_back(other[i]);
    }
}

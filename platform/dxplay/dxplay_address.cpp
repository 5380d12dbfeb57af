#include "platform/dxplay/dxplay_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace dxplayaddr {

namespace {

// A datagram to an interface's directed broadcast address reaches every
// machine on that network (ENet's socket may broadcast).
bool IsLocalBroadcast(uint32_t ip)
{
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return false;
    bool found = false;
    for (ifaddrs* i = all; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || i->ifa_netmask == nullptr) continue;
        const uint32_t addr = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        // A /31 or /32 has no broadcast address.
        if (mask >= 0xFFFFFFFEu) continue;
        found = ip == (addr | ~mask);
    }
    freeifaddrs(all);
    return found;
}

}  // namespace

bool IsPeerUnicast(uint32_t ip)
{
    const uint32_t top = ip >> 24;
    if (top == 0 || top == 127 || top >= 224) return false;
    return !IsLocalBroadcast(ip);
}

std::optional<uint32_t> DialAddress(uint32_t ip, uint16_t port, uint32_t hostIp, uint16_t portBase, int portRange)
{
    if (port == 0 || port < portBase || port >= portBase + portRange) return std::nullopt;
    ip = AnnouncedAddress(ip, hostIp);
    // Still loopback: the host is on this machine, and so is the player.
    if (IsLoopback(ip)) return ip;
    if (!IsPeerUnicast(ip)) return std::nullopt;
    return ip;
}

uint32_t AnnouncedAddress(uint32_t ip, uint32_t hostIp)
{
    if (IsLoopback(ip) && !IsLoopback(hostIp)) return hostIp;
    return ip;
}

bool ClaimMatches(uint32_t ip, uint16_t port, uint32_t fromIp, uint16_t fromPort)
{
    if (ip == 0 || port != fromPort) return false;
    if (IsLoopback(ip)) return IsLoopback(fromIp);
    return ip == fromIp;
}

}  // namespace dxplayaddr

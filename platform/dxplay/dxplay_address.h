// Which addresses the session layer trusts. A host's welcome names the
// addresses a joiner then connects to, and its announce names the address a
// newcomer will greet us from; both come off the wire, so a hostile host
// could aim joiners at any machine's ports or let a stranger claim a player.
// Pure functions, every address IPv4 in host byte order.
#pragma once

#include <cstdint>
#include <optional>

namespace dxplayaddr {

inline bool IsLoopback(uint32_t ip) { return (ip >> 24) == 127; }

// Whether ip can be one machine on a network: not "this network" (0/8),
// loopback, multicast (224/4) or the reserved block that holds the
// broadcast address (240/4), nor a directed broadcast of one of this
// machine's interfaces.
bool IsPeerUnicast(uint32_t ip);

// The address to dial for a player the welcome lists at ip:port, or nothing
// for an entry that cannot be a player: a port outside the game's range
// [portBase, portBase + portRange), or an address that is not a peer's.
// A player the host reaches on its own machine (loopback) is reached on the
// host's address by everyone who is not on that machine too.
std::optional<uint32_t> DialAddress(uint32_t ip, uint16_t port, uint32_t hostIp, uint16_t portBase, int portRange);

// Where an announced player is to be found, given the address the host
// announced and the host's own address: loopback from a host elsewhere
// means the host's machine; 0 stays 0 (matched by nothing).
uint32_t AnnouncedAddress(uint32_t ip, uint32_t hostIp);

// Whether a connection from fromIp:fromPort may be the player announced at
// ip:port. An announced 0 is matched by nothing; loopback only by loopback,
// since a program on this machine may reach us through any 127/8 address.
bool ClaimMatches(uint32_t ip, uint16_t port, uint32_t fromIp, uint16_t fromPort);

}  // namespace dxplayaddr

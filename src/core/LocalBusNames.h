// The names of the local interface on D-Bus: the bus name the server owns,
// its two objects and their interfaces. The D-Bus policy file that the
// service installation writes lets the service own the bus name, root and
// the service's group call every method, and everyone else the pure reads
// (the interface's own login then decides what a change may do).
#pragma once

namespace zorv {

inline constexpr const char* kLocalBusName = "Zorv18server.LocalInterface";
inline constexpr const char* kLocalObjectPath = "/LocalInterface";
inline constexpr const char* kLocalInterfaceName = "Zorv18server.ILocalInterface";
inline constexpr const char* kDbGatewayPath = "/DbGatewayInterface";
inline constexpr const char* kDbGatewayInterfaceName = "Zorv18server.IDbGatewayInterface";

}  // namespace zorv

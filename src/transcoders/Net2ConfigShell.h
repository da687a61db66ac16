// The network configuration of a NET2 transcoder, read and written through
// its text shell as user "admin" (the datagram kind of transcoder uses its
// configuration packets instead).
//
// Read: log in, "info" (description, address, mask, router, configuration
// port), "user:getpassmode 1" and, when user 1 asks a password,
// "user:getpassmode 0" (protection level). Write: log in, check the start
// user's password mode, then "setdescription", "IP", "mask", "router", the
// password modes and passwords of the protection level, "configport",
// "user:save" and "restart".
//
// Results: kSuccess; kBadPassword when the shell refuses the login;
// kSendFailed for every other failure (connection, a reply that is not OK or
// not in the expected shape, an unknown protection level, a text that cannot
// be sent as one shell line). The connection is closed before either
// function returns, on every path.
//
// Both run on the caller's thread and use the controller given; the caller
// holds the lock that owns that controller (the configurator's lock).
#pragma once

#include <cstdint>
#include <string>

#include "transcoders/TelnetController.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {

inline constexpr const char* kNet2AdminUser = "admin";

// Reads the configuration of the transcoder at host, shell port shellPort
// (23 unless the settings move it), logging in with password. On success
// sets Description, IpAddr, SubNetMask, DefaultGateway, ConfigPort,
// ProtectLevel, FilterMinAddr (0.0.0.1) and FilterMaxAddr (255.255.255.255)
// of config and leaves its other fields alone; on failure config is
// unchanged.
RequestResult ReadNet2Config(CTelnetController& shell, const std::string& host, uint16_t shellPort,
                             const std::string& password, DeviceConfig& config);

// Writes newConfig to the transcoder at host, logging in with its
// CurrPassword. current is the configuration the server holds for the
// transcoder; on success addressChanged tells whether AddressType, IpAddr or
// ConfigPort differ from it (the transcoder will answer at its new address,
// so the caller forgets the found entry). addressChanged is false on failure.
// newConfig's texts must not hold control characters (they would end the
// shell line): such a configuration is refused (kSendFailed) before
// anything is sent.
RequestResult WriteNet2Config(CTelnetController& shell, const std::string& host, uint16_t shellPort,
                              const DeviceConfig& newConfig, const DeviceConfig& current,
                              bool& addressChanged);

}  // namespace zorv

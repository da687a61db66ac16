// The registered transcoders and the search configuration, and their settings
// file "Transcoders.ini".
//
// Sections:
//   "Transcoder-%u" (positions 0..99): Started, SerialNumber, IPAddress
//       ("a.b.c.d:port"), AonLevel, AonReqForm, TranscoderType (1 or 2),
//       DataPort, ChannelsCount, Password (32 bytes, enciphered by the
//       credential cipher, written as a checksummed structure value);
//   "PingPorts": Port0, Port1, ... the UDP ports searched by broadcast;
//   "PingAddress": Address0, ... "a.b.c.d:port" polled directly;
//   "AdvancedParam": SearchAutoStopTime (broadcast cycles of one search,
//       default 120), ShellPort (port of the NET2 text shell, default 23),
//       SearchBroadcastAddress (where searches are broadcast, default
//       255.255.255.255).
// Positions are section numbers: every change of the registration list
// rewrites the sections from the position it touched.
//
// The passwords can be recovered from the file, so it is for the service's
// user only (0600): written so, and a file with wider bits is narrowed when
// it is loaded.
//
// Every value read from the file goes through ValidateTranscoderSection (a
// registration) or the list and advanced-key readers of Load; what does not
// pass is treated as missing. A section that is not accepted is skipped, so
// the registrations after it move up one position; the first save after such
// a load rewrites the whole list, so that no section keeps a stale copy.
//
// Not thread-safe: the configurator calls it under its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IniFile.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv {

inline constexpr std::size_t kMaxRegisteredTranscoders = 100;
inline constexpr uint32_t kDefaultSearchAutoStopTime = 120;
inline constexpr uint16_t kDefaultShellPort = 23;

enum TranscoderClass : uint8_t { kDatagramTranscoder = 1, kNet2Transcoder = 2 };

// One registration: the stored record plus what the configurator keeps with it.
struct RegisteredTranscoder {
    tagStoredTranscoderConfig stored{};
    uint32_t aonLevel = 100;          // percent
    uint32_t aonForm = 0;             // 0 sine, 1 square
    CTranscoderFlow* flow = nullptr;  // set when its channel device registers
};

// Where a registry change acted.
struct RegistryPlace {
    uint32_t position = 0;
    uint32_t serial = 0;
};

// Longest broadcast port list and polled address list kept (and read).
inline constexpr std::size_t kMaxSearchListEntries = 1000;

// The nine keys of one "Transcoder-%u" section as found in the file: a key
// that is missing is nullopt, and so is a Password that is not a 32-byte
// structure value with a good checksum. The password is still enciphered.
struct TranscoderSectionValues {
    std::optional<std::string> started;
    std::optional<std::string> serialNumber;
    std::optional<std::string> ipAddress;
    std::optional<std::string> aonLevel;
    std::optional<std::string> aonReqForm;
    std::optional<std::string> transcoderType;
    std::optional<std::string> dataPort;
    std::optional<std::string> channelsCount;
    std::optional<std::array<uint8_t, kTranscoderTextSize>> password;
};

// The one check of a stored registration: nullopt when a key is missing or
// its value unusable (a number out of its field's range, a port above 65535,
// an IPAddress that does not parse, a TranscoderType other than 1 or 2).
// Numbers are read as the leading decimal digits of the value, as every
// settings value is. The password comes back deciphered and terminated
// within its 32 bytes.
std::optional<RegisteredTranscoder> ValidateTranscoderSection(
    const TranscoderSectionValues& values);

class CTranscoderRegistry {
public:
    explicit CTranscoderRegistry(std::string iniPath);

    // Reads the whole file: accepted registrations in position order (their
    // addresses joined to the polled list), ports, addresses, advanced keys.
    // First takes the group's and others' bits from the file.
    void Load();

    const std::vector<RegisteredTranscoder>& Transcoders() const { return m_transcoders; }
    RegisteredTranscoder* FindBySerial(uint32_t serial);
    const RegisteredTranscoder* FindBySerial(uint32_t serial) const;
    std::optional<uint32_t> PositionOf(uint32_t serial) const;

    // addNetDevice: nullopt for a serial already registered or a full list;
    // a position at or past the end appends. Saves, polls the address.
    std::optional<RegistryPlace> Add(uint32_t position, const tagStoredTranscoderConfig& config);
    // removeNetDevice: drops the registration and its polled address; saves.
    std::optional<RegistryPlace> Remove(uint32_t serial);
    // reposNetDevice: moves a registration (a new position at or past the
    // end moves it to the end); saves. The place is where it now stands.
    std::optional<RegistryPlace> Reposition(uint32_t position, uint32_t newPosition);
    // setConfigNetDevice: replaces the registration of serial, keeping its
    // position and AON settings; flags bit 0 also replaces the stored password.
    std::optional<RegistryPlace> Replace(uint32_t serial, const tagStoredTranscoderConfig& config,
                                         uint32_t flags);
    // Sets the start flag of a registration and saves it.
    bool SetStarted(uint32_t serial, bool started);
    // Stores a transcoder's new address (it answered from elsewhere): the old
    // address leaves the polled list, the new one joins it; saves.
    bool MoveTo(uint32_t serial, const TranscoderAddress& address);
    bool SetAonForm(uint32_t serial, uint32_t level, uint32_t form);

    // Broadcast ports ("PingPorts"); each change saves the list.
    const std::vector<uint16_t>& PingPorts() const { return m_pingPorts; }
    bool AddPingPort(uint16_t port);     // false when already there, 0 or the list is full
    bool RemovePingPort(uint16_t port);  // false when not there
    // Polled addresses ("PingAddress"); each change saves the list.
    const std::vector<TranscoderAddress>& PingAddresses() const { return m_pingAddresses; }
    // False when already there, its IP part is 0 or the list is full.
    bool AddPingAddress(const TranscoderAddress& address);
    bool RemovePingAddress(const TranscoderAddress& address);  // false when not there

    uint32_t SearchAutoStopTime() const { return m_searchAutoStopTime; }
    uint16_t ShellPort() const { return m_shellPort; }
    uint32_t SearchBroadcastAddress() const { return m_broadcastAddress; }

    // False when the last write of the file failed (the change is kept in
    // memory all the same); for the caller's journal.
    bool LastSaveOk() const { return m_lastSaveOk; }

private:
    // Each writes its part of the file; false when a write failed.
    bool SaveOne(std::size_t position);
    bool SaveAll();
    bool SavePingPorts();
    bool SavePingAddresses();
    // Joins an address to the polled list (no duplicates, no IP 0) without
    // saving; true when it was added.
    bool Poll(const TranscoderAddress& address);
    // Drops a registration's old address from the polled list unless another
    // registration still has it; true when it was removed.
    bool Unpoll(const TranscoderAddress& address);

    IniFile m_file;
    std::vector<RegisteredTranscoder> m_transcoders;
    std::vector<uint16_t> m_pingPorts;
    std::vector<TranscoderAddress> m_pingAddresses;
    uint32_t m_searchAutoStopTime = kDefaultSearchAutoStopTime;
    uint16_t m_shellPort = kDefaultShellPort;
    uint32_t m_broadcastAddress = 0xFFFFFFFF;
    // Set by Load when a skipped section moved later registrations up.
    bool m_sectionsShifted = false;
    bool m_lastSaveOk = true;
};

}  // namespace zorv

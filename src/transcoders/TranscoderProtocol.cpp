#include "transcoders/TranscoderProtocol.h"

#include <algorithm>
#include <cstring>

namespace zorv {

namespace {

// Terminates a text field inside its size, cutting a text that fills it.
template <std::size_t N>
void Terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

void TerminateTexts(DeviceConfig& config) {
    Terminate(config.Description);
    Terminate(config.CurrPassword);
    Terminate(config.NewPassword);
    Terminate(config.StartPassword);
}

uint16_t ReadBigEndian16(const uint8_t (&bytes)[2]) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void WriteBigEndian16(uint8_t (&bytes)[2], uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

template <typename Wire>
Wire ReadWire(std::span<const uint8_t> datagram) {
    Wire wire;
    std::memcpy(&wire, datagram.data(), sizeof wire);
    return wire;
}

TranscoderPacket FromWire(const TranscoderWire184& wire) {
    TranscoderPacket packet;
    packet.layout = TranscoderLayout::kCurrent;
    packet.type = wire.type;
    packet.sequence = wire.sequence;
    packet.info = wire.info;
    packet.config = wire.config;
    packet.command = wire.command;
    packet.param1 = wire.param1;
    packet.param2 = wire.param2;
    return packet;
}

TranscoderPacket FromWire(const TranscoderWire150& wire) {
    TranscoderPacket packet;
    packet.layout = TranscoderLayout::kEarlier;
    packet.type = wire.type;
    packet.info = wire.info;
    DeviceConfig& config = packet.config;
    std::memcpy(config.Description, wire.Description, sizeof config.Description);
    std::memcpy(config.CurrPassword, wire.CurrPassword, sizeof config.CurrPassword);
    std::memcpy(config.NewPassword, wire.NewPassword, sizeof config.NewPassword);
    config.ProtectLevel = wire.ProtectLevel;
    config.AddressType = wire.AddressType;
    config.IpAddr = wire.IpAddr;
    config.SubNetMask = wire.SubNetMask;
    config.DefaultGateway = wire.DefaultGateway;
    config.FilterMinAddr = wire.FilterMinAddr;
    config.FilterMaxAddr = wire.FilterMaxAddr;
    config.ConfigPort = wire.ConfigPort;
    config.Protocol = wire.Protocol;
    packet.command = wire.command;
    packet.param1 = wire.param1;
    packet.param2 = wire.param2;
    return packet;
}

uint8_t ProtectLevelOf(const TranscoderWire72& wire) {
    if (wire.startPassMode == 0) {
        return 2;
    }
    return wire.configPassMode == 0 ? 1 : 0;
}

TranscoderPacket FromWire(const TranscoderWire72& wire) {
    TranscoderPacket packet;
    packet.layout = TranscoderLayout::kNet2Scan;
    packet.type = FT_SCAN_ACKNOWLEDGE;  // the only packet of this layout
    packet.info.SerialNumber = wire.serialNumber;
    packet.info.Channels = wire.channels;
    packet.info.HardwareVersion = ReadBigEndian16(wire.hardwareVersionBe);
    packet.info.SoftwareVersion = ReadBigEndian16(wire.softwareVersionBe);
    packet.info.StateFlags = wire.stateFlags;
    packet.info.DeviceType = wire.deviceType;
    std::memcpy(packet.config.Description, wire.description, sizeof wire.description);
    packet.config.IpAddr = wire.ipAddr;
    packet.config.ConfigPort = wire.configPort;
    packet.config.ProtectLevel = ProtectLevelOf(wire);
    packet.config.Protocol = wire.protocol;
    packet.usesByAddr = wire.usesByAddr;
    packet.compressorInfo = wire.compressorInfo;
    return packet;
}

template <typename Wire>
std::size_t WriteWire(const Wire& wire, std::span<uint8_t> out) {
    if (out.size() < sizeof wire) {
        return 0;
    }
    std::memcpy(out.data(), &wire, sizeof wire);
    return sizeof wire;
}

}  // namespace

std::optional<TranscoderPacket> DecodeTranscoderPacket(std::span<const uint8_t> datagram) {
    if (datagram.size() < kTranscoderSignature.size() ||
        !std::equal(kTranscoderSignature.begin(), kTranscoderSignature.end(), datagram.begin())) {
        return std::nullopt;
    }
    TranscoderPacket packet;
    switch (datagram.size()) {
        case kCurrentPacketSize:
            packet = FromWire(ReadWire<TranscoderWire184>(datagram));
            break;
        case kEarlierPacketSize:
            packet = FromWire(ReadWire<TranscoderWire150>(datagram));
            break;
        case kNet2ScanPacketSize:
            packet = FromWire(ReadWire<TranscoderWire72>(datagram));
            break;
        default:
            return std::nullopt;
    }
    TerminateTexts(packet.config);
    return packet;
}

std::size_t EncodeTranscoderPacket(const TranscoderPacket& packet, std::span<uint8_t> out) {
    switch (packet.layout) {
        case TranscoderLayout::kCurrent: {
            TranscoderWire184 wire{};
            std::copy(kTranscoderSignature.begin(), kTranscoderSignature.end(), wire.signature);
            wire.type = packet.type;
            wire.sequence = packet.sequence;
            wire.info = packet.info;
            wire.config = packet.config;
            wire.command = packet.command;
            wire.param1 = packet.param1;
            wire.param2 = packet.param2;
            return WriteWire(wire, out);
        }
        case TranscoderLayout::kEarlier: {
            TranscoderWire150 wire{};
            std::copy(kTranscoderSignature.begin(), kTranscoderSignature.end(), wire.signature);
            wire.type = packet.type;
            wire.info = packet.info;
            const DeviceConfig& config = packet.config;
            std::memcpy(wire.Description, config.Description, sizeof wire.Description);
            std::memcpy(wire.CurrPassword, config.CurrPassword, sizeof wire.CurrPassword);
            std::memcpy(wire.NewPassword, config.NewPassword, sizeof wire.NewPassword);
            wire.ProtectLevel = config.ProtectLevel;
            wire.AddressType = config.AddressType;
            wire.IpAddr = config.IpAddr;
            wire.SubNetMask = config.SubNetMask;
            wire.DefaultGateway = config.DefaultGateway;
            wire.FilterMinAddr = config.FilterMinAddr;
            wire.FilterMaxAddr = config.FilterMaxAddr;
            wire.ConfigPort = config.ConfigPort;
            wire.Protocol = config.Protocol;
            wire.command = packet.command;
            wire.param1 = packet.param1;
            wire.param2 = packet.param2;
            return WriteWire(wire, out);
        }
        case TranscoderLayout::kNet2Scan: {
            TranscoderWire72 wire{};
            std::copy(kTranscoderSignature.begin(), kTranscoderSignature.end(), wire.signature);
            wire.serialNumber = packet.info.SerialNumber;
            std::memcpy(wire.description, packet.config.Description, sizeof wire.description);
            wire.channels = packet.info.Channels;
            WriteBigEndian16(wire.hardwareVersionBe, packet.info.HardwareVersion);
            WriteBigEndian16(wire.softwareVersionBe, packet.info.SoftwareVersion);
            wire.stateFlags = packet.info.StateFlags;
            wire.ipAddr = packet.config.IpAddr;
            wire.configPort = packet.config.ConfigPort;
            wire.usesByAddr = packet.usesByAddr;
            wire.deviceType = packet.info.DeviceType;
            // Level 2 asks a password for the start and the configuration,
            // level 1 for the configuration only.
            wire.startPassMode = packet.config.ProtectLevel == 2 ? 0 : 1;
            wire.configPassMode = packet.config.ProtectLevel >= 1 ? 0 : 1;
            wire.protocol = packet.config.Protocol;
            wire.compressorInfo = packet.compressorInfo;
            return WriteWire(wire, out);
        }
    }
    return 0;
}

std::string FieldText(const char* field, std::size_t size) {
    const char* end = std::find(field, field + size, '\0');
    return std::string(field, end);
}

void SetFieldText(char* field, std::size_t size, std::string_view text) {
    if (size == 0) {
        return;
    }
    const std::size_t length = std::min(text.size(), size - 1);
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), length);
}

}  // namespace zorv

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "transcoders/TranscoderFlow.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {
namespace {

// A packet with every field set to a distinct value.
TranscoderPacket FullPacket(TranscoderLayout layout) {
    TranscoderPacket packet;
    packet.layout = layout;
    packet.type = FC_DEV_SETTINGS;
    packet.sequence = 0xBEEF;
    packet.info = DeviceInfo{0x0203, 4, 16, 0x11223344, 0x0506, 0x07};
    DeviceConfig& config = packet.config;
    SetFieldText(config.Description, "Line room 2");
    SetFieldText(config.CurrPassword, "current");
    SetFieldText(config.NewPassword, "new one");
    SetFieldText(config.StartPassword, "start");
    config.ProtectLevel = 2;
    config.AddressType = 1;
    config.IpAddr = 0x0A01A8C0;
    config.SubNetMask = 0x00FFFFFF;
    config.DefaultGateway = 0x0101A8C0;
    config.FilterMinAddr = 0x0201A8C0;
    config.FilterMaxAddr = 0xFE01A8C0;
    config.ConfigPort = 0x1F90;
    config.Protocol = 1;
    packet.command = TCMD_START;
    packet.param1 = 0xA1B2C3D4;
    packet.param2 = 0x01020304;
    packet.usesByAddr = 0x55667788;
    packet.compressorInfo = tagTCompressorInfo{{9, 8, 7, 6}};
    return packet;
}

// What a layout carries of FullPacket: the rest reads back as zeros.
TranscoderPacket Carried(const TranscoderPacket& full) {
    TranscoderPacket expected = full;
    switch (full.layout) {
        case TranscoderLayout::kCurrent:
            expected.usesByAddr = 0;
            expected.compressorInfo = {};
            break;
        case TranscoderLayout::kEarlier:
            expected.sequence = 0;
            std::memset(expected.config.StartPassword, 0, kTranscoderTextSize);
            expected.usesByAddr = 0;
            expected.compressorInfo = {};
            break;
        case TranscoderLayout::kNet2Scan:
            expected = TranscoderPacket{};
            expected.layout = full.layout;
            expected.type = FT_SCAN_ACKNOWLEDGE;
            expected.info = full.info;
            std::memcpy(expected.config.Description, full.config.Description, kTranscoderTextSize);
            expected.config.ProtectLevel = full.config.ProtectLevel;
            expected.config.IpAddr = full.config.IpAddr;
            expected.config.ConfigPort = full.config.ConfigPort;
            expected.config.Protocol = full.config.Protocol;
            expected.usesByAddr = full.usesByAddr;
            expected.compressorInfo = full.compressorInfo;
            break;
    }
    return expected;
}

void ExpectSamePacket(const TranscoderPacket& actual, const TranscoderPacket& expected) {
    EXPECT_EQ(actual.layout, expected.layout);
    EXPECT_EQ(actual.type, expected.type);
    EXPECT_EQ(actual.sequence, expected.sequence);
    EXPECT_EQ(std::memcmp(&actual.info, &expected.info, sizeof actual.info), 0);
    EXPECT_EQ(std::memcmp(&actual.config, &expected.config, sizeof actual.config), 0);
    EXPECT_EQ(actual.command, expected.command);
    EXPECT_EQ(actual.param1, expected.param1);
    EXPECT_EQ(actual.param2, expected.param2);
    EXPECT_EQ(actual.usesByAddr, expected.usesByAddr);
    EXPECT_EQ(std::memcmp(&actual.compressorInfo, &expected.compressorInfo, 4), 0);
}

std::vector<uint8_t> Encoded(const TranscoderPacket& packet) {
    std::vector<uint8_t> bytes(kTranscoderDatagramMax);
    bytes.resize(EncodeTranscoderPacket(packet, bytes));
    return bytes;
}

TEST(TranscoderProtocolTest, EveryLayoutRoundTripsWhatItCarries) {
    struct Case {
        TranscoderLayout layout;
        std::size_t size;
        uint8_t protectLevel;
    };
    const Case cases[] = {
        {TranscoderLayout::kCurrent, 184, 2}, {TranscoderLayout::kEarlier, 150, 2},
        {TranscoderLayout::kNet2Scan, 72, 0}, {TranscoderLayout::kNet2Scan, 72, 1},
        {TranscoderLayout::kNet2Scan, 72, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.layout) * 10 + c.protectLevel);
        TranscoderPacket packet = FullPacket(c.layout);
        packet.config.ProtectLevel = c.protectLevel;
        const std::vector<uint8_t> bytes = Encoded(packet);
        ASSERT_EQ(bytes.size(), c.size);
        EXPECT_TRUE(
            std::equal(kTranscoderSignature.begin(), kTranscoderSignature.end(), bytes.begin()));
        const std::optional<TranscoderPacket> decoded = DecodeTranscoderPacket(bytes);
        ASSERT_TRUE(decoded);
        ExpectSamePacket(*decoded, Carried(packet));
    }
}

TEST(TranscoderProtocolTest, ScanAnswerBytesSitWhereTheTranscoderPutsThem) {
    const std::vector<uint8_t> bytes = Encoded(FullPacket(TranscoderLayout::kNet2Scan));
    ASSERT_EQ(bytes.size(), 72u);
    const auto at = [&](std::size_t offset, std::size_t count) {
        return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
    };
    EXPECT_EQ(at(8, 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));  // serial, little-endian
    EXPECT_EQ(bytes[44], 16);                                             // channels
    EXPECT_EQ(at(45, 2), (std::vector<uint8_t>{0x02, 0x03}));             // hardware, big-endian
    EXPECT_EQ(at(47, 2), (std::vector<uint8_t>{0x05, 0x06}));             // software, big-endian
    EXPECT_EQ(bytes[49], 0x07);
    EXPECT_EQ(at(50, 4), (std::vector<uint8_t>{192, 168, 1, 10}));  // IP, network order
    EXPECT_EQ(at(54, 2), (std::vector<uint8_t>{0x90, 0x1F}));       // port, little-endian
    EXPECT_EQ(at(56, 4), (std::vector<uint8_t>{0x88, 0x77, 0x66, 0x55}));
    EXPECT_EQ(bytes[60], 4);                             // device type
    EXPECT_EQ(at(61, 2), (std::vector<uint8_t>{0, 0}));  // level 2: both ask
    EXPECT_EQ(bytes[63], 1);
    EXPECT_EQ(at(64, 4), (std::vector<uint8_t>{9, 8, 7, 6}));

    // Bytes 61 and 62 as a transcoder sends them give the protection level.
    struct Modes {
        uint8_t configMode;
        uint8_t startMode;
        uint8_t level;
    };
    for (const Modes m : {Modes{1, 1, 0}, Modes{0, 1, 1}, Modes{1, 0, 2}, Modes{0, 0, 2}}) {
        std::vector<uint8_t> raw = bytes;
        raw[61] = m.configMode;
        raw[62] = m.startMode;
        const std::optional<TranscoderPacket> decoded = DecodeTranscoderPacket(raw);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->config.ProtectLevel, m.level) << int(m.configMode) << int(m.startMode);
    }
}

TEST(TranscoderProtocolTest, WrongLengthOrSignatureIsRefused) {
    const std::vector<uint8_t> current = Encoded(FullPacket(TranscoderLayout::kCurrent));
    for (std::size_t length : {0u, 7u, 8u, 71u, 73u, 149u, 151u, 183u, 185u, 1024u}) {
        std::vector<uint8_t> bytes = current;
        bytes.resize(length);
        EXPECT_FALSE(DecodeTranscoderPacket(bytes)) << length;
    }
    for (TranscoderLayout layout :
         {TranscoderLayout::kCurrent, TranscoderLayout::kEarlier, TranscoderLayout::kNet2Scan}) {
        for (std::size_t i = 0; i < kTranscoderSignature.size(); ++i) {
            std::vector<uint8_t> bytes = Encoded(FullPacket(layout));
            bytes[i] ^= 0x01;
            EXPECT_FALSE(DecodeTranscoderPacket(bytes)) << bytes.size() << " byte " << i;
        }
    }
}

TEST(TranscoderProtocolTest, TextFillingItsFieldComesBackCut) {
    const std::string full(kTranscoderTextSize, 'D');
    std::vector<uint8_t> scan = Encoded(FullPacket(TranscoderLayout::kNet2Scan));
    std::memcpy(scan.data() + 12, full.data(), full.size());
    std::optional<TranscoderPacket> decoded = DecodeTranscoderPacket(scan);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(FieldText(decoded->config.Description), full.substr(0, 31));
    EXPECT_EQ(decoded->config.Description[31], '\0');

    std::vector<uint8_t> current = Encoded(FullPacket(TranscoderLayout::kCurrent));
    std::memcpy(current.data() + 22 + 32, full.data(), full.size());  // CurrPassword
    decoded = DecodeTranscoderPacket(current);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(FieldText(decoded->config.CurrPassword), full.substr(0, 31));
    EXPECT_EQ(FieldText(decoded->config.NewPassword), "new one");
}

TEST(TranscoderProtocolTest, AddressTextParsing) {
    struct Case {
        const char* text;
        std::optional<std::array<uint8_t, 4>> ip;  // nullopt: refused
        uint16_t port;
    };
    using Ip = std::array<uint8_t, 4>;
    const Case cases[] = {
        {"10.20.30.40", Ip{10, 20, 30, 40}, 0},
        {"10.20.30.40:8080", Ip{10, 20, 30, 40}, 8080},
        {"255.255.255.255:65535", Ip{255, 255, 255, 255}, 65535},
        {"0.0.0.0:0", Ip{0, 0, 0, 0}, 0},
        {"", std::nullopt, 0},
        {"10.20.30", std::nullopt, 0},
        {"10.20.30.40.50", std::nullopt, 0},
        {"256.1.1.1", std::nullopt, 0},
        {"1..2.3", std::nullopt, 0},
        {"-1.2.3.4", std::nullopt, 0},
        {" 1.2.3.4", std::nullopt, 0},
        {"a.b.c.d", std::nullopt, 0},
        {"1.2.3.4:", std::nullopt, 0},
        {"1.2.3.4:65536", std::nullopt, 0},
        {"1.2.3.4:99999999999999999999", std::nullopt, 0},
        {"1.2.3.4:80x", std::nullopt, 0},
        {"1.2.3.4:-1", std::nullopt, 0},
        {"1.2.3.4 :80", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        const std::optional<TranscoderAddress> address = ParseAddressText(c.text);
        ASSERT_EQ(address.has_value(), c.ip.has_value()) << '"' << c.text << '"';
        if (!address) {
            continue;
        }
        Ip bytes{};
        std::memcpy(bytes.data(), &address->ip, 4);
        EXPECT_EQ(bytes, *c.ip) << c.text;
        EXPECT_EQ(address->port, c.port) << c.text;
        EXPECT_EQ(ParseAddressText(AddressText(*address)), address) << c.text;
    }
}

}  // namespace
}  // namespace zorv

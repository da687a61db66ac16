#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/CredentialCipher.h"
#include "platform/IniFile.h"
#include "support/FileModes.h"
#include "support/Files.h"
#include "support/TempDir.h"
#include "transcoders/TranscoderRegistry.h"

namespace zorv {
namespace {

TranscoderAddress Address(std::string_view text) {
    return ParseAddressText(text).value();
}

tagStoredTranscoderConfig Config(uint32_t serial, std::string_view address,
                                 uint8_t deviceClass = kNet2Transcoder,
                                 std::string_view password = "") {
    tagStoredTranscoderConfig config{};
    config.tsSerialNumber = serial;
    const TranscoderAddress where = Address(address);
    config.tsAddr = where.ip;
    config.tsPort = where.port;
    config.tsChannelsCount = 8;
    config.dataPort = 5000;
    config.deviceClass = deviceClass;
    SetFieldText(config.Password, password);
    return config;
}

std::vector<uint32_t> Serials(const CTranscoderRegistry& registry) {
    std::vector<uint32_t> serials;
    for (const RegisteredTranscoder& transcoder : registry.Transcoders()) {
        const uint32_t serial = transcoder.stored.tsSerialNumber;  // packed field: copied
        serials.push_back(serial);
    }
    return serials;
}

class TranscoderRegistryTest : public ::testing::Test {
protected:
    // A registry loaded afresh from the file, as at the next start.
    CTranscoderRegistry Reloaded() const {
        CTranscoderRegistry registry(m_path);
        registry.Load();
        return registry;
    }

    // Registers serials 1, 2, 3, ... at 10.0.0.<serial>:4000 in that order.
    void Register(CTranscoderRegistry& registry, std::initializer_list<uint32_t> serials) {
        for (uint32_t serial : serials) {
            ASSERT_TRUE(registry.Add(kMaxRegisteredTranscoders,
                                     Config(serial, "10.0.0." + std::to_string(serial) + ":4000")));
        }
    }

    std::optional<std::string> SerialIn(std::size_t position) const {
        return m_file.Find("Transcoder-" + std::to_string(position), "SerialNumber");
    }

    test::CTempDir m_dir;
    std::string m_path = m_dir.File("Transcoders.ini");
    IniFile m_file{m_path};
};

TEST_F(TranscoderRegistryTest, FullRegistrationSurvivesTheFileWithThePasswordEnciphered) {
    tagStoredTranscoderConfig config{};
    config.tsStarted = 1;
    config.tsSerialNumber = 3000000001u;  // above the signed range
    config.tsAddr = Address("192.168.7.21").ip;
    config.tsPort = 40001;
    config.tsChannelsCount = 65535;
    config.dataPort = 65535;
    config.deviceClass = kNet2Transcoder;
    SetFieldText(config.Password, "Sesame-31415");
    {
        CTranscoderRegistry registry(m_path);
        registry.Load();
        ASSERT_TRUE(registry.Add(0, config));
        ASSERT_TRUE(registry.SetAonForm(config.tsSerialNumber, 73, 1));
        EXPECT_TRUE(registry.LastSaveOk());
    }

    const std::string text = test::ReadBytes(m_path);
    EXPECT_EQ(text.find("Sesame"), std::string::npos) << text;
    EXPECT_EQ(m_file.Find("Transcoder-0", "IPAddress"), "192.168.7.21:40001");
    EXPECT_EQ(m_file.Find("Transcoder-0", "SerialNumber"), "3000000001");
    std::array<uint8_t, kTranscoderTextSize> stored{};
    ASSERT_TRUE(m_file.GetStruct("Transcoder-0", "Password", stored.data(), stored.size()));
    ApplyCredentialCipher(stored);
    EXPECT_EQ(std::memcmp(stored.data(), config.Password, stored.size()), 0);

    const CTranscoderRegistry registry = Reloaded();
    ASSERT_EQ(registry.Transcoders().size(), 1u);
    const RegisteredTranscoder& loaded = registry.Transcoders()[0];
    EXPECT_EQ(std::memcmp(&loaded.stored, &config, sizeof config), 0);
    EXPECT_EQ(loaded.aonLevel, 73u);
    EXPECT_EQ(loaded.aonForm, 1u);
    EXPECT_EQ(registry.PingAddresses(),
              std::vector<TranscoderAddress>{Address("192.168.7.21:40001")});
}

// The passwords can be recovered from the file: it is for the service's user
// alone, made so (whatever the umask) and narrowed when an older one that
// others could read is loaded.
TEST_F(TranscoderRegistryTest, FileIsForTheServiceUserOnly) {
    const test::CUmaskScope wide(0);
    {
        CTranscoderRegistry registry(m_path);
        registry.Load();
        Register(registry, {1});
    }
    EXPECT_EQ(test::ModeText(m_path), "-rw-------");
    ASSERT_EQ(::chmod(m_path.c_str(), 0644), 0);
    const CTranscoderRegistry registry = Reloaded();
    EXPECT_EQ(Serials(registry), std::vector<uint32_t>{1});
    EXPECT_EQ(test::ModeText(m_path), "-rw-------");
}

TEST_F(TranscoderRegistryTest, RemovingPositionZeroOfThreeRewritesTheRest) {
    CTranscoderRegistry registry(m_path);
    registry.Load();
    Register(registry, {1, 2, 3});

    const std::optional<RegistryPlace> place = registry.Remove(1);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->position, 0u);
    EXPECT_EQ(place->serial, 1u);
    EXPECT_EQ(SerialIn(0), "2");
    EXPECT_EQ(SerialIn(1), "3");
    EXPECT_FALSE(m_file.HasSection("Transcoder-2"));
    EXPECT_EQ(Serials(Reloaded()), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(registry.PingAddresses(),
              (std::vector<TranscoderAddress>{Address("10.0.0.2:4000"), Address("10.0.0.3:4000")}));
    EXPECT_FALSE(registry.Remove(1));
}

TEST_F(TranscoderRegistryTest, SectionWithAMissingOrUnusableKeyIsIgnored) {
    struct Case {
        const char* key;
        std::optional<const char*> value;  // nullopt: the key is removed
    };
    const Case cases[] = {
        {"Started", std::nullopt},
        {"SerialNumber", std::nullopt},
        {"IPAddress", std::nullopt},
        {"AonLevel", std::nullopt},
        {"AonReqForm", std::nullopt},
        {"TranscoderType", std::nullopt},
        {"DataPort", std::nullopt},
        {"ChannelsCount", std::nullopt},
        {"Password", std::nullopt},
        {"TranscoderType", "0"},
        {"TranscoderType", "3"},
        {"DataPort", "65536"},
        {"ChannelsCount", "65536"},
        {"ChannelsCount", "-1"},
        {"SerialNumber", "4294967296"},
        {"IPAddress", "10.0.0.1:65536"},
        {"IPAddress", "10.0.0"},
        {"IPAddress", "transcoder:23"},
        {"Password", "00"},  // not 32 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + (c.value ? *c.value : "(missing)"));
        {
            CTranscoderRegistry registry(m_path);
            registry.Load();
            for (uint32_t serial : Serials(registry)) {
                registry.Remove(serial);
            }
            Register(registry, {1, 2});
        }
        if (c.value) {
            ASSERT_TRUE(m_file.WriteString("Transcoder-0", c.key, *c.value));
        } else {
            ASSERT_TRUE(m_file.DeleteKey("Transcoder-0", c.key));
        }
        EXPECT_EQ(Serials(Reloaded()), std::vector<uint32_t>{2});
    }
}

TEST_F(TranscoderRegistryTest, PasswordWithABadChecksumIgnoresTheSection) {
    {
        CTranscoderRegistry registry(m_path);
        registry.Load();
        Register(registry, {1, 2});
    }
    std::string value = m_file.Find("Transcoder-0", "Password").value();
    value.back() = value.back() == '0' ? '1' : '0';
    ASSERT_TRUE(m_file.WriteString("Transcoder-0", "Password", value));
    EXPECT_EQ(Serials(Reloaded()), std::vector<uint32_t>{2});
}

TEST_F(TranscoderRegistryTest, AfterASkippedSectionASingleSaveLeavesNoStaleSection) {
    {
        CTranscoderRegistry registry(m_path);
        registry.Load();
        Register(registry, {1, 2});
    }
    ASSERT_TRUE(m_file.WriteString("Transcoder-0", "TranscoderType", "3"));
    {
        CTranscoderRegistry registry = Reloaded();
        ASSERT_EQ(Serials(registry), std::vector<uint32_t>{2});
        ASSERT_TRUE(registry.SetStarted(2, true));
    }
    EXPECT_EQ(SerialIn(0), "2");
    EXPECT_FALSE(m_file.HasSection("Transcoder-1"));
    const CTranscoderRegistry registry = Reloaded();
    ASSERT_EQ(Serials(registry), std::vector<uint32_t>{2});
    EXPECT_EQ(+registry.Transcoders()[0].stored.tsStarted, 1);
}

TEST_F(TranscoderRegistryTest, SerialStoredTwiceKeepsItsFirstSection) {
    {
        CTranscoderRegistry registry(m_path);
        registry.Load();
        Register(registry, {1, 2});
    }
    ASSERT_TRUE(m_file.WriteString("Transcoder-1", "SerialNumber", "1"));
    const CTranscoderRegistry registry = Reloaded();
    ASSERT_EQ(Serials(registry), std::vector<uint32_t>{1});
    EXPECT_EQ(+registry.Transcoders()[0].stored.tsAddr, Address("10.0.0.1").ip);
}

TEST_F(TranscoderRegistryTest, AddInsertsAtItsPositionOrAppends) {
    CTranscoderRegistry registry(m_path);
    registry.Load();
    Register(registry, {1, 2, 3});
    ASSERT_TRUE(registry.SetAonForm(2, 50, 1));

    const std::optional<RegistryPlace> middle = registry.Add(1, Config(4, "10.0.0.4:4000"));
    ASSERT_TRUE(middle);
    EXPECT_EQ(middle->position, 1u);
    EXPECT_EQ(middle->serial, 4u);
    const std::optional<RegistryPlace> end = registry.Add(50, Config(5, "10.0.0.5:4000"));
    ASSERT_TRUE(end);
    EXPECT_EQ(end->position, 4u);

    const CTranscoderRegistry loaded = Reloaded();
    EXPECT_EQ(Serials(loaded), (std::vector<uint32_t>{1, 4, 2, 3, 5}));
    EXPECT_EQ(loaded.Transcoders()[1].aonLevel, 100u);
    EXPECT_EQ(loaded.Transcoders()[1].aonForm, 0u);
    EXPECT_EQ(loaded.Transcoders()[2].aonLevel, 50u);  // moved with its registration
    EXPECT_EQ(loaded.Transcoders()[2].aonForm, 1u);
    EXPECT_EQ(loaded.PingAddresses().size(), 5u);
}

TEST_F(TranscoderRegistryTest, RepositionMovesOneRegistration) {
    struct Step {
        uint32_t from;
        uint32_t to;
        std::optional<uint32_t> placed;  // nullopt: refused
        std::vector<uint32_t> order;
    };
    const Step steps[] = {
        {0, 2, 2, {2, 3, 1, 4}},  {3, 0, 0, {4, 2, 3, 1}},
        {1, 99, 3, {4, 3, 1, 2}},  // past the end: to the end
        {2, 2, 2, {4, 3, 1, 2}},  {4, 0, std::nullopt, {4, 3, 1, 2}},
    };
    CTranscoderRegistry registry(m_path);
    registry.Load();
    Register(registry, {1, 2, 3, 4});
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.from) + " -> " + std::to_string(step.to));
        const std::optional<RegistryPlace> place = registry.Reposition(step.from, step.to);
        ASSERT_EQ(place.has_value(), step.placed.has_value());
        if (place) {
            EXPECT_EQ(place->position, *step.placed);
            EXPECT_EQ(place->serial, step.order[*step.placed]);
        }
        EXPECT_EQ(Serials(registry), step.order);
        EXPECT_EQ(Serials(Reloaded()), step.order);
    }
}

TEST_F(TranscoderRegistryTest, RefusesARegisteredSerialAndAFullList) {
    CTranscoderRegistry registry(m_path);
    registry.Load();
    Register(registry, {7});
    const std::string before = test::ReadBytes(m_path);
    EXPECT_FALSE(registry.Add(0, Config(7, "10.9.9.9:1")));
    EXPECT_EQ(test::ReadBytes(m_path), before);
    EXPECT_EQ(Serials(registry), std::vector<uint32_t>{7});

    for (uint32_t serial = 100; registry.Transcoders().size() < kMaxRegisteredTranscoders;
         ++serial) {
        ASSERT_TRUE(registry.Add(0, Config(serial, "10.1.0.1:4000")));
    }
    EXPECT_FALSE(registry.Add(0, Config(1000, "10.1.0.2:4000")));
    EXPECT_EQ(Reloaded().Transcoders().size(), kMaxRegisteredTranscoders);
}

TEST_F(TranscoderRegistryTest, ReplaceKeepsPositionAonAndPasswordUnlessAsked) {
    CTranscoderRegistry registry(m_path);
    registry.Load();
    ASSERT_TRUE(registry.Add(0, Config(1, "10.0.0.1:4000", kNet2Transcoder, "first")));
    Register(registry, {2});
    ASSERT_TRUE(registry.SetAonForm(1, 60, 1));

    ASSERT_TRUE(registry.Replace(1, Config(1, "10.0.0.9:4000", kDatagramTranscoder, "second"), 0));
    ASSERT_TRUE(registry.Replace(2, Config(2, "10.0.0.2:4000", kNet2Transcoder, "third"), 1));
    EXPECT_FALSE(registry.Replace(1, Config(2, "10.0.0.1:4000"), 0));  // serial taken

    const CTranscoderRegistry loaded = Reloaded();
    ASSERT_EQ(Serials(loaded), (std::vector<uint32_t>{1, 2}));
    const RegisteredTranscoder& first = loaded.Transcoders()[0];
    EXPECT_EQ(FieldText(first.stored.Password), "first");
    EXPECT_EQ(+first.stored.deviceClass, +kDatagramTranscoder);
    EXPECT_EQ(+first.stored.tsAddr, Address("10.0.0.9").ip);
    EXPECT_EQ(first.aonLevel, 60u);
    EXPECT_EQ(first.aonForm, 1u);
    EXPECT_EQ(FieldText(loaded.Transcoders()[1].stored.Password), "third");
    EXPECT_EQ(registry.PingAddresses(),
              (std::vector<TranscoderAddress>{Address("10.0.0.2:4000"), Address("10.0.0.9:4000")}));
}

TEST_F(TranscoderRegistryTest, MoveToSwapsThePolledAddressAndSaves) {
    CTranscoderRegistry registry(m_path);
    registry.Load();
    Register(registry, {1});
    ASSERT_TRUE(registry.MoveTo(1, Address("10.5.5.5:4100")));
    EXPECT_FALSE(registry.MoveTo(9, Address("10.5.5.6:4100")));

    const CTranscoderRegistry loaded = Reloaded();
    EXPECT_EQ(+loaded.Transcoders()[0].stored.tsAddr, Address("10.5.5.5").ip);
    EXPECT_EQ(+loaded.Transcoders()[0].stored.tsPort, 4100);
    EXPECT_EQ(loaded.PingAddresses(), std::vector<TranscoderAddress>{Address("10.5.5.5:4100")});
}

TEST_F(TranscoderRegistryTest, SearchListsAreWrittenFromZeroAndTheRestDeleted) {
    CTranscoderRegistry registry(m_path);
    registry.Load();
    for (uint16_t port : {1000, 2000, 3000}) {
        ASSERT_TRUE(registry.AddPingPort(port));
    }
    EXPECT_FALSE(registry.AddPingPort(2000));
    EXPECT_FALSE(registry.AddPingPort(0));
    ASSERT_TRUE(registry.RemovePingPort(1000));
    EXPECT_FALSE(registry.RemovePingPort(1000));
    EXPECT_EQ(m_file.Keys("PingPorts"), (std::vector<std::string>{"Port0", "Port1"}));
    EXPECT_EQ(m_file.Find("PingPorts", "Port0"), "2000");

    for (const char* text : {"10.0.0.1:1", "10.0.0.2:2", "10.0.0.3:3"}) {
        ASSERT_TRUE(registry.AddPingAddress(Address(text)));
    }
    EXPECT_FALSE(registry.AddPingAddress(Address("10.0.0.3:3")));
    EXPECT_FALSE(registry.AddPingAddress(Address("0.0.0.0:3")));
    ASSERT_TRUE(registry.RemovePingAddress(Address("10.0.0.2:2")));
    EXPECT_EQ(m_file.Keys("PingAddress"), (std::vector<std::string>{"Address0", "Address1"}));
    EXPECT_EQ(m_file.Find("PingAddress", "Address1"), "10.0.0.3:3");

    const CTranscoderRegistry loaded = Reloaded();
    EXPECT_EQ(loaded.PingPorts(), (std::vector<uint16_t>{2000, 3000}));
    EXPECT_EQ(loaded.PingAddresses(),
              (std::vector<TranscoderAddress>{Address("10.0.0.1:1"), Address("10.0.0.3:3")}));
}

TEST_F(TranscoderRegistryTest, SearchListsAreReadUpToTheFirstMissingIndex) {
    test::WriteBytes(m_path,
                     "[PingPorts]\n"
                     "Port0=1000\nPort1=70000\nPort2=0\nPort3=3000\nPort5=5000\n"
                     "[PingAddress]\n"
                     "Address0=0.0.0.0:7000\nAddress1=10.0.0.1:7000\nAddress2=bad\n"
                     "Address3=10.0.0.1:7000\nAddress4=10.0.0.4:7000\nAddress6=10.0.0.6:7000\n");
    const CTranscoderRegistry registry = Reloaded();
    // Unusable entries are skipped; the gap after index 3 (4) ends the list.
    EXPECT_EQ(registry.PingPorts(), (std::vector<uint16_t>{1000, 3000}));
    EXPECT_EQ(registry.PingAddresses(),
              (std::vector<TranscoderAddress>{Address("10.0.0.1:7000"), Address("10.0.0.4:7000")}));
}

TEST_F(TranscoderRegistryTest, AdvancedKeysAndTheirDefaults) {
    struct Case {
        const char* section;
        uint32_t autoStop;
        uint16_t shellPort;
        const char* broadcast;
    };
    const Case cases[] = {
        {"", 120, 23, "255.255.255.255"},
        {"SearchAutoStopTime=30\nShellPort=2323\nSearchBroadcastAddress=10.1.255.255\n", 30, 2323,
         "10.1.255.255"},
        {"SearchAutoStopTime=-5\nShellPort=70000\nSearchBroadcastAddress=10.1.2\n", 120, 23,
         "255.255.255.255"},
        {"ShellPort=0\nSearchBroadcastAddress=10.1.2.255:23\n", 120, 23, "255.255.255.255"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.section);
        const std::string path = m_dir.File("advanced" + std::to_string(i) + ".ini");
        test::WriteBytes(path, std::string("[AdvancedParam]\n") + c.section);
        CTranscoderRegistry registry(path);
        registry.Load();
        EXPECT_EQ(registry.SearchAutoStopTime(), c.autoStop);
        EXPECT_EQ(registry.ShellPort(), c.shellPort);
        EXPECT_EQ(registry.SearchBroadcastAddress(), Address(c.broadcast).ip);
    }
}

TEST_F(TranscoderRegistryTest, AFailedWriteIsReported) {
    CTranscoderRegistry registry(m_dir.File("missing/Transcoders.ini"));
    registry.Load();
    EXPECT_TRUE(registry.AddPingPort(1000));
    EXPECT_FALSE(registry.LastSaveOk());
    EXPECT_EQ(registry.PingPorts(), std::vector<uint16_t>{1000});
}

}  // namespace
}  // namespace zorv

// The announcement responder: the datagrams it answers, one answer over
// loopback, and the hardware-address text of a peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "access/AnnounceResponder.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

std::vector<uint8_t> Request(uint32_t kind, const std::string& text, bool terminate = true) {
    std::vector<uint8_t> d(4);
    std::memcpy(d.data(), &kind, 4);
    d.insert(d.end(), text.begin(), text.end());
    if (terminate) {
        d.push_back(0);
    }
    return d;
}

TEST(AnnounceTest, AnswersOnlyKnownKindsWithTheExactText) {
    struct Case {
        std::vector<uint8_t> datagram;
        bool answered;
    } cases[] = {
        {Request(81, "QTS Network System"), true},
        {Request(84, "QTS Network System"), true},
        {Request(82, "QTS Network System"), false},
        {Request(81, "QTS Network System "), false},
        {Request(81, "QTS Network Syste"), false},
        {Request(81, "QTS Network System", false), false},  // no terminator
        {{81, 0}, false},
        {{}, false},
    };
    for (const Case& c : cases) {
        const auto reply = AnswerAnnouncement(c.datagram, 1040);
        EXPECT_EQ(reply.has_value(), c.answered);
        if (reply) {
            EXPECT_EQ(reply->Kind, 144u);
            EXPECT_STREQ(reply->Text, "QTS Network System");
            EXPECT_EQ(reply->ServerPort, 1040u);
        }
    }
}

TEST(AnnounceTest, ResponderAnswersOverLoopback) {
    CAnnounceResponder responder;
    ASSERT_TRUE(responder.Start(0, 4321, "127.0.0.1"));
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(responder.Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // An ignored request first, then one that is answered: the only reply
    // is the second one's.
    for (uint32_t kind : {82u, 84u}) {
        const auto d = Request(kind, "QTS Network System");
        ASSERT_EQ(::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                  static_cast<ssize_t>(d.size()));
    }
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1);
    uint8_t reply[64];
    ASSERT_EQ(::recv(fd, reply, sizeof(reply), 0), 28);
    uint32_t kind = 0, port = 0;
    std::memcpy(&kind, reply, 4);
    std::memcpy(&port, reply + 24, 4);
    EXPECT_EQ(kind, 144u);
    EXPECT_EQ(port, 4321u);
    ::close(fd);
    responder.Stop();
}

TEST(MacTextTest, ResolvesTheAddressBeforeTheColon) {
    CTempDir dir;
    const std::string arp = dir.File("arp");
    std::ofstream(arp)
        << "IP address       HW type     Flags       HW address            Mask     Device\n"
           "127.0.0.9        0x1         0x2         0a:1b:2c:3d:4e:5f     *        lo\n";
    struct Case {
        const char* peer;
        const char* text;
    } cases[] = {
        {"127.0.0.9:5000", "0A-1B-2C-3D-4E-5F"},       {"127.0.0.9", "0A-1B-2C-3D-4E-5F"},
        {"127.0.0.10:5000", "00-00-00-00-00-00"},      {"not an address", "00-00-00-00-00-00"},
        {"127.0.0.9999999999:1", "00-00-00-00-00-00"},
    };
    for (const Case& c : cases) {
        char out[18];
        ASSERT_TRUE(MacText(c.peer, out, arp.c_str()));
        EXPECT_STREQ(out, c.text) << c.peer;
    }
    char shorter[17];
    std::memset(shorter, '#', sizeof(shorter));
    EXPECT_FALSE(MacText("127.0.0.9:5000", shorter, arp.c_str()));
    EXPECT_EQ(shorter[0], '#');
}

}  // namespace
}  // namespace zorv::test

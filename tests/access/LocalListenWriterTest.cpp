// The local listening writer against a local program's socket: its sizes per
// format, its header, whole samples whatever is pushed, what it refuses, and
// a format change.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "access/LocalListenWriter.h"
#include "support/ChildProcess.h"
#include "support/LocalListenPeer.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

TEST(LocalListenWriterTest, SizesFollowTheFormat) {
    struct Case {
        uint32_t rate;
        bool stereo;
        int kind;
        std::size_t ring, threshold, chunk;
    };
    const Case cases[] = {
        {8000, false, CAudioObserver::kKindPcm, 32000, 1000, 3996},
        {16000, false, CAudioObserver::kKindPcm, 64000, 2000, 7996},
        {16000, true, CAudioObserver::kKindPcm, 128000, 4000, 15996},
        {32000, false, CAudioObserver::kKindPcm, 128000, 4000, 15996},
        {8000, false, CAudioObserver::kKindLineMonitor, 32000, 300, 1996},
        {32000, true, CAudioObserver::kKindLineMonitor, 256000, 300, 15996},
    };
    CTempDir dir;
    CLocalListenPeer peer(dir.Path(), 7001);
    ASSERT_TRUE(peer.Ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.rate << (c.stereo ? " stereo" : " mono") << " kind " << c.kind);
        CLocalListenWriter writer(dir.Path(), 7001);
        ASSERT_TRUE(writer.Open(c.rate, c.stereo, c.kind));
        EXPECT_EQ(writer.RingCapacity(), c.ring);
        EXPECT_EQ(writer.WakeThreshold(), c.threshold);
        EXPECT_EQ(writer.MaxMessageAudio(), c.chunk);
        // Every message holds whole samples.
        EXPECT_EQ(writer.MaxMessageAudio() % (c.kind == 0 ? 1 : c.stereo ? 4 : 2), 0u);
    }
}

TEST(LocalListenWriterTest, RefusesWhatItCannotWrite) {
    CTempDir dir;
    CLocalListenPeer peer(dir.Path(), 7002);
    CLocalListenWriter writer(dir.Path(), 7002);
    EXPECT_FALSE(writer.Open(11025, false, CAudioObserver::kKindPcm));
    EXPECT_FALSE(writer.Open(8000, false, 2));
    CLocalListenWriter nowhere(dir.Path(), 7003);  // no program listens there
    EXPECT_FALSE(nowhere.Open(8000, false, CAudioObserver::kKindPcm));
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(nowhere.Push(bytes, sizeof bytes), 0u);
}

TEST(LocalListenWriterTest, MessagesCarryTheHeaderAndWholeSamples) {
    CTempDir dir;
    CLocalListenPeer peer(dir.Path(), 7004);
    CLocalListenWriter writer(dir.Path(), 7004);
    ASSERT_TRUE(writer.Open(16000, true, CAudioObserver::kKindPcm));
    // Odd pieces: each push takes whole frames of 4 bytes only.
    std::vector<uint8_t> audio(20003);
    std::iota(audio.begin(), audio.end(), uint8_t{0});
    std::size_t taken = 0;
    std::vector<uint8_t> expected;
    for (std::size_t at = 0; at + 7 <= audio.size(); at += 7) {
        const std::size_t n = writer.Push(audio.data() + at, 7);
        EXPECT_EQ(n, 4u);
        expected.insert(expected.end(), audio.begin() + at, audio.begin() + at + n);
        taken += n;
    }
    ASSERT_TRUE(PollUntil(
        [&] {
            std::size_t got = 0;
            for (const auto& m : peer.Messages()) {
                got += m.bytes.size() - 4;
            }
            return got + 4000 > taken;  // all but what stays under the threshold
        },
        10s));
    std::vector<uint8_t> received;
    for (const auto& m : peer.Messages()) {
        ASSERT_GE(m.bytes.size(), 8u);
        EXPECT_EQ(m.bytes[0] | m.bytes[1] << 8, 16000);
        EXPECT_EQ(m.bytes[2], 0x01);  // stereo, recorded audio
        EXPECT_EQ(m.bytes[3], 0);
        EXPECT_LE(m.bytes.size() - 4, 15996u);
        EXPECT_EQ((m.bytes.size() - 4) % 4, 0u);
        received.insert(received.end(), m.bytes.begin() + 4, m.bytes.end());
    }
    ASSERT_LE(received.size(), expected.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), expected.begin()));
}

TEST(LocalListenWriterTest, AFullRingDropsWhatDoesNotFit) {
    CTempDir dir;
    CLocalListenPeer peer(dir.Path(), 7005, /*paused=*/true);
    CLocalListenWriter writer(dir.Path(), 7005);
    ASSERT_TRUE(writer.Open(8000, false, CAudioObserver::kKindPcm));
    // The reader takes nothing: the socket fills, then the ring.
    const std::vector<uint8_t> block(1001, 0x55);
    std::size_t total = 0;
    const auto push = [&](std::size_t n) {
        const std::size_t taken = writer.Push(block.data(), n);
        total += taken;
        return taken;
    };
    for (int i = 0; i < 2000; ++i) {
        push(block.size());
    }
    // The writer thread may still move part of the ring into the socket;
    // once the socket is full too, not even one sample fits.
    ASSERT_TRUE(PollUntil(
        [&] {
            push(block.size());
            return push(2) == 0;
        },
        10s));
    EXPECT_LT(total, 2000u * 1000u);
    EXPECT_EQ(total % 2, 0u);
    writer.Close();
}

TEST(LocalListenWriterTest, ReformatChangesTheHeaderAndAFailedOneTakesNothing) {
    CTempDir dir;
    CLocalListenPeer peer(dir.Path(), 7006);
    CLocalListenWriter writer(dir.Path(), 7006);
    ASSERT_TRUE(writer.Open(8000, false, CAudioObserver::kKindPcm));
    ASSERT_TRUE(writer.Reformat(32000, false, CAudioObserver::kKindPcm));
    const std::vector<uint8_t> block(8000, 0x11);
    EXPECT_EQ(writer.Push(block.data(), block.size()), block.size());
    ASSERT_TRUE(PollUntil([&] { return !peer.Messages().empty(); }, 10s));
    const auto first = peer.Messages().front();
    EXPECT_EQ(first.bytes[0] | first.bytes[1] << 8, 32000);
    EXPECT_FALSE(writer.Reformat(44100, false, CAudioObserver::kKindPcm));
    EXPECT_EQ(writer.Push(block.data(), block.size()), 0u);
}

}  // namespace
}  // namespace zorv::test

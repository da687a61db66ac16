// Stereo pairs: what parameter records, set stereo and undo stereo make of
// the channels' pairs, and whose audio ends up in which record.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "channels/ChannelBank.h"
#include "support/CallOrder.h"
#include "support/ChannelDoubles.h"

namespace zorv::test {
namespace {

constexpr int kChannels = 6;
constexpr size_t kBlock = 64;  // 8 ms at 8000 Hz

// Every sample of a channel's blocks carries this value, so a record shows
// whose audio it holds.
int16_t VoiceOf(int channel) {
    return static_cast<int16_t>(5000 + 1000 * channel);
}

class StereoPairTest : public ::testing::Test {
protected:
    StereoPairTest() { FreshBank(); }

    // A new bank of mono level channels and an empty recorder.
    void FreshBank() {
        m_recorder.Reset();
        m_bank =
            std::make_unique<CChannelBank>(m_server, m_recorder, m_hooks, m_clock, 0, 0, kChannels);
        tagChanelParam p = kDefaultChanelParam;
        p.Activate = kActivateLevel;
        for (int ch = 0; ch < kChannels; ++ch) {
            m_bank->SetChannelParam(ch, p);
        }
    }

    // "M1" for a mono channel, "M3:1" for a master with slave 1, one word per channel.
    std::string Layout() const {
        std::string out;
        for (int ch = 0; ch < kChannels; ++ch) {
            tagChanelParam p{};
            m_bank->GetChannelParam(ch, p);
            out += (ch > 0 ? " M" : "M") + std::to_string(p.Mode);
            if (p.Mode != kModeMono) {
                out += ":" + std::to_string(p.SlaveChannel);
            }
        }
        return out;
    }

    // Each channel's handler as its record says it should be.
    void ExpectHandlersFollowTheRecords() const {
        for (int ch = 0; ch < kChannels; ++ch) {
            SCOPED_TRACE(ch);
            tagChanelParam p{};
            m_bank->GetChannelParam(ch, p);
            const CChannelBank::Handler h = m_bank->HandlerOf(ch);
            if (p.Mode == kModeMono) {
                EXPECT_EQ(h, CChannelBank::Handler::kLevel);
                EXPECT_EQ(m_bank->GetChannelState(ch).StateLine, static_cast<uint32_t>(CS_VOX));
                continue;
            }
            const bool low = ch < static_cast<int>(p.SlaveChannel);
            EXPECT_EQ(h,
                      low ? CChannelBank::Handler::kStereoLow : CChannelBank::Handler::kStereoHigh);
        }
    }

    // Loud blocks on every channel; records split every second on the way.
    void Speak(int seconds) {
        {
            CMutexLock lock(m_bank->Lock());
            m_bank->Values().maxRecordSeconds = 1;
        }
        int16_t samples[kChannels][kBlock];
        for (int ch = 0; ch < kChannels; ++ch) {
            std::fill(std::begin(samples[ch]), std::end(samples[ch]), VoiceOf(ch));
        }
        for (int b = 0; b < seconds * 125; ++b) {
            CMutexLock lock(m_bank->Lock());
            for (int ch = 0; ch < kChannels; ++ch) {
                m_bank->DeliverBlockLocked(ch, samples[ch], kBlock,
                                           static_cast<uint32_t>(VoiceOf(ch)));
            }
        }
        m_bank->StopAllRecords();
    }

    // Every finished record holds only its own line: a mono record its
    // channel's voice, a stereo record the master's at even and the slave's
    // at odd positions (0 where nothing was written yet).
    void ExpectRecordsHoldOnlyTheirOwnLines() const {
        ASSERT_FALSE(m_recorder.m_finished.empty());
        for (const CMemoryRecorder::Finished& f : m_recorder.m_finished) {
            SCOPED_TRACE("record of channel " + std::to_string(f.channel));
            tagChanelParam p{};
            m_bank->GetChannelParam(f.channel, p);
            const bool stereo = f.start.audioChannels == 2;
            for (size_t byte = 0; byte + 2 <= f.audio.size(); byte += 2) {
                int16_t s;
                std::memcpy(&s, &f.audio[byte], 2);
                const int source =
                    stereo && (byte / 2) % 2 == 1 ? static_cast<int>(p.SlaveChannel) : f.channel;
                if (s != 0 && s != VoiceOf(source)) {
                    ADD_FAILURE() << "sample " << byte / 2 << " is " << s << ", the voice of line "
                                  << (s - 5000) / 1000;
                    return;
                }
            }
        }
    }

    CallLog m_log;
    CManualClock m_clock;
    CPostRecorder m_server{m_log};
    CMemoryRecorder m_recorder{m_log};
    CLoggingHooks m_hooks{m_log};
    std::unique_ptr<CChannelBank> m_bank;
};

TEST_F(StereoPairTest, ParameterRecordsNeverLeaveHalfAPair) {
    struct Case {
        const char* name;
        std::pair<int, int> before;  // pair formed first (master, slave), or {-1, -1}
        int channel;
        uint32_t mode;
        uint32_t partner;
        const char* layout;
    };
    const Case cases[] = {
        {"slave of a channel far outside the device", {-1, -1}, 0, 2, 100000, "M1 M1 M1 M1 M1 M1"},
        {"master of a channel far outside the device", {-1, -1}, 0, 3, 100000, "M1 M1 M1 M1 M1 M1"},
        {"slave of a mono channel", {-1, -1}, 0, 2, 1, "M1 M1 M1 M1 M1 M1"},
        {"pair with itself", {-1, -1}, 2, 3, 2, "M1 M1 M1 M1 M1 M1"},
        {"unknown mode", {-1, -1}, 0, 7, 1, "M1 M1 M1 M1 M1 M1"},
        {"master record forms the pair", {-1, -1}, 1, 3, 4, "M1 M3:4 M1 M1 M2:1 M1"},
        {"slave already in another pair", {0, 1}, 2, 3, 1, "M3:1 M2:0 M1 M1 M1 M1"},
        {"master takes another slave", {0, 1}, 0, 3, 2, "M3:2 M1 M2:0 M1 M1 M1"},
        {"slave becomes master of its own master", {0, 1}, 1, 3, 0, "M2:1 M3:0 M1 M1 M1 M1"},
        {"mono record on a slave splits its pair", {0, 1}, 1, 1, 0, "M1 M1 M1 M1 M1 M1"},
        {"slave record that keeps its pair", {0, 1}, 1, 2, 0, "M3:1 M2:0 M1 M1 M1 M1"},
        {"slave record naming another master", {0, 1}, 1, 2, 3, "M1 M1 M1 M1 M1 M1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshBank();
        if (c.before.first >= 0) {
            ASSERT_EQ(m_bank->SetStereo(c.before.first, c.before.second, false), 1);
        }
        tagChanelParam p = kDefaultChanelParam;
        p.Activate = kActivateLevel;
        p.Mode = c.mode;
        p.SlaveChannel = c.partner;
        ASSERT_TRUE(m_bank->SetChannelParam(c.channel, p));
        EXPECT_EQ(Layout(), c.layout);
        ExpectHandlersFollowTheRecords();
        Speak(3);  // the length rule runs on every channel
        ExpectRecordsHoldOnlyTheirOwnLines();
    }
}

TEST_F(StereoPairTest, SetAndUndoStereoCheckThePair) {
    struct Case {
        const char* name;
        bool set;  // set stereo, else undo stereo
        int master;
        int slave;
        int result;
        const char* layout;
    };
    // Before each case: pairs (0, 1) and (3, 2).
    const char* kBefore = "M3:1 M2:0 M2:3 M3:2 M1 M1";
    const Case cases[] = {
        {"undo a pair", false, 0, 1, 1, "M1 M1 M2:3 M3:2 M1 M1"},
        {"undo a pair whose master has the higher index", false, 3, 2, 1, "M3:1 M2:0 M1 M1 M1 M1"},
        {"undo with the roles swapped", false, 1, 0, 0, kBefore},
        {"undo halves of two pairs", false, 0, 2, 0, kBefore},
        {"undo a master with the other pair's master", false, 0, 3, 0, kBefore},
        {"undo two mono channels", false, 4, 5, 0, kBefore},
        {"undo outside the device", false, 4, 6, 0, kBefore},
        {"set two mono channels", true, 5, 4, 1, "M3:1 M2:0 M2:3 M3:2 M2:5 M3:4"},
        {"set the same pair again", true, 0, 1, 1, kBefore},
        {"set with a slave of another pair", true, 4, 0, 0, kBefore},
        {"set with a master of another pair as slave", true, 4, 3, 0, kBefore},
        {"set a slave as master", true, 1, 4, 0, kBefore},
        {"set the two halves of one pair the other way round", true, 1, 0, 0, kBefore},
        {"set a channel with itself", true, 4, 4, 0, kBefore},
        {"set outside the device", true, 4, 6, 0, kBefore},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshBank();
        ASSERT_EQ(m_bank->SetStereo(0, 1, false), 1);
        ASSERT_EQ(m_bank->SetStereo(3, 2, false), 1);
        ASSERT_EQ(Layout(), kBefore);
        EXPECT_EQ(c.set ? m_bank->SetStereo(c.master, c.slave, false)
                        : m_bank->UndoStereo(c.master, c.slave, false),
                  c.result);
        EXPECT_EQ(Layout(), c.layout);
        ExpectHandlersFollowTheRecords();
        Speak(3);
        ExpectRecordsHoldOnlyTheirOwnLines();
    }
}

TEST_F(StereoPairTest, FormerMasterRecordsNoneOfItsFormerSlave) {
    // With TOn 2 s the mono pre-activation ring is as long as the pair's
    // buffer (one second of stereo), so the master keeps the buffer itself.
    m_bank->SetTOn(0, 1, 20, false);
    ASSERT_EQ(m_bank->SetStereo(0, 1, false), 1);
    Speak(1);
    ASSERT_EQ(m_bank->UndoStereo(0, 1, false), 1);
    Speak(3);
    ExpectRecordsHoldOnlyTheirOwnLines();
}

TEST_F(StereoPairTest, ManualActivationOfAPairRecordsAllItsAudio) {
    for (const auto& [master, slave] : {std::pair{3, 2}, std::pair{0, 1}}) {
        SCOPED_TRACE("master " + std::to_string(master));
        m_recorder.Reset();
        ASSERT_EQ(m_bank->SetStereo(master, slave, false), 1);
        ASSERT_EQ(m_bank->ManualActivate(master, true), 1);
        EXPECT_EQ(m_bank->GetChannelState(master).StateLine, static_cast<uint32_t>(CS_MANUAL));
        // Three seconds of quiet audio: manual activation records through it.
        const int blocks = 3 * 125;
        int16_t samples[kBlock] = {};
        for (int b = 0; b < blocks; ++b) {
            CMutexLock lock(m_bank->Lock());
            m_bank->DeliverBlockLocked(slave, samples, kBlock, 0);
            m_bank->DeliverBlockLocked(master, samples, kBlock, 0);
        }
        ASSERT_EQ(m_bank->ManualActivate(master, false), 1);
        ASSERT_EQ(m_recorder.m_finished.size(), 1u);
        EXPECT_EQ(m_recorder.m_finished[0].channel, master);
        EXPECT_EQ(m_recorder.m_finished[0].audio.size(), blocks * kBlock * 4);
        EXPECT_EQ(m_bank->GetChannelState(master).StateLine, static_cast<uint32_t>(CS_STEREO_VOX));
        EXPECT_EQ(m_bank->GetChannelState(slave).State, 0u);
        ASSERT_EQ(m_bank->UndoStereo(master, slave, false), 1);
    }
}

}  // namespace
}  // namespace zorv::test

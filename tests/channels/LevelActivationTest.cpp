// Recording by signal level: the start and stop windows, the pre-activation
// audio, manual activation, stereo pairs and the split of long records.
#include <gtest/gtest.h>

#include <cstring>

#include "channels/ChannelBank.h"
#include "core/Journal.h"
#include "support/CallOrder.h"
#include "support/ChannelDoubles.h"

namespace zorv::test {
namespace {

constexpr size_t kBlock = 64;  // 8 ms at 8000 Hz

class LevelActivationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_recorder.Reset();
        m_bank.reset();
        m_bank = std::make_unique<CChannelBank>(m_server, m_recorder, m_hooks, m_clock, 0, 0, 4);
        tagChanelParam p = kDefaultChanelParam;
        p.Activate = kActivateLevel;  // TOn 1, TOff 5, threshold 3276
        m_bank->SetChannelParam(0, p);
        m_log.clear();
    }

    // One block whose samples all hold value (its level is |value|).
    void Block(int channel, int16_t value) {
        int16_t samples[kBlock];
        std::fill(std::begin(samples), std::end(samples), value);
        CMutexLock lock(m_bank->Lock());
        m_bank->DeliverBlockLocked(channel, samples, kBlock,
                                   static_cast<uint32_t>(value < 0 ? -value : value));
    }
    // Blocks until the log gains entry; returns how many were fed (0: never).
    int BlocksUntil(int channel, int16_t value, const std::string& entry, int limit) {
        for (int i = 1; i <= limit; ++i) {
            Block(channel, value);
            if (Contains(m_log, entry)) {
                return i;
            }
        }
        return 0;
    }

    CallLog m_log;
    CManualClock m_clock;
    CPostRecorder m_server{m_log};
    CMemoryRecorder m_recorder{m_log};
    CLoggingHooks m_hooks{m_log};
    std::unique_ptr<CChannelBank> m_bank;
};

TEST_F(LevelActivationTest, StartsAfterSevenLoudBlocksAndStopsAfterTheSilence) {
    // 10000 is loud from the first block on (the smoothed level is 5000).
    EXPECT_EQ(BlocksUntil(0, 10000, "open(0)", 100), 7);
    EXPECT_EQ(m_bank->GetChannelState(0).State, 1u);
    EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_VOX));
    // Silence: the first quiet block still smooths to 5000; 625 more end it.
    EXPECT_EQ(BlocksUntil(0, 0, "finish(0)", 1000), 1 + 625);
    EXPECT_EQ(m_bank->GetChannelState(0).State, 0u);
    EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_VOX));
}

TEST_F(LevelActivationTest, LoudBlocksMustFillMostOfTheWindow) {
    // Five loud blocks and seven silent ones: with the smoothing, six blocks of
    // every twelve count as loud, one short of the seven that start a record.
    for (int i = 0; i < 240; ++i) {
        Block(0, i % 12 < 5 ? 8000 : 0);
    }
    EXPECT_FALSE(Contains(m_log, "open(0)"));
}

TEST_F(LevelActivationTest, RecordBeginsWithTheAudioBeforeTheTrigger) {
    // Quiet blocks 1..20, then loud blocks 21..; each block's samples carry
    // its number, so the record shows which blocks it holds.
    for (int b = 1; b <= 20; ++b) {
        Block(0, static_cast<int16_t>(b));
    }
    for (int b = 21; b <= 27; ++b) {
        Block(0, static_cast<int16_t>(10000 + b));
    }
    ASSERT_TRUE(Contains(m_log, "open(0)"));
    m_bank->StopRecord(0);  // writes the buffered trigger block too
    ASSERT_EQ(m_recorder.m_finished.size(), 1u);
    const std::vector<uint8_t>& audio = m_recorder.m_finished[0].audio;
    const size_t preRoll = 8000 * 2 / 10;  // TOn 0.1 s of audio
    ASSERT_EQ(audio.size(), preRoll + kBlock * 2);
    auto sampleAt = [&](size_t byte) {
        int16_t s;
        std::memcpy(&s, &audio[byte], 2);
        return s;
    };
    // The trigger block follows the pre-activation audio, which ends with the
    // loud blocks before it, in order.
    EXPECT_EQ(sampleAt(preRoll), 10000 + 27);
    EXPECT_EQ(sampleAt(preRoll - 2), 10000 + 26);
    EXPECT_EQ(sampleAt(preRoll - kBlock * 2), 10000 + 26);
    EXPECT_EQ(sampleAt(preRoll - kBlock * 4), 10000 + 25);
    std::vector<int16_t> order;
    for (size_t byte = 0; byte < preRoll; byte += 2) {
        const int16_t s = sampleAt(byte);
        if (s > 10000 && (order.empty() || order.back() != s)) {
            order.push_back(s);
        }
    }
    EXPECT_EQ(order, (std::vector<int16_t>{10021, 10022, 10023, 10024, 10025, 10026}));
}

TEST_F(LevelActivationTest, ManualActivationRecordsThroughSilence) {
    EXPECT_EQ(m_bank->ManualActivate(0, true), 1);
    EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_MANUAL));
    EXPECT_TRUE(Contains(m_log, "open(0)"));
    for (int i = 0; i < 2000; ++i) {
        Block(0, 0);
    }
    EXPECT_FALSE(Contains(m_log, "finish(0)"));
    EXPECT_EQ(m_bank->ManualActivate(0, false), 1);
    EXPECT_TRUE(Contains(m_log, "finish(0)"));
    EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_VOX));
    // A line-activated channel refuses manual activation.
    m_bank->SetActivate(1, 1, kActivateLine, false);
    EXPECT_EQ(m_bank->ManualActivate(1, true), 0);
}

TEST_F(LevelActivationTest, SplitContinuesOrHolds) {
    for (uint32_t continueAfterSplit : {1u, 0u}) {
        SCOPED_TRACE(continueAfterSplit);
        SetUp();
        {
            CMutexLock lock(m_bank->Lock());
            m_bank->Values().maxRecordSeconds = 1;
            m_bank->Values().continueAfterSplit = continueAfterSplit;
        }
        ASSERT_EQ(BlocksUntil(0, 20000, "open(0)", 100), 7);
        {
            CMutexLock lock(m_bank->Lock());
            SetText(m_recorder.Metadata(0).TlfString_1, "1234");
        }
        ASSERT_GT(BlocksUntil(0, 20000, "finish(0)", 400), 0);
        ASSERT_EQ(m_recorder.m_finished.size(), 1u);
        EXPECT_EQ(GetText(m_recorder.m_finished[0].meta.Remark), CatalogText(Msg{325}));
        if (continueAfterSplit == 1) {
            // A new record follows at once with the numbers of the first.
            EXPECT_TRUE(m_recorder.IsRecordOpen(0));
            EXPECT_STREQ(m_recorder.m_meta[0].TlfString_1, "1234");
            continue;
        }
        EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_SPLIT_HOLD));
        const int writes = m_recorder.m_writes;
        for (int i = 0; i < 500; ++i) {
            Block(0, 20000);  // still loud: held, nothing written, no new record
        }
        EXPECT_EQ(m_recorder.m_writes, writes);
        EXPECT_FALSE(m_recorder.IsRecordOpen(0));
        EXPECT_EQ(BlocksUntil(0, 0, "nothing", 627), 0);  // the silence ends the hold
        EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_VOX));
        m_log.clear();
        EXPECT_EQ(BlocksUntil(0, 20000, "open(0)", 100), 7);
    }
}

TEST_F(LevelActivationTest, StereoPairInterleavesIntoTheMastersRecord) {
    tagChanelParam p = kDefaultChanelParam;
    p.Activate = kActivateLevel;
    m_bank->SetChannelParam(2, p);
    m_bank->SetChannelParam(3, p);
    ASSERT_EQ(m_bank->SetStereo(3, 2, false), 1);  // the master has the higher index
    EXPECT_EQ(m_bank->GetChannelState(3).StateLine, static_cast<uint32_t>(CS_STEREO_VOX));
    EXPECT_EQ(m_bank->GetChannelState(2).StateLine, static_cast<uint32_t>(CS_STEREO_SLAVE));
    EXPECT_EQ(m_bank->HandlerOf(2), CChannelBank::Handler::kStereoLow);
    EXPECT_EQ(m_bank->HandlerOf(3), CChannelBank::Handler::kStereoHigh);
    EXPECT_EQ(m_recorder.m_format[3], (std::pair<int, uint32_t>{2, 8000}));

    // Only the slave speaks: the pair still starts, in the master's record.
    for (int i = 0; i < 20 && !Contains(m_log, "open(3)"); ++i) {
        Block(2, 12000);
        Block(3, 1);
    }
    ASSERT_TRUE(Contains(m_log, "open(3)"));
    m_bank->StopRecord(3);
    ASSERT_EQ(m_recorder.m_finished.size(), 1u);
    const std::vector<uint8_t>& audio = m_recorder.m_finished[0].audio;
    ASSERT_GE(audio.size(), 8u);
    int16_t left;
    int16_t right;
    std::memcpy(&left, &audio[audio.size() - 4], 2);
    std::memcpy(&right, &audio[audio.size() - 2], 2);
    EXPECT_EQ(left, 1);       // master at even positions
    EXPECT_EQ(right, 12000);  // slave at odd positions

    // Setting Activate on the slave splits the pair.
    m_bank->SetActivate(2, 2, kActivateLevel, false);
    tagChanelParam master{};
    tagChanelParam slave{};
    m_bank->GetChannelParam(3, master);
    m_bank->GetChannelParam(2, slave);
    EXPECT_EQ(master.Mode, static_cast<uint32_t>(kModeMono));
    EXPECT_EQ(slave.Mode, static_cast<uint32_t>(kModeMono));
    EXPECT_EQ(slave.SlaveChannel, 0u);
}

TEST_F(LevelActivationTest, FailedGroupTakesTheChannelOutOfServiceUntilItSpeaksAgain) {
    for (bool recording : {true, false}) {
        SCOPED_TRACE(recording ? "recording" : "waiting");
        SetUp();
        if (recording) {
            ASSERT_EQ(BlocksUntil(0, 10000, "open(0)", 100), 7);
        }
        {
            CMutexLock lock(m_bank->Lock());
            m_bank->MarkFaultLocked(0);
        }
        EXPECT_EQ(Contains(m_log, "finish(0)"), recording);
        EXPECT_EQ(m_bank->HandlerOf(0), CChannelBank::Handler::kIdle);
        m_log.clear();
        EXPECT_EQ(BlocksUntil(0, 10000, "open(0)", 100), 0);  // nothing records in the fault
        EXPECT_EQ(m_bank->ManualActivate(0, true), 0);  // not even by a client
        EXPECT_FALSE(Contains(m_log, "open(0)"));
        EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_DSP_FAULT));
        {
            CMutexLock lock(m_bank->Lock());
            m_bank->ClearFaultLocked(0);
        }
        EXPECT_EQ(m_bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_VOX));
        EXPECT_EQ(BlocksUntil(0, 10000, "open(0)", 100), 7);
    }
}

TEST_F(LevelActivationTest, ZeroWindowsRecordFromTheFirstBlock) {
    m_bank->SetTOn(0, 0, 0, false);
    m_bank->SetTOff(0, 0, 0, false);
    EXPECT_GE(m_bank->BufferCapacity(0), kBlock * 2);  // never a zero-length buffer
    Block(0, 0);  // a start count of 0 starts at once
    EXPECT_TRUE(Contains(m_log, "open(0)"));
    Block(0, 0);
    EXPECT_TRUE(Contains(m_log, "finish(0)"));
}

}  // namespace
}  // namespace zorv::test

// The line-state machine: sequences of line events and digits against the
// channel's StateLine, the messages posted and the records opened and
// finished.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "channels/ChannelBank.h"
#include "core/Journal.h"
#include "support/CallOrder.h"
#include "support/ChannelDoubles.h"

namespace zorv::test {
namespace {

struct LineSetup {
    uint32_t recordFromRing = 1;
    uint32_t forcedDirection = 0;
    uint32_t aonFlags = 0;
    bool failOpen = false;
    uint32_t activate = kActivateLine;
};

struct CLineRun {
    CallLog log;
    CManualClock clock;
    CPostRecorder server{log};
    CMemoryRecorder recorder{log};
    CLoggingHooks hooks{log};
    std::unique_ptr<CChannelBank> bank;
    std::vector<uint32_t> states;  // StateLine after each step

    explicit CLineRun(const LineSetup& setup) {
        bank = std::make_unique<CChannelBank>(server, recorder, hooks, clock, 0, 0, 4);
        bank->Values().recordFromRing = setup.recordFromRing;
        recorder.m_failOpen = setup.failOpen;
        hooks.m_aonFlags = setup.aonFlags;
        bank->SetForcedDirection(0, setup.forcedDirection);
        if (setup.activate != kActivateLine) {
            bank->SetActivate(0, 0, setup.activate, false);
        }
        log.clear();
    }

    // Steps: "ring", "in", "out", "free", "lost", "dN" (digit N), "+S" (S seconds pass).
    void Play(const std::string& script) {
        std::istringstream steps(script);
        std::string step;
        CMutexLock lock(bank->Lock());
        while (steps >> step) {
            if (step == "ring") {
                bank->LineEventLocked(0, kLineRing);
            } else if (step == "in") {
                bank->LineEventLocked(0, kLineCallIn);
            } else if (step == "out") {
                bank->LineEventLocked(0, kLineCallOut);
            } else if (step == "free") {
                bank->LineEventLocked(0, kLineFree);
            } else if (step == "lost") {
                bank->LineEventLocked(0, kLineLost);
            } else if (step[0] == 'd') {
                bank->DigitEventLocked(0, std::stoi(step.substr(1)));
            } else if (step[0] == '+') {
                clock.Advance(std::chrono::seconds(std::stoi(step.substr(1))));
            }
            states.push_back(bank->StateLocked(0).StateLine);
        }
    }
};

TEST(LineStateMachineTest, EventSequences) {
    struct Case {
        const char* name;
        LineSetup setup;
        const char* script;
        std::vector<uint32_t> states;
        CallLog expected;  // in order; other entries may come between
    };
    const std::vector<Case> cases = {
        {"answered call, recorded from the ring",
         {},
         "ring in free",
         {CS_RING, CS_CALL_IN, CS_FREE},
         {"hook ring(0)", "open(0)", "hook in(0)", "hook free(0)", "finish(0)"}},
        {"ring without answer, not recorded from the ring",
         {.recordFromRing = 0},
         "ring +7 free",
         {CS_RING, CS_RING, CS_FREE},
         {"hook ring(0)", "hook free(0)", "db(hour 99,inout 3)"}},
        {"outgoing call",
         {},
         "out free",
         {CS_CALL_OUT, CS_FREE},
         {"hook out(0)", "open(0)", "hook free(0)", "finish(0)"}},
        {"call out on a lost line first reports the line back",
         {},
         "lost out",
         {CS_LOST, CS_CALL_OUT},
         {"post(16,0,0,0)", "post(17,0,0,0)", "hook out(0)", "open(0)"}},
        {"lost twice reports once",
         {},
         "lost lost",
         {CS_LOST, CS_LOST},
         {"post(16,0,0,0)"}},
        {"forced direction makes a call in a call out",
         {.forcedDirection = 3},
         "in",
         {CS_CALL_OUT},
         {"hook out(0)", "open(0)"}},
        {"ring with FSK caller ID starts its decoder",
         {.aonFlags = 2},
         "ring",
         {CS_RING},
         {"hook ring(0)", "aon request(0)", "open(0)"}},
        {"ring with only AON and DTMF caller ID starts nothing",
         {.aonFlags = 5},
         "ring",
         {CS_RING},
         {"hook ring(0)", "open(0)"}},
        {"a ring while a call is in progress only runs the hook",
         {},
         "in ring",
         {CS_CALL_IN, CS_CALL_IN},
         {"hook in(0)", "open(0)", "hook ring(0)"}},
        {"record that cannot open: free still ends the call",
         {.failOpen = true},
         "in free",
         {CS_CALL_IN, CS_FREE},
         {"open(0)", "hook free(0)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLineRun run(c.setup);
        run.Play(c.script);
        EXPECT_EQ(run.states, c.states);
        EXPECT_TRUE(AppearInOrder(run.log, c.expected));
    }
}

TEST(LineStateMachineTest, EveryStopPathLeavesTheLineIdle) {
    struct Case {
        const char* name;
        std::function<void(CChannelBank&)> stop;
    };
    const Case cases[] = {
        {"sample-rate change", [](CChannelBank& b) { b.SetSampleRate(0, 0, 16000, false); }},
        {"client stop", [](CChannelBank& b) { b.StopRecord(0); }},
        {"device stop", [](CChannelBank& b) { b.StopAllRecords(); }},
        {"activation set again", [](CChannelBank& b) { b.SetActivate(0, 0, kActivateLine, false); }},
        {"processor fault",
         [](CChannelBank& b) {
             CMutexLock lock(b.Lock());
             b.MarkFaultLocked(0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLineRun run({});
        {
            CMutexLock lock(run.bank->Lock());
            run.bank->Values().maxRecordSeconds = 1;
        }
        run.Play("in");
        c.stop(*run.bank);
        EXPECT_EQ(run.bank->HandlerOf(0), CChannelBank::Handler::kIdle);
        EXPECT_EQ(run.bank->GetChannelState(0).State, 0u);
        // The line goes on after the record ended: no block counts towards a
        // record and the length rule opens none.
        run.log.clear();
        int16_t samples[64] = {};
        for (int b = 0; b < 3 * 125; ++b) {
            CMutexLock lock(run.bank->Lock());
            run.bank->DeliverBlockLocked(0, samples, 64, 0);
        }
        EXPECT_FALSE(Contains(run.log, "open(0)"));
        EXPECT_EQ(run.bank->GetChannelState(0).RecordTime, 0u);
        EXPECT_FALSE(run.recorder.IsRecordOpen(0));
        // The next call gets a record of its own, with its own direction.
        run.recorder.Reset();
        run.Play("free out free");
        ASSERT_EQ(run.recorder.m_finished.size(), 1u);
        EXPECT_EQ(run.recorder.m_finished[0].start.stateLine, static_cast<uint32_t>(CS_CALL_OUT));
        EXPECT_EQ(run.recorder.m_finished[0].meta.inout, static_cast<uint32_t>(CS_CALL_OUT));
    }
}

TEST(LineStateMachineTest, CallOutAfterCallInKeepsTheOneRecord) {
    CLineRun run({});
    run.Play("in out free");
    int opens = 0;
    for (const auto& entry : run.log) {
        opens += entry == "open(0)" ? 1 : 0;
    }
    EXPECT_EQ(opens, 1);
    ASSERT_EQ(run.recorder.m_finished.size(), 1u);
    EXPECT_EQ(run.recorder.m_finished[0].meta.inout, static_cast<uint32_t>(CS_CALL_OUT));
}

TEST(LineStateMachineTest, UnansweredRingCarriesItsRemark) {
    // Recorded from the ring: the record ends with remark 136 and direction 3.
    CLineRun recorded({});
    recorded.Play("ring free");
    ASSERT_EQ(recorded.recorder.m_finished.size(), 1u);
    EXPECT_EQ(GetText(recorded.recorder.m_finished[0].meta.Remark), CatalogText(Msg{136}));
    EXPECT_EQ(recorded.recorder.m_finished[0].meta.inout, static_cast<uint32_t>(CS_CALL_IN));

    // Not recorded: a database entry without file, with the ringing time.
    CLineRun entry({.recordFromRing = 0});
    entry.Play("ring +7 free");
    ASSERT_EQ(entry.recorder.m_withoutFile.size(), 1u);
    const tagDB_Record& r = entry.recorder.m_withoutFile[0];
    EXPECT_EQ(r.hour, 99u);
    EXPECT_EQ(r.inout, 3u);
    EXPECT_EQ(r.dhour * 3600 + r.dmin * 60 + r.dsek, 7u);
    EXPECT_EQ(GetText(r.Remark), CatalogText(Msg{136}));
    EXPECT_EQ(GetText(r.namefile), "");
}

TEST(LineStateMachineTest, DialledDigits) {
    CLineRun run({});
    run.Play("out d1 d2 d12 d0");
    EXPECT_STREQ(run.bank->GetChannelState(0).TlfString, "12?0");
    EXPECT_STREQ(run.recorder.m_meta[0].TlfString_2, "12?0");

    // More than 40 digits, or a number field already full, never overflow.
    CLineRun many({});
    many.hooks.m_dtmf = std::string(40, '7');
    std::string script = "out out";  // the second call-out polls the DTMF decoder
    for (int i = 0; i < 45; ++i) {
        script += " d5";
    }
    many.Play(script);
    EXPECT_EQ(strnlen(many.recorder.m_meta[0].TlfString_2, 41), 40u);
    EXPECT_EQ(strnlen(many.bank->GetChannelState(0).TlfString, 41), 40u);

    // Digits count only during a call out.
    CLineRun incoming({});
    incoming.Play("in d3");
    EXPECT_STREQ(incoming.recorder.m_meta[0].TlfString_2, "");
}

TEST(LineStateMachineTest, CallerNumberTakenInTheWindow) {
    CLineRun run({});
    run.hooks.m_caller = "4951234567";
    run.hooks.m_category = 2;
    run.Play("ring in free");
    ASSERT_EQ(run.recorder.m_finished.size(), 1u);
    EXPECT_STREQ(run.recorder.m_finished[0].meta.TlfString_1, "4951234567");
    const uint32_t category = run.recorder.m_finished[0].meta.Category_1;  // a packed field
    EXPECT_EQ(category, 2u);
}

TEST(LineStateMachineTest, LevelChannelIgnoresLineEvents) {
    CLineRun run({.activate = kActivateLevel});
    run.Play("ring in free lost");
    EXPECT_EQ(run.states, (std::vector<uint32_t>{CS_VOX, CS_VOX, CS_VOX, CS_VOX}));
    EXPECT_TRUE(run.log.empty());
}

TEST(LineStateMachineTest, ProcessorFaultAndItsEnd) {
    CLineRun run({});
    run.Play("in");
    {
        CMutexLock lock(run.bank->Lock());
        run.bank->MarkFaultLocked(0);
    }
    EXPECT_EQ(run.bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_DSP_FAULT));
    EXPECT_TRUE(Contains(run.log, "finish(0)"));
    run.Play("ring");  // a ring needs a free line
    EXPECT_EQ(run.states.back(), static_cast<uint32_t>(CS_DSP_FAULT));
    {
        CMutexLock lock(run.bank->Lock());
        run.bank->ClearFaultLocked(0);
    }
    EXPECT_EQ(run.bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_FREE));

    // A fault that the line itself ended (lost) is not undone by returning data.
    CLineRun lost({});
    {
        CMutexLock lock(lost.bank->Lock());
        lost.bank->MarkFaultLocked(0);
        lost.bank->LineEventLocked(0, kLineLost);
        lost.bank->ClearFaultLocked(0);
    }
    EXPECT_EQ(lost.bank->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_LOST));
}

}  // namespace
}  // namespace zorv::test

// The message ring and its worker thread.
#include "core/MessageThread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/CodedException.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

// Records every handled message; the handler of message 1 (the start) waits at
// a gate until the test opens it, so the test can fill the ring meanwhile.
class CGatedThread final : public CMessageThread {
public:
    CGatedThread() : CMessageThread(200, -1) {}
    ~CGatedThread() override {
        Open();
        Stop();
    }

    void Open() {
        std::lock_guard lock(m_lock);
        m_open = true;
        m_changed.notify_all();
    }

    // Waits until the handler of message 1 is blocked at the gate.
    void WaitUntilGated() {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return m_gated; });
    }

    // Waits (bounded) until pred holds for the handled messages.
    template <typename Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, 10s, [&] { return pred(m_handled); });
    }

    std::vector<ServerMessage> Handled() {
        std::lock_guard lock(m_lock);
        return m_handled;
    }

    using CMessageThread::SetStopWait;

    int m_throwOn = -1;
    int32_t m_throwCode = 0;

protected:
    void OnMessage(int32_t code, int32_t a, int32_t b, int32_t c) override {
        std::unique_lock lock(m_lock);
        m_handled.push_back({code, a, b, c});
        m_changed.notify_all();
        if (code == 1) {
            m_gated = true;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_open; });
        }
        if (code == m_throwOn) {
            if (m_throwCode != 0) {
                throw CCodedException(m_throwCode, "coded");
            }
            throw std::runtime_error("plain");
        }
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<ServerMessage> m_handled;
    bool m_gated = false;
    bool m_open = false;
};

std::vector<int32_t> Codes(const std::vector<ServerMessage>& messages) {
    std::vector<int32_t> codes;
    for (const ServerMessage& m : messages) {
        codes.push_back(m.code);
    }
    return codes;
}

TEST(MessageThreadTest, FullRingRefusesAndDropsTheMessage) {
    CGatedThread thread;
    ASSERT_TRUE(thread.Start());
    thread.WaitUntilGated();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(thread.Post(100 + i, i));
    }
    EXPECT_FALSE(thread.Post(999));
    EXPECT_EQ(thread.QueuedCount(), 200);

    thread.ClearQueue();
    EXPECT_TRUE(thread.Post(50));
    thread.Open();
    ASSERT_TRUE(thread.WaitFor([](const auto& h) { return h.size() == 2; }));
    thread.Stop();
    EXPECT_EQ(Codes(thread.Handled()), (std::vector<int32_t>{1, 50, 2}));
}

TEST(MessageThreadTest, MessagesAreHandledInPostingOrderAcrossTheRingEnd) {
    CGatedThread thread;
    ASSERT_TRUE(thread.Start());
    thread.WaitUntilGated();
    thread.Open();
    std::vector<int32_t> expected{1};
    // More than a ring's worth, so the indexes wrap.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 150; ++i) {
            const int32_t code = 100 + round * 150 + i;
            while (!thread.Post(code)) {
                std::this_thread::yield();
            }
            expected.push_back(code);
        }
    }
    ASSERT_TRUE(thread.WaitFor([&](const auto& h) { return h.size() == expected.size(); }));
    EXPECT_EQ(Codes(thread.Handled()), expected);
}

TEST(MessageThreadTest, StopWithAFullRingStillDeliversTheStop) {
    CGatedThread thread;
    ASSERT_TRUE(thread.Start());
    thread.WaitUntilGated();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(thread.Post(100 + i));
    }
    std::thread stopper([&] { thread.Stop(); });
    // The full ring is emptied so that the stop gets in.
    while (thread.QueuedCount() != 1) {
        std::this_thread::yield();
    }
    thread.Open();
    stopper.join();
    EXPECT_EQ(Codes(thread.Handled()), (std::vector<int32_t>{1, 2}));
}

TEST(MessageThreadTest, MessagesBehindTheStopAreNeverHandled) {
    CGatedThread thread;
    ASSERT_TRUE(thread.Start());
    thread.WaitUntilGated();
    thread.Post(10);
    std::thread stopper([&] { thread.Stop(); });
    while (thread.QueuedCount() != 2) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(thread.Post(11));  // queued behind message 2
    thread.Open();
    stopper.join();
    EXPECT_EQ(Codes(thread.Handled()), (std::vector<int32_t>{1, 10, 2}));
}

TEST(MessageThreadTest, SlowHandlerMakesStopClearAndPostAgain) {
    CGatedThread thread;
    thread.SetStopWait(100ms);
    ASSERT_TRUE(thread.Start());
    thread.WaitUntilGated();
    thread.Post(10);
    std::thread stopper([&] { thread.Stop(); });
    // First [10, 2]; after the stop wait the queue is cleared and 2 posted
    // again, so message 10 is lost.
    while (thread.QueuedCount() != 2) {
        std::this_thread::yield();
    }
    while (thread.QueuedCount() != 1) {
        std::this_thread::sleep_for(5ms);
    }
    thread.Open();
    stopper.join();
    EXPECT_EQ(Codes(thread.Handled()), (std::vector<int32_t>{1, 2}));
}

TEST(MessageThreadTest, ExceptionInAHandlerIsPostedAsMessageThree) {
    struct Case {
        int32_t throwCode;
        int32_t reportedCode;
    };
    for (const Case c : {Case{0x77, 0x77}, Case{0, 0}}) {
        CGatedThread thread;
        thread.m_throwOn = 40;
        thread.m_throwCode = c.throwCode;
        ASSERT_TRUE(thread.Start());
        thread.Open();
        thread.Post(40);
        ASSERT_TRUE(thread.WaitFor([](const auto& h) { return h.size() == 3; }));
        const ServerMessage report = thread.Handled()[2];
        EXPECT_EQ(report.code, 3);
        EXPECT_EQ(report.a, c.reportedCode);
        EXPECT_EQ(report.b, 40);  // the source is the code being handled
    }
}

TEST(MessageThreadTest, PostBeforeStartAndAfterStopIsRefused) {
    CGatedThread thread;
    EXPECT_FALSE(thread.Post(5));
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Start());
    thread.Open();
    thread.Stop();
    EXPECT_FALSE(thread.Post(5));
    thread.Stop();  // idempotent
}

}  // namespace
}  // namespace zorv

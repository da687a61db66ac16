// The gate and the reassembly of the client protocol, without sockets.
#include <gtest/gtest.h>

#include <vector>

#include "access/MessageAssembler.h"

namespace zorv::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ClientGateTest, DecidesFromTheBytesGiven) {
    struct Case {
        const char* what;
        Bytes bytes;
        bool authorized;
        GateDecision::Kind kind;
        std::size_t size;
        std::size_t missing;
    } cases[] = {
        {"one byte of a login", {1}, false, GateDecision::kNeedMore, 0, 1},
        {"one byte of an unknown code", {14}, true, GateDecision::kNeedMore, 0, 1},
        {"half a login", Bytes(26, 1), false, GateDecision::kNeedMore, 0, 26},
        {"whole login", Bytes(52, 1), false, GateDecision::kRun, 52, 0},
        {"index 100, short", {1, 100}, false, GateDecision::kNeedMore, 0, 2},
        {"index 100", {1, 100, 0}, false, GateDecision::kNeedMore, 0, 1},
        {"index 100, whole", {1, 100, 0, 0}, false, GateDecision::kSkip, 4, 0},
        {"index 255 on a read", {3, 255, 0, 0, 9}, true, GateDecision::kSkip, 4, 0},
        {"read before login", {3, 0}, false, GateDecision::kUnauthorized, 0, 0},
        {"unknown before login", {14, 0, 0, 0}, false, GateDecision::kUnauthorized, 0, 0},
        {"unknown after login", {14, 0, 0, 0}, true, GateDecision::kSkip, 4, 0},
        {"unknown, short", {14, 0}, true, GateDecision::kNeedMore, 0, 2},
        {"read", {3, 0, 0, 0, 3}, true, GateDecision::kRun, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const GateDecision d = GateMessage(c.bytes, c.authorized);
        EXPECT_EQ(d.kind, c.kind);
        EXPECT_EQ(d.size, c.size);
        EXPECT_EQ(d.missing, c.missing);
    }
}

// Runs the gate as an authorized connection and records what it runs.
class CRecorder final : public IMessageDispatcher {
public:
    DispatchOutcome Dispatch(std::span<const uint8_t> bytes) override {
        ++calls;
        const GateDecision d = GateMessage(bytes, true);
        switch (d.kind) {
            case GateDecision::kRun:
                messages.emplace_back(bytes.begin(), bytes.begin() + static_cast<long>(d.size));
                return {DispatchOutcome::kUsed, d.size, 0};
            case GateDecision::kSkip:
                skipped += d.size;
                return {DispatchOutcome::kUsed, d.size, 0};
            case GateDecision::kNeedMore:
                return {DispatchOutcome::kNeedMore, 0, d.missing};
            case GateDecision::kUnauthorized:
                break;
        }
        return {DispatchOutcome::kStop, 0, 0};
    }
    std::vector<Bytes> messages;
    std::size_t skipped = 0;
    int calls = 0;
};

TEST(MessageAssemblerTest, SameMessagesWhateverTheSplit) {
    Bytes stream;
    const auto add = [&](Bytes b) { stream.insert(stream.end(), b.begin(), b.end()); };
    Bytes login(52, 0);
    login[0] = 1;
    login[10] = 0x5A;
    add(login);
    add({3, 1, 0, 0});
    add({1, 100, 0, 0});  // a login with a bad index: 4 bytes
    add({14, 0, 0, 0});  // unknown
    add({58, 2, 0, 0});
    add(login);
    CRecorder whole;
    CMessageAssembler a;
    ASSERT_TRUE(a.Feed(stream, whole));
    ASSERT_EQ(whole.messages.size(), 4u);
    EXPECT_EQ(whole.skipped, 8u);
    for (std::size_t cut1 = 1; cut1 < stream.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 < stream.size(); cut2 += 7) {
            CRecorder split;
            CMessageAssembler b;
            const std::span<const uint8_t> s(stream);
            b.Feed(s.subspan(0, cut1), split);
            b.Feed(s.subspan(cut1, cut2 - cut1), split);
            b.Feed(s.subspan(cut2), split);
            ASSERT_EQ(split.messages, whole.messages) << cut1 << " " << cut2;
            EXPECT_EQ(split.skipped, whole.skipped);
            EXPECT_EQ(b.Kept(), 0u);
        }
    }
}

TEST(MessageAssemblerTest, LoginIn30And22IsDispatchedOnce) {
    Bytes login(52, 0);
    login[0] = 1;
    CRecorder recorder;
    CMessageAssembler a;
    a.Feed(std::span<const uint8_t>(login).first(30), recorder);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(a.Kept(), 30u);
    a.Feed(std::span<const uint8_t>(login).subspan(30), recorder);
    EXPECT_EQ(recorder.messages, std::vector<Bytes>{login});
}

}  // namespace
}  // namespace zorv::test

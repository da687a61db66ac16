// Parsing the record stream: blocks and events come out the same however
// the stream is cut into reads; garbage is skipped and reported.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "devices/RecordStreamParser.h"
#include "support/StreamBuilder.h"

namespace zorv::test {
namespace {

// Writes down every block (channel samples) and event the parser delivers.
// It may throw once, after writing down the entry of that number.
class CRecordingSink final : public IRecordStreamSink {
public:
    explicit CRecordingSink(CRecordStreamParser*& parser) : m_parser(parser) {}
    void OnBlock(int group) override {
        Record(group);
        ThrowIfDue();
    }
    void OnEvent(int group, int field, uint8_t value, uint8_t code) override {
        m_entries.push_back(fmt::format("event g{} c{} v{} code{}", group, field, value, code));
        ThrowIfDue();
    }
    void OnResync(int rejected) override {
        m_entries.push_back(fmt::format("resync {}", rejected));
    }
    void OnSplitLimit() override { ++m_splitLimits; }
    void OnSinkFailure() override { ++m_failures; }

    std::vector<std::string> m_entries;
    std::array<int, 3> m_first{};
    std::array<int, 3> m_count{};
    int m_splitLimits = 0;
    int m_failures = 0;
    std::size_t m_throwAtEntry = 0;  // 1-based; 0: never

private:
    void ThrowIfDue() {
        if (m_entries.size() == m_throwAtEntry) {
            throw std::runtime_error("handler failed");
        }
    }
    void Record(int group) {
        std::string entry = fmt::format("block g{}:", group);
        const int first = m_first[static_cast<size_t>(group)];
        for (int ch = first; ch < first + m_count[static_cast<size_t>(group)]; ++ch) {
            const int16_t* s = m_parser->ChannelSamples(ch);
            entry +=
                fmt::format(" c{}[{} {} {}]", ch, s[0], s[1], s[m_parser->BlockSamples(group) - 1]);
        }
        m_entries.push_back(entry);
    }

    CRecordStreamParser*& m_parser;
};

struct Layout {
    int audioLength;
    std::array<int, 3> channels;
};

// What the sink saw beyond its entries.
struct ParseOutcome {
    int splitLimits = 0;
    int failures = 0;  // exceptions the parser reported
    int escaped = 0;   // exceptions that came out of Feed
};

std::vector<std::string> Parse(const Layout& layout, const std::vector<uint8_t>& stream,
                               const std::vector<size_t>& cuts, ParseOutcome* outcome = nullptr,
                               std::size_t throwAtEntry = 0) {
    CRecordStreamParser* parserPtr = nullptr;
    CRecordingSink sink(parserPtr);
    sink.m_throwAtEntry = throwAtEntry;
    CRecordStreamParser parser(sink);
    parserPtr = &parser;
    std::array<int, 3> first{};
    int total = 0;
    for (int g = 0; g < 3; ++g) {
        first[static_cast<size_t>(g)] = total;
        total += layout.channels[static_cast<size_t>(g)];
    }
    sink.m_first = first;
    sink.m_count = layout.channels;
    parser.Configure(layout.audioLength, layout.channels, first);
    int escaped = 0;
    // Each read is fed as the reading loop does, which survives an exception.
    auto feed = [&](size_t from, size_t to) {
        try {
            parser.Feed(stream.data() + from, to - from);
        } catch (const std::exception&) {
            ++escaped;
        }
    };
    size_t at = 0;
    for (size_t cut : cuts) {
        feed(at, cut);
        at = cut;
    }
    feed(at, stream.size());
    if (outcome != nullptr) {
        *outcome = ParseOutcome{sink.m_splitLimits, sink.m_failures, escaped};
    }
    return sink.m_entries;
}

TEST(RecordStreamParserTest, EveryCutGivesTheSameBlocksAndEvents) {
    struct Case {
        const char* name;
        Layout layout;
        std::vector<uint8_t> stream;
    };
    const std::vector<Case> cases = {
        {"six-sample records",
         {14, {6, 2, 0}},
         CStreamBuilder(kShortAudioRecordLength, {6, 2, 0})
             .Audio(0, 70)
             .Event(0, 3, 1, Code(DspEvent::Line))
             .Audio(1, 130, 5000)
             .Audio(0, 60)
             .Bytes()},
        // Five channels do not divide twelve: the dealing carries over.
        {"twelve-sample records",
         {26, {5, 6, 1}},
         CStreamBuilder(kLongAudioRecordLength, {5, 6, 1})
             .Audio(0, 140)
             .Event(1, 6, 9, Code(DspEvent::Monitor))
             .Audio(2, 200, 300)
             .Audio(1, 70)
             .Bytes()},
        {"garbage inside",
         {14, {6, 0, 0}},
         CStreamBuilder(kShortAudioRecordLength, {6, 0, 0})
             .Audio(0, 40)
             .Raw({0x01, 0xFF, 0x80})
             .Audio(0, 90)
             .Event(0, 0, 2, Code(DspEvent::Line))
             .Bytes()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> whole = Parse(c.layout, c.stream, {});
        ASSERT_FALSE(whole.empty());
        for (size_t cut = 1; cut < c.stream.size(); ++cut) {
            ASSERT_EQ(Parse(c.layout, c.stream, {cut}), whole) << "cut at " << cut;
        }
        // Many small reads, down to single bytes.
        std::vector<size_t> bytes;
        for (size_t i = 1; i < c.stream.size(); ++i) {
            bytes.push_back(i);
        }
        EXPECT_EQ(Parse(c.layout, c.stream, bytes), whole);
    }
}

TEST(RecordStreamParserTest, BlocksCarryTheRightSamples) {
    // Twelve-sample records deal from the group's first channel in every
    // record; with five channels the last two samples start a period that
    // the next record deals again.
    struct Case {
        const char* name;
        Layout layout;
        int group;
    };
    const Case cases[] = {
        {"six-sample records", {14, {6, 0, 0}}, 0},
        {"five channels", {26, {5, 0, 0}}, 0},
        {"five channels in group 1", {26, {6, 5, 0}}, 1},
        {"four channels", {26, {0, 0, 4}}, 2},
        {"one channel", {26, {1, 0, 0}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& channels = c.layout.channels;
        const auto stream =
            CStreamBuilder(c.layout.audioLength, {channels[0], channels[1], channels[2]})
                .Audio(c.group, 64 * 3 + 10)
                .Bytes();
        const auto entries = Parse(c.layout, stream, {});
        // A block completes when the next record arrives, so three blocks of 64.
        ASSERT_EQ(entries.size(), 3u);
        int first = 0;
        for (int g = 0; g < c.group; ++g) {
            first += channels[static_cast<size_t>(g)];
        }
        for (int block = 0; block < 3; ++block) {
            std::string expected = fmt::format("block g{}:", c.group);
            for (int k = 0; k < channels[static_cast<size_t>(c.group)]; ++k) {
                const int at = k * 1000 + block * 64;
                expected += fmt::format(" c{}[{} {} {}]", first + k, at, at + 1, at + 63);
            }
            EXPECT_EQ(entries[static_cast<size_t>(block)], expected);
        }
    }
}

TEST(RecordStreamParserTest, GarbageIsSkippedAndReported) {
    const Layout layout{14, {6, 0, 0}};
    struct Case {
        const char* name;
        std::vector<uint8_t> garbage;
        int rejected;
    };
    for (const Case& c :
         {Case{"three bad bytes", {0x01, 0x02, 0x03}, 2},
          Case{"a record of group 3", {0x03, 0x47, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 13},
          Case{"an event of group 2, which has no channels", {0x0A, 0x47, 1, 23}, 3}}) {
        SCOPED_TRACE(c.name);
        const auto stream = CStreamBuilder(kShortAudioRecordLength, {6, 0, 0})
                                .Audio(0, 10)
                                .Raw(c.garbage)
                                .Event(0, 1, 2, Code(DspEvent::Line))
                                .Audio(0, 60)
                                .Bytes();
        const auto entries = Parse(layout, stream, {});
        const std::vector<std::string> expected = {fmt::format("resync {}", c.rejected),
                                                   "event g0 c1 v2 code23"};
        ASSERT_GE(entries.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(entries.begin(), entries.begin() + 2), expected);
    }
}

TEST(RecordStreamParserTest, EventForAChannelTheGroupLacksIsCorrupt) {
    // Channel field 4 in a group of two channels is neither a channel nor a group event.
    const Layout layout{14, {2, 0, 0}};
    const auto stream = CStreamBuilder(kShortAudioRecordLength, {2, 0, 0})
                            .Event(0, 4, 1, Code(DspEvent::Line))
                            .Event(0, 1, 1, Code(DspEvent::Line))
                            .Audio(0, 10)
                            .Bytes();
    const auto entries = Parse(layout, stream, {});
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[0], "resync 3");
    EXPECT_EQ(entries[1], "event g0 c1 v1 code23");
}

TEST(RecordStreamParserTest, SplitRecordsAskForAResyncEvery150) {
    const Layout layout{14, {1, 0, 0}};
    const auto stream = CStreamBuilder(kShortAudioRecordLength, {1, 0, 0}).Audio(0, 300).Bytes();
    std::vector<size_t> cuts;
    for (size_t i = 7; i < stream.size(); i += 14) {
        cuts.push_back(i);  // every record cut in the middle
    }
    ParseOutcome outcome;
    Parse(layout, stream, cuts, &outcome);
    EXPECT_EQ(outcome.splitLimits, 2);
}

TEST(RecordStreamParserTest, HandlerExceptionLosesNoOtherRecord) {
    // A block or event handler throws once; every other record is handled as
    // without the exception, wherever the reads are cut.
    const Layout layout{26, {5, 6, 0}};
    const auto stream = CStreamBuilder(kLongAudioRecordLength, {5, 6, 0})
                            .Audio(0, 70)
                            .Event(0, 3, 1, Code(DspEvent::Line))
                            .Audio(1, 130, 5000)
                            .Event(1, 2, 2, Code(DspEvent::Line))
                            .Audio(0, 70)
                            .Bytes();
    const std::vector<std::string> expected = Parse(layout, stream, {});
    ASSERT_EQ(expected.size(), 6u);
    for (std::size_t throwAt : {1u, 2u, 4u}) {
        SCOPED_TRACE(expected[throwAt - 1]);
        for (size_t cut = 1; cut < stream.size(); cut += 7) {
            ParseOutcome outcome;
            ASSERT_EQ(Parse(layout, stream, {cut}, &outcome, throwAt), expected)
                << "cut at " << cut;
            EXPECT_EQ(outcome.failures, 1);
            EXPECT_EQ(outcome.escaped, 0);
        }
    }
}

}  // namespace
}  // namespace zorv::test

// Calls on the lines of network transcoders recorded end to end: the
// transcoder simulator program streams scripted calls of two transcoders
// (datagram and NET2 kinds) over loopback, the unmodified server finds them,
// starts their flows and records every call of every line, each with its own
// tone. The addresses 127.0.73.0/24 are this file's own.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "storage/WavFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/RecordFiles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Power of one frequency in the middle second of the samples (Goertzel).
double PowerAt(const std::vector<int16_t>& samples, double hz, double rate) {
    const std::size_t count =
        std::min<std::size_t>(samples.size() / 2, static_cast<std::size_t>(rate));
    const std::size_t from = (samples.size() - count) / 2;
    const double w = 2 * M_PI * hz / rate;
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double s0 = samples[from + i] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
}

struct Line {
    uint32_t line;  // global line number in the record's name
    double toneHz;
    double otherHz;  // a tone of another line that must not be there
    double callSeconds;
    uint32_t serial;   // the transcoder's device number
    uint32_t channel;  // and its line
    const char* caller = "";  // the caller number of its record
};

// Line events travel in the stream's status blocks, so a call's edges are
// known to one packet of audio: 20 ms on a NET2 stream, 40 ms (two lines of
// 8 kHz in 1280 bytes) on a datagram stream, at each end.
constexpr double kCallEdgeTolerance = 0.09;

class TranscoderRecordingTest : public ::testing::Test {
protected:
    // What one run has: which transcoders, the NET2 codec keys (of its
    // "DeviceChannel" section) and lines' rate, faults of each transcoder
    // (scenario keys), and which pair of this file's addresses the
    // transcoders take, so that the tests run in parallel
    // (127.0.73.<10 net + 1> and <10 net + 2>).
    struct RunPlan {
        std::chrono::seconds seconds{32};
        bool datagram = true;
        bool net2 = true;
        std::string net2Codec = "CodecCompress8Mode=0\n";
        uint32_t rate = 8000;
        std::string datagramFaults;
        std::string net2Faults;
        int net = 0;
        // Line 1 of the datagram transcoder and line 2 of the NET2 one carry
        // caller numbers (an AON answer and a DTMF caller ID).
        bool numbers = false;
    };

    // Runs the simulator and the server for the plan's seconds, then stops both.
    void Run(const RunPlan& plan) {
        const std::string datagramAddress = fmt::format("127.0.73.{}", 10 * plan.net + 1);
        const std::string net2Address = fmt::format("127.0.73.{}", 10 * plan.net + 2);
        std::ofstream scenario(m_dir.File("sim.ini"));
        if (plan.datagram) {
            scenario << "[Transcoder1]\nKind = datagram\nAddress = " << datagramAddress
                     << "\nConfigPort = 5001\n"
                        "Layout = 184\nSerial = 31001\nChannels = 2\nHardwareVersion = 300\n"
                        "Description = Datagram box\nProtectLevel = 2\nConfigPassword = c1\n"
                        "StartPassword = s1\nLine1Tone = 500\nLine1Calls = 5 7 30\n"
                        "Line2Tone = 1100\nLine2Calls = 6 8 30\n"
                     << (plan.numbers ? "Line1Number = aon 8901234 1\n" : "")
                     << plan.datagramFaults << "\n";
        }
        if (plan.net2) {
            scenario << "[Transcoder" << (plan.datagram ? 2 : 1)
                     << "]\nKind = net2\nAddress = " << net2Address
                     << "\nConfigPort = 5001\n"
                        "ShellPort = 2323\nLayout = 72\nSerial = 32002\nChannels = 2\n"
                        "HardwareVersion = 300\nDescription = NET2 box\nProtectLevel = 2\n"
                        "ConfigPassword = c2\nStartPassword = s2\nLine1Tone = 700\n"
                        "Line1Calls = 5 7 30\nLine2Tone = 1300\nLine2Calls = 6 9 30\n"
                     << (plan.numbers ? "Line2Number = dtmf A5551234C\n" : "")
                     << plan.net2Faults;
        }
        std::ofstream(m_dir.File("ZORV_18.ini"))
            << "[Server]\nName=Transcoder test\n[Aon]\nCallNotServices=0\n"
            << "[Channel31001-0]\nCompression=0\nAonFlags=1\n[Channel31001-1]\nCompression=0\n"
            << "[Channel32002-0]\nCompression=0\nSampleRate=" << plan.rate << "\n"
            << "[Channel32002-1]\nCompression=0\nAonFlags=4\nSampleRate=" << plan.rate << "\n"
            << "[DeviceChannel32002]\n"
            << plan.net2Codec;
        scenario.close();
        const std::string sim = BuiltProgram("zorv18-transcoder-sim");
        CChildProcess registering(
            sim,
            {"--register", m_dir.File("sim.ini"), m_dir.File("Transcoders.ini"),
             std::to_string(7000 + 10 * plan.net)},  // a data port of this run's own
            m_dir.Path(), {});
        ASSERT_EQ(registering.Wait(10s), 0) << registering.Stderr();
        CChildProcess transcoders(sim, {m_dir.File("sim.ini")}, m_dir.Path(), {});
        CChildProcess server(BuiltProgram("zorv18server"), {}, m_dir.Path(),
                             {"ZORV_REGISTRY=" + m_dir.File("registry.ini")});
        // Until every line's call has ended and been entered in the record
        // database (a slow machine takes longer to find and start them).
        const std::size_t lines = (plan.datagram ? 2 : 0) + (plan.net2 ? 2 : 0);
        PollUntil([&] { return RecordRows(m_dir.File("ZORV.dbf")) >= static_cast<int>(lines); },
                  plan.seconds + 30s);
        server.Signal(SIGTERM);
        EXPECT_EQ(server.Wait(30s), 0) << server.Stderr();
        transcoders.Signal(SIGTERM);
        transcoders.Wait(10s);
    }

    // Every line has one record of its call's length carrying its own tone.
    void ExpectRecords(const std::vector<Line>& lines) {
        const std::vector<std::string> files = Records(m_dir.File("DvrFiles"));
        for (const Line& l : lines) {
            SCOPED_TRACE(l.line);
            // "<date><time><line><counter>z18.wav"
            const auto file = std::find_if(files.begin(), files.end(), [&](const std::string& f) {
                const std::string name = fs::path(f).filename().string();
                return name.size() == 26 && name.substr(14, 3) == fmt::format("{:03}", l.line);
            });
            ASSERT_NE(file, files.end())
                << RunShell("ls -R '" + m_dir.File("DvrFiles") + "'")
                << RunShell("iconv -f cp1251 -t utf-8 '" + m_dir.File("ZORV_18.log") + "'");
            const double duration = std::stod(RunShell("soxi -D '" + *file + "'"));
            EXPECT_NEAR(duration, l.callSeconds, kCallEdgeTolerance);
            const double rate = std::stod(RunShell("soxi -r '" + *file + "'"));
            const std::vector<int16_t> samples = DecodeWithSox(*file);
            ASSERT_GT(samples.size(), 4000u);
            EXPECT_GT(PowerAt(samples, l.toneHz, rate), 100 * PowerAt(samples, l.otherHz, rate));
            CWavFile reader;
            ASSERT_EQ(reader.OpenForReading(*file), CWavFile::kOpenReady);
            const tagDB_Record header = reader.getDbRecord();
            EXPECT_EQ(uint32_t{header.NChanel}, l.line);
            EXPECT_EQ(uint32_t{header.deviceSerialNumber}, l.serial);
            EXPECT_EQ(uint32_t{header.deviceChannelNo}, l.channel);
            EXPECT_STREQ(header.TlfString_1, l.caller);
            // The database row, as sqlite3 shows it.
            EXPECT_EQ(RunShell(fmt::format("sqlite3 -separator ' ' '{}' 'SELECT deviceSerialNumber,"
                                           " deviceChannelNo, namefile FROM records WHERE"
                                           " NChanel = {}'",
                                           m_dir.File("ZORV.dbf"), l.line)),
                      fmt::format("{} {} {}\n", l.serial, l.channel, *file));
        }
    }

    CTempDir m_dir;
};

TEST_F(TranscoderRecordingTest, CallsOfBothKindsAreRecordedLineByLine) {
    RunPlan plan;
    plan.numbers = true;
    Run(plan);
    ExpectRecords({{0, 500, 1100, 7, 31001, 0, "8901234"},
                   {1, 1100, 500, 8, 31001, 1},
                   {2, 700, 1300, 7, 32002, 0},
                   {3, 1300, 700, 9, 32002, 1, "5551234"}});
}

// Every codec of the NET2 stream gives records of the calls' lengths with
// each line's own tone.
struct CodecCase {
    const char* name;
    const char* keys;
    uint32_t rate;
    int net;  // the pair of addresses of this case
};

void PrintTo(const CodecCase& c, std::ostream* out) {
    *out << c.name;
}

class Net2CodecRecordingTest : public TranscoderRecordingTest,
                               public ::testing::WithParamInterface<CodecCase> {};

TEST_P(Net2CodecRecordingTest, CallsAreRecordedWithTheirTones) {
    RunPlan plan;
    plan.seconds = 22s;
    plan.datagram = false;
    plan.net2Codec = GetParam().keys;
    plan.rate = GetParam().rate;
    plan.net = GetParam().net;
    Run(plan);
    ExpectRecords({{0, 700, 1300, 7, 32002, 0}, {1, 1300, 700, 9, 32002, 1}});
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, Net2CodecRecordingTest,
    ::testing::Values(CodecCase{"Alaw", "CodecCompress8Mode=3\n", 8000, 1},
                      CodecCase{"Adpcm", "CodecCompress8Mode=2\n", 8000, 2},
                      CodecCase{"Speex8k", "CodecCompress8Mode=1\nCodecSpeex8Mode=16\n", 8000, 3},
                      CodecCase{"Speex16k", "CodecCompress16Mode=1\nCodecSpeex16Mode=15\n", 16000,
                                4}),
    [](const ::testing::TestParamInfo<CodecCase>& info) { return std::string(info.param.name); });

// Dropped, reordered and duplicated datagrams and a sequence that wraps:
// the flow asks for what is missing and the records have no gap.
TEST_F(TranscoderRecordingTest, DatagramFaultsLeaveNoGapInTheRecords) {
    RunPlan plan;
    plan.net2 = false;
    plan.datagramFaults =
        "DropEvery = 7\nReorderPairs = 1\nDuplicateEvery = 11\nSequenceStart = 65500\n";
    plan.net = 5;
    Run(plan);
    ExpectRecords({{0, 500, 1100, 7, 31001, 0}, {1, 1100, 500, 8, 31001, 1}});
}

// A NET2 transcoder without Speex: the server falls back to ADPCM (text 445),
// stores that choice, and the calls are recorded all the same.
TEST_F(TranscoderRecordingTest, TranscoderWithoutSpeexFallsBackToAdpcm) {
    RunPlan plan;
    plan.seconds = 24s;
    plan.datagram = false;
    plan.net2Codec = "CodecCompress8Mode=1\nCodecSpeex8Mode=16\n";
    plan.net2Faults = "SpeexRefused = 1\n";
    plan.net = 6;
    Run(plan);
    const std::string journal =
        RunShell("iconv -f cp1251 -t utf-8 '" + m_dir.File("ZORV_18.log") + "'");
    EXPECT_NE(journal.find("На устройстве 1 серийный номер 32002. Упаковщик SPEEX"),
              std::string::npos)
        << journal;
    EXPECT_EQ(RunShell("grep -i '^CodecCompress8Mode' '" + m_dir.File("ZORV_18.ini") + "'"),
              "CodecCompress8Mode=2\n");
    ExpectRecords({{0, 700, 1300, 7, 32002, 0}, {1, 1300, 700, 9, 32002, 1}});
}

// The NET2 data connection dropped in the middle of the calls: the flow
// connects again, the stream goes on with one second of silence in place of
// the gap, and each call is still one record, one second longer.
TEST_F(TranscoderRecordingTest, Net2StreamLossIsBridgedInsideTheRecord) {
    RunPlan plan;
    plan.seconds = 30s;
    plan.datagram = false;
    plan.net2Faults = "DropDataAfterSeconds = 8\n";
    plan.net = 7;
    Run(plan);
    ExpectRecords({{0, 700, 1300, 8, 32002, 0}, {1, 1300, 700, 10, 32002, 1}});
}

}  // namespace
}  // namespace zorv::test

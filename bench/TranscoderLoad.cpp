// TranscoderLoad: how much processor time the unmodified server takes to
// record the lines of NET2 transcoders, per line and second, with one
// transcoder and with a hundred, so that the growth shows.
//
//   TranscoderLoad [--seconds S] [--transcoders N[,N...]] [--codecs none,speex]
//
// Each case (by default 1 and 100 transcoders of six lines, PCM (NONE) and
// Speex wideband, all at 16000 Hz) runs in a fresh temporary work directory:
// the scenario of the transcoder simulator is generated (each transcoder on
// its own address 127.0.90.n, configuration port 5001, shell port 2323, data
// port 5002; every line in one call that lasts all day, a tone of its own),
// the transcoders are registered for the server, the simulator and the
// server (zorv18server, next to this program) start, and once every line's
// record grows the server's user and system time (/proc/<pid>/stat) is taken
// over S seconds of wall time (default 20). Then both get SIGTERM and the
// directory is removed. Every wait is bounded; all traffic stays on
// 127.0.0.0/8. The simulator sends each distinct Speex frame of a line once
// encoded and then again (ReuseSpeexFrames), else its own encoding would
// take more processor time than the server under measurement.
//
// Exit status 0 when every case measured, 1 when one could not (the reason
// and the last lines of the server's journal on standard error), 2 on a bad
// command line.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zorv::test::CChildProcess;

constexpr int kLinesPerTranscoder = 6;
constexpr uint32_t kFirstSerial = 40001;
constexpr uint32_t kRateHz = 16000;
constexpr const char* kSpeexMode = "15";  // 42-byte wideband frames
constexpr int kProjectedLines = 600;

enum class Codec { kNone, kSpeex };

const char* CodecName(Codec codec) {
    return codec == Codec::kNone ? "NONE" : "SPEEX-WB";
}

struct Options {
    std::chrono::seconds seconds{20};
    std::vector<int> transcoders{1, 100};
    std::vector<Codec> codecs{Codec::kNone, Codec::kSpeex};
};

struct Result {
    int lines = 0;
    double wallSeconds = 0;
    double serverCpuSeconds = 0;
    double simulatorCpuSeconds = 0;
    int linesGrowing = 0;  // lines whose record grew over the measured time
    int serverThreads = 0;
    int serverFds = 0;
    double settleSeconds = 0;  // from the server's start until every line recorded
};

// A directory under /tmp that is removed with everything in it.
class CWorkDir {
public:
    CWorkDir() {
        std::string pattern = (fs::temp_directory_path() / "zorv-load-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        m_path = pattern;
    }
    ~CWorkDir() {
        if (!m_keep) {
            std::error_code ignored;
            fs::remove_all(m_path, ignored);
        }
    }
    // Left in place for a look at what went wrong.
    void Keep() { m_keep = true; }
    CWorkDir(const CWorkDir&) = delete;
    CWorkDir& operator=(const CWorkDir&) = delete;

    std::string File(const std::string& name) const { return (m_path / name).string(); }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
    bool m_keep = false;
};

std::string ProgramDir() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(ZORV_BIN_DIR) : self.parent_path().string();
}

void WriteScenario(const std::string& path, int transcoders) {
    // Tones of whole 50 Hz steps fill every 20 ms frame with the same samples.
    static constexpr int kTones[kLinesPerTranscoder] = {400, 550, 700, 850, 1000, 1150};
    std::ofstream out(path);
    for (int t = 0; t < transcoders; ++t) {
        out << "[Transcoder" << t + 1 << "]\nKind = net2\nAddress = 127.0.90." << t + 1
            << "\nConfigPort = 5001\nShellPort = 2323\nLayout = 72\nSerial = "
            << kFirstSerial + static_cast<uint32_t>(t)
            << "\nChannels = 6\nHardwareVersion = 300\nDescription = Load " << t + 1
            << "\nReuseSpeexFrames = 1\n";
        for (int line = 0; line < kLinesPerTranscoder; ++line) {
            // Rings for a second, then one call all day.
            out << "Line" << line + 1 << "Tone = " << kTones[line] << "\nLine" << line + 1
                << "Calls = 1 86400 0\n";
        }
        out << "\n";
    }
}

void WriteSettings(const std::string& path, int transcoders, Codec codec) {
    std::ofstream out(path);
    out << "[Server]\nName=Transcoder load\n[Aon]\nCallNotServices=0\n";
    for (int t = 0; t < transcoders; ++t) {
        const uint32_t serial = kFirstSerial + static_cast<uint32_t>(t);
        for (int line = 0; line < kLinesPerTranscoder; ++line) {
            out << "[Channel" << serial << "-" << line << "]\nCompression=0\nSampleRate=" << kRateHz
                << "\n";
        }
        out << "[DeviceChannel" << serial << "]\n";
        if (codec == Codec::kNone) {
            out << "CodecCompress16Mode=0\n";
        } else {
            out << "CodecCompress16Mode=1\nCodecSpeex16Mode=" << kSpeexMode << "\n";
        }
    }
}

// Bytes recorded so far per line: records are named "<date 8><time 6><line
// 3><file counter><device index><suffix>.wav".
std::map<int, uintmax_t> RecordedBytes(const fs::path& records) {
    std::map<int, uintmax_t> bytes;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(records, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() < 23 || !name.ends_with(".wav") ||
            !std::all_of(name.begin(), name.begin() + 17,
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        std::error_code sizeError;
        const uintmax_t size = it->file_size(sizeError);
        if (!sizeError) {
            bytes[std::stoi(name.substr(14, 3))] += size;
        }
    }
    return bytes;
}

int LinesGrown(const std::map<int, uintmax_t>& before, const std::map<int, uintmax_t>& after) {
    int grown = 0;
    for (const auto& [line, size] : after) {
        const auto it = before.find(line);
        grown += (it == before.end() ? size > 0 : size > it->second) ? 1 : 0;
    }
    return grown;
}

// User plus system time of a process, in seconds; nullopt once it is gone.
std::optional<double> CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks: count fields after it.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3..13 come first; utime is field 14 and stime field 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) {
            utime = std::stoull(field);
        } else if (n == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int CountEntries(const std::string& dir) {
    std::error_code error;
    int count = 0;
    for (auto it = fs::directory_iterator(dir, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        ++count;
    }
    return count;
}

std::string JournalTail(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::string tail;
    for (std::size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); ++i) {
        tail += lines[i] + "\n";
    }
    return tail;  // windows-1251, as the server writes it
}

std::optional<Result> RunCase(int transcoders, Codec codec, std::chrono::seconds seconds,
                              std::string& failure) {
    const int lines = transcoders * kLinesPerTranscoder;
    CWorkDir dir;
    WriteScenario(dir.File("sim.ini"), transcoders);
    WriteSettings(dir.File("ZORV_18.ini"), transcoders, codec);
    const std::string bin = ProgramDir();
    const std::string simulator = bin + "/zorv18-transcoder-sim";
    {
        CChildProcess registering(simulator,
                                  {"--register", dir.File("sim.ini"), dir.File("Transcoders.ini")},
                                  dir.Path().string(), {});
        if (registering.Wait(30s) != 0) {
            failure = "registering the transcoders failed: " + registering.Stderr();
            return std::nullopt;
        }
    }
    CChildProcess sim(simulator, {dir.File("sim.ini")}, dir.Path().string(), {});
    const auto serverStart = std::chrono::steady_clock::now();
    CChildProcess server(bin + "/zorv18server", {}, dir.Path().string(),
                         {"ZORV_REGISTRY=" + dir.File("registry.ini")});
    const auto stopBoth = [&] {
        server.Signal(SIGTERM);
        const std::optional<int> status = server.Wait(60s);
        sim.Signal(SIGTERM);
        sim.Wait(30s);
        return status;
    };

    // Settled once every line's record has grown within one second.
    const fs::path records = dir.Path() / "DvrFiles";
    const auto settleLimit = std::chrono::seconds(60 + transcoders);
    std::map<int, uintmax_t> before = RecordedBytes(records);
    int grown = 0;
    while (grown < lines) {
        if (std::chrono::steady_clock::now() - serverStart > settleLimit || !server.Running() ||
            !sim.Running()) {
            failure = std::to_string(grown) + " of " + std::to_string(lines) +
                      " lines recording after " + std::to_string(settleLimit.count()) +
                      " s (server " + (server.Running() ? "running" : "ended") + ", simulator " +
                      (sim.Running() ? "running" : "ended") + ")\n" +
                      JournalTail(dir.File("ZORV_18.log")) +
                      "work directory kept: " + dir.Path().string();
            dir.Keep();
            stopBoth();
            return std::nullopt;
        }
        std::this_thread::sleep_for(1s);
        const std::map<int, uintmax_t> now = RecordedBytes(records);
        grown = LinesGrown(before, now);
        before = now;
    }

    Result result;
    result.lines = lines;
    result.settleSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - serverStart).count();
    const pid_t serverPid = server.Pid();
    const pid_t simPid = sim.Pid();
    const auto wallStart = std::chrono::steady_clock::now();
    const std::optional<double> serverCpu0 = CpuSeconds(serverPid);
    const std::optional<double> simCpu0 = CpuSeconds(simPid);
    std::this_thread::sleep_for(seconds);
    const std::optional<double> serverCpu1 = CpuSeconds(serverPid);
    const std::optional<double> simCpu1 = CpuSeconds(simPid);
    result.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    result.serverThreads = CountEntries("/proc/" + std::to_string(serverPid) + "/task");
    result.serverFds = CountEntries("/proc/" + std::to_string(serverPid) + "/fd");
    result.linesGrowing = LinesGrown(before, RecordedBytes(records));
    if (!serverCpu0 || !serverCpu1 || !simCpu0 || !simCpu1) {
        failure = "the server or the simulator ended while measured\n" +
                  JournalTail(dir.File("ZORV_18.log")) +
                  "work directory kept: " + dir.Path().string();
        dir.Keep();
        stopBoth();
        return std::nullopt;
    }
    result.serverCpuSeconds = *serverCpu1 - *serverCpu0;
    result.simulatorCpuSeconds = *simCpu1 - *simCpu0;
    const std::optional<int> status = stopBoth();
    if (status != 0) {
        failure = "the server did not stop cleanly on SIGTERM (status " +
                  (status ? std::to_string(*status) : std::string("none within 60 s")) + ")";
        return std::nullopt;
    }
    return result;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    const auto list = [](const std::string& text) {
        std::vector<std::string> items;
        std::stringstream in(text);
        for (std::string item; std::getline(in, item, ',');) {
            items.push_back(item);
        }
        return items;
    };
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        try {
            if (key == "--seconds") {
                const int s = std::stoi(value);
                if (s < 1 || s > 3600) {
                    return std::nullopt;
                }
                options.seconds = std::chrono::seconds(s);
            } else if (key == "--transcoders") {
                options.transcoders.clear();
                for (const std::string& item : list(value)) {
                    const int n = std::stoi(item);
                    if (n < 1 || n > 100) {
                        return std::nullopt;
                    }
                    options.transcoders.push_back(n);
                }
            } else if (key == "--codecs") {
                options.codecs.clear();
                for (const std::string& item : list(value)) {
                    if (item != "none" && item != "speex") {
                        return std::nullopt;
                    }
                    options.codecs.push_back(item == "none" ? Codec::kNone : Codec::kSpeex);
                }
            } else {
                return std::nullopt;
            }
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0 || options.transcoders.empty() || options.codecs.empty()) {
        return std::nullopt;
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(
            "usage: TranscoderLoad [--seconds 1..3600] [--transcoders N[,N...]] "
            "[--codecs none,speex]   (N 1..100)\n",
            stderr);
        return 2;
    }
    std::printf(
        "NET2 transcoders of %d lines at %u Hz recorded as PCM; server CPU = user + "
        "system time over the wall time\n",
        kLinesPerTranscoder, kRateHz);
    std::printf("%5s %-8s %6s %7s %9s %10s %9s %9s %7s %7s %5s %8s\n", "lines", "codec", "wall_s",
                "cpu_s", "us/line-s", "core_share", "cores@600", "sim_cpu_s", "growing", "threads",
                "fds", "settle_s");
    std::fflush(stdout);
    int status = 0;
    for (const Codec codec : options->codecs) {
        for (const int transcoders : options->transcoders) {
            std::string failure;
            const std::optional<Result> r = RunCase(transcoders, codec, options->seconds, failure);
            if (!r) {
                std::fprintf(stderr, "%d transcoders, %s: %s\n", transcoders, CodecName(codec),
                             failure.c_str());
                status = 1;
                continue;
            }
            const double perLineSecond = r->serverCpuSeconds / (r->lines * r->wallSeconds);
            std::printf("%5d %-8s %6.1f %7.2f %9.1f %10.4f %9.3f %9.2f %7d %7d %5d %8.1f\n",
                        r->lines, CodecName(codec), r->wallSeconds, r->serverCpuSeconds,
                        perLineSecond * 1e6, r->serverCpuSeconds / r->wallSeconds,
                        perLineSecond * kProjectedLines, r->simulatorCpuSeconds, r->linesGrowing,
                        r->serverThreads, r->serverFds, r->settleSeconds);
            std::fflush(stdout);
        }
    }
    return status;
}

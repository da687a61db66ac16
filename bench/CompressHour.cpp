// The compressor's cost: an hour of 8 kHz mono speech-like audio, recorded
// in the flat layout, is compressed into each target format by the server's
// own compressor (one pass of CFileCompressor: repair, conversion, move), and
// the same conversion is made by sox or ffmpeg in the same run. Prints CPU
// seconds per audio hour for both.
//
//   CompressHour [minutes]   (default 60)
#include <sys/resource.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Server.h"
#include "platform/Clock.h"
#include "storage/FileCompressor.h"
#include "storage/Mp3Encoder.h"

namespace {

using namespace zorv;
namespace fs = std::filesystem;

class CQuietServer final : public IServer {
public:
    bool Post(int32_t, int32_t, int32_t, int32_t) override { return true; }
    void WriteJournal(int, std::string_view) override {}
};

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Syllable-like partials with pauses, as a telephone line carries them.
void WriteSource(const std::string& path, int minutes) {
    CWavFile file;
    file.SetFormat(1, 16, 8000, kWaveFormatPcm);
    SetStartTime(file.getDbRecord(), SystemClock().Local());
    file.getDbRecord().inout = 3;
    if (!file.CreateNew(path, 0, CWavFile::kShareNone)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<int16_t> second(8000);
    const std::size_t seconds = static_cast<std::size_t>(minutes) * 60;
    for (std::size_t s = 0; s < seconds; ++s) {
        for (std::size_t i = 0; i < second.size(); ++i) {
            const double t = static_cast<double>(s) + static_cast<double>(i) / 8000.0;
            const double envelope = std::max(0.0, std::sin(M_PI * t * 3.1));
            const double v = 0.6 * std::sin(2 * M_PI * 180.0 * t) +
                             0.3 * std::sin(2 * M_PI * 666.0 * t + 1.0) +
                             0.1 * std::sin(2 * M_PI * 2300.0 * t);
            second[i] = static_cast<int16_t>(std::lround(12000.0 * envelope * v));
        }
        file.WriteAudio(second.data(), second.size() * 2);
    }
    file.Close(static_cast<uint32_t>(seconds * 8000));
}

struct Target {
    const char* name;
    CWaveFormat format;
    const char* tool;  // the same conversion by sox or ffmpeg; %s in, %s out
};

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const fs::path dir = fs::temp_directory_path() / ("compress-hour-" + std::to_string(getpid()));
    const std::string root = (dir / "rec").string();
    fs::create_directories(root);
    const std::string source = (dir / "source.wav").string();
    WriteSource(source, minutes);
    const double hours = minutes / 60.0;

    const Target targets[] = {
        {"MS-ADPCM", CWaveFormat::MsAdpcm(1, 8000, 256), "sox '%s' -e ms-adpcm '%s'"},
        {"IMA ADPCM", CWaveFormat::ImaAdpcm(1, 8000, 256), "sox '%s' -e ima-adpcm '%s'"},
        {"GSM 6.10", CWaveFormat::Gsm610(8000), "sox '%s' -e gsm-full-rate '%s'"},
        {"A-law", CWaveFormat::Linear(kWaveFormatAlaw, 1, 8, 8000), "sox '%s' -e a-law '%s'"},
        {"mu-law", CWaveFormat::Linear(kWaveFormatMulaw, 1, 8, 8000), "sox '%s' -e u-law '%s'"},
        {"MP3 16 kbit/s", CMp3Encoder::Format(1, 8000, 16),
         "ffmpeg -v error -y -i '%s' -c:a libmp3lame -b:a 16k '%s'"},
    };
    std::printf("%d minutes of 8 kHz mono audio; CPU seconds per audio hour\n", minutes);
    std::printf("%-14s %10s %10s  %s\n", "target", "server", "tool", "tool command");
    CQuietServer server;
    const CHiddenMark marks;
    for (const Target& target : targets) {
        const std::string formats = (dir / "bench.fmt").string();
        fs::remove(formats);
        CFileCompressor compressor(server, nullptr, SystemClock(), formats, marks);
        compressor.SetRecordPath(0, root);
        compressor.SetRecordPath(1, root);
        compressor.SetMinSizeFile(1);
        if (!compressor.Set(target.format.Data(), target.format.Size())) {
            std::printf("%-14s refused by the formats table\n", target.name);
            continue;
        }
        const std::string flat = root + "/20260101120000000100z18.wav";
        fs::copy_file(source, flat, fs::copy_options::overwrite_existing);
        const double before = CpuSeconds(RUSAGE_SELF);
        compressor.RunPass();
        const double server = CpuSeconds(RUSAGE_SELF) - before;

        char command[1024];
        const std::string out = (dir / "tool.wav").string();
        fs::remove(out);
        std::snprintf(command, sizeof(command), target.tool, source.c_str(), out.c_str());
        const double childBefore = CpuSeconds(RUSAGE_CHILDREN);
        const int status = std::system((std::string(command) + " 2>/dev/null").c_str());
        const double tool = CpuSeconds(RUSAGE_CHILDREN) - childBefore;
        std::printf("%-14s %10.3f %10s  %s\n", target.name, server / hours,
                    status == 0 ? std::to_string(tool / hours).substr(0, 8).c_str() : "failed",
                    command);
        fs::remove_all(root);
        fs::create_directories(root);
    }
    fs::remove_all(dir);
    return 0;
}

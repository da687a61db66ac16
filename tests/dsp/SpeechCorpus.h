// Recorded speech for talk-off runs: the prompts of Debian's
// asterisk-core-sounds-en-wav (8000 Hz, mono, 16 bit), a fixed selection
// (the first files by name), joined and converted by sox.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace zorv::test {

inline const char* kSpeechDirectory = "/usr/share/asterisk/sounds/en_US_f_Allison";

// The first `files` prompts by name, joined, at `rate`, cut to `maxSeconds`
// when that is above 0. Empty when the prompts are not installed or sox
// fails.
inline std::vector<int16_t> LoadSpeech(std::size_t files, uint32_t rate, double maxSeconds = 0) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(kSpeechDirectory, error)) {
        if (entry.path().extension() == ".wav") {
            names.push_back(entry.path().string());
        }
    }
    std::sort(names.begin(), names.end());
    names.resize(std::min(names.size(), files));
    if (names.empty()) {
        return {};
    }
    std::string command = "sox -q -D";
    for (const auto& name : names) {
        command += " '" + name + "'";
    }
    command += " -t raw -r " + std::to_string(rate) + " -e signed -b 16 -c 1 -";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {};
    }
    std::vector<int16_t> samples;
    int16_t buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, sizeof(int16_t), 4096, pipe)) > 0) {
        samples.insert(samples.end(), buffer, buffer + n);
    }
    if (pclose(pipe) != 0) {
        return {};
    }
    if (maxSeconds > 0) {
        samples.resize(std::min(samples.size(), static_cast<std::size_t>(maxSeconds * rate)));
    }
    return samples;
}

}  // namespace zorv::test

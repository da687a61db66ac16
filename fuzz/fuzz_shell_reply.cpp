// A transcoder's shell replies come from the network: any bytes, in receives
// of any size, must gather into the reply buffer without passing its end,
// stop exactly at a prompt that ends a receive or at a full buffer, and split
// into lines that together are the reply without its line ends.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "transcoders/ShellReplyReader.h"

namespace {

using zorv::CShellReplyReader;

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void CheckLines(std::string_view text) {
    std::string joined;
    for (std::string_view line : zorv::SplitReplyLines(text)) {
        Check(!line.empty());
        Check(line.find_first_of("\r\n") == std::string_view::npos);
        Check(line.data() >= text.data() && line.data() + line.size() <= text.data() + text.size());
        joined.append(line);
    }
    std::string expected;
    for (char c : text) {
        if (c != '\r' && c != '\n') {
            expected.push_back(c);
        }
    }
    Check(joined == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte sets the receive sizes: 1..256 bytes, varied by the
    // bytes themselves so that cuts fall everywhere.
    const unsigned seed = data[0];
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    CShellReplyReader reader;
    reader.Reset();
    std::size_t offered = 0;  // bytes of input given to receives so far
    bool lastTakenWasPrompt = false;
    while (offered < input.size() && reader.State() == CShellReplyReader::Status::kIncomplete) {
        const std::size_t want =
            1 + (seed * 31u + static_cast<unsigned char>(input[offered])) % 256u;
        const std::span<char> space = reader.Space();
        Check(!space.empty());
        const std::string_view chunk = input.substr(offered, want);
        const std::size_t before = reader.Length();
        reader.Feed(chunk);
        const std::size_t taken = reader.Length() - before;
        Check(taken == std::min(chunk.size(), space.size()));
        offered += taken;
        lastTakenWasPrompt = taken > 0 && input[offered - 1] == zorv::kShellPrompt.back();
    }

    const std::string_view text = reader.Text();
    Check(text.size() <= CShellReplyReader::kCapacity);
    Check(reader.CText()[text.size()] == '\0');
    Check(text == input.substr(0, text.size()));
    switch (reader.State()) {
        case CShellReplyReader::Status::kComplete:
            Check(lastTakenWasPrompt && text.back() == zorv::kShellPrompt.back());
            break;
        case CShellReplyReader::Status::kOverflow:
            Check(text.size() == CShellReplyReader::kCapacity && !lastTakenWasPrompt);
            break;
        case CShellReplyReader::Status::kIncomplete:
            Check(text.size() == input.size() && text.size() < CShellReplyReader::kCapacity);
            break;
    }
    // Nothing more is taken once the reply has ended.
    if (reader.State() != CShellReplyReader::Status::kIncomplete) {
        const std::size_t length = reader.Length();
        reader.Feed(input);
        Check(reader.Length() == length && reader.Space().empty());
    }

    CheckLines(text);
    CheckLines(input);
    return 0;
}

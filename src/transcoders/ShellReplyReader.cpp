#include "transcoders/ShellReplyReader.h"

#include <algorithm>
#include <cstring>

namespace zorv {

void CShellReplyReader::Reset() {
    m_length = 0;
    m_buffer[0] = '\0';
    m_status = Status::kIncomplete;
}

std::span<char> CShellReplyReader::Space() {
    if (m_status != Status::kIncomplete) {
        return {};
    }
    return {m_buffer.data() + m_length, kCapacity - m_length};
}

CShellReplyReader::Status CShellReplyReader::Commit(std::size_t received) {
    if (m_status != Status::kIncomplete || received == 0) {
        return m_status;
    }
    received = std::min(received, kCapacity - m_length);
    m_length += received;
    m_buffer[m_length] = '\0';
    // The prompt is checked first: a reply whose prompt is the buffer's very
    // last byte fits.
    if (m_buffer[m_length - 1] == kShellPrompt.back()) {
        m_status = Status::kComplete;
    } else if (m_length == kCapacity) {
        m_status = Status::kOverflow;
    }
    return m_status;
}

CShellReplyReader::Status CShellReplyReader::Feed(std::span<const char> bytes) {
    const std::span<char> space = Space();
    const std::size_t taken = std::min(space.size(), bytes.size());
    if (taken > 0) {
        std::memcpy(space.data(), bytes.data(), taken);
    }
    return Commit(taken);
}

std::vector<std::string_view> SplitReplyLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        if (stop > start) {
            lines.push_back(text.substr(start, stop - start));
        }
        start = stop + 1;
    }
    return lines;
}

}  // namespace zorv

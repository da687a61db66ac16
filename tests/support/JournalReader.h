// Reads a journal file back: one entry per CRLF-terminated line, split into
// its date, time, kind and text.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zorv::test {

struct JournalLine {
    std::string date;  // "DD.MM.YYYY"
    std::string time;  // "hh:mm:ss"
    int kind = -1;
    std::string text;  // windows-1251
    bool wellFormed = false;
};

inline std::vector<JournalLine> ReadJournal(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string bytes = all.str();
    std::vector<JournalLine> lines;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t end = bytes.find("\r\n", at);
        const std::string raw = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? bytes.size() : end + 2;
        JournalLine line;
        line.text = raw;
        // "DD.MM.YYYY  hh:mm:ss 1 <kind> <text>"
        const auto digits = [&raw](size_t at, size_t n) {
            for (size_t i = at; i < at + n; ++i) {
                if (i >= raw.size() || raw[i] < '0' || raw[i] > '9') {
                    return false;
                }
            }
            return true;
        };
        const bool head = raw.size() > 23 && digits(0, 2) && raw[2] == '.' && digits(3, 2) &&
                          raw[5] == '.' && digits(6, 4) && raw.compare(10, 2, "  ") == 0 &&
                          digits(12, 2) && raw[14] == ':' && digits(15, 2) && raw[17] == ':' &&
                          digits(18, 2) && raw.compare(20, 3, " 1 ") == 0;
        const size_t kindEnd = head ? raw.find(' ', 23) : std::string::npos;
        const size_t kindStart = head && raw[23] == '-' ? 24 : 23;
        if (end != std::string::npos && kindEnd != std::string::npos && kindEnd > kindStart &&
            digits(kindStart, kindEnd - kindStart)) {
            line.date = raw.substr(0, 10);
            line.time = raw.substr(12, 8);
            line.kind = std::stoi(raw.substr(23, kindEnd - 23));
            line.text = raw.substr(kindEnd + 1);
            line.wellFormed = true;
        }
        lines.push_back(line);
    }
    return lines;
}

inline std::vector<std::string> JournalTexts(const std::string& path) {
    std::vector<std::string> texts;
    for (const JournalLine& line : ReadJournal(path)) {
        texts.push_back(line.text);
    }
    return texts;
}

}  // namespace zorv::test

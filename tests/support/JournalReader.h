// Reads a journal file back: one entry per CRLF-terminated line, split into
// its date, time, kind and text.
#pragma once

#include <fstream>
#include <regex>
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
    static const std::regex kLine(R"(^(\d\d\.\d\d\.\d{4})  (\d\d:\d\d:\d\d) 1 (-?\d+) )");
    std::vector<JournalLine> lines;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t end = bytes.find("\r\n", at);
        const std::string raw = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? bytes.size() : end + 2;
        JournalLine line;
        std::smatch m;
        if (end != std::string::npos && std::regex_search(raw, m, kLine)) {
            line.date = m[1];
            line.time = m[2];
            line.kind = std::stoi(m[3]);
            line.text = raw.substr(static_cast<size_t>(m.length(0)));
            line.wellFormed = true;
        } else {
            line.text = raw;
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

// Checks that expected entries appear in a call log in the given order (other
// entries may come between them).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zorv::test {

inline ::testing::AssertionResult AppearInOrder(const std::vector<std::string>& log,
                                                const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& want : expected) {
        while (at < log.size() && log[at] != want) {
            ++at;
        }
        if (at == log.size()) {
            std::string dump;
            for (const std::string& entry : log) {
                dump += "\n  " + entry;
            }
            return ::testing::AssertionFailure()
                   << "\"" << want << "\" missing or out of order; the log:" << dump;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

inline bool Contains(const std::vector<std::string>& log, const std::string& entry) {
    for (const std::string& e : log) {
        if (e == entry) {
            return true;
        }
    }
    return false;
}

}  // namespace zorv::test

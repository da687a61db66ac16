// Checks unit files with systemd's own reader: "systemd-analyze verify"
// loads a unit as the service manager would and reports what it rejects
// (a relative WorkingDirectory=, a missing executable, unknown keys).
#pragma once

#include <string>

namespace zorv::test {

struct UnitVerification {
    enum class Result {
        kPassed,
        kRejected,   // systemd reports an error or a warning about the unit
        kCannotRun,  // verify does not work in this environment (checked on a known-good unit)
    };
    Result result = Result::kRejected;
    std::string output;  // what systemd-analyze printed
};

// Verifies the unit file at path. A unit passes when verify succeeds and
// prints nothing about it.
UnitVerification VerifyUnit(const std::string& path);

}  // namespace zorv::test

// Fails the test when systemd rejects the unit; skips it (with the reason)
// only when verify cannot run here at all. Use after the unit's text checks.
#define EXPECT_UNIT_VERIFIES(path)                                                           \
    do {                                                                                     \
        const ::zorv::test::UnitVerification verification_ = ::zorv::test::VerifyUnit(path); \
        if (verification_.result == ::zorv::test::UnitVerification::Result::kCannotRun) {    \
            GTEST_SKIP() << "systemd-analyze verify cannot run in this environment (a "      \
                            "known-good unit fails too): "                                   \
                         << verification_.output;                                            \
        }                                                                                    \
        EXPECT_EQ(verification_.result, ::zorv::test::UnitVerification::Result::kPassed)     \
            << (path) << ":\n"                                                               \
            << verification_.output;                                                         \
    } while (false)

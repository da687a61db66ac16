// The command groups of zorv18ctl beyond the reads: each parses its own
// arguments (the words after the command), connects through the opener only
// once they are sound, and returns the program's exit code.
#pragma once

#include "CtlCommon.h"

namespace zorv::ctl {

// CtlSettings.cpp
int RunSet(const Args& args, const Opener& open);
int RunShutdown(const Args& args, const Opener& open);
int RunQuota(const Args& args, const Opener& open);
int RunMonitor(const Args& args, const Opener& open);

// CtlUsers.cpp
int RunUser(const Args& args, bool json, const Opener& open);

// CtlTranscoders.cpp
int RunPaths(const Args& args, bool json, const Opener& open);
int RunTranscoder(const Args& args, const Opener& open);

// CtlListen.cpp
int RunListen(const Args& args, const std::string& user);

}  // namespace zorv::ctl

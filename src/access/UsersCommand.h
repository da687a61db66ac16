// The users words of the server executable ("-AddUser NAME",
// "-AddUser NAME -Operator", "-ListUsers", "-DeleteUser NAME"): they work on
// the users database of the work directory, with or without a running
// server, as the machine's owner (no acting user's rights are checked).
//
// "AddUser" makes an administrator (AdminAccess 1, every function and
// channel bit set); with "-Operator" a user that may only log in (function
// bits 0 and 1, no channels), whose rights an administrator then sets from a
// client. The password is read from standard input, never from the command
// line: from a terminal twice with echo off, from a pipe as one line. Names
// and passwords are typed in UTF-8 and kept in windows-1251 like every text
// of the system; the password is never journaled nor written anywhere in
// clear, and its buffers are wiped.
//
// Exit codes: 0 done; 1 the users file cannot be opened or changed; 2 the
// name is taken; 3 no such user; 4 no usable password (empty, longer than 20
// bytes, or the two entries differ); 5 a name longer than 20 bytes. Each
// failure also prints one line on the error stream.
//
// Main thread only, before the server starts (or without it).
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "core/ServiceHost.h"

namespace zorv {

enum UsersCommandExit : int {
    kUsersDone = 0,
    kUsersFileFailed = 1,
    kUsersNameTaken = 2,
    kUsersNoSuchUser = 3,
    kUsersBadPassword = 4,
    kUsersBadName = 5,
};

// Reads the new user's password into password (UTF-8); false when none can
// be read or the entries differ.
using PasswordReader = std::function<bool(std::string& password)>;

// Reads a password from fd: with echo off and a second time for confirmation
// when fd is a terminal (prompts on prompt), else one line. The line end is
// not part of it.
bool ReadPasswordFrom(int fd, std::ostream& prompt, std::string& password);

// Carries out one of the users words; other words return kUsersFileFailed.
int RunUsersCommand(const CommandLine& command, const std::string& workDir,
                    const std::string& prefix, const PasswordReader& readPassword,
                    std::ostream& out, std::ostream& err);

}  // namespace zorv

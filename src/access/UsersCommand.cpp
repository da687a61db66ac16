#include "access/UsersCommand.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "access/UsersDatabase.h"
#include "access/UserRights.h"
#include "platform/Cp1251.h"

namespace zorv {
namespace {

constexpr const char* kProgram = "zorv18server: ";

// Journal lines of the users database (a damaged operators file) go to the
// error stream.
class CStreamJournal final : public IJournal {
public:
    explicit CStreamJournal(std::ostream& err) : m_err(err) {}
    void WriteJournal(int, std::string_view text) override {
        m_err << kProgram << Cp1251ToUtf8(text) << std::endl;
    }

private:
    std::ostream& m_err;
};

// Wipes a string's bytes when the scope ends.
class CWipeOnExit {
public:
    explicit CWipeOnExit(std::string& text) : m_text(text) {}
    ~CWipeOnExit() { sodium_memzero(m_text.data(), m_text.size()); }
    CWipeOnExit(const CWipeOnExit&) = delete;
    CWipeOnExit& operator=(const CWipeOnExit&) = delete;

private:
    std::string& m_text;
};

// One line from fd, without its end; false at the end of input before any
// byte. Reads byte by byte so that nothing after the line is consumed.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c = 0;
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    sodium_memzero(&c, sizeof(c));
    return any;
}

// A line from a terminal with echo off; echo is restored before returning.
bool ReadHidden(int fd, std::ostream& prompt, const char* text, std::string& line) {
    prompt << text << std::flush;
    termios saved{};
    const bool terminal = ::tcgetattr(fd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSANOW, &quiet);
    }
    const bool read = ReadLine(fd, line);
    if (terminal) {
        ::tcsetattr(fd, TCSANOW, &saved);
    }
    return read;
}

tagUserAccountRecord NewUser(const std::string& name, const std::string& password,
                             bool administrator) {
    tagUserAccountRecord record{};
    SetFieldText(record.UserName, name);
    SetFieldText(record.Password, password);
    if (administrator) {
        record.AdminAccess = 1;
        std::memset(record.MonitorRigth, 0xff, sizeof(record.MonitorRigth));
        std::memset(record.BaseRigth, 0xff, sizeof(record.BaseRigth));
        std::memset(record.ChannelsMonitorRight, 0xff, sizeof(record.ChannelsMonitorRight));
        std::memset(record.ChannelsBaseRight, 0xff, sizeof(record.ChannelsBaseRight));
    } else {
        for (int bit : {kFnLocalAccess, kFnNetworkAccess}) {
            record.MonitorRigth[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
            record.BaseRigth[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
    }
    CipherRecordFields(record);
    return record;
}

int AddUser(CUsersDatabase& db, const std::string& name, bool administrator,
            const PasswordReader& readPassword, std::ostream& err) {
    if (db.Exists(name)) {
        err << kProgram << "user \"" << Cp1251ToUtf8(name) << "\" already exists" << std::endl;
        return kUsersNameTaken;
    }
    std::string typed;
    CWipeOnExit wipeTyped(typed);
    if (!readPassword(typed)) {
        err << kProgram << "no password given" << std::endl;
        return kUsersBadPassword;
    }
    std::string password = Utf8ToCp1251(typed);
    CWipeOnExit wipePassword(password);
    if (password.empty() || password.size() > kPasswordMax ||
        password.find('\0') != std::string::npos) {
        err << kProgram << "the password must be 1 to " << kPasswordMax << " bytes long"
            << std::endl;
        return kUsersBadPassword;
    }
    tagUserAccountRecord record = NewUser(name, password, administrator);
    const bool added = db.AddAsOwner(record);
    sodium_memzero(&record, sizeof(record));
    if (!added) {
        // Taken meanwhile, or the file cannot be written.
        if (db.Exists(name)) {
            err << kProgram << "user \"" << Cp1251ToUtf8(name) << "\" already exists" << std::endl;
            return kUsersNameTaken;
        }
        err << kProgram << "the users file cannot be changed" << std::endl;
        return kUsersFileFailed;
    }
    return kUsersDone;
}

}  // namespace

bool ReadPasswordFrom(int fd, std::ostream& prompt, std::string& password) {
    if (::isatty(fd) == 0) {
        return ReadLine(fd, password);
    }
    std::string again;
    CWipeOnExit wipe(again);
    if (!ReadHidden(fd, prompt, "Password: ", password) ||
        !ReadHidden(fd, prompt, "Password again: ", again)) {
        return false;
    }
    if (password != again) {
        prompt << "The passwords differ." << std::endl;
        sodium_memzero(password.data(), password.size());
        password.clear();
        return false;
    }
    return true;
}

int RunUsersCommand(const CommandLine& command, const std::string& workDir,
                    const std::string& prefix, const PasswordReader& readPassword,
                    std::ostream& out, std::ostream& err) {
    CStreamJournal journal(err);
    CUsersDatabase db(journal);
    if (!db.Initialise(workDir, prefix)) {
        err << kProgram << "cannot open the users file "
            << workDir + "/" + CUsersStore::FileName(prefix) << std::endl;
        return kUsersFileFailed;
    }
    const std::string name = Utf8ToCp1251(command.userName);
    const bool needsName =
        command.word == CommandWord::kAddUser || command.word == CommandWord::kAddOperator ||
        command.word == CommandWord::kDeleteUser;
    if (needsName && (name.empty() || name.size() > kUserNameMax)) {
        err << kProgram << "a user name is 1 to " << kUserNameMax << " bytes long" << std::endl;
        return kUsersBadName;
    }
    switch (command.word) {
        case CommandWord::kAddUser:
        case CommandWord::kAddOperator:
            return AddUser(db, name, command.word == CommandWord::kAddUser, readPassword, err);
        case CommandWord::kDeleteUser:
            if (!db.Exists(name)) {
                err << kProgram << "no user \"" << command.userName << "\"" << std::endl;
                return kUsersNoSuchUser;
            }
            if (!db.DeleteAsOwner(name)) {
                err << kProgram << "the users file cannot be changed" << std::endl;
                return kUsersFileFailed;
            }
            return kUsersDone;
        case CommandWord::kListUsers:
            for (tagUserAccountRecord record : db.ListAllUsers()) {
                CipherRecordFields(record);
                out << Cp1251ToUtf8(FieldText(record.UserName)) << '\t'
                    << (record.AdminAccess == 1 ? "administrator" : "user") << '\n';
            }
            out << std::flush;
            return kUsersDone;
        default:
            return kUsersFileFailed;
    }
}

}  // namespace zorv

// zorv18ctl user: the users database through the client protocol (add 32,
// delete 33, modify 34, list 35, rename 36, count 79, by name 81).
//
// Records travel with every field enciphered on its own (CipherRecordFields)
// and names in 21-byte enciphered fields, as the login sends them. Rights
// are given as options: --admin, --functions BITS (function bits, e.g.
// "1,15-17"), --channels LIST (global channel numbers from 0, e.g. "0-5,8",
// or "none"). A new user gets the password from ZORV_NEW_PASSWORD or the
// terminal; a modify keeps the stored password unless --password is given.
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "CtlCommands.h"
#include "access/ClientProtocol.h"
#include "access/UserAccount.h"
#include "platform/Cp1251.h"
#include "platform/CredentialCipher.h"

namespace zorv::ctl {
namespace {

// The function bits a user may be given: the mask's last byte is never
// granted.
constexpr long kLastFunctionBit = 119;
constexpr long kLastChannel = sizeof(tagUserAccountRecord::ChannelsMonitorRight) * 8 - 1;

struct UserOptions {
    std::optional<bool> admin;
    std::optional<std::vector<bool>> functions;  // by bit
    std::optional<std::vector<bool>> channels;   // by global channel
    std::optional<std::string> fullName;
    std::optional<std::string> description;
    bool password = false;  // modify: ask for a new password
};

// "1,3-5": a list of numbers and ranges within [0, high].
bool ParseBitList(const std::string& text, long high, std::vector<bool>& bits) {
    bits.assign(static_cast<std::size_t>(high) + 1, false);
    if (text == "none") {
        return true;
    }
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        long first = 0;
        long last = 0;
        if (!ParseRange(text.substr(at, comma - at), 0, high, first, last)) {
            return false;
        }
        for (long b = first; b <= last; ++b) {
            bits[static_cast<std::size_t>(b)] = true;
        }
        at = comma + 1;
    }
    return true;
}

std::string BitListText(const uint8_t* mask, std::size_t bytes) {
    std::string text;
    const long count = static_cast<long>(bytes * 8);
    for (long b = 0; b < count;) {
        if ((mask[b / 8] & (1u << (b % 8))) == 0) {
            ++b;
            continue;
        }
        long e = b;
        while (e + 1 < count && (mask[(e + 1) / 8] & (1u << ((e + 1) % 8))) != 0) {
            ++e;
        }
        text += (text.empty() ? "" : ",") + std::to_string(b) +
                (e > b ? "-" + std::to_string(e) : std::string());
        b = e + 1;
    }
    return text.empty() ? "none" : text;
}

void SetMask(uint8_t* mask, std::size_t bytes, const std::vector<bool>& bits) {
    std::memset(mask, 0, bytes);
    for (std::size_t b = 0; b < bits.size() && b / 8 < bytes; ++b) {
        if (bits[b]) {
            mask[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
        }
    }
}

// A UTF-8 text into a record field in windows-1251; false when too long.
template <std::size_t N>
bool SetText(char (&field)[N], const std::string& utf8) {
    return SetFieldText(field, Utf8ToCp1251(utf8));
}

bool ParseUserOptions(const Args& args, std::size_t from, UserOptions& o, std::string& error) {
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        std::vector<bool> bits;
        if (arg == "--admin") {
            o.admin = true;
        } else if (arg == "--no-admin") {
            o.admin = false;
        } else if (arg == "--password") {
            o.password = true;
        } else if (arg == "--functions" && hasValue &&
                   ParseBitList(args[++i], kLastFunctionBit, bits)) {
            o.functions = bits;
        } else if (arg == "--channels" && hasValue && ParseBitList(args[++i], kLastChannel, bits)) {
            o.channels = bits;
        } else if (arg == "--full-name" && hasValue) {
            o.fullName = args[++i];
        } else if (arg == "--description" && hasValue) {
            o.description = args[++i];
        } else {
            error = "unexpected argument " + arg;
            return false;
        }
    }
    return true;
}

// Applies the options to a clear record; false with error for a text that
// does not fit.
bool Apply(const UserOptions& o, tagUserAccountRecord& record, std::string& error) {
    if (o.admin) {
        record.AdminAccess = *o.admin ? 1 : 0;
    }
    if (o.functions) {
        // The server enforces MonitorRigth; clients show BaseRigth.
        SetMask(record.MonitorRigth, sizeof(record.MonitorRigth), *o.functions);
        SetMask(record.BaseRigth, sizeof(record.BaseRigth), *o.functions);
    }
    if (o.channels) {
        SetMask(record.ChannelsMonitorRight, sizeof(record.ChannelsMonitorRight), *o.channels);
        SetMask(record.ChannelsBaseRight, sizeof(record.ChannelsBaseRight), *o.channels);
    }
    if (o.fullName && !SetText(record.FullName, *o.fullName)) {
        error = "the full name is too long";
        return false;
    }
    if (o.description && !SetText(record.Description, *o.description)) {
        error = "the description is too long";
        return false;
    }
    return true;
}

// A name in its enciphered 21-byte field of a request.
void PutName(std::vector<uint8_t>& request, std::size_t at, const std::string& cp1251) {
    char field[kUserNameMax + 1] = {};
    std::memcpy(field, cp1251.data(), std::min(cp1251.size(), kUserNameMax));
    ApplyCredentialCipher(field, sizeof(field));
    std::memcpy(request.data() + at, field, sizeof(field));
}

// A user name from the command line in windows-1251; empty when it does not
// fit a name field.
std::string NameArg(const std::string& utf8) {
    const std::string name = Utf8ToCp1251(utf8);
    return name.size() <= kUserNameMax ? name : std::string();
}

// The clear record of a reply that carries u32 found, then the record.
tagUserAccountRecord RecordOf(const Message& m) {
    tagUserAccountRecord record{};
    std::memcpy(&record, m.bytes.data() + 6, sizeof(record));
    CipherRecordFields(record);
    return record;
}

nlohmann::json UserJson(const tagUserAccountRecord& r) {
    return {{"name", Cp1251ToUtf8(FieldText(r.UserName))},
            {"fullName", Cp1251ToUtf8(FieldText(r.FullName))},
            {"description", Cp1251ToUtf8(FieldText(r.Description))},
            {"admin", r.AdminAccess == 1},
            {"functions", BitListText(r.MonitorRigth, sizeof(r.MonitorRigth))},
            {"channels", BitListText(r.ChannelsMonitorRight, sizeof(r.ChannelsMonitorRight))}};
}

int List(CCtlConnection& connection, bool json) {
    if (!connection.Send(NewRequest(35, 0))) {
        return Failed(connection);
    }
    nlohmann::json all = nlohmann::json::array();
    for (;;) {
        const std::optional<Message> m = connection.Reply(35);
        if (!m) {
            return Failed(connection);
        }
        if (GetU32(m->bytes, 2) == 0) {
            break;
        }
        all.push_back(UserJson(RecordOf(*m)));
    }
    if (json) {
        std::cout << all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
        return 0;
    }
    for (const nlohmann::json& u : all) {
        std::cout << u["name"].get<std::string>() << "\t"
                  << (u["admin"].get<bool>() ? "administrator" : "user") << "\tfunctions "
                  << u["functions"].get<std::string>() << "\tchannels "
                  << u["channels"].get<std::string>() << "\t" << u["fullName"].get<std::string>()
                  << "\n";
    }
    std::cout.flush();
    return 0;
}

// The record of a user by name (code 81); empty when there is none.
std::optional<tagUserAccountRecord> Find(CCtlConnection& connection, const std::string& name,
                                         bool& failed) {
    std::vector<uint8_t> request = NewRequest(81, 0);
    PutName(request, 4, name);
    const std::optional<Message> m = Exchange(connection, request);
    failed = !m;
    if (!m || GetU32(m->bytes, 2) != 1) {
        return std::nullopt;
    }
    return RecordOf(*m);
}

std::vector<uint8_t> RecordRequest(uint8_t code, tagUserAccountRecord record) {
    CipherRecordFields(record);
    std::vector<uint8_t> request = NewRequest(code, 0);
    std::memcpy(request.data() + 4, &record, sizeof(record));
    std::memset(&record, 0, sizeof(record));
    return request;
}

// The new password; empty (reported) when unusable.
std::string NewPassword() {
    std::string password = Utf8ToCp1251(ReadSecret("ZORV_NEW_PASSWORD", "Password of the user: "));
    if (password.empty() || password.size() > kPasswordMax) {
        std::cerr << "zorv18ctl: the password must have 1 to 20 bytes\n";
        return {};
    }
    return password;
}

int Usage() {
    return BadUsage(
        "user needs list | count | show NAME | add NAME [OPTIONS] | modify NAME [OPTIONS] "
        "[--password] | delete NAME | rename NAME NEWNAME\n"
        "OPTIONS: --admin | --no-admin, --functions BITS, --channels LIST, --full-name TEXT, "
        "--description TEXT");
}

}  // namespace

int RunUser(const Args& args, bool json, const Opener& open) {
    if (args.empty()) {
        return Usage();
    }
    const std::string& what = args[0];
    const bool named =
        what == "show" || what == "add" || what == "modify" || what == "delete" || what == "rename";
    if (!named && what != "list" && what != "count") {
        return Usage();
    }
    if ((!named && args.size() != 1) || (named && args.size() < 2) ||
        ((what == "show" || what == "delete") && args.size() != 2) ||
        (what == "rename" && args.size() != 3)) {
        return Usage();
    }
    const std::string name = named ? NameArg(args[1]) : std::string();
    const std::string newName = what == "rename" ? NameArg(args[2]) : std::string();
    if ((named && name.empty()) || (what == "rename" && newName.empty())) {
        return BadUsage("a user name has 1 to 20 bytes");
    }
    UserOptions options;
    std::string error;
    if ((what == "add" || what == "modify") && !ParseUserOptions(args, 2, options, error)) {
        return BadUsage(error);
    }
    if (what == "add" && options.password) {
        return BadUsage("add always asks for the password");
    }
    tagUserAccountRecord record{};
    if (what == "add") {
        // Without --functions a new user may log in (bit 1) and nothing more.
        if (!options.functions) {
            options.functions = std::vector<bool>(kLastFunctionBit + 1, false);
            (*options.functions)[1] = true;
        }
        std::memcpy(record.UserName, name.data(), name.size());
        if (!Apply(options, record, error)) {
            return BadUsage(error);
        }
    }
    std::string password;
    if (what == "add" || options.password) {
        password = NewPassword();
        if (password.empty()) {
            return kUsage;
        }
    }

    CCtlConnection connection;
    if (const int rc = open(connection); rc != 0) {
        return rc;
    }
    if (what == "list") {
        return List(connection, json);
    }
    if (what == "count") {
        const std::optional<Message> m = Exchange(connection, NewRequest(79, 0));
        if (!m) {
            return kNoConnection;
        }
        std::cout << static_cast<int32_t>(GetU32(m->bytes, 2)) << std::endl;
        return 0;
    }
    if (what == "show" || what == "modify") {
        bool failed = false;
        std::optional<tagUserAccountRecord> found = Find(connection, name, failed);
        if (failed) {
            return kNoConnection;
        }
        if (!found) {
            std::cerr << "zorv18ctl: no user " << args[1] << "\n";
            return kCommandFailed;
        }
        if (what == "show") {
            const nlohmann::json u = UserJson(*found);
            if (json) {
                std::cout << u.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                          << std::endl;
                return 0;
            }
            std::cout << "name: " << u["name"].get<std::string>()
                      << "\nfull name: " << u["fullName"].get<std::string>()
                      << "\ndescription: " << u["description"].get<std::string>()
                      << "\nadministrator: " << (u["admin"].get<bool>() ? "yes" : "no")
                      << "\nfunctions: " << u["functions"].get<std::string>()
                      << "\nchannels: " << u["channels"].get<std::string>() << std::endl;
            return 0;
        }
        record = *found;
        if (!Apply(options, record, error)) {
            return BadUsage(error);
        }
    }
    if (what == "add" || what == "modify") {
        // An empty password field keeps the stored password.
        std::memset(record.Password, 0, sizeof(record.Password));
        std::memcpy(record.Password, password.data(), password.size());
        std::fill(password.begin(), password.end(), '\0');
        const std::vector<uint8_t> request = RecordRequest(what == "add" ? 32 : 34, record);
        std::memset(&record, 0, sizeof(record));
        return RunStatusRequest(connection, request);
    }
    std::vector<uint8_t> request = NewRequest(what == "delete" ? 33 : 36, 0);
    PutName(request, 4, name);
    // Delete: the second field is empty.
    PutName(request, 25, newName);
    return RunStatusRequest(connection, request);
}

}  // namespace zorv::ctl

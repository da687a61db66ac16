// Records and files shared by the users tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "access/UserAccount.h"
#include "access/UserRights.h"

namespace zorv::test {

// The enciphered record of a user as a client sends it.
inline tagUserAccountRecord UserRecord(std::string_view name, std::string_view password,
                                       uint32_t admin = 0,
                                       std::initializer_list<int> functions = {}) {
    tagUserAccountRecord record{};
    SetFieldText(record.UserName, name);
    SetFieldText(record.Password, password);
    SetFieldText(record.FullName, std::string(name) + " full name");
    record.AdminAccess = admin;
    for (int bit : functions) {
        record.MonitorRigth[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    }
    CipherRecordFields(record);
    return record;
}

inline tagUserAccountRecord Deciphered(tagUserAccountRecord record) {
    CipherRecordFields(record);
    return record;
}

// The bytes of a file, empty when it does not exist.
inline std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zorv::test

// The user account record and the login identity of the client protocol.
//
// tagUserAccountRecord (2130 bytes) is the record the users database stores
// and the server hands to clients; tagUserID (48 bytes) is what a client
// presents to log in. Both are packed little-endian layouts shared with the
// clients, pinned below byte for byte.
//
// Outside the users database every field of a record is enciphered with the
// credential cipher, each field on its own (the keystream restarts at the
// start of every field): CipherRecordFields applies the cipher to all of them
// and is its own inverse. The fields are the top-level members below, in
// order; the 20 network-device rights form one 320-byte field.
//
// Text fields are zero-padded byte strings in windows-1251 that may fill
// their whole field; FieldText is the one way to read them, so a name from a
// client is never used unterminated.
//
// Plain data and pure functions: safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorv {

#pragma pack(push, 1)

// A calendar time as the clients send it: eight u16.
struct tagSystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
static_assert(sizeof(tagSystemTime) == 16);

struct tagNetDeviceRight {
    uint32_t Used;
    uint32_t SerialNumber;
    uint32_t Right;
    uint8_t ChannelsRight[4];
};
static_assert(sizeof(tagNetDeviceRight) == 16);
static_assert(offsetof(tagNetDeviceRight, Used) == 0);
static_assert(offsetof(tagNetDeviceRight, SerialNumber) == 4);
static_assert(offsetof(tagNetDeviceRight, Right) == 8);
static_assert(offsetof(tagNetDeviceRight, ChannelsRight) == 12);

struct tagUserAccountRecord {
    char UserName[20];
    char FullName[50];
    char Description[100];
    char Password[20];
    uint32_t AdminAccess;  // 1: every function and every channel
    uint32_t DispatchRight;
    uint8_t BaseRigth[16];     // second function mask, for the clients
    uint8_t MonitorRigth[16];  // the function mask the server enforces
    uint16_t IpAddr[4];
    uint8_t IpMask[4];
    tagSystemTime StartDateTime;
    tagSystemTime ExpireDateTime;
    uint8_t ChannelsBaseRight[1024];
    uint8_t ChannelsMonitorRight[512];  // bit g: global channel g
    tagNetDeviceRight NetDeviceRight[20];
};
static_assert(sizeof(tagUserAccountRecord) == 2130);
static_assert(offsetof(tagUserAccountRecord, UserName) == 0);
static_assert(offsetof(tagUserAccountRecord, FullName) == 20);
static_assert(offsetof(tagUserAccountRecord, Description) == 70);
static_assert(offsetof(tagUserAccountRecord, Password) == 170);
static_assert(offsetof(tagUserAccountRecord, AdminAccess) == 190);
static_assert(offsetof(tagUserAccountRecord, DispatchRight) == 194);
static_assert(offsetof(tagUserAccountRecord, BaseRigth) == 198);
static_assert(offsetof(tagUserAccountRecord, MonitorRigth) == 214);
static_assert(offsetof(tagUserAccountRecord, IpAddr) == 230);
static_assert(offsetof(tagUserAccountRecord, IpMask) == 238);
static_assert(offsetof(tagUserAccountRecord, StartDateTime) == 242);
static_assert(offsetof(tagUserAccountRecord, ExpireDateTime) == 258);
static_assert(offsetof(tagUserAccountRecord, ChannelsBaseRight) == 274);
static_assert(offsetof(tagUserAccountRecord, ChannelsMonitorRight) == 1298);
static_assert(offsetof(tagUserAccountRecord, NetDeviceRight) == 1810);

struct tagUserID {
    char UserName[21];  // enciphered by the client
    char Password[21];
    uint8_t Reserved[2];
    uint32_t UserId;
};
static_assert(sizeof(tagUserID) == 48);
static_assert(offsetof(tagUserID, UserName) == 0);
static_assert(offsetof(tagUserID, Password) == 21);
static_assert(offsetof(tagUserID, Reserved) == 42);
static_assert(offsetof(tagUserID, UserId) == 44);

#pragma pack(pop)

// The longest user name and password, in bytes.
inline constexpr std::size_t kUserNameMax = sizeof(tagUserAccountRecord::UserName);
inline constexpr std::size_t kPasswordMax = sizeof(tagUserAccountRecord::Password);

// One enciphered field of a record: offset and size.
struct RecordField {
    std::size_t offset;
    std::size_t size;
};

// Every field of tagUserAccountRecord in order; they cover the record exactly.
std::span<const RecordField> UserRecordFields();

// Applies the credential cipher to every field of record on its own:
// enciphers a clear record, deciphers an enciphered one.
void CipherRecordFields(tagUserAccountRecord& record);

// The text of a zero-padded field: the bytes up to the first zero, at most
// maxLength of them (a 21-byte name field that holds no zero gives its first
// 20 bytes).
std::string FieldText(std::span<const char> field, std::size_t maxLength);
template <std::size_t N>
std::string FieldText(const char (&field)[N], std::size_t maxLength = N) {
    return FieldText(std::span<const char>(field, N), maxLength);
}

// Copies text into a zero-padded field; false (field untouched) when it does
// not fit.
bool SetFieldText(std::span<char> field, std::string_view text);
template <std::size_t N>
bool SetFieldText(char (&field)[N], std::string_view text) {
    return SetFieldText(std::span<char>(field, N), text);
}

// The enciphered 20-byte form of a name as it stands in stored records and
// the operators file.
using EncipheredName = std::array<uint8_t, kUserNameMax>;
EncipheredName EncipherName(std::string_view name);

// User names are one identity whatever their letter case (Latin and
// windows-1251 Cyrillic letters): the users database keys them by the folded
// form, and every other comparison of user names (connections, sessions, the
// acting user) goes through SameUserName, so that a user deleted or renamed
// as "clerk" is the one logged in as "Clerk".
std::string FoldUserName(std::string_view name);
bool SameUserName(std::string_view a, std::string_view b);

}  // namespace zorv

#include "access/UserAccount.h"

#include <algorithm>
#include <cstring>

#include "platform/CredentialCipher.h"

namespace zorv {
namespace {

#define ZORV_RECORD_FIELD(name)                                                  \
    RecordField {                                                                \
        offsetof(tagUserAccountRecord, name), sizeof(tagUserAccountRecord::name) \
    }

// The one list of fields, used to encipher and to decipher.
constexpr RecordField kFields[] = {
    ZORV_RECORD_FIELD(UserName),
    ZORV_RECORD_FIELD(FullName),
    ZORV_RECORD_FIELD(Description),
    ZORV_RECORD_FIELD(Password),
    ZORV_RECORD_FIELD(AdminAccess),
    ZORV_RECORD_FIELD(DispatchRight),
    ZORV_RECORD_FIELD(BaseRigth),
    ZORV_RECORD_FIELD(MonitorRigth),
    ZORV_RECORD_FIELD(IpAddr),
    ZORV_RECORD_FIELD(IpMask),
    ZORV_RECORD_FIELD(StartDateTime),
    ZORV_RECORD_FIELD(ExpireDateTime),
    ZORV_RECORD_FIELD(ChannelsBaseRight),
    ZORV_RECORD_FIELD(ChannelsMonitorRight),
    ZORV_RECORD_FIELD(NetDeviceRight),
};

#undef ZORV_RECORD_FIELD

constexpr bool FieldsCoverRecord() {
    std::size_t next = 0;
    for (const RecordField& field : kFields) {
        if (field.offset != next) {
            return false;
        }
        next += field.size;
    }
    return next == sizeof(tagUserAccountRecord);
}
static_assert(FieldsCoverRecord(), "the field list must cover the record without gaps");

}  // namespace

std::span<const RecordField> UserRecordFields() {
    return kFields;
}

void CipherRecordFields(tagUserAccountRecord& record) {
    auto* bytes = reinterpret_cast<uint8_t*>(&record);
    for (const RecordField& field : kFields) {
        ApplyCredentialCipher(bytes + field.offset, field.size);
    }
}

std::string FieldText(std::span<const char> field, std::size_t maxLength) {
    const std::size_t limit = std::min(field.size(), maxLength);
    const auto end =
        std::find(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(limit), '\0');
    return std::string(field.begin(), end);
}

bool SetFieldText(std::span<char> field, std::string_view text) {
    if (text.size() > field.size()) {
        return false;
    }
    std::fill(field.begin(), field.end(), '\0');
    std::copy(text.begin(), text.end(), field.begin());
    return true;
}

EncipheredName EncipherName(std::string_view name) {
    EncipheredName out{};
    std::memcpy(out.data(), name.data(), std::min(name.size(), out.size()));
    ApplyCredentialCipher(out);
    return out;
}

std::string FoldUserName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        const auto b = static_cast<uint8_t>(c);
        if (b >= 'A' && b <= 'Z') {
            c = static_cast<char>(b + ('a' - 'A'));
        } else if (b >= 0xC0 && b <= 0xDF) {  // windows-1251 А..Я
            c = static_cast<char>(b + 0x20);
        } else if (b == 0xA8) {  // Ё
            c = static_cast<char>(0xB8);
        }
    }
    return folded;
}

bool SameUserName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && FoldUserName(a) == FoldUserName(b);
}

}  // namespace zorv

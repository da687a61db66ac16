// The user administration and operators-file commands of the client
// protocol. User names travel enciphered with the credential cipher in their
// 21-byte fields (as in the login); records travel as stored, every field
// enciphered. No password ever leaves the server: records sent carry an
// empty password field.
#include <cstring>

#include "access/ClientConnection.h"
#include "access/ClientServer.h"
#include "platform/CredentialCipher.h"

namespace zorv {
namespace {

// The name of an enciphered 21-byte field (deciphered in a copy).
std::string NameField(std::span<const uint8_t> request, std::size_t at) {
    char field[kUserNameMax + 1];
    std::memcpy(field, request.data() + at, sizeof(field));
    ApplyCredentialCipher(field, sizeof(field));
    return FieldText(field, kUserNameMax);
}

// The deciphered name of an enciphered record.
std::string RecordName(const tagUserAccountRecord& record) {
    char field[sizeof(record.UserName)];
    std::memcpy(field, record.UserName, sizeof(field));
    ApplyCredentialCipher(field, sizeof(field));
    return FieldText(field, kUserNameMax);
}

}  // namespace

bool CClientConnection::RunUsersCommand(const CommandSize& row, std::span<const uint8_t> request) {
    if (row.right != kNoRight && !Admit(row, request)) {
        return !m_ending;
    }
    CUsersDatabase& users = m_server.Users();
    const std::string acting = Name();
    IJournal& journal = m_server.Journal();
    const auto sendRecord = [&](uint32_t result, const tagUserAccountRecord& record) {
        auto message = std::make_unique<uint8_t[]>(kMaxReplySize);
        std::memset(message.get(), 0, kMaxReplySize);
        message[0] = request[0];
        message[1] = request[1];
        std::memcpy(message.get() + 2, &result, sizeof(result));
        if (result != 0) {
            tagUserAccountRecord sent = record;
            std::memset(sent.Password, 0, sizeof(sent.Password));
            std::memcpy(message.get() + 6, &sent, sizeof(sent));
        }
        return Reply({message.get(), 6 + sizeof(tagUserAccountRecord)});
    };
    switch (row.code) {
        case 32:
        case 34: {
            tagUserAccountRecord record{};
            std::memcpy(&record, request.data() + 4, sizeof(record));
            const bool done =
                row.code == 32 ? users.Add(record, acting) : users.Modify(record, acting);
            if (done) {
                journal.FormatJournal(kJournalInfo, Msg{row.journal}, acting, m_address,
                                      RecordName(record));
            }
            return Status(request, done ? 1 : 0);
        }
        case 33: {
            const std::string name = NameField(request, 4);
            const std::string field = NameField(request, 25);
            const bool done = users.Delete(name, field, acting);
            if (!done) {
                return Status(request, 0);
            }
            journal.FormatJournal(kJournalInfo, Msg{163}, acting, m_address, name);
            if (!Status(request, 1)) {
                return false;
            }
            // A deleted user has no rights left anywhere.
            m_server.DetachUserByName(name, this);
            if (SameUserName(name, acting)) {
                Disconnect(kReasonTimeout);
                return false;
            }
            return true;
        }
        case 36: {
            const std::string name = NameField(request, 4);
            const std::string newName = NameField(request, 25);
            const bool done = users.Rename(name, newName, acting);
            if (!done) {
                return Status(request, 0);
            }
            journal.FormatJournal(kJournalInfo, Msg{165}, acting, m_address, name);
            // The rights of the old name's sessions were the renamed user's:
            // they end, as for a delete; a user renaming itself goes on under
            // its new name.
            m_server.DetachUserByName(name, this);
            if (SameUserName(name, acting)) {
                Renamed(newName);
            }
            return Status(request, 1);
        }
        case 35: {
            // One message per user, counted from 1, then one with 0.
            uint32_t number = 0;
            for (const tagUserAccountRecord& record : users.ListAllUsers()) {
                if (!sendRecord(++number, record)) {
                    return false;
                }
            }
            return sendRecord(0, {});
        }
        case 79: {
            int count = 0;
            return Status(request, users.Count(count) ? count : 0);
        }
        case 80: {
            tagUserAccountRecord record{};
            const uint32_t index = [&] {
                uint32_t v = 0;
                std::memcpy(&v, request.data() + 4, sizeof(v));
                return v;
            }();
            const bool found =
                index <= 0x7FFFFFFF && users.GetByIndex(static_cast<int>(index), record);
            return sendRecord(found ? 1 : 0, record);
        }
        case 81: {
            const std::string name = NameField(request, 4);
            for (const tagUserAccountRecord& record : users.ListAllUsers()) {
                if (SameUserName(RecordName(record), name)) {
                    return sendRecord(1, record);
                }
            }
            return sendRecord(0, {});
        }
        case 39: {
            ClientAtr client{};
            std::memcpy(&client, request.data() + 4, sizeof(client));
            const std::string name = FieldText(client.UserName, kUserNameMax);
            const std::string address = FieldText(client.UserAddr, sizeof(client.UserAddr) - 1);
            if (!Status(request, 1)) {
                return false;
            }
            m_server.DetachUser(name, address);
            return !m_closed.load();
        }
        default:
            return RunUnavailable(row, request);
    }
}

bool CClientConnection::RunOperatorsCommand(const CommandSize& row,
                                            std::span<const uint8_t> request) {
    CUsersDatabase& users = m_server.Users();
    EncipheredName name{};
    std::memcpy(name.data(), request.data() + 4, name.size());
    switch (row.code) {
        case 150: {
            if (request[1] == 2) {
                // Sub-code 2: the name arrives plain.
                char plain[kUserNameMax];
                std::memcpy(plain, request.data() + 4, sizeof(plain));
                name = EncipherName(FieldText(plain, kUserNameMax));
            }
            // Messages of 24 + 50 n bytes (n <= 42, in bytes 2..3); a message
            // with fewer than 42 entries ends the list.
            constexpr std::size_t kHeader = 24;
            constexpr std::size_t kPerMessage = (kMaxReplySize - kHeader) / kOperatorEntrySize;
            static_assert(kPerMessage == 42);
            const std::vector<OperatorEntry> entries = users.ListOperators(name);
            std::size_t at = 0;
            do {
                const std::size_t n = std::min(kPerMessage, entries.size() - at);
                std::vector<uint8_t> message(kHeader + n * kOperatorEntrySize, 0);
                std::memcpy(message.data(), request.data(), kHeader);
                message[2] = static_cast<uint8_t>(n);
                message[3] = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    std::memcpy(message.data() + kHeader + i * kOperatorEntrySize,
                                entries[at + i].data(), kOperatorEntrySize);
                }
                if (!Reply(message)) {
                    return false;
                }
                at += n;
                if (n < kPerMessage) {
                    break;
                }
            } while (true);
            return true;
        }
        case 151:
        case 155: {
            OperatorEntry entry{};
            std::memcpy(entry.data(), request.data() + 24, entry.size());
            const int index = request[2] | request[3] << 8;
            const bool done = row.code == 151 ? users.AddOperator(name, entry)
                                              : users.ModifyOperator(name, index, entry);
            return Status(request, done ? 1 : 0);
        }
        case 152:
        case 156: {
            const int removed = users.DeleteOperators(name);
            return Status(request, removed >= 0 || row.code == 152 ? 1 : 0);
        }
        default:
            return RunUnavailable(row, request);
    }
}

}  // namespace zorv

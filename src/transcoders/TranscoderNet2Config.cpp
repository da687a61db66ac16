// Configuration of NET2 transcoders through their text shell.
//
// Each read or write makes its own shell connection for the one exchange and
// runs on the caller's thread without the configurator's lock: a shell
// exchange may take seconds, and the lock is never held while a caller waits
// for a transcoder.
#include "transcoders/Net2ConfigShell.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

struct CTranscoderConfigurator::ShellTarget {
    TranscoderAddress address;
    std::string host;
    uint16_t shellPort = 0;
    DeviceConfig current{};
};

std::optional<CTranscoderConfigurator::ShellTarget> CTranscoderConfigurator::ShellTargetOf(
    uint32_t serial) {
    CScopedLock lock(m_lock);
    const FoundTranscoder* found = FindFoundBySerial(serial);
    if (found == nullptr) {
        return std::nullopt;
    }
    return ShellTarget{found->address, DottedAddress(found->address.ip), m_registry->ShellPort(),
                       found->entry.config};
}

RequestResult CTranscoderConfigurator::ReadNet2Configuration(uint32_t serial,
                                                             const std::string& password,
                                                             DeviceConfig& config) {
    const std::optional<ShellTarget> target = ShellTargetOf(serial);
    if (!target) {
        return RequestResult::kNoTranscoder;
    }
    CTelnetController shell;
    DeviceConfig read = target->current;
    const RequestResult result =
        ReadNet2Config(shell, target->host, target->shellPort, password, read);
    if (result != RequestResult::kSuccess) {
        return result;
    }
    CScopedLock lock(m_lock);
    if (FoundTranscoder* found = FindFound(target->address)) {
        found->entry.config = read;
    }
    config = read;
    return result;
}

RequestResult CTranscoderConfigurator::WriteNet2Configuration(uint32_t serial,
                                                              const DeviceConfig& config) {
    const std::optional<ShellTarget> target = ShellTargetOf(serial);
    if (!target) {
        return RequestResult::kNoTranscoder;
    }
    CTelnetController shell;
    bool addressChanged = false;
    const RequestResult result = WriteNet2Config(shell, target->host, target->shellPort, config,
                                                 target->current, addressChanged);
    if (result != RequestResult::kSuccess) {
        return result;
    }
    CScopedLock lock(m_lock);
    if (addressChanged) {
        Forget(target->address);  // found again at its new address
    } else if (FoundTranscoder* found = FindFound(target->address)) {
        found->entry.config = config;
        found->entry.polling_state = kPresenceChanged;  // it restarts with the new settings
    }
    return result;
}

}  // namespace zorv

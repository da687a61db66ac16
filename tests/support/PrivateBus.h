// A D-Bus daemon of the test's own, listening on a socket in a temporary
// directory: the local interface is published there instead of the system
// bus. Every client may own and call any name on it.
#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace zorv::test {

class CPrivateBus {
public:
    CPrivateBus();
    // The address to connect to ("unix:path=...").
    const std::string& Address() const { return m_address; }
    bool Running() const { return m_daemon != nullptr && m_daemon->Running(); }
    // Ends the daemon (its clients lose the bus).
    void Stop() { m_daemon.reset(); }

private:
    CTempDir m_dir;
    std::string m_address;
    std::unique_ptr<CChildProcess> m_daemon;
};

}  // namespace zorv::test

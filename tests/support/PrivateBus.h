// D-Bus daemons of the test's own, listening on a socket in a temporary
// directory: the local interface is published there instead of the system
// bus. On CPrivateBus every client may own and call any name; CSystemLikeBus
// enforces policy files as the system bus does.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// A daemon configured like the system bus: every account may connect, but
// owning a name and calling a method are denied unless a policy file of
// policyDir allows them. Besides the machine's groups it knows the test's
// own (name, id) ones: it runs in a mount namespace of its own where
// /etc/group is a copy with them added, so that a policy can name a group
// the machine does not have (nothing on the machine changes). Needs root;
// the socket is open to every account.
class CSystemLikeBus {
public:
    CSystemLikeBus(const std::string& policyDir,
                   const std::vector<std::pair<std::string, gid_t>>& groups);
    const std::string& Address() const { return m_address; }
    bool Running() const { return m_daemon != nullptr && m_daemon->Running(); }
    // What the daemon printed (its warnings).
    std::string Log() const { return m_daemon != nullptr ? m_daemon->Stderr() : ""; }

private:
    CTempDir m_dir;
    std::string m_address;
    std::unique_ptr<CChildProcess> m_daemon;
};

}  // namespace zorv::test

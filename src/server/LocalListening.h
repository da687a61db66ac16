// The server's local listening links: at most one link that writes a
// channel's recorded audio and one that writes a channel's line monitor,
// each into the socket a local program opened (CLocalListenWriter).
//
// Change starts (enabled) or stops a link of a kind. A start ends the
// current link of its kind first, and the link of the other kind when it
// uses the same port; then the device is asked to attach the writer as a
// recorded-audio or line-monitor observer of the channel. The rights of the
// caller are checked before (result 3 is the caller's).
//
// Thread safety: Change and StopAll may come from any thread; m_lock guards
// the links and is held while a device attaches or detaches a writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "access/LocalListenWriter.h"
#include "access/LocalServices.h"
#include "platform/Mutex.h"

namespace zorv {

class CServerCore;

class CLocalListening final : public ILocalListenControl {
public:
    enum Kind { kListen = 0, kLineMonitor = 1 };
    // The results of Change ("Err" of listenChannel and lineMonitorChannel).
    static constexpr int kDone = 0;
    static constexpr int kUnavailable = 2;  // no socket, no such device, or refused by it
    static constexpr int kRefused = 3;      // the caller's rights (never from Change)
    static constexpr int kNoMemory = 4;

    CLocalListening(const CServerCore& server, std::string runDirectory);
    ~CLocalListening() override;
    CLocalListening(const CLocalListening&) = delete;
    CLocalListening& operator=(const CLocalListening&) = delete;

    int Change(Kind kind, int device, int channel, uint16_t port, bool enabled);
    // ILocalListenControl: Change for kind 0 (listen) or 1 (line monitor).
    int ChangeLink(int kind, int device, int channel, uint16_t port, bool enabled) override {
        if (kind != kListen && kind != kLineMonitor) {
            return kUnavailable;
        }
        return Change(static_cast<Kind>(kind), device, channel, port, enabled);
    }
    // Ends both links (server stop).
    void StopAll();
    // The run directory the local programs' sockets are looked for in.
    const std::string& RunDirectory() const { return m_runDirectory; }

private:
    struct Link {
        int device = -1;
        int channel = -1;
        std::unique_ptr<CLocalListenWriter> writer;
    };
    void EndLocked(Kind kind) REQUIRES(m_lock);

    // Constant after construction
    const CServerCore& m_server;
    const std::string m_runDirectory;

    CMutex m_lock;
    Link m_links[2] GUARDED_BY(m_lock);
};

}  // namespace zorv

#include "server/LocalListening.h"

#include <new>

#include "core/ServerCore.h"

namespace zorv {

CLocalListening::CLocalListening(const CServerCore& server, std::string runDirectory)
    : m_server(server), m_runDirectory(std::move(runDirectory)) {}

CLocalListening::~CLocalListening() {
    StopAll();
}

void CLocalListening::StopAll() {
    CMutexLock lock(m_lock);
    EndLocked(kListen);
    EndLocked(kLineMonitor);
}

void CLocalListening::EndLocked(Kind kind) {
    Link& link = m_links[kind];
    if (!link.writer) {
        return;
    }
    const int channel = link.channel;
    CLocalListenWriter* writer = link.writer.get();
    m_server.WithDevice(link.device, [&](IServerDevice& device) {
        if (kind == kListen) {
            device.DetachRecordObserver(channel, writer);
        } else {
            device.DetachLineObserver(channel, writer);
        }
    });
    link.writer->Close();
    link = Link{};
}

int CLocalListening::Change(Kind kind, int device, int channel, uint16_t port, bool enabled) {
    CMutexLock lock(m_lock);
    EndLocked(kind);
    if (!enabled) {
        return kDone;
    }
    std::unique_ptr<CLocalListenWriter> writer;
    try {
        writer = std::make_unique<CLocalListenWriter>(m_runDirectory, port);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    const Kind other = kind == kListen ? kLineMonitor : kListen;
    if (m_links[other].writer && m_links[other].writer->Port() == port) {
        EndLocked(other);
    }
    bool attached = false;
    m_server.WithDevice(device, [&](IServerDevice& d) {
        attached = kind == kListen ? d.AttachRecordObserver(channel, writer.get())
                                   : d.AttachLineObserver(channel, writer.get());
    });
    if (!attached) {
        return kUnavailable;
    }
    m_links[kind] = Link{device, channel, std::move(writer)};
    return kDone;
}

}  // namespace zorv

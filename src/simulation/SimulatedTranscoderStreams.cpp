// CSimulatedTranscoder: the part that drives its data streams (the
// datagram kind's packets and the NET2 kind's data connection) from the
// worker thread, and the accessors of their state.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "simulation/SimulatedTranscoder.h"
#include "simulation/TranscoderDatagramStream.h"
#include "simulation/TranscoderNet2Stream.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv {

void CSimulatedTranscoder::DeviceCommand(const TranscoderPacket& request, const void* sender) {
    if (!m_datagram) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    switch (request.command) {
        case TCMD_START: {
            sockaddr_in server = *static_cast<const sockaddr_in*>(sender);
            server.sin_port = htons(static_cast<uint16_t>(request.param1));
            SimStreamFaults faults;
            {
                CMutexLock lock(m_lock);
                faults = m_config.faults;
            }
            std::string error;
            if (m_datagram->Start(Address(), server, faults, now, error)) {
                Observe(fmt::format("data stream to {} from {}",
                                    AddressText({server.sin_addr.s_addr, ntohs(server.sin_port)}),
                                    DottedAddress(Address())));
            } else {
                Observe(fmt::format("data stream cannot start: {}", error));
            }
            break;
        }
        case TCMD_STOP:
            m_datagram->Stop();
            Observe("data stream stopped");
            break;
        default:
            m_datagram->Command(request.command, request.param2);
            break;
    }
    CMutexLock lock(m_lock);
    m_adcWords = m_datagram->AdcWords();
}

void CSimulatedTranscoder::AddStreamEntries(std::vector<pollfd>& fds, int& timeoutMs) const {
    int wait = -1;
    if (m_datagram) {
        fds.push_back(m_datagram->PollEntry());
        wait = m_datagram->WaitMs();
    } else if (m_net2) {
        m_net2->AddPollEntries(fds);
        wait = m_net2->WaitMs();
    }
    if (wait >= 0) {
        timeoutMs = std::min(timeoutMs, wait);
    }
}

void CSimulatedTranscoder::ServiceStreams(const pollfd* entries) {
    SimStreamFaults faults;
    int64_t silenceMs = -1;
    std::string password;
    {
        CMutexLock lock(m_lock);
        faults = m_config.faults;
        silenceMs = std::exchange(m_silenceRequestMs, -1);
        // "start $" asks the stream user's password where the shell does.
        if (m_config.config.ProtectLevel >= 2) {
            password = FieldText(m_config.config.StartPassword);
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_datagram) {
        if ((entries[0].revents & POLLIN) != 0) {
            m_datagram->ReceiveRequests();
        }
        if (silenceMs >= 0) {
            m_datagram->SilenceUntil(now + std::chrono::milliseconds(silenceMs));
        }
        m_datagram->Tick(now, faults);
        CMutexLock lock(m_lock);
        m_streamStats = m_datagram->Stats();
        return;
    }
    if (m_net2) {
        if (silenceMs >= 0) {
            m_net2->SilenceUntil(now + std::chrono::milliseconds(silenceMs));
        }
        m_net2->Service(entries, now, password, faults);
        CMutexLock lock(m_lock);
        m_streamStats = m_net2->Stats();
        m_appliedCodec = m_net2->Codec();
        m_lineStatuses = m_net2->Statuses();
    }
}

SimStreamStats CSimulatedTranscoder::StreamStats() const {
    CMutexLock lock(m_lock);
    return m_streamStats;
}

uint16_t CSimulatedTranscoder::DataPort() const {
    CMutexLock lock(m_lock);
    return m_dataPort;
}

SimNet2Codec CSimulatedTranscoder::AppliedCodec() const {
    CMutexLock lock(m_lock);
    return m_appliedCodec;
}

std::array<uint8_t, kSimTranscoderLines> CSimulatedTranscoder::LineStatuses() const {
    CMutexLock lock(m_lock);
    return m_lineStatuses;
}

std::vector<uint16_t> CSimulatedTranscoder::AdcWords() const {
    CMutexLock lock(m_lock);
    return m_adcWords;
}

// The board locks itself; the stream exists from Start to Stop, which the
// caller does not run meanwhile.
std::vector<std::array<int, 3>> CSimulatedTranscoder::LineCommands() const {
    std::vector<std::array<int, 3>> commands;
    if (m_datagram) {
        for (const auto& taken : m_datagram->Board().TakenCommands()) {
            commands.push_back({taken.channel, taken.command, taken.value});
        }
    }
    return commands;
}

std::array<int16_t, 32> CSimulatedTranscoder::RequestSignal() const {
    return m_datagram ? m_datagram->Board().RequestSignal(0) : std::array<int16_t, 32>{};
}

void CSimulatedTranscoder::SetStreamFaults(const SimStreamFaults& faults) {
    CMutexLock lock(m_lock);
    m_config.faults = faults;
}

void CSimulatedTranscoder::SetSilence(int64_t ms) {
    CMutexLock lock(m_lock);
    m_silenceRequestMs = std::max<int64_t>(ms, 0);
}

}  // namespace zorv

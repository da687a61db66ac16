#include "transcoders/Net2FlowProcessor.h"

#include <ace/ACE.h>
#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <ace/Time_Value.h>
#include <fmt/printf.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "core/Journal.h"
#include "platform/AutoResetEvent.h"
#include "platform/Mutex.h"
#include "platform/ThreadPriority.h"
#include "transcoders/AceTime.h"
#include "transcoders/TelnetController.h"
#include "transcoders/TranscoderDataProtocol.h"

namespace zorv {

namespace {

constexpr std::chrono::milliseconds kSupervisionPeriod{1000};
constexpr std::chrono::milliseconds kDataConnectTimeout{2000};
constexpr std::chrono::milliseconds kDataSendTimeout{2000};
// How long the receive thread waits for data before it looks at its stop
// flag again.
constexpr std::chrono::milliseconds kPacketReceivePoll{50};
constexpr uint32_t kRateWindowTicks = 3;
constexpr uint32_t kConnectedTimeout = 15;
constexpr uint32_t kInitialDataTimeout = 10;
constexpr uint32_t kSpeexDataTimeout = 35;
constexpr uint32_t kOtherDataTimeout = 15;
constexpr uint32_t kSpeexErrorLimit = 3;
constexpr uint32_t kFrequencyKHz[] = {8, 16, 32};

// The value of the first line at or after from that begins with label: the
// text after the label and one blank. from moves past the line found.
std::optional<std::string> FindInfoValue(const std::vector<std::string>& lines, std::size_t& from,
                                         std::string_view label) {
    for (; from < lines.size(); ++from) {
        std::string_view line = lines[from];
        if (line.starts_with(label)) {
            line.remove_prefix(label.size());
            if (!line.empty() && line.front() == ' ') {
                line.remove_prefix(1);
            }
            ++from;
            return std::string(line);
        }
    }
    return std::nullopt;
}

}  // namespace

struct CNet2FlowProcessor::Impl {
    Impl(ITranscoderFlowHost& host_, CTranscoderFlowSink& sink_, CTranscoderDeviceLink& device_,
         uint16_t shellPort_)
        : host(host_), sink(sink_), device(device_), shellPort(shellPort_) {}

    // Constant after construction
    ITranscoderFlowHost& host;
    CTranscoderFlowSink& sink;
    CTranscoderDeviceLink& device;
    const uint16_t shellPort;

    // Start and Stop, one at a time; taken before the main lock.
    CMutex runLock;
    bool runSupervision GUARDED_BY(runLock) = true;
    std::thread supervision GUARDED_BY(runLock);
    CMutex wakeLock;  // the supervision thread's stop flag and its wait
    std::condition_variable wake;
    bool stopSupervision GUARDED_BY(wakeLock) = false;

    // The main lock.
    mutable CRecursiveMutex lock;
    std::atomic<uint32_t> state{FS_STOPPED};  // written under lock
    TranscoderAddress address GUARDED_BY(lock);
    std::string hostText GUARDED_BY(lock);  // dotted IP: shell host and journal texts
    std::string password GUARDED_BY(lock);
    uint16_t dataPort GUARDED_BY(lock) = 0;
    CTelnetController shell GUARDED_BY(lock);
    ACE_SOCK_Stream data GUARDED_BY(lock);
    bool dataOpen GUARDED_BY(lock) = false;
    std::thread receiver GUARDED_BY(lock);
    uint32_t dataTimeout GUARDED_BY(lock) = kInitialDataTimeout;
    bool speexAvailable GUARDED_BY(lock) = true;
    uint32_t speexErrors GUARDED_BY(lock) = 0;
    uint32_t context GUARDED_BY(lock) = 0;
    uint32_t windowTicks GUARDED_BY(lock) = 0;
    tagTranscoderStatistic statistics GUARDED_BY(lock){};
    // What GetStatistics hands out: written only by GetStatistics, so that a
    // caller reading it races with no tick.
    tagTranscoderStatistic published GUARDED_BY(lock){};

    // Written by the receive thread, read and reset under the main lock.
    std::atomic<uint32_t> windowBytes{0};
    std::atomic<uint32_t> packetReceive{0};
    std::atomic<uint32_t> secondsWithoutData{0};
    std::atomic<bool> stopReceiver{false};
    std::atomic<bool> dataClosedByPeer{false};  // hand-over: close the data socket
    std::atomic<bool> overflow{false};          // hand-over: enter FS_RECONNECT

    // The buffer lock.
    CMutex bufferLock;
    std::unique_ptr<uint8_t[]> buffer GUARDED_BY(bufferLock);
    std::size_t fill GUARDED_BY(bufferLock) = 0;
    bool restart GUARDED_BY(bufferLock) = false;
    CAutoResetEvent* dataEvent GUARDED_BY(bufferLock) = nullptr;
    // The receive thread's chunk; only the one receive thread uses it.
    std::unique_ptr<uint8_t[]> chunk;

    void Report(int level, const std::string& text) { sink.Report(level, text); }

    void Allocate() {
        CMutexLock bufferGuard(bufferLock);
        if (!buffer) {
            buffer = std::make_unique<uint8_t[]>(kNet2ReceiveBufferSize);
            chunk = std::make_unique<uint8_t[]>(kNet2ReceiveChunk);
        }
    }

    bool CommandsAllowed() const {
        const uint32_t now = state.load();
        return now == FS_STREAMING || now == FS_CONNECTED;
    }

    void EnterState(FlowState next) REQUIRES(lock) {
        state = next;
        secondsWithoutData = 0;
        switch (next) {
            case FS_STOPPED: {
                CloseData();
                shell.Close();
                CMutexLock bufferGuard(bufferLock);
                restart = false;
                break;
            }
            case FS_STREAMING:
                speexErrors = 0;
                break;
            case FS_RECONNECT: {
                CloseData();
                shell.Close();
                ++statistics.nStreamLost;
                CMutexLock bufferGuard(bufferLock);
                fill = 0;
                restart = true;
                break;
            }
            case FS_STARTING: {
                CloseData();
                shell.Close();
                CMutexLock bufferGuard(bufferLock);
                fill = 0;
                restart = false;
                break;
            }
            case FS_CONNECTED:
            case FS_FAILED:
                break;
        }
    }

    // Data connection.

    // Stops the receive thread (it takes only the buffer lock, so waiting for
    // it here under the main lock cannot deadlock), then closes the socket.
    void CloseData() REQUIRES(lock) {
        if (receiver.joinable()) {
            stopReceiver = true;
            receiver.join();
        }
        if (dataOpen) {
            data.close();
            dataOpen = false;
        }
        dataClosedByPeer = false;
        overflow = false;
    }

    bool ConnectData() REQUIRES(lock) {
        CloseData();
        ACE_INET_Addr target;
        if (target.set(dataPort, hostText.c_str(), 1, AF_INET) != 0) {
            return false;
        }
        ACE_SOCK_Connector connector;
        const ACE_Time_Value timeout = TimeValue(kDataConnectTimeout);
        ACE_SOCK_Stream stream;
        if (connector.connect(stream, target, &timeout) != 0) {
            stream.close();  // the failed connect is given up here; the next tick tries again
            return false;
        }
        stream.enable(ACE_NONBLOCK);
        data = stream;
        dataOpen = true;
        stopReceiver = false;
        try {
            receiver = std::thread([this, handle = data.get_handle()] { ReceiveLoop(handle); });
        } catch (const std::system_error&) {
            data.close();
            dataOpen = false;
            return false;
        }
        return true;
    }

    // Sends all of bytes on the data socket within the send timeout.
    bool SendData(std::string_view bytes) REQUIRES(lock) {
        if (!dataOpen) {
            return false;
        }
        const ACE_Time_Value timeout = TimeValue(kDataSendTimeout);
        std::size_t sent = 0;
        const ssize_t result =
            data.send_n(bytes.data(), bytes.size(), MSG_NOSIGNAL, &timeout, &sent);
        return result == static_cast<ssize_t>(bytes.size()) && sent == bytes.size();
    }

    // The stream control pattern: send; on failure reconnect the data socket
    // and send once more; when that fails too, FS_RECONNECT.
    bool StreamControl(std::string_view text) REQUIRES(lock) {
        if (!CommandsAllowed()) {
            return false;
        }
        std::string bytes;
        bytes.reserve(text.size() + password.size() + 1);
        bytes.append(text).append(password).push_back('\0');
        if (SendData(bytes)) {
            return true;
        }
        if (ConnectData() && SendData(bytes)) {
            return true;
        }
        EnterState(FS_RECONNECT);
        return false;
    }

    void EmptyBuffer() {
        CMutexLock bufferGuard(bufferLock);
        fill = 0;
    }

    bool StartStream() REQUIRES(lock) {
        if (!CommandsAllowed()) {
            return false;
        }
        // Emptied before the start is sent: the transcoder streams as soon as
        // it has the command, and its first packets must not be thrown away.
        EmptyBuffer();
        if (!StreamControl(kStreamStart)) {
            return false;
        }
        EnterState(FS_STREAMING);
        return true;
    }

    // The receive thread: it stands for the reactor that serves the data
    // socket, reading whenever data is ready until told to stop. It takes only
    // the buffer lock; what needs the main lock it hands over to the tick.
    void ReceiveLoop(ACE_HANDLE handle) {
        SetCurrentThreadTimeCritical();  // as the device's reactor; best effort
        ACE_SOCK_Stream stream(handle);
        // One blocking receive per packet, given up after kPacketReceivePoll so that
        // a stop request is seen: a receive that runs out (EAGAIN) is a quiet
        // connection (no stream started yet, a pause), not a closed one.
        ACE::clr_flags(handle, ACE_NONBLOCK);
        timeval wait{};
        wait.tv_usec = static_cast<suseconds_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(kPacketReceivePoll).count());
        stream.set_option(SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        while (!stopReceiver.load()) {
            const ssize_t n = stream.recv(chunk.get(), kNet2ReceiveChunk);
            if (n < 0 &&
                (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR || errno == ETIME)) {
                continue;
            }
            if (n <= 0) {
                dataClosedByPeer = true;
                return;
            }
            const auto size = static_cast<std::size_t>(n);
            windowBytes += static_cast<uint32_t>(size);
            ++packetReceive;
            secondsWithoutData = 0;
            CMutexLock bufferGuard(bufferLock);
            if (fill + size > kNet2ReceiveBufferSize) {
                // The chunk is dropped; reading stops until the supervision
                // has reconnected, so that nothing is appended after the gap.
                overflow = true;
                return;
            }
            std::memcpy(buffer.get() + fill, chunk.get(), size);
            fill += size;
            if (dataEvent != nullptr) {
                dataEvent->Set();
            }
        }
    }

    // Shell.

    bool Login() REQUIRES(lock) {
        return shell.Connect(hostText, std::string(kShellUserStream), password, shellPort);
    }

    // The shell command pattern: send; on failure log in again and send once
    // more; when that fails too, FS_RECONNECT. True only for an OK reply.
    bool ShellCommand(const std::string& text) REQUIRES(lock) {
        if (!CommandsAllowed()) {
            return false;
        }
        if (!shell.Command(text) && !(Login() && shell.Command(text))) {
            EnterState(FS_RECONNECT);
            return false;
        }
        return shell.IsOk();
    }

    void ConnectSequence() REQUIRES(lock) {
        if (host.PresenceState(address) != kPresenceAnswering) {
            return;
        }
        if (!Login()) {
            if (shell.LastError() == TelnetError::kLoginRefused) {
                Report(1, FormatCatalogText(Msg{324}, hostText));
                EnterState(FS_FAILED);
            }
            return;
        }
        if (!shell.Command(kCmdLock) || !shell.IsOk() || !shell.Command(kCmdInfo)) {
            shell.Close();
            return;
        }
        std::vector<std::string> lines;
        for (std::string_view line : shell.ReplyLines()) {
            lines.emplace_back(line);
        }
        speexAvailable = true;
        std::size_t at = 0;
        const std::optional<std::string> hardware = FindInfoValue(lines, at, kInfoHardwareError);
        if (hardware) {
            if (*hardware == kInfoHardwareNoSpeex) {
                speexAvailable = false;
            } else if (*hardware != kInfoCodeFine) {
                Report(1, FormatCatalogText(Msg{442}, hostText, *hardware));
                EnterState(FS_FAILED);
                return;
            }
        }
        const std::optional<std::string> speex =
            hardware ? FindInfoValue(lines, at, kInfoSpeexError) : std::nullopt;
        if (speex && speexAvailable && *speex != kInfoCodeFine) {
            if (++speexErrors < kSpeexErrorLimit) {
                Report(1, FormatCatalogText(Msg{443}, *speex, hostText));
                shell.Command(kCmdRestart);  // the transcoder may drop the line as it restarts
                EnterState(FS_RECONNECT);
            } else {
                Report(1, FormatCatalogText(Msg{444}, *speex, hostText));
                EnterState(FS_FAILED);
            }
            return;
        }
        if (!hardware || !speex) {
            shell.Close();
            return;
        }
        if (!ConnectData()) {
            return;
        }
        EnterState(FS_CONNECTED);
        sink.OnStarted(context);
    }

    void Tick() REQUIRES(lock) {
        if (++windowTicks >= kRateWindowTicks) {
            statistics.streamSpeed = windowBytes.exchange(0) / kRateWindowTicks;
            windowTicks = 0;
        }
        const uint32_t seconds = ++secondsWithoutData;
        const uint32_t now = state.load();
        if (overflow.load() && (now == FS_STREAMING || now == FS_CONNECTED)) {
            EnterState(FS_RECONNECT);
            return;
        }
        if (dataClosedByPeer.load()) {
            CloseData();  // the no-data count runs on; the timeouts reconnect
        }
        switch (now) {
            case FS_STREAMING:
                if (seconds >= dataTimeout) {
                    EnterState(FS_RECONNECT);
                }
                break;
            case FS_CONNECTED:
                if (seconds >= kConnectedTimeout) {
                    EnterState(FS_RECONNECT);
                }
                break;
            case FS_RECONNECT:
            case FS_STARTING:
                ConnectSequence();
                break;
            default:
                break;
        }
    }

    void SupervisionLoop() {
        SetCurrentThreadTimeCritical();  // best effort
        for (;;) {
            {
                CUniqueLock wait(wakeLock);
                const auto deadline = std::chrono::steady_clock::now() + kSupervisionPeriod;
                while (!stopSupervision &&
                       wake.wait_until(wait.Native(), deadline) != std::cv_status::timeout) {
                }
                if (stopSupervision) {
                    return;
                }
            }
            CRecursiveLock guard(lock);
            Tick();
        }
    }

    void StopSupervision() REQUIRES(runLock) {
        if (!supervision.joinable()) {
            return;
        }
        {
            CMutexLock guard(wakeLock);
            stopSupervision = true;
        }
        wake.notify_all();
        supervision.join();
    }
};

CNet2FlowProcessor::CNet2FlowProcessor(ITranscoderFlowHost& host, CTranscoderFlowSink& sink,
                                       CTranscoderDeviceLink& device, uint16_t shellPort)
    : m_impl(std::make_unique<Impl>(host, sink, device, shellPort)) {}

CNet2FlowProcessor::~CNet2FlowProcessor() {
    // Stops without telling the device: the device owns the flow and may be
    // part way through its own destruction.
    Impl& impl = *m_impl;
    CMutexLock run(impl.runLock);
    impl.StopSupervision();
    CRecursiveLock guard(impl.lock);
    impl.EnterState(FS_STOPPED);
}

void CNet2FlowProcessor::RunSupervisionThread(bool run) {
    CMutexLock guard(m_impl->runLock);
    m_impl->runSupervision = run;
}

bool CNet2FlowProcessor::Start(const DeviceInfo& identity, uint16_t portA, uint16_t /*portB*/,
                               const TranscoderAddress& address, uint32_t protocol,
                               const std::string& password) {
    Impl& impl = *m_impl;
    CMutexLock run(impl.runLock);
    const std::string hostText = DottedAddress(address.ip);
    if (!impl.device.CheckIdentity(identity, protocol)) {
        impl.Report(1, FormatCatalogText(Msg{320}, hostText));
        return false;
    }
    // A flow started again (the transcoder moved) first ends its old run.
    impl.StopSupervision();
    {
        CRecursiveLock guard(impl.lock);
        impl.EnterState(FS_STOPPED);
        if (portA == UINT16_MAX) {
            // The data port would wrap to 0.
            impl.Report(1, FormatCatalogText(Msg{318}, hostText));
            return false;
        }
        impl.Allocate();
        impl.address = address;
        impl.hostText = hostText;
        impl.password = password;
        impl.dataPort = static_cast<uint16_t>(portA + 1);
        impl.statistics = tagTranscoderStatistic{};
        impl.windowBytes = 0;
        impl.packetReceive = 0;
        impl.windowTicks = 0;
        impl.EnterState(FS_STARTING);
        impl.speexErrors = 0;
    }
    if (impl.runSupervision) {
        {
            CMutexLock guard(impl.wakeLock);
            impl.stopSupervision = false;
        }
        try {
            impl.supervision = std::thread([&impl] { impl.SupervisionLoop(); });
        } catch (const std::system_error&) {
            impl.Report(1, FormatCatalogText(Msg{318}, hostText));
            CRecursiveLock guard(impl.lock);
            impl.EnterState(FS_STOPPED);
            return false;
        }
    }
    return true;
}

bool CNet2FlowProcessor::Stop() {
    Impl& impl = *m_impl;
    {
        CMutexLock run(impl.runLock);
        impl.StopSupervision();
        CRecursiveLock guard(impl.lock);
        impl.EnterState(FS_STOPPED);
    }
    impl.device.OnFlowStopped();
    return true;
}

const tagTranscoderStatistic* CNet2FlowProcessor::GetStatistics() {
    Impl& impl = *m_impl;
    CRecursiveLock guard(impl.lock);
    impl.statistics.nPacketReceive = impl.packetReceive.load();
    impl.published = impl.statistics;
    return &impl.published;
}

void CNet2FlowProcessor::AllocateBuffer() {
    m_impl->Allocate();
}

void CNet2FlowProcessor::SetDataEvent(CAutoResetEvent* event) {
    CMutexLock guard(m_impl->bufferLock);
    m_impl->dataEvent = event;
}

std::size_t CNet2FlowProcessor::ReadData(uint8_t* destination, std::size_t capacity,
                                         bool& restart) {
    Impl& impl = *m_impl;
    CMutexLock guard(impl.bufferLock);
    restart = impl.restart;
    impl.restart = false;
    const std::size_t count = std::min(impl.fill, capacity);
    if (count > 0) {
        std::memcpy(destination, impl.buffer.get(), count);
        std::memmove(impl.buffer.get(), impl.buffer.get() + count, impl.fill - count);
        impl.fill -= count;
    }
    return count;
}

void CNet2FlowProcessor::SetContext(uint32_t context) {
    CRecursiveLock guard(m_impl->lock);
    m_impl->context = context;
}

uint32_t CNet2FlowProcessor::State() const {
    return m_impl->state.load();
}

bool CNet2FlowProcessor::ReconnectRequested() const {
    return m_impl->overflow.load();
}

void CNet2FlowProcessor::Tick() {
    CRecursiveLock guard(m_impl->lock);
    m_impl->Tick();
}

bool CNet2FlowProcessor::SetChannel(uint32_t channel) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdSetChannel, channel));
}

bool CNet2FlowProcessor::SetCompression(uint32_t kind, bool& speexOk) {
    Impl& impl = *m_impl;
    CRecursiveLock guard(impl.lock);
    speexOk = true;
    if (kind >= kCompressionNames.size() || !impl.CommandsAllowed()) {
        return false;
    }
    if (kind == kCompressSpeex && !impl.speexAvailable) {
        speexOk = false;
        impl.EnterState(FS_RECONNECT);
        return false;
    }
    if (!impl.ShellCommand(fmt::sprintf(kCmdSetCompress, std::string(kCompressionNames[kind])))) {
        return false;
    }
    impl.dataTimeout = kind == kCompressSpeex ? kSpeexDataTimeout : kOtherDataTimeout;
    return true;
}

bool CNet2FlowProcessor::SetFrequency(uint32_t kind) {
    if (kind >= std::size(kFrequencyKHz)) {
        return false;
    }
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdSetFreq, kFrequencyKHz[kind]));
}

bool CNet2FlowProcessor::SetGain(uint32_t a, uint32_t b) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdSetGain, a, b));
}

bool CNet2FlowProcessor::SetBlockGain(const uint32_t (&gains)[6]) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(
        fmt::sprintf(kCmdSetBlockGain, gains[0], gains[1], gains[2], gains[3], gains[4], gains[5]));
}

bool CNet2FlowProcessor::SetSpeex8kHz(uint32_t mode) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdSetSpeex8, mode));
}

bool CNet2FlowProcessor::SetSpeex16kHz(uint32_t mode) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdSetSpeex16, mode));
}

bool CNet2FlowProcessor::SetBufferMode(uint32_t kind, uint32_t value) {
    if (kind >= kCompressionNames.size()) {
        return false;
    }
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(
        fmt::sprintf(kind == kCompressSpeex ? kCmdSetBuffSpeex : kCmdSetBuffNone, value));
}

bool CNet2FlowProcessor::UpdateCodec() {
    Impl& impl = *m_impl;
    CRecursiveLock guard(impl.lock);
    if (!impl.StreamControl(kStreamStop)) {
        return false;
    }
    if (!impl.ShellCommand(kCmdUpdateCodec)) {
        return false;
    }
    return impl.StartStream();
}

bool CNet2FlowProcessor::SetLine(uint32_t param, uint32_t line, uint32_t value) {
    // Both taken as 16-bit: the parameter in the low five bits, the line above.
    const auto word = static_cast<uint16_t>((static_cast<uint16_t>(line) << 5) |
                                            (static_cast<uint16_t>(param) & 0x1F));
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdLineSet, unsigned{word}, value & 0xFF));
}

bool CNet2FlowProcessor::SetBlockLine(uint32_t a, const uint8_t (&v)[9]) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(
        kCmdBlockLineSet, a, unsigned{v[0]}, unsigned{v[1]}, unsigned{v[2]}, unsigned{v[3]},
        unsigned{v[4]}, unsigned{v[5]}, unsigned{v[6]}, unsigned{v[7]}, unsigned{v[8]}));
}

bool CNet2FlowProcessor::SetLineOnOff(uint32_t mask) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdLineOnOff, mask & 0xFF));
}

bool CNet2FlowProcessor::SetLineState(uint32_t mask) {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->ShellCommand(fmt::sprintf(kCmdLineState, mask & 0xFF));
}

bool CNet2FlowProcessor::StartStream() {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->StartStream();
}

bool CNet2FlowProcessor::StopStream() {
    CRecursiveLock guard(m_impl->lock);
    return m_impl->StreamControl(kStreamStop);
}

bool CNet2FlowProcessor::RestartStream() {
    Impl& impl = *m_impl;
    CRecursiveLock guard(impl.lock);
    // A stop that is refused (no stream) changes nothing; one that fails
    // has entered FS_RECONNECT, which already empties, flags and counts.
    if (!impl.StreamControl(kStreamStop)) {
        return false;
    }
    impl.ConnectData();
    {
        CMutexLock bufferGuard(impl.bufferLock);
        impl.fill = 0;
        impl.restart = true;
    }
    ++impl.statistics.nStreamLost;
    return impl.StartStream();
}

}  // namespace zorv

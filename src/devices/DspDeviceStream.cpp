// The reading thread of a DSP-style device: reads of the record stream,
// block processing per channel (polarity control, input filter, stages,
// audio handler), event decoding and the group watchdog.
#include <chrono>
#include <cstdlib>

#include "core/CodedException.h"
#include "core/ExceptionSource.h"
#include "core/ServerMessage.h"
#include "devices/BoardDriver.h"
#include "devices/DspDevice.h"
#include "devices/DspProtocol.h"
#include "platform/ThreadPriority.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

// A read failure that repeats is reported at most this often.
constexpr auto kReadFailureReportInterval = std::chrono::seconds(60);

}  // namespace

void CDspDevice::ReadingLoop() {
    SetCurrentThreadTimeCritical();  // refused without privilege: normal priority
    const bool local = m_driver->IsLocalHardware();
    const auto timeout = local ? 5000ms : 125ms;
    while (!m_stopReading) {
        const bool signalled = m_dataEvent->Wait(timeout);
        if (m_stopReading) {
            break;
        }
        try {
            if (!local) {
                FollowRemoteRecordLength();
                if (!signalled) {
                    // A slow stream (few lines, long records) may hold data
                    // that has not reached the flow's wake-up mark yet: only
                    // a wait with nothing at all to read is silence.
                    std::size_t received = 0;
                    if (!ReadOnce(received) || received == 0) {
                        FillRemoteSilence();
                        continue;
                    }
                }
                RemoteDataReturned();
            } else if (!signalled) {
                if (AnyGroupStreaming()) {
                    Server().Post(kMsgFailure, 8, m_deviceIndex.load(), 0);
                }
                continue;
            }
            std::size_t received = 0;
            do {
                if (!ReadOnce(received)) {
                    break;
                }
                // A full buffer may have left data behind: read on without waiting.
            } while (received == m_readBuffer.size() && !m_stopReading);
        } catch (...) {
            const ExceptionSourceFields source = DeviceExceptionSource(m_deviceIndex.load());
            Server().Post(kMsgException, CurrentExceptionCode(), source.b, source.c);
        }
    }
}

bool CDspDevice::ReadOnce(std::size_t& received) {
    received = 0;
    if (!m_driver->Read(m_readBuffer.data(), m_readBuffer.size(), received) ||
        received > m_readBuffer.size()) {
        received = 0;
        m_error = kDeviceReadFailed;
        // A failure that repeats every 100 ms is reported when it begins and
        // then at most once a minute.
        const auto now = Clock().SteadyNow();
        if (m_readFailures++ == 0 || now - m_lastReadFailureReport >= kReadFailureReportInterval) {
            m_lastReadFailureReport = now;
            Server().Post(kMsgFailure, 1, m_deviceIndex.load(), kDeviceReadFailed);
        }
        Clock().SleepFor(100ms);
        return false;
    }
    m_readFailures = 0;
    ParseRead(m_readBuffer.data(), received);
    return true;
}

void CDspDevice::FillRemoteSilence() {
    uint32_t rate = 8000;
    {
        CMutexLock lock(m_bank->Lock());
        for (int ch = 0; ch < m_bank->Count(); ++ch) {
            m_bank->ShowNoDataLocked(ch);
        }
        if (m_bank->Count() > 0) {
            rate = m_bank->ParamLocked(0).SampleRate;
        }
    }
    std::size_t filled = 0;
    if (m_remoteTimeouts < kRemoteSilenceWaits) {
        // Recording time keeps running: silence for the wait.
        filled = m_driver->FillAfterTimeout(m_readBuffer.data(), m_readBuffer.size(), rate / 8);
        ++m_remoteTimeouts;
    } else {
        // Gone for good: every line is free again, each wait.
        filled = m_driver->FillAfterLoss(m_readBuffer.data(), m_readBuffer.size());
        if (!m_remoteLossPosted) {
            m_remoteLossPosted = true;
            Server().Post(kMsgFailure, 8, m_deviceIndex.load(), 0);
        }
    }
    ParseRead(m_readBuffer.data(), std::min(filled, m_readBuffer.size()));
}

void CDspDevice::RemoteDataReturned() {
    if (m_remoteLossPosted) {
        Server().Post(kMsgFailure, 8, m_deviceIndex.load(), 1);
    }
    m_remoteLossPosted = false;
    m_remoteTimeouts = 0;
    CMutexLock lock(m_bank->Lock());
    for (int ch = 0; ch < m_bank->Count(); ++ch) {
        m_bank->NoDataEndedLocked(ch);
    }
}

void CDspDevice::FollowRemoteRecordLength() {
    if (m_recordLengthKnown) {
        return;
    }
    tagHARDWARE_CONFIG hardware{};
    if (!m_driver->GetHardwareInfo(hardware)) {
        return;
    }
    const BoardLayout layout = BoardLayout::Decode(hardware.BoardID);
    if (layout.boardId == 0) {
        return;  // the transcoder has not been accepted yet
    }
    m_recordLengthKnown = true;
    const int length = static_cast<int>(layout.AudioRecordLength());
    if (length == m_parser.AudioLength()) {
        return;
    }
    std::array<int, kMaxGroups> counts{};
    std::array<int, kMaxGroups> firsts{};
    std::array<int, kMaxGroups> samples{};
    for (int g = 0; g < kMaxGroups; ++g) {
        const GroupRange range = RangeOf(g);
        counts[static_cast<std::size_t>(g)] = range.channels;
        firsts[static_cast<std::size_t>(g)] = range.first;
        samples[static_cast<std::size_t>(g)] = m_parser.BlockSamples(g);
    }
    m_parser.Configure(length, counts, firsts);
    for (int g = 0; g < kMaxGroups; ++g) {
        m_parser.SetBlockSamples(g, samples[static_cast<std::size_t>(g)]);
    }
    m_audioRecordLength = length;
}

bool CDspDevice::AnyGroupStreaming() {
    CMutexLock lock(m_bank->Lock());
    for (const Group& group : m_groups) {
        if (group.streaming) {
            return true;
        }
    }
    return false;
}

void CDspDevice::ParseRead(const uint8_t* data, std::size_t size) {
    // Requests of other threads, taken up between two reads: a reset, and
    // per group a new block format (block length and level shift change at
    // the same block) and a restart of the group's block.
    const uint32_t requests = m_parserRequests.exchange(0);
    if ((requests & kResetParser) != 0) {
        m_parser.Reset();
    }
    for (int g = 0; g < kMaxGroups; ++g) {
        const uint32_t format = m_pendingBlockFormat[static_cast<std::size_t>(g)].exchange(0);
        if (format != 0) {
            m_parser.SetBlockSamples(g, static_cast<int>(format & 0xFFFF));
            m_readerLevelShift[static_cast<std::size_t>(g)] = static_cast<int>(format >> 16);
        }
        if ((requests & (kResetGroup0 << g)) != 0) {
            m_parser.ResetGroup(g);
        }
    }
    if (size > 0) {
        m_parser.Feed(data, size);
    }
}

void CDspDevice::OnBlock(int g) {
    const GroupRange group = RangeOf(g);
    const auto samples = static_cast<std::size_t>(m_parser.BlockSamples(g));
    const int levelShift = m_readerLevelShift[static_cast<std::size_t>(g)];
    CMutexLock lock(m_bank->Lock());
    for (int ch = group.first; ch < group.first + group.channels; ++ch) {
        int16_t* block = m_parser.ChannelSamples(ch);
        ControlPolarity(ch, block, samples);
        ProcessChannelBlock(ch, block, samples, levelShift, HighPassPlace::kFirst);
    }
    FeedWatchdog(g);
}

void CDspDevice::ApplyHighPass(int channel, int16_t* samples, std::size_t count) {
    HighPass& f = m_highPass[static_cast<std::size_t>(channel)];
    for (std::size_t i = 0; i < count; ++i) {
        const float x = samples[i];
        f.y = f.a * f.y + f.b * (x - f.xPrev);
        f.xPrev = x;
        const float y = f.y > 32767.0f ? 32767.0f : (f.y < -32768.0f ? -32768.0f : f.y);
        samples[i] = static_cast<int16_t>(y);
    }
}

void CDspDevice::ProcessChannelBlock(int channel, int16_t* samples, std::size_t count,
                                     int levelShift, HighPassPlace place) {
    if (place == HighPassPlace::kFirst) {
        ApplyHighPass(channel, samples, count);
    }
    if (m_stages.callerIdDemodulator != nullptr) {
        m_stages.callerIdDemodulator->Process(channel, samples, count);
    }
    ProcessBlock(channel, samples, count);
    for (IBlockStage* stage : {m_stages.busyAnalyzer, m_stages.aonActivation, m_stages.aonDecoder}) {
        if (stage != nullptr) {
            stage->Process(channel, samples, count);
        }
    }
    if (place == HighPassPlace::kAfterAon) {
        ApplyHighPass(channel, samples, count);
    }
    for (IBlockStage* stage : {m_stages.frequencyActivator, m_stages.noiseSuppressor}) {
        if (stage != nullptr) {
            stage->Process(channel, samples, count);
        }
    }
    uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += static_cast<uint32_t>(std::abs(static_cast<int>(samples[i])));
    }
    const uint32_t level = sum >> levelShift;
    m_recorder->WriteMonitorBlock(channel, samples, count);
    m_bank->DeliverBlockLocked(channel, samples, count, level);
}

void CDspDevice::ControlPolarityByStatus(int channel, int observed, uint32_t blocksPerStatus) {
    Polarity& p = m_polarity[static_cast<std::size_t>(channel)];
    if (p.pending) {
        if (p.mode == -1 || p.mode == 1) {
            m_driver->ChannelCommand(channel, Code(DspCommand::Polarity), p.mode == 1 ? 1 : 0);
            p.pending = false;
        } else if (m_bank->StateLocked(channel).StateLine == CS_FREE) {
            // Counted with >=: the interval need not be a multiple of the step.
            p.counter += blocksPerStatus;
            if (p.counter >= p.interval) {
                m_driver->ChannelCommand(channel, Code(DspCommand::Key),
                                         Code(DspKeyValue::TestPulse));
                p.counter = 0;
            }
        }
    }
    p.state = observed;
}

void CDspDevice::ControlPolarity(int channel, const int16_t* samples, std::size_t count) {
    Polarity& p = m_polarity[static_cast<std::size_t>(channel)];
    if (!p.pending) {
        return;
    }
    if (p.mode == -1 || p.mode == 1) {
        m_driver->ChannelCommand(channel, Code(DspCommand::Polarity), p.mode == 1 ? 1 : 0);
        p.pending = false;
        return;
    }
    if (m_bank->StateLocked(channel).StateLine != CS_FREE) {
        return;
    }
    ++p.counter;
    if (p.counter == p.interval) {
        m_driver->ChannelCommand(channel, Code(DspCommand::Key), Code(DspKeyValue::TestPulse));
        p.highest = 0;
        p.lowest = 0;
        p.highestAt = 0;
        p.lowestAt = 0;
        p.position = 0;
    } else if (p.counter > p.interval && p.counter <= p.interval + 24) {
        for (std::size_t i = 0; i < count; ++i, ++p.position) {
            if (samples[i] > p.highest) {
                p.highest = samples[i];
                p.highestAt = p.position;
            }
            if (samples[i] < p.lowest) {
                p.lowest = samples[i];
                p.lowestAt = p.position;
            }
        }
    } else if (p.counter >= p.interval + 25) {
        // The pulse shows its positive peak first on a line of one polarity.
        if (p.highestAt < p.lowestAt) {
            if (p.state != 1) {
                m_driver->ChannelCommand(channel, Code(DspCommand::Polarity), 1);
                p.state = 1;
            }
        } else if (p.state != -1) {
            m_driver->ChannelCommand(channel, Code(DspCommand::Polarity), 0);
            p.state = -1;
        }
        p.counter = 0;
    }
}

void CDspDevice::OnEvent(int g, int channelField, uint8_t value, uint8_t code) {
    CMutexLock lock(m_bank->Lock());
    Group& group = m_groups[static_cast<std::size_t>(g)];
    if (channelField >= kGroupEventField) {
        if (code != Code(DspEvent::Monitor)) {
            return;  // other group events do not count
        }
        if (channelField == kGroupEventField) {
            m_service.MegaPresent[3] = value;
        } else if (channelField == kGroupEventField + 1) {
            m_service.MegaPresent[4] = value;
        }
    }
    group.watchdog = 0;
    if (m_service.MegaPresent[g] == 2) {
        // The processor speaks again: channels its silence stopped come back.
        for (int ch = group.first; ch < group.first + group.channels; ++ch) {
            m_bank->ClearFaultLocked(ch);
        }
    }
    m_service.MegaPresent[g] = 1;
    if (channelField < kGroupEventField) {
        DecodeChannelEvent(g, group.first + channelField, value, code);
    }
}

void CDspDevice::DecodeChannelEvent(int g, int channel, uint8_t value, uint8_t code) {
    if (channel >= m_channelCount) {
        return;
    }
    switch (static_cast<DspEvent>(code)) {
        case DspEvent::Status:
            m_service.MegaPresent[5] |= static_cast<uint32_t>(value) << (8 * g);
            return;
        case DspEvent::Version:
            m_service.Version |= static_cast<uint32_t>(value) << (8 * g);
            return;
        case DspEvent::Digit:
        case DspEvent::Line: {
            // A channel whose line the frequency activator follows takes its
            // events from the audio, not from the processor.
            if (FrequencyActivatorEnabled(channel)) {
                return;
            }
            if (code == Code(DspEvent::Digit)) {
                if (value <= 15) {
                    m_bank->DigitEventLocked(channel, value);
                }
            } else if (value <= 4) {
                m_bank->LineEventLocked(channel, value);
            }
            return;
        }
        case DspEvent::Monitor:
            PushLineMonitorLocked(channel, value);
            return;
        default:
            ParameterReport(channel, code, value);
            return;
    }
}

void CDspDevice::ParameterReport(int channel, uint8_t code, uint8_t value) {
    const LineParamField* field = LineParamFieldOf(code);
    if (field == nullptr) {
        return;
    }
    LineParams& copy = m_lineParams[static_cast<std::size_t>(channel)];
    const uint8_t held = reinterpret_cast<const uint8_t*>(&copy)[field->offset];
    if (held == value) {
        return;
    }
    // The processor is set back to what the system holds.
    m_driver->ChannelCommand(channel, Code(field->write), held);
    Server().Post(field->mismatchMessage, m_deviceIndex.load(), channel, 0);
}

void CDspDevice::FeedWatchdog(int g) {
    Group& group = m_groups[static_cast<std::size_t>(g)];
    if (++group.watchdog <= kWatchdogBlocks) {
        return;
    }
    group.watchdog = 0;
    if (m_service.MegaPresent[g] == 0) {
        return;
    }
    m_service.MegaPresent[g] = 2;
    m_error = kDeviceProcessorGroup0Failed + g;
    // The error goes with the message: another failure of the device may
    // change the device's error before the server handles this one.
    Server().Post(kMsgFailure, 1, m_deviceIndex.load(), kDeviceProcessorGroup0Failed + g);
}

void CDspDevice::OnResync(int rejectedPositions) {
    Server().Post(kMsgDeviceBytes, m_deviceIndex.load(), rejectedPositions, 0);
}

void CDspDevice::OnSplitLimit() { m_driver->Resync(); }

void CDspDevice::OnSinkFailure() {
    // The record is lost; the reading thread goes on with the next one.
    try {
        Server().Post(kMsgException, CurrentExceptionCode(), kSourceDevice + m_deviceIndex.load(), 0);
    } catch (...) {
    }
}

}  // namespace zorv

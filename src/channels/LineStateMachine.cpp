// The line-state machine of line-activated channels: ring, call in, call
// out, free and lost events, dialled digits, the number windows and the
// signal-processor fault.
#include <algorithm>
#include <cstring>

#include "channels/ChannelBank.h"
#include "channels/ChannelRecord.h"
#include "core/Journal.h"
#include "core/ServerMessage.h"

namespace zorv {
namespace {

constexpr std::size_t kNumberMax = 40;

}  // namespace

void CChannelBank::NoteCallStart(Channel& c) { c.callStart = m_clock.Local(); }

void CChannelBank::LineEventLocked(int channel, int value) {
    if (channel < 0 || channel >= Count()) {
        return;
    }
    Channel& c = At(channel);
    if (c.param.Enable != 1 || c.param.Activate != kActivateLine || c.param.Mode != kModeMono) {
        return;
    }
    if (c.analyzerEnded) {
        if (value != kLineFree && value != kLineLost) {
            return;
        }
        m_hooks.ResetBusyAnalyzer(channel);
        c.analyzerEnded = false;
    }
    if (c.state.StateLine == CS_LOST && value != kLineLost) {
        c.state.StateLine = CS_FREE;
        m_server.Post(kMsgLineBack, channel, m_deviceIndex, 0);
    }
    // A forced direction (2 call in, 3 call out) replaces the line-taken value.
    if ((c.forcedDirection == kLineCallIn || c.forcedDirection == kLineCallOut) &&
        (value == kLineCallIn || value == kLineCallOut)) {
        value = static_cast<int>(c.forcedDirection);
    }
    switch (value) {
        case kLineRing:
            RingLocked(channel);
            break;
        case kLineCallIn:
        case kLineCallOut:
            CallTakenLocked(channel, value);
            break;
        case kLineFree:
            FreeLocked(channel);
            break;
        case kLineLost:
            LostLocked(channel);
            break;
        default:
            break;
    }
}

void CChannelBank::RingLocked(int channel) {
    Channel& c = At(channel);
    m_hooks.OnRing(channel);
    if (c.state.StateLine != CS_FREE) {
        return;
    }
    if ((m_hooks.AonFlags(channel) & kAonFlagFsk) != 0) {
        m_hooks.StartCallerNumberRequest(channel);
    }
    c.state.StateLine = CS_RING;
    // The call starts now in both cases, so that a later call-in takes its
    // ring time from this call and not from an earlier one.
    NoteCallStart(c);
    if (m_values.recordFromRing == 1) {
        c.handler = Handler::kLineRecording;
        c.used = 0;
        if (OpenRecordLocked(channel)) {
            tagDB_Record& meta = m_recorder.Metadata(channel);
            meta.rhour = meta.hour;
            meta.rmin = meta.min;
            meta.rsec = meta.sec;
        } else {
            c.state.State = 0;
            c.handler = Handler::kIdle;
        }
    }
}

void CChannelBank::CallTakenLocked(int channel, int value) {
    Channel& c = At(channel);
    if (c.state.StateLine == CS_SPLIT_HOLD) {
        return;
    }
    const uint32_t target = value == kLineCallIn ? CS_CALL_IN : CS_CALL_OUT;
    if (value == kLineCallIn) {
        m_hooks.OnCallIn(channel);
    } else {
        m_hooks.OnCallOut(channel);
    }
    if (c.state.StateLine != target) {
        tagDB_Record& meta = m_recorder.Metadata(channel);
        if (value == kLineCallIn) {
            if (c.state.StateLine != CS_RING) {
                NoteCallStart(c);
            }
            SetRingTime(meta, c.callStart);
            meta.inout = CS_CALL_IN;
            SetStartTime(meta, m_clock.Local());
        } else {
            meta.rhour = 0;
            meta.rmin = 0;
            meta.rsec = 0;
            meta.inout = CS_CALL_OUT;
        }
        c.state.StateLine = target;
        c.faultBySilence = false;
        // A call out after a call in (or a ring) keeps the open record.
        if (!m_recorder.IsRecordOpen(channel) || c.state.State == 0) {
            c.handler = Handler::kLineRecording;
            c.used = 0;
            if (!OpenRecordLocked(channel)) {
                c.state.State = 0;
                c.handler = Handler::kIdle;
            }
        }
        c.digits = 0;
        m_hooks.ResetDecoders(channel);
        c.dtmfWindow = c.dtmfEnable;
        c.numberWindow = true;
    }
    PollWindowsLocked(channel, value == kLineCallOut);
}

void CChannelBank::FreeLocked(int channel) {
    Channel& c = At(channel);
    m_hooks.OnFree(channel);
    if (c.state.StateLine != CS_FREE) {
        m_hooks.ResetBusyAnalyzer(channel);
    }
    if (c.state.StateLine == CS_RING) {
        const std::string remark = CatalogText(Msg{136});
        if (m_recorder.IsRecordOpen(channel) && c.state.State == 1) {
            tagDB_Record& meta = m_recorder.Metadata(channel);
            SetText(meta.Remark, remark);
            SetStartTime(meta, m_clock.Local());
            meta.inout = CS_CALL_IN;
        } else {
            tagDB_Record record{};
            const LocalTime& start = c.callStart;
            SetStartTime(record, start);
            SetRingTime(record, start);
            record.hour = 99;
            const LocalTime now = m_clock.Local();
            // Ringing rarely crosses midnight; the difference of the two
            // times of day, taken modulo a day, is the ringing time.
            long seconds = (now.hour * 3600L + now.minute * 60L + now.second) -
                           (start.hour * 3600L + start.minute * 60L + start.second);
            if (seconds < 0) {
                seconds += 24 * 3600L;
            }
            record.dhour = static_cast<uint32_t>(seconds / 3600);
            record.dmin = static_cast<uint32_t>(seconds / 60 % 60);
            record.dsek = static_cast<uint32_t>(seconds % 60);
            record.inout = CS_CALL_IN;
            record.NChanel = static_cast<uint32_t>(m_firstLine + channel);
            SetText(record.Remark, remark);
            m_recorder.AddCallWithoutFile(record);
        }
        c.state.StateLine = CS_FREE;
    }
    CloseWindowsLocked(channel);
    EndLineRecordLocked(channel);
    if (c.state.StateLine == CS_SPLIT_HOLD || c.state.StateLine == CS_CALL_IN ||
        c.state.StateLine == CS_CALL_OUT) {
        // Also a call whose record could not be opened ends with the line.
        c.state.StateLine = CS_FREE;
    }
}

void CChannelBank::LostLocked(int channel) {
    Channel& c = At(channel);
    if (c.state.StateLine == CS_LOST) {
        return;
    }
    m_hooks.ResetBusyAnalyzer(channel);
    CloseWindowsLocked(channel);
    EndLineRecordLocked(channel);
    c.state.StateLine = CS_LOST;
    c.faultBySilence = false;
    m_server.Post(kMsgLineLost, channel, m_deviceIndex, 0);
}

void CChannelBank::EndLineRecordLocked(int channel) {
    Channel& c = At(channel);
    if (c.state.State == 1) {
        StopRecordLocked(channel);
        m_hooks.OnLineRecordEnded(channel);
        std::fill(c.buffer.begin(), c.buffer.end(), 0);
        c.used = 0;
        c.handler = Handler::kIdle;
        c.state.StateLine = CS_FREE;
    }
    c.splitHold = false;
    c.digits = 0;
    m_hooks.ResetDecoders(channel);
}

void CChannelBank::TakeDtmfLocked(int channel) {
    std::string number;
    if (!m_hooks.DtmfNumber(channel, number)) {
        return;
    }
    number.resize(std::min(number.size(), kNumberMax));
    Channel& c = At(channel);
    SetText(m_recorder.Metadata(channel).TlfString_2, number);
    SetText(c.state.TlfString, number);
}

void CChannelBank::TakeCallerNumberLocked(int channel, bool resetAfter) {
    std::string number;
    uint32_t category = 0;
    if (!m_hooks.CallerNumber(channel, number, category)) {
        return;
    }
    PutCallerNumberLocked(channel, number, &category, false);
    if (resetAfter) {
        m_hooks.ResetCallerNumber(channel);
    }
}

void CChannelBank::PutCallerNumberLocked(int channel, std::string_view number,
                                         const uint32_t* category, bool clearShown) {
    const std::string text(number.substr(0, std::min(number.size(), kNumberMax)));
    Channel& c = At(channel);
    tagDB_Record& meta = m_recorder.Metadata(channel);
    SetText(meta.TlfString_1, text);
    if (category != nullptr) {
        meta.Category_1 = *category;
    }
    if (clearShown) {
        std::memset(c.state.TlfString, 0, sizeof c.state.TlfString);
    }
    SetText(c.state.TlfString, text);
}

void CChannelBank::SetDirectionLocked(int channel, uint32_t direction) {
    m_recorder.Metadata(channel).inout = direction;
}

bool CChannelBank::NumberWindowLocked(int channel) const {
    return At(channel).numberWindow;
}

bool CChannelBank::DtmfWindowLocked(int channel) const {
    return At(channel).dtmfWindow;
}

bool CChannelBank::RecordOpenLocked(int channel) const {
    return m_recorder.IsRecordOpen(channel);
}

void CChannelBank::PollWindowsLocked(int channel, bool callOut) {
    Channel& c = At(channel);
    const uint32_t rate = c.param.SampleRate == 0 ? 8000 : c.param.SampleRate;
    const uint32_t seconds = c.state.RecordTime / rate;
    if (c.dtmfWindow) {
        const bool dtmfForInRings =
            m_hooks.FrequencyActivatorEnabled(channel) && m_hooks.UseDtmfDecodeForInRings(channel);
        if ((callOut || dtmfForInRings) && c.digits == 0) {
            TakeDtmfLocked(channel);
        }
        if (seconds >= m_values.dtmfDetectSeconds) {
            c.dtmfWindow = false;
        }
    }
    if (c.numberWindow) {
        TakeCallerNumberLocked(channel, callOut);
        if (seconds >= m_values.numberDetectSeconds) {
            c.numberWindow = false;
        }
    }
}

void CChannelBank::CloseWindowsLocked(int channel) {
    Channel& c = At(channel);
    if (c.dtmfWindow) {
        if (c.state.StateLine == CS_CALL_OUT && c.digits == 0) {
            TakeDtmfLocked(channel);
        }
        c.dtmfWindow = false;
    }
    if (c.numberWindow) {
        if (c.state.StateLine == CS_CALL_IN) {
            TakeCallerNumberLocked(channel, false);
        }
        c.numberWindow = false;
    }
    if (m_hooks.FrequencyActivatorEnabled(channel) && m_hooks.UseDtmfDecodeForInRings(channel)) {
        tagDB_Record& meta = m_recorder.Metadata(channel);
        if (meta.TlfString_2[0] != '\0') {
            meta.inout = CS_CALL_OUT;
        }
    }
}

void CChannelBank::DigitEventLocked(int channel, int digit) {
    if (channel < 0 || channel >= Count()) {
        return;
    }
    Channel& c = At(channel);
    const bool dtmfForInRings =
        m_hooks.FrequencyActivatorEnabled(channel) && m_hooks.UseDtmfDecodeForInRings(channel);
    const bool lineOk = c.state.StateLine == CS_CALL_OUT ||
                        (c.state.StateLine == CS_CALL_IN && dtmfForInRings);
    if (c.param.Enable != 1 || c.param.Activate == kActivateLevel || c.state.State != 1 ||
        !m_recorder.IsRecordOpen(channel) || !lineOk || c.digits >= static_cast<int>(kNumberMax)) {
        return;
    }
    const char symbol = (digit >= 0 && digit <= 9) ? static_cast<char>('0' + digit) : '?';
    // Each field keeps its terminating zero, whatever it already holds.
    const std::size_t shown = strnlen(c.state.TlfString, sizeof c.state.TlfString);
    if (shown < kNumberMax) {
        c.state.TlfString[shown] = symbol;
        c.state.TlfString[shown + 1] = '\0';
    }
    tagDB_Record& meta = m_recorder.Metadata(channel);
    const std::size_t called = strnlen(meta.TlfString_2, sizeof meta.TlfString_2);
    if (called < kNumberMax) {
        meta.TlfString_2[called] = symbol;
        meta.TlfString_2[called + 1] = '\0';
    }
    ++c.digits;
}

void CChannelBank::MarkFaultLocked(int channel) {
    if (channel < 0 || channel >= Count()) {
        return;
    }
    Channel& c = At(channel);
    CloseWindowsLocked(channel);
    EndLineRecordLocked(channel);
    StopRecordLocked(channel);
    // The failed group delivers nothing to record: the channel, line or
    // level, takes no blocks until it is re-armed.
    c.handler = Handler::kIdle;
    c.state.StateLine = CS_DSP_FAULT;
    c.faultBySilence = true;
}

void CChannelBank::ShowNoDataLocked(int channel) {
    if (channel < 0 || channel >= Count()) {
        return;
    }
    Channel& c = At(channel);
    c.analyzerEnded = false;
    if (c.state.StateLine != CS_DSP_FAULT) {
        c.stateBeforeNoData = c.state.StateLine;
        c.state.StateLine = CS_DSP_FAULT;
        c.noData = true;
    }
}

void CChannelBank::NoDataEndedLocked(int channel) {
    if (channel < 0 || channel >= Count()) {
        return;
    }
    Channel& c = At(channel);
    if (c.noData && c.state.StateLine == CS_DSP_FAULT) {
        c.state.StateLine = c.stateBeforeNoData;
    }
    c.noData = false;
}

void CChannelBank::ClearFaultLocked(int channel) {
    if (channel < 0 || channel >= Count()) {
        return;
    }
    Channel& c = At(channel);
    if (c.state.StateLine != CS_DSP_FAULT || !c.faultBySilence) {
        return;
    }
    StereoPair pair;
    if (PairLocked(channel, pair)) {
        // Its half of the pair comes back; the other half was not touched.
        c.faultBySilence = false;
        if (At(pair.master).param.Enable != 1) {
            c.handler = Handler::kIdle;
            c.state.StateLine = CS_OFF;
            return;
        }
        c.handler = channel == pair.Low() ? Handler::kStereoLow : Handler::kStereoHigh;
        c.state.StateLine = channel == pair.master ? CS_STEREO_VOX : CS_STEREO_SLAVE;
        return;
    }
    ArmLocked(channel);
}

}  // namespace zorv

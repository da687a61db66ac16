// Recording activation: the per-block handlers (level, stereo, line
// recording), the buffering into records, the length rule with its split,
// stopping records and manual activation.
#include <algorithm>
#include <cstring>
#include <limits>

#include "channels/ChannelBank.h"
#include "channels/ChannelRecord.h"
#include "core/Journal.h"
#include "core/ServerMessage.h"

namespace zorv {
namespace {

// A record is split before its audio could outgrow the 32-bit sizes of a
// RIFF file (with room for the headers and the last buffer).
constexpr uint64_t kMaxRecordBytes = 0xFFFFFFFFull - 8 * 1024 * 1024;

uint16_t Smooth(uint16_t level, uint32_t blockLevel) {
    // Unsigned 32-bit arithmetic stored in 16 bits: the floor of the mean.
    const uint32_t old = level;
    return static_cast<uint16_t>(old + ((blockLevel - old) >> 1));
}

}  // namespace

void CChannelBank::DeliverBlockLocked(int channel, const int16_t* samples, std::size_t count,
                                      uint32_t level) {
    if (channel < 0 || channel >= Count()) {
        return;
    }
    Channel& c = At(channel);
    switch (c.handler) {
        case Handler::kIdle:
            return;
        case Handler::kLineRecording:
            c.state.Level = static_cast<uint16_t>(std::min<uint32_t>(level, 32768));
            LineRecordingLocked(channel, samples, count);
            return;
        case Handler::kLevel:
        case Handler::kStereoLow:
        case Handler::kStereoHigh:
            // The level handlers smooth the level and hand the block to the
            // listeners before their own work.
            c.state.Level = Smooth(c.state.Level, level);
            m_hooks.OnListenerAudio(channel, samples, count);
            if (c.handler == Handler::kLevel) {
                LevelMonoLocked(channel, samples, count);
            } else if (c.handler == Handler::kStereoLow) {
                StereoLowLocked(channel, samples, count);
            } else {
                StereoHighLocked(channel, samples, count);
            }
            return;
    }
}

// Steps 1 to 4 of level activation for the deciding channel. Returns true when
// a record started on this block (its ring has then been written).
bool CChannelBank::LevelWindowLocked(int decider, bool loud, bool quiet, uint32_t resumeState) {
    Channel& c = At(decider);
    if (c.manual || c.flags.empty()) {
        return false;
    }
    // The window slides by one block: the oldest flag leaves, this block's
    // enters; true when the count reaches `count` (the window is then cleared).
    auto slide = [&c](bool flagged, uint32_t count, uint32_t window) {
        c.flagged -= c.flags[c.flagPos];
        c.flags[c.flagPos] = flagged ? 1 : 0;
        c.flagged += flagged ? 1 : 0;
        ++c.flagPos;
        if (c.flagged >= count) {
            c.flagged = 0;
            c.flagPos = 0;
            std::fill(c.flags.begin(), c.flags.end(), 0);
            return true;
        }
        if (c.flagPos >= std::max<uint32_t>(window, 1)) {
            c.flagPos = 0;
        }
        return false;
    };
    if (c.state.State == 0) {
        return slide(loud, c.startCount, c.startWindow);
    }
    if (slide(quiet, c.stopCount, c.stopWindow)) {
        if (c.splitHold) {
            // The held record ends with its silence; nothing is written.
            c.splitHold = false;
            StereoPair pair;
            if (PairLocked(decider, pair)) {
                At(pair.master).state.State = 0;
                At(pair.slave).state.State = 0;
            }
            c.state.State = 0;
            c.state.RecordTime = 0;
            At(OwnerLocked(decider)).state.StateLine = resumeState;
            return false;
        }
        WriteBufferLocked(decider, At(OwnerLocked(decider)));
        FinishRecordLocked(decider);
    }
    return false;
}

void CChannelBank::ForceLevelStartLocked(int channel) {
    Channel& c = At(channel);
    if (c.state.State == 0 && !c.flags.empty()) {
        // Above the count whatever this block's flag and the one it replaces.
        c.flagged = c.startCount + 1;
    }
}

void CChannelBank::LevelMonoLocked(int channel, const int16_t* samples, std::size_t count) {
    Channel& c = At(channel);
    const bool loud = c.state.Level >= c.param.Treshold;
    if (LevelWindowLocked(channel, loud, !loud, CS_VOX)) {
        StartFromRingLocked(channel, channel, 2);
    }
    // Buffering.
    const std::size_t bytes = count * 2;
    if (bytes > c.buffer.size() - c.used) {
        if (c.state.State == 1 && !c.splitHold) {
            WriteBufferLocked(channel, c);
            ApplyLengthRuleLocked(channel);
        } else if (!c.splitHold) {
            c.state.RecordTime = 0;  // the pre-activation ring wraps
        }
        c.used = 0;
    }
    if (bytes <= c.buffer.size() - c.used) {
        std::memcpy(c.buffer.data() + c.used, samples, bytes);
        c.used += bytes;
        if (!c.splitHold) {
            c.state.RecordTime += static_cast<uint32_t>(count);
        }
    }
}

// A record starts from the pre-activation ring of owner: the part after the
// used position is older than the part before it.
void CChannelBank::StartFromRingLocked(int decider, int owner, uint32_t frameBytes) {
    Channel& d = At(decider);
    Channel& o = At(owner);
    const std::size_t used = frameBytes == 2 ? o.used : d.framePos * 4;
    OpenRecordLocked(decider);
    d.state.RecordTime += static_cast<uint32_t>((o.buffer.size() - used) / frameBytes);
    const int line = m_firstLine + owner;
    if (m_recorder.IsRecordOpen(owner)) {
        const std::size_t tail = o.buffer.size() - used;
        if (m_recorder.WriteRecord(owner, o.buffer.data() + used, tail) < tail) {
            m_server.Post(kMsgFailure, 4, line, 0);
        }
        if (m_recorder.WriteRecord(owner, o.buffer.data(), used) < used) {
            m_server.Post(kMsgFailure, 4, line, 0);
        }
    }
    o.used = 0;
    StereoPair pair;
    if (frameBytes == 4 && PairLocked(decider, pair)) {
        At(pair.master).framePos = 0;
        At(pair.slave).framePos = 0;
    }
}

void CChannelBank::StereoLowLocked(int channel, const int16_t* samples, std::size_t count) {
    Channel& c = At(channel);
    StereoPair pair;
    if (!PairLocked(channel, pair)) {
        return;
    }
    Channel& p = At(pair.Other(channel));
    const int master = pair.master;
    Channel& m = At(master);
    const bool loud = c.state.Level >= c.param.Treshold || p.state.Level >= p.param.Treshold;
    const bool quiet = c.state.Level < c.param.Treshold && p.state.Level < p.param.Treshold;
    if (LevelWindowLocked(channel, loud, quiet, CS_STEREO_VOX)) {
        StartFromRingLocked(channel, master, 4);
    }
    const std::size_t frames = m.buffer.size() / 4;
    if (count > frames - std::min(c.framePos, frames)) {
        if (c.state.State == 1 && !c.splitHold) {
            WriteBufferLocked(channel, m);
            ApplyLengthRuleLocked(channel);
        } else if (!c.splitHold) {
            c.state.RecordTime = 0;
        }
        c.framePos = 0;
        p.framePos = 0;
    }
    if (count <= frames - c.framePos) {
        const std::size_t offset = channel == master ? 0 : 2;
        uint8_t* base = m.buffer.data() + c.framePos * 4 + offset;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(base + i * 4, &samples[i], 2);
        }
        c.framePos += count;
        if (!c.splitHold) {
            c.state.RecordTime += static_cast<uint32_t>(count);
        }
    }
}

void CChannelBank::StereoHighLocked(int channel, const int16_t* samples, std::size_t count) {
    Channel& c = At(channel);
    StereoPair pair;
    if (!PairLocked(channel, pair)) {
        return;
    }
    const int master = pair.master;
    Channel& m = At(master);
    const std::size_t frames = m.buffer.size() / 4;
    if (count > frames - std::min(c.framePos, frames)) {
        c.framePos = 0;  // the lower channel writes the buffer out
    }
    if (count <= frames - c.framePos) {
        const std::size_t offset = channel == master ? 0 : 2;
        uint8_t* base = m.buffer.data() + c.framePos * 4 + offset;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(base + i * 4, &samples[i], 2);
        }
        c.framePos += count;
        c.state.RecordTime += static_cast<uint32_t>(count);
    }
}

void CChannelBank::LineRecordingLocked(int channel, const int16_t* samples, std::size_t count) {
    Channel& c = At(channel);
    const std::size_t bytes = count * 2;
    if (bytes > c.buffer.size() - c.used) {
        if (!c.splitHold && c.state.State == 1) {
            m_hooks.OnListenerAudio(channel, reinterpret_cast<const int16_t*>(c.buffer.data()),
                                    c.used / 2);
            WriteBufferLocked(channel, c);
            ApplyLengthRuleLocked(channel);
        }
        c.used = 0;
    }
    if (bytes <= c.buffer.size() - c.used) {
        std::memcpy(c.buffer.data() + c.used, samples, bytes);
        c.used += bytes;
        if (!c.splitHold) {
            c.state.RecordTime += static_cast<uint32_t>(count);
        }
    }
}

// Writes the buffered audio of the decider (mono: its own buffer; stereo: the
// pair's, up to the decider's position) and empties it.
void CChannelBank::WriteBufferLocked(int channel, Channel& owner) {
    Channel& c = At(channel);
    StereoPair pair;
    const bool stereo = PairLocked(channel, pair);
    const int ownerIndex = stereo ? pair.master : channel;
    std::size_t bytes = stereo ? std::min(c.framePos * 4, owner.buffer.size()) : owner.used;
    if (bytes > 0 && m_recorder.IsRecordOpen(ownerIndex)) {
        if (m_recorder.WriteRecord(ownerIndex, owner.buffer.data(), bytes) < bytes) {
            m_server.Post(kMsgFailure, 4, m_firstLine + ownerIndex, 0);
        }
    }
    if (stereo) {
        At(pair.master).framePos = 0;
        At(pair.slave).framePos = 0;
    } else {
        owner.used = 0;
    }
}

void CChannelBank::ApplyLengthRuleLocked(int decider) {
    Channel& c = At(decider);
    StereoPair pair;
    const bool stereo = PairLocked(decider, pair);
    const int owner = stereo ? pair.master : decider;
    const uint32_t rate = At(owner).param.SampleRate;
    // A maximum of 0 would split on every write: it means "no time limit".
    const uint64_t maxSeconds = m_values.maxRecordSeconds == 0 ? 28800000 : m_values.maxRecordSeconds;
    const uint64_t samples = c.state.RecordTime;
    const uint64_t frameBytes = stereo ? 4 : 2;
    if (samples < static_cast<uint64_t>(rate) * maxSeconds &&
        samples * frameBytes < kMaxRecordBytes) {
        return;
    }
    tagDB_Record& meta = m_recorder.Metadata(owner);
    SetText(meta.Remark, CatalogText(Msg{325}).substr(0, 255));
    const std::string caller = GetText(meta.TlfString_1);
    const std::string called = GetText(meta.TlfString_2);
    const uint32_t category1 = meta.Category_1;
    const uint32_t category2 = meta.Category_2;
    m_recorder.FinishRecord(owner);
    ApplyDeferredCompress(At(owner));
    if (m_values.continueAfterSplit == 0 && !c.manual) {
        // Held until the activity ends; nothing is written meanwhile.
        c.splitHold = true;
        At(owner).state.StateLine = CS_SPLIT_HOLD;  // shown by the mono channel or the master
        c.used = 0;
        return;
    }
    tagDB_Record& next = m_recorder.Metadata(owner);
    SetText(next.TlfString_1, caller);
    SetText(next.TlfString_2, called);
    next.Category_1 = category1;
    next.Category_2 = category2;
    SetText(next.Remark, "");
    c.state.RecordTime = 0;
    RecordStart start;
    start.compress = At(owner).param.Compress;
    start.stateLine = At(owner).state.StateLine;
    start.sampleRate = rate;
    start.audioChannels = stereo ? 2 : 1;
    m_recorder.OpenRecord(owner, start);
}

bool CChannelBank::OpenRecordLocked(int channel) {
    Channel& c = At(channel);
    StereoPair pair;
    const bool stereo = PairLocked(channel, pair);
    const int owner = stereo ? pair.master : channel;
    Channel& o = At(owner);
    RecordStart start;
    start.compress = o.param.Compress;
    start.stateLine = c.state.StateLine;
    start.sampleRate = o.param.SampleRate;
    start.audioChannels = stereo ? 2 : 1;
    const bool opened = m_recorder.OpenRecord(owner, start);
    // Both halves of a pair record: the lower one writes the pair's buffer
    // out only while its own State says so, whichever half opened.
    c.state.State = 1;
    if (stereo) {
        At(pair.master).state.State = 1;
        At(pair.slave).state.State = 1;
    }
    return opened;
}

void CChannelBank::ApplyDeferredCompress(Channel& c) {
    if (c.deferredCompress >= 0) {
        c.param.Compress = static_cast<uint32_t>(c.deferredCompress);
        c.deferredCompress = -1;
    }
}

void CChannelBank::FinishRecordLocked(int channel) {
    Channel& c = At(channel);
    StereoPair pair;
    const bool stereo = PairLocked(channel, pair);
    const int owner = stereo ? pair.master : channel;
    if (m_recorder.IsRecordOpen(owner)) {
        m_recorder.FinishRecord(owner);
    }
    ApplyDeferredCompress(At(owner));
    c.state.State = 0;
    c.state.RecordTime = 0;
    if (stereo) {
        for (int half : {pair.master, pair.slave}) {
            At(half).state.State = 0;
            At(half).state.RecordTime = 0;
        }
    }
}

void CChannelBank::StopRecordLocked(int channel) {
    Channel& c = At(channel);
    StereoPair pair;
    const bool stereo = PairLocked(channel, pair);
    if (c.state.State == 1 || (stereo && At(pair.Other(channel)).state.State == 1)) {
        const int owner = stereo ? pair.master : channel;
        const int decider = stereo ? pair.Low() : channel;
        if (m_recorder.IsRecordOpen(owner) && !At(decider).splitHold) {
            // A line record's last buffer reaches the listeners as every
            // buffer before it did.
            if (c.handler == Handler::kLineRecording && !stereo && c.used > 0) {
                m_hooks.OnListenerAudio(channel, reinterpret_cast<const int16_t*>(c.buffer.data()),
                                        c.used / 2);
            }
            WriteBufferLocked(decider, At(owner));
        }
        if (m_recorder.IsRecordOpen(owner)) {
            m_recorder.FinishRecord(owner);
        }
        ApplyDeferredCompress(At(owner));
        c.used = 0;
        if (stereo) {
            Channel& s = At(pair.slave);
            Channel& m = At(pair.master);
            s.framePos = 0;
            s.state.StateLine = CS_STEREO_SLAVE;
            s.state.Level = 0;
            s.state.State = 0;
            s.state.RecordTime = 0;
            s.splitHold = false;
            std::memset(s.state.TlfString, 0, sizeof s.state.TlfString);
            m.framePos = 0;
            m.used = 0;
            m.state.StateLine = CS_STEREO_VOX;
            m.state.State = 0;
            m.state.RecordTime = 0;
            m.splitHold = false;
        } else {
            c.state.StateLine = IsLevelActivation(c.param.Activate) ? CS_VOX : CS_FREE;
        }
    }
    // A line channel records only while a record is open: without one its
    // blocks must not count towards a record, or the length rule would open
    // one on an idle line.
    if (!stereo && c.handler == Handler::kLineRecording) {
        c.handler = Handler::kIdle;
    }
    c.splitHold = false;
    c.state.RecordTime = 0;
    c.state.State = 0;
    c.state.Level = 0;
    std::memset(c.state.TlfString, 0, sizeof c.state.TlfString);
    c.state.Category = 0;
}

int CChannelBank::StopRecord(int channel) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_lock);
    StopRecordLocked(channel);
    return 1;
}

void CChannelBank::StopAllRecords() {
    CMutexLock lock(m_lock);
    for (int i = 0; i < Count(); ++i) {
        StopRecordLocked(i);
    }
}

int CChannelBank::ManualActivate(int channel, bool on) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_lock);
    Channel& c = At(channel);
    const uint32_t line = c.state.StateLine;
    if (c.param.Enable != 1 || c.param.Activate == kActivateLine || line == CS_CALL_IN ||
        line == CS_CALL_OUT || c.param.Mode == kModeStereoSlave) {
        return 0;
    }
    // A stereo pair is decided by its lower channel, which must see the flag,
    // the window and the split hold of the pair.
    StereoPair pair;
    const bool stereo = PairLocked(channel, pair);
    Channel& decider = At(stereo ? pair.Low() : channel);
    if (line == CS_DSP_FAULT) {
        // A failed group has nothing to record: the channel stays out of
        // service; a release only drops the flag.
        if (on) {
            return 0;
        }
        c.manual = false;
        decider.manual = false;
        return 1;
    }
    c.manual = on;
    decider.manual = on;
    if (on) {
        c.state.StateLine = CS_MANUAL;
        if (c.state.State == 0 || decider.splitHold) {
            decider.splitHold = false;
            OpenRecordLocked(channel);
        }
        return 1;
    }
    for (Channel* window : {&c, &decider}) {
        window->flagged = 0;
        window->flagPos = 0;
        std::fill(window->flags.begin(), window->flags.end(), 0);
    }
    if (c.state.State == 1 || decider.state.State == 1) {
        StopRecordLocked(channel);
    }
    c.state.StateLine = stereo ? CS_STEREO_VOX : CS_VOX;
    return 1;
}

void CChannelBank::ReleaseManualActivations() {
    for (int i = 0; i < Count(); ++i) {
        bool manual = false;
        {
            CMutexLock lock(m_lock);
            manual = At(i).manual;
        }
        if (manual) {
            ManualActivate(i, false);
        }
    }
}

}  // namespace zorv

// Stereo pairs: finding a channel's pair, forming and splitting pairs.
//
// A pair is two channels whose records point at each other: the master
// (Mode 3, SlaveChannel = the slave) and the slave (Mode 2, SlaveChannel = the
// master). The pair's interleaved buffer and its record belong to the master;
// the channel with the lower index runs the level window for both. Nothing
// outside this file reads a partner index from a record.
#include "channels/ChannelBank.h"
#include "channels/ChannelRecord.h"

namespace zorv {

bool CChannelBank::PairLocked(int channel, StereoPair& pair) const {
    if (!InRange(channel, channel)) {
        return false;
    }
    const tagChanelParam& p = At(channel).param;
    if (p.Mode != kModeStereoMaster && p.Mode != kModeStereoSlave) {
        return false;
    }
    if (p.SlaveChannel >= static_cast<uint32_t>(Count()) ||
        p.SlaveChannel == static_cast<uint32_t>(channel)) {
        return false;
    }
    const int partner = static_cast<int>(p.SlaveChannel);
    const tagChanelParam& q = At(partner).param;
    const uint32_t partnerMode = p.Mode == kModeStereoMaster ? kModeStereoSlave : kModeStereoMaster;
    if (q.Mode != partnerMode || q.SlaveChannel != static_cast<uint32_t>(channel)) {
        return false;
    }
    pair.master = p.Mode == kModeStereoMaster ? channel : partner;
    pair.slave = p.Mode == kModeStereoMaster ? partner : channel;
    return true;
}

int CChannelBank::OwnerLocked(int channel) const {
    StereoPair pair;
    return PairLocked(channel, pair) ? pair.master : channel;
}

// Both records already say master and slave.
bool CChannelBank::FormPairLocked(int master, int slave) {
    StopRecordLocked(master);
    StopRecordLocked(slave);
    Channel& m = At(master);
    Channel& s = At(slave);
    const Handler low = Handler::kStereoLow;
    const Handler high = Handler::kStereoHigh;

    s.state.StateLine = CS_STEREO_SLAVE;
    s.buffer.clear();
    s.buffer.shrink_to_fit();
    s.used = 0;
    s.framePos = 0;
    s.handler = slave < master ? low : high;

    m.state.StateLine = CS_STEREO_VOX;
    if (!AllocateBufferLocked(master)) {
        return false;
    }
    m_recorder.PrepareFormat(master, 2, m.param.SampleRate);
    m.handler = master < slave ? low : high;
    // The lower channel of the pair decides; both windows are ready.
    SetupLevelWindowLocked(master);
    s.startCount = s.param.TOn * 7;
    s.stopCount = s.param.TOff * 125;
    SetupLevelWindowLocked(slave);
    return true;
}

// The slave of a master that is switched off takes no audio of its own.
void CChannelBank::HoldSlaveOffLocked(int slave) {
    Channel& s = At(slave);
    StopRecordLocked(slave);
    s.state.StateLine = CS_OFF;
    s.handler = Handler::kIdle;
    s.buffer.clear();
    s.buffer.shrink_to_fit();
    s.used = 0;
    s.framePos = 0;
}

bool CChannelBank::SetStereoLocked(int master, int slave) {
    if (!InRange(master, master) || !InRange(slave, slave) || master == slave) {
        return false;
    }
    StereoPair pair;
    const bool masterPaired = PairLocked(master, pair);
    const bool samePair = masterPaired && pair.master == master && pair.slave == slave;
    if (!samePair && (masterPaired || PairLocked(slave, pair))) {
        return false;  // one of them belongs to another pair
    }
    // Records end before the channels change their roles.
    StopRecordLocked(master);
    StopRecordLocked(slave);
    Channel& m = At(master);
    Channel& s = At(slave);
    m.param.Mode = kModeStereoMaster;
    m.param.SlaveChannel = static_cast<uint32_t>(slave);
    s.param.Mode = kModeStereoSlave;
    s.param.SlaveChannel = static_cast<uint32_t>(master);
    ArmLocked(master);
    return true;
}

bool CChannelBank::UndoStereoLocked(int master, int slave) {
    StereoPair pair;
    if (!PairLocked(master, pair) || pair.master != master || pair.slave != slave) {
        return false;
    }
    StopRecordLocked(master);
    for (int channel : {master, slave}) {
        Channel& c = At(channel);
        c.param.Mode = kModeMono;
        c.param.SlaveChannel = 0;
        c.used = 0;
        c.framePos = 0;
    }
    // Each half is re-armed in its own Activate, as a mono channel.
    ArmLocked(master);
    ArmLocked(slave);
    return true;
}

void CChannelBank::PersistStereo(int master, int slave, bool paired) {
    CChannelSettingsFile* settings = nullptr;
    uint32_t number = 0;
    {
        CMutexLock lock(m_lock);
        settings = m_settings;
        number = m_deviceNumber;
    }
    if (settings == nullptr) {
        return;
    }
    if (paired) {
        settings->WriteStereo(number, master, kModeStereoMaster, static_cast<uint32_t>(slave));
        settings->WriteStereo(number, slave, kModeStereoSlave, static_cast<uint32_t>(master));
    } else {
        settings->WriteStereo(number, master, kModeMono, 0);
        settings->WriteStereo(number, slave, kModeMono, 0);
    }
}

int CChannelBank::SetStereo(int master, int slave, bool persist) {
    bool formed = false;
    {
        CMutexLock lock(m_lock);
        formed = SetStereoLocked(master, slave);
    }
    if (!formed) {
        return 0;
    }
    if (persist) {
        PersistStereo(master, slave, true);
    }
    return 1;
}

int CChannelBank::UndoStereo(int master, int slave, bool persist) {
    if (!InRange(master, master) || !InRange(slave, slave)) {
        return 0;
    }
    bool split = false;
    {
        CMutexLock lock(m_lock);
        split = UndoStereoLocked(master, slave);
    }
    if (!split) {
        return 0;
    }
    if (persist) {
        PersistStereo(master, slave, false);
    }
    return 1;
}

}  // namespace zorv

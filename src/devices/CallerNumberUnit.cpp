#include "devices/CallerNumberUnit.h"

#include "channels/ChannelHooks.h"

namespace zorv {

CCallerNumberUnit::CCallerNumberUnit()
    : m_channels(std::make_unique<std::array<Channel, kMaxChannelsPerDevice>>()) {}

CCallerNumberUnit::Channel* CCallerNumberUnit::At(int channel) {
    if (channel < 0 || channel >= kMaxChannelsPerDevice) {
        return nullptr;
    }
    return &(*m_channels)[static_cast<std::size_t>(channel)];
}

const CCallerNumberUnit::Channel* CCallerNumberUnit::At(int channel) const {
    if (channel < 0 || channel >= kMaxChannelsPerDevice) {
        return nullptr;
    }
    return &(*m_channels)[static_cast<std::size_t>(channel)];
}

void CCallerNumberUnit::Configure(int channel, const ChannelAnalysisSettings& analysis,
                                  const DeviceSettings& device) {
    Channel* c = At(channel);
    if (c == nullptr) {
        return;
    }
    c->aonFlags = analysis.aonFlags;
    c->voxModeAon = analysis.voxModeAonEnabled != 0;
    c->aonActivate = analysis.aonActivateEnable != 0;
    c->frequencyActivator = analysis.frequencyActivator.enable != 0;
    c->useAonForOutRings = analysis.frequencyActivator.useAonDecodeForOutRings == 1;
    c->useDtmfForInRings = analysis.frequencyActivator.useDtmfDecodeForInRings == 1;
    c->dtmf.SetExtraSensitivity(analysis.dtmfExtraSensitivity == 1);
    c->aon.SetNumberLength(static_cast<int>(device.aonLen));
}

void CCallerNumberUnit::SetAonFlags(int channel, uint32_t flags) {
    if (Channel* c = At(channel)) {
        c->aonFlags = flags;
    }
}

void CCallerNumberUnit::CallerIdRate(int channel, uint32_t rate) {
    if (Channel* c = At(channel)) {
        // Both stay off at a rate they have no filters for.
        c->fsk.Init(rate);
        c->dtmfCallerId.Init(rate);
    }
}

void CCallerNumberUnit::LineRate(int channel, uint32_t rate) {
    if (Channel* c = At(channel)) {
        c->aon.Init(rate);
        c->dtmf.Init(rate);
    }
}

void CCallerNumberUnit::CallerId(int channel, int16_t* samples, std::size_t count) {
    Channel* c = At(channel);
    if (c == nullptr || m_bank == nullptr) {
        return;
    }
    const uint32_t line = m_bank->StateLocked(channel).StateLine;
    if (c->fsk.State() != 0) {
        const CFskCallerIdDecoder::Result result = c->fsk.Process(samples, count);
        if (result == CFskCallerIdDecoder::Result::NumberReady) {
            // A message counts while the line still rings.
            if (line == CS_RING) {
                m_bank->PutCallerNumberLocked(channel, c->fsk.Number(), nullptr, false);
            }
            c->fsk.Reset();
        } else if (result == CFskCallerIdDecoder::Result::Failed) {
            c->fsk.Reset();
        }
    }
    if ((c->aonFlags & kAonFlagDtmfCallerId) != 0 && (line == CS_FREE || line == CS_RING) &&
        c->dtmfCallerId.Process(samples, count)) {
        m_bank->PutCallerNumberLocked(channel, c->dtmfCallerId.NumberText(), nullptr, false);
    }
}

void CCallerNumberUnit::Level(int channel, int16_t* samples, std::size_t count) {
    Channel* c = At(channel);
    if (c == nullptr || m_bank == nullptr || m_bank->StateLocked(channel).StateLine != CS_VOX) {
        return;
    }
    const bool voxAon = c->voxModeAon && (c->aonFlags & kAonFlagAon) != 0;
    const bool activation = c->aonActivate && m_bank->ParamLocked(channel).Activate == 1;
    if (!voxAon && !activation) {
        return;
    }
    c->aon.Process(samples, count);
    if (c->aon.HasNumber() == 0) {
        return;
    }
    const auto category = static_cast<uint32_t>(c->aon.Category());
    bool clearShown = false;
    if (activation) {
        clearShown = !m_bank->RecordOpenLocked(channel);
        m_bank->ForceLevelStartLocked(channel);
    }
    m_bank->PutCallerNumberLocked(channel, c->aon.NumberText(), &category, clearShown);
    c->aon.Reset();
}

void CCallerNumberUnit::Line(int channel, int16_t* samples, std::size_t count) {
    Channel* c = At(channel);
    if (c == nullptr || m_bank == nullptr) {
        return;
    }
    const uint32_t line = m_bank->StateLocked(channel).StateLine;
    const bool aon = (c->aonFlags & kAonFlagAon) != 0 && m_bank->NumberWindowLocked(channel);
    if (aon && line == CS_CALL_IN) {
        // Taken by the line logic at the next call-in event and at free.
        c->aon.Process(samples, count);
    } else if (aon && line == CS_CALL_OUT && c->frequencyActivator && c->useAonForOutRings) {
        c->aon.Process(samples, count);
        if (c->aon.HasNumber() > 0) {
            const auto category = static_cast<uint32_t>(c->aon.Category());
            m_bank->PutCallerNumberLocked(channel, c->aon.NumberText(), &category, false);
            c->aon.Reset();
            // The exchange answered with a caller number: the call came in.
            m_bank->SetDirectionLocked(channel, CS_CALL_IN);
        }
    }
    if (m_bank->DtmfWindowLocked(channel) &&
        (line == CS_CALL_OUT ||
         (line == CS_CALL_IN && c->frequencyActivator && c->useDtmfForInRings))) {
        c->dtmf.Process(samples, count);
    }
}

void CCallerNumberUnit::ResetDecoders(int channel) {
    if (Channel* c = At(channel)) {
        c->aon.Reset();
        c->dtmf.Reset();
    }
}

bool CCallerNumberUnit::DtmfNumber(int channel, std::string& number) {
    Channel* c = At(channel);
    if (c == nullptr || c->dtmf.DigitCount() == 0) {
        return false;
    }
    number = c->dtmf.Digits();
    return true;
}

bool CCallerNumberUnit::CallerNumber(int channel, std::string& number, uint32_t& category) {
    Channel* c = At(channel);
    if (c == nullptr || c->aon.HasNumber() == 0) {
        return false;
    }
    number = c->aon.NumberText();
    category = static_cast<uint32_t>(c->aon.Category());
    return true;
}

void CCallerNumberUnit::ResetCallerNumber(int channel) {
    if (Channel* c = At(channel)) {
        c->aon.Reset();
    }
}

void CCallerNumberUnit::StartCallerId(int channel) {
    if (Channel* c = At(channel)) {
        c->fsk.Start();
    }
}

uint32_t CCallerNumberUnit::AonFlags(int channel) const {
    const Channel* c = At(channel);
    return c != nullptr ? c->aonFlags : 0;
}

bool CCallerNumberUnit::FrequencyActivatorEnabled(int channel) const {
    const Channel* c = At(channel);
    return c != nullptr && c->frequencyActivator;
}

bool CCallerNumberUnit::UseDtmfDecodeForInRings(int channel) const {
    const Channel* c = At(channel);
    return c != nullptr && c->useDtmfForInRings;
}

}  // namespace zorv

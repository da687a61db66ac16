#include "devices/VeskoBoardDriver.h"

#include <cmath>
#include <cstring>

#include "platform/AutoResetEvent.h"

namespace zorv {

namespace {

constexpr uint32_t kSwitchEnableBit = 0;
constexpr uint32_t kSwitchOutput = 1;

uint32_t EventHandle(const CAutoResetEvent* event) {
    return event != nullptr ? static_cast<uint32_t>(event->Fd()) : 0;
}

}  // namespace

std::array<int16_t, kRequestSignalSamples> RequestSignalSamples() {
    std::array<int16_t, kRequestSignalSamples> samples{};
    for (int j = 0; j < kRequestSignalSamples; ++j) {
        const double s = 32767.0 * std::sin(j * 0.03125 * kRequestSignalPeriod);
        samples[static_cast<std::size_t>(j)] = static_cast<int16_t>(std::trunc(s));
    }
    return samples;
}

CVeskoBoardDriver::CVeskoBoardDriver(IBoardIoOpener& opener, IClock& clock)
    : CBoardDriver(opener, kDeviceName, clock) {}

bool CVeskoBoardDriver::StartTransfer(uint32_t, CAutoResetEvent*) {
    return true;
}

bool CVeskoBoardDriver::SetEnableBit(int bit, bool on) {
    if (bit < 0 || bit >= 2 * kMaxGroups) {
        return false;
    }
    const uint32_t values[] = {static_cast<uint32_t>(bit), kSwitchEnableBit, on ? 1u : 0u};
    return CallControl(kIoctlSetSwitch, values);
}

int CVeskoBoardDriver::StartDevice(uint32_t transferSize, CAutoResetEvent* dataEvent,
                                   uint32_t transferSize2, CAutoResetEvent* secondEvent) {
    constexpr int kNotStarted = 2;
    if (!IsOpen()) {
        return kNotStarted;
    }
    SetDataEvent(dataEvent);
    const uint32_t values[] = {transferSize, transferSize2, EventHandle(dataEvent),
                               EventHandle(secondEvent)};
    if (!CallControl(kIoctlStartTransfer, values)) {
        SetDataEvent(nullptr);
        return kNotStarted;
    }
    UploadRequestSignal();
    return 0;
}

bool CVeskoBoardDriver::SetOutputSwitch(uint32_t a, uint32_t b) {
    const uint32_t values[] = {a, kSwitchOutput, b & 0xFF};
    return CallControl(kIoctlSetSwitch, values);
}

bool CVeskoBoardDriver::ReadHardwareConfig(tagHARDWARE_CONFIG& config) {
    uint8_t out[sizeof(tagHARDWARE_CONFIG)] = {};
    std::size_t outLength = 0;
    if (!CallControl(kIoctlReadHardwareConfig, {}, out, outLength) || outLength != sizeof out) {
        return false;
    }
    std::memcpy(&config, out, sizeof config);
    return true;
}

uint16_t CVeskoBoardDriver::ConverterWord(uint16_t word) const {
    return word == 0x82E1 ? 0x8261 : word;
}

void CVeskoBoardDriver::TranslateCommand(int& command, int& value) const {
    if (command == Code(DspCommand::Initialise) && (value == 0 || value == 1)) {
        command = Code(DspCommand::Key);
        value = Code(value == 0 ? DspKeyValue::InitialiseOff : DspKeyValue::InitialiseOn);
    }
}

void CVeskoBoardDriver::UploadRequestSignal() {
    const auto samples = RequestSignalSamples();
    std::lock_guard lock(Lock());
    if (Io() == nullptr) {
        return;
    }
    for (int g = 0; g < kMaxGroups; ++g) {
        if (GroupChannelCount(g) == 0) {
            continue;
        }
        WriteCommandHeld(static_cast<uint32_t>(g), kCommandSelectGroup);
        for (int j = 0; j < kRequestSignalSamples; ++j) {
            const auto sample = static_cast<uint16_t>(samples[static_cast<std::size_t>(j)]);
            WriteCommandHeld((static_cast<uint32_t>(j) << 16) | sample, kCommandRequestSample);
        }
    }
}

}  // namespace zorv

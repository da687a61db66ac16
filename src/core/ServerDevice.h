// The server core's view of a capture device.
//
// The device table of the server holds devices through this interface; the
// device classes (boards, USB recorders, network transcoders) implement it.
// Results follow the device operations: nonzero for success, 6 where a device
// class does not support an operation. Called from the server's message thread
// and, for channel operations, from client threads; implementations lock for
// themselves.
#pragma once

#include <cstdint>
#include <string>

namespace zorv {

class CAudioObserver;

// Device error codes (DeviceLastError).
enum DeviceError : int {
    kDeviceOk = 0,
    kDeviceNotFound = 1,
    kDeviceConfigUnreadable = 2,
    kDeviceNoMemory = 3,
    kDeviceBadChannelOrRate = 4,
    kDeviceStartFailed = 5,
    kDeviceReadFailed = 6,
    kDeviceConverterFailed = 20,
    kDeviceProcessorGroup0Failed = 21,  // 21..23: group 0..2
};

inline constexpr int kNotSupported = 6;
inline constexpr int kMaxDevices = 100;

class IServerDevice {
public:
    virtual ~IServerDevice() = default;

    virtual void SetDeviceIndex(int index) = 0;
    // The file-name suffix and the day-directory suffix of record files.
    virtual void SetFileSuffixes(const std::string& fileSuffix, const std::string& dirSuffix) = 0;
    // Creates the driver and the channel records; false with LastError set.
    virtual bool Open() = 0;
    virtual void Close() = 0;
    // Programs the hardware and starts the reading thread; false with error 5.
    virtual bool Start() = 0;
    virtual void Stop() = 0;

    virtual int LastError() const = 0;
    virtual uint32_t BoardId() const = 0;
    virtual int ChannelCount() const = 0;
    // The serial number reported by the driver (0 when it has none).
    virtual uint32_t GetDeviceNumber() const = 0;

    // Shortest kept and longest record, in seconds.
    virtual void SetRecordLengths(uint32_t minSeconds, uint32_t maxSeconds) = 0;
    virtual void SetRecordRoot(const std::string& path) = 0;
    virtual void SetServerName(const std::string& name) = 0;
    // Compress of channels first..last; with persist the "Compression" key
    // is written too (a temporary change, such as compression switched off
    // while the compressor is down, passes false).
    virtual int SetCompress(int first, int last, int value, bool persist) = 0;

    virtual int RestartHardware() = 0;
    // The signal processor of a channel group failed (device errors 21..23):
    // its channels end their records and show the fault.
    virtual void MarkGroupFailed(int /*group*/) {}
    virtual int OnDeviceNotification(int value) = 0;
    // Network transcoders only: codec mode for a sample rate.
    virtual int SetCodecMode(int sampleRate, int compression, int speexMode, int flag) = 0;
    // Live listening (core/AudioObserver.h): a device without it refuses.
    virtual bool AttachRecordObserver(int /*channel*/, CAudioObserver* /*observer*/) {
        return false;
    }
    virtual void DetachRecordObserver(int /*channel*/, CAudioObserver* /*observer*/) {}
    virtual bool AttachLineObserver(int /*channel*/, CAudioObserver* /*observer*/) {
        return false;
    }
    virtual void DetachLineObserver(int /*channel*/, CAudioObserver* /*observer*/) {}
};

}  // namespace zorv

// Exception source numbers of message 3: every device 0..99 and every fixed
// source reaches its own group, although 20 + device and 100 + device run
// into the fixed numbers.
#include "core/ExceptionSource.h"

#include <gtest/gtest.h>

#include "core/ServerDevice.h"

namespace zorv::test {
namespace {

using G = ExceptionGroup;

TEST(ExceptionSourceTest, EachSourceReachesItsGroup) {
    struct Case {
        const char* name;
        int32_t b;
        int32_t c;
        ExceptionOrigin expected;
    };
    const Case cases[] = {
        // Fixed sources, posted without a device tag.
        {"database", 40, 0, {G::kDatabase, 40, 0}},
        {"database range", 59, 0, {G::kDatabase, 59, 0}},
        {"timer", 60, 0, {G::kTimer, 60, 0}},
        {"archiver", 80, 0, {G::kArchiver, 80, 0}},
        {"timer range above the archiver", 81, 0, {G::kTimer, 81, 0}},
        {"timer range end", 99, 0, {G::kTimer, 99, 0}},
        {"compressor", 120, 0, {G::kCompressor, 120, 0}},
        {"compressor range", 139, 0, {G::kCompressor, 139, 0}},
        {"fax decoder", 140, 0, {G::kFaxDecoder, 140, 0}},
        {"fax decoder and above", 1000, 0, {G::kFaxDecoder, 1000, 0}},
        // Message codes being handled.
        {"message 0", 0, 0, {G::kMessage, 0, 0}},
        {"message 19", 19, 0, {G::kMessage, 19, 19}},
        {"message of a negative code", -1, 0, {G::kMessage, -1, -1}},
        {"message 40 counts as the database", 40, 0, {G::kDatabase, 40, 0}},
        // Devices below 20 without a tag read from b alone.
        {"untagged device 0", 20, 0, {G::kDevice, 20, 0}},
        {"untagged device 19", 39, 0, {G::kDevice, 39, 19}},
        {"untagged D-channel 19", 119, 0, {G::kDChannel, 119, 19}},
        // Tagged devices whose numbers meet the fixed sources.
        {"device 20 is not the database", 40, 21, {G::kDevice, 40, 20}},
        {"device 40 is not the timer", 60, 41, {G::kDevice, 60, 40}},
        {"device 60 is not the archiver", 80, 61, {G::kDevice, 80, 60}},
        {"device 80 is not a D-channel", 100, 81, {G::kDevice, 100, 80}},
        {"device 99", 119, 100, {G::kDevice, 119, 99}},
        {"D-channel 0 is not device 80", 100, 1, {G::kDChannel, 100, 0}},
        {"D-channel 20 is not the compressor", 120, 21, {G::kDChannel, 120, 20}},
        {"D-channel 40 is not the fax decoder", 140, 41, {G::kDChannel, 140, 40}},
        // A tag that does not name the device b stands for is ignored.
        {"tag of another device", 40, 5, {G::kDatabase, 40, 0}},
        {"tag beyond the table", 40, 101, {G::kDatabase, 40, 0}},
        {"negative tag", 40, -1, {G::kDatabase, 40, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyExceptionSource(c.b, c.c), c.expected) << c.name;
    }
}

TEST(ExceptionSourceTest, EveryDeviceIsItsOwn) {
    for (int32_t device = 0; device < kMaxDevices; ++device) {
        const ExceptionSourceFields reading = DeviceExceptionSource(device);
        EXPECT_EQ(ClassifyExceptionSource(reading.b, reading.c),
                  (ExceptionOrigin{G::kDevice, kSourceDevice + device, device}))
            << device;
        const ExceptionSourceFields dChannel = DChannelExceptionSource(device);
        EXPECT_EQ(ClassifyExceptionSource(dChannel.b, dChannel.c),
                  (ExceptionOrigin{G::kDChannel, kSourceDChannel + device, device}))
            << device;
    }
}

}  // namespace
}  // namespace zorv::test

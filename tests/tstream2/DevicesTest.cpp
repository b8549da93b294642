#include "platform/devices/Devices.h"

#include "tstream2/SimulatedDevices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tavrenly {
namespace {

std::string NameField(const char (&field)[32])
{
    return std::string(field, sizeof field);
}

class DevicesTest : public testing::Test
{
protected:
    ~DevicesTest() override { SetDeviceProvider(nullptr); }
};

TEST_F(DevicesTest, OnlyTheMapperAnswersWithoutAProviderAndSimulatedDevicesWithNamesCutAndIds)
{
    SetDeviceProvider(nullptr);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    WAVEOUTCAPS out;
    std::memset(&out, 0x7F, sizeof out);
    EXPECT_EQ(waveOutGetDevCapsA(0, &out, sizeof out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(NameField(out.szPname), std::string(32, '\0'));
    EXPECT_EQ(out.wMid, 0);
    ASSERT_EQ(waveOutGetDevCapsA(kWaveMapper, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_STREQ(out.szPname, kOutputMapperName);
    WAVEINCAPS in;
    ASSERT_EQ(waveInGetDevCapsA(kWaveMapper, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, kInputMapperName);
    EXPECT_EQ(waveInGetDevCapsA(kWaveMapper, nullptr, sizeof in), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInGetDevCapsA(kWaveMapper, &in, 10), MMSYSERR_INVALPARAM);

    const auto devices = InstallSimulatedDevices();
    const DeviceInfo first{.name = "A very long output device name that goes on and on",
                           .manufacturerId = 39,
                           .productId = 7,
                           .backend = "simulated"};
    const DeviceInfo second{
        .name = "Short", .manufacturerId = 1, .channels = 1, .backend = "simulated"};
    devices->SetOutputDevices({first, second}, 1);

    EXPECT_EQ(waveOutGetNumDevs(), 2u);
    WAVEOUTCAPS& caps = out; // each name overwrites the one before, padded with NULs
    ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(NameField(caps.szPname), first.name.substr(0, 31) + '\0');
    EXPECT_EQ(caps.wMid, 39);
    EXPECT_EQ(caps.wPid, 7);
    ASSERT_EQ(waveOutGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(NameField(caps.szPname), "Short" + std::string(27, '\0'));
    EXPECT_EQ(caps.wChannels, 1);
    // The mapper: the default device's ids under the mapper's name.
    ASSERT_EQ(waveOutGetDevCapsA(kWaveMapper, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, kOutputMapperName);
    EXPECT_EQ(caps.wMid, 1);
    EXPECT_EQ(waveOutGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutGetDevCapsA(-2, &caps, sizeof caps), MMSYSERR_BADDEVICEID);

    EXPECT_EQ(waveInGetNumDevs(), 1u);
    ASSERT_EQ(waveInGetDevCapsA(0, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, "Simulated Input");
}

} // namespace
} // namespace tavrenly

// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Output and input device queries. The device lists come from whichever sound backend the
// stream engine component uses: it installs a DeviceProvider at start-up (the simulated engine
// installs one whose devices tests can set). Without a provider there are no devices, and only
// the default ("mapper") device answers. The mapper answers with the ids and channels of the
// provider's default device under its own name, kOutputMapperName or kInputMapperName.
//
// Thread-safe: the provider is swapped and read under a lock, and each query works on the
// provider it took, so a query racing SetDeviceProvider sees the old or the new one whole.
//
// Numbering as the controls use it: platform device ids run 0..count-1; the id kWaveMapper (-1)
// is the default device. A control's device number n means platform device n - 1, and 0 means
// the default device.

#include "../base/MmResult.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly {

#pragma pack(push, 1)
/// Output device capabilities (52 bytes).
struct WAVEOUTCAPS
{
    uint16_t wMid; ///< manufacturer id
    uint16_t wPid; ///< product id
    uint32_t vDriverVersion;
    char szPname[32]; ///< name, NUL-terminated when shorter than 32 characters
    uint32_t dwFormats;
    uint16_t wChannels;
    uint16_t wReserved1;
    uint32_t dwSupport;
};
/// Input device capabilities (48 bytes).
struct WAVEINCAPS
{
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char szPname[32];
    uint32_t dwFormats;
    uint16_t wChannels;
    uint16_t wReserved1;
};
#pragma pack(pop)
static_assert(sizeof(WAVEOUTCAPS) == 52, "the output capabilities record is 52 bytes");
static_assert(sizeof(WAVEINCAPS) == 48, "the input capabilities record is 48 bytes");

inline constexpr int32_t kWaveMapper = -1;
inline constexpr const char* kOutputMapperName = "Default output device";
inline constexpr const char* kInputMapperName = "Default input device";

// Result codes of the device layer: MMSYSERR_NOERROR, MMSYSERR_BADDEVICEID and
// MMSYSERR_INVALPARAM (platform/base/MmResult.h).

/// One device as a backend describes it.
struct DeviceInfo
{
    std::string name; ///< as the backend names it; cut to 31 characters + NUL
    uint16_t manufacturerId = 0;
    uint16_t productId = 0;
    uint16_t channels = 2;
    std::string backend; ///< "ALSA", "PulseAudio", "JACK", "null", "simulated"
    /// The sound system's own name of the device (a PulseAudio sink or source name); empty
    /// when it has none apart from `name`.
    std::string systemName{};
    /// The sample rates the backend says the device takes, in Hz; empty when it does not say.
    std::vector<uint32_t> rates{};
};

class DeviceProvider
{
public:
    virtual ~DeviceProvider() = default;
    virtual std::vector<DeviceInfo> OutputDevices() = 0;
    virtual std::vector<DeviceInfo> InputDevices() = 0;
    /// The device behind the default ("mapper") entry.
    virtual DeviceInfo DefaultOutput() = 0;
    virtual DeviceInfo DefaultInput() = 0;
};

/// Installs the process-wide provider (replacing any earlier one); null removes it.
void SetDeviceProvider(std::shared_ptr<DeviceProvider> provider);
std::shared_ptr<DeviceProvider> GetDeviceProvider();

uint32_t waveOutGetNumDevs();
uint32_t waveInGetNumDevs();
/// Fills `caps` for platform device `deviceId` (kWaveMapper = the default device): the name is
/// cut to 31 characters and a NUL, the rest of the 32-byte field is zero. Returns
/// MMSYSERR_NOERROR; MMSYSERR_BADDEVICEID with `caps` zeroed for an unknown id;
/// MMSYSERR_INVALPARAM when `caps` is null or `size` is smaller than the record.
uint32_t waveOutGetDevCapsA(int32_t deviceId, WAVEOUTCAPS* caps, uint32_t size);
uint32_t waveInGetDevCapsA(int32_t deviceId, WAVEINCAPS* caps, uint32_t size);

/// The text of any result code of the multimedia, RIFF and codec layers, copied into `text`
/// (at most size - 1 characters and a NUL). A code with no known text leaves text[0] = NUL.
/// Returns MMSYSERR_NOERROR, or MMSYSERR_INVALPARAM when `text` is null or size is 0.
uint32_t waveInGetErrorTextA(uint32_t code, char* text, uint32_t size);

} // namespace tavrenly

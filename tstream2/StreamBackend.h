#pragma once

// What every device backend is opened with and answers, play or record: the stream's format
// and the device chosen by a control's device number, and whether the stream started.

#include <cstdint>

namespace tavrenly {

struct StreamFormat
{
    int32_t sampleRate = 44100;
    int channels = 2;
    /// 0 = the backend's default device, n = its device n - 1 (outputs for playback, inputs
    /// for recording).
    int deviceNumber = 0;
};

enum class StartResult
{
    Started,
    NoSuchDevice,  ///< the device number names no device of that direction
    NoSoundSystem, ///< no sound system offers a device of that direction
    Failed,        ///< the device would not open or start
};

} // namespace tavrenly

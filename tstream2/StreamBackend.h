// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What every device backend is opened with and answers, play or record: the stream's format
// and the device chosen by a control's device number, and whether the stream started.

#include <chrono>
#include <cstdint>
#include <thread>

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

/// The clock of the null backends: after each period the thread sleeps until the frames
/// handled so far are due, counted from the start, so sleeping late now and then never makes
/// the stream drift.
class MonotonicPacer
{
public:
    explicit MonotonicPacer(int32_t rate) : m_rate(rate > 0 ? rate : 1) {}

    /// Counts `frames` more and sleeps until they are due.
    void WaitAfter(uint32_t frames)
    {
        m_frames += frames;
        std::this_thread::sleep_until(m_origin +
                                      std::chrono::microseconds(m_frames * 1'000'000 / m_rate));
    }

private:
    const int64_t m_rate;
    const std::chrono::steady_clock::time_point m_origin = std::chrono::steady_clock::now();
    int64_t m_frames = 0;
};

} // namespace tavrenly

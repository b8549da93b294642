// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The recorder's events, as the host receives them. Every event is raised on the UI thread,
// synchronously, from inside whatever the recorder was doing; a handler may call any member of
// the recorder, including CloseRecording and RecordAudioEx. By-reference arguments may be
// changed by the handler; the recorder does not read them back.

#include <cstdint>

namespace tavrenly {

/// Event ids of the recorder's event interface.
namespace recorder_event_ids {
inline constexpr int32_t RecordingEndReached = 1;
inline constexpr int32_t Recording = 2;
inline constexpr int32_t Paused = 3;
inline constexpr int32_t RecordOpen = 4;
inline constexpr int32_t Closed = 5;
inline constexpr int32_t AudioPositionChanged = 6;
inline constexpr int32_t AudioLevelChanged = 7;
inline constexpr int32_t PlayerError = 8;
inline constexpr int32_t BufferRecieved = 9;
} // namespace recorder_event_ids

/// Receives a recorder's events. Every member defaults to doing nothing.
class TavrenRecorderEvents
{
public:
    virtual ~TavrenRecorderEvents() = default;

    virtual void RecordingEndReached() {}
    virtual void Recording() {}
    virtual void Paused() {}
    virtual void RecordOpen() {}
    virtual void Closed() {}
    virtual void AudioPositionChanged() {}
    virtual void AudioLevelChanged(int16_t /*MaxLeftLevel*/, int16_t /*MaxRightLevel*/) {}
    virtual void PlayerError(int32_t& /*ErrorCode*/) {}
    /// Every engine buffer as delivered, before trimming or conversion; `ptrBuffer` is valid
    /// only during the call. The name is spelled as the interface has always spelled it.
    virtual void BufferRecieved(const void* /*ptrBuffer*/, int32_t /*BufferSize*/) {}
};

} // namespace tavrenly

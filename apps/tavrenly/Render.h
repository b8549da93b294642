// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Where `play --render` writes what was played: a WAVE file of 16-bit PCM in the recording
// layout, written one played buffer at a time so that memory does not grow with the item.
//
// A regular file (or a new name) is written through the WAVE writer and its sizes completed at
// the end. Standard output ("-"), a FIFO or a character device (/dev/null) get the same layout
// as a stream: the RIFF and "data" sizes read 0xFFFFFFFF ("to the end of the stream"), and are
// completed only when the output turns out to be a seekable regular file. Anything else is
// refused by Open, before playing.

#include <cstdint>
#include <memory>
#include <string>

namespace tavrenly::app {

class RenderOutput
{
public:
    virtual ~RenderOutput() = default;
    /// Opens `path` ("-": standard output). Null when it cannot be written; nothing is played.
    static std::unique_ptr<RenderOutput> Open(const std::string& path, uint32_t sampleRate,
                                              uint16_t channels);
    /// Appends played bytes. After one refused write every later call does nothing.
    virtual void Append(const uint8_t* bytes, int64_t count) = 0;
    /// Completes the sizes where the output allows it and closes; false when any write failed.
    virtual bool Finish() = 0;
};

} // namespace tavrenly::app

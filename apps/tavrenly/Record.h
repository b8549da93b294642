// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// `tavrenly record OUT.wav`: a recording from the chosen engine into a WAVE file, with the
// recorder's settings and RecordAudioEx's arguments as options.

#include "apps/tavrenly/OptionCheck.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tavrenly::app {

struct RecordOptions
{
    std::string file;
    std::string engine = "device";
    /// Capture format; for a file signal the file's own when it is one the recorder takes.
    std::optional<int32_t> rate;
    std::optional<int32_t> channels;
    /// The file's format; the capture format when not given.
    std::optional<int32_t> fileRate;
    std::optional<int32_t> fileChannels;
    std::string format = "pcm";
    int16_t trigger = 0;
    float length = 0;
    bool direct = false;
    bool paused = false;
    bool delayCreate = false;
    std::optional<int16_t> device;
    /// --device as given: a number, pulse:NAME or a part of a name; RunRecord resolves it.
    std::string deviceText;
    std::optional<int32_t> bufferMs;
    std::optional<int32_t> buffers;
    std::optional<int16_t> cacheSeconds;
    std::optional<float> volume;
    std::string debugFile;
    std::optional<int32_t> debugLevel;
    std::string signal = "sine:440";
    /// Cart text fields as NAME=VALUE, written into the file's cart record.
    std::vector<std::string> cart;
    /// "text" or "json" when every event is printed even when not on a terminal.
    std::string eventsText;
    bool quiet = false;
    /// --rf64: "never" (a RIFF file, which ends at 2 GiB), "always" or "auto".
    std::string rf64 = "never";
    /// The largest RIFF file, set lower only by tests (the hidden --plain-limit); 0 = 2 GiB.
    int64_t plainFileBytes = 0;
};

/// "pcm", "alaw", "mulaw", "ima-adpcm", "ms-adpcm", "gsm", "mp2", "mp3" (any case), or a
/// format tag as a number (decimal or 0x hex, 1..65535); nullopt otherwise.
std::optional<int16_t> ParseFormatTag(const std::string& text);

/// Every value of `options` against what the recorder accepts, before anything is opened.
OptionCheck CheckRecordOptions(const RecordOptions& options);

/// Adds the record command and its options to `app`; the parsed values land in `options`,
/// which must outlive the parse.
CLI::App* AddRecordCommand(CLI::App& app, RecordOptions& options);

/// Records until the length is reached, the engine stops after a failure, or SIGINT/SIGTERM;
/// the file is then closed and kept. Returns 0 when a file was saved, 1 when none was (the
/// control's messages are on standard error), 2 for options the command cannot use.
int RunRecord(const RecordOptions& options);

} // namespace tavrenly::app

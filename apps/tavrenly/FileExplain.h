// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What the program adds to the player's own messages about a file, where those would mislead a
// person: the player says a folder or an unreadable file "did not exist", names a FLAC or MP3
// file only by a RIFF code, and names a channel count it does not take by a reference code.

#include <cstdint>
#include <optional>
#include <string>

namespace tavrenly::app {

/// Why `path` is no file to read at all ("is a folder", "is empty", "is not a regular file",
/// "does not exist", or the system's reason such as "Permission denied"); nullopt for a
/// readable regular file with bytes in it. Reads nothing: a FIFO or a device is never opened.
std::optional<std::string> WhyNotAFile(const std::string& path);

/// One line saying why `path` cannot be played, when its bytes or the file system tell more
/// than the player's message; nullopt when there is nothing to add.
std::optional<std::string> ExplainUnplayableFile(const std::string& path);

struct DataChunkSizes
{
    uint64_t declared = 0; ///< as the chunk's header says
    uint64_t present = 0;  ///< of those, the bytes the file holds
};

/// The `data` chunk's sizes, walked over the file's own bytes (a reader that stops at the end
/// of the file would only ever see what is present); nullopt when there is none.
std::optional<DataChunkSizes> DataSizesOf(const std::string& path);

/// A warning when the `data` chunk declares more bytes than the file holds (a recording cut
/// short); nullopt otherwise.
std::optional<std::string> TruncationWarning(const std::string& path);

} // namespace tavrenly::app

// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/devices/Devices.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tavrenly {

namespace {

struct ErrorText
{
    uint32_t code;
    std::string_view text;
};

// One table for every layer whose codes reach the controls' error reporter: the multimedia
// system (0-21), the wave devices (32-35), the RIFF file services (256-272) and the codec
// manager (512-515). Kept sorted by code.
constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed without error."},
    {1, "An unspecified error occurred in the multimedia system."},
    {2, "The device number given is out of range."},
    {3, "The driver of the device could not be enabled."},
    {4, "The device is already in use by another program."},
    {5, "The handle given is not valid or has been closed."},
    {6, "No driver is installed for the device."},
    {7, "There is not enough memory to carry out the operation."},
    {8, "The device or driver does not support this operation."},
    {9, "The error number given is not known to the multimedia system."},
    {10, "An invalid flag was passed to the multimedia system."},
    {11, "An invalid parameter was passed to the multimedia system."},
    {12, "The handle is in use by another operation on a different thread."},
    {13, "The alias given is not known."},
    {14, "The multimedia configuration database is damaged."},
    {15, "The configuration key was not found."},
    {16, "The multimedia configuration could not be read."},
    {17, "The multimedia configuration could not be written."},
    {18, "The multimedia configuration entry could not be deleted."},
    {19, "The configuration value was not found."},
    {20, "The driver did not report back as it should."},
    {21, "More data is available than the buffer given could hold."},
    {32, "The audio format is not supported by the device."},
    {33, "The device is still playing its buffers."},
    {34, "The audio buffer has not been prepared."},
    {35, "The device can only be opened synchronously."},
    {256, "An unspecified error occurred in the RIFF file services."},
    {257, "The file was not found."},
    {258, "There is not enough memory for the file's I/O buffer."},
    {259, "The file could not be opened."},
    {260, "The file could not be closed."},
    {261, "The file could not be read."},
    {262, "The file could not be written; the disk may be full."},
    {263, "The position in the file could not be set."},
    {264, "The file could not be made larger."},
    {265, "The chunk was not found in the RIFF file."},
    {266, "The file has no I/O buffer."},
    {267, "The folder of the file was not found."},
    {268, "Access to the file was denied."},
    {269, "The file is locked by another program."},
    {270, "The network holding the file did not respond."},
    {271, "Too many files are open."},
    {272, "The file is not a valid RIFF file."},
    {512, "The codec manager cannot perform this conversion."},
    {513, "The conversion stream is busy."},
    {514, "The conversion header has not been prepared."},
    {515, "The conversion was cancelled."},
};

} // namespace

uint32_t waveInGetErrorTextA(uint32_t code, char* text, uint32_t size)
{
    if (text == nullptr || size == 0)
        return MMSYSERR_INVALPARAM;
    text[0] = '\0';
    const auto found = std::lower_bound(
        std::begin(kErrorTexts), std::end(kErrorTexts), code,
        [](const ErrorText& entry, uint32_t wanted) { return entry.code < wanted; });
    if (found == std::end(kErrorTexts) || found->code != code)
        return MMSYSERR_NOERROR;
    const size_t length = std::min<size_t>(found->text.size(), size - 1);
    std::memcpy(text, found->text.data(), length);
    text[length] = '\0';
    return MMSYSERR_NOERROR;
}

} // namespace tavrenly

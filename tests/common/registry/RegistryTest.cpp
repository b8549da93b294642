// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/Registry.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <utility>

namespace tavrenly {
namespace {

int32_t Read(std::string_view name, int32_t fallback)
{
    return ReadRegistryLong(HKEY_LOCAL_MACHINE, kTavrenStreamKey, name, fallback);
}

TEST(ReadRegistryLongTest, ReturnsThe32BitsStoredOrTheDefault)
{
    test::ScratchMachineSettings settings;
    EXPECT_EQ(Read("FadeMode", 2), 2); // no file
    // Names match in any case and take their last value; hexadecimal, negative and all-ones
    // values are their 32 bits; comments, section headers, values past 32 bits, words and
    // empty values give the default.
    settings.Write("# installation settings\r\n[TavrenStream]\r\n  fademode =  3 \r\n"
                   "FlushBufferLengthms=0x1F2e\r\nAll=0xFFFFFFFF\nBottom=-2147483648\n"
                   "Twice=1\nTwice=2\n; Commented=9\nTrailing=0x10 ; a person's note\n"
                   "Low=-2147483649\nHex=0x100000000\nWide=4294967296\nWord=fast\nEmpty=\n"
                   "Huge=99999999999999999999\n");
    const std::pair<const char*, int32_t> stored[] = {
        {"FADEMODE", 3}, {"FlushBufferLengthms", 0x1F2E},
        {"All", -1},     {"Bottom", INT32_MIN},
        {"Twice", 2},    {"Trailing", 0x10}};
    for (const auto& [name, expected] : stored)
        EXPECT_EQ(Read(name, 99), expected) << name;
    for (const char* name :
         {"Commented", "TavrenStream", "Low", "Hex", "Wide", "Word", "Empty", "Huge", "Missing"})
        EXPECT_EQ(Read(name, 99), 99) << name;
    int32_t fallback = 1;
    EXPECT_EQ(
        ReadRegistryLong(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane\\Other", "FadeMode", fallback), 1);
}

} // namespace
} // namespace tavrenly

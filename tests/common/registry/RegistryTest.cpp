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
    // The file's forms are the settings reader's table; here, what becomes of its answers.
    settings.Write("FadeMode=7\nAll=0xFFFFFFFF\nWide=4294967296\nWord=fast\n");
    const std::pair<const char*, int32_t> cases[] = {
        {"FadeMode", 7}, {"All", -1}, {"Missing", 99}, {"Wide", 99}, {"Word", 99}};
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(Read(name, 99), expected) << name;
    int32_t fallback = 1;
    EXPECT_EQ(
        ReadRegistryLong(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane\\Other", "FadeMode", fallback), 1);
}

} // namespace
} // namespace tavrenly

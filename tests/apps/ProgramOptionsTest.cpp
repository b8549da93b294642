// SPDX-License-Identifier: LGPL-2.1-or-later

// The command line as a user meets it: every refused value ends the program with status 2 and
// one line naming the option and what it accepts, before anything is opened or written.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

struct Case
{
    std::string args; ///< after "play item.wav --engine simulated" when it starts with an option
    std::string stderrHas;
    int status = 2;
};

// Every refusal ends before anything is rendered; a refused command line also before anything
// plays. Where the player's own message would mislead a person about a file, the program adds
// one line naming it for what it is.
TEST(ProgramOptionsTest, RefusedValuesEndWithTheirRangeAndNothingIsWritten)
{
    TempDir dir;
    WriteCounterWave(dir.File("item.wav"), 1.0);
    const Bytes item = ReadFileBytes(dir.File("item.wav"));
    std::filesystem::create_hard_link(dir.File("item.wav"), dir.File("same.wav"));
    std::filesystem::create_symlink("same.wav", dir.File("link.wav"));
    const std::string out = dir.File("out.wav");
    WriteFileBytes(dir.File("flac.wav"), {'f', 'L', 'a', 'C', 0, 0, 0, 34});
    WriteFileBytes(dir.File("six.wav"), RiffBytes({{"fmt ", FmtBody(1, 6, 44100, 529200, 12, 16)},
                                                   {"data", Bytes(1200, 0)}}));
    // The data chunk declares 400000 bytes, and 4000 follow.
    WriteFileBytes(dir.File("cut.wav"), Set32(PcmWave(Bytes(4000, 1)), 40, 400000));
    const std::string simulated = " --engine simulated";
    const Case cases[] = {
        {"--rate 12345", "--rate 12345: must be one of 11025, 22050, 44100, 48000\n"},
        {"--audio-start 0.75 --audio-end 0.25",
         "--audio-start 0.75 must be before --audio-end 0.25\n"},
        {"--render /nonexistent/out.wav",
         "--render /nonexistent/out.wav: the folder /nonexistent does not exist\n"},
        // The output is an input under another name: writing it would destroy what is played.
        {"play other.wav item.wav" + simulated + " --render same.wav",
         "--render same.wav: is the input item.wav; writing it would destroy it\n"},
        {"--render link.wav", "--render link.wav: is the input item.wav;"},
        // Bounds past the file are refused once it is open, before it plays.
        {"--audio-end 9 --render out.wav", "--audio-end 9: must be from 0 to 1\n"},
        {"--loop 1", "--loop 1: must be START:END[:MAXCOUNT], MAXCOUNT 0 to 32767\n"},
        // Whole command lines: a device that does not exist or a file that does not open ends
        // with 1, never played unheard on the null backend.
        {"play item.wav --device 99", "output device 99: ", 1},
        {"play missing.wav --render out.wav" + simulated,
         "tavrenly: missing.wav did not open (code -1)", 1},
        // A file the player would call corrupt is named for what it is; a short one plays,
        // warned.
        {"play flac.wav" + simulated, "is a FLAC file, not a RIFF WAVE", 1},
        {"play six.wav" + simulated, "six.wav has 6 channels; the player plays 1 or 2\n", 1},
        // A recording's length must be a finite number of seconds it can hold; a folder to
        // scan must exist.
        {"record out.wav --length nan" + simulated, "tavrenly: --length nan: not a time: give"},
        // Times and levels in every form, through one parser (its forms: ProgramTextTest).
        {"--volume +3dB", "tavrenly: --volume +3dB: must be 0dB or less (full scale)\n"},
        {"--intro-end 1:75",
         "tavrenly: --intro-end 1:75: the minutes and seconds after a ':' must be below 60\n"},
        {"--loop 1:30,2:00,x",
         "tavrenly: --loop 1:30,2:00,x: MAXCOUNT must be a whole number from 0 to 32767\n"},
        {"record out.wav --trigger -50dB" + simulated,
         "tavrenly: --trigger -50dB: is below 1 % of full scale (-40dB), the lowest level\n"},
        {"--device nosuch", "tavrenly: --device nosuch: no output device's name holds \"nosuch\" "
                            "(tavrenly devices lists them)\n"},
        {"record out.wav --length 1e30" + simulated, "--length 1e+30: must be from 0 to"},
        // The recorder's settings are checked as the player's, against the recorder's bounds.
        {"record out.wav --length 0.1 --buffers 101" + simulated,
         "--buffers 101: must be from 1 to 100\n"},
        {"record out.wav --length 0.1 --cache-seconds 61" + simulated,
         "--cache-seconds 61: must be from 0 to 60\n"},
        {"record out.wav --length 0.1 --volume nan" + simulated,
         "--volume nan: must be from 0 to 100 (percent of full scale) or a level in dB (-6dB)\n"},
        {"record out.wav --length 0.1 --debug-file /nonexistent/log" + simulated,
         "--debug-file /nonexistent/log: the folder /nonexistent does not exist\n"},
        {"record item.wav --length 0.1 --signal file:item.wav" + simulated,
         "record item.wav: is the input item.wav; writing it would destroy it\n"},
        {"repair --scan /nonexistent", "--scan /nonexistent: no such folder\n"},
        {"play cut.wav" + simulated,
         "warning: cut.wav is cut short: its data chunk declares 400000 bytes, 4000 are present",
         0},
    };
    for (const Case& c : cases) {
        const std::string line =
            (c.args.rfind("--", 0) == 0 ? "play item.wav" + simulated + " " : "") + c.args;
        SCOPED_TRACE(line);
        std::istringstream words(line);
        std::vector<std::string> args;
        for (std::string word; words >> word;)
            args.push_back(word);
        const Output output = RunProgram(dir, args);
        EXPECT_EQ(output.status, c.status) << output.err;
        EXPECT_NE(output.err.find(c.stderrHas), std::string::npos) << output.err;
        if (c.status == 2) {
            EXPECT_EQ(output.out, "") << "nothing plays after a refusal";
        }
        EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is rendered after a refusal";
    }
    EXPECT_TRUE(ReadFileBytes(dir.File("item.wav")) == item) << "an input was written";
}

TEST(ProgramSettingsTest, TheReadmeExampleChoosingTheSimulatedEngineMakesItTheProgramsDefault)
{
    // The settings example of the README as a reader would copy it, set to the simulated
    // engine: play, given no --engine, runs five minutes of item in virtual time (a real-time
    // engine would meet the hang guard).
    const std::string readme = ReadText(TAVRENLY_SOURCE_DIR "/README.md");
    const size_t start = readme.find("```ini\n", readme.find("## Settings"));
    ASSERT_NE(start, std::string::npos);
    std::string block = readme.substr(start + 7, readme.find("```", start + 7) - start - 7);
    TempDir dir;
    std::filesystem::create_directories(dir.File("etc/Corvane"));
    WriteText(dir.File("etc/Corvane/TavrenStream.conf"),
              block.replace(block.find("Engine=device"), 13, "Engine=simulated"));
    const std::string item = dir.File("long.wav");
    WriteCounterWave(item, 300, 11025);
    const Output played = RunProgram(dir, {"play", item, "--events"});
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_NE(played.out.find("AudioEndReached"), std::string::npos) << played.out;
}

} // namespace
} // namespace tavrenly::test

// SPDX-License-Identifier: LGPL-2.1-or-later

// Fuzzes the player's file open with arbitrary file content on the simulated engine in
// virtual time: open, play a few buffers, close. Whatever the bytes, the player must answer
// with a code, keep its clock inside the item, and leave no descriptor or timer behind.

#include "fuzz/MemoryFile.h"
#include "platform/base/Types.h"
#include "player/TavrenPlayer.h"
#include "tests/support/TestSupport.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <cmath>
#include <memory>

using namespace tavrenly;

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file;
    static const auto devices = InstallSimulatedDevices();
    file.Assign(data, size);
    EventLoop loop(EventLoop::Clock::Virtual);
    test::RecordingSite site(loop); // takes the boxes a refused file raises without printing them
    const long before = fuzz::OpenDescriptors();
    {
        auto simulated = std::make_unique<SimulatedStreamPlay>(loop);
        simulated->KeepPlayedAudio(false);
        simulated->KeepLogs(false);
        TavrenPlayer player(site, std::move(simulated));
        player.InitNew();
        std::string name = file.Path();
        int32_t opened = -1;
        try {
            opened = player.OpenAudio(name);
        } catch (const RuntimeError&) {
            return 0; // a cache too large for the file's byte rate is refused this way
        }
        if (opened == 0) {
            Check(player.AudioLength() >= 0 && std::isfinite(player.AudioLength()));
            Check(player.PlayAudio() == 0);
            loop.Advance(400); // a few buffers through the decoder and the engine
            Check(player.SecondsPlayed() >= 0);
            Check(player.SecondsPlayed() <= player.TotalAudioLength() + 0.5f);
            player.CloseAudio();
        }
    }
    Check(fuzz::OpenDescriptors() == before); // every way out closes the file
    Check(loop.ScheduledCount() == 0);        // and leaves no timer behind
    return 0;
}

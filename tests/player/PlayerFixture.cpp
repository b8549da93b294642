// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tests/player/PlayerFixture.h"

#include "common/ConversionStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace tavrenly::test {

PlayerHarness::PlayerHarness(bool initNew)
{
    devices = InstallSimulatedDevices();
    auto simulated = std::make_unique<SimulatedStreamPlay>(loop);
    engine = simulated.get();
    player = std::make_unique<TavrenPlayer>(site, std::move(simulated));
    if (initNew)
        player->InitNew();
    player->SetEventListener(&listener);
}

PlayerHarness::~PlayerHarness()
{
    player.reset();
    SetDeviceProvider(nullptr);
}

void PlayerHarness::Loop(float start, float end, int16_t maxLoopCount)
{
    player->LoopEnd(end);
    player->LoopStart(start);
    player->MaxLoopCount(maxLoopCount);
    player->UseLoop(true);
    EXPECT_TRUE(player->UseLoop());
}

void PlayerHarness::Markers(const std::array<float, 6>& t)
{
    player->IntroStart(t[0]);
    player->IntroEnd(t[1]);
    player->HookEnd(t[3]);
    player->HookStart(t[2]);
    player->Extro(t[4]);
    player->SweeperStart(t[5]);
}

void PlayerHarness::UseDeviceEmptiedOnPause()
{
    devices->SetOutputDevices(
        {DeviceInfo{.name = "Quirky Output", .manufacturerId = 39, .backend = "simulated"}});
    player->WaveOutDeviceNumber(1);
}

void HeardFollower::Queued(const uint8_t* bytes, int32_t length, int32_t tag, int32_t firstFrame)
{
    const std::vector<int32_t> frames = CounterFramesIn(Bytes(bytes, bytes + length));
    if (frames.empty())
        return Fail("a buffer of no whole frame was queued");
    const int32_t first = frames.front() - firstFrame;
    const std::string join = "buffer at block " + std::to_string(first) + " after one tagged " +
                             std::to_string(m_lastTag) + " ending before " +
                             std::to_string(m_lastBlock);
    const bool followsOn = m_lastTag >= 0 ? first == m_lastTag : first == m_lastBlock;
    if (m_drops == m_h.engine->QueueDrops() && !followsOn) {
        if (m_lastTag < 0 && first == m_h.player->State().LoopStartBlock && tag >= 0) {
            m_riderPlaying = true;
        } else if (m_wrongJoin.empty()) {
            m_wrongJoin = join;
            m_wrongJoinDrops = m_drops;
        }
    }
    m_drops = m_h.engine->QueueDrops();
    m_lastBlock = frames.back() - firstFrame + 1;
    m_lastTag = tag;
}

void HeardFollower::CheckPosition(const std::string& where, int32_t firstFrame)
{
    const PlayerState& s = m_h.player->State();
    const uint8_t* head = m_h.engine->PlayHead();
    if (s.hAudioFile == nullptr || s.AudioFinished || head == nullptr || m_riderPlaying)
        return;
    const int32_t block = CounterFramesIn(Bytes(head, head + 4)).front() - firstFrame;
    const double heard = static_cast<double>(block) / s.FileFormat.nSamplesPerSec;
    if (std::abs(s.TotalSecondsPlayed - heard) > 0.002)
        Fail(where + ": position " + std::to_string(s.TotalSecondsPlayed) + " while block " +
             std::to_string(block) + " (" + std::to_string(heard) + " s) is heard");
}

void WriteUndecodableWave(const std::string& path)
{
    WriteFileBytes(path, RiffBytes({{"fmt ", FmtBody(0x7777, 2, 44100, 20000, 512, 4)},
                                    {"data", Bytes(4000, 1)}}));
}

bool Released(const PlayerState& s)
{
    return s.hAudioFile == nullptr && s.pConvBuffer == nullptr && s.pFormat == nullptr &&
           s.DeCompress.hStream == nullptr && s.ConvertFilePCM.hStream == nullptr;
}

void ExpectFrameRuns(const Bytes& audio, const std::vector<std::pair<int32_t, int32_t>>& runs)
{
    std::vector<int32_t> wanted;
    for (const auto& [from, to] : runs)
        for (int32_t frame = from; frame < to; ++frame)
            wanted.push_back(frame);
    const std::vector<int32_t> played = CounterFramesIn(audio);
    ASSERT_EQ(played.size(), wanted.size());
    const auto differ = std::mismatch(played.begin(), played.end(), wanted.begin());
    EXPECT_TRUE(differ.first == played.end())
        << "frame " << (differ.first - played.begin()) << " is block " << *differ.first
        << ", wanted " << *differ.second;
}

bool PlayToEnd(PlayerHarness& h, int64_t maxMs)
{
    for (int64_t t = 0; t < maxMs && h.listener.Count("AudioEndReached") == 0; t += 10)
        h.loop.Advance(10);
    return h.listener.Count("AudioEndReached") > 0;
}

void MakeFile(const std::string& command, const std::string& path)
{
    std::string filled = command.starts_with("sox ")
                             ? command
                             : "ffmpeg -v error -y -f lavfi -i " + command + " -bitexact %s";
    filled.replace(filled.find("%s"), 2, path);
    RunOrFail(filled);
}

namespace {

Bytes ConvertWhole(const WAVEFORMATEX* source, const WAVEFORMATEX* destination, const Bytes& input,
                   ControlSite& site)
{
    StreamInfo stream;
    stream.SourceBufferSize = std::max(static_cast<int32_t>(input.size()), 1);
    EXPECT_EQ(OpenConversionStream(stream, source, destination, site), 0);
    const auto room = static_cast<size_t>(stream.DestBufferSize);
    Bytes output = input;
    output.resize(std::max(output.size(), room));
    auto length = static_cast<int32_t>(input.size());
    EXPECT_EQ(ConvertStreamData(stream, output.data(), length, site), 0);
    output.resize(static_cast<size_t>(length));
    // Then what the stream holds back at the end.
    Bytes tail(room);
    for (int call = 0; call < 1000; ++call) {
        length = stream.DestBufferSize;
        EXPECT_EQ(DrainConversionStream(stream, tail.data(), length, site), 0);
        if (length <= 0)
            break;
        output.insert(output.end(), tail.begin(), tail.begin() + length);
    }
    EXPECT_EQ(CloseConversionStream(stream, site), 0);
    return output;
}

} // namespace

Bytes ConvertedInOnePiece(PlayerHarness& h, Bytes audio)
{
    const PlayerState& s = h.player->State();
    const bool decompress = s.FileFormat.wFormatTag != 1 || s.FileFormat.wBitsPerSample != 16;
    const bool convert = s.FileFormat.nSamplesPerSec != s.PlaybackFormat.nSamplesPerSec ||
                         s.FileFormat.nChannels != s.PlaybackFormat.nChannels;
    if (decompress) {
        Bytes format(s.pFormat, s.pFormat + std::max<int32_t>(s.FormatSize, 18));
        audio = ConvertWhole(reinterpret_cast<const WAVEFORMATEX*>(format.data()), &s.FilePCMFormat,
                             audio, h.site);
    }
    if (convert)
        audio = ConvertWhole(&s.FilePCMFormat, &s.PlaybackFormat, audio, h.site);
    return audio;
}

} // namespace tavrenly::test

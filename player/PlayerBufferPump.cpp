// SPDX-License-Identifier: LGPL-2.1-or-later

// The buffer pump: keeps the engine's buffers full from the open file, converting each read in
// the one conversion buffer (a read that needs no conversion goes to the engine straight from
// the file, or from its read-ahead), cuts a loop into the stream, and detects the end of the audio.

#include "player/TavrenPlayer.h"

#include "player/PlayerState.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace tavrenly {

namespace {
// Reads smaller than this are taken from the file's read-ahead: a system call each would
// cost more than the copy it saves.
constexpr int32_t kReadIntoEngineBytes = 16 * 1024;
} // namespace

void TavrenPlayer::FillPlaybackBuffers()
{
    m_log.Full("Start Function FillPlaybackBuffers");
    if (m_state.hAudioFile == nullptr || m_state.pConvBuffer == nullptr)
        return;
    m_log.Full([&] { return fmt::format("Opened File Counter = {}", m_state.OpenedFileCounter); });
    const int32_t openedFileCounter = m_state.OpenedFileCounter;

    const int32_t freeBuffers = m_engine->FreeBuffers();
    m_log.Full([&] { return fmt::format("Number Free Buffers = {}", freeBuffers); });

    const int32_t dataOffset = static_cast<int32_t>(m_state.DataChunk.dwDataOffset);
    const int32_t dataSize = static_cast<int32_t>(m_state.DataChunk.cksize);
    for (int32_t n = 0; n < freeBuffers; ++n) {
        const int32_t position = mmioSeek(m_state.hAudioFile, 0, SEEK_CUR) - dataOffset;
        m_log.Full([&] { return fmt::format("Get current position = {}", position); });
        m_log.Full([&] { return fmt::format("Bytes Remaining = {}", dataSize - position); });
        // A partial block at the end of PCM data is no sample frame: the audio ends with the
        // last whole block, and the engine is never handed part of a frame. A codec's blocks
        // may vary in size (MPEG frames are padded one byte or not), and its decoder takes
        // what is left.
        const int32_t blockAlign = m_state.FileFormat.nBlockAlign;
        int32_t remaining = dataSize - position;
        if (m_state.FileFormat.wFormatTag == WAVE_FORMAT_PCM)
            remaining = remaining / blockAlign * blockAlign;
        // Nothing past AudioEnd's block is queued, as a loop end is cut: what is queued is
        // heard, however late the position tick notices the end.
        const int32_t toAudioEnd = AudioEndCutBytes() - position;
        if (toAudioEnd < 1 && remaining >= 1)
            break;

        if (remaining < 1) {
            // The stages still hold the last of the audio (a resampler's look-ahead, a partial
            // block): it is queued before the data counts as finished, so it is heard.
            if (const int32_t tail = DrainConversion(); tail > 0) {
                QueueBuffer(m_state.pConvBuffer, tail, dataSize / blockAlign, 0, false);
                continue;
            }
            if (!FinishDataChunk(openedFileCounter))
                return;
            break;
        }

        const int32_t currentBlock = position / blockAlign;
        if (currentBlock != m_jumpTargetBlock)
            m_jumpTargetBlock = -1; // the file moved since the jump
        PumpRead read = PlanRead(currentBlock, std::min(remaining, toAudioEnd));
        m_jumpTargetBlock = -1;
        const int32_t got = ReadAndConvert(read);
        QueueBuffer(read.data, got, currentBlock, read.blocksRead, read.emptyCut);
        if (read.restart)
            SeekToLoopStart();
    }
    m_log.Full("End Function FillPlaybackBuffers\r\n");
}

int32_t TavrenPlayer::AudioEndCutBytes() const
{
    const auto dataSize = static_cast<int32_t>(m_state.DataChunk.cksize);
    if (m_state.AudioEnd >= m_state.TotalAudioLength)
        return dataSize; // the end of the item is the end of the data
    // The first block that starts at or after AudioEnd; a hair below a whole block is taken as
    // that block, so a time that names a block exactly does not play one more.
    const double block = std::ceil(TimeToBlocks(m_state.AudioEnd) - 1e-6);
    return static_cast<int32_t>(
        std::min<int64_t>(dataSize, static_cast<int64_t>(block) * m_state.FileFormat.nBlockAlign));
}

bool TavrenPlayer::AudioEndCutHeard() const
{
    // The queue has run out at the cut: everything up to AudioEnd has been heard, even when
    // the played time, counted in whole milliseconds, stops a fraction short of AudioEnd.
    if (m_state.hAudioFile == nullptr || m_state.AudioEnd >= m_state.TotalAudioLength)
        return false;
    const int32_t position = mmioSeek(m_state.hAudioFile, 0, SEEK_CUR) -
                             static_cast<int32_t>(m_state.DataChunk.dwDataOffset);
    return position >= AudioEndCutBytes() && m_state.EnginePlaying &&
           m_engine->FreeBuffers() == m_engine->NumberBuffers();
}

bool TavrenPlayer::FinishDataChunk(int32_t openedFileCounter)
{
    m_state.FileFinished = true;
    TestForFinish();
    if (openedFileCounter != m_state.OpenedFileCounter) {
        m_log.Full("FillPlaybackBuffers - Opened File Counter changed");
        return false;
    }
    if (m_state.hAudioFile == nullptr) {
        m_log.Full("No opened file");
        return false;
    }
    return true;
}

TavrenPlayer::PumpRead TavrenPlayer::PlanRead(int32_t currentBlock, int32_t remaining)
{
    const int32_t blockAlign = m_state.FileFormat.nBlockAlign;
    const float seconds = static_cast<float>(m_engine->BufferDurationms()) / 1000.0f;
    m_log.Full([&] { return fmt::format("Seconds to read = {}", seconds); });
    const int32_t bytes = RoundToInt32(static_cast<double>(seconds) * m_fileBytesPerSecond);

    PumpRead read;
    // At least one whole block: with short buffers a stream of large blocks at a low bit rate
    // would otherwise read nothing, and the item would never end.
    int32_t blocks = std::max(bytes / blockAlign, 1);
    // The caps come before the loop cut, so that a read cut at the loop end really ends there
    // and the jump back it announces is not made early or lost.
    const int32_t bufferBlocks = std::max(m_state.ConvBufferSize / blockAlign, 1);
    if (blocks > bufferBlocks) {
        blocks = bufferBlocks;
        m_log.Full([&] {
            return fmt::format("Bytes to read too big for buffer, set to {}", blocks * blockAlign);
        });
    }
    // The conversion stages take at most one second of the file's PCM per call.
    if (NeedsDecompression() || NeedsRateConversion())
        blocks = std::min(blocks, std::max(m_maxConversionInput / blockAlign, 1));
    if (m_state.UseLoop) {
        m_log.Full([&] { return fmt::format("Bytes to read (pre loop check)= {}", bytes); });
        blocks = CutReadAtLoopEnd(currentBlock, blocks, read);
    }

    read.bytes = blocks * blockAlign;
    m_log.Full([&] { return fmt::format("Bytes to read (post loop check)= {}", read.bytes); });
    if (read.bytes > remaining) {
        read.bytes = remaining;
        m_log.Full(
            [&] { return fmt::format("Bytes to read more than file - set to {}", read.bytes); });
    }
    // A block larger than the whole buffer (a header no codec would write) is read in part
    // rather than past the buffer's end.
    read.bytes = std::min(read.bytes, m_state.ConvBufferSize);
    return read;
}

int32_t TavrenPlayer::CutReadAtLoopEnd(int32_t currentBlock, int32_t blocks, PumpRead& read)
{
    if (currentBlock + blocks < m_state.LoopEndBlock)
        return blocks;
    m_state.LoopCount += 1;
    // A read from the loop start is never cut: a loop shorter than one read plays as one whole
    // read, and the jump back follows it. Counting the pass at this read tags the buffer that
    // really ends it, so the position follows what is heard. Any other read that reaches the
    // loop end stops there, also one that began before the loop (a read longer than the loop).
    if (currentBlock != m_state.LoopStartBlock && currentBlock != m_jumpTargetBlock)
        blocks = m_state.LoopEndBlock - currentBlock;
    m_log.Medium([&] { return fmt::format("After Loop End - count= {}", m_state.LoopCount); });
    if (m_state.LoopCount > m_state.MaxLoopCount) {
        m_log.Medium("Reached Loop Max Count - ending looping");
        m_state.LoopMarker = kBufferTagLoopEnded;
        m_state.UseLoop = false;
        m_state.LoopCount = 0;
    } else {
        m_state.LoopMarker = m_state.LoopStartBlock;
        read.restart = true;
    }
    // At or past the loop end (a seek to or beyond it): read nothing this time, but count the
    // loop and jump back.
    if (blocks <= 0) {
        blocks = 0;
        read.emptyCut = true;
    }
    return blocks;
}

bool TavrenPlayer::NeedsDecompression() const
{
    // PCM of another sample size (8, 24, 32 bits) is decoded to 16 bits like any other format:
    // the engine takes 16-bit samples only.
    return m_state.FileFormat.wFormatTag != WAVE_FORMAT_PCM ||
           m_state.FileFormat.wBitsPerSample != 16;
}

bool TavrenPlayer::NeedsRateConversion() const
{
    return !(m_state.FileFormat.nSamplesPerSec == static_cast<uint32_t>(m_state.SampleRate) &&
             m_state.FileFormat.nChannels == m_state.NumberChannels);
}

int32_t TavrenPlayer::ReadAndConvert(PumpRead& read)
{
    const bool convert = NeedsDecompression() || NeedsRateConversion();
    int32_t got = 0;
    const char* held = nullptr;
    // Bytes that go to the engine as they are need not pass through the conversion buffer.
    // An engine that lends its buffer has the file read straight into it (the kernel's copy
    // is the only one); otherwise the engine copies them from the file's read-ahead.
    uint8_t* lent = nullptr;
    if (!convert && read.bytes >= kReadIntoEngineBytes)
        lent = m_engine->BufferToFill(read.bytes);
    if (lent != nullptr) {
        got = mmioReadPastBuffer(m_state.hAudioFile, reinterpret_cast<char*>(lent), read.bytes);
        read.data = lent;
    } else {
        if (!convert)
            got = mmioReadHeld(m_state.hAudioFile, read.bytes, &held);
        if (held != nullptr) {
            read.data = reinterpret_cast<const uint8_t*>(held);
        } else if (got >= 0) {
            got = mmioRead(m_state.hAudioFile, reinterpret_cast<char*>(m_state.pConvBuffer),
                           read.bytes);
            read.data = m_state.pConvBuffer;
        }
    }
    m_log.Full([&] { return fmt::format("Read from file {} bytes", got); });
    if (got < 0)
        return got;
    read.blocksRead = got / m_state.FileFormat.nBlockAlign;
    // A failed conversion leaves the bytes and the count as they were; the codec layer has
    // reported it, and the unconverted bytes are queued.
    if (NeedsDecompression()) {
        ConvertStreamData(m_state.DeCompress, m_state.pConvBuffer, got, m_site);
        m_log.Full([&] { return fmt::format("Decompressed to {} bytes", got); });
    }
    if (NeedsRateConversion()) {
        ConvertStreamData(m_state.ConvertFilePCM, m_state.pConvBuffer, got, m_site);
        m_log.Full([&] { return fmt::format("Converted to {} bytes", got); });
    }
    return got;
}

int32_t TavrenPlayer::DrainConversion()
{
    // The decompression stage is drained first, its output going on through the rate
    // conversion, and the rate conversion only once the first is empty, so that its input
    // really has ended.
    for (;;) {
        int32_t got = 0;
        if (NeedsDecompression()) {
            // What goes on to the rate conversion is held to the one second it takes per call.
            got = m_state.ConvBufferSize;
            if (NeedsRateConversion())
                got = std::min(got, static_cast<int32_t>(m_state.FilePCMFormat.nAvgBytesPerSec));
            DrainConversionStream(m_state.DeCompress, m_state.pConvBuffer, got, m_site);
            m_log.Full([&] { return fmt::format("Drained decompression to {} bytes", got); });
            if (got > 0) {
                if (NeedsRateConversion())
                    ConvertStreamData(m_state.ConvertFilePCM, m_state.pConvBuffer, got, m_site);
                if (got > 0)
                    return got;
                continue; // the rate conversion took it all in; the decompression goes on
            }
        }
        if (!NeedsRateConversion())
            return 0;
        got = m_state.ConvBufferSize;
        DrainConversionStream(m_state.ConvertFilePCM, m_state.pConvBuffer, got, m_site);
        m_log.Full([&] { return fmt::format("Drained conversion to {} bytes", got); });
        return got;
    }
}

void TavrenPlayer::QueueBuffer(const uint8_t* data, int32_t got, int32_t firstBlock,
                               int32_t blocksRead, bool emptyCut)
{
    if (got > 0) {
        // Entries older than the engine's queue can hold have been played.
        const auto kept = static_cast<size_t>(std::max(m_engine->NumberBuffers(), 1));
        while (m_queuedRuns.size() >= kept)
            m_queuedRuns.erase(m_queuedRuns.begin());
        m_queuedRuns.push_back(QueuedRun{got, firstBlock, firstBlock + blocksRead});
        m_engine->AddBuffer(data, got, BufferTag(firstBlock + blocksRead));
        m_state.LoopMarker = kBufferTagOrdinary;
        m_log.Full("Buffer added");
    } else if (emptyCut && m_state.LoopMarker != kBufferTagOrdinary) {
        DeferLoopTag();
    }
}

void TavrenPlayer::DeferLoopTag()
{
    // The buffer that ends at the jump is already queued with its tag; the jump rides on the
    // first buffer after it. With nothing queued (a seek past the loop end) the jump is heard
    // at once, so the position goes to the loop start now.
    m_deferredLoopTag = std::exchange(m_state.LoopMarker, kBufferTagOrdinary);
    if (m_deferredLoopTag >= 0 && m_engine->FreeBuffers() == m_engine->NumberBuffers()) {
        m_state.BaseTime =
            static_cast<float>(static_cast<double>(BlockTime(m_deferredLoopTag)) -
                               static_cast<double>(m_engine->PlayedTimems()) / 1000.0);
        m_positionJumped = true;
    }
}

int32_t TavrenPlayer::BufferTag(int32_t nextBlock)
{
    const int32_t own = m_state.LoopMarker;
    const int32_t deferred = std::exchange(m_deferredLoopTag, kBufferTagOrdinary);
    if (deferred >= 0) {
        // The first buffer after a jump back cut where nothing was read: the position becomes
        // right once it has played, so its tag names the block the next buffer starts at (its
        // own jump back, if this read made one). A loop this read ended is announced by the
        // next buffer, which goes on from here.
        if (own >= 0)
            return own;
        m_deferredLoopTag = own;
        return nextBlock;
    }
    if (deferred == kBufferTagLoopEnded) {
        if (own < 0)
            return kBufferTagLoopEnded;
        m_deferredLoopTag = kBufferTagLoopEnded;
    }
    return own;
}

void TavrenPlayer::TakeBackAudioPastEnd()
{
    const int32_t queued = m_engine->NumberBuffers() - m_engine->FreeBuffers();
    if (m_state.hAudioFile == nullptr || queued <= 0 || m_queuedRuns.empty())
        return;
    const int32_t cutBlock = AudioEndCutBytes() / m_state.FileFormat.nBlockAlign;
    const size_t first = m_queuedRuns.size() - std::min<size_t>(m_queuedRuns.size(), queued);
    // In the order they play, the first run that reaches past the cut: from there on, all of
    // it goes (a loop's jump back queued after it too, since the item ends before it).
    size_t at = first;
    while (at < m_queuedRuns.size() && m_queuedRuns[at].endBlock <= cutBlock)
        ++at;
    if (at == m_queuedRuns.size())
        return;
    const QueuedRun& crossing = m_queuedRuns[at];
    int64_t keep = 0;
    if (crossing.endBlock > crossing.firstBlock && cutBlock > crossing.firstBlock) {
        const int32_t frame = std::max<int32_t>(m_state.PlaybackFormat.nBlockAlign, 1);
        keep = int64_t{crossing.bytes} * (cutBlock - crossing.firstBlock) /
               (crossing.endBlock - crossing.firstBlock) / frame * frame;
    }
    int64_t past = crossing.bytes - keep;
    for (size_t i = at + 1; i < m_queuedRuns.size(); ++i)
        past += m_queuedRuns[i].bytes;
    const int32_t taken = m_engine->DropQueuedAudio(static_cast<int32_t>(past));
    if (taken <= 0)
        return;

    // Where the queue now ends in the file: the reading goes on from there.
    int32_t left = taken;
    int32_t resumeBlock = cutBlock;
    while (left > 0 && !m_queuedRuns.empty()) {
        QueuedRun& last = m_queuedRuns.back();
        if (last.bytes <= left) {
            left -= last.bytes;
            resumeBlock = last.firstBlock;
            m_queuedRuns.pop_back();
            continue;
        }
        const int32_t blocks = last.endBlock - last.firstBlock;
        last.bytes -= left;
        last.endBlock = last.firstBlock +
                        static_cast<int32_t>(int64_t{blocks} * last.bytes / (last.bytes + left));
        resumeBlock = taken == past ? cutBlock : last.endBlock;
        last.endBlock = resumeBlock;
        left = 0;
    }
    m_log.Medium(
        [&] { return fmt::format("Audio past the end taken back to block {}", resumeBlock); });
    mmioSeek(m_state.hAudioFile,
             static_cast<int32_t>(m_state.DataChunk.dwDataOffset) +
                 resumeBlock * m_state.FileFormat.nBlockAlign,
             SEEK_SET);
    // What the stages hold and a jump back still to ride on a buffer came from past the end.
    ClearBuffer(false, false);
    m_state.FileFinished = false;
    m_state.LoopMarker = kBufferTagOrdinary;
    m_deferredLoopTag = kBufferTagOrdinary;
}

void TavrenPlayer::SeekToLoopStart()
{
    const int32_t target = static_cast<int32_t>(m_state.DataChunk.dwDataOffset) +
                           m_state.LoopStartBlock * m_state.FileFormat.nBlockAlign;
    m_log.Medium([&] { return fmt::format("Seeking to Loop Begin {}", target); });
    mmioSeek(m_state.hAudioFile, target, SEEK_SET);
    m_jumpTargetBlock = m_state.LoopStartBlock;
    // Forgets the bytes the stages hold from before the loop end; the engine's queue stays.
    ClearBuffer(false, false);
}

void TavrenPlayer::TestForFinish()
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    m_log.Medium("Start Function TestForFinish");
    if (m_state.FileFinished && m_engine->FreeBuffers() == m_engine->NumberBuffers() &&
        !m_state.AudioFinished) {
        UpdateAudioTimes();
        if (!SameFileOpen(openedFileCounter))
            return;
        SetFinished();
    }
    m_log.Medium("End Function TestForFinish\r\n");
}

void TavrenPlayer::SetFinished()
{
    m_log.Basic("Start Function SetFinished");
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (!m_state.AudioFinished) {
        m_state.AudioFinished = true;
        m_log.Basic("Raise event AudioEndReached");
        if (m_events != nullptr)
            m_events->AudioEndReached();
        if (SameFileOpen(openedFileCounter))
            PausePlaybackStream(false);
        else
            m_log.Basic("SetFinished - Opened File Counter changed");
    }
    m_log.Basic("End Function SetFinished\r\n");
}

} // namespace tavrenly

// The buffer pump: keeps the engine's buffers full from the open file, converting each read in
// the one conversion buffer, cuts a loop into the stream, and detects the end of the audio.

#include "player/TavrenPlayer.h"

#include <fmt/format.h>

namespace tavrenly {

void TavrenPlayer::FillPlaybackBuffers()
{
    if (m_log.Full())
        m_log.WriteLog("Start Function FillPlaybackBuffers");
    if (m_state.hAudioFile == nullptr || m_state.pConvBuffer == nullptr)
        return;
    if (m_log.Full())
        m_log.WriteLog(fmt::format("Opened File Counter = {}", m_state.OpenedFileCounter));
    const int32_t openedFileCounter = m_state.OpenedFileCounter;

    const int32_t freeBuffers = m_engine->FreeBuffers();
    if (m_log.Full())
        m_log.WriteLog(fmt::format("Number Free Buffers = {}", freeBuffers));

    const int32_t dataOffset = static_cast<int32_t>(m_state.DataChunk.dwDataOffset);
    const int32_t dataSize = static_cast<int32_t>(m_state.DataChunk.cksize);
    const int32_t blockAlign = m_state.FileFormat.nBlockAlign;

    for (int32_t n = 0; n < freeBuffers; ++n) {
        const int32_t position = mmioSeek(m_state.hAudioFile, 0, SEEK_CUR) - dataOffset;
        if (m_log.Full())
            m_log.WriteLog(fmt::format("Get current position = {}", position));
        const int32_t currentBlock = position / blockAlign;
        const int32_t remaining = dataSize - position;
        if (m_log.Full())
            m_log.WriteLog(fmt::format("Bytes Remaining = {}", remaining));

        if (remaining < 1) {
            m_state.FileFinished = true;
            TestForFinish();
            if (openedFileCounter != m_state.OpenedFileCounter) {
                if (m_log.Full())
                    m_log.WriteLog("FillPlaybackBuffers - Opened File Counter changed");
                return;
            }
            if (m_state.hAudioFile == nullptr) {
                if (m_log.Full())
                    m_log.WriteLog("No opened file");
                return;
            }
            break;
        }

        const float seconds = static_cast<float>(m_engine->BufferDurationms()) / 1000.0f;
        if (m_log.Full())
            m_log.WriteLog(fmt::format("Seconds to read = {}", seconds));
        int32_t bytes = RoundToInt32(static_cast<double>(seconds) *
                                     static_cast<double>(m_state.FileFormat.nAvgBytesPerSec));
        int32_t blocks = bytes / blockAlign;

        bool restart = false;
        bool emptyCut = false;
        if (m_state.UseLoop) {
            if (m_log.Full())
                m_log.WriteLog(fmt::format("Bytes to read (pre loop check)= {}", bytes));
            if (currentBlock > m_state.LoopStartBlock &&
                currentBlock + blocks >= m_state.LoopEndBlock) {
                m_state.LoopCount += 1;
                blocks = m_state.LoopEndBlock - currentBlock;
                if (m_log.Medium())
                    m_log.WriteLog(fmt::format("After Loop End - count= {}", m_state.LoopCount));
                if (m_state.LoopCount > m_state.MaxLoopCount) {
                    if (m_log.Medium())
                        m_log.WriteLog("Reached Loop Max Count - ending looping");
                    m_state.LoopMarker = -2;
                    m_state.UseLoop = false;
                    m_state.LoopCount = 0;
                } else {
                    m_state.LoopMarker = m_state.LoopStartBlock;
                    restart = true;
                }
                // Already past the loop end (a seek beyond it, or a loop shorter than one
                // buffer): read nothing this time, but count the loop and jump back.
                if (blocks < 0) {
                    blocks = 0;
                    emptyCut = true;
                }
            }
        }

        bytes = blocks * blockAlign;
        if (m_log.Full())
            m_log.WriteLog(fmt::format("Bytes to read (post loop check)= {}", bytes));
        if (bytes > remaining) {
            bytes = remaining;
            if (m_log.Full())
                m_log.WriteLog(fmt::format("Bytes to read more than file - set to {}", bytes));
        }
        if (bytes > m_state.ConvBufferSize) {
            bytes = m_state.ConvBufferSize;
            if (m_log.Full())
                m_log.WriteLog(fmt::format("Bytes to read too big for buffer, set to {}", bytes));
        }

        // PCM of another sample size (8, 24, 32 bits) is decoded to 16 bits like any other
        // format: the engine takes 16-bit samples only.
        const bool decompress = m_state.FileFormat.wFormatTag != WAVE_FORMAT_PCM ||
                                m_state.FileFormat.wBitsPerSample != 16;
        const bool convert =
            !(m_state.FileFormat.nSamplesPerSec == static_cast<uint32_t>(m_state.SampleRate) &&
              m_state.FileFormat.nChannels == m_state.NumberChannels);
        // The conversion stages take at most one second of the file's PCM per call.
        if ((decompress || convert) && bytes > m_maxConversionInput) {
            bytes = m_maxConversionInput;
            restart = false;
            if (m_state.LoopMarker >= 0 || m_state.LoopMarker == -2)
                UndoLoopCut();
        }

        int32_t got =
            mmioRead(m_state.hAudioFile, reinterpret_cast<char*>(m_state.pConvBuffer), bytes);
        if (m_log.Full())
            m_log.WriteLog(fmt::format("Read from file {} bytes", got));
        const int32_t blocksRead = got > 0 ? got / blockAlign : 0;
        if (got >= 0) {
            if (decompress) {
                ConvertStreamData(m_state.DeCompress, m_state.pConvBuffer, got, m_site);
                if (m_log.Full())
                    m_log.WriteLog(fmt::format("Decompressed to {} bytes", got));
            }
            if (convert) {
                ConvertStreamData(m_state.ConvertFilePCM, m_state.pConvBuffer, got, m_site);
                if (m_log.Full())
                    m_log.WriteLog(fmt::format("Converted to {} bytes", got));
            }
        }
        if (got > 0) {
            int32_t tag = m_state.LoopMarker;
            // A jump back cut while nothing was read rides on the first buffer after it; the
            // position becomes right once that buffer has played, so the tag names the block
            // that follows it.
            if (m_loopTagDeferred && tag >= 0)
                tag += blocksRead;
            m_loopTagDeferred = false;
            m_engine->AddBuffer(m_state.pConvBuffer, got, tag);
            if (m_state.LoopMarker != -1)
                m_state.LoopMarker = -1;
            if (m_log.Full())
                m_log.WriteLog("Buffer added");
        } else if (emptyCut && m_state.LoopMarker != -1) {
            m_loopTagDeferred = true;
        }
        if (restart) {
            const int32_t target = dataOffset + m_state.LoopStartBlock * blockAlign;
            if (m_log.Medium())
                m_log.WriteLog(fmt::format("Seeking to Loop Begin {}", target));
            mmioSeek(m_state.hAudioFile, target, SEEK_SET);
            ClearBuffer(false, false);
        }
    }
    if (m_log.Full())
        m_log.WriteLog("End Function FillPlaybackBuffers\r\n");
}

void TavrenPlayer::UndoLoopCut()
{
    // The read was shortened below the loop end, so this buffer does not reach it: the loop
    // end is met again by a later read, which counts it then.
    if (m_state.LoopMarker == -2) {
        m_state.UseLoop = true;
        m_state.LoopCount = m_state.MaxLoopCount;
    } else {
        m_state.LoopCount -= 1;
    }
    m_state.LoopMarker = -1;
}

void TavrenPlayer::TestForFinish()
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_log.Medium())
        m_log.WriteLog("Start Function TestForFinish");
    if (m_state.FileFinished && m_engine->FreeBuffers() == m_engine->NumberBuffers() &&
        !m_state.AudioFinished) {
        UpdateAudioTimes();
        if (openedFileCounter != m_state.OpenedFileCounter)
            return;
        SetFinished();
    }
    if (m_log.Medium())
        m_log.WriteLog("End Function TestForFinish\r\n");
}

void TavrenPlayer::SetFinished()
{
    if (m_log.Basic())
        m_log.WriteLog("Start Function SetFinished");
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (!m_state.AudioFinished) {
        m_state.AudioFinished = true;
        if (m_log.Basic())
            m_log.WriteLog("Raise event AudioEndReached");
        if (m_events != nullptr)
            m_events->AudioEndReached();
        if (openedFileCounter == m_state.OpenedFileCounter) {
            PausePlaybackStream(false);
        } else if (m_log.Basic()) {
            m_log.WriteLog("SetFinished - Opened File Counter changed");
        }
    }
    if (m_log.Basic())
        m_log.WriteLog("End Function SetFinished\r\n");
}

} // namespace tavrenly

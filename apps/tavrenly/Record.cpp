// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Record.h"

#include "apps/tavrenly/Devices.h"
#include "apps/tavrenly/EventPrinter.h"
#include "apps/tavrenly/OptionCheck.h"
#include "apps/tavrenly/PlayLine.h"
#include "apps/tavrenly/Terminal.h"
#include "apps/tavrenly/ValueText.h"
#include "common/WaveFile.h"
#include "engine/EngineFactory.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "platform/system/System.h"
#include "recorder/RecorderState.h"
#include "recorder/TavrenRecorder.h"
#include "tstream2/DeviceStreamRecord.h"
#include "tstream2/SimulatedStreamRecord.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fmt/format.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <unistd.h>

namespace tavrenly::app {

namespace {

struct NamedFormat
{
    const char* name;
    int16_t tag;
};

// WAVE format tags of the formats a recording is commonly made in.
constexpr std::array<NamedFormat, 8> kFormats = {{{"pcm", 1},
                                                  {"alaw", 6},
                                                  {"mulaw", 7},
                                                  {"ima-adpcm", 0x11},
                                                  {"ms-adpcm", 2},
                                                  {"gsm", 0x31},
                                                  {"mp2", 0x50},
                                                  {"mp3", 0x55}}};

/// Peak amplitude of the generated sine and noise: -6 dBFS, loud enough to pass a trigger.
constexpr double kSignalAmplitude = 0.5;
/// How often the signals, Enter and the live line are looked at.
constexpr int32_t kWatchIntervalMs = 100;
/// A simulated recording in virtual time gives up this long after its length: a trigger that
/// the signal never passes would otherwise wait for ever.
constexpr float kVirtualWaitSeconds = 60.0f;
/// The trigger level a paused start is given: above full scale (100 %), so no level event
/// starts it and Enter or SIGUSR1 alone does (the control resumes a paused start at the first
/// level event that reaches its trigger, which for 0 is the first one).
constexpr int16_t kEnterStarts = 101;
/// The longest --length: a week. The disk, or a RIFF file's 2 GiB without --rf64, may end it
/// sooner.
constexpr double kMostRecordSeconds = 7 * 24 * 3600;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

/// Chooses the simulated engine's signal; false (with the reason printed) when `text` is not
/// one. `fileFormat` receives a file signal's format.
bool ChooseSignal(SimulatedStreamRecord& engine, const std::string& text,
                  std::optional<WAVEFORMATEX>& fileFormat)
{
    const size_t colon = text.find(':');
    const std::string kind = Lower(text.substr(0, colon));
    const std::string value = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (kind == "silence" && value.empty()) {
        engine.CaptureSilence();
        return true;
    }
    if (kind == "noise" && value.empty()) {
        engine.CaptureNoise(kSignalAmplitude);
        return true;
    }
    if (kind == "sine") {
        try {
            size_t used = 0;
            const double frequency = std::stod(value, &used);
            if (used == value.size() && frequency > 0) {
                engine.CaptureSine(frequency, kSignalAmplitude);
                return true;
            }
        } catch (const std::exception&) {
        }
    }
    if (kind == "file" && !value.empty()) {
        WAVEFORMATEX format{};
        int32_t dataSize = 0;
        if (ReadWaveHeader(value, format, dataSize) == 0 && engine.CaptureWaveFile(value)) {
            fileFormat = format;
            return true;
        }
        fmt::print(stderr, "tavrenly: {} is not a 16-bit PCM WAVE file of 1 or 2 channels\n",
                   value);
        return false;
    }
    fmt::print(stderr, "tavrenly: --signal wants sine:FREQ, silence, noise or file:IN.wav\n");
    return false;
}

/// Prints the recorder's events, one line each with the time recorded (as text, or as JSON
/// lines keyed as the play command's), and keeps what the program needs from them. The
/// periodic ones (position, levels, buffers) are only counted.
class RecordEventPrinter : public TavrenRecorderEvents
{
public:
    RecordEventPrinter(const TavrenRecorder& recorder, std::FILE* out, LiveLine* live, bool json)
        : m_recorder(recorder), m_out(out), m_live(live), m_json(json)
    {}

    bool ended = false;
    int64_t buffers = 0;
    std::vector<int32_t> errors;

    void RecordingEndReached() override
    {
        ended = true;
        Print("RecordingEndReached");
    }
    void Recording() override { Print("Recording"); }
    void Paused() override { Print("Paused"); }
    void RecordOpen() override { Print("RecordOpen"); }
    void Closed() override { Print("Closed"); }
    void PlayerError(int32_t& code) override
    {
        errors.push_back(code);
        Print("PlayerError", {{"code", code}});
    }
    void BufferRecieved(const void*, int32_t) override { ++buffers; }

    /// The program's own last event, at the `seconds` recorded (the closed recorder reads 0):
    /// the file kept (or none) and the exit status.
    void RecordEnded(const std::string& file, bool kept, int status, float seconds)
    {
        Print("RecordEnded", {{"file", file}, {"kept", kept}, {"status", status}}, &seconds);
    }

private:
    void Print(const std::string& event,
               const nlohmann::ordered_json& arguments = nlohmann::ordered_json::object(),
               const float* at = nullptr)
    {
        if (m_out == nullptr)
            return;
        if (m_live != nullptr)
            m_live->Clear();
        const float seconds = at != nullptr ? *at : m_recorder.TotalSecondsRecorded();
        if (m_json)
            fmt::print(m_out, "{}\n", JsonEventLine("t_recorded", seconds, event, arguments));
        else if (arguments.contains("code"))
            fmt::print(m_out, "{:9.3f} s  {}({})\n", seconds, event, arguments["code"].dump());
        else if (arguments.empty())
            fmt::print(m_out, "{:9.3f} s  {}\n", seconds, event);
        std::fflush(m_out);
    }

    const TavrenRecorder& m_recorder;
    std::FILE* m_out;
    LiveLine* m_live;
    bool m_json;
};

std::string StatusText(const TavrenRecorder& recorder)
{
    switch (recorder.Status()) {
    case ersClosed:
        return "closed";
    case ersWaitingLevel:
        if (recorder.TriggerLevel() == kEnterStarts)
            return "paused (Enter starts)";
        if (recorder.TriggerLevel() > 0)
            return fmt::format("waiting for {:.0f}dB",
                               20.0 * std::log10(recorder.TriggerLevel() / 100.0));
        return "waiting for level";
    case ersPaused:
        return "paused";
    case ersRecording:
        return "recording";
    }
    return "unknown";
}

/// The live line's state, its meters held by `hold`.
RecordLineState LineState(const TavrenRecorder& recorder, const RecordOptions& options,
                          std::array<MeterHold, 2>& hold)
{
    RecordLineState state;
    state.status = StatusText(recorder);
    state.recorded = recorder.TotalSecondsRecorded();
    if (recorder.AudioLength() > 0)
        state.remain = recorder.TotalSecondsRemain();
    state.byLength = options.length > 0 && recorder.AudioLength() >= options.length;
    const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    state.left = hold[0].Update(recorder.LeftAudioLevel(), nowMs);
    state.right = hold[1].Update(recorder.RightAudioLevel(), nowMs);
    return state;
}

/// True when a line has been typed on standard input; `open` turns false at its end.
bool EnterPressed(bool& open)
{
    // A terminal read in the background would stop the process (SIGTTIN); SIGUSR1 still starts.
    if (!open || (isatty(STDIN_FILENO) == 1 && !InTerminalForeground(STDIN_FILENO)))
        return false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0)
        return false;
    char bytes[256];
    const ssize_t got = read(STDIN_FILENO, bytes, sizeof(bytes));
    if (got <= 0) {
        open = false;
        return false;
    }
    return std::find(bytes, bytes + got, '\n') != bytes + got;
}

int32_t RecordFlags(const RecordOptions& options)
{
    int32_t flags = erfDefault;
    if (options.direct)
        flags |= erfRecordDirectToDestination;
    if (options.paused)
        flags |= erfEnterPauseModeImmediately;
    if (options.delayCreate)
        flags |= erfDelayCreateFileUntilResume & ~erfEnterPauseModeImmediately;
    return flags;
}

void ApplySettings(TavrenRecorder& recorder, const RecordOptions& options, int32_t rate,
                   int32_t channels)
{
    if (!options.debugFile.empty()) {
        int32_t level = options.debugLevel.value_or(dmBasic);
        recorder.SetDebugFile(options.debugFile, level);
    }
    if (options.device)
        recorder.WaveInDeviceNumber(*options.device);
    recorder.SampleRate(rate);
    recorder.NumberChannels(channels);
    if (options.bufferMs)
        recorder.WaveBufferLengthms(*options.bufferMs);
    if (options.buffers)
        recorder.NumberWaveRecordBuffers(*options.buffers);
    if (options.cacheSeconds) {
        int16_t seconds = *options.cacheSeconds;
        recorder.NumberCacheSeconds(seconds);
    }
    if (options.volume)
        recorder.RecordVolume(*options.volume);
    recorder.Rf64(Lower(options.rf64) == "always" ? Rf64Mode::kAlways
                  : Lower(options.rf64) == "auto" ? Rf64Mode::kAuto
                                                  : Rf64Mode::kOff);
    recorder.PlainFileBytes(options.plainFileBytes);
    // Only the discrete events are printed; the position events would be one a tick.
    recorder.RaiseAudioPositionChanged(false);
}

/// One --cart value cut into its NAME=VALUE fields: a comma starts the next field only where
/// a NAME= follows it (a name of letters and digits), so a value may hold commas.
std::vector<std::string> CartFields(const std::string& text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma = text.find(','); comma != std::string::npos;
         comma = text.find(',', comma + 1)) {
        const size_t equals = text.find('=', comma + 1);
        const auto name = std::string_view(text).substr(comma + 1, equals - comma - 1);
        if (equals == std::string::npos || name.empty() ||
            !std::all_of(name.begin(), name.end(),
                         [](unsigned char c) { return std::isalnum(c) != 0; }))
            continue;
        fields.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

/// Sets the cart fields asked for; false (with the reason printed) when one is refused.
bool SetCartFields(TavrenRecorder& recorder, const std::vector<std::string>& values)
{
    std::vector<std::string> fields;
    for (const std::string& value : values)
        for (std::string& field : CartFields(value))
            fields.push_back(std::move(field));
    for (const std::string& field : fields) {
        const size_t equals = field.find('=');
        std::string error = "--cart wants NAME=VALUE, not '" + field + "'";
        if (equals != std::string::npos &&
            recorder.SetCartField(field.substr(0, equals), field.substr(equals + 1), error) == 0)
            continue;
        fmt::print(stderr, "tavrenly: {}\n", error);
        return false;
    }
    return true;
}

bool IsCaptureRate(uint32_t rate)
{
    return rate == 11025 || rate == 22050 || rate == 44100 || rate == 48000;
}

/// The capture rate and channels: as asked, else a file signal's own when the recorder takes
/// them, else 44100 Hz stereo.
std::pair<int32_t, int32_t> CaptureFormat(const RecordOptions& options,
                                          const std::optional<WAVEFORMATEX>& signalFormat)
{
    const bool fileRateFits = signalFormat && IsCaptureRate(signalFormat->nSamplesPerSec);
    return {options.rate.value_or(fileRateFits ? static_cast<int32_t>(signalFormat->nSamplesPerSec)
                                               : 44100),
            options.channels.value_or(signalFormat ? signalFormat->nChannels : 2)};
}

/// RecordAudioEx with the file format the options ask for (the capture's by default).
int32_t StartRecording(TavrenRecorder& recorder, const RecordOptions& options, int16_t tag,
                       int32_t rate, int32_t channels)
{
    const int32_t fileRate = options.fileRate.value_or(rate);
    const auto fileChannels = static_cast<int16_t>(options.fileChannels.value_or(channels));
    const int32_t flags = RecordFlags(options);
    const int16_t trigger = options.paused ? kEnterStarts : options.trigger;
    return recorder.RecordAudioEx(options.file, fileRate, fileChannels, tag, trigger,
                                  options.length, flags);
}

/// "" when the file holds the seconds recorded; else what it holds (audio the disk refused
/// is missing from it).
std::string HeldText(const std::string& file, float seconds)
{
    WAVEFORMATEX format{};
    uint64_t dataSize = 0;
    if (ReadWaveHeader(file, format, dataSize) != 0 || format.nAvgBytesPerSec == 0)
        return "";
    const double held = static_cast<double>(dataSize) / format.nAvgBytesPerSec;
    // Within a millisecond, the figures printed agree.
    if (std::abs(held - seconds) < 0.001)
        return "";
    return fmt::format("; the file holds {:.3f} s", held);
}

/// Closes the recording and keeps it; the exit status.
int Finish(TavrenRecorder& recorder, const RecordOptions& options, const RecordEventPrinter& events)
{
    const float seconds = recorder.TotalSecondsRecorded();
    const bool waiting = recorder.Status() == ersWaitingLevel;
    bool save = true;
    const int32_t closed = recorder.CloseRecording(save);
    // The recorder closes once more when it is destroyed; that Closed is not the user's news.
    recorder.SetEventListener(nullptr);
    const std::string& keptAs = recorder.SavedFileName();
    const bool kept = save && keptAs == options.file;
    if (save && !kept && !keptAs.empty()) {
        // The move failed (the name was taken meanwhile, or cannot be made): the recording is
        // whole, under the name the recorder says.
        fmt::print(stderr, "tavrenly: {} could not be made; the recording is kept as {}\n",
                   options.file, keptAs);
        return 1;
    }
    if (!kept) {
        fmt::print(stderr, "tavrenly: nothing was recorded{}; no file kept{}\n",
                   waiting ? " (the recording never began)" : "",
                   events.errors.empty()
                       ? ""
                       : fmt::format(" (last error code {})", events.errors.back()));
        return 1;
    }
    if (closed != 0)
        fmt::print(stderr, "tavrenly: closing {} failed at a step (code {})\n", options.file,
                   closed);
    // With JSON events every line of the output is one; RecordEnded says the same.
    if (!options.quiet && options.eventsText != "json")
        fmt::print("Saved {}: TotalSecondsRecorded {:.3f} s{}\n", options.file, seconds,
                   HeldText(options.file, seconds));
    // The recorder ends by itself at its length, or sooner where the disk (or a RIFF file's
    // 2 GiB) has no room for more: that end was not asked for.
    const bool filled = events.ended && (options.length <= 0 || seconds + 0.0005f < options.length);
    if (filled && closed == 0 && events.errors.empty()) {
        const std::string ended = fmt::format(
            "the recording ended at {:.3f} s{}; what was recorded is kept in {}", seconds,
            options.length > 0 ? fmt::format(" of the {:.3f} s asked", options.length) : "",
            options.file);
        if (recorder.EndsAtFileLimit())
            fmt::print(stderr,
                       "tavrenly: the WAVE file is full: a RIFF file holds at most {} bytes; {}; "
                       "record with --rf64 (or --rf64 auto) to go past it\n",
                       recorder.PlainFileBytes(), ended);
        else
            fmt::print(stderr, "tavrenly: the disk is full: {}\n", ended);
        return kExitFailed;
    }
    // A kept file after a fault is not the recording that was asked for: it may stop early or
    // miss audio. The status says so; the file is named for whoever picks it up.
    if (closed == 0 && events.errors.empty())
        return kExitDone;
    fmt::print(stderr,
               "tavrenly: a fault cut the recording short or lost part of it (code {}); "
               "what was recorded is kept in {}\n",
               closed != 0 ? closed : events.errors.back(), options.file);
    return kExitFailed;
}

/// The folder the recording is written in: the destination's, or for a destination without
/// one and a temporary file, the temporary folder.
std::string FolderWritten(const RecordOptions& options)
{
    const size_t slash = options.file.find_last_of('/');
    if (slash != std::string::npos)
        return slash == 0 ? "/" : options.file.substr(0, slash);
    return options.direct ? "." : GetTempPath();
}

/// Why no recording can be made in `folder`; "" when one can (as far as asking can tell).
std::string WhyNotWritable(const std::string& folder)
{
    if (access(folder.c_str(), W_OK | X_OK) == 0)
        return std::filesystem::is_directory(folder) ? "" : "not a folder";
    return std::strerror(errno);
}

} // namespace

OptionCheck CheckRecordOptions(const RecordOptions& options)
{
    OptionCheck check;
    check.Range("--length", options.length, 0, kMostRecordSeconds);
    if (options.device)
        check.AtLeast("--device", *options.device, 0);
    if (options.bufferMs)
        check.Range("--buffer-ms", *options.bufferMs, 1, TavrenRecorder::kMostWaveBufferLengthms);
    if (options.buffers)
        check.Range("--buffers", *options.buffers, 1, TavrenRecorder::kMostWaveRecordBuffers);
    if (options.cacheSeconds)
        check.Range("--cache-seconds", *options.cacheSeconds, 0, TavrenRecorder::kMostCacheSeconds);
    if (options.volume)
        check.Range("--volume", *options.volume, 0, 100);
    if (options.debugLevel)
        check.Range("--debug-level", *options.debugLevel, 0, 255);
    if (!options.debugFile.empty())
        check.WritableFile("--debug-file", options.debugFile);
    // The recorder deletes an existing file of the destination's name as it starts.
    if (options.signal.rfind("file:", 0) == 0)
        check.NotAnInput("record", options.file, {options.signal.substr(5)});
    return check;
}

std::optional<int16_t> ParseFormatTag(const std::string& text)
{
    const std::string name = Lower(text);
    for (const NamedFormat& format : kFormats)
        if (name == format.name)
            return format.tag;
    try {
        size_t used = 0;
        const unsigned long value = std::stoul(text, &used, 0);
        if (used == text.size() && value >= 1 && value <= 0xFFFF)
            return static_cast<int16_t>(static_cast<uint16_t>(value));
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

CLI::App* AddRecordCommand(CLI::App& app, RecordOptions& options)
{
    CLI::App* command = app.add_subcommand("record", "Record into a WAVE file");
    const auto optional = [command](const std::string& name, auto& target,
                                    const std::string& help) {
        using Value = typename std::decay_t<decltype(target)>::value_type;
        return command->add_option_function<Value>(
            name, [&target](const Value& value) { target = value; }, help);
    };
    command->add_option("file", options.file, "The WAVE file to write")->required();
    optional("--rate", options.rate, "Capture rate: 11025, 22050, 44100 or 48000")
        ->check(CLI::IsMember({11025, 22050, 44100, 48000}));
    optional("--channels", options.channels, "Capture channels: 1 or 2")
        ->check(CLI::IsMember({1, 2}));
    optional("--file-rate", options.fileRate, "The file's rate (the capture rate if not given)")
        ->check(CLI::Range(1, 384000));
    optional("--file-channels", options.fileChannels, "The file's channels: 1 or 2")
        ->check(CLI::IsMember({1, 2}));
    command->add_option("--format", options.format,
                        "pcm, alaw, mulaw, ima-adpcm, ms-adpcm, gsm, mp2, mp3 or a format tag");
    command
        ->add_option("--trigger", options.trigger,
                     "Wait until the input reaches this level: percent of full scale, or dBFS "
                     "(-20dB), taken to the nearest whole percent")
        ->transform(LevelText("--trigger", true))
        ->type_name("LEVEL");
    command->add_option("--length", options.length, "Stop after this long (0 = no limit)")
        ->transform(TimeText("--length"))
        ->type_name("TIME");
    command->add_flag("--direct", options.direct,
                      "Write the file itself, not a temporary file renamed at the end");
    command->add_flag("--paused", options.paused,
                      "Start paused; Enter or SIGUSR1 starts the recording (with --trigger, "
                      "starts waiting for the level)");
    command->add_flag("--delay-create", options.delayCreate,
                      "Create the file only when the recording begins");
    command->add_option("--device", options.deviceText,
                        "Input device: its number (0 = default), pulse:NAME (the sound "
                        "system's name) or a part of its name, as devices lists them");
    optional("--buffer-ms", options.bufferMs,
             "Capture buffer length in ms, 1 to 2000 (the recorder's limit)")
        ->transform(TimeText("--buffer-ms", BareUnit::Milliseconds, true))
        ->type_name("TIME");
    optional("--buffers", options.buffers,
             "Number of capture buffers, 1 to 100 (the recorder's limit)");
    optional("--cache-seconds", options.cacheSeconds, "Seconds of file buffering, 0 to 60, whole")
        ->transform(TimeText("--cache-seconds", BareUnit::Seconds, true))
        ->type_name("TIME");
    optional("--volume", options.volume, "Record volume 0..100, or in dB (-6dB)")
        ->transform(LevelText("--volume"))
        ->type_name("LEVEL");
    command->add_option("--debug-file", options.debugFile, "Diagnostic log file");
    optional("--debug-level", options.debugLevel, "Log level: 1, 16 or 255");
    command->add_option("--engine", options.engine, "device, null or simulated")
        ->check(CLI::IsMember({"device", "null", "simulated"}, CLI::ignore_case));
    command->add_option("--signal", options.signal,
                        "What the simulated engine captures: sine:FREQ, silence, noise or "
                        "file:IN.wav (played in virtual time when --length is given)");
    command->add_option("--cart", options.cart,
                        "Cart text fields NAME=VALUE[,NAME=VALUE...] (repeatable; a comma starts "
                        "the next field only before NAME=): Title, Artist, CutID, ClientID, "
                        "Category, Classification, OutCue, StartDate, StartTime, EndDate, EndTime, "
                        "ProducerAppID, ProducerAppVersion, UserDef, URL");
    command
        ->add_option("--rf64", options.rf64,
                     "Write an RF64 file, whose 64-bit sizes go past the 2 GiB a RIFF file "
                     "holds: --rf64 (or --rf64 always) from the start, --rf64 auto a RIFF file "
                     "that becomes RF64 only if it grows past 2 GiB, --rf64 never (the default) "
                     "a RIFF file, which ends the recording at 2 GiB")
        ->expected(0, 1)
        ->default_str("always")
        ->check(CLI::IsMember({"always", "auto", "never"}, CLI::ignore_case));
    // Tests reach the limit of a RIFF file with a small one instead of writing 2 GiB.
    command->add_option("--plain-limit", options.plainFileBytes)
        ->group("")
        ->check(CLI::PositiveNumber);
    command
        ->add_flag("--events{text}", options.eventsText,
                   "Print every event even when not on a terminal, with the time recorded; "
                   "--events=json prints one JSON object a line (t_wall, t_recorded, event and "
                   "its arguments), the last RecordEnded with the file, kept and the status")
        ->check(CLI::IsMember({"text", "json"}));
    command->add_flag("--quiet", options.quiet, "Print nothing but errors");
    command->footer(std::string(kValueFormsText) + "\n\n" + kExitStatusText);
    return command;
}

int RunRecord(const RecordOptions& given)
{
    RecordOptions options = given;
    if (!options.deviceText.empty()) {
        options.device = ResolveDevice(options.deviceText, ParseEngineKind(options.engine), false);
        if (!options.device)
            return kExitUsage;
    }
    const std::optional<int16_t> tag = ParseFormatTag(options.format);
    if (!tag) {
        fmt::print(stderr, "tavrenly: --format wants pcm, alaw, mulaw, ima-adpcm, ms-adpcm, "
                           "gsm, mp2, mp3 or a format tag\n");
        return 2;
    }
    const EngineKind kind = ParseEngineKind(options.engine);
    const bool simulated = kind == EngineKind::Simulated;
    // A simulated recording with an end runs in virtual time, as fast as the machine goes; an
    // open-ended or paused one keeps to the clock, so that a person can end or start it.
    if (const int refused = CheckRecordOptions(options).Report())
        return refused;
    const bool virtualTime = simulated && options.length > 0 && !options.paused;
    EventLoop loop(virtualTime ? EventLoop::Clock::Virtual : EventLoop::Clock::Real);
    HeadlessSite site(loop);
    std::unique_ptr<StreamRecord> engine = CreateStreamRecord(loop, kind);
    std::optional<WAVEFORMATEX> signalFormat;
    if (auto* simulatedEngine = dynamic_cast<SimulatedStreamRecord*>(engine.get());
        simulated && simulatedEngine != nullptr &&
        !ChooseSignal(*simulatedEngine, options.signal, signalFormat))
        return 2;
    const auto [rate, channels] = CaptureFormat(options, signalFormat);

    const auto* deviceEngine = dynamic_cast<const DeviceStreamRecord*>(engine.get());
    TavrenRecorder recorder(site, std::move(engine));
    recorder.InitNew();
    const bool onTerminal = InTerminalForeground(STDOUT_FILENO) && !options.quiet;
    const bool printEvents = !options.quiet && (onTerminal || !options.eventsText.empty());
    // In virtual time the line would be redrawn thousands of times a second: events only.
    const bool terminal = onTerminal && !virtualTime;
    LiveLine live;
    RecordEventPrinter events(recorder, printEvents ? stdout : nullptr, terminal ? &live : nullptr,
                              options.eventsText == "json");
    std::array<MeterHold, 2> meters;
    recorder.SetEventListener(&events);
    const DetachListenerAtExit detach(recorder);
    ApplySettings(recorder, options, rate, channels);
    if (!SetCartFields(recorder, options.cart))
        return 2;

    const std::string folder = FolderWritten(options);
    if (const std::string why = WhyNotWritable(folder); !why.empty()) {
        fmt::print(stderr,
                   "tavrenly: {} cannot be recorded: the folder {} cannot be written ({})\n",
                   options.file, folder, why);
        return kExitFailed;
    }

    RunSignals signals;
    const int32_t started = StartRecording(recorder, options, *tag, rate, channels);
    if (started != 0) {
        fmt::print(stderr, "tavrenly: the recording did not start (code {})\n", started);
        recorder.SetEventListener(nullptr);
        bool save = false;
        recorder.CloseRecording(save);
        return kExitFailed;
    }
    SayProblem(deviceEngine != nullptr ? deviceEngine->Problem() : "");
    if (options.paused && !options.quiet)
        fmt::print("Paused: press Enter, or send SIGUSR1 to process {}, to start recording\n",
                   getpid());
    std::fflush(stdout); // a script waits for this line before it resumes

    bool stdinOpen = options.paused;
    // A failed device stops the engine's stream: nothing more can come, so the file is closed.
    const auto engineStopped = [&] {
        return !events.errors.empty() && recorder.Engine().State() != 2;
    };
    // A file whose creation was put off until the recording begins, and then failed: the
    // recording cannot begin, and waiting on would only fail again. A resume from the trigger
    // leaves the trigger fired, one at the start leaves nothing to wait for, with the file
    // still pending.
    bool resumeFailed = false;
    const auto cannotBegin = [&] {
        const RecorderState& state = recorder.State();
        return state.FileOpenPending &&
               (resumeFailed || state.FirstBufferAfterTrigger || !state.TriggerLevelActive);
    };
    Timer watch(loop, kWatchIntervalMs, [&] {
        const bool resume = signals.TakeResume() | EnterPressed(stdinOpen);
        if (resume && recorder.Status() != ersRecording) {
            if (recorder.TriggerLevel() == kEnterStarts && options.trigger > 0)
                recorder.TriggerLevel(options.trigger); // from now on the level starts it
            else
                resumeFailed = recorder.ResumeRecording() != 0;
        }
        if (terminal)
            live.Draw(FormatRecordLine(LineState(recorder, options, meters), TerminalColumns()));
    });
    watch.Enabled(true);
    const int64_t limitMs =
        virtualTime ? static_cast<int64_t>((options.length + kVirtualWaitSeconds) * 1000.0f)
                    : std::numeric_limits<int32_t>::max();
    loop.RunUntil(
        [&] { return events.ended || signals.Interrupted() || engineStopped() || cannotBegin(); },
        limitMs);
    watch.Enabled(false);
    live.Clear();
    if (cannotBegin()) {
        const std::string why = WhyNotWritable(folder);
        fmt::print(stderr,
                   "tavrenly: {} cannot be recorded: the file could not be made in {} ({})\n",
                   options.file, folder, why.empty() ? "the file system refused it" : why);
        recorder.SetEventListener(nullptr);
        bool save = false;
        recorder.CloseRecording(save);
        return kExitFailed;
    }
    SayProblem(deviceEngine != nullptr ? deviceEngine->Problem() : "");
    if (engineStopped())
        fmt::print(stderr, "tavrenly: recording stopped: the input device failed (code {})\n",
                   events.errors.back());
    const float seconds = recorder.TotalSecondsRecorded();
    const int status = Finish(recorder, options, events);
    if (options.eventsText == "json")
        events.RecordEnded(options.file, std::filesystem::exists(options.file), status, seconds);
    return status;
}

} // namespace tavrenly::app

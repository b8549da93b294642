// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/MprisPlayer.h"

#include "common/CartChunk.h"
#include "platform/riff/Riff.h"
#include "platform/riff/WaveChunks.h"
#include "player/TavrenPlayer.h"
#include "player/TavrenPlayerEvents.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace tavrenly::app {

namespace {

constexpr const char* kPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRoot = "org.mpris.MediaPlayer2";
constexpr const char* kTransport = "org.mpris.MediaPlayer2.Player";
constexpr const char* kNoTrack = "/org/mpris/MediaPlayer2/TrackList/NoTrack";
constexpr double kMicros = 1e6;

template <size_t N> std::string CartText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

const char* PlaybackStatus(int32_t status)
{
    if (status == epsPlaying)
        return "Playing";
    if (status == epsPaused)
        return "Paused";
    // Cued waits at the start of the item: a stopped player, as a desktop sees it.
    return "Stopped";
}

int AppendEntry(sd_bus_message* reply, const char* key, const char* type, const void* value)
{
    int r = sd_bus_message_open_container(reply, 'e', "sv");
    if (r >= 0)
        r = sd_bus_message_append_basic(reply, 's', key);
    if (r >= 0)
        r = sd_bus_message_open_container(reply, 'v', type);
    if (r >= 0)
        r = sd_bus_message_append_basic(reply, type[0], value);
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

} // namespace

MprisPlayer::MprisPlayer(sd_bus* bus, TavrenPlayer& player, std::string trackPath)
    : m_bus(bus), m_player(player), m_trackPath(std::move(trackPath))
{
    constexpr uint64_t kConst = SD_BUS_VTABLE_PROPERTY_CONST;
    constexpr uint64_t kChanges = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
    static const sd_bus_vtable kRootTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Raise", "", "", &Call, 0),
        SD_BUS_METHOD("Quit", "", "", &Call, 0),
        SD_BUS_PROPERTY("CanQuit", "b", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("CanRaise", "b", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("HasTrackList", "b", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("Identity", "s", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("SupportedUriSchemes", "as", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("SupportedMimeTypes", "as", &GetProperty, 0, kConst),
        SD_BUS_VTABLE_END,
    };
    static const sd_bus_vtable kTransportTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Next", "", "", &Call, 0),
        SD_BUS_METHOD("Previous", "", "", &Call, 0),
        SD_BUS_METHOD("Pause", "", "", &Call, 0),
        SD_BUS_METHOD("PlayPause", "", "", &Call, 0),
        SD_BUS_METHOD("Stop", "", "", &Call, 0),
        SD_BUS_METHOD("Play", "", "", &Call, 0),
        SD_BUS_METHOD("Seek", "x", "", &Call, 0),
        SD_BUS_METHOD("SetPosition", "ox", "", &Call, 0),
        SD_BUS_METHOD("OpenUri", "s", "", &Call, 0),
        SD_BUS_SIGNAL("Seeked", "x", 0),
        SD_BUS_PROPERTY("PlaybackStatus", "s", &GetProperty, 0, kChanges),
        SD_BUS_PROPERTY("Rate", "d", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("MinimumRate", "d", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("MaximumRate", "d", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("Metadata", "a{sv}", &GetProperty, 0, kChanges),
        SD_BUS_WRITABLE_PROPERTY("Volume", "d", &GetProperty, &SetVolume, 0, kChanges),
        // The position moves all the time; clients read it and follow Seeked.
        SD_BUS_PROPERTY("Position", "x", &GetProperty, 0, 0),
        SD_BUS_PROPERTY("CanGoNext", "b", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("CanGoPrevious", "b", &GetProperty, 0, kConst),
        SD_BUS_PROPERTY("CanPlay", "b", &GetProperty, 0, kChanges),
        SD_BUS_PROPERTY("CanPause", "b", &GetProperty, 0, kChanges),
        SD_BUS_PROPERTY("CanSeek", "b", &GetProperty, 0, kChanges),
        SD_BUS_PROPERTY("CanControl", "b", &GetProperty, 0, kConst),
        SD_BUS_VTABLE_END,
    };
    sd_bus_add_object_vtable(m_bus, &m_root, kPath, kRoot, kRootTable, this);
    sd_bus_add_object_vtable(m_bus, &m_transport, kPath, kTransport, kTransportTable, this);
}

MprisPlayer::~MprisPlayer()
{
    sd_bus_slot_unref(m_transport);
    sd_bus_slot_unref(m_root);
    sd_bus_flush_close_unref(m_bus);
}

void MprisPlayer::ReadCart()
{
    m_title.clear();
    m_artist.clear();
    const std::string file = m_player.AudioFileName();
    HMMIO handle = mmioOpenA(file.c_str(), nullptr, MMIO_READ);
    if (handle == nullptr)
        return;
    MMCKINFO riff{};
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    MMCKINFO chunk{};
    chunk.ckid = kCartChunkId;
    if (mmioDescend(handle, &riff, nullptr, MMIO_FINDRIFF) == 0 &&
        mmioDescend(handle, &chunk, &riff, MMIO_FINDCHUNK) == 0) {
        // A short chunk leaves the rest of the record zero: empty fields.
        CartChunk cart{};
        const auto wanted = static_cast<int32_t>(std::min<uint32_t>(chunk.cksize, sizeof(cart)));
        if (mmioRead(handle, reinterpret_cast<char*>(&cart), wanted) >= 0) {
            m_title = CartText(cart.Title);
            m_artist = CartText(cart.Artist);
        }
    }
    mmioClose(handle, 0);
}

void MprisPlayer::Announce(const char* property, const char* another)
{
    sd_bus_emit_properties_changed(m_bus, kPath, kTransport, property, another, nullptr);
}

void MprisPlayer::Seeked()
{
    const auto at = static_cast<int64_t>(std::llround(m_player.SecondsPlayed() * kMicros));
    sd_bus_emit_signal(m_bus, kPath, kTransport, "Seeked", "x", at);
}

void MprisPlayer::PlayerEvent(int32_t eventId)
{
    namespace ev = player_event_ids;
    switch (eventId) {
    case ev::Opened:
    case ev::Closed:
        if (eventId == ev::Opened)
            ReadCart();
        Announce("Metadata", "PlaybackStatus");
        Announce("CanPlay", "CanSeek");
        break;
    case ev::Playing:
    case ev::Paused:
    case ev::Cued:
        Announce("PlaybackStatus");
        break;
    default:
        break;
    }
    sd_bus_flush(m_bus);
}

int MprisPlayer::AppendMetadata(sd_bus_message* reply) const
{
    int r = sd_bus_message_open_container(reply, 'a', "{sv}");
    const bool open = m_player.Status() != epsClosed;
    const std::string track = open ? m_trackPath : kNoTrack;
    if (r >= 0)
        r = AppendEntry(reply, "mpris:trackid", "o", track.c_str());
    if (open) {
        const auto length = static_cast<int64_t>(std::llround(m_player.AudioLength() * kMicros));
        const std::string url = "file://" + m_player.AudioFileName();
        if (r >= 0)
            r = AppendEntry(reply, "mpris:length", "x", &length);
        if (r >= 0)
            r = AppendEntry(reply, "xesam:url", "s", url.c_str());
        if (r >= 0 && !m_title.empty())
            r = AppendEntry(reply, "xesam:title", "s", m_title.c_str());
        if (r >= 0 && !m_artist.empty()) {
            r = sd_bus_message_append(reply, "{sv}", "xesam:artist", "as", 1, m_artist.c_str());
        }
    }
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

int MprisPlayer::GetProperty(sd_bus*, const char*, const char*, const char* property,
                             sd_bus_message* reply, void* self, sd_bus_error*)
{
    const auto& mpris = *static_cast<const MprisPlayer*>(self);
    const TavrenPlayer& player = mpris.m_player;
    const std::string_view name = property;
    const bool open = player.Status() != epsClosed;
    if (name == "Identity")
        return sd_bus_message_append(reply, "s", "Tavrenly player");
    if (name == "SupportedUriSchemes")
        return sd_bus_message_append(reply, "as", 1, "file");
    if (name == "SupportedMimeTypes")
        return sd_bus_message_append(reply, "as", 2, "audio/x-wav", "audio/wav");
    if (name == "PlaybackStatus")
        return sd_bus_message_append(reply, "s", PlaybackStatus(player.Status()));
    if (name == "Rate" || name == "MinimumRate" || name == "MaximumRate")
        return sd_bus_message_append(reply, "d", 1.0);
    if (name == "Metadata")
        return mpris.AppendMetadata(reply);
    if (name == "Volume")
        return sd_bus_message_append(reply, "d", static_cast<double>(player.PlayVolume()) / 100.0);
    if (name == "Position")
        return sd_bus_message_append(
            reply, "x", static_cast<int64_t>(std::llround(player.SecondsPlayed() * kMicros)));
    if (name == "CanPlay" || name == "CanPause" || name == "CanSeek")
        return sd_bus_message_append(reply, "b", open);
    if (name == "CanControl")
        return sd_bus_message_append(reply, "b", true);
    // CanQuit, CanRaise, HasTrackList, CanGoNext, CanGoPrevious.
    return sd_bus_message_append(reply, "b", false);
}

int MprisPlayer::SetVolume(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                           void* self, sd_bus_error*)
{
    auto& mpris = *static_cast<MprisPlayer*>(self);
    double volume = 0;
    const int r = sd_bus_message_read(value, "d", &volume);
    if (r < 0)
        return r;
    if (!std::isfinite(volume))
        return -EINVAL;
    mpris.m_player.PlayVolume(static_cast<float>(std::clamp(volume, 0.0, 1.0) * 100.0));
    mpris.Announce("Volume");
    return 1;
}

int MprisPlayer::Call(sd_bus_message* message, void* self, sd_bus_error* error)
{
    auto& mpris = *static_cast<MprisPlayer*>(self);
    TavrenPlayer& player = mpris.m_player;
    const std::string_view member = sd_bus_message_get_member(message);
    const bool open = player.Status() != epsClosed;
    if (member == "Play" && open) {
        player.PlayAudio();
    } else if (member == "Pause" && player.Status() == epsPlaying) {
        player.PauseAudio();
    } else if (member == "PlayPause" && open) {
        if (player.Status() == epsPlaying)
            player.PauseAudio();
        else
            player.PlayAudio();
    } else if (member == "Stop" && open) {
        player.CueAudio();
    } else if (member == "Seek" || member == "SetPosition") {
        const char* track = nullptr;
        int64_t micros = 0;
        const int r = member == "Seek" ? sd_bus_message_read(message, "x", &micros)
                                       : sd_bus_message_read(message, "ox", &track, &micros);
        if (r < 0)
            return r;
        double target = static_cast<double>(micros) / kMicros;
        if (member == "Seek")
            target += player.SecondsPlayed();
        else if (mpris.m_trackPath != track)
            return sd_bus_reply_method_return(message, ""); // an item no longer current
        target = std::max(target, 0.0);
        bool totalFile = false;
        if (open && target <= player.AudioLength() &&
            player.SeekTime(static_cast<float>(target), totalFile))
            mpris.Seeked();
    } else if (member == "OpenUri") {
        const char* uri = nullptr;
        const int r = sd_bus_message_read(message, "s", &uri);
        if (r < 0)
            return r;
        std::string path = uri;
        constexpr std::string_view kScheme = "file://";
        if (path.starts_with(kScheme))
            path.erase(0, kScheme.size());
        else
            return sd_bus_error_setf(error, SD_BUS_ERROR_NOT_SUPPORTED, "only file: URIs");
        if (const int32_t result = player.OpenAudio(path); result != 0)
            return sd_bus_error_setf(error, "org.tavrenly.Error.Failed",
                                     "OpenAudio failed (result %d)", static_cast<int>(result));
    }
    // Raise, Quit, Next, Previous and transport calls that do not apply now do nothing.
    return sd_bus_reply_method_return(message, "");
}

} // namespace tavrenly::app

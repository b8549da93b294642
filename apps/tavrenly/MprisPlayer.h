// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A player as a desktop media player (the MPRIS interfaces org.mpris.MediaPlayer2 and
// org.mpris.MediaPlayer2.Player at /org/mpris/MediaPlayer2), so that media keys and tools
// such as playerctl drive it. Each player has its own connection, because the interfaces live
// at one fixed path and clients tell players apart by the connection a signal comes from.
//
// Play, Pause, PlayPause and Stop (which cues the item) map to the transport; Seek and
// SetPosition to SeekTime in item time; Position is SecondsPlayed; Volume is PlayVolume / 100;
// Metadata carries the file's cart chunk title and artist where it has them.
//
// Threading: the player's UI thread, which processes the connection.

#include <cstdint>
#include <string>
#include <systemd/sd-bus.h>

namespace tavrenly {
class TavrenPlayer;
}

namespace tavrenly::app {

class MprisPlayer
{
public:
    /// Takes `bus` (a connection of its own, already owning the player's bus name) and the
    /// player, which must outlive this. `trackPath` names the item in Metadata.
    MprisPlayer(sd_bus* bus, TavrenPlayer& player, std::string trackPath);
    ~MprisPlayer();
    MprisPlayer(const MprisPlayer&) = delete;
    MprisPlayer& operator=(const MprisPlayer&) = delete;

    sd_bus* Bus() const noexcept { return m_bus; }
    /// The player raised event `eventId` (player_event_ids): announce what it changed.
    void PlayerEvent(int32_t eventId);

private:
    void ReadCart();
    static int GetProperty(sd_bus* bus, const char* path, const char* interface,
                           const char* property, sd_bus_message* reply, void* self,
                           sd_bus_error* error);
    static int SetVolume(sd_bus* bus, const char* path, const char* interface, const char* property,
                         sd_bus_message* value, void* self, sd_bus_error* error);
    static int Call(sd_bus_message* message, void* self, sd_bus_error* error);
    int AppendMetadata(sd_bus_message* reply) const;
    void Announce(const char* property, const char* another = nullptr);
    void Seeked();

    sd_bus* m_bus;
    TavrenPlayer& m_player;
    std::string m_trackPath;
    std::string m_title;
    std::string m_artist;
    sd_bus_slot* m_root = nullptr;
    sd_bus_slot* m_transport = nullptr;
};

} // namespace tavrenly::app

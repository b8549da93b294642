#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""A two-item segue on `tavrenly serve`, recorded: item B starts at item A's extro while A
fades out over its last second, and a recorder takes the whole programme.

    tavrenly serve --engine null &
    scripts/playout.py first.wav second.wav programme.wav

With the simulated engine (virtual time) the script moves the clock itself."""

import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

NAME = "org.tavrenly.Tavrenly"
PLAYER = "org.tavrenly.TavrenPlayer"
RECORDER = "org.tavrenly.TavrenRecorder"
QUIET = {"AudioPositionChanged", "AudioLevelChanged", "BufferRecieved", "VolumeChangeNotify",
         "AudioVolumeChanged"}


def main(first, second, take):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    factory = dbus.Interface(bus.get_object(NAME, "/org/tavrenly"), "org.tavrenly.Factory")
    virtual = bool(factory.Get("org.tavrenly.Factory", "VirtualTime",
                               dbus_interface=dbus.PROPERTIES_IFACE))
    paths = {factory.CreatePlayer(): "A", factory.CreatePlayer(): "B",
             factory.CreateRecorder(): "rec"}
    by_name = {who: path for path, who in paths.items()}
    a, b = (dbus.Interface(bus.get_object(NAME, by_name[w]), PLAYER) for w in "AB")
    rec = dbus.Interface(bus.get_object(NAME, by_name["rec"]), RECORDER)
    loop = GLib.MainLoop()

    def on_event(*args, member=None, path=None):
        if member in QUIET:
            return
        print(paths.get(path, path), member, *args, flush=True)
        if paths.get(path) == "A" and member == "ExtroReached":
            b.PlayAudio()
        if paths.get(path) == "B" and member == "AudioEndReached":
            seconds = rec.Get(RECORDER, "TotalSecondsRecorded",
                              dbus_interface=dbus.PROPERTIES_IFACE)
            rec.CloseRecording(True)
            print(f"recorded {float(seconds):.1f} s into {take}", flush=True)
            loop.quit()

    for interface in (PLAYER, RECORDER):
        bus.add_signal_receiver(on_event, dbus_interface=interface + ".Events",
                                member_keyword="member", path_keyword="path")

    for player, item in ((a, first), (b, second)):
        result, _ = player.OpenAudio(item)
        if result != 0:
            sys.exit(f"{item} did not open (result {result})")
    length = float(a.Get(PLAYER, "AudioLength", dbus_interface=dbus.PROPERTIES_IFACE))
    a.Set(PLAYER, "Extro", dbus.Double(length - 1.0), dbus_interface=dbus.PROPERTIES_IFACE)
    a.AddVolumeChangeEvent(dbus.Int16(1), length - 1.0, 1.0, 100.0, 0.0, -1.0, True, False)
    b.Set(PLAYER, "IntroEnd", dbus.Double(0.5), dbus_interface=dbus.PROPERTIES_IFACE)
    # A 22050 Hz mono PCM take, at most ten minutes.
    rec.RecordAudioEx(take, 22050, dbus.Int16(1), dbus.Int16(1), dbus.Int16(0), 600.0, 0)
    a.PlayAudio()
    if virtual:
        GLib.idle_add(lambda: factory.AdvanceTime(dbus.UInt32(50)) or True)
    GLib.timeout_add_seconds(120, loop.quit)
    loop.run()
    for path in paths:
        factory.Destroy(path)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: playout.py FIRST.wav SECOND.wav TAKE.wav")
    main(*sys.argv[1:])

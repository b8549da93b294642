# SPDX-License-Identifier: LGPL-2.1-or-later
"""tavrenly serve driven by real bus clients: introspection, a play and a recording with their
events, playerctl, refused calls and two clients at once. Simulated engine, virtual time: the
factory's AdvanceTime moves the clock, and every signal a step raises arrives before its
reply, so no test waits on the wall clock."""

import os
import re
import subprocess
import tempfile
import threading
import unittest

import dbus

from busharness import FACTORY, NAME, PLAYER, RECORDER, Events, PrivateBus, drain, make_tone

PROGRAM = os.environ["TAVRENLY_PROGRAM"]


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bus = PrivateBus(PROGRAM)
        cls.client = cls.bus.connect()
        cls.factory = cls.client.get_object(NAME, "/org/tavrenly")
        cls.events = Events(cls.client)
        cls.files = tempfile.TemporaryDirectory(prefix="tavrenly-serve-")
        cls.tone = os.path.join(cls.files.name, "tone.wav")
        make_tone(cls.tone, 3, title="Morning Tone", artist="Test Band")

    @classmethod
    def tearDownClass(cls):
        cls.bus.close()
        cls.files.cleanup()

    def create(self, kind):
        path = self.factory.get_dbus_method("Create" + kind, FACTORY)()
        self.addCleanup(self.factory.Destroy, path, dbus_interface=FACTORY)
        interface = PLAYER if kind == "Player" else RECORDER
        return str(path), dbus.Interface(self.client.get_object(NAME, path), interface)

    def advance(self, ms):
        self.factory.AdvanceTime(dbus.UInt32(ms), dbus_interface=FACTORY)

    def test_introspection_gives_every_member_its_id(self):
        for kind, members, events in (("Player", 62, 21), ("Recorder", 32, 9)):
            path, _ = self.create(kind)
            text = subprocess.run(["gdbus", "introspect", "--address", self.bus.address,
                                   "--dest", NAME, "--object-path", path],
                                  check=True, capture_output=True, text=True).stdout
            body = text.split("interface org.tavrenly.Tavren" + kind + ".Events")
            self.assertEqual(len(re.findall(r"org\.tavrenly\.MemberId\(", body[0])), members)
            self.assertEqual(len(re.findall(r"org\.tavrenly\.EventId\(", body[1])), events)
            # As many members as ids: every method and property carries one.
            declared = re.findall(r"^\s+(?:readonly|readwrite) \S+ \w+ = |^\s+\w+\(",
                                  body[0].split("interface org.tavrenly.Tavren" + kind + " {")[1],
                                  re.M)
            self.assertEqual(len(declared), members)
        self.assertRegex(text, r'@org\.tavrenly\.MemberId\("0x6803000e"\)\s+'
                               r'@org\.tavrenly\.TypeName\("enSampleRate"\)\s+readwrite i SampleRate')
        _, player = self.create("Player")
        xml = player.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable")
        flush = re.search(r'<property name="FlushBuffers".*?</property>', xml, re.S).group(0)
        self.assertIn('name="org.tavrenly.MemberId" value="0x68030088"', flush)
        self.assertIn('name="org.tavrenly.NonBrowsable" value="true"', flush)
        self.assertIn("Causes the soundcard buffers to be flushed", flush)

    def test_play_seek_fade_and_record_raise_events_in_order(self):
        path, player = self.create("Player")
        result, name = player.OpenAudio(self.tone)
        self.assertEqual((result, name), (0, self.tone))
        self.assertAlmostEqual(float(player.Get(PLAYER, "AudioLength",
                                                dbus_interface=dbus.PROPERTIES_IFACE)), 3.0, 2)
        props = dbus.Interface(player, dbus.PROPERTIES_IFACE)
        props.Set(PLAYER, "IntroEnd", dbus.Double(0.5))
        props.Set(PLAYER, "Extro", dbus.Double(2.5))
        # A fade from full to silence over the last half second, ending the item.
        ok, ref, _ = player.AddVolumeChangeEvent(dbus.Int16(7), 2.5, 0.4, 100.0, 0.0, -1.0, True,
                                                 False)
        self.assertEqual((bool(ok), int(ref)), (True, 7))
        self.assertEqual(player.PlayAudio(), 0)
        self.advance(1000)
        self.assertAlmostEqual(float(props.Get(PLAYER, "SecondsPlayed")), 1.0, 1)
        # The optional TotalFile left off comes back as its default.
        seeked, total = player.SeekTime(2.0, signature="d")
        self.assertEqual((bool(seeked), bool(total)), (True, False))
        self.advance(1500)
        self.assertEqual(int(props.Get(PLAYER, "Status")), 10)  # paused at the item's end
        self.assertEqual(player.CloseAudio(), 0)
        names = self.events.names(path)
        # The seek pauses and resumes, and announces again the markers before its target.
        self.assertEqual(names, ["Opened", "Playing", "IntroStartReached", "IntroEndReached",
                                 "Paused", "IntroStartReached", "IntroEndReached", "Playing",
                                 "VolumeChangeStartNotify", "ExtroReached",
                                 "VolumeChangeEndNotify", "AudioEndReached", "Paused", "Closed"])
        fade = [args for p, n, args in self.events.seen if p == path and n.startswith("Volume")]
        self.assertTrue(all(int(args[0]) == 7 for args in fade))

        rpath, recorder = self.create("Recorder")
        take = os.path.join(self.files.name, "take.wav")
        result = recorder.RecordAudioEx(take, 22050, dbus.Int16(1), dbus.Int16(1),
                                        dbus.Int16(0), 1.0, 0)
        self.assertEqual(result[0], 0)
        self.advance(1500)
        self.assertEqual(recorder.CloseRecording(True)[0], 0)
        names = self.events.names(rpath)
        self.assertEqual(names[:4] + names[-1:],
                         ["RecordOpen", "Recording", "Paused", "RecordingEndReached", "Closed"])
        with open(take, "rb") as f:
            data = f.read()
        size = int.from_bytes(data[data.index(b"data") + 4:][:4], "little")
        self.assertEqual(size, 22050 * 2)  # one second of mono 16-bit
        self.assertIn(b"cart", data)

    def test_playerctl_drives_the_player(self):
        path, player = self.create("Player")
        player.OpenAudio(self.tone)
        number = path.rsplit("/", 1)[1]

        def ctl(*args):
            return subprocess.run(["playerctl", "-p", "tavrenly.player" + number, *args],
                                  env=self.bus.env, check=True, capture_output=True,
                                  text=True).stdout.strip()

        self.assertEqual(ctl("metadata", "--format", "{{title}}|{{artist}}|{{mpris:length}}"),
                         "Morning Tone|Test Band|3000000")
        ctl("play")
        self.assertEqual(ctl("status"), "Playing")
        self.advance(1000)
        self.assertAlmostEqual(float(ctl("position")), 1.0, 2)
        ctl("position", "2.25")
        self.assertAlmostEqual(float(ctl("position")), 2.25, 2)
        ctl("pause")
        self.assertEqual(ctl("status"), "Paused")
        ctl("volume", "0.5")
        self.assertAlmostEqual(float(player.Get(PLAYER, "PlayVolume",
                                                dbus_interface=dbus.PROPERTIES_IFACE)), 50.0)

    def test_bad_calls_get_errors_and_the_service_goes_on(self):
        _, player = self.create("Player")
        props = dbus.Interface(player, dbus.PROPERTIES_IFACE)
        refused = [
            (lambda: player.SeekTime("far", signature="s"), "InvalidArgs"),
            (lambda: player.get_dbus_method("Rewind")(), "UnknownMethod"),
            (lambda: props.Get(PLAYER, "Tempo"), "UnknownProperty"),
            (lambda: props.Set(PLAYER, "AudioLength", dbus.Double(1)), "PropertyReadOnly"),
            (lambda: props.Set(PLAYER, "SampleRate", "fast"), "InvalidArgs"),
            (lambda: props.Set(PLAYER, "MaxLoopCount", dbus.Int32(70000)), "InvalidArgs"),
            (lambda: self.factory.Destroy("/org/tavrenly/Player/999", dbus_interface=FACTORY),
             "UnknownObject"),
        ]
        for call, error in refused:
            with self.assertRaises(dbus.DBusException) as caught:
                call()
            self.assertTrue(caught.exception.get_dbus_name().endswith(error),
                            caught.exception.get_dbus_name())
        # A file that does not open is the control's own refusal: a result, not an error.
        self.assertNotEqual(player.OpenAudio("/nonexistent.wav")[0], 0)
        self.assertEqual(int(props.Get(PLAYER, "Status")), 0)

    def test_two_clients_each_drive_their_own_player(self):
        other = self.bus.connect()
        other_events = Events(other)
        results = {}

        def play(client, key):
            factory = client.get_object(NAME, "/org/tavrenly")
            path = factory.CreatePlayer(dbus_interface=FACTORY)
            player = dbus.Interface(client.get_object(NAME, path), PLAYER)
            results[key] = (str(path), player.OpenAudio(self.tone)[0], player.PlayAudio())

        threads = [threading.Thread(target=play, args=(c, k))
                   for c, k in ((self.client, "a"), (other, "b"))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertNotEqual(results["a"][0], results["b"][0])
        for key, events in (("a", self.events), ("b", other_events)):
            path, opened, played = results[key]
            self.assertEqual((opened, played), (0, 0))
            self.assertEqual(events.names(path)[:3], ["Opened", "Playing"])
            self.factory.Destroy(path, dbus_interface=FACTORY)


if __name__ == "__main__":
    unittest.main()

# SPDX-License-Identifier: LGPL-2.1-or-later
"""A private session bus for one test run, with tavrenly serve activated on it on demand."""

import os
import struct
import subprocess
import tempfile

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

NAME = "org.tavrenly.Tavrenly"
FACTORY = "org.tavrenly.Factory"
PLAYER = "org.tavrenly.TavrenPlayer"
RECORDER = "org.tavrenly.TavrenRecorder"


class PrivateBus:
    """dbus-daemon with its own config: tavrenly serve --engine ENGINE as an activatable
    service, so the first call to the name starts it, as the installed service file does."""

    def __init__(self, program, engine="simulated"):
        self.folder = tempfile.TemporaryDirectory(prefix="tavrenly-dbus-")
        services = os.path.join(self.folder.name, "services")
        os.mkdir(services)
        with open(os.path.join(services, NAME + ".service"), "w") as f:
            f.write(f"[D-BUS Service]\nName={NAME}\nExec={program} serve --engine {engine}\n")
        config = os.path.join(self.folder.name, "session.conf")
        with open(config, "w") as f:
            f.write(f"""<busconfig><type>session</type>
<listen>unix:dir={self.folder.name}</listen><servicedir>{services}</servicedir>
<policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>""")
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--config-file", config, "--print-address=1", "--nofork"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.daemon.stdout.readline().strip()
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address)

    def connect(self):
        return dbus.bus.BusConnection(self.address)

    def close(self):
        try:
            bus = self.connect()
            bus.get_object(NAME, "/org/tavrenly").Quit(dbus_interface=FACTORY)
        except dbus.DBusException:
            pass
        self.daemon.terminate()
        self.daemon.wait(10)
        self.daemon.stdout.close()
        self.folder.cleanup()


def drain():
    """Delivers every message already received (signals sent before a reply come first)."""
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)


class Events:
    """Every signal of the controls' event interfaces on `bus`, as (path, name, args)."""

    def __init__(self, bus):
        self.seen = []
        for interface in (PLAYER + ".Events", RECORDER + ".Events"):
            bus.add_signal_receiver(self._add, dbus_interface=interface,
                                    member_keyword="member", path_keyword="path")

    def _add(self, *args, member=None, path=None):
        self.seen.append((str(path), str(member), [a for a in args]))

    def names(self, path, skip=("AudioPositionChanged", "AudioLevelChanged", "BufferRecieved",
                                "VolumeChangeNotify", "AudioVolumeChanged")):
        drain()
        return [name for p, name, _ in self.seen if p == path and name not in skip]


def make_tone(path, seconds, title=None, artist=None, rate=44100):
    """A stereo sine made by sox; with a title, a cart chunk (title at 4, artist at 68 of its
    2048 bytes) goes before the data chunk."""
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", "2", "-b", "16", path, "synth",
                    str(seconds), "sine", "440", "vol", "0.5"], check=True)
    if title is None:
        return
    with open(path, "rb") as f:
        data = f.read()
    chunks, at = [], 12
    while at + 8 <= len(data):
        ident, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        chunks.append((ident, data[at + 8:at + 8 + size]))
        at += 8 + size + (size & 1)
    cart = bytearray(2048)
    cart[0:4] = b"0101"
    cart[4:4 + len(title)] = title.encode()
    cart[68:68 + len(artist)] = artist.encode()
    body = b"WAVE"
    for ident, chunk in chunks:
        if ident == b"data":
            body += b"cart" + struct.pack("<I", len(cart)) + bytes(cart)
        body += ident + struct.pack("<I", len(chunk)) + chunk + (b"\0" if len(chunk) & 1 else b"")
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)

"""A notification server stand-in on a private session bus (python3-dbus, GLib loop).

    notification_server.py --address ADDR --log FILE [--no-screensaver]

Owns org.freedesktop.Notifications (and org.freedesktop.ScreenSaver unless told
not to), records every call as one JSON line in FILE ("call", its arguments,
"sender", and "id" for Notify), never expires a notification by itself, and
prints "READY" once it owns its names. A test drives it through
org.quillbox.TestServer on /org/freedesktop/Notifications
(dbus-send --bus=ADDR ...):

    Invoke(u id, s key)            ActionInvoked(id, key), then NotificationClosed(id, 2)
    InvokeAndKeep(u id, s key)     ActionInvoked(id, key) only: the notification stays shown
                                   (as dunst leaves one acted on from its menu)
    InvokeAsStranger(u id, s key)  ActionInvoked(id, key) sent by another bus client
"""

import argparse
import json
import sys

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NOTIFY = "org.freedesktop.Notifications"
SAVER = "org.freedesktop.ScreenSaver"
CONTROL = "org.quillbox.TestServer"


def plain(value):
    """dbus types as JSON values."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Array, list)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Byte, dbus.Int32, dbus.UInt32, dbus.Int64, dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.String):
        return str(value)
    return value


class Recorder:
    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")

    def write(self, call, sender, **members):
        line = {"call": call, "sender": str(sender)}
        line.update({k: plain(v) for k, v in members.items()})
        self.file.write(json.dumps(line, ensure_ascii=False) + "\n")
        self.file.flush()


class Notifications(dbus.service.Object):
    def __init__(self, bus, address, log):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.address = address
        self.log = log
        self.shown = set()
        self.next_id = 1

    @dbus.service.method(NOTIFY, in_signature="", out_signature="as", sender_keyword="sender")
    def GetCapabilities(self, sender=None):
        self.log.write("GetCapabilities", sender)
        return ["actions", "body", "body-markup"]

    @dbus.service.method(NOTIFY, in_signature="", out_signature="ssss", sender_keyword="sender")
    def GetServerInformation(self, sender=None):
        self.log.write("GetServerInformation", sender)
        return ("stand-in", "quillbox tests", "1", "1.2")

    @dbus.service.method(NOTIFY, in_signature="susssasa{sv}i", out_signature="u",
                         sender_keyword="sender")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout, sender=None):
        if replaces and replaces in self.shown:
            nid = int(replaces)
        else:
            nid = self.next_id
            self.next_id += 1
        self.shown.add(nid)
        self.log.write("Notify", sender, app=app, replaces=replaces, icon=icon, summary=summary,
                       body=body, actions=actions, hints=hints, timeout=timeout, id=nid)
        return nid

    @dbus.service.method(NOTIFY, in_signature="u", out_signature="", sender_keyword="sender")
    def CloseNotification(self, nid, sender=None):
        self.log.write("CloseNotification", sender, id=nid)
        if nid not in self.shown:
            raise dbus.exceptions.DBusException("no such notification",
                                                name=NOTIFY + ".Error.NotFound")
        self.shown.discard(nid)
        self.NotificationClosed(nid, 3)

    @dbus.service.signal(NOTIFY, signature="uu")
    def NotificationClosed(self, nid, reason):
        self.log.write("NotificationClosed", "", id=nid, reason=reason)

    @dbus.service.signal(NOTIFY, signature="us")
    def ActionInvoked(self, nid, key):
        self.log.write("ActionInvoked", "", id=nid, key=key)

    @dbus.service.method(CONTROL, in_signature="us", out_signature="")
    def Invoke(self, nid, key):
        self.ActionInvoked(nid, key)
        if nid in self.shown:  # a server takes a notification down once it is acted on
            self.shown.discard(nid)
            self.NotificationClosed(nid, 2)

    @dbus.service.method(CONTROL, in_signature="us", out_signature="")
    def InvokeAndKeep(self, nid, key):
        self.ActionInvoked(nid, key)

    @dbus.service.method(CONTROL, in_signature="us", out_signature="")
    def InvokeAsStranger(self, nid, key):
        stranger = dbus.bus.BusConnection(self.address)
        msg = dbus.lowlevel.SignalMessage("/org/freedesktop/Notifications", NOTIFY,
                                          "ActionInvoked")
        msg.append(dbus.UInt32(nid), dbus.String(key), signature="us")
        stranger.send_message(msg)
        # A round trip on the same connection: the bus has routed the signal once it answers.
        stranger.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetId", "", [])
        self.log.write("StrangerActionInvoked", stranger.get_unique_name(), id=nid, key=key)
        stranger.close()


class ScreenSaver(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, "/org/freedesktop/ScreenSaver")
        self.log = log
        self.next_cookie = 41

    @dbus.service.method(SAVER, in_signature="ss", out_signature="u", sender_keyword="sender")
    def Inhibit(self, app, reason, sender=None):
        self.next_cookie += 1
        self.log.write("Inhibit", sender, app=app, reason=reason, cookie=self.next_cookie)
        return self.next_cookie

    @dbus.service.method(SAVER, in_signature="u", out_signature="", sender_keyword="sender")
    def UnInhibit(self, cookie, sender=None):
        self.log.write("UnInhibit", sender, cookie=cookie)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--no-screensaver", action="store_true")
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.address)
    log = Recorder(args.log)
    keep = [dbus.service.BusName(NOTIFY, bus), Notifications(bus, args.address, log)]
    if not args.no_screensaver:
        keep += [dbus.service.BusName(SAVER, bus), ScreenSaver(bus, log)]
    print("READY", flush=True)
    GLib.MainLoop().run()
    return keep


if __name__ == "__main__":
    sys.exit(0 if main() else 1)

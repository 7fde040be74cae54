#!/usr/bin/env python3
"""A desktop portal of our own with the Screenshot interface, started by a private bus on the
first call to org.freedesktop.portal.Desktop (as the desktop's own portal is).

FOLDER is $LUMO_PORTAL_FOLDER, which the bus passes on. Each Screenshot call reads FOLDER/mode
and, as the real portal does, exports a Request object on the path the caller predicts from its
handle_token, returns its handle, then emits Response on it:
  taken    writes FOLDER/picture (the test's PNG) to a new file in FOLDER and answers 0 with
           its file:// uri; the name tells whether the call was interactive
  cancel   answers 1;  fail  answers 2;  nouri  answers 0 with no uri;  web  answers 0 with an
           https uri;  refuse  fails the call itself
  moved    exports the request elsewhere (as portals before 0.9 do) and answers as "taken",
           again and again, since the caller subscribes there only once it has the handle
  hang     writes FOLDER/asked and never answers
Request.Close writes FOLDER/closed. The service exits with its bus.
"""
import os
import shutil
import urllib.parse

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

FOLDER = os.environ["LUMO_PORTAL_FOLDER"]
REQUEST = "org.freedesktop.portal.Request"


def touch(name):
    open(os.path.join(FOLDER, name), "w").close()


class Request(dbus.service.Object):
    @dbus.service.method(REQUEST)
    def Close(self):
        touch("closed")
        self.remove_from_connection()

    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, response, results):
        pass


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if (interface, name) != ("org.freedesktop.portal.Screenshot", "version"):
            raise dbus.exceptions.DBusException("no such property",
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        return dbus.UInt32(2)

    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}",
                         out_signature="o", sender_keyword="sender")
    def Screenshot(self, parent_window, options, sender):
        with open(os.path.join(FOLDER, "mode")) as f:
            mode = f.read().strip()
        if mode == "refuse":
            raise dbus.exceptions.DBusException("screenshots are not allowed",
                                                name="org.freedesktop.portal.Error.NotAllowed")
        token = "elsewhere" if mode == "moved" else options["handle_token"]
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
            sender[1:].replace(".", "_"), token)
        request = Request(self.connection, path)
        if mode == "hang":
            touch("asked")
            return path
        results = {}
        if mode in ("taken", "moved"):
            file = os.path.join(FOLDER, "Screen Shot %s ü#1.png" % (
                "picked" if options.get("interactive") else "full"))
            shutil.copyfile(os.path.join(FOLDER, "picture"), file)
            results["uri"] = "file://" + urllib.parse.quote(file)
        elif mode == "web":
            results["uri"] = "https://example.com/shot.png"
        code = {"cancel": 1, "fail": 2}.get(mode, 0)
        # After the reply, as the real portal answers once the user is done.
        GLib.timeout_add(50 if mode == "moved" else 0,
                         lambda: request.Response(code, results) or mode == "moved")
        return path


DBusGMainLoop(set_as_default=True)
bus = dbus.StarterBus()
Portal(bus, "/org/freedesktop/portal/desktop")
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
GLib.MainLoop().run()

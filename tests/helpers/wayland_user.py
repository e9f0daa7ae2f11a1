#!/usr/bin/python3
"""A user at GNOME Shell under Wayland, on the session bus the Shell runs on:
  wayland_user.py windows            each window: "TITLE focus|- shown|hidden"
  wayland_user.py keys CHORD...      presses each chord (keysyms in hex joined by +) through
                                     Mutter's remote desktop, as a keyboard would
  wayland_user.py launch COMMAND...  a launcher window that, once a key reaches it, runs
                                     COMMAND with an activation token, as a dock or the
                                     Shell's own grid does
The Shell lists its windows only to its portal: on a private bus this script takes that name."""
import os
import subprocess
import sys
import time

import dbus


def windows():
    bus = dbus.SessionBus()
    bus.request_name("org.freedesktop.impl.portal.desktop.gnome")
    shell = bus.get_object("org.gnome.Shell.Introspect", "/org/gnome/Shell/Introspect")
    for props in shell.GetWindows(dbus_interface="org.gnome.Shell.Introspect").values():
        print(str(props.get("title", "")), "focus" if props["has-focus"] else "-",
              "hidden" if props["is-hidden"] else "shown")


def keys(chords):
    bus = dbus.SessionBus()
    name = "org.gnome.Mutter.RemoteDesktop"
    path = bus.get_object(name, "/org/gnome/Mutter/RemoteDesktop").CreateSession(
        dbus_interface=name)
    session = dbus.Interface(bus.get_object(name, path), name + ".Session")
    session.Start()
    for chord in chords:
        syms = [dbus.UInt32(int(k, 16)) for k in chord.split("+")]
        for sym in syms:
            session.NotifyKeyboardKeysym(sym, True)
        for sym in reversed(syms):
            session.NotifyKeyboardKeysym(sym, False)
    time.sleep(0.3)  # the keys reach the focused window before the virtual keyboard goes
    session.Stop()


def launch(command):
    import gi
    gi.require_version("Gtk", "4.0")
    from gi.repository import Gdk, Gio, GLib, Gtk

    app = Gtk.Application(application_id="ch.velmoralabs.tests.Launcher")

    def run(*_):
        # The token names the launcher's last input: the Shell lets the launched one take focus.
        info = Gio.AppInfo.create_from_commandline(
            command[0], "launched", Gio.AppInfoCreateFlags.SUPPORTS_STARTUP_NOTIFICATION)
        token = Gdk.Display.get_default().get_app_launch_context().get_startup_notify_id(info, [])
        subprocess.run(command, env=dict(os.environ, XDG_ACTIVATION_TOKEN=token or ""))
        app.quit()

    def activate(_):
        window = Gtk.ApplicationWindow(application=app, title="launcher")
        events = Gtk.EventControllerLegacy()  # its events carry no usable object in Python
        started = []
        events.connect("event", lambda *_: started or started.append(GLib.idle_add(run)) and False)
        window.add_controller(events)
        window.present()

    app.connect("activate", activate)
    app.run([])


verb, args = sys.argv[1], sys.argv[2:]
{"windows": lambda: windows(), "keys": lambda: keys(args), "launch": lambda: launch(args)}[verb]()

# SPDX-License-Identifier: GPL-3.0-or-later
"""A desktop notification service for the end-to-end scenarios.

Owns org.freedesktop.Notifications on the session bus and writes every notice it is sent to a
file, one JSON object a line, so a scenario can see what a user would have been shown.
Usage: notification_stub.py RECORD_FILE (run with a Python that has python3-dbus and -gi).
"""

import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_NAME = "org.freedesktop.Notifications"
OBJECT_PATH = "/org/freedesktop/Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, OBJECT_PATH)
        self.record = record
        self.next_id = 1

    @dbus.service.method(BUS_NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, icon, summary, body, actions, hints, timeout):
        with open(self.record, "a", encoding="utf-8") as record:
            record.write(json.dumps({"app": str(app_name), "summary": str(summary),
                                     "body": str(body)}, ensure_ascii=False) + "\n")
        self.next_id += 1
        return self.next_id - 1

    @dbus.service.method(BUS_NAME, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(BUS_NAME, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ["tavrick-e2e-notices", "tavrick", "1", "1.2"]

    @dbus.service.method(BUS_NAME, in_signature="u", out_signature="")
    def CloseNotification(self, notification_id):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
    service = Notifications(bus, sys.argv[1])
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, service


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Plays a desktop panel on the session bus, in its own process: the StatusNotifierWatcher that
items register with, and the host that reads an item and drives its dbusmenu, decoding the bus
with python3-dbus, apart from the product's own D-Bus types. Commands come one a line on stdin;
results go one a line to stdout. With --reader, a real desktop's watcher holds the item: its
first item is read as that desktop would."""
import json
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = 'org.kde.StatusNotifierWatcher'
ITEM = 'org.kde.StatusNotifierItem'
MENU = 'com.canonical.dbusmenu'
PROPERTIES = 'org.freedesktop.DBus.Properties'
ZERO = dbus.Int32(0, variant_level=1)  # the data of an event


def say(line):
    print(line, flush=True)


def compact(value):
    return json.dumps(value, separators=(',', ':'), ensure_ascii=False, sort_keys=True)


def shown_entry(props):
    """An entry as a user reads it: "---" for a separator, "(off)" after one not to be chosen."""
    if props.get('type') == 'separator':
        return '---'
    return str(props.get('label', '')) + ('' if props.get('enabled', True) else ' (off)')


def settle():
    """Handles what the item announced before its answers (queued while we waited)."""
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/StatusNotifierWatcher')
        self.service, self.path, self.tooltip_news = '', '/StatusNotifierItem', 0

    def entry(self):
        return self.service + self.path if self.service else ''

    def drop(self):
        """What a watcher does when it lets an item go (GNOME's, when it cannot read it)."""
        gone, self.service = self.entry(), ''
        self.StatusNotifierItemUnregistered(gone)

    @dbus.service.method(WATCHER, in_signature='s', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, item, sender=None):
        # A path is an item on the caller's own connection, a name an item at the usual path.
        self.service = sender if item.startswith('/') else item
        self.path = item if item.startswith('/') else '/StatusNotifierItem'
        say('registered ' + self.entry())
        self.StatusNotifierItemRegistered(self.entry())

    @dbus.service.method(WATCHER, in_signature='s')
    def RegisterStatusNotifierHost(self, _):
        pass

    @dbus.service.signal(WATCHER, signature='s')
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature='s')
    def StatusNotifierItemUnregistered(self, item):
        pass

    def properties(self):
        return {'IsStatusNotifierHostRegistered': dbus.Boolean(True),
                'ProtocolVersion': dbus.Int32(0),
                'RegisteredStatusNotifierItems': dbus.Array(
                    [self.entry()] if self.service else [], signature='s')}

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v')
    def Get(self, _, name):
        return self.properties()[name]

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}')
    def GetAll(self, _):
        return self.properties()


class Host:
    def __init__(self, bus, watcher):
        self.bus, self.watcher, self.ids, self.gnome, self.gnome_service = bus, watcher, {}, None, None

    def call(self, path, interface, method, signature='', args=()):
        path = self.watcher.path if path == '/StatusNotifierItem' else path
        return self.bus.call_blocking(self.watcher.service, path, interface, method, signature,
                                      args, timeout=5)

    def menu(self, method, signature='', args=()):
        return self.call('/MenuBar', MENU, method, signature, args)

    def run(self, line):
        command, _, rest = line.partition(' ')
        {'props': self.props, 'layout': self.layout, 'bad': self.bad,
         'click': lambda: self.event(self.ids.get(rest, 0), 'clicked', 'click'),
         'opened': lambda: self.event(0, 'opened', 'opened'),
         'groups': lambda: self.groups(self.ids.get(rest, 0)),
         'gnome-open': lambda: say('gnome-menu %s layouts:%d' % (
             self.gnome_menu().open(), self.gnome.layouts_read)),
         'gnome-click': lambda: say(
             'gnome-click ' + ('ok' if self.gnome_menu().click(rest) else 'missing')),
         # A submenu of the last opening, as GNOME shows it when the pointer reaches it.
         'gnome-submenu': lambda: say('gnome-submenu ' + self.gnome_menu().submenu(rest)),
         'tooltip-news': lambda: say('tooltip-news %d' % self.watcher.tooltip_news),
         'drop': self.watcher.drop,
         # Without a word, as a watcher that lost it.
         'forget': lambda: setattr(self.watcher, 'service', ''),
         'quit': loop.quit}.get(command, lambda: None)()

    def gnome_menu(self):
        """One GNOME menu per item: it follows the item's signals from its first opening on."""
        if self.gnome is None or self.gnome_service != self.watcher.service:
            if self.gnome is not None:
                self.gnome.stop()
            self.gnome, self.gnome_service = GnomeMenu(self), self.watcher.service
        return self.gnome

    def props(self):
        try:
            found = self.call('/StatusNotifierItem', PROPERTIES, 'GetAll', 's', (ITEM,))
        except dbus.DBusException as error:
            return say('props error ' + error.get_dbus_message())
        pixmaps = found.get('IconPixmap', [])
        shown = {key: str(found.get(key, '')) for key in (
            'Id', 'Category', 'Status', 'Title', 'IconName', 'IconThemePath', 'XAyatanaLabel',
            'XAyatanaLabelGuide')}
        shown.update({
            'ItemIsMenu': bool(found.get('ItemIsMenu', False)),
            'Menu': str(found.get('Menu', '')),
            'IconPixmapCount': len(pixmaps),
            'IconPixmapBytesRight': bool(pixmaps) and
            len(pixmaps[0][2]) == int(pixmaps[0][0]) * int(pixmaps[0][1]) * 4,
            'ToolTipDescription': str(found['ToolTip'][3]) if 'ToolTip' in found else ''})
        say('props ' + compact(shown))

    def layout(self):
        rebuilt = bool(self.menu('AboutToShow', 'i', (0,)))
        try:
            _, root = self.menu('GetLayout', 'iias', (0, -1, []))
        except dbus.DBusException as error:
            return say('layout error ' + error.get_dbus_message())
        items = []
        for child_id, props, _ in root[2]:
            if props.get('visible', True):
                items.append(shown_entry(props))
            self.ids[str(props.get('label', ''))] = int(child_id)
        say('layout %s %s' % ('rebuilt' if rebuilt else 'kept', compact(items)))

    def event(self, item, name, tag=None):
        """Whether the item took the event; said when tagged."""
        try:
            self.menu('Event', 'isvu', (item, name, ZERO, 0))
            taken = True
        except dbus.DBusException:
            taken = False
        if tag:
            say(tag + (' ok' if taken else ' error'))
        return taken

    def groups(self, item):
        """The group calls, as panels that batch their events use them, and introspection."""
        text = self.call('/MenuBar', 'org.freedesktop.DBus.Introspectable', 'Introspect')

        def ints(values):
            return ','.join(str(int(v)) for v in values)
        try:
            group = ints(self.menu('EventGroup', 'a(isvu)',
                                   ([(item, 'clicked', ZERO, 0), (9999, 'clicked', ZERO, 0)],)))
        except dbus.DBusException as error:
            group = error.get_dbus_name()
        try:
            updated, errors = self.menu('AboutToShowGroup', 'ai', ([0, 9999],))
            updated, errors = ints(updated), ints(errors)
        except dbus.DBusException as error:
            updated, errors = error.get_dbus_name(), ''
        introspected = [m for m in ('EventGroup', 'AboutToShowGroup', 'GetGroupProperties',
                                    'ItemsPropertiesUpdated', 'LayoutUpdated')
                        if 'name="%s"' % m in text]
        say('groups introspected:%s eventGroupErrors:%s updated:%s idErrors:%s'
            % (','.join(introspected), group, updated, errors))

    def bad(self):
        calls = [('/MenuBar', MENU, 'Event', 'isvu', (9999, 'clicked', ZERO, 0)),
                 ('/MenuBar', MENU, 'GetProperty', 'is', (9999, 'label')),
                 ('/MenuBar', MENU, 'GetLayout', 'iias', (4242, -1, [])),
                 ('/MenuBar', MENU, 'Event', 's', ('not an id',)),
                 ('/StatusNotifierItem', ITEM, 'Activate', 'ii', (1, 2))]  # valid: no error
        errors = 0
        for call in calls:
            try:
                self.call(*call)
            except dbus.DBusException:
                errors += 1
        say('bad %d' % errors)


class GnomeMenu:
    """The menu as GNOME's AppIndicator extension keeps it: the entries' types come from the
    layout, their labels and states from GetGroupProperties when an entry is first seen and
    afterwards only from ItemsPropertiesUpdated, applied while the menu is open; clicks go by id."""

    def __init__(self, host):
        self.host, self.order, self.props, self.layouts_read = host, [], {}, 0
        self.children = {}  # a submenu's entries, by its id
        self.active = self.layout_stale = self.items_stale = False
        service = host.watcher.service
        self.matches = [
            host.bus.add_signal_receiver(self.on_layout_updated, 'LayoutUpdated', MENU, service,
                                         '/MenuBar'),
            host.bus.add_signal_receiver(self.on_properties_updated, 'ItemsPropertiesUpdated',
                                         MENU, service, '/MenuBar')]

    def stop(self):
        for match in self.matches:
            match.remove()

    def read_layout(self):
        self.layouts_read += 1
        _, root = self.host.menu('GetLayout', 'iias', (0, -1, ['type', 'children-display']))
        fresh = []

        def walk(node):
            order = []
            for child_id, props, children in node[2]:
                child_id = int(child_id)
                order.append(child_id)
                if child_id not in self.props:
                    fresh.append(child_id)
                self.props.setdefault(child_id, {}).update(props)
                self.children[child_id] = walk((child_id, props, children))
            return order
        self.order = walk(root)
        if fresh:
            self.read_properties(fresh)
        self.layout_stale = False

    def read_properties(self, ids):
        for item_id, props in self.host.menu('GetGroupProperties', 'aias', (ids, [])):
            self.props[int(item_id)] = dict(props)

    def open(self):
        self.active = True
        if not self.order or self.layout_stale:
            self.read_layout()
        elif self.items_stale:
            self.read_properties(self.order)
        self.items_stale = False
        self.host.event(0, 'opened')
        if self.host.menu('AboutToShow', 'i', (0,)):
            self.read_layout()
        settle()
        shown = [shown_entry(self.props[i]) for i in self.order
                 if self.props[i].get('visible', True)]
        self.host.event(0, 'closed')
        self.active = False
        return compact(shown)

    def submenu(self, label):
        found = [i for i in self.order if self.props[i].get('label') == label]
        return compact([shown_entry(self.props[i]) for i in self.children.get(found[0], [])
                        if self.props[i].get('visible', True)] if found else [])

    def click(self, label):
        found = [i for i in self.order if self.props[i].get('label') == label]
        return bool(found) and self.host.event(found[0], 'clicked')

    def on_layout_updated(self, *_):
        if self.active:
            self.read_layout()
        else:
            self.layout_stale = True

    def on_properties_updated(self, updated, removed):
        if not self.active:
            self.items_stale = True
            return
        for item_id, props in updated:
            self.props.setdefault(int(item_id), {}).update(props)
        for item_id, keys in removed:
            for key in keys:
                self.props.get(int(item_id), {}).pop(key, None)


def main():
    global loop
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    if '--reader' in sys.argv:
        items = bus.call_blocking(WATCHER, '/StatusNotifierWatcher', PROPERTIES, 'Get', 'ss',
                                  (WATCHER, 'RegisteredStatusNotifierItems'), timeout=5)
        item = str(items[0]) if items else ''
        service, slash, path = item.partition('/')
        watcher.service = service[:-1] if service.endswith('@') else service  # GNOME: ":1.42@/…"
        watcher.path = slash + path if slash else '/StatusNotifierItem'
        say('reading ' + item)
    elif bus.request_name(WATCHER, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != \
            dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        say('cannot become the watcher')
        return 1
    bus.add_signal_receiver(lambda label, guide: say('label %s|%s' % (label, guide)),
                            'XAyatanaNewLabel', ITEM, path='/StatusNotifierItem')

    bus.add_signal_receiver(lambda: setattr(watcher, 'tooltip_news', watcher.tooltip_news + 1),
                            'NewToolTip', ITEM, path='/StatusNotifierItem')
    host = Host(bus, watcher)
    pending = b''

    def read(fd, _):
        nonlocal pending
        chunk = os.read(fd, 512)
        if not chunk:
            loop.quit()
            return False
        pending += chunk
        while b'\n' in pending:
            line, pending = pending.split(b'\n', 1)
            host.run(line.decode('utf-8'))
        return True
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, read)
    loop = GLib.MainLoop()
    say('ready')
    loop.run()
    return 0


loop = None
if __name__ == '__main__':
    sys.exit(main())

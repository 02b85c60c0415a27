#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end scenarios: the real Tavrick executable in a real X session with a real tray.

Usage: scenarios.py --program PATH --artifacts DIR SCENARIO

Each scenario starts its own X server (and tray host where it needs one), starts the program
with a private home and configuration folder, acts as a user would and checks what the user
sees and what lands on disk. A screenshot of the main window is kept in the artifacts folder.
Exit status 0 means the scenario passed; anything else failed and the output says why.
"""

import argparse
import json
import os
import re
import shutil
import signal
import sys
import time

import desktop as dt
from desktop import Desktop, HarnessError, ScenarioFailure, log, wait_until

SETTINGS_FILE = os.path.join("Tavrick", "Tavrick.ini")
AUTOSTART_ENTRY = os.path.join("autostart", "Tavrick.desktop")
# How long the program gets to show a reaction that a user would see at once.
PROMPT = 15


# ----- the settings store and the log-on entry, as files -----

def settings_path(desk):
    return os.path.join(desk.config_home, SETTINGS_FILE)


def store_settings(desk, sections):
    """Writes the settings file as the program would have left it after earlier runs."""
    path = settings_path(desk)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as ini:
        for section, values in sections.items():
            ini.write(f"[{section}]\n")
            for key, value in values.items():
                if any(c in value for c in ';,="\\') or value != value.strip():
                    raise HarnessError(f"cannot store {value!r} without quoting")
                ini.write(f"{key}={value}\n")
            ini.write("\n")


def stored_setting(desk, section, key):
    """The stored text, or None; section and key names compare without regard to case."""
    try:
        with open(settings_path(desk), encoding="utf-8") as ini:
            lines = ini.read().splitlines()
    except OSError:
        return None
    current = None
    for line in lines:
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].lower()
        elif "=" in line and current == section.lower():
            name, value = (part.strip() for part in line.split("=", 1))
            if name.lower() == key.lower():
                if len(value) >= 2 and value[0] == value[-1] == '"':
                    value = value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
                return value
    return None


def wait_for_setting(desk, section, key, expected):
    found = wait_until(lambda: stored_setting(desk, section, key) == expected, PROMPT)
    if not found:
        raise ScenarioFailure(
            f"the settings file {settings_path(desk)} does not hold [{section}] {key}="
            f"{expected!r} (it holds {stored_setting(desk, section, key)!r})")


def autostart_path(desk):
    return os.path.join(desk.config_home, AUTOSTART_ENTRY)


def desktop_entry(path):
    """The keys of a desktop entry's [Desktop Entry] group, or None when there is no file."""
    try:
        with open(path, encoding="utf-8") as entry:
            lines = entry.read().splitlines()
    except OSError:
        return None
    keys, in_group = {}, False
    for line in lines:
        if line.startswith("["):
            in_group = line.strip() == "[Desktop Entry]"
        elif in_group and "=" in line and not line.startswith("#"):
            name, value = line.split("=", 1)
            keys[name.strip()] = unescape_string(value.strip())
    return keys


def unescape_string(value):
    """A desktop entry string value with its escapes (\\s \\n \\t \\r \\\\) undone."""
    escapes = {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}
    text, i = "", 0
    while i < len(value):
        if value[i] == "\\" and i + 1 < len(value) and value[i + 1] in escapes:
            text += escapes[value[i + 1]]
            i += 2
        else:
            text += value[i]
            i += 1
    return text


def exec_program(exec_value):
    """The program an Exec value runs, with the desktop entry quoting rules undone."""
    if exec_value.startswith('env "'):
        exec_value = exec_value[len("env "):]
    if not exec_value.startswith('"'):
        return exec_value.split(" ", 1)[0]
    program, escaped = "", False
    for char in exec_value[1:]:
        if escaped:
            program, escaped = program + char, False
        elif char == "\\":
            escaped = True
        elif char == '"':
            return program.replace("%%", "%")
        else:
            program += char
    raise ScenarioFailure(f"the Exec value {exec_value!r} has an unterminated quote")


def autostart_enabled(desk):
    entry = desktop_entry(autostart_path(desk))
    if entry is None:
        return False
    return entry.get("Hidden", "false") != "true" and \
        entry.get("X-GNOME-Autostart-enabled", "true") != "false"


def require_autostart_for(desk, program):
    expected = os.path.realpath(program)

    def registered():
        entry = desktop_entry(autostart_path(desk))
        return autostart_enabled(desk) and exec_program(entry.get("Exec", "")) == expected

    if not wait_until(registered, PROMPT):
        entry = desktop_entry(autostart_path(desk))
        raise ScenarioFailure(
            f"the log-on entry {autostart_path(desk)} does not start {expected} "
            f"(entry: {entry})")


# ----- folder trees -----

def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def tree(folder):
    """Relative path -> file contents (None for a folder) of everything below `folder`."""
    found = {}
    for parent, folders, files in os.walk(folder):
        for name in folders:
            found[os.path.relpath(os.path.join(parent, name), folder)] = None
        for name in files:
            try:
                with open(os.path.join(parent, name), "rb") as data:
                    found[os.path.relpath(os.path.join(parent, name), folder)] = data.read()
            except FileNotFoundError:
                pass  # a copy's temporary file, renamed in the meantime
    return found


def missing_copies(source, destination):
    """What of the source tree is not yet in the destination, byte for byte."""
    there = tree(destination)
    return sorted(path for path, data in tree(source).items() if there.get(path, 0) != data)


# ----- scenarios -----

def open_desktop(desk, with_tray=True):
    desk.start_x_server()
    if with_tray:
        desk.start_tray_host()


def finish(desk, program):
    """Checks that the program ran clean: no sanitizer report in its output."""
    reports = desk.sanitizer_reports(program)
    if reports:
        raise ScenarioFailure("the program reported memory or undefined-behaviour faults:\n"
                              + "\n".join(reports[:10]))


def start_shown(desk, program_path, with_tray=True, wait_for_icon=False):
    """Opens the desktop, starts the program, waits for its window at the designed size and
    saves its first screenshot. Returns the program and its window."""
    open_desktop(desk, with_tray)
    program = desk.start_program(program_path)
    window = desk.wait_for_main_window(program)
    desk.require_client_size(window)
    if wait_for_icon:
        desk.wait_for_tray_icon(program)
    desk.rest_pointer(window)
    desk.wait_until_still(window)
    desk.screenshot(window, "main-window.png")
    return program, window


def open_tray_menu(desk, program, icon):
    """Right-clicks the tray icon and returns the menu that opens. Once it shows, the program
    has handled everything that came before the click."""
    before = set(desk.windows_of(program, visible_only=True))
    desk.click(*icon.centre(), button=3)

    def new_popup():
        fresh = set(desk.windows_of(program, visible_only=True)) - before
        return desk.window(fresh.pop()) if fresh else None

    menu = wait_until(new_popup, PROMPT)
    if not menu:
        raise ScenarioFailure("a right click on the tray icon opened no menu")
    log(f"tray menu open: {menu}")
    return menu


def close_tray_menu(desk, menu):
    desk.key("Escape")
    if not wait_until(lambda: not desk.is_viewable(menu.id), PROMPT):
        raise ScenarioFailure("the tray menu stayed open after Escape")


def require_only_the_icon(desk, program, icon, why):
    """Checks that `program` shows nothing outside the tray, using its tray menu as the sign
    that it has done whatever it would have shown at start-up."""
    menu = open_tray_menu(desk, program, icon)
    shown = [w for w in desk.shown_outside_tray(program) if w.id != menu.id]
    close_tray_menu(desk, menu)
    if shown:
        raise ScenarioFailure(f"{why}, yet the program shows windows: {shown}")


def first_start(desk, program_path):
    """Nothing stored: the window is shown, the icon sits in the tray, no log-on entry."""
    program, window = start_shown(desk, program_path, wait_for_icon=True)
    if program.poll() is not None:
        raise ScenarioFailure(f"the program exited with code {program.returncode}")
    autostart_folder = os.path.dirname(autostart_path(desk))
    for folder in (autostart_folder, autostart_folder + "-"):
        if os.path.exists(folder) and os.listdir(folder):
            raise ScenarioFailure(f"the first start wrote to {folder}: {os.listdir(folder)}")
    finish(desk, program)


def start_and_stop(desk, program_path):
    """Stored folders: Start backs up at once and turns into Stop; Stop backs up once more."""
    source = os.path.join(desk.root, "work")
    destination = os.path.join(desk.root, "backup")
    write_file(os.path.join(source, "plan.txt"), b"first draft\n")
    write_file(os.path.join(source, "报告", "季度.txt"), "第一季度\n".encode())
    write_file(os.path.join(source, "data", "deep", "numbers.bin"), os.urandom(70000))
    os.makedirs(os.path.join(source, "empty folder"))
    write_file(os.path.join(destination, "kept.txt"), b"only in the backup\n")
    store_settings(desk, {"Settings": {"txtSource": source, "txtDestination": destination}})

    program, window = start_shown(desk, program_path)
    if not missing_copies(source, destination):
        raise ScenarioFailure("the source was backed up before any Start")
    idle_button = desk.pixels(window, dt.CMD_START)

    log("click Start")
    desk.click_control(window, dt.CMD_START)
    if not wait_until(lambda: not missing_copies(source, destination), PROMPT):
        raise ScenarioFailure("Start did not back the source up at once; missing in the "
                              f"destination: {missing_copies(source, destination)}")
    if not os.path.exists(os.path.join(destination, "kept.txt")):
        raise ScenarioFailure("the backup deleted a file that exists only in the destination")
    desk.rest_pointer(window)
    if not wait_until(lambda: desk.pixels(window, dt.CMD_START) != idle_button, PROMPT):
        raise ScenarioFailure("the Start button looks as before the click: its caption did "
                              "not change to \"停止\"")
    desk.screenshot(window, "main-window-started.png")

    write_file(os.path.join(source, "added later.txt"), b"written while running\n")
    log("click Stop")
    desk.click_control(window, dt.CMD_START)
    if not wait_until(lambda: not missing_copies(source, destination), PROMPT):
        raise ScenarioFailure("Stop did not make its last backup: missing in the destination: "
                              f"{missing_copies(source, destination)}")
    desk.rest_pointer(window)
    if not wait_until(lambda: desk.pixels(window, dt.CMD_START) == idle_button, PROMPT):
        desk.screenshot(window, "main-window-stopped.png")
        raise ScenarioFailure("after Stop the Start button does not look as it did before "
                              "Start: its caption did not return to \"开始\"")
    finish(desk, program)


def tray_menu_and_exit(desk, program_path):
    """Hidden start; a double-click on the icon shows the window; the menu's Exit ends it."""
    store_settings(desk, {"start": {"hide": "1"}})
    open_desktop(desk)
    program = desk.start_program(program_path)
    icon = desk.wait_for_tray_icon(program)

    log("single left click on the tray icon")
    desk.click(*icon.centre())
    require_only_the_icon(desk, program, icon,
                          "\"hide\" is stored as \"1\" and the icon was only clicked once")

    log("left double-click on the tray icon")
    desk.click(*icon.centre(), repeat=2)
    window = desk.wait_for_main_window(program, timeout=PROMPT)
    desk.rest_pointer(window)
    desk.wait_until_still(window)
    desk.screenshot(window, "main-window.png")

    log("right click on the tray icon")
    menu = open_tray_menu(desk, program, icon)
    desk.screenshot(menu, "tray-menu.png")

    log("choose the menu's last item, \"退出\"")
    desk.key("Up", "Return")
    code = desk.wait_for_exit(program, PROMPT)
    if code is None:
        raise ScenarioFailure("the program still runs after \"退出\" was chosen")
    if code != 0:
        raise ScenarioFailure(f"the program ended with code {code} after \"退出\"")
    if not wait_until(lambda: icon.id not in desk.embedded_windows(), PROMPT):
        raise ScenarioFailure("the tray icon is still in the tray after the program ended")
    finish(desk, program)


def hide_then_start_hidden(desk, program_path):
    """The Hide button hides the window and makes the next start a hidden one."""
    program, window = start_shown(desk, program_path, wait_for_icon=True)

    log("click Hide")
    desk.click_control(window, dt.CMD_HIDE)
    if not wait_until(lambda: not desk.is_viewable(window.id), PROMPT):
        raise ScenarioFailure("the window is still shown after a click on \"隐藏\"")
    if program.poll() is not None:
        raise ScenarioFailure(f"the program exited with code {program.returncode} on Hide")
    wait_for_setting(desk, "start", "hide", "1")
    finish(desk, program)
    desk.stop(program)

    log("start again")
    program = desk.start_program(program_path, "tavrick-second-start.log")
    icon = desk.wait_for_tray_icon(program)
    require_only_the_icon(desk, program, icon, "Hide was used before this start")
    if program.poll() is not None:
        raise ScenarioFailure(f"the hidden program exited with code {program.returncode}")
    finish(desk, program)


def start_with_logon(desk, program_path):
    """The start-with-log-on box writes and removes the log-on entry; a start refreshes it."""
    program, window = start_shown(desk, program_path)

    log("check the start-with-log-on box")
    desk.click_control(window, dt.CHK_START_WITH_LOGON)
    require_autostart_for(desk, program_path)
    wait_for_setting(desk, "start", "autoBoot", "1")
    desk.rest_pointer(window)
    desk.wait_until_still(window)
    desk.screenshot(window, "main-window-start-with-logon.png")

    log("uncheck it")
    desk.click_control(window, dt.CHK_START_WITH_LOGON)
    if not wait_until(lambda: not autostart_enabled(desk), PROMPT):
        raise ScenarioFailure(f"unchecking the box left the log-on entry "
                              f"{autostart_path(desk)} active")
    wait_for_setting(desk, "start", "autoBoot", "0")
    finish(desk, program)
    desk.stop(program)

    # A user who moved the program finds the entry pointing at the new place after one start.
    moved = os.path.join(desk.root, "moved here", os.path.basename(program_path))
    os.makedirs(os.path.dirname(moved))
    shutil.copy2(program_path, moved)
    store_settings(desk, {"start": {"autoBoot": "1"}})
    log(f"start the program moved to {moved}")
    program = desk.start_program(moved, "tavrick-moved.log")
    desk.wait_for_main_window(program)
    require_autostart_for(desk, moved)
    finish(desk, program)


def no_tray_host(desk, program_path):
    """Without a tray the window is shown even when the user chose to start hidden."""
    store_settings(desk, {"start": {"hide": "1"}})
    program, window = start_shown(desk, program_path, with_tray=False)
    if program.poll() is not None:
        raise ScenarioFailure(f"the program exited with code {program.returncode}")
    finish(desk, program)


def single_instance(desk, program_path):
    """A second start brings the running program's window to the front and ends; a crash
    leaves nothing that blocks the next start."""
    store_settings(desk, {"start": {"hide": "1"}})
    open_desktop(desk)
    first = desk.start_program(program_path)
    icon = desk.wait_for_tray_icon(first)

    log("start the program a second time")
    second = desk.start_program(program_path, "tavrick-second.log")
    code = desk.wait_for_exit(second, PROMPT)
    if code is None:
        raise ScenarioFailure("a second start of the program keeps running beside the first")
    if code != 0:
        raise ScenarioFailure(f"the second start ended with code {code}")
    desk.wait_for_main_window(first, timeout=PROMPT)
    if icon.id not in desk.embedded_windows():
        raise ScenarioFailure("the running program's tray icon went away")
    finish(desk, second)
    finish(desk, first)

    log("end the first program as a crash would, then start again")
    first.kill()
    first.wait()
    third = desk.start_program(program_path, "tavrick-after-crash.log")
    # It starts hidden, as stored: its own tray icon shows it is the one running now.
    desk.wait_for_tray_icon(third)
    if third.poll() is not None:
        raise ScenarioFailure(f"the start after a crash ended with code {third.returncode}")
    finish(desk, third)


def tray_while_a_box_is_open(desk, program_path):
    """While a message box waits for OK, the tray menu opens and the window can be closed."""
    source = os.path.join(desk.root, "watched")
    destination = os.path.join(desk.root, "backup")
    os.makedirs(source)
    store_settings(desk, {"Settings": {"txtSource": source, "txtDestination": destination,
                                       "chkFolderChange": "1"}})
    program, window = start_shown(desk, program_path, wait_for_icon=True)
    icon = desk.tray_icons_of(program)[0]

    log("click Start: the watch announces itself in a box")
    desk.click_control(window, dt.CMD_START)
    boxes = wait_until(lambda: desk.windows_of(program, visible_only=True, name="提示"), PROMPT)
    if not boxes:
        raise ScenarioFailure("Start in watch mode showed no message box")
    desk.screenshot(desk.window(boxes[0]), "watch-message.png")

    log("right click on the tray icon while the box is open")
    menu = open_tray_menu(desk, program, icon)
    close_tray_menu(desk, menu)

    log("close the main window while the box is open")
    desk.request_close(window)
    code = desk.wait_for_exit(program, PROMPT)
    if code is None:
        raise ScenarioFailure("the program still runs after its window was closed while a "
                              "message box was open")
    if code != 0:
        raise ScenarioFailure(f"the program ended with code {code} after the close")
    finish(desk, program)


def folder_picker_gives_way(desk, program_path):
    """While the folder picker is open, the tray menu opens and the window can be closed."""
    program, window = start_shown(desk, program_path, wait_for_icon=True)
    icon = desk.tray_icons_of(program)[0]

    log("click the source folder's \"...\"")
    before = set(desk.windows_of(program, visible_only=True))
    desk.click_control(window, dt.COMMAND1)
    if not wait_until(lambda: set(desk.windows_of(program, visible_only=True)) - before, PROMPT):
        raise ScenarioFailure("the \"...\" button opened no folder picker")
    desk.screenshot_screen("folder-picker.png")

    log("right click on the tray icon while the picker is open")
    menu = open_tray_menu(desk, program, icon)
    close_tray_menu(desk, menu)

    log("close the main window while the picker is open")
    desk.request_close(window)
    code = desk.wait_for_exit(program, PROMPT)
    if code is None:
        raise ScenarioFailure("the program still runs after its window was closed while the "
                              "folder picker was open")
    if code != 0:
        raise ScenarioFailure(f"the program ended with code {code} after the close")
    finish(desk, program)


def open_status_notifier_desktop(desk, notices=None):
    """X, a private session bus, lxqt-panel as the tray and, when asked, a notification
    service that records into `notices`."""
    desk.start_x_server()
    desk.start_session_bus()
    desk.start_status_notifier_host()
    if notices:
        desk.start_notification_service(notices)


def wait_for_status_notifier_item(desk):
    items = wait_until(desk.status_notifier_items, PROMPT)
    if not items:
        raise ScenarioFailure("the program's tray icon did not register with the "
                              "StatusNotifierItem host")
    log(f"status notifier item: {items[0]}")
    return items[0]


def exported_menu(desk, item):
    """The path of the item's exported menu and its entries' labels by id."""
    answer = desk.bus_call(*item, "org.freedesktop.DBus.Properties.Get",
                           "org.kde.StatusNotifierItem", "Menu") or ""
    path = re.search(r"'(/[^']*)'", answer)
    if not path or path.group(1) == "/NO_DBUSMENU":
        raise ScenarioFailure(f"the item exports no menu (Menu is {answer!r})")
    layout = desk.bus_call(item[0], path.group(1), "com.canonical.dbusmenu.GetLayout",
                           "0", "-1", "[]") or ""
    labels = {label: int(entry) for entry, label in
              re.findall(r"\((\d+), \{[^{}]*'label': <'([^']*)'>", layout)}
    return path.group(1), labels


def status_notifier_menu(desk, program_path):
    """Under a StatusNotifierItem host the item exports the tray menu, answers the host's
    calls at once, and the exported menu's items work."""
    store_settings(desk, {"start": {"hide": "1"}})
    open_status_notifier_desktop(desk)
    program = desk.start_program(program_path)
    item = wait_for_status_notifier_item(desk)
    desk.screenshot_screen("status-notifier-item.png")

    menu_path, labels = exported_menu(desk, item)
    for caption in ("开始监视", "停止监视", "显示界面", "隐藏界面", "退出"):
        if caption not in labels:
            raise ScenarioFailure(f"the exported menu lacks \"{caption}\": {sorted(labels)}")

    log("the host asks for the context menu; the call must be answered at once")
    before = set(desk.windows_of(program, visible_only=True))
    if desk.bus_call(*item, "org.kde.StatusNotifierItem.ContextMenu", "10", "10",
                     timeout=PROMPT) is None:
        raise ScenarioFailure("the item did not answer the host's ContextMenu call")
    popup = wait_until(lambda: set(desk.windows_of(program, visible_only=True)) - before, PROMPT)
    if not popup:
        raise ScenarioFailure("the ContextMenu call opened no menu")
    desk.screenshot_screen("status-notifier-context-menu.png")
    desk.key("Escape")

    log("choose \"显示界面\" in the exported menu")
    desk.bus_call(item[0], menu_path, "com.canonical.dbusmenu.Event",
                  str(labels["显示界面"]), "clicked", "<0>", "uint32 0")
    window = desk.wait_for_main_window(program, timeout=PROMPT)
    desk.rest_pointer(window)
    desk.wait_until_still(window)
    desk.screenshot(window, "main-window.png")

    log("choose \"退出\" in the exported menu")
    desk.bus_call(item[0], menu_path, "com.canonical.dbusmenu.Event",
                  str(labels["退出"]), "clicked", "<0>", "uint32 0")
    code = desk.wait_for_exit(program, PROMPT)
    if code != 0:
        raise ScenarioFailure(f"after \"退出\" the program ended with code {code}")
    finish(desk, program)


def failure_notice(desk, program_path):
    """A run that cannot reach its source brings a desktop notice, the tool tip says so and
    the run log has the run and its failure."""
    notices = os.path.join(desk.root, "notices.jsonl")
    source = os.path.join(desk.root, "unplugged", "work")
    destination = os.path.join(desk.root, "backup")
    store_settings(desk, {"Settings": {"txtSource": source, "txtDestination": destination}})
    open_status_notifier_desktop(desk, notices)
    program = desk.start_program(program_path)
    window = desk.wait_for_main_window(program)
    item = wait_for_status_notifier_item(desk)

    log("click Start with a source folder that is not there")
    desk.click_control(window, dt.CMD_START)

    def recorded():
        if not os.path.exists(notices):
            return []
        with open(notices, encoding="utf-8") as record:
            return [json.loads(line) for line in record if line.strip()]

    shown = wait_until(recorded, PROMPT)
    if not shown:
        raise ScenarioFailure("the failed run brought no desktop notice")
    log(f"notice: {shown[0]}")
    if shown[0]["summary"] != "无法访问备份文件夹" or source not in shown[0]["body"]:
        raise ScenarioFailure(f"the notice does not name the unreachable folder: {shown[0]}")
    with open(os.path.join(desk.artifacts, "notices.jsonl"), "w", encoding="utf-8") as copy:
        copy.write("".join(json.dumps(n, ensure_ascii=False) + "\n" for n in shown))

    def tool_tip():
        return desk.bus_call(*item, "org.freedesktop.DBus.Properties.Get",
                             "org.kde.StatusNotifierItem", "ToolTip") or ""

    # While the notice is up, Qt gives the host the notice as the item's tool tip.
    if not wait_until(lambda: "文件检视中..." in tool_tip(), 25):
        raise ScenarioFailure(f"the tool tip did not return to its own text: {tool_tip()}")
    tool_tip = tool_tip()
    log(f"tool tip: {tool_tip}")
    if "上次备份有 1 个项目未能复制." not in tool_tip:
        raise ScenarioFailure(f"the tool tip does not tell of the failure: {tool_tip}")
    with open(os.path.join(desk.artifacts, "tool-tip.txt"), "w", encoding="utf-8") as copy:
        copy.write(tool_tip + "\n")

    run_log = os.path.join(desk.home, ".local", "state", "Tavrick", "runs.log")
    lines = wait_until(lambda: os.path.exists(run_log) and open(run_log, encoding="utf-8")
                       .read().splitlines(), PROMPT)
    if not lines or " Start: " not in lines[0] or not lines[1].startswith("  failed " + source):
        raise ScenarioFailure(f"the run log does not show the run and its failure: {lines}")
    shutil.copy(run_log, os.path.join(desk.artifacts, "runs.log"))

    log("hover the tray icon for its tool tip")
    # The panel holds only the status notifier, whose icons start at its left end.
    for x in range(2, 20, 3):
        desk.move_pointer(x, 768 - 16)
    time.sleep(1.5)  # only for the picture: nothing is decided by it
    desk.screenshot_screen("tray-tool-tip.png")
    desk.screenshot(window, "main-window-after-failure.png")
    finish(desk, program)


SCENARIOS = {
    "first_start": first_start,
    "start_and_stop": start_and_stop,
    "tray_menu_and_exit": tray_menu_and_exit,
    "hide_then_start_hidden": hide_then_start_hidden,
    "start_with_logon": start_with_logon,
    "no_tray_host": no_tray_host,
    "single_instance": single_instance,
    "tray_while_a_box_is_open": tray_while_a_box_is_open,
    "folder_picker_gives_way": folder_picker_gives_way,
    "status_notifier_menu": status_notifier_menu,
    "failure_notice": failure_notice,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the Tavrick executable")
    parser.add_argument("--artifacts", required=True, help="folder for screenshots and logs")
    parser.add_argument("--time-limit", type=int, default=90,
                        help="seconds the scenario may take before it counts as failed")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()

    def out_of_time(signum, frame):
        raise ScenarioFailure(f"the scenario did not finish within {args.time_limit} s")

    def terminated(signum, frame):
        raise HarnessError(f"the harness was stopped by signal {signum}")

    signal.signal(signal.SIGALRM, out_of_time)
    signal.signal(signal.SIGTERM, terminated)
    signal.alarm(args.time_limit)

    artifacts = os.path.join(args.artifacts, args.scenario)
    shutil.rmtree(artifacts, ignore_errors=True)
    desk = Desktop(artifacts)
    try:
        SCENARIOS[args.scenario](desk, os.path.abspath(args.program))
    except HarnessError as error:
        print(f"E2E SET-UP FAILED ({args.scenario}): {error}", flush=True)
        return 2
    except ScenarioFailure as error:
        print(f"E2E FAILED ({args.scenario}): {error}", flush=True)
        print(f"logs and screenshots: {artifacts}", flush=True)
        for name in sorted(os.listdir(artifacts)):
            if name.startswith("tavrick") and name.endswith(".log"):
                with open(os.path.join(artifacts, name), "rb") as program_log:
                    text = program_log.read().decode("utf-8", "replace").strip()
                if text:
                    print(f"--- {name} (last lines) ---\n" + "\n".join(text.splitlines()[-30:]))
        return 1
    finally:
        signal.alarm(0)
        desk.close()
    print(f"E2E PASSED ({args.scenario}); screenshots in {artifacts}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

# SPDX-License-Identifier: GPL-3.0-or-later
"""A private X desktop for driving the real Tavrick executable.

Starts a virtual X server (Xvfb), optionally a system tray host (trayer) and the program under
test with a private home, configuration and runtime folder, and gives the scenarios what a user
has: the pointer (xdotool), the sight of windows (xwininfo, ImageMagick's import) and the files
on disk. Every process started here dies with the harness, also when the harness is killed.
"""

import ctypes
import ctypes.util
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

# The main window's client area and the controls the scenarios click, in logical pixels
# (the window's design twips divided by 15).
CLIENT_SIZE = (395, 205)
CMD_START = (256, 129, 121, 25)
CMD_HIDE = (352, 8, 33, 25)
# The source folder's "..." button, inside the folders frame.
COMMAND1 = (338, 53, 31, 25)
CHK_START_WITH_LOGON = (8, 136, 177, 17)
# A spot inside the window over no control, where the pointer rests while the window is looked at.
RESTING_SPOT = (220, 150)

WINDOW_CAPTION = "Orlenby"
PROGRAM_NAME = "Tavrick"

_PR_SET_PDEATHSIG = 1
_CLIENT_MESSAGE = 33


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


class HarnessError(Exception):
    """The desktop itself could not be set up; says which part failed."""


class ScenarioFailure(Exception):
    """The program did not do what a user expects."""


def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _require_tool(tool, package, role):
    if shutil.which(tool) is None:
        raise HarnessError(
            f"{role} could not start: '{tool}' is not installed (package {package}; "
            "bash scripts/install-deps.sh installs it)")


def wait_until(condition, timeout, interval=0.1):
    """Polls `condition` until it returns something true or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() >= deadline:
            return result
        time.sleep(interval)


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


class Window:
    """An X window's id and its absolute geometry."""

    def __init__(self, window_id, x, y, width, height):
        self.id = window_id
        self.x, self.y, self.width, self.height = x, y, width, height

    def centre(self):
        return self.x + self.width // 2, self.y + self.height // 2

    def __repr__(self):
        return f"window {self.id:#x} {self.width}x{self.height}+{self.x}+{self.y}"


class Desktop:
    """One X server with its processes, a scratch root and a folder for artifacts."""

    def __init__(self, artifacts):
        self.artifacts = artifacts
        os.makedirs(artifacts, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="tavrick-e2e-")
        self.home = os.path.join(self.root, "home")
        self.config_home = os.path.join(self.home, ".config")
        self.runtime_dir = os.path.join(self.root, "runtime")
        os.makedirs(self.config_home)
        os.makedirs(self.runtime_dir, mode=0o700)
        os.chmod(self.runtime_dir, 0o700)
        self.display = None
        self.bus_address = None
        self._processes = []
        self._logs = []

    # ----- processes -----

    def _spawn(self, argv, log_name, env=None, pass_fds=()):
        log_path = os.path.join(self.artifacts, log_name)
        log_file = open(log_path, "wb")
        self._logs.append(log_file)
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log_file,
                                   stderr=subprocess.STDOUT, env=env, pass_fds=pass_fds,
                                   preexec_fn=_die_with_parent)
        process.log_path = log_path
        self._processes.append(process)
        return process

    def base_environment(self):
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("DBUS_", "WAYLAND_", "XDG_", "QT_", "DESKTOP_SESSION"))}
        env.update({
            "DISPLAY": self.display or "",
            "HOME": self.home,
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_RUNTIME_DIR": self.runtime_dir,
            # No session bus unless a scenario starts its own: Qt then shows its tray icon
            # through XEmbed, in trayer, and no bus daemon is auto-launched behind the
            # harness's back.
            "DBUS_SESSION_BUS_ADDRESS": self.bus_address
            or "unix:path=" + os.path.join(self.runtime_dir, "no-bus"),
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        env.pop("XAUTHORITY", None)
        return env

    def stop(self, process, grace=3.0):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def close(self, keep_root=False):
        for process in reversed(self._processes):
            self.stop(process)
        for log_file in self._logs:
            log_file.close()
        if not keep_root:
            shutil.rmtree(self.root, ignore_errors=True)

    # ----- the X server -----

    def start_x_server(self, timeout=15):
        _require_tool("Xvfb", "xvfb", "The X server (Xvfb)")
        for tool, package in (("xdotool", "xdotool"), ("xwininfo", "x11-utils"),
                              ("import", "imagemagick")):
            _require_tool(tool, package, f"The desktop tooling ({tool})")
        read_end, write_end = os.pipe()
        try:
            server = self._spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                  "1024x768x24", "-nolisten", "tcp", "-noreset"],
                                 "xvfb.log", pass_fds=(write_end,))
        finally:
            os.close(write_end)
        number = b""
        deadline = time.monotonic() + timeout
        try:
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                    raise HarnessError(
                        f"The X server (Xvfb) could not start: no display within {timeout} s"
                        + self._tail(server))
                chunk = os.read(read_end, 16)
                if not chunk:
                    server.wait(2)
                    raise HarnessError(
                        f"The X server (Xvfb) could not start: it exited with code "
                        f"{server.returncode}" + self._tail(server))
                number += chunk
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()
        log(f"X server ready on display {self.display}")
        return server

    # ----- the tray host -----

    def start_tray_host(self, timeout=15):
        _require_tool("trayer", "trayer", "The tray host (trayer)")
        host = self._spawn(["trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                            "request", "--height", "32", "--SetDockType", "false",
                            "--SetPartialStrut", "false", "--transparent", "false"],
                           "trayer.log", env=self.base_environment())
        panel = wait_until(lambda: host.poll() is None and self._tray_panel(), timeout)
        if not panel:
            if host.poll() is not None:
                reason = f"it exited with code {host.returncode}"
            else:
                reason = f"its panel window did not appear within {timeout} s"
            raise HarnessError(f"The tray host (trayer) could not start: {reason}"
                               + self._tail(host))
        self.tray_panel = panel
        log(f"tray host ready: panel {panel}")
        return host

    def _tray_panel(self):
        # xdotool matches one pattern against the chosen fields: find trayer's windows by
        # class, then its panel by name.
        for window_id in self.xdotool("search", "--onlyvisible", "--class", "^trayer$",
                                      check=False).split():
            if self.xdotool("getwindowname", window_id, check=False).strip() == "panel":
                return self.window(int(window_id))
        return None

    def embedded_windows(self):
        """The ids of every window inside the tray host's panel."""
        panel_tree = self.run(["xwininfo", "-tree", "-id", hex(self.tray_panel.id)],
                              check=False)
        return {int(match, 16)
                for match in re.findall(r"^\s+(0x[0-9a-f]+)\s", panel_tree, re.MULTILINE)}

    def tray_icons_of(self, process):
        """The windows of `process` embedded in the tray host's panel."""
        embedded = self.embedded_windows()
        return [self.window(window_id) for window_id in self.windows_of(process)
                if window_id in embedded]

    def shown_outside_tray(self, process):
        """The visible windows of `process` that are not in the tray host's panel."""
        embedded = self.embedded_windows()
        return [self.window(window_id)
                for window_id in self.windows_of(process, visible_only=True)
                if window_id not in embedded]

    def wait_for_tray_icon(self, process, timeout=20):
        icons = wait_until(lambda: self.tray_icons_of(process), timeout)
        if not icons:
            raise ScenarioFailure(
                f"the program's tray icon was not embedded in the tray host within {timeout} s")
        log(f"tray icon embedded: {icons[0]}")
        return icons[0]

    # ----- a private session bus, a StatusNotifierItem host, a notification service -----

    def start_session_bus(self, timeout=15):
        _require_tool("dbus-daemon", "dbus", "The session bus (dbus-daemon)")
        _require_tool("gdbus", "libglib2.0-bin", "The bus tooling (gdbus)")
        address = "unix:path=" + os.path.join(self.runtime_dir, "bus")
        daemon = self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                              "--address=" + address], "dbus.log",
                             env=self.base_environment())
        self.bus_address = address
        if not wait_until(lambda: self.bus_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus.GetId"), timeout):
            raise HarnessError("The session bus (dbus-daemon) could not start"
                               + self._tail(daemon))
        log(f"session bus ready at {address}")
        return daemon

    def bus_call(self, destination, path, method, *arguments, timeout=5):
        """Calls a method on the session bus; its printed answer, or None when it failed or
        was not answered within `timeout` seconds."""
        result = subprocess.run(
            ["gdbus", "call", "--session", "--dest", destination, "--object-path", path,
             "--timeout", str(timeout), "--method", method, "--", *arguments],
            env=self.base_environment(), capture_output=True, text=True, check=False)
        return result.stdout.strip() if result.returncode == 0 else None

    def start_status_notifier_host(self, timeout=20):
        """lxqt-panel with only its status notifier: the host of KDE, LXQt and XFCE's tray."""
        _require_tool("lxqt-panel", "lxqt-panel", "The StatusNotifierItem host (lxqt-panel)")
        os.makedirs(os.path.join(self.config_home, "lxqt"), exist_ok=True)
        with open(os.path.join(self.config_home, "lxqt", "panel.conf"), "w") as config:
            config.write("[General]\n__userfile__=true\n\n[panel1]\nplugins=statusnotifier\n"
                         "position=Bottom\npanelSize=32\niconSize=22\n\n"
                         "[statusnotifier]\ntype=statusnotifier\n")
        host = self._spawn(["lxqt-panel"], "lxqt-panel.log", env=self.base_environment())
        registered = wait_until(lambda: "true" in (self.bus_call(
            "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
            "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierWatcher",
            "IsStatusNotifierHostRegistered") or ""), timeout)
        if not registered:
            raise HarnessError("The StatusNotifierItem host (lxqt-panel) registered no host "
                               f"within {timeout} s" + self._tail(host))
        log("status notifier host ready")
        return host

    def status_notifier_items(self):
        """(bus name, object path) of every item the host has taken in."""
        answer = self.bus_call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                               "org.freedesktop.DBus.Properties.Get",
                               "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")
        items = []
        for entry in re.findall(r"'([^']+)'", answer or ""):
            name, _, path = entry.partition("/")
            items.append((name, "/" + path if path else "/StatusNotifierItem"))
        return items

    def start_notification_service(self, record, timeout=15):
        """A stub org.freedesktop.Notifications that writes every notice into `record`."""
        python = "/usr/bin/python3"
        stub = os.path.join(os.path.dirname(os.path.abspath(__file__)), "notification_stub.py")
        service = self._spawn([python, stub, record], "notifications.log",
                              env=self.base_environment())
        if not wait_until(lambda: "true" in (self.bus_call(
                "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.Notifications") or ""),
                timeout):
            raise HarnessError("The notification service stub could not start (it needs "
                               "python3-dbus and python3-gi)" + self._tail(service))
        log("notification service ready")
        return service

    def screenshot_screen(self, name):
        path = os.path.join(self.artifacts, name)
        self.run(["import", "-window", "root", path])
        log(f"screenshot {path}")
        return path

    # ----- the program -----

    def start_program(self, program, log_name="tavrick.log"):
        env = self.base_environment()
        env["QT_QPA_PLATFORM"] = "xcb"
        # The program under test may be the sanitizer build; its leak report at exit is not
        # what these scenarios check.
        env["ASAN_OPTIONS"] = ":".join(
            filter(None, [os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
        process = self._spawn([program], log_name, env=env)
        log(f"started {program} (pid {process.pid})")
        return process

    def sanitizer_reports(self, process):
        with open(process.log_path, "rb") as log_file:
            text = log_file.read().decode("utf-8", "replace")
        markers = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
        return [line for line in text.splitlines() if any(m in line for m in markers)]

    def windows_of(self, process, visible_only=False, name=None):
        argv = ["search", "--pid", str(process.pid)]
        if visible_only:
            argv.append("--onlyvisible")
        if name is not None:
            argv += ["--all", "--name", f"^{re.escape(name)}$"]
        return [int(w) for w in self.xdotool(*argv, check=False).split()]

    def main_window(self, process):
        ids = self.windows_of(process, visible_only=True, name=WINDOW_CAPTION)
        return self.window(ids[0]) if ids else None

    def wait_for_main_window(self, process, timeout=20):
        window = wait_until(lambda: process.poll() is None and self.main_window(process),
                            timeout)
        if process.poll() is not None:
            raise ScenarioFailure(f"the program exited with code {process.returncode} "
                                  "before its window appeared" + self._tail(process))
        if not window:
            raise ScenarioFailure(
                f"no visible window titled \"{WINDOW_CAPTION}\" within {timeout} s")
        log(f"main window mapped: {window}")
        return window

    def require_client_size(self, window):
        if (window.width, window.height) != CLIENT_SIZE:
            raise ScenarioFailure(
                f"the main window's client area is {window.width}x{window.height}, not "
                f"{CLIENT_SIZE[0]}x{CLIENT_SIZE[1]}: the controls are not where the layout "
                "puts them")

    def wait_for_exit(self, process, timeout):
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    # ----- sight and pointer -----

    def window(self, window_id):
        info = self.run(["xwininfo", "-id", hex(window_id)], check=False)
        values = dict(re.findall(r"^\s*(Absolute upper-left X|Absolute upper-left Y|Width|"
                                 r"Height):\s+(-?\d+)", info, re.MULTILINE))
        if len(values) < 4:
            return None
        return Window(window_id, int(values["Absolute upper-left X"]),
                      int(values["Absolute upper-left Y"]), int(values["Width"]),
                      int(values["Height"]))

    def is_viewable(self, window_id):
        info = self.run(["xwininfo", "-id", hex(window_id)], check=False)
        return "Map State: IsViewable" in info

    def move_pointer(self, x, y):
        # "mousemove --sync" waits for a motion that never comes when the pointer is there.
        where = dict(re.findall(r"(\w+):(-?\d+)", self.xdotool("getmouselocation")))
        if (int(where["x"]), int(where["y"])) != (x, y):
            self.xdotool("mousemove", "--sync", str(x), str(y))

    def click(self, x, y, button=1, repeat=1):
        self.move_pointer(x, y)
        self.xdotool("click", "--repeat", str(repeat), "--delay", "120", str(button))

    def click_control(self, window, control):
        left, top, width, height = control
        self.click(window.x + left + width // 2, window.y + top + height // 2)

    def rest_pointer(self, window):
        self.move_pointer(window.x + RESTING_SPOT[0], window.y + RESTING_SPOT[1])

    def key(self, *keys):
        """Presses and releases `keys` in turn, where the keyboard goes now (a menu's grab)."""
        self.xdotool("key", "--delay", "120", *keys)

    def request_close(self, window):
        """Asks `window` to close as a window manager's close button does (WM_DELETE_WINDOW)."""
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = x11.XOpenDisplay(self.display.encode())
        if not display:
            raise HarnessError(f"cannot open the X display {self.display} to send a close")
        try:
            event = _XEvent()
            event.xclient.type = _CLIENT_MESSAGE
            event.xclient.window = window.id
            event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
            event.xclient.format = 32
            event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
            x11.XSendEvent(display, window.id, 0, 0, ctypes.byref(event))
            x11.XFlush(display)
        finally:
            x11.XCloseDisplay(display)

    def wait_until_still(self, window, timeout=10):
        """Waits until two looks at `window` in a row show the same picture (it has painted)."""
        area = (0, 0, window.width, window.height)
        last = [None]

        def still():
            now = self.pixels(window, area)
            same, last[0] = now == last[0], now
            return same

        wait_until(still, timeout, interval=0.2)

    def screenshot(self, window, name):
        path = os.path.join(self.artifacts, name)
        self.run(["import", "-window", hex(window.id), path])
        log(f"screenshot saved: {path}")
        return path

    def pixels(self, window, area):
        """The RGB bytes of `area` (left, top, width, height) of `window`, as shown now."""
        left, top, width, height = area
        ppm = subprocess.run(["import", "-window", hex(window.id), "-crop",
                              f"{width}x{height}+{left}+{top}", "+repage", "ppm:-"],
                             env=self.base_environment(), capture_output=True, check=True,
                             timeout=20).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", ppm)
        if not header or (int(header[1]), int(header[2])) != (width, height):
            raise HarnessError("import returned no picture of the requested area")
        return ppm[header.end():]

    # ----- helpers -----

    def xdotool(self, *argv, check=True):
        return self.run(["xdotool", *argv], check=check)

    def run(self, argv, check=True):
        result = subprocess.run(argv, env=self.base_environment(), capture_output=True,
                                text=True, timeout=20)
        if check and result.returncode != 0:
            raise HarnessError(f"{' '.join(argv)} failed: {result.stderr.strip()}")
        return result.stdout

    def _tail(self, process, lines=15):
        try:
            with open(process.log_path, "rb") as log_file:
                text = log_file.read().decode("utf-8", "replace").strip()
        except OSError:
            return ""
        if not text:
            return ""
        return "\n--- " + os.path.basename(process.log_path) + " ---\n" + "\n".join(
            text.splitlines()[-lines:])

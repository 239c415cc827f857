"""End-to-end harness: the real Windows programs under Wine, driven by uidriver.exe.

Every end-to-end test module imports this file::

    import os, sys, unittest
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import harness

    class InstallerWindowTest(unittest.TestCase):
        def setUp(self):
            harness.require_programs(self, "NivaxelSetup.exe")
            self.wine = harness.Prefix(self.id())        # fresh copy of the base prefix
            self.addCleanup(self.wine.close)             # kills what it started, removes the copy

        def test_title(self):
            proc = self.wine.start(harness.program_path("NivaxelSetup.exe"))
            win = self.wine.find_window(harness.INSTALLER_TITLE, timeout_ms=20000)
            self.assertEqual(win["text_hex"], harness.hexs(harness.INSTALLER_TITLE))
            self.wine.screenshot("installer-window")
            self.wine.key(harness.INSTALLER_TITLE, "ESCAPE")
            self.assertEqual(proc.wait(10), 0)

Session (once per Python process, see ``session()``)
    Xvfb: the display in $DISPLAY when its socket exists (test.sh exports one),
    else an Xvfb of our own on a free display number.
    Prefix: PREFIX is $NIVAXEL_PREFIX, "win64" (WOW64, the default) or "win32".
    Base prefix: $NIVAXEL_WINE_BASE/PREFIX when it holds system.reg (test.sh and
    tests/wine/session.sh make it once per run), else a prefix of our own made
    by session.sh's nv_make_prefix in build/e2e-wine-*, so that one module runs
    alone. Either way programs open in Wine's explorer desktop (taskbar and
    notification area), and 32-bit code runs natively or under qemu as
    tests/wine/enable-i386.sh set it up.
    Everything the session started is stopped and removed at interpreter exit.

Programs
    ``bin_dir()`` is $NIVAXEL_BIN_DIR or dist/: the shipped i686 programs.
    ``program_path(name)`` gives e.g. bin_dir()/"NivaxelSetup.exe"; ``build_dir()``
    is build/windows, the i686 build that filled dist/;
    ``uidriver_path()`` is $NIVAXEL_UIDRIVER, else the uidriver.exe of the
    x86_64 build in a win64 prefix (a test tool: native there, and its
    registry calls see the 64-bit view by default) and of the i686 build in a
    win32 prefix.

Texts
    The programs' texts are Windows-1252 bytes. uidriver reports every text as
    ``text`` (one code point per byte, i.e. Latin-1) and ``text_hex``; compare
    bytes with ``hexs("R\\xe9pertoire")`` or ``cp1252(...)``. Arguments that
    are not plain ASCII are passed to uidriver as hex automatically.

Prefix(name, windows_version=None) (per test or per class; a context manager;
``close()`` is idempotent). The copy keeps a persistent wineserver, so the
session's services start once (~5 s at creation), not at every uidriver run.
    path, drive_c, env                  the copy and the environment to run in it
    start(exe, *args, cwd=None, env=None) -> WineProcess (background, the prefix's loader, WINEDEBUG=-all);
                                           exe: host path (run as Z:\...), Windows path or builtin name;
                                           env: extra variables, e.g. {"WINEDLLOVERRIDES": ...}
    run(exe, *args, timeout=60)         -> subprocess.CompletedProcess (waits; stdout/stderr bytes)
    ui(command, check=True, **opts)     -> parsed JSON from uidriver (UiDriverError if rc != 0)
    ui_rc(command, **opts)              -> (rc, parsed JSON or None)
    find_window(title, timeout_ms)      -> window dict (hwnd, pid, class, text, text_hex, rect, client, style ...)
    controls(title)                     -> list of control dicts (also pos: relative to the parent's client
                                           area, top_pos: relative to the window's client area)
    control(title, **selector)          selector: id=, text=, cls= (window class), index=
    client_rect(title) / window_rect(title)
    click(title, **selector)            BM_CLICK, posted (send=True: sent, waits for the handler)
    key(title, vk, **selector)          posts WM_KEYDOWN/UP ("ESCAPE", "RETURN", "TAB", or a number)
    set_text(title, value, **selector) / type_text(title, value, **selector)
    send(title, msg, wparam=0, lparam=0, **selector) / post(...)   msg: "WM_CLOSE", "WM_USER+3", number
    focus(title)                        the control with the keyboard focus
    msgbox(wait_ms=5000, press=None, pid=None) -> {"caption","caption_hex","text","text_hex","buttons",...}
    wait_gone(title, timeout_ms)        -> True when no window has that title any more
    is_topmost(title), pid_of_window(title)
    reg_get(key, name, view=None)       -> (type_name, value) or None; REG_SZ values as bytes
    reg_set(key, name, value, type="REG_SZ", view=None); reg_delete(key, name=None, view=None)
    reg_list(key, view=None)            -> {"values": {name: (type, value)}, "keys": [...]} or None
        (through uidriver: the "A" registry calls, exact bytes; view 32 or 64 or None = the
         programs' own default, i.e. the 32-bit view)
    wine_reg(*args)                     runs Wine's own reg.exe (e.g. "add", key, "/v", ...)
    stop_server(timeout=30)             wineserver -k then -w (the .reg files are then written)
    reg_file(hive="system")             the text of system.reg / user.reg (after stop_server)
    wine_desktop()                      the explorer desktop's name ("shell"), or None without one
    win_to_unix(path) / unix_to_win(path)
    copy_into(src, "C:\\\\dir\\\\name")       copies a host file into the prefix, returns the unix path
    screenshot(name)                    artifacts/screenshots/<name>.png, <name>-win32.png in a
                                        32-bit prefix (ImageMagick import)
    screen()                            {"width", "height", "work": rect} of the Wine desktop
    sys_color(index)                    (r, g, b) of GetSysColor(index), e.g. 15 = COLOR_BTNFACE
    close()                             kills our processes by pid, wineserver -k, removes the copy

WineProcess: pid, wait(timeout) -> exit code or None, alive(), kill(), log() (its stdout+stderr).

pixel(png, x, y) -> (r, g, b) of a screenshot's pixel.
Screen(png).diff_box(Screen(other)) -> (x, y, w, h) around every changed pixel, or None;
Screen(png).pixels(box) -> [(r, g, b), ...].
pe_imports(exe) -> the DLL names (lower case) that a PE file imports.

uidriver.exe itself (run ``uidriver --help`` under Wine for the full list) also has
acp, screen, syscolor, self-path (its own GetModuleFileNameA) and load-library.

Every wait has a limit; nothing here waits forever.

Wine 8 facts worth knowing when writing a test
    - A program started from \\server\share (dosdevices/unc/...) reads its own
      name as "UNC\server\share\..." (no leading backslashes), unlike Windows.
    - Wine prefers its builtin DLLs: a DLL planted beside a program is only
      loaded with WINEDLLOVERRIDES="<name>=n,b"; and Wine's own user32.dll
      imports version.dll, so a planted version.dll is always loaded there.
    - Without a window manager, windows have Wine-drawn frames; a program's
      window is active and focused when it shows itself.
"""

import atexit
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PREFIX = os.environ.get("NIVAXEL_PREFIX", "win64")
if PREFIX not in ("win64", "win32"):
    raise RuntimeError(f"NIVAXEL_PREFIX must be win64 or win32, not {PREFIX!r}")
WOW64 = PREFIX == "win64"
WINE = os.environ.get("NIVAXEL_WINE") or ("/usr/lib/wine/wine64" if WOW64 else "/usr/lib/wine/wine")
SESSION_SH = ROOT / "tests" / "wine" / "session.sh"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
ARTIFACTS = ROOT / "artifacts"
SCREENSHOTS = ARTIFACTS / "screenshots"

INSTALLER_TITLE = "Installation de Nivaxel"
UNINSTALLER_TITLE = "D\xe9sinstallation de Nivaxel"
CLIENT_TITLE = "Message d'alerte"
SETTINGS_KEY = "HKLM\\SOFTWARE\\Korlen\\VESKA\\Nivaxel"
# Where the 32-bit programs put things, as they name them: under WOW64 the
# 32-bit program folder and SysWOW64, and their registry keys in the 32-bit
# view (Wow6432Node seen from the 64-bit one); in a 32-bit prefix the
# system's own folders and its single view.
PROGRAM_FILES = "C:\\Program Files (x86)" if WOW64 else "C:\\Program Files"
SYSTEM_DIR = "C:\\windows\\SysWOW64" if WOW64 else "C:\\windows\\system32"
PROGRAM_VIEW = 32 if WOW64 else None

REG_TYPES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ",
             11: "REG_QWORD"}


class HarnessError(RuntimeError):
    """The environment could not be set up (no Wine, no display, no prefix)."""


class UiDriverError(AssertionError):
    """uidriver.exe ended with a non-zero code: window or control not found, timeout, refused."""

    def __init__(self, command, rc, output):
        super().__init__(f"uidriver {' '.join(command)} -> rc {rc}: {output.strip()[:2000]}")
        self.rc = rc
        self.output = output


def cp1252(text):
    """The Windows-1252 bytes of a text (bytes pass through)."""
    return text if isinstance(text, bytes) else text.encode("cp1252")


def hexs(text):
    """Hex of the Windows-1252 bytes of a text, as uidriver's *_hex fields give them."""
    return cp1252(text).hex()


def bin_dir():
    return Path(os.environ.get("NIVAXEL_BIN_DIR") or ROOT / "dist")


def build_dir():
    """The i686 build that filled dist/: its payload containers and test DLLs."""
    return ROOT / "build" / "windows"


def program_path(name):
    return bin_dir() / name


def registry_view(exe):
    """The registry view a program reads, that of its own width: 64 when its
    PE header's machine field is x86_64 (0x8664), else 32."""
    data = Path(exe).read_bytes()[:4096]
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return 64 if int.from_bytes(data[pe + 4:pe + 6], "little") == 0x8664 else 32


def timing_bin_dir():
    """Where benchmarks take their programs: figures must not come from
    emulated code, so the shipped i686 build where the kernel runs i386 code,
    else the x86_64 test build."""
    if not os.environ.get("NIVAXEL_I386_MODE"):
        _Session._enable_i386()
    native = os.environ["NIVAXEL_I386_MODE"] == "native"
    return ROOT / "build" / ("windows" if native else "windows64")


def uidriver_path():
    override = os.environ.get("NIVAXEL_UIDRIVER")
    build = "windows64" if WOW64 else "windows"
    return Path(override) if override else ROOT / "build" / build / "tools" / "uidriver" / "uidriver.exe"


def require_programs(testcase, *names):
    """Skips the test (with the path) when a built program or uidriver.exe is missing."""
    for path in [uidriver_path()] + [program_path(n) for n in names]:
        if not path.is_file():
            raise unittest.SkipTest(f"not built: {path}")


def _wait(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


# ---- the session: one display and one base prefix per Python process -------

class _Session:
    def __init__(self):
        self.xvfb = None
        self.own_base = None
        self.display = self._display()
        self.base = self._base_prefix()

    def _display(self):
        current = os.environ.get("DISPLAY", "")
        m = re.fullmatch(r":(\d+)(\.\d+)?", current)
        if m and Path(f"/tmp/.X11-unix/X{m.group(1)}").exists():
            return current
        n = 90 + (os.getpid() % 400)
        while Path(f"/tmp/.X11-unix/X{n}").exists() or Path(f"/tmp/.X{n}-lock").exists():
            n += 1
        self.xvfb = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not _wait(lambda: Path(f"/tmp/.X11-unix/X{n}").exists(), 10):
            raise HarnessError(f"Xvfb :{n} did not start")
        return f":{n}"

    def _base_prefix(self):
        env_base = os.environ.get("NIVAXEL_WINE_BASE")
        if not os.environ.get("NIVAXEL_I386_MODE"):
            self._enable_i386()
        if env_base and (Path(env_base) / PREFIX / "system.reg").is_file():
            return Path(env_base) / PREFIX
        (ROOT / "build").mkdir(exist_ok=True)
        self.own_base = Path(tempfile.mkdtemp(prefix="e2e-wine-", dir=ROOT / "build"))
        base = self.own_base / PREFIX
        made = subprocess.run(["bash", "-c", 'source "$0" && nv_make_prefix "$1" "$2"', str(SESSION_SH), PREFIX,
                               str(base)], env=dict(os.environ, DISPLAY=self.display),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if made.returncode != 0:
            raise HarnessError(f"could not make the Wine prefix {base}: {made.stderr.strip()}")
        return base

    @staticmethod
    def _enable_i386():
        """Run alone, a module sets up 32-bit code as test.sh does."""
        probe = subprocess.run(["bash", "-c", 'source "$0" && nv_i386_start && echo "$NIVAXEL_I386_MODE"',
                                str(SESSION_SH)], capture_output=True, text=True)
        if probe.returncode != 0:
            raise HarnessError(f"32-bit code cannot run here: {probe.stderr.strip()}")
        os.environ["NIVAXEL_I386_MODE"] = probe.stdout.strip()
        if os.environ["NIVAXEL_I386_MODE"] == "qemu":
            os.environ["QEMU_RESERVED_VA"] = "0x81000000"

    def stop(self):
        if self.own_base:
            env = dict(os.environ, WINEPREFIX=str(self.own_base / "win64"))
            subprocess.run(["timeout", "20", WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
            shutil.rmtree(self.own_base, ignore_errors=True)
        if self.xvfb:
            self.xvfb.kill()
            self.xvfb.wait(10)


_session = None
_open_prefixes = []


def session():
    """The process-wide display and base prefix, made on first use."""
    global _session
    if _session is None:
        # A run stopped by a time limit (SIGTERM) still cleans up: exit runs atexit.
        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
            try:
                signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
            except ValueError:  # not the main thread
                pass
        _session = _Session()
        atexit.register(_shutdown)
    return _session


def _shutdown():
    for p in list(_open_prefixes):
        p.close()
    if _session:
        _session.stop()


# ---- processes ---------------------------------------------------------------

def _zombie_child_status(pid):
    """The exit code of the one child of `pid` that has ended but was never
    reaped, or None. Under Wine 8 the launcher (start.exe /exec) now and then
    misses its program's end and waits forever; the program is then a zombie
    child of it, and its exit status is still readable in /proc."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            if not f.read().startswith(b"start.exe"):
                return None
    except OSError:
        return None
    children = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == pid:
            children.append(fields)
    if len(children) != 1 or children[0][0] != "Z":
        return None
    status = int(children[0][49])  # the exit_code field of /proc/PID/stat: a wait status
    return (status >> 8) & 0xFF if status & 0x7F == 0 else -(status & 0x7F)


def _wait_exit(popen, timeout):
    """The program's exit code, or None if it still runs after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        rc = popen.poll()
        if rc is not None:
            return rc
        rc = _zombie_child_status(popen.pid)
        if rc is not None:
            return rc
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.05)


def _kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class WineProcess:
    """A Windows program started in the background under Wine. Its output
    goes to a file, never to a pipe: the session's own processes (services,
    desktop) started along with it would inherit a pipe and keep it open."""

    def __init__(self, popen, log_path):
        self.popen = popen
        self.pid = popen.pid
        self.log_path = log_path
        self.returncode = None

    def wait(self, timeout):
        """The exit code, or None when the program is still running after `timeout` seconds."""
        if self.returncode is None:
            self.returncode = _wait_exit(self.popen, timeout)
        return self.returncode

    def alive(self):
        return self.wait(0) is None

    def kill(self):
        if self.popen.poll() is None:
            _kill_group(self.pid)
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                pass

    def log(self):
        try:
            return Path(self.log_path).read_text(errors="replace")
        except OSError:
            return ""


# ---- a prefix per test -------------------------------------------------------

def _copy_prefix(base, dest, linked=("drive_c/windows/system32", "drive_c/windows/syswow64")):
    """Copies the base prefix; the big system DLL folders, which no test writes
    into in place, become hard links (a fraction of a second instead of ~650 MB).
    New files written there by a test stay in the copy only."""
    def copy(src, dst, rel):
        if rel in linked:
            subprocess.run(["cp", "-al", str(src), str(dst)], check=True)
            return
        if not any(l.startswith(rel + "/") for l in linked):
            subprocess.run(["cp", "-a", str(src), str(dst)], check=True)
            return
        dst.mkdir()
        shutil.copystat(src, dst)
        for entry in src.iterdir():
            copy(entry, dst / entry.name, f"{rel}/{entry.name}" if rel else entry.name)

    for entry in base.iterdir():
        copy(entry, dest / entry.name, entry.name)


class Prefix:
    """A private copy of the base prefix for one test; see the module docstring."""

    def __init__(self, name="e2e", windows_version=None, shell_desktop=True):
        s = session()
        safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[-60:]
        self.path = Path(tempfile.mkdtemp(prefix=f"nv-{safe}-"))
        self._closed = False
        self._procs = []
        self._n = 0
        if os.environ.get("NIVAXEL_E2E_FULL_COPY"):
            subprocess.run(["cp", "-a", f"{s.base}/.", str(self.path)], check=True)
        else:
            _copy_prefix(s.base, self.path)
        self.drive_c = self.path / "drive_c"
        if not shell_desktop:
            # Before any Wine process reads it: programs then open as top-level X windows.
            user_reg = self.path / "user.reg"
            user_reg.write_bytes(re.sub(rb'(?m)^"Desktop"="shell"\r?\n', b"", user_reg.read_bytes()))
        self.env = dict(os.environ, WINEPREFIX=str(self.path), WINEDEBUG="-all", DISPLAY=s.display,
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=PREFIX)
        self.env.pop("WINELOADERNOEXEC", None)
        _open_prefixes.append(self)
        # A persistent server keeps the session's services and desktop up
        # between the many short uidriver runs (else each run boots them again).
        subprocess.run(["timeout", "20", WINESERVER, "-p"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if uidriver_path().is_file():
            self.run(uidriver_path().resolve(), "acp", timeout=120)
        if windows_version:
            self.wine_reg("add", "HKCU\\Software\\Wine", "/v", "Version", "/d", windows_version, "/f")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- programs --

    def _log_path(self, exe):
        self._n += 1
        return self.path / f"log-{self._n}-{Path(str(exe)).name}.txt"

    def _exe(self, exe):
        # A host path would make wine64 go through start.exe /exec, which under
        # Wine 8 now and then never returns after the program has ended; a
        # Windows path runs the program as the very process we started.
        exe = str(exe)
        if "/" in exe:
            return self.unix_to_win(exe)
        return exe

    def start(self, exe, *args, cwd=None, env=None, wrap=()):
        """Starts a Windows program (host path or Windows path) in the background,
        through the `wrap` command line when one is given."""
        log = self._log_path(exe)
        with open(log, "wb") as out:
            popen = subprocess.Popen([*wrap, WINE, self._exe(exe), *map(str, args)], env=dict(self.env, **(env or {})),
                                     cwd=str(cwd) if cwd else None, stdout=out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        proc = WineProcess(popen, log)
        self._procs.append(proc)
        return proc

    def run(self, exe, *args, timeout=60, cwd=None):
        """Runs a Windows program to its end: a CompletedProcess with stdout and
        stderr (bytes); raises subprocess.TimeoutExpired after `timeout` seconds."""
        argv = [WINE, self._exe(exe), *map(str, args)]
        self._n += 1
        out_path, err_path = self.path / f"run-{self._n}.out", self.path / f"run-{self._n}.err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            popen = subprocess.Popen(argv, env=self.env, cwd=str(cwd) if cwd else None, stdout=out, stderr=err,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        rc = _wait_exit(popen, timeout)
        if popen.poll() is None:
            _kill_group(popen.pid)
            popen.wait(10)
        if rc is None:
            raise subprocess.TimeoutExpired(argv, timeout)
        return subprocess.CompletedProcess(argv, rc, out_path.read_bytes(), err_path.read_bytes())

    def wine_reg(self, *args, timeout=60):
        """Wine's own reg.exe, e.g. wine_reg("add", key, "/v", name, "/t", "REG_DWORD", "/d", "5000", "/f")."""
        return self.run("reg", *args, timeout=timeout)

    # -- uidriver --

    @staticmethod
    def _options(opts):
        out = []
        for key, value in opts.items():
            if value is None or value is False:
                continue
            name = "--" + key.rstrip("_").replace("_", "-")
            if name == "--cls":
                name = "--class"
            if value is True:
                out.append(name)
            elif isinstance(value, bytes) or (isinstance(value, str) and not (value.isascii() and value.isprintable())):
                out += [name + "-hex", cp1252(value).hex()]
            else:
                out += [name, str(value)]
        return out

    def ui_rc(self, command, timeout=60, **opts):
        """(exit code, parsed JSON or None) of one uidriver command; options as keyword arguments:
        title=, hwnd=, window_class=, pid=, visible=True, id=, text=, cls=, index=, value=, vk=,
        msg=, wparam=, lparam=, send=True, wait=, press=, press_id=, timeout_ms= (becomes --timeout)."""
        if "timeout_ms" in opts:
            opts["timeout"] = opts.pop("timeout_ms")
        argv = [command] + self._options(opts)
        res = self.run(uidriver_path().resolve(), *argv, timeout=timeout)
        text = res.stdout.decode("ascii", errors="replace")
        lines = [ln for ln in text.splitlines() if ln.strip()]
        data = None
        if lines:
            try:
                data = json.loads(lines[-1])
            except ValueError:
                data = None
        self._last_ui = (argv, res.returncode, text + res.stderr.decode(errors="replace"))
        return res.returncode, data

    def ui(self, command, check=True, timeout=60, **opts):
        rc, data = self.ui_rc(command, timeout=timeout, **opts)
        if check and rc != 0:
            raise UiDriverError(self._last_ui[0], rc, self._last_ui[2])
        return data

    def find_window(self, title, timeout_ms=10000, **opts):
        return self.ui("find", title=title, timeout_ms=timeout_ms, **opts)

    def controls(self, title, **opts):
        return self.ui("controls", title=title, **opts)

    def control(self, title, **selector):
        return self.ui("control", title=title, **selector)

    def client_rect(self, title, **selector):
        return self.ui("client-rect", title=title, **selector)["rect"]

    def window_rect(self, title, **selector):
        return self.ui("window-rect", title=title, **selector)["rect"]

    def click(self, title, send=False, **selector):
        return self.ui("click", title=title, send=send, **selector)

    def key(self, title, vk, **selector):
        return self.ui("key", title=title, vk=vk, **selector)

    def set_text(self, title, value, **selector):
        return self.ui("set-text", title=title, value=value, **selector)

    def type_text(self, title, value, **selector):
        return self.ui("type", title=title, value=value, **selector)

    def send(self, title, msg, wparam=0, lparam=0, **selector):
        return self.ui("send", title=title, msg=msg, wparam=wparam, lparam=lparam, **selector)

    def post(self, title, msg, wparam=0, lparam=0, **selector):
        return self.ui("post", title=title, msg=msg, wparam=wparam, lparam=lparam, **selector)

    def focus(self, title):
        return self.ui("focus", title=title)["focus"]

    def wait_active(self, title, timeout=30):
        """Until the window is its thread's active one and holds the focus.

        A posted BM_CLICK is a button-down then a button-up; an activation
        that lands between them takes the capture and the click is lost."""
        top = self.find_window(title)["hwnd"]
        def active():
            state = self.ui("focus", title=title)
            return state["active"] == top and state["focus"] is not None
        return wait_until(active, timeout)

    def msgbox(self, wait_ms=5000, press=None, pid=None, **opts):
        """The first visible message box (#32770); with press= its button of that caption is pressed."""
        return self.ui("msgbox", wait=wait_ms, press=press, pid=pid, timeout=wait_ms / 1000 + 60, **opts)

    def wait_gone(self, title, timeout_ms=10000):
        rc, data = self.ui_rc("wait-gone", title=title, timeout_ms=timeout_ms,
                              timeout=timeout_ms / 1000 + 60)
        return rc == 0 and bool(data and data.get("gone"))

    def is_topmost(self, title):
        return self.ui("is-topmost", title=title)["topmost"]

    def pid_of_window(self, title):
        return self.ui("pid-of-window", title=title)["pid"]

    def host_pids(self, exe_name):
        """Linux pids of this prefix's processes running `exe_name` (to freeze one
        as a hung program is frozen: SIGSTOP leaves its windows and its queue)."""
        pids = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                environ = (entry / "environ").read_bytes().split(b"\0")
                cmdline = (entry / "cmdline").read_bytes().split(b"\0")
            except OSError:
                continue
            if (b"WINEPREFIX=" + bytes(self.path) in environ and
                    any(arg.replace(b"/", b"\\").lower().endswith(b"\\" + exe_name.lower().encode())
                        for arg in cmdline)):
                pids.append(int(entry.name))
        return pids

    # -- registry (through uidriver: exact bytes, chosen view) --

    def reg_get(self, key, name, view=PROGRAM_VIEW):
        rc, data = self.ui_rc("reg-get", key=key, name=name, view=view)
        if rc == 1:
            return None
        if rc != 0 or data is None:
            raise UiDriverError(self._last_ui[0], rc, self._last_ui[2])
        return _reg_value(data)

    def reg_list(self, key, view=PROGRAM_VIEW):
        rc, data = self.ui_rc("reg-list", key=key, view=view)
        if rc == 1:
            return None
        if rc != 0 or data is None:
            raise UiDriverError(self._last_ui[0], rc, self._last_ui[2])
        return {"values": {v["name"]: _reg_value(v) for v in data["values"]}, "keys": data["keys"]}

    def reg_set(self, key, name, value, type="REG_SZ", view=PROGRAM_VIEW):
        """REG_SZ/REG_EXPAND_SZ from str (written as Windows-1252) or bytes; REG_DWORD from int;
        REG_BINARY from bytes."""
        if type == "REG_DWORD":
            data = int(value).to_bytes(4, "little")
        elif type in ("REG_SZ", "REG_EXPAND_SZ"):
            data = cp1252(value) + b"\0"
        else:
            data = bytes(value)
        return self.ui("reg-set", key=key, name=name, type=type, data_hex=data.hex(), view=view)

    def reg_delete(self, key, name=None, view=PROGRAM_VIEW):
        rc, _ = self.ui_rc("reg-delete", key=key, name=name, view=view)
        return rc == 0

    def stop_server(self, timeout=30):
        subprocess.run(["timeout", str(timeout), WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["timeout", str(timeout), WINESERVER, "-w"], env=self.env, stderr=subprocess.DEVNULL)

    def reg_file(self, hive="system"):
        return (self.path / f"{hive}.reg").read_text(encoding="utf-8", errors="replace")

    def wine_desktop(self):
        """The name of the explorer desktop the copy's programs open in, or None without one."""
        m = re.search(r'^\[Software\\\\Wine\\\\Explorer\][^\[]*?^"Desktop"="([^"]*)"', self.reg_file("user"),
                      re.MULTILINE)
        return m.group(1) if m else None

    # -- files --

    def win_to_unix(self, path):
        """The host path of a Windows path; like Wine, a component matches an
        existing file or folder whatever its case ("SysWOW64" is syswow64)."""
        path = str(path).replace("/", "\\")
        m = re.match(r"([A-Za-z]):\\?(.*)", path)
        if not m:
            raise ValueError(f"not a drive path: {path}")
        out = (self.path / "dosdevices" / (m.group(1).lower() + ":")).resolve()
        for part in filter(None, m.group(2).split("\\")):
            exact = out / part
            if not exact.exists() and out.is_dir():
                exact = next((e for e in out.iterdir() if e.name.lower() == part.lower()), exact)
            out = exact
        return out

    def unix_to_win(self, path):
        path = Path(path).resolve()
        try:
            return "C:\\" + str(path.relative_to(self.drive_c.resolve())).replace("/", "\\")
        except ValueError:
            return "Z:" + str(path).replace("/", "\\")

    def copy_into(self, src, win_path):
        dest = self.win_to_unix(win_path)
        dest.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(src, dest)
        return dest

    # -- screenshots --

    def screen(self):
        return self.ui("screen")

    def sys_color(self, index):
        c = self.ui("syscolor", index=index)
        return c["r"], c["g"], c["b"]

    def screenshot(self, name):
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        out = SCREENSHOTS / (f"{name}.png" if WOW64 else f"{name}-{PREFIX}.png")
        subprocess.run(["import", "-display", session().display, "-window", "root", str(out)], timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return out

    # -- clean-up --

    def close(self):
        if self._closed:
            return
        self._closed = True
        for p in self._procs:
            p.kill()
        self.stop_server(timeout=20)
        shutil.rmtree(self.path, ignore_errors=True)
        if self in _open_prefixes:
            _open_prefixes.remove(self)


def pixel(png, x, y):
    """(r, g, b) of one pixel of an image file (ImageMagick)."""
    out = subprocess.run(["convert", str(png), "-format", f"%[fx:int(255*p{{{x},{y}}}.r)],"
                          f"%[fx:int(255*p{{{x},{y}}}.g)],%[fx:int(255*p{{{x},{y}}}.b)]", "info:-"],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    r, g, b = (int(v) for v in out.strip().split(","))
    return r, g, b


class Screen:
    """A screenshot, compared with another one of the same screen."""

    def __init__(self, png):
        self.png = Path(png)

    def diff_box(self, other):
        """(x, y, width, height) of the smallest box holding every pixel that
        differs from `other`, or None when the two are identical."""
        out = subprocess.run(["convert", str(self.png), str(other.png), "-compose", "difference", "-composite",
                              "-colorspace", "gray", "-threshold", "0", "-format", "%@", "info:-"],
                             capture_output=True, text=True, timeout=60).stdout
        m = re.fullmatch(r"(\d+)x(\d+)\+(\d+)\+(\d+)", out.strip())
        if not m:
            raise HarnessError(f"could not compare {self.png} with {other.png}: {out!r}")
        width, height, x, y = (int(v) for v in m.groups())
        return None if width == 0 or height == 0 else (x, y, width, height)


    def pixels(self, box):
        """The (r, g, b) of every pixel in the box (x, y, width, height), row by row."""
        x, y, w, h = box
        raw = subprocess.run(["convert", str(self.png), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8",
                              "rgb:-"], capture_output=True, timeout=60, check=True).stdout
        return [tuple(raw[i:i + 3]) for i in range(0, len(raw) - 2, 3)]


def box_within(inner, outer):
    x, y, w, h = inner
    ox, oy, ow, oh = outer
    return ox <= x and oy <= y and x + w <= ox + ow and y + h <= oy + oh


def wait_until(predicate, timeout, step=0.2):
    """True once `predicate()` is true, False if it still is not after `timeout` s."""
    return _wait(predicate, timeout, step)


def pe_imports(exe):
    """The names (lower case) of the DLLs a PE executable imports, read from
    its import directory: what the loader maps before the program's first line."""
    data = Path(exe).read_bytes()
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"not a PE file: {exe}")
    opt = pe + 24
    magic = int.from_bytes(data[opt:opt + 2], "little")
    dirs = opt + (96 if magic == 0x10B else 112)
    import_rva = int.from_bytes(data[dirs + 8:dirs + 12], "little")
    sections_at = opt + int.from_bytes(data[pe + 20:pe + 22], "little")
    sections = []
    for i in range(int.from_bytes(data[pe + 6:pe + 8], "little")):
        h = sections_at + 40 * i
        vsize, vaddr, rawsize, rawptr = (int.from_bytes(data[h + o:h + o + 4], "little") for o in (8, 12, 16, 20))
        sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(rva):
        for vaddr, size, rawptr in sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError(f"RVA {rva:#x} outside the sections")

    names = []
    at = offset(import_rva) if import_rva else None
    while at is not None:
        name_rva = int.from_bytes(data[at + 12:at + 16], "little")
        if name_rva == 0:
            break
        start = offset(name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii").lower())
        at += 20
    return names


def _reg_value(data):
    type_name = REG_TYPES.get(data["type"], str(data["type"]))
    raw = bytes.fromhex(data["data_hex"])
    if type_name == "REG_DWORD" and len(raw) == 4:
        return type_name, int.from_bytes(raw, "little")
    if type_name in ("REG_SZ", "REG_EXPAND_SZ"):
        return type_name, raw[:-1] if raw.endswith(b"\0") else raw
    return type_name, raw

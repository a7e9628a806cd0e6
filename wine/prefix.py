"""Wine prefixes: the Windows 95 template the demo and the tests copy, a prefix of the user's
(its kind, whether Wine will update it, its registry copies) and the fonts either gets.

    python3 -m wine.prefix --work DIR template       make the template prefix in DIR (once)
    python3 -m wine.prefix --work DIR check-shared   whether a run changed a file the
                                                     template shares with its copies
"""

import argparse
import contextlib
import datetime
import fcntl
import hashlib
import os
import shutil
import sys
import tempfile
import time

from wine import processes, signals, waits as waiting, wineserver
from wine.processes import WineError

TEMPLATE_NAME = "template-prefix"
# Bump when the template's contents change, so that an old one is made anew.
TEMPLATE_STAMP = "gyr-template 6"
# Wine answers as Windows 95 (REG_SZ values stored at their text length plus one,
# installable drivers found through SYSTEM.INI), not as its default Windows 7.
WINDOWS_VERSION = "win95"
# Windows 95's standard colours, so that the screenshots show its look, not Wine's.
WINDOWS_95_COLOURS = (
    ("ActiveBorder", "192 192 192"), ("ActiveTitle", "0 0 128"),
    ("AppWorkspace", "128 128 128"), ("Background", "0 128 128"),
    ("ButtonDkShadow", "0 0 0"), ("ButtonFace", "192 192 192"),
    ("ButtonHilight", "255 255 255"), ("ButtonLight", "192 192 192"),
    ("ButtonShadow", "128 128 128"),
    ("ButtonText", "0 0 0"), ("GradientActiveTitle", "0 0 128"),
    ("GradientInactiveTitle", "128 128 128"), ("GrayText", "128 128 128"),
    ("Hilight", "0 0 128"), ("HilightText", "255 255 255"),
    ("InactiveBorder", "192 192 192"), ("InactiveTitle", "128 128 128"),
    ("InactiveTitleText", "192 192 192"), ("Menu", "192 192 192"),
    ("MenuText", "0 0 0"), ("TitleText", "255 255 255"),
    ("Window", "255 255 255"), ("WindowFrame", "0 0 0"),
    ("WindowText", "0 0 0"),
)
# Without a window manager, Wine's managed windows make every dialog close take seconds.
TEMPLATE_SETTINGS = (
    "REGEDIT4\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine]\r\n"
    f"\"Version\"=\"{WINDOWS_VERSION}\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n"
    "\"Graphics\"=\"x11,null\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"
    "\"Managed\"=\"N\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Colors]\r\n"
    + "".join(f"\"{name}\"=\"{rgb}\"\r\n" for name, rgb in WINDOWS_95_COLOURS)
    + "\r\n"
    # Windows 95 has none of NT's services. Wine starts these at every session start (an
    # event log, network drivers, Plug and Play), each a process that under qemu-i386 costs
    # about a second of CPU; the installer and its test machine use none of them.
    + "".join(f"[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\{name}]\r\n"
              f"\"Start\"=dword:{start:08x}\r\n\r\n"
              for name, start in (("Eventlog", 4), ("NDIS", 4), ("nsiproxy", 4), ("PlugPlay", 3)))
)
# Wine's own fonts (Marlett draws the caption buttons, Tahoma and MS Sans Serif the dialogs).
# Debian's Wine 8 looks for them in "Z:\usr\share\wine\../fonts", a path its file
# lookup never resolves, so prefixes get copies in C:\windows\Fonts, which it reads.
WINE_FONTS_DIR = "/usr/share/wine/fonts"
PROBE_FONT = "Marlett"
# Wine compares the time of this file with the one its prefix's .update-timestamp holds,
# and updates the prefix (wineboot) when they differ.
WINE_INF = "/usr/share/wine/wine.inf"
UPDATE_TIMESTAMP = ".update-timestamp"
# A socket path holds at most 107 bytes, and the Windows side reads paths into MAX_PATH
# buffers: whatever either sees lives in a short folder of the run's own, wherever the
# build tree sits.
SHORT_ROOT_LIMIT = 32
SHORT_PREFIX = "gyr-"
REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")
# Nine tenths of the template's bytes are Wine's DLLs in the Windows system folder. Wine only
# reads them once a prefix is made and up to date, so every copy shares them with the
# template (hard links, read-only); every other file, the registry and the .ini files that
# Wine and the harness rewrite in place among them, is a copy of its own. The checksums of
# the shared files, taken when the template is made, show whether a run changed one.
SHARED_FOLDER = os.path.join("drive_c", "windows", "system32")
SHARED_SUMS = "template-shared.sha256"
COPY_TAG = ".before-wine-install-"


def wine_version(owned, waits):
    """What `wine --version` says ("" when it says nothing in time)."""
    with contextlib.suppress(processes.NoAnswer):
        return owned.capture(["wine", "--version"], None, waits.wine_version)[1].strip()
    return ""


def short_folder():
    """A new folder with a short path, under the temporary folder when that is short."""
    root = tempfile.gettempdir()
    if len(root) > SHORT_ROOT_LIMIT:
        root = "/tmp"
    return tempfile.mkdtemp(prefix=SHORT_PREFIX, dir=root)


def remove_short_folder(path):
    """Removes a folder that short_folder made, and nothing else."""
    if os.path.basename(path).startswith(SHORT_PREFIX) and os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)


def windows_path(unix_path):
    """The Z: drive of every prefix is the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


# -- the template -----------------------------------------------------------------------
@contextlib.contextmanager
def _file_lock(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def ensure_template(work, owned, waits):
    """Makes the 32-bit template prefix once; parallel callers wait on a lock."""
    work = os.path.abspath(work)
    template = os.path.join(work, TEMPLATE_NAME)
    stamp_path = os.path.join(template, ".gyr-template")
    stamp = f"{TEMPLATE_STAMP}\n{wine_version(owned, waits)}\n"
    with _file_lock(os.path.join(work, "template.lock")):
        with contextlib.suppress(OSError), open(stamp_path) as f:
            if f.read() == stamp:
                return template
        shutil.rmtree(template, ignore_errors=True)
        logs = os.path.join(work, "logs")
        os.makedirs(logs, exist_ok=True)
        out_path = os.path.join(logs, "template-prefix.log")
        env = wineserver.base_environment(template, None)
        started = time.monotonic()
        # A maker that was killed leaves its short folder behind, noted here.
        short_record = os.path.join(work, "template-short-folder")
        with contextlib.suppress(OSError), open(short_record) as f:
            remove_short_folder(f.read().strip())
        short = short_folder()
        with open(short_record, "w") as f:
            f.write(short + "\n")
        try:
            owned.step(["wineboot", "-i"], env, out_path, waits.wineboot,
                       "wineboot -i of the template prefix", cwd=short)
            settings = os.path.join(short, "settings.reg")
            with open(settings, "w", newline="") as f:
                f.write(TEMPLATE_SETTINGS)
            owned.step(["wine", "regedit", "/S", windows_path(settings)], env, out_path,
                       waits.import_reg, "regedit of the template settings", cwd=short)
            install_wine_fonts(template)
            check_font_loaded(env, os.path.join(logs, "template-fonts.log"), short, PROBE_FONT,
                              owned, waits)
        finally:
            wineserver.end_session(template, env, out_path, owned, waits)
            remove_short_folder(short)
        write_shared_sums(template, os.path.join(work, SHARED_SUMS))
        with open(stamp_path, "w") as f:
            f.write(stamp)
        processes.log(f"Made a Wine prefix that answers as Windows 95 in "
                    f"{time.monotonic() - started:.0f} s; every run starts from a copy of it, so "
                    f"later runs skip this step ({template})")
        return template


def shared_files(template):
    """The template's files that its copies share, by their path inside the prefix."""
    found = []
    for folder, _, names in os.walk(os.path.join(template, SHARED_FOLDER)):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found.append(os.path.relpath(path, template))
    return sorted(found)


def _sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def write_shared_sums(template, sums_path):
    """Makes the shared files read-only and notes their checksums."""
    with open(sums_path, "w") as out:
        for rel in shared_files(template):
            path = os.path.join(template, rel)
            os.chmod(path, os.stat(path).st_mode & ~0o222)
            out.write(f"{_sha256(path)}  {rel}\n")


def changed_shared_files(template, sums_path):
    """The shared files that no longer hold what they held when the template was made,
    or that came or went since; [] when none did."""
    with open(sums_path) as f:
        noted = dict(reversed(line.rstrip("\n").split("  ", 1)) for line in f if line.strip())
    changed = []
    for rel in sorted(set(noted) | set(shared_files(template))):
        path = os.path.join(template, rel)
        if rel not in noted:
            changed.append(f"{rel}: not there when the template was made")
        elif not os.path.isfile(path):
            changed.append(f"{rel}: gone")
        elif _sha256(path) != noted[rel]:
            changed.append(f"{rel}: its bytes changed")
    return changed


def copy_template(template, prefix, owned, waits):
    """A copy of the template for one run: the Windows system folder's files shared (hard
    links), every other file a copy of its own, so a run writes only its own files."""
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    out_path = prefix + ".copy.log"
    owned.step(["cp", "-al", template, prefix], None, out_path, waits.copy_template,
               "the copy of the template prefix")
    with contextlib.suppress(FileNotFoundError):
        os.unlink(out_path)
    shared = os.path.join(prefix, SHARED_FOLDER)
    for folder, dirs, names in os.walk(prefix):
        if folder == shared:
            dirs[:] = []
            continue
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            # A new file in the link's place: the template's own stays as it is.
            own = path + ".gyr-own"
            shutil.copy2(path, own)
            os.replace(own, path)


def install_wine_fonts(prefix, fonts_dir=WINE_FONTS_DIR, keep_existing=False):
    """Copies Wine's own font files into the prefix's Fonts folder; returns the names
    copied. keep_existing: a file of the same name (in any case) is left as it is."""
    if not os.path.isfile(os.path.join(fonts_dir, PROBE_FONT.lower() + ".ttf")):
        raise WineError(f"Wine's fonts are missing from {fonts_dir}; scripts/setup installs "
                        "them (fonts-wine)")
    target = os.path.join(prefix, "drive_c", "windows", "Fonts")
    os.makedirs(target, exist_ok=True)
    present = {n.lower() for n in os.listdir(target)} if keep_existing else set()
    copied = []
    for name in sorted(os.listdir(fonts_dir)):
        source = os.path.join(fonts_dir, name)
        if os.path.isfile(source) and name.lower() not in present:
            shutil.copyfile(source, os.path.join(target, name))
            copied.append(name)
    return copied


def check_font_loaded(env, log_path, cwd, family, owned, waits):
    """Raises unless a Wine program in this prefix loads a face of the family: what Wine's
    font tracing reports, so that a font present on disk but never read still fails."""
    probe_env = dict(env, WINEDEBUG="-all,trace+font")
    with contextlib.suppress(FileNotFoundError):
        os.remove(log_path)
    owned.step(["wine", "cmd", "/c", "exit"], probe_env, log_path, waits.font_probe,
               "the font probe", cwd=cwd)
    needle = f'Adding face L"{family}"'.encode()
    with open(log_path, "rb") as f:
        if any(needle in line for line in f):
            return
    raise WineError(f"Wine loads no {family} font in the template prefix (the dialogs' close "
                    f"box would show as a letter); see {log_path}")


def set_windows_version(user_reg, version):
    """Sets the Version value of HKCU\\Software\\Wine in a prefix's user hive whose session
    is down; None takes it out, so that the prefix answers as Wine's default again."""
    with open(user_reg, newline="") as f:
        lines = f.read().split("\n")
    section = None
    found = False
    kept = []
    for line in lines:
        if line.startswith("["):
            section = line.split("]", 1)[0] + "]"
        elif section == "[Software\\\\Wine]" and line.startswith('"Version"='):
            found = True
            if version is None:
                continue
            line = f'"Version"="{version}"'
        kept.append(line)
    if not found:
        raise WineError(f"no Windows version to set in {user_reg}")
    with open(user_reg, "w", newline="") as f:
        f.write("\n".join(kept))


# -- a prefix of the user's ----------------------------------------------------------------
def prefix_arch(prefix):
    """"win32", "win64", or None when the folder holds no system.reg. Raises OSError when
    system.reg is there but cannot be read."""
    try:
        with open(os.path.join(prefix, "system.reg"), "rb") as f:
            head = f.read(4096)
    except FileNotFoundError:
        return None
    return "win64" if b"#arch=win64" in head else "win32"


def wine_will_update(prefix, wine_inf=WINE_INF):
    """Whether Wine will update this prefix at its next start: the prefix was last updated
    by another Wine (its .update-timestamp differs from the time of Wine's wine.inf)."""
    try:
        with open(os.path.join(prefix, UPDATE_TIMESTAMP)) as f:
            held = f.read().strip()
        current = int(os.stat(wine_inf).st_mtime)
    except (OSError, UnicodeDecodeError):
        return False
    return held != "disable" and held != str(current)


def back_up_registry(prefix, now=None):
    """Copies the registry files beside them, the date and time in their names; a copy
    never replaces another. Returns [(file, copy)]."""
    stamp = (now or datetime.datetime.now()).strftime("%Y-%m-%d-%H%M%S")
    copies = []
    for name in REGISTRY_FILES:
        source = os.path.join(prefix, name)
        if not os.path.isfile(source):
            continue
        copy = f"{source}{COPY_TAG}{stamp}"
        n = 1
        while os.path.lexists(copy):
            n += 1
            copy = f"{source}{COPY_TAG}{stamp}-{n}"
        shutil.copy2(source, copy)
        copies.append((source, copy))
    return copies


def main():
    signals.stop_on_signals()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", required=True, help="where the template prefix lives")
    parser.add_argument("command", choices=["template", "check-shared"])
    args = parser.parse_args()
    if args.command == "check-shared":
        work = os.path.abspath(args.work)
        changed = changed_shared_files(os.path.join(work, TEMPLATE_NAME),
                                       os.path.join(work, SHARED_SUMS))
        for line in changed:
            print(f"FAIL: the template's shared file {line}")
        if not changed:
            print(f"the template's {len(shared_files(os.path.join(work, TEMPLATE_NAME)))} "
                  "shared files are as they were when it was made")
        return 1 if changed else 0
    waits = waiting.scenario()
    try:
        with processes.Owned.of(waits) as owned:
            print(ensure_template(args.work, owned, waits))
    except signals.Interrupted as stop:
        return stop.exit_status
    return 0


if __name__ == "__main__":
    sys.exit(main())

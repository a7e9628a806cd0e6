"""A prefix's Wine session: the environment its programs run in, whether its wineserver
runs (found the way Wine finds it, without starting one), and the wait for its end.
"""

import contextlib
import fcntl
import os
import shutil
import struct

from wine import processes

# No Mono or Gecko installer, and no menu builder: every session start would otherwise run
# winemenubuilder, which writes the host's desktop menus and, under qemu-i386, costs a
# second of CPU for nothing the installer needs.
WINE_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def base_environment(prefix, display):
    env = dict(os.environ)
    for name in ("WINELOADER", "WINESERVER", "WINEDLLPATH"):
        env.pop(name, None)
    env.update(WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES=WINE_OVERRIDES)
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def _random_name(prefix):
    """The name the prefix's wineserver chose for its base folder, or None."""
    with contextlib.suppress(OSError, UnicodeDecodeError), \
            open(os.path.join(prefix, "wineserver")) as f:
        name = f.read().strip()
        if name and "/" not in name:
            return name
    return None


def server_folders(prefix, uid=None, environ=None, run_user_root="/run/user"):
    """Where a wineserver of this prefix keeps its socket and lock, the way Wine computes it:
    a folder server-DEV-INODE (the prefix folder's device and inode, in hex) below a base
    folder. Debian's Wine 8 takes /run/user/UID/wine when /run/user/UID exists, and
    otherwise $TMPDIR (or /tmp) joined with the random name the server wrote into the
    prefix's "wineserver" file; upstream Wine takes /tmp/.wine-UID."""
    uid = os.getuid() if uid is None else uid
    environ = os.environ if environ is None else environ
    try:
        st = os.stat(prefix)
    except OSError:
        return []
    name = f"server-{st.st_dev:x}-{st.st_ino:x}"
    bases = []
    run_user = os.path.join(run_user_root, str(uid))
    if os.path.isdir(run_user):
        bases.append(os.path.join(run_user, "wine"))
    random_name = _random_name(prefix)
    if random_name:
        bases.append(os.path.join(environ.get("TMPDIR") or "/tmp", random_name))
        bases.append(os.path.join("/tmp", random_name))
    bases.append(f"/tmp/.wine-{uid}")
    return [os.path.join(base, name) for base in dict.fromkeys(bases)]


def _lock_held(path):
    """Whether a running process holds a write lock on this file (asked, never taken)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return False
    try:
        request = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
        answer = fcntl.fcntl(fd, fcntl.F_GETLK, request)
        return struct.unpack("hhqqi4x", answer)[0] != fcntl.F_UNLCK
    finally:
        os.close(fd)


def server_running(prefix):
    """Whether the prefix's wineserver runs, without starting one or connecting to it: a
    running server holds the lock file in its folder."""
    return any(_lock_held(os.path.join(folder, "lock")) for folder in server_folders(prefix))


def remove_server_folders(prefix):
    """Removes what ended sessions of a prefix left in Wine's temporary folders (a socket,
    a lock), before the prefix itself goes: afterwards nothing names them any more. Folders
    of a server still running are left alone. Returns the folders removed."""
    removed = []
    for folder in server_folders(prefix):
        if os.path.isdir(folder) and not _lock_held(os.path.join(folder, "lock")):
            shutil.rmtree(folder, ignore_errors=True)
            removed.append(folder)
            # The folder named in the prefix's "wineserver" file is this prefix's own (its
            # copies' too): once empty it goes as well. The shared bases stay.
            base = os.path.dirname(folder)
            if os.path.basename(base) == _random_name(prefix):
                with contextlib.suppress(OSError):
                    os.rmdir(base)
    return removed


def wait_for_session_end(env, out_path, timeout, owned):
    """Waits for a session's programs to end and its registry to be saved; ends nothing of
    the session. When they do not end in time, their state goes to OUT_PATH.stuck."""
    if owned.run_to_files(["wineserver", "-w"], env, out_path, timeout=timeout) == 0:
        return True
    if out_path != os.devnull:
        processes.save_state(out_path + ".stuck", f"the Wine session did not end within "
                             f"{timeout} s", prefix=env["WINEPREFIX"],
                             gdb_timeout=owned.gdb_timeout)
    return False


def end_session(prefix, env, out_path, owned, waits, kill=False):
    """Ends the Wine session of a prefix the caller made (saving its registry); True when
    it ended within its wait. kill: end its programs first."""
    if kill:
        owned.run_to_files(["wineserver", "-k"], env, out_path, timeout=waits.session_kill)
    if wait_for_session_end(env, out_path, waits.session_end, owned):
        return owned.run_to_files(["wineserver", "-w"], env, out_path,
                                  timeout=waits.session_kill) == 0
    # Ended all the same, but by a second kill after its wait ran out: a step that met its
    # time-out, which the caller reports rather than passing over.
    owned.run_to_files(["wineserver", "-k"], env, out_path, timeout=waits.session_kill)
    owned.run_to_files(["wineserver", "-w"], env, out_path, timeout=waits.session_kill)
    return False

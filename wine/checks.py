"""What scripts/wine-install checks before it touches anything: that DEVICE is a serial line
and not the command's own terminal, and that the prefix is one Wine can use as the
caller's. Each check reads only and says in one line why it refuses, or returns None.
"""

import os
import pwd
import stat

from wine import prefix as prefixes

CONTROLLING_TTY = os.makedev(5, 0)


# -- DEVICE ---------------------------------------------------------------------------------
def controlling_terminal():
    """The device number of this process's controlling terminal, or 0 when it has none."""
    try:
        with open("/proc/self/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[4])
    except (OSError, ValueError, IndexError):
        return 0


def own_terminals():
    """The device numbers of the terminals this command reads from or writes to."""
    devices = set()
    for fd in (0, 1, 2):
        try:
            st = os.fstat(fd)
        except OSError:
            continue
        if stat.S_ISCHR(st.st_mode) and os.isatty(fd):
            devices.add(st.st_rdev)
    tty = controlling_terminal()
    if tty:
        devices.add(tty)
    return devices


def check_device(path, terminals=None):
    """Why DEVICE cannot be the controller's line, in one line, or None. Nothing is opened
    before it is known to be a character device; then it is opened without waiting for the
    modem lines and closed at once."""
    if "\n" in path or "\r" in path:
        return f"{path!r} holds a line break, which no device path has and the registry cannot hold"
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return f"{path} does not exist: name the controller's serial device, e.g. /dev/ttyUSB0"
    except OSError as error:
        return f"{path} cannot be reached ({error.strerror})"
    if not stat.S_ISCHR(st.st_mode):
        return f"{path} is not a serial device"
    # /dev/tty stands for whichever terminal opens it: the caller's own.
    if st.st_rdev == CONTROLLING_TTY or \
            st.st_rdev in (own_terminals() if terminals is None else terminals):
        return (f"{path} is the terminal this command runs in, not the controller's line: name "
                "the controller's serial device, e.g. /dev/ttyUSB0")
    if not os.access(path, os.R_OK | os.W_OK):
        return (f"{path} cannot be opened for reading and writing: add yourself to its group "
                "(usually dialout) and log in again")
    try:
        fd = os.open(path, os.O_RDWR | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as error:
        return f"{path} cannot be opened ({error.strerror})"
    try:
        if not (stat.S_ISCHR(os.fstat(fd).st_mode) and os.isatty(fd)):
            return f"{path} is not a serial device"
    finally:
        os.close(fd)
    return None


# -- the prefix -----------------------------------------------------------------------------
def owner_name(uid):
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return f"user {uid}"


def check_prefix(prefix, own_marker, uid=None):
    """Why the prefix cannot be used, in one line, or None. Reads only; whether Wine runs
    there is asked once the prefix is locked.
    own_marker: the file this command leaves in a prefix it began and did not finish; a
    folder holding it is this command's own, with or without system.reg."""
    uid = os.getuid() if uid is None else uid
    if os.path.lexists(prefix) and not os.path.isdir(prefix):
        return f"{prefix} is not a folder: set WINEPREFIX to a folder"
    if os.path.isdir(prefix):
        owner = os.stat(prefix).st_uid
        if owner != uid:
            return (f"{prefix} belongs to {owner_name(owner)}, and Wine runs only in a prefix "
                    f"of your own: run wine-install as {owner_name(owner)}, or set WINEPREFIX to "
                    "a folder of yours")
        try:
            arch = prefixes.prefix_arch(prefix)
        except OSError as error:
            return (f"{prefix}/system.reg cannot be read ({error.strerror}): Wine could not use "
                    "this prefix either; set WINEPREFIX to another folder")
        try:
            names = os.listdir(prefix)
        except OSError as error:
            return f"{prefix} cannot be read ({error.strerror}): set WINEPREFIX to another folder"
        if arch is None and names and not os.path.exists(os.path.join(prefix, own_marker)):
            return (f"{prefix} is not a Wine prefix (it holds files but no system.reg): set "
                    "WINEPREFIX to an empty or new folder, or to a Wine prefix")
        if arch == "win64":
            return (f"{prefix} is a 64-bit prefix; the installer's Wine side is 32-bit: set "
                    "WINEPREFIX to a new folder")
        for name in prefixes.REGISTRY_FILES:
            path = os.path.join(prefix, name)
            if os.path.exists(path) and not os.access(path, os.R_OK | os.W_OK):
                return (f"{path} cannot be read and written: Wine could not use this prefix; "
                        "set WINEPREFIX to another folder")
    existing = prefix
    while not os.path.lexists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        return f"{existing} is a file, not a folder: set WINEPREFIX to a folder"
    if not os.access(existing, os.W_OK | os.X_OK):
        return f"{existing} is not writable: set WINEPREFIX to a folder you can write"
    return None

"""Every wait of a run, named once per caller (the recipe, the demo, a scenario), and the one
polling function that serves them all.

A Waits value travels into the run as an argument; nothing reads a module constant for a
time-out. How the values nest:
- each single wait sits inside the step that holds it: an X tool's call, a focus, a
  screenshot inside the user's wait for a window; the user's waits and the program's own
  time inside the installer step;
- a stop's grace (TERM, then KILL) comes on top of the wait it ends;
- a caller's whole path, the sum of its steps' waits (path()), sits inside the caller's
  deadline, and the deadline inside CTest's time-out for that test, with room for the
  clean-up after it (cleanup()).
"""

import dataclasses
import time


@dataclasses.dataclass(frozen=True)
class Waits:
    """Seconds. None where a wait has no limit on purpose."""
    # The person at the screen (wine.user).
    x_tool: float = 20          # one xdotool call
    screenshot: float = 30      # one `import` of a window
    focus: float = 10           # a window getting the keyboard focus
    window: float = 30          # a scenario's wait for a window it expects
    first_window: float = 60    # answer_windows: the program's first window
    next_window: float = 60     # answer_windows: each window after an answered one
    # On the user's own display, how long a window may stay up unanswered; None: as long as
    # the user takes (the program's own time starts once it is answered). Unused where the
    # run answers the windows itself.
    answer: float | None = None
    program: float = 90         # the program's end, once the user is done
    # The machine around the program.
    xvfb: float = 30            # the X server telling its display
    simulator_start: float = 10  # a controller simulator telling its line
    listener_ready: float = 60
    listener_stop: float = 30
    session_start: float = 60   # wineserver -p
    import_reg: float = 120     # a scenario's regedit, which also starts the session
    session_end: float = 60     # wineserver -w after a run
    session_kill: float = 30    # wineserver -k
    stop_session: float = 20    # an interrupted run's wait for the session to save and end
    copy_template: float = 300
    wineboot: float = 600       # the recipe making a prefix
    import_keys: float = 300    # the recipe importing the machine's keys
    font_probe: float = 120
    wine_version: float = 60
    build: float = 1800         # scripts/build dist, when the executable is missing
    native_install: float = 60
    # Stops: the grace between SIGTERM and SIGKILL, and gdb's time per stuck process.
    grace: float = 2
    xvfb_grace: float = 10
    simulator_grace: float = 5
    gdb: float = 60

    def machine_setup(self, controllers=2):
        """The waits of a test machine's making, before the program starts."""
        return (self.copy_template + self.xvfb + controllers * self.simulator_start
                + self.session_start + self.import_reg + self.listener_ready)

    def session_close(self):
        """Ending a session the caller owns: -k, -w, and again -k and -w when it lingers."""
        return 2 * self.session_kill + self.session_end + 30 + 2 * self.grace

    def installer(self, windows=3):
        """The installer step: the user's waits for each window with their X calls, then the
        program's own time, then the stop of a program that did not end."""
        per_window = self.window + self.focus + 2 * self.x_tool + 3 * self.screenshot
        return (self.first_window + windows * per_window + self.program
                + self.grace + self.gdb)

    def path(self, controllers=2, windows=3):
        """The longest a scenario's run can take when each of its waits runs out."""
        return (self.machine_setup(controllers) + self.installer(windows)
                + self.listener_stop + self.session_close())

    def template_path(self):
        """Making the template prefix the scenarios copy: wine --version, wineboot, the
        settings' import, the font probe, then the session's end."""
        return (self.wine_version + self.wineboot + self.import_reg + self.font_probe
                + self.session_end + 2 * self.session_kill + 4 * self.grace)

    def cleanup(self):
        """What a run stopped at its deadline still does: end its groups and its session."""
        return self.grace + self.xvfb_grace + self.simulator_grace + self.session_close()


def recipe(on_users_display):
    """scripts/wine-install. On the user's display the user answers each window: the wait
    while one is up has no limit, and the program gets eleven minutes once it is answered."""
    if on_users_display:
        return Waits(program=660, next_window=600, answer=None)
    return Waits()


def demo(wait_for_user):
    return recipe(on_users_display=True) if wait_for_user else Waits()


def scenario():
    """An end-to-end scenario: the machine made afresh, the user a script. The stop is
    quick (the stuck state is saved first), and the deadline is this path's own."""
    return Waits(copy_template=60, session_start=30, import_reg=90, x_tool=10, screenshot=15,
                 gdb=30, wineboot=180, font_probe=60)


def poll(check, timeout, every=0.1, give_up=None):
    """Calls check() until it returns something true, which is returned; None once timeout
    seconds have gone by (None: never) or, after one last check, once give_up() is true."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        found = check()
        if found:
            return found
        if give_up is not None and give_up():
            return check() or None
        if deadline is not None and time.monotonic() >= deadline:
            return None
        time.sleep(every)


def recipe_path(waits, making):
    """The longest scripts/wine-install can take with these waits when each runs out, the
    installer answered on its own display: making a prefix (making), importing its keys,
    waiting for its session, then the installer step and the session's end again."""
    prepare = (waits.wineboot if making else 0) + waits.import_keys + waits.session_end
    return prepare + waits.xvfb + waits.installer(windows=2) + waits.session_end \
        + waits.stop_session + waits.xvfb_grace


def parse(text, base):
    """base with the waits named in "NAME=SECONDS,..." replaced: how a test hands
    scripts/wine-install shorter waits on its command line."""
    changes = {}
    for item in filter(None, text.split(",")):
        name, _, seconds = item.partition("=")
        if name not in {f.name for f in dataclasses.fields(Waits)}:
            raise ValueError(f"no wait is named {name!r}")
        value = float(seconds)
        changes[name] = int(value) if value.is_integer() else value
    return dataclasses.replace(base, **changes)

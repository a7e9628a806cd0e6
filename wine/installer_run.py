"""One run of gyrsetup.exe under Wine: start it, let the user answer its windows, wait for
its end or stop it, let the session end, read the registry back; one Result assembled at
the end from what each part returned.

The recipe of scripts/wine-install, the demo and the end-to-end scenarios all run the
program through run(); what differs between them comes in as one Order.
"""

import contextlib
import dataclasses
import os

from wine import registry
from wine.phases import Phases
from wine.user import MESSAGE_BOX_DEBUG, User, message_box_texts


@dataclasses.dataclass(frozen=True)
class Order:
    """What a caller gives a run."""
    env: dict               # the Wine environment, DISPLAY included
    argv: tuple             # the Windows command line after "wine"
    cwd: str                # the folder the program starts in
    work_dir: str           # where its log (gyrsetup.log) goes
    artifacts: str          # where the screenshots go
    registry_file: str      # the system.reg read back once the session has ended
    # end_session(): ends or waits for the prefix's Wine session, so that system.reg holds
    # what was written; returns a problem in words, or None.
    end_session: object
    play: object            # play(user): the user answering the windows (wine.user)
    waits: object           # waits.Waits
    owned: object           # processes.Owned: the caller's stop ends the program with the rest
    listener: object = None  # start() before the program, finish() -> (count, problem) after
    program_env: dict = dataclasses.field(default_factory=dict)  # the program's alone
    phases: object = None   # phases.Phases timing the steps


@dataclasses.dataclass(frozen=True)
class Result:
    """What a run of gyrsetup.exe came to; built once, at the run's end."""
    exit_code: object       # None: it did not end by itself and was stopped
    shown: tuple            # user.Shown, in order
    message_boxes: tuple
    screenshots: tuple
    program_output: str
    hive: object            # registry.Hive of system.reg after the session ended, or None
    problems: tuple         # in the order they came: the last is the latest
    work_dir: str
    broadcasts: object = None  # what the caller's listener counted, or None

    @property
    def dialog_title(self):
        """The first dialog shown, a message box aside."""
        return next((s.title for s in self.shown if not s.message), "")


def run(order):
    """Runs gyrsetup.exe once and returns its Result. A failure of the user's (an X tool
    that does not answer, say) still stops the program, ends the listener and lets the
    session end before it goes on up. A stop signal or the deadline leaves all of it to the
    caller's own stop, which ends the run's processes first."""
    phases = order.phases or Phases()
    owned = order.owned
    log_path = os.path.join(order.work_dir, "gyrsetup.log")
    exit_code = None
    problems = []
    user = None
    how = "stopped"  # until the play ends or fails
    result = None
    try:
        if order.listener is not None:
            with phases("listener start"):
                order.listener.start()
        with phases("installer"):
            with open(log_path, "wb") as out:
                program = owned.popen(["wine", *order.argv],
                                      env=dict(order.env, WINEDEBUG=MESSAGE_BOX_DEBUG,
                                               **order.program_env),
                                      stdout=out, stderr=out, cwd=order.cwd)
            user = User(order.env, program, owned, order.waits, order.artifacts, order.work_dir,
                        log_path)
            try:
                order.play(user)
            except Exception:
                how = "failed"
                owned.stop(program, "gyrsetup.exe")
                raise
            exit_code = owned.wait(program, order.waits.program)
            if exit_code is None:
                state = owned.stop(program, "gyrsetup.exe",
                                   os.path.join(order.work_dir, "gyrsetup.stuck"))
                problems.append("the installer did not exit; killed" + (
                    f" after {order.waits.program} s (the state of its processes: {state})"
                    if state else ""))
        how = "ended"
    except Exception:
        how = "failed"
        raise
    finally:
        if how != "stopped":
            result = _finish(order, phases, log_path, exit_code, user, problems)
    return result


def _finish(order, phases, log_path, exit_code, user, problems):
    """The listener's count, the session's end and the registry, once the program has
    ended; the Result of the run."""
    broadcasts = None
    if order.listener is not None and order.listener.started():
        with phases("listener stop"):
            broadcasts, problem = order.listener.finish()
            if problem:
                problems.append(problem)
    with phases("session end"):
        problem = order.end_session()
        if problem:
            problems.append(problem)
    with phases("registry read"):
        output, hive = "", None
        with contextlib.suppress(FileNotFoundError), \
                open(log_path, errors="replace", newline="") as f:
            output = f.read()
        try:
            hive = registry.Hive(order.registry_file)
        except (OSError, registry.HiveFormatError) as error:
            problems.append(f"the registry could not be read back: {error}")
    return Result(exit_code=exit_code, shown=tuple(user.shown if user else ()),
                  message_boxes=tuple(message_box_texts(output)),
                  screenshots=tuple(user.screenshots if user else ()), program_output=output,
                  hive=hive, problems=tuple((user.problems if user else []) + problems),
                  work_dir=order.work_dir, broadcasts=broadcasts)

"""One run of gyrsetup.exe under Wine, for whoever asks: the recipe of scripts/wine-install,
the demo and the end-to-end scenarios alike.

It starts the program among the run's own processes, lets the user (wine.user) answer its
windows, waits for it to end or ends it at the time-out, reads its log and the message
boxes it traced, lets the Wine session end the way the caller says, and reads the registry
back. What differs between callers comes in as arguments; the result is one Outcome, the
windows shown among it.
"""

import dataclasses
import os
import subprocess

from wine import registry, session
from wine.user import MESSAGE_BOX_DEBUG, User, message_box_texts

JDD_CONFIGCHANGED = 0x903
JDD_GETDEVCAPS = 0x802


@dataclasses.dataclass
class Outcome:
    """What a run of gyrsetup.exe came to."""
    exit_code: object = None        # None: it did not end by itself and was stopped
    shown: list = dataclasses.field(default_factory=list)  # user.Shown, in order
    dialog_title: str = ""          # the first dialog shown (a message box aside)
    message_boxes: list = dataclasses.field(default_factory=list)
    screenshots: list = dataclasses.field(default_factory=list)
    program_output: str = ""
    hive: object = None             # registry.Hive of system.reg after the session ended
    user_problems: list = dataclasses.field(default_factory=list)
    work_dir: str = ""              # where the run's logs are
    # Filled in by the test machine alone: its test driver, listener and simulators.
    driver_messages: list = dataclasses.field(default_factory=list)
    broadcasts: object = None
    simulator_logs: dict = dataclasses.field(default_factory=dict)

    def notifications(self):
        """The number of (0x903, 0x802) pairs, or None when the log is not made of them."""
        codes = [c for c in self.driver_messages if c in (JDD_CONFIGCHANGED, JDD_GETDEVCAPS)]
        pairs = [JDD_CONFIGCHANGED, JDD_GETDEVCAPS] * (len(codes) // 2)
        return len(codes) // 2 if codes == pairs else None

    def queries(self, port):
        return sum(1 for line in self.simulator_logs.get(port, []) if line.strip() == "query")


def run(owned, env, argv, *, cwd, work_dir, play, artifacts, timeout, end_session,
        registry_file, gives_focus=False, listener=None, program_env=None, phases=None):
    """Runs gyrsetup.exe once and returns its Outcome.

    owned: the session.Owned the program is started among, so that the caller's stop ends
    it with the rest. env: the Wine environment, DISPLAY included; argv: the Windows
    command line after "wine"; cwd: the folder it starts in. work_dir: where its log
    (gyrsetup.log) goes. play(user): the user answering its windows (wine.user).
    artifacts: where the screenshots go. timeout: how long the program may take once the
    user is done. gives_focus: the user clicks a window before typing into it (no window
    manager does it). listener: started before the program and told its outcome once the
    program ended (start(), finish(outcome)), or None. end_session(outcome): ends or waits
    for the prefix's Wine session, so that system.reg holds what was written; it notes in
    outcome.user_problems what went wrong. registry_file: that system.reg. program_env: added
    to the program's environment alone. phases: a session.Phases that times the steps.
    """
    phases = phases or session.Phases()
    outcome = Outcome(work_dir=work_dir)
    log_path = os.path.join(work_dir, "gyrsetup.log")
    if listener is not None:
        with phases("listener start"):
            listener.start()
    with phases("installer"):
        with open(log_path, "wb") as out:
            program = owned.popen(["wine", *argv],
                                  env=dict(env, WINEDEBUG=MESSAGE_BOX_DEBUG, **(program_env or {})),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=out, cwd=cwd)
        user = User(env, program, artifacts, outcome, log_path, gives_focus=gives_focus)
        # Stopped by a signal, the caller ends the program with the rest of what it owns.
        play(user)
        if user.wait_exit(timeout):
            outcome.exit_code = program.returncode
        else:
            state = owned.stop(program, "gyrsetup.exe", os.path.join(work_dir, "gyrsetup.stuck"))
            outcome.user_problems.append(
                "the installer did not exit; killed" +
                (f" after {timeout} s (the state of its processes: {state})" if state else ""))
    if listener is not None:
        with phases("listener stop"):
            listener.finish(outcome)
    with phases("session end"):
        end_session(outcome)
    with phases("registry read"):
        with open(log_path, errors="replace", newline="") as f:
            outcome.program_output = f.read()
        outcome.message_boxes = message_box_texts(outcome.program_output)
        try:
            outcome.hive = registry.Hive(registry_file)
        except (OSError, registry.HiveFormatError) as error:
            outcome.user_problems.append(f"the registry could not be read back: {error}")
    return outcome

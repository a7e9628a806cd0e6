"""The repository's commands run as their user runs them, for the end-to-end tests and the
stress programs: run_script() to a time-out, and main() that turns a stop into its status."""

import sys

from wine import processes, signals


def run_script(script, argv, env, output_path, owned, timeout, grace=60):
    """Runs a command of the repository with its output in a file; returns (its exit code,
    None when it was stopped at the time-out, and its output). Stopped ourselves, the
    command gets grace seconds after SIGTERM to end its own installer and session."""
    with open(output_path, "wb") as out:
        proc = owned.popen([script] + list(argv), env=env, stdout=out,
                           stderr=processes.STDOUT)
    try:
        rc = owned.wait(proc, timeout)
        if rc is None:
            state = owned.stop(proc, " ".join([script] + list(argv)), output_path + ".stuck",
                               grace=grace)
            print(f"{script} {' '.join(argv)} did not end within {timeout} s and was stopped "
                  f"(the state of its stuck processes: {state})", flush=True)
    except BaseException:
        owned.stop(proc, script, grace=grace)
        raise
    finally:
        owned.forget(proc)
    with open(output_path, errors="replace") as f:
        return rc, f.read()


def main(function, stopped=None):
    """Exits with function()'s status; a stop signal ends the run's processes on its way up
    (every finally block runs) and exits with 128 + N, after the words stopped(name) gives."""
    signals.stop_on_signals()
    try:
        sys.exit(function())
    except signals.Interrupted as stop:
        if stopped:
            print(stopped(stop.name), flush=True)
        sys.exit(stop.exit_status)

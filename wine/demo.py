"""Shows gyrsetup.exe doing its job under Wine on a Windows 9x-like machine (scripts/demo).

The machine has two serial ports; the controller simulator answers on COM2 (or nowhere
with --no-controller, which brings up the port-selection dialog). The program runs on
your display when DISPLAY is set, otherwise on an Xvfb of its own; the demo takes a
screenshot of each dialog or message box and presses Enter in it, then prints, in plain
words, what the installer showed, which ports it tried and what it wrote.

    python3 -m wine.demo --build BUILD [--no-controller] [--wait-for-user] [--keep]
"""

import argparse
import os
import sys

from wine import machine, report, signals, waits as waiting
from wine.machine import Controller
from wine.user import answer_windows

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo_machine.reg")
# The demo machine's serial ports. Its registry lists each of them twice (the serial-port
# map and a BIOS port instance), and the installer's census counts entries: 4.
DEMO_PORTS = ("COM1", "COM2")
DEMO_COUNTED = 4


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="the folder holding native/ and win32/")
    parser.add_argument("--native-build", help="the native build (default: BUILD/native)")
    parser.add_argument("--win32-build", help="the Windows build (default: BUILD/win32)")
    parser.add_argument("--no-controller", action="store_true",
                        help="attach no controller: the port-selection dialog appears")
    parser.add_argument("--wait-for-user", action="store_true",
                        help="on your display, leave the dialog for you to answer")
    parser.add_argument("--keep", action="store_true", help="keep the prefix copy")
    args = parser.parse_args()
    signals.stop_on_signals()

    build = os.path.abspath(args.build)
    paths = machine.Paths(os.path.abspath(args.native_build or os.path.join(build, "native")),
                         os.path.abspath(args.win32_build or os.path.join(build, "win32")))
    missing = paths.missing()
    if missing:
        print("demo: not built: " + ", ".join(missing), file=sys.stderr)
        return 1
    display = os.environ.get("DISPLAY")
    own_display = not display
    controllers = () if args.no_controller else (Controller(2),)
    name = "demo-no-controller" if args.no_controller else "demo"
    print(f"demo: preparing a Wine prefix that answers as Windows 95 ({'no controller' if args.no_controller else 'controller on COM2'})...",
          flush=True)
    try:
        outcome, problems = machine.run_installer(
            paths, name, FIXTURE, controllers,
            answer_windows(pause=0 if own_display else 3,
                           wait_for_user=args.wait_for_user and not own_display),
            lambda o: [] if o.exit_code == 0 else [f"exit code {o.exit_code}"],
            waits=waiting.demo(args.wait_for_user and not own_display),
            display=display, own_display=own_display, keep=args.keep)
    except signals.Interrupted as stop:
        print(f"\ndemo: stopped by {stop.name}; the demo's Wine programs and X server are "
              "ended, and its prefix copy is kept for the next run to remove", flush=True)
        return stop.exit_status
    answering = "you answered" if args.wait_for_user and display else "the demo pressed OK"
    report.report(outcome, [
        ("machine", f"a Windows 9x-like machine ({os.path.basename(FIXTURE)}) with the joystick driver's "
                    f"registry keys and two serial ports, COM1 and COM2, in a fresh Wine "
                    "prefix; " + ("nothing is behind either port" if args.no_controller
                                  else "COM1 has nothing behind it")),
        ("controller", "none attached" if args.no_controller
                       else "the controller simulator, playing the Gyrelle on COM2"),
        ("display", (f"your display {display}" if display else "an Xvfb of the demo's own")
                    + f"; {answering} in each window")],
        machine_ports=DEMO_PORTS, counted=DEMO_COUNTED)
    if problems:
        print("\ndemo: problems: " + "; ".join(problems))
        print(f"demo: the prefix is kept in {outcome.work_dir}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

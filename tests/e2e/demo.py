#!/usr/bin/env python3
"""Shows gyrsetup.exe doing its job under Wine on a Windows 9x-like machine.

The machine has two serial ports; the controller simulator answers on COM2 (or nowhere
with --no-controller, which brings up the port-selection dialog). The program runs on
your display when DISPLAY is set, otherwise on an Xvfb of its own; the demo takes a
screenshot of the dialog and presses Enter in it, then prints what the installer did.
"""

import argparse
import os
import re
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_harness  # noqa: E402
import expected_registry as keys  # noqa: E402
import wine_runner  # noqa: E402
from e2e_harness import Controller  # noqa: E402

FIXTURE = "machine_two_ports.reg"
DIALOGS = {"Gyrelle Detection": "result dialog", "Com Port Configuration": "port-selection dialog"}
AXES = "XYZRUV"


def answer_dialog(pause, wait_for_user):
    def script(user):
        window, title = None, None
        deadline = time.monotonic() + 60
        while window is None and time.monotonic() < deadline and user.program_running():
            for candidate in DIALOGS:
                found = user.find(candidate)
                if found:
                    window, title = found[-1], candidate
                    break
            time.sleep(0.1)
        if window is None:
            user.outcome.user_problems.append("no dialog appeared")
            return
        user.outcome.dialog_title = title
        user.screenshot(window, "dialog")
        if wait_for_user:
            print(f'The "{title}" dialog is on your display: press OK (or Enter) in it.', flush=True)
            user.wait_exit(600)
            return
        time.sleep(pause)
        user.key(window, "Return")
    return script


def text_of(data):
    return data.split(b"\0", 1)[0].decode("ascii", "replace")


def describe_hw_config(data):
    if len(data) != 112:
        return f"{len(data)} bytes (not a 112-byte JOYREGHWCONFIG)"
    w = struct.unpack("<28I", data)
    return (f"flags 0x{w[0]:08X}, {w[1]} buttons, usage {w[2]}, "
            f"min {list(w[3:9])}, max {list(w[9:15])}, centre {list(w[15:21])}, "
            f"POV {list(w[21:25])}, calibration flags {w[25]}, type {w[26]}, reserved {w[27]}")


def describe_oem_config(data):
    if len(data) != 28:
        return f"{len(data)} bytes (not a 28-byte OEM configuration record)"
    first, second = struct.unpack_from("<II", data)
    return (f'{first}, {second}, {data[8:16].hex(" ").upper()}, port "{text_of(data[16:21])}", '
            f'axes "{text_of(data[21:28])}"')


def describe_value(name, value):
    kind, data = value
    if kind == keys.REG_SZ:
        return f'"{text_of(data)}" (text, {len(data)} bytes)'
    if name.lower().endswith("oemconfiguration"):
        return describe_oem_config(data)
    if len(data) == 112:
        return describe_hw_config(data)
    return f"type {kind}, {len(data)} bytes: {data.hex(' ')}"


def report(outcome, controller_port, display_note):
    hive = outcome.hive
    lines = ["", "gyrsetup.exe under Wine", "=======================",
             f"machine:            {FIXTURE} (serial ports COM1, COM2 listed in the registry)",
             "controller:         " + (f"simulator on COM{controller_port}" if controller_port
                                       else "none attached"),
             f"display:            {display_note}",
             f"exit code:          {outcome.exit_code}"]
    dialog = outcome.dialog_title
    lines.append(f'dialog shown:       "{dialog}" ({DIALOGS.get(dialog, "none")})' if dialog
                 else "dialog shown:       none seen")
    for shot in outcome.screenshots:
        lines.append(f"screenshot:         {shot}")
    type_settings = hive.values(keys.TYPE_SETTINGS) if hive else None
    port = None
    if type_settings and "Joystick1OEMConfiguration" in type_settings:
        port = text_of(type_settings["Joystick1OEMConfiguration"][1][16:21])
    if dialog == "Gyrelle Detection":
        lines.append(f"port found:         {port}")
    else:
        lines.append(f"port found:         none; configured for {port} (the list's preselection)")
    for p in sorted(outcome.simulator_logs):
        lines.append(f"queries on COM{p}:    {outcome.queries(p)} (the purge after the banner may take the second)")
    lines.append(f"driver notices:     {outcome.notifications()} (JDD_CONFIGCHANGED 0x903 then "
                 f"0x802 each; {len(outcome.driver_messages)} driver messages in all)")
    lines.append(f"broadcasts seen:    {outcome.broadcasts} MSJSTICK_VJOYD_MSGSTR")
    lines.append("")
    lines.append("Registry written (HKEY_LOCAL_MACHINE), as RegQueryValueExA reads it:")
    for title, key in (("joystick 1, current settings", keys.CURRENT_SETTINGS),
                       ("type settings", keys.TYPE_SETTINGS),
                       ("OEM type", keys.OEM_TYPE)):
        values = hive.values(key) if hive else None
        lines.append(f"  {title}: {key}")
        if not values:
            lines.append("    (nothing)")
            continue
        shown = {}
        # In the order the installer writes them, where that order is known.
        order = ["OEMDATA"] + [n for n, _ in keys.OEM_TEXTS]
        for name, value in sorted(values.items(),
                                  key=lambda item: (order.index(item[0]) if item[0] in order
                                                    else len(order), item[0])):
            described = describe_value(name, value)
            # Sixteen joysticks usually hold the same record: say so once.
            generic = re.sub(r"^Joystick\d+", "Joystick%d", name)
            shown.setdefault((generic, described), []).append(name)
        for (generic, described), names in shown.items():
            label = names[0] if len(names) == 1 else f"{generic} ({len(names)} joysticks)"
            lines.append(f"    {label}: {described}")
    print("\n".join(lines))


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
    wine_runner.cleanup_on_signals()

    build = os.path.abspath(args.build)
    paths = e2e_harness.Paths(os.path.abspath(args.native_build or os.path.join(build, "native")),
                              os.path.abspath(args.win32_build or os.path.join(build, "win32")))
    missing = [p for p in paths.missing() if p != paths.native_install]
    if missing:
        print("demo: not built: " + ", ".join(missing), file=sys.stderr)
        return 1
    display = os.environ.get("DISPLAY")
    own_display = not display
    controller_port = None if args.no_controller else 2
    controllers = () if args.no_controller else (Controller(2),)
    name = "demo-no-controller" if args.no_controller else "demo"
    print(f"demo: preparing a Windows 9x-like Wine prefix ({'no controller' if args.no_controller else 'controller on COM2'})...",
          flush=True)
    outcome, problems = e2e_harness.run_installer(
        paths, name, FIXTURE, controllers,
        answer_dialog(pause=0 if own_display else 3, wait_for_user=args.wait_for_user and not own_display),
        lambda o: [] if o.exit_code == 0 else [f"exit code {o.exit_code}"],
        display=display, own_display=own_display, keep=args.keep,
        program_timeout=660 if args.wait_for_user else 90)
    display_note = f"your display {display}" if display else "an Xvfb of the demo's own"
    report(outcome, controller_port, display_note)
    if problems:
        print("\ndemo: problems: " + "; ".join(problems))
        print(f"demo: the prefix is kept in {outcome.work_dir}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

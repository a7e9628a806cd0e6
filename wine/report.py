"""What a run of gyrsetup.exe under Wine showed and left, in plain words: the windows, the
ports tried, the registry values written, decoded. The demo and scripts/wine-install print it.
"""

import re
import struct
import textwrap

from wine import joystick_keys as keys
from wine.user import DIALOG_TEXTS, DIALOGS, PORT_TITLE, RESULT_TITLE


def text_of(data):
    return data.split(b"\0", 1)[0].decode("ascii", "replace")


def record_kind(data):
    """What a 112-byte joystick record is, in words; None for one this program never writes."""
    if data == keys.FULL_RANGE_RECORD:
        return "the full range (7 buttons, six axes from 0 to 65535, centred at 32767)"
    if data == keys.TEN_BIT_RECORD:
        return "the 10-bit range (7 buttons, six axes from 0 to 1023, centred at 512)"
    if data == bytes(112):
        return "blank record (112 zero bytes)"
    return None


def describe_hw_config(data):
    if len(data) != 112:
        return f"{len(data)} bytes (not a 112-byte joystick record)"
    kind = record_kind(data)
    if kind:
        return kind
    w = struct.unpack("<28I", data)
    return (f"a record this program does not write: flags 0x{w[0]:08X}, {w[1]} buttons, "
            f"min {list(w[3:9])}, max {list(w[9:15])}, centre {list(w[15:21])}")


def oem_port(data):
    """The port name and axis letters of a 28-byte OEM configuration record, or None."""
    if len(data) != 28:
        return None
    return text_of(data[16:21]), text_of(data[21:28])


def ports_tried(output):
    """[(port name, opened)] in the order the program's debugging lines name them."""
    tried = []
    for line in output.split("\n"):
        line = line.rstrip("\r")
        opening = re.fullmatch(r"UdComOpen:  opening (COM\d+)", line)
        if opening:
            tried.append([opening[1], True])
        elif line.startswith("UdComOpen:  CreateFile failed") and tried:
            tried[-1][1] = False
    return [tuple(t) for t in tried]


def port_found(shown, tried):
    """The port the controller answered on, from what the program showed."""
    for s in shown:
        answered = re.match(r"The Gyrelle answered on (COM\d+)", s.message)
        if answered:
            return answered[1]
        if s.title == RESULT_TITLE and not s.message:
            opened = [name for name, ok in tried if ok]
            return opened[-1] if opened else None
    return None


def port_picked(shown, hive):
    """The port the user picked in the port list, from the message or the registry."""
    for s in shown:
        refused = re.match(r"(COM\d+) could not be configured", s.message)
        if refused:
            return refused[1]
    if not any(s.title == PORT_TITLE and not s.message for s in shown):
        return None
    values = hive.values(keys.TYPE_SETTINGS) if hive else None
    if values and "Joystick1OEMConfiguration" in values:
        port = oem_port(values["Joystick1OEMConfiguration"][1])
        return port[0] if port else None
    return None


def port_lines(tried, found, simulator_logs):
    """One line per port tried: absent, silent, wrong answer or answered."""
    lines = []
    for name, opened in tried:
        events = simulator_logs.get(int(name[3:]))
        if not opened:
            what = "absent: the port would not open (no device behind it)"
        elif name == found:
            what = "answered: the controller's banner came back, so the search stopped here"
        elif events is None:
            what = "opened, but no controller's banner came back (silent, or a wrong answer)"
        elif "answer" in (e.strip() for e in events):
            what = "wrong answer: a device answered, but not with the controller's banner"
        else:
            what = "silent: the port opened, but nothing answered the query"
        lines.append(f"  {name}: {what}")
    return lines or ["  none: the registry counts no serial port, so nothing was probed"]


def ports_tried_summary(tried, found, machine_ports, counted):
    """One paragraph: the machine's ports, the installer's count and the ports it tried.
    counted: how many ports the installer's census counts (a machine may list a port in
    more than one of the registry's places, and the census counts entries)."""
    names = [name for name, _ in tried]
    listed = " and ".join(machine_ports)
    ports = "serial port" if len(machine_ports) == 1 else "serial ports"
    text = f"This machine has {len(machine_ports)} {ports}, {listed}. "
    if counted == 2 * len(machine_ports):
        text += ("The installer takes its number of ports from the registry, where its way of "
                 f"counting counts each of this machine's ports twice: it counts {counted}, so "
                 f"it tries COM1 to COM{counted} in that order until the controller answers. ")
    else:
        text += (f"The installer takes its number of ports from the registry: it counts "
                 f"{counted}, so it tries " + ("COM1. " if counted == 1 else
                                               f"COM1 to COM{counted} in that order. "))
    if not names:
        return text + "It tried none."
    tried_text = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]
    text += f"It tried {tried_text}"
    if found:
        text += f", and stopped at {found}, where the controller answered."
    else:
        text += ("; the controller did not answer there." if len(names) == 1 else
                 "; the controller answered on none of them.")
    extra = [n for n in names if n not in machine_ports]
    if extra:
        text += (f" {' and '.join(extra)} {'does' if len(extra) == 1 else 'do'} not exist "
                 "here, so they could not be opened and cost no time.")
    return text


def shown_lines(shown):
    lines = []
    for s in shown:
        if s.message:
            instead = ("in place of the result dialog" if s.title == RESULT_TITLE
                       else "after the port list")
            lines.append(f'  a message box "{s.title}", {instead}:')
            lines.append(f'    "{s.message}"')
        else:
            lines.append(f'  {DIALOGS[s.title]} "{s.title}": "{DIALOG_TEXTS[s.title]}"')
        if s.screenshot:
            lines.append(f"    screenshot: {s.screenshot}")
    return lines or ["  nothing: no dialog and no message box was seen"]


def joystick1_lines(values, found, picked):
    lines = ["    (Joystick1Configuration tells Windows how far each axis of joystick 1 moves "
             "until the",
             "    user calibrates it in Control Panel, once TESLN.VXD is installed; calibrating "
             "replaces it.)"]
    for name in ("Joystick1Configuration", "Joystick1OEMName", "Joystick1OEMCallout"):
        if name not in values:
            lines.append(f"    {name}: missing")
            continue
        kind, data = values[name]
        if name == "Joystick1Configuration":
            what = describe_hw_config(data)
            if data == keys.FULL_RANGE_RECORD:
                what += (f". The controller was found on {found}, and a controller found by the "
                         "search gets the Tessaline type's own range, the one OEMDATA below holds."
                         if found else
                         ". Written for COM1 before the port list opened; no port was chosen "
                         "in it.")
            elif data == keys.TEN_BIT_RECORD:
                what += (f". {picked or 'A port'} was chosen in the port list (OK pressed), and a "
                         "port chosen there gets the range of the controller's own readings, "
                         "which are 10 bits per axis.")
            elif data == bytes(112):
                what += ": joystick 1 is not set up"
        elif name == "Joystick1OEMName":
            what = (f'"{text_of(data)}": joystick 1 is of the controller\'s joystick type'
                    if text_of(data) == "Tessaline" else
                    f'"{text_of(data)}": joystick 1 is not of the controller\'s type')
        else:
            what = (f'"{text_of(data)}": the driver Windows 95 loads for that type'
                    if text_of(data) else '"": no driver named')
        lines.append(f"    {name}: {what}")
    return lines


def type_settings_lines(values, found, picked):
    lines = []
    for suffix in ("Configuration", "OEMConfiguration"):
        names = [f"Joystick{n}{suffix}" for n in range(1, 17)]
        held = [values[n][1] for n in names if n in values]
        label = f"Joystick1..16{suffix}"
        if len(held) < 16:
            lines.append(f"    {label}: only {len(held)} of the 16 joysticks have one")
        if not held:
            continue
        distinct = sorted(set(held), key=held.index)
        for data in distinct:
            count = held.count(data)
            who = "all 16 joysticks" if count == 16 else f"{count} joysticks"
            if suffix == "Configuration":
                what = describe_hw_config(data)
                if data == keys.FULL_RANGE_RECORD:
                    what += ", the type's default, seeded at every start"
            else:
                port = oem_port(data)
                if port is None:
                    what = f"{len(data)} bytes (not a 28-byte OEM configuration record)"
                else:
                    why = ("the port found" if port[0] == found else
                           "the port picked in the port list" if port[0] == picked else
                           "the default every start seeds")
                    what = f'port {port[0]} ({why}), axes "{port[1]}"'
            lines.append(f"    {label} ({who}): {what}")
    return lines


def oem_type_lines(values):
    texts = dict(keys.OEM_TEXTS)
    lines = []
    if "OEMDATA" in values:
        lines.append(f"    OEMDATA: the type's hardware record: {describe_hw_config(values['OEMDATA'][1])}")
    meanings = {"OEMNAME": "the name Control Panel, Joystick shows",
                "OEMCALLOUT": "the type's driver (a Windows 9x driver, not on the disk)"}
    for name, meaning in meanings.items():
        if name in values:
            lines.append(f'    {name}: "{text_of(values[name][1])}": {meaning}')
    labels = [n for n in ("OEMXYLabel", "OEMZLabel", "OEMRLabel", "OEMULabel", "OEMVLabel")
              if n in values]
    if labels:
        lines.append("    axis labels Control Panel shows: " + ", ".join(
            f'{n[3:-5]} "{text_of(values[n][1])}"' for n in labels))
    window_texts = [n for n in values if n.startswith(("OEMTest", "OEMCal"))]
    if window_texts:
        example = "OEMCal1" if "OEMCal1" in window_texts else window_texts[0]
        lines.append(f"    {len(window_texts)} texts of its test and calibration windows "
                     f'(OEMTest..., OEMCal...), e.g. {example} "{text_of(values[example][1])}"')
    # Windows 95 keeps a text at its length plus one, NT the whole 250-byte field.
    wrong = [n for n, (kind, data) in values.items()
             if n in texts and (kind != keys.REG_SZ or data not in (
                 keys.text_value(texts[n], 250, windows_95) for windows_95 in (True, False)))]
    if wrong:
        lines.append(f"    differing from what the program writes: {', '.join(sorted(wrong))}")
    return lines


def report(outcome, setting, *, machine_ports, counted, driver_note=None):
    """Prints what the run showed and left, for a reader new to the program. outcome: an
    installer_run.Result, or the test machine's MachineResult, which also counts.
    setting: (label, text) pairs describing the machine, controller and display;
    machine_ports, counted: see ports_tried_summary; driver_note: what stands in place of
    the driver notifications and broadcasts counted, where nothing counted them."""
    hive = outcome.hive
    shown = outcome.shown
    tried = ports_tried(outcome.program_output)
    found = port_found(shown, tried)
    picked = port_picked(shown, hive)
    lines = ["", "What gyrsetup.exe did under Wine", "================================"]
    lines += [f"{label + ':':<12}{text}" for label, text in setting]
    ended = ("0: the program ended by itself, as it does after its last window"
             if outcome.exit_code == 0 else
             "none: the program did not end by itself and was stopped"
             if outcome.exit_code is None else
             f"{outcome.exit_code}: the program did not end normally")
    lines.append(f"{'exit code:':<12}{ended}")
    lines += ["", "What it showed, in order:"] + shown_lines(shown)
    lines += [""] + textwrap.wrap(
        ports_tried_summary(tried, found, machine_ports, counted), 90)
    # Only the test machine's result has simulators.
    lines += port_lines(tried, found, getattr(outcome, "simulator_logs", {}))
    lines.append("")
    if driver_note:
        lines += textwrap.wrap(driver_note, 90)
    else:
        lines += textwrap.wrap(
            f"The joystick driver was told {outcome.notifications()} times that its "
            "configuration changed (each time message 0x903, then 0x802 for its "
            f"capabilities), and {outcome.broadcasts} joystick-change broadcasts went "
            "out: once before the ports are counted, once before each port is probed, "
            "twice per configuration written.", 90)
    lines += ["", "Registry written, below HKEY_LOCAL_MACHINE:"]
    for title, key, describe in (
            ("joystick 1's current settings", keys.CURRENT_SETTINGS,
             lambda v: joystick1_lines(v, found, picked)),
            ("the type's settings for each of the 16 joysticks", keys.TYPE_SETTINGS,
             lambda v: type_settings_lines(v, found, picked)),
            ("the controller's joystick type \"Tessaline\"", keys.OEM_TYPE, oem_type_lines)):
        values = hive.values(key) if hive else None
        lines.append(f"  {title} ({key}):")
        lines += describe(values) if values else ["    nothing"]
    lines += ["", f"Logs of this run: {outcome.work_dir}",
              "  (gyrsetup.log: the program's output, with the serial port lines, Wine's error "
              "lines and its message box trace)"]
    print("\n".join(lines))

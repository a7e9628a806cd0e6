"""The joystick driver's keys and what the installer must leave in them, byte for byte: the
report reads the registry through these, and the end-to-end checks compare with them.

Values are (type, bytes) as RegQueryValueExA returns them: type 1 is REG_SZ, type 3
REG_BINARY. The installer writes each text with its whole zero-filled field: Windows NT
(Wine's default) keeps the field, Windows 95 keeps the text and one NUL.
"""

REG_SZ = 1
REG_BINARY = 3

JOYSTICK_ROOT = "System\\CurrentControlSet\\Control\\MediaResources\\Joystick"
DRIVER_KEY = JOYSTICK_ROOT + "\\DINPUT.DLL"
CURRENT_SETTINGS = DRIVER_KEY + "\\CurrentJoystickSettings"
TYPE_SETTINGS = DRIVER_KEY + "\\JoystickSettings\\Tessaline"
OEM_TYPES = "System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM"
OEM_TYPE = OEM_TYPES + "\\Tessaline"


def hex_bytes(text):
    return bytes.fromhex(text.replace("\n", " "))


# JOYREGHWCONFIG words: flags 0x01880001, 7 buttons, usage 6, six minima 0, six maxima,
# six centres, four POV words 0, calibration flags 31, type 1000, reserved 0.
FULL_RANGE_RECORD = hex_bytes(
    "01 00 88 01  07 00 00 00  06 00 00 00"
    + " 00 00 00 00" * 6
    + " ff ff 00 00" * 6
    + " ff 7f 00 00" * 6
    + " 00 00 00 00" * 4
    + " 1f 00 00 00  e8 03 00 00  00 00 00 00")
TEN_BIT_RECORD = hex_bytes(
    "01 00 88 01  07 00 00 00  06 00 00 00"
    + " 00 00 00 00" * 6
    + " ff 03 00 00" * 6
    + " 00 02 00 00" * 6
    + " 00 00 00 00" * 4
    + " 1f 00 00 00  e8 03 00 00  00 00 00 00")
assert len(FULL_RANGE_RECORD) == 112 and len(TEN_BIT_RECORD) == 112


def oem_configuration(port_digit):
    """The 28-byte OEM configuration record naming COM<port_digit>."""
    record = hex_bytes(
        "d0 07 00 00  60 ea 00 00  ff ff ff ff ff ff ff ff"
        f"  43 4f 4d 3{port_digit} 00  58 59 5a 52 55 56 00")
    assert len(record) == 28
    return record


def text_value(text, size, windows_95):
    """A text written with its size-byte zero-filled field, as the registry gives it back."""
    data = text.encode("ascii")
    if windows_95:
        return data + b"\0"
    return data + b"\0" * (size - len(data))


OEM_TEXTS = [
    ("OEMCALLOUT", "tesln.vxd"),
    ("OEMNAME", "Brennick Gyrelle"),
    ("OEMXYLabel", "L/R U/D"),
    ("OEMZLabel", "In/Out"),
    ("OEMRLabel", "Pitch"),
    ("OEMULabel", "Yaw"),
    ("OEMVLabel", "Roll"),
    ("OEMTestMoveDesc", "Test the Gyrelle"),
    ("OEMTestButtonDesc", "Only buttons A, B, C and D are shown"),
    ("OEMTestMoveCap", "Ball"),
    ("OEMTestButtonCap", "Buttons"),
    ("OEMTestWinCap", "Test Gyrelle"),
    ("OEMCalWinCap", "Gyrelle Calibration"),
    ("OEMCal1", "Let go of the ball and then press one of buttons A to D"),
    ("OEMCal2", "Push the ball to both extremes in both the X and Y directions and then press "
                "one of buttons A to D"),
    ("OEMCal3", "Again, let go of the ball and press one of buttons A to D"),
    ("OEMCal4", "Push and pull the ball to its extremes along the Z axis and then press one of "
                "buttons A to D"),
    ("OEMCal5", "Twist the ball as far as it will go in both directions around the X axis and "
                "then press one of buttons A to D"),
    ("OEMCal6", "Twist the ball as far as it will go in both directions around the Y axis and "
                "then press one of buttons A to D"),
    ("OEMCal7", "Twist the ball as far as it will go in both directions around the Z axis and "
                "then press one of buttons A to D"),
    ("OEMCal12", "You have calibrated your Gyrelle. To Test click Test.  To save your "
                 "calibration settings, click Finish"),
]


def oem_type_values(windows_95):
    values = {"OEMDATA": (REG_BINARY, FULL_RANGE_RECORD)}
    for name, text in OEM_TEXTS:
        values[name] = (REG_SZ, text_value(text, 250, windows_95))
    return values


def current_settings_values(record, windows_95):
    """Joystick 1's current settings after a configuration with this hardware record."""
    return {
        "Joystick1Configuration": (REG_BINARY, record),
        "Joystick1OEMName": (REG_SZ, text_value("Tessaline", 260, windows_95)),
        "Joystick1OEMCallout": (REG_SZ, text_value("tesln.vxd", 260, windows_95)),
    }


def type_settings_values(port_digit):
    values = {}
    for joystick in range(1, 17):
        values[f"Joystick{joystick}Configuration"] = (REG_BINARY, FULL_RANGE_RECORD)
        values[f"Joystick{joystick}OEMConfiguration"] = (REG_BINARY, oem_configuration(port_digit))
    return values

"""The end-to-end scenarios' paths, and the same install run on the native stand-ins, whose
registry the differential scenario compares with Wine's.
"""

import dataclasses
import os

from wine import machine, processes, registry
from wine.machine import SimulatorSet


@dataclasses.dataclass
class Paths(machine.Paths):
    """The programs a scenario runs, the native stand-in run among them."""

    @property
    def native_install(self):
        return os.path.join(self.native_build, "tests", "e2e", "native_install")

    def missing(self):
        return super().missing() + [p for p in (self.native_install,) if not os.path.exists(p)]


def run_native(paths, fixture, controllers, work, waits):
    """The same machine and line on the native stand-ins; returns (summary line, Hive of
    the exported registry). The user presses Enter in the one dialog."""
    native_dir = os.path.join(work, "native")
    os.makedirs(native_dir, exist_ok=True)
    export = os.path.join(native_dir, "registry.reg")
    log_path = os.path.join(native_dir, "native_install.log")
    with processes.Owned.of(waits) as owned:
        sims = SimulatorSet(paths.simulator, native_dir, os.path.join(native_dir, "pids"),
                            owned, waits)
        try:
            argv = [paths.native_install, "--fixture", fixture, "--out", export]
            for c in controllers:
                argv += ["--port", f"{c.port}={sims.start(c)}"]
            rc = owned.run_to_files(argv, None, log_path, waits.native_install)
        finally:
            sims.stop()
            processes.end_recorded_processes(os.path.join(native_dir, "pids"))
    with open(log_path, errors="replace") as f:
        summary = [line for line in f.read().splitlines() if line.startswith("exit ")]
    if rc != 0 or not os.path.exists(export):
        return (f"native_install failed ({rc})" if rc is not None else
                f"native_install did not end within {waits.native_install} s"), None
    return (summary[-1] if summary else ""), registry.Hive(export, regedit4=True)

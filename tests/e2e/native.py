"""The end-to-end scenarios' paths, and the same install run on the native stand-ins, whose
registry the differential scenario compares with Wine's.
"""

import dataclasses
import os
import subprocess

from wine import registry, session, test_machine
from wine.test_machine import SimulatorSet


@dataclasses.dataclass
class Paths(test_machine.Paths):
    """The programs a scenario runs, the native stand-in run among them."""

    @property
    def native_install(self):
        return os.path.join(self.native_build, "tests", "e2e", "native_install")

    def missing(self):
        return super().missing() + [p for p in (self.native_install,) if not os.path.exists(p)]


def run_native(paths, fixture, controllers, work, timeout=60):
    """The same machine and line on the native stand-ins; returns (summary line, Hive of
    the exported registry). The user presses Enter in the one dialog."""
    native_dir = os.path.join(work, "native")
    os.makedirs(native_dir, exist_ok=True)
    sims = SimulatorSet(paths.simulator, native_dir, os.path.join(native_dir, "pids"))
    export = os.path.join(native_dir, "registry.reg")
    try:
        argv = [paths.native_install, "--fixture", fixture, "--out", export]
        for c in controllers:
            argv += ["--port", f"{c.port}={sims.start(c)}"]
        with open(os.path.join(native_dir, "native_install.log"), "wb") as out:
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    timeout=timeout, check=False)
    finally:
        sims.stop()
        session.end_recorded_processes(os.path.join(native_dir, "pids"))
    with open(os.path.join(native_dir, "native_install.log"), errors="replace") as f:
        summary = [line for line in f.read().splitlines() if line.startswith("exit ")]
    if result.returncode != 0 or not os.path.exists(export):
        return f"native_install failed ({result.returncode})", None
    return (summary[-1] if summary else ""), registry.Hive(export, regedit4=True)

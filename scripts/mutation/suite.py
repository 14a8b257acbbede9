"""Runs the CTest suite of one build and says how it ended."""

import os
import re
import signal
import subprocess
import time

# The tests that the suite's targets build: the module's own tests, in
# process and through the loaded module (the render, install and package tests
# exercise refhost, and their programs are not built here).
TEST_LABELS = "^(inproc|loaded)$"

KILLED, SURVIVED, TIMED_OUT, NOT_COMPILED, EQUIVALENT = "killed", "survived", "timed out", "not compiled", "equivalent"


class Suite:
    def __init__(self, build, jobs, test_timeout, total_timeout):
        self.build = build
        self.jobs = jobs
        self.test_timeout = test_timeout
        self.total_timeout = total_timeout

    def run(self, stop_at_first_failure=True):
        """Returns (status, seconds, first failing test or None)."""
        cmd = ["ctest", "--test-dir", self.build, "-j", str(self.jobs), "--timeout", str(self.test_timeout),
               "--no-tests=error", "-L", TEST_LABELS]
        if stop_at_first_failure:
            cmd.append("--stop-on-failure")
        began = time.monotonic()
        # Its own process group, so that a time-out ends the tests it started too.
        process = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   start_new_session=True)
        try:
            stdout, _ = process.communicate(timeout=self.total_timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            return TIMED_OUT, time.monotonic() - began, None
        seconds = time.monotonic() - began
        if process.returncode == 0:
            return SURVIVED, seconds, None
        failed = re.findall(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.+\s*(\*+Timeout|\*+Failed|\*+Exception|Subprocess[^\n]*|Exception[^\n]*|Not Run)",
                            stdout, re.M)
        if failed and all("Timeout" in kind for _, kind in failed):
            return TIMED_OUT, seconds, failed[0][0]
        return KILLED, seconds, failed[0][0] if failed else None

    @staticmethod
    def slowest(build):
        """Seconds of the slowest test of the last run, from CTest's log."""
        try:
            text = open(f"{build}/Testing/Temporary/LastTest.log", errors="replace").read()
        except OSError:
            return 0.0
        times = [float(t) for t in re.findall(r'Test time =\s+([0-9.]+) sec', text)]
        return max(times, default=0.0)

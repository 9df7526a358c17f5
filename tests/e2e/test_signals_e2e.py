"""A stop signal at any moment of a program's start ends it promptly and as it should, on a
machine whose cores are all busy (where a start is slow and its races show). The simulator used
to miss a SIGTERM that came between binding its port and serving, and then served for ever."""

import json
import os
import random
import signal
import subprocess
import tempfile
import time
import unittest

from support import EXPORTER, HOST_CMD, SIM, CpuHog, Simulator, read_line_with

# Far above a healthy stop, even under the sanitizers on a loaded machine; a hang never ends.
PROMPTLY = 20


class EarlySignalTest(unittest.TestCase):
    def setUp(self):
        self.random = random.Random(27)  # the same moments on every run

    def start(self, command, ready_stream=None):
        return subprocess.Popen(command, stdin=subprocess.DEVNULL, bufsize=0,
                                stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE if ready_stream == "stderr" else
                                subprocess.DEVNULL)

    def stop_and_wait(self, process, label):
        """SIGTERM now; the exit status, once the process ended within PROMPTLY seconds."""
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(timeout=PROMPTLY)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            self.fail("%s: still running %d s after SIGTERM" % (label, PROMPTLY))
        finally:
            for stream in (process.stdout, process.stderr):
                if stream:
                    stream.close()

    def test_simulator_stops_whenever_the_signal_comes(self):
        with CpuHog():
            for run in range(200):
                # At once, or a moment after it says it listens: the moment its accept loop starts.
                process = self.start([SIM, "--listen", "127.0.0.1:0"])
                read_line_with(process, process.stdout, "listening on", seconds=PROMPTLY)
                time.sleep(self.random.choice([0, 0, 0.0005, 0.002]))
                code = self.stop_and_wait(process, "roomalert-sim run %d" % run)
                self.assertEqual(code, 0, "roomalert-sim run %d" % run)

    def test_exporter_stops_whenever_the_signal_comes(self):
        with tempfile.TemporaryDirectory() as folder, CpuHog():
            config = os.path.join(folder, "exporter.yml")
            with open(config, "w") as f:
                f.write("listen: 127.0.0.1:0\ndevices: []\n")
            for run in range(30):
                command = [EXPORTER, "--config", config, "--state-dir",
                           os.path.join(folder, "state")]
                if run % 3 == 0:
                    # While it starts: the signal waits for the signal thread, or, before main
                    # blocked it, ends the program as the default does.
                    process = self.start(command)
                    time.sleep(self.random.uniform(0, 0.05))
                    code = self.stop_and_wait(process, "kestrel-exporter run %d" % run)
                    self.assertIn(code, (0, -signal.SIGTERM), "kestrel-exporter run %d" % run)
                    continue
                process = self.start(command, "stderr")
                read_line_with(process, process.stderr, "listening on", seconds=PROMPTLY)
                code = self.stop_and_wait(process, "kestrel-exporter run %d" % run)
                self.assertEqual(code, 0, "kestrel-exporter run %d" % run)

    def test_polling_host_stops_whenever_the_signal_comes(self):
        with tempfile.TemporaryDirectory() as folder, Simulator() as sim, CpuHog():
            for run in range(30):
                files = [os.path.join(folder, "%d-%s" % (run, name))
                         for name in ("device.xml", "device-data.xml", "trace.log")]
                process = self.start(HOST_CMD + [
                    "--host", sim.address, "--count", "0", "--interval", "0.05", "--format",
                    "json", "--config", files[0], "--data", files[1], "--trace", files[2]])
                time.sleep(self.random.uniform(0, 0.3))
                process.send_signal(signal.SIGTERM)
                try:
                    out, _ = process.communicate(timeout=PROMPTLY)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.communicate()
                    self.fail("kestrel-host run %d: still running %d s after SIGTERM"
                              % (run, PROMPTLY))
                lines = out.decode().splitlines()
                # Before the first load there is nothing to finish: it ends as the signal would
                # have ended it, never with 0 and nothing shown.
                if process.returncode in (-signal.SIGTERM, 128 + signal.SIGTERM):
                    self.assertEqual(lines, [], "kestrel-host run %d" % run)
                else:
                    self.assertEqual(process.returncode, 0, "kestrel-host run %d" % run)
                    self.assertTrue(lines, "kestrel-host run %d" % run)
                    self.assertTrue(all(json.loads(line)["result"] == 0 for line in lines))


if __name__ == "__main__":
    unittest.main()

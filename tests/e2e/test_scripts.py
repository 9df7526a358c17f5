"""The scripts a newcomer drives: tools/test.sh's command line (never its stages: those take a
quarter of an hour) and tools/demo.sh stopped with Ctrl-C. KESTREL_BINARY_DIR names the build
whose programs the demonstration runs."""

import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


class TestScriptTest(unittest.TestCase):
    """Row: arguments, environment, exit status, text the output must hold."""

    CASES = [
        (["--help"], {}, 0, "stages: format release asan tsan fuzz windows"),
        (["-h"], {}, 0, "FUZZ_SECONDS"),
        # a typo must not run a quarter of an hour of other stages
        (["release", "relase"], {}, 2, "test.sh: unknown stage 'relase'"),
        (["fuzz"], {"FUZZ_SECONDS": "ten"}, 2, "FUZZ_SECONDS must be a whole number"),
        (["fuzz"], {"FUZZ_SECONDS": "0"}, 2, "FUZZ_SECONDS must be a whole number"),
    ]

    def test_command_line(self):
        for arguments, environment, status, text in self.CASES:
            with self.subTest(arguments=arguments, environment=environment):
                run = subprocess.run(["bash", os.path.join(ROOT, "tools", "test.sh")] + arguments,
                                     env=dict(os.environ, **environment), capture_output=True,
                                     text=True, timeout=60)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn(text, run.stdout + run.stderr)
                # usage errors are found before anything is installed or built
                self.assertNotIn("====", run.stdout)


    def test_failed_stage_names_itself_and_its_rerun(self):
        # A clang-format that finds fault with everything stands in for a badly formatted file.
        with tempfile.TemporaryDirectory() as fake:
            with open(os.path.join(fake, "clang-format"), "w") as tool:
                tool.write("#!/bin/sh\necho 'bad.cpp:1:1: error: code should be clang-formatted' >&2\n"
                           "exit 1\n")
            os.chmod(os.path.join(fake, "clang-format"), 0o755)
            run = subprocess.run(["bash", os.path.join(ROOT, "tools", "test.sh"), "format"],
                                 env=dict(os.environ, PATH=fake + os.pathsep + os.environ["PATH"]),
                                 capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("stage 'format' FAILED", run.stderr)
        self.assertIn("rerun it with: tools/test.sh format", run.stderr)
        self.assertRegex(run.stdout, r"(?m)^format +\d+  FAILED$")


def port_in_use(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


class DemoTest(unittest.TestCase):

    @unittest.skipIf(port_in_use(8380), "the demonstration's simulator port 8380 is taken")
    def test_ctrl_c_stops_simulator_and_demonstration(self):
        with tempfile.TemporaryDirectory() as work:
            out = os.path.join(work, "out")
            # Polling until Ctrl-C, as an operator watching the readings would; everything the
            # host writes goes to the temporary folder.
            demo = subprocess.Popen(
                ["bash", os.path.join(ROOT, "tools", "demo.sh"), "--count", "0", "--interval", "1",
                 "--config", os.path.join(out, "device.xml"),
                 "--data", os.path.join(out, "device-data.xml"),
                 "--trace", os.path.join(out, "trace.log")],
                env=dict(os.environ, DEMO_BUILD=os.environ["KESTREL_BINARY_DIR"]),
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                start_new_session=True)
            try:
                lines = []
                for line in demo.stdout:
                    lines.append(line)
                    # the first reading is shown: the host polls on, the simulator serves
                    if "temperature" in line.lower():
                        break
                self.assertTrue(lines and "temperature" in lines[-1].lower(), "".join(lines))
                # A terminal's Ctrl-C reaches the whole foreground process group.
                os.killpg(demo.pid, signal.SIGINT)
                rest, _ = demo.communicate(timeout=60)
            finally:
                if demo.poll() is None:
                    os.killpg(demo.pid, signal.SIGKILL)
                    demo.wait()
            self.assertEqual(demo.returncode, 130, "".join(lines) + rest)
            self.assertNotIn("--check", rest)
            self.assertNotIn("kestrel-exporter on", rest)
            # nothing of the group is left: not the simulator, not the host
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                try:
                    os.killpg(demo.pid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.1)
            else:
                self.fail("a process of the demonstration outlived it")


if __name__ == "__main__":
    unittest.main()

"""The scripts a newcomer drives: tools/test.sh's command line (never its stages: those take a
quarter of an hour) and tools/demo.sh stopped with Ctrl-C. KESTREL_BINARY_DIR names the build
whose programs the demonstration runs (see support)."""

import os
import signal
import socket
import subprocess
import tempfile
import unittest

from support import BINARY_DIR, SOURCE_DIR as ROOT, wait_for


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


    # A fake clang-format stands in for the real one: what it says its version is, whether it
    # finds fault with the files, and what the stage must say.
    FORMAT_CASES = [
        ("a badly formatted file", "Debian clang-format version 14.0.6", 1,
         ["stage 'format' FAILED", "rerun it with: tools/test.sh format",
          "fix them all with:", "| xargs {fake} -i"]),
        # another major version would find fault with correct files, or pass wrong ones
        ("another major version", "Ubuntu clang-format version 18.1.3", 0,
         ["needs clang-format 14 (Debian 12's package clang-format)",
          "found: Ubuntu clang-format version 18.1.3", "install clang-format-14"]),
    ]

    def test_format_stage_pins_its_version_and_says_how_to_fix(self):
        for name, version, status, texts in self.FORMAT_CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                fake = os.path.join(folder, "clang-format")
                with open(fake, "w") as tool:
                    tool.write("#!/bin/sh\n"
                               "if [ \"$1\" = --version ]; then echo '%s'; exit 0; fi\n"
                               "echo 'bad.cpp:1:1: error: code should be clang-formatted' >&2\n"
                               "exit %d\n" % (version, status))
                os.chmod(fake, 0o755)
                run = subprocess.run(["bash", os.path.join(ROOT, "tools", "test.sh"), "format"],
                                     env=dict(os.environ, CLANG_FORMAT=fake),
                                     capture_output=True, text=True, timeout=120)
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertRegex(run.stdout, r"(?m)^format +\d+  FAILED$")
                for text in texts:
                    self.assertIn(text.format(fake=fake), run.stderr)


class SetupDepsTest(unittest.TestCase):
    """tools/setup-deps.sh on a machine that lacks the packages. Rows: the system's os-release,
    whether apt-get must be asked, exit status, what it must say."""

    CASES = [
        ('ID=ubuntu\nVERSION_ID="24.04"\nPRETTY_NAME="Ubuntu 24.04 LTS"\n', False, 1,
         ["installs Debian 12 (bookworm) packages; this system is Ubuntu 24.04 LTS",
          "cmake ninja-build g++"]),
        ('ID=debian\nVERSION_ID="11"\nPRETTY_NAME="Debian GNU/Linux 11 (bullseye)"\n', False, 1,
         ["this system is Debian GNU/Linux 11 (bullseye)"]),
        ("", False, 1, ["this system is unknown"]),
        ('ID=debian\nVERSION_ID="12"\nPRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\n',
         os.geteuid() == 0, 0 if os.geteuid() == 0 else 1,
         ["installing cmake" if os.geteuid() == 0 else "root is needed"]),
    ]

    def test_other_systems_are_told_what_to_install(self):
        for os_release, asks_apt, status, texts in self.CASES:
            with self.subTest(os_release.split("\n")[-2:]), \
                    tempfile.TemporaryDirectory() as folder:
                # Nothing is installed, and apt-get only says what it was asked.
                for name, body in (("dpkg-query", "exit 1"),
                                   ("apt-get", 'echo "$@" >> "%s/apt.log"' % folder)):
                    with open(os.path.join(folder, name), "w") as f:
                        f.write("#!/bin/sh\n%s\n" % body)
                    os.chmod(os.path.join(folder, name), 0o755)
                with open(os.path.join(folder, "os-release"), "w") as f:
                    f.write(os_release)
                run = subprocess.run(
                    ["bash", os.path.join(ROOT, "tools", "setup-deps.sh"), "build"],
                    env=dict(os.environ, PATH=folder + os.pathsep + os.environ["PATH"],
                             OS_RELEASE=os.path.join(folder, "os-release")),
                    capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                for text in texts:
                    self.assertIn(text, run.stdout + run.stderr)
                self.assertEqual(os.path.exists(os.path.join(folder, "apt.log")), asks_apt)


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
                env=dict(os.environ, DEMO_BUILD=BINARY_DIR),
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
            def group_gone():
                try:
                    os.killpg(demo.pid, 0)
                except ProcessLookupError:
                    return True
                return False
            self.assertTrue(wait_for(group_gone, 10), "a process of the demonstration outlived it")


if __name__ == "__main__":
    unittest.main()

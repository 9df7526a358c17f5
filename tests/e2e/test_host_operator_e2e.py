"""kestrel-host as operators run it: check mode, bad command lines and environments, polling
output, and the simulator's port."""

import json
import os
import re
import select
import signal
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

from support import (HOST_CMD, PASSWORD, SIM, HostTestCase, Simulator, fixture, free_port,
                     wait_for)


class CheckTest(HostTestCase):
    """A check writes nothing outside its private folder, whatever its end. Rows: name, simulator
    arguments (None: none), check arguments, exit code. The outputs themselves are judged in
    test_check_e2e."""

    CASES = [
        ("ok", [], ["-w", "temperature=30"], 0),
        ("critical", [], ["-c", "humidity=~:40"], 2),
        ("load failure", None, ["--host", "127.0.0.1:{free port}"], 2),
        ("time-out", ["--fault", "delay:8000"], ["--timeout", "1"], 2),
        ("usage error", [], ["--port", "70000"], 3),
    ]

    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o755)
        self.readonly = self.path("readonly")
        self.tmp = self.path("tmp")
        os.mkdir(self.readonly, 0o555)
        os.mkdir(self.tmp, 0o777)
        os.chmod(self.readonly, 0o555)
        os.chmod(self.tmp, 0o777)
        self.addCleanup(os.chmod, self.readonly, 0o755)

    def check(self, *args):
        # root writes anywhere: the program then runs as nobody, so the folder is read-only to it.
        user = 65534 if os.geteuid() == 0 else None
        return subprocess.run(HOST_CMD + ["--check", *args], cwd=self.readonly, user=user,
                              capture_output=True, timeout=60, stdin=subprocess.DEVNULL,
                              env=dict(os.environ, TMPDIR=self.tmp))

    def test_cases(self):
        for name, sim_args, args, code in self.CASES:
            with self.subTest(case=name):
                args = [a.replace("{free port}", str(free_port())) for a in args]
                if sim_args is None:
                    run = self.check(*args)
                else:
                    with Simulator("--fixture", fixture("3w-typical.json"), *sim_args) as sim:
                        run = self.check("--host", sim.address, *args)
                stdout = run.stdout.decode()
                self.assertEqual(run.returncode, code, stdout + run.stderr.decode())
                self.assertTrue(stdout.startswith("ROOMALERT "), stdout)
                self.assertEqual(os.listdir(self.readonly), [])
                self.assertEqual(os.listdir(self.tmp), [])

    def test_trace_kept_where_asked(self):
        with Simulator() as sim:
            run = self.check("--host", sim.address, "--trace", os.path.join(self.tmp, "t.log"))
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertEqual(os.listdir(self.tmp), ["t.log"])


class CommandLineTest(HostTestCase):
    """Bad command lines and environments: exit code and message, documents of the earlier load
    untouched. Rows: name, simulator arguments (None: none), host arguments, exit, stderr part."""

    def setUp(self):
        super().setUp()
        self.cert, self.key = self.path("cert.pem"), self.path("key.pem")
        self.other, self.other_key = self.path("other.pem"), self.path("other-key.pem")
        for cert, key, names in ((self.cert, self.key, "DNS:localhost,IP:127.0.0.1"),
                                 (self.other, self.other_key, "DNS:elsewhere.example")):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                            "2", "-keyout", key, "-out", cert, "-subj", "/CN=device",
                            "-addext", "subjectAltName=" + names],
                           check=True, capture_output=True, timeout=60)
        with open(self.path("empty"), "w"):
            pass
        with open(self.path("password"), "w") as f:
            f.write(PASSWORD + "\n")
        os.chmod(self.path("password"), 0o600)
        with open(self.path("plain"), "w") as f:
            f.write("x")

    def cases(self):
        tls = ["--tls-cert", self.cert, "--tls-key", self.key]
        other_tls = ["--tls-cert", self.other, "--tls-key", self.other_key]
        return [
            ("unknown flag", None, ["--bogus"], 2, "The following argument was not expected: --bogus"),
            ("bad port", None, ["--port", "70000"], 2, "--port: 70000 is not in 1..65535"),
            ("password flag", None, ["--password", PASSWORD], 2, "use --password-file"),
            ("credentials in host", [], ["--host", "admin:%s@{address}" % PASSWORD], 2,
             "a user name or password in the host text"),
            ("conflicting port", [], ["--host", "{address}", "--port", "80"], 2,
             "--port: conflicts with the port in --host"),
            ("http URL and --secure", [], ["--host", "http://{address}/", "--secure"], 2,
             "contradict"),
            ("missing password file", [], ["--user", "admin", "--password-file",
                                           self.path("nowhere")], 2, "No such file"),
            ("empty password file", [], ["--user", "admin", "--password-file",
                                         self.path("empty")], 2, "is empty"),
            ("password file is a folder", [], ["--user", "admin", "--password-file", self.dir], 2,
             "is a folder"),
            ("password file without user", [], ["--password-file", self.path("password")], 2,
             "--password-file requires --user"),
            ("data is a folder", [], ["--data", self.dir], 2, "it is a folder"),
            ("config under a file", [], ["--config", self.path("plain/device.xml")], 2,
             "cannot create the folder"),
            ("trace is a folder", [], ["--trace", self.dir], 2, "it is a folder"),
            ("missing CA file", tls, ["--secure", "--cacert", self.path("nowhere.pem")], 2,
             "--cacert:"),
            ("untrusted certificate", tls, ["--secure"], 1, "not trusted; trust it with --cacert"),
            ("mismatched certificate", other_tls, ["--secure", "--cacert", self.other], 1,
             "made for another name"),
            ("https to an http port", [], ["--secure"], 1, "check --secure"),
            ("wrong password", ["--user", "admin", "--password", "other"],
             ["--user", "admin", "--password-file", self.path("password")], 1,
             "check --user and the first line of --password-file"),
            ("refused", None, ["--host", "127.0.0.1:{free port}"], 1,
             "nothing accepts connections there"),
            ("HTML page", ["--fault", "html"], [], 1, "the answer is an HTML page"),
        ]

    def test_bad_command_lines_and_environments(self):
        with Simulator() as sim:
            self.assertEqual(self.host("--host", sim.address).exit, 0)
        earlier = self.files()
        for name, sim_args, args, code, message in self.cases():
            with self.subTest(case=name):
                args = [a.replace("{free port}", str(free_port())) for a in args]
                if sim_args is None:
                    run = self.host(*args)
                else:
                    with Simulator(*sim_args) as sim:
                        args = [a.replace("{address}", sim.address) for a in args]
                        if "--host" not in args:
                            args = ["--host", sim.address] + args
                        run = self.host(*args)
                self.assertEqual(run.exit, code, run.stderr)
                self.assertIn(message, run.stderr)
                if code == 2:
                    self.assertEqual(run.stdout, "")
                    self.assertTrue(run.stderr.endswith("Try 'kestrel-host --help' for the options.\n")
                                    or "warning" in run.stderr, run.stderr)
                else:
                    self.assertIn("the trace is in " + self.path("trace.log"), run.stderr)
                self.assertEqual(self.files(), earlier)
                self.assertNotIn(PASSWORD, run.stdout + run.stderr)
        for name in os.listdir(self.dir):
            if name != "password" and os.path.isfile(self.path(name)):
                with open(self.path(name), "rb") as f:
                    self.assertNotIn(PASSWORD.encode(), f.read(), name)

    def test_url_host_and_trusted_certificate(self):
        with Simulator("--tls-cert", self.cert, "--tls-key", self.key) as sim:
            run = self.host("--host", "https://%s/getData.json" % sim.address,
                            "--cacert", self.cert)
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertEqual(run.json()["host"], sim.address)


class PollingOutputTest(HostTestCase):
    def test_json_lines_carry_time_host_and_duration(self):
        with Simulator("--live") as sim:
            run = self.host("--host", sim.address, "--count", "3", "--interval", "0.1")
        self.assertEqual(run.exit, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        for line in lines:
            result = json.loads(line)
            self.assertRegex(result["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
            self.assertEqual(result["host"], sim.address)
            self.assertGreater(result["durationMs"], 0)

    def test_xml_poll_is_one_document_and_table_shows_identity_once(self):
        with Simulator("--live") as sim:
            xml = self.host("--host", sim.address, "--count", "2", "--interval", "0.1",
                            "--format", "xml")
            table = self.host("--host", sim.address, "--count", "3", "--interval", "0.1",
                              "--format", "table")
        self.assertEqual(xml.exit, 0, xml.stderr)
        loads = ElementTree.fromstring(xml.stdout.encode()).findall("load")
        self.assertEqual([load.get("result") for load in loads], ["0", "0"])
        self.assertEqual(len(loads[1].findall("device/*/interface")), 3)
        self.assertEqual(table.exit, 0, table.stderr)
        self.assertEqual(table.stdout.count("provider "), 1)
        compact = [l for l in table.stdout.splitlines() if re.match(r"\d\d:\d\d:\d\d  ", l)]
        self.assertEqual(len(compact), 2, table.stdout)
        self.assertIn("Rack 4 Intake", compact[0])

    def test_interrupt_during_a_slow_load(self):
        with Simulator("--fault", "delay:4000") as sim:
            command = HOST_CMD + ["--host", sim.address, "--count", "0", "--format", "json",
                                  "--trace", self.path("trace.log"), "--config",
                                  self.path("device.xml"), "--data", self.path("device-data.xml")]
            process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       stdin=subprocess.DEVNULL)
            try:
                # The request is under way once the module says how it will send it.
                self.assertTrue(wait_for(lambda: b"Using HTTP0.9" in self.trace(), 20))
                process.send_signal(signal.SIGINT)
                ready, _, _ = select.select([process.stderr], [], [], 10)
                self.assertTrue(ready)
                self.assertIn(b"stopping after the current load", process.stderr.readline() +
                              process.stderr.readline())
                process.send_signal(signal.SIGINT)
                process.wait(timeout=3)
            finally:
                if process.poll() is None:
                    process.kill()
                process.communicate()
        self.assertEqual(process.returncode, 130)

    def trace(self):
        try:
            with open(self.path("trace.log"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""


class SimulatorPortTest(unittest.TestCase):
    def test_second_simulator_on_a_taken_port_refuses(self):
        with Simulator() as first:
            second = subprocess.run([SIM, "--listen", first.address], capture_output=True,
                                    timeout=30, stdin=subprocess.DEVNULL)
        self.assertEqual(second.returncode, 2)
        self.assertIn(b"already in use", second.stderr)
        self.assertEqual(second.stdout, b"")


if __name__ == "__main__":
    unittest.main()

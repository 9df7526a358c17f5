"""kestrel-host --check as Nagios and Icinga run it, against roomalert-sim over loopback: a table
of check runs read back with the plug-in output grammar, and absent readings in every output."""

import os
import re
import subprocess
import time
import unittest

from support import HOST_CMD, PASSWORD, HostTestCase, Simulator, fixture, free_port

DEAD_SENSOR = fixture("3w-dead-sensor.json", "check")
ODD_PASSWORD = "p ;w#d = x"

# The monitoring-plugins performance data grammar: 'label'=value[UOM];[warn];[crit];[min];[max]
PERF = re.compile(r"('(?:[^']|'')+'|[^'= ]+)=(-?\d+(?:\.\d+)?|U)(s|ms|us|%|B|KB|MB|TB|c)?"
                  r";([^; ]*);([^; ]*);([^; ]*);([^; ]*)(?: |$)")
RANGE = re.compile(r"^@?(~|-?\d+(\.\d+)?)?:?(-?\d+(\.\d+)?)?$")


def parse_plugin_output(stdout):
    """(status line text, long output lines, {label: (value, uom, warn, crit, min, max)});
    fails on output that breaks the grammar."""
    lines = stdout.splitlines()
    assert lines, "no output"
    text, _, perf = lines[0].partition(" | ")
    assert "|" not in text and all("|" not in line for line in lines[1:]), stdout
    found, position = {}, 0
    while position < len(perf):
        match = PERF.match(perf, position)
        assert match, "bad perfdata at %r" % perf[position:]
        label = match.group(1).strip("'").replace("''", "'")
        for threshold in match.group(4, 5):
            assert threshold == "" or RANGE.match(threshold), threshold
        found[label] = match.groups()[1:]
        position = match.end()
    return text, lines[1:], found


def run_check(args, env=None, timeout=60):
    return subprocess.run(HOST_CMD + ["--check", *args], capture_output=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, env=dict(os.environ, **(env or {})))


class CheckRunTest(HostTestCase):
    """Rows: name, simulator arguments (None: no simulator), check arguments, exit code, start of
    the status line, lines that must follow it, {perf label: (value, uom, warn, crit, min, max)}
    for the perfdata that must be there."""

    CASES = [
        ("healthy", [], [], 0, "ROOMALERT OK - 4 sensors OK",
         ["[OK] Door Contact switch: closed"],
         {"Rack 4 Intake humidity": ("45.00", "%", "", "", "0", "100"),
          "Internal Sensor temperature": ("22.31", None, "", "", "", "")}),
        # The check used to show 0.00 C and OK for these.
        ("dead sensor", ["--fixture", DEAD_SENSOR], ["-c", "temperature=35"], 2,
         "ROOMALERT CRITICAL - 2 CRITICAL: Rack 9 temperature: no reading, Rack 12 Exhaust "
         "humidity: no reading",
         ["[CRITICAL] Rack 9 temperature: no reading", "[OK] Rack 12 Exhaust temperature: 24.00 C"],
         {"Rack 9 temperature": ("U", None, "", "35", "", ""),
          "Rack 12 Exhaust humidity": ("U", None, "", "", "0", "100")}),
        ("dead sensor, --no-reading warning", ["--fixture", DEAD_SENSOR],
         ["--no-reading", "warning"], 1, "ROOMALERT WARNING - 2 WARNING: Rack 9", [], {}),
        ("one sensor alone", ["--fixture", DEAD_SENSOR], ["--sensor", "Rack 12 Exhaust/temperature"],
         0, "ROOMALERT OK - Rack 12 Exhaust temperature: 24.00 C",
         ["[OK] Rack 12 Exhaust temperature: 24.00 C"],
         {"Rack 12 Exhaust temperature": ("24.00", None, "", "", "", "")}),
        # An empty port is no sensor: nothing to judge now or later, not a reading that failed.
        ("empty port named", ["--fixture", DEAD_SENSOR], ["-s", "Empty port"], 3,
         "ROOMALERT UNKNOWN - Empty port: port is empty", ["[UNKNOWN] Empty port: port is empty"],
         {}),
        ("unknown sensor label", [], ["-s", "Rack 5"], 3,
         "ROOMALERT UNKNOWN - --sensor Rack 5: the device has no such sensor; its labels are "
         "'Internal Sensor', 'Rack 4 Intake', 'Door Contact'", [], {}),
        # A bare range is for temperatures: humidity 45 % must not page with -w 27.
        ("bare range with humidity", [], ["-w", "22", "-c", "30"], 1,
         "ROOMALERT WARNING - Internal Sensor temperature: 22.31 C (warning 22)", [],
         {"Rack 4 Intake humidity": ("45.00", "%", "", "", "0", "100"),
          "Rack 4 Intake temperature": ("21.50", None, "22", "30", "", "")}),
        ("switch alarm", [], ["--switch-alarm", "closed", "-s", "Door Contact"], 2,
         "ROOMALERT CRITICAL - Door Contact switch: closed (alarm when closed)", [],
         {"Door Contact switch": ("0", None, "", "", "", "")}),
        # Our plain words first; the module's own text and what to do follow.
        ("refused", None, ["-H", "127.0.0.1:{free port}"], 2,
         "ROOMALERT CRITICAL - 127.0.0.1:{free port} refused the connection",
         ["Failed to retrieve device data over HTTP. The GET request failed with error: [No "
          "connection could be made",
          "http://127.0.0.1:{free port}/getData.json: nothing accepts connections there"], {}),
        ("refused, --unreachable unknown", None,
         ["-H", "127.0.0.1:{free port}", "--unreachable", "unknown"], 3,
         "ROOMALERT UNKNOWN - 127.0.0.1:{free port} refused the connection", [], {}),
        # A plug-in that lost its address must not watch whatever answers on localhost:8380.
        ("no -H", None, [], 3, "ROOMALERT UNKNOWN - no device named; give -H HOST", [], {}),
        ("not a Room Alert answer", ["--fault", "html"], [], 2,
         "ROOMALERT CRITICAL - {address} did not answer with JSON",
         ["Failed to convert Json data to XML data."], {}),
        ("time-out", ["--fault", "delay:8000"], ["-t", "2"], 2,
         "ROOMALERT CRITICAL - no answer from {address} within 2 s (--timeout)", [], {}),
        ("time-out, -t 2:UNKNOWN", ["--fault", "delay:8000"], ["-t", "2:UNKNOWN"], 3,
         "ROOMALERT UNKNOWN - no answer from", [], {}),
        ("refused login", ["--user", "admin", "--password", PASSWORD],
         ["--user", "admin", "--password-file", "{wrong password}"], 3,
         "ROOMALERT UNKNOWN - {address} refused the login",
         ["Failed to retrieve device data over HTTP. The GET request failed with error: [HTML "
          "Error [401].]",
          "http://{address}/getData.json: the device refused the user name or password; check "
          "--user and the first line of --password-file {wrong password}"], {}),
        # The hint names the INI section the wrong password came from; every user may read that
        # file, which on-call hears in the long output (stderr may precede the status line).
        ("refused login, password from INI", ["--user", "admin", "--password", PASSWORD],
         ["--extra-opts=wrong@{ini}"], 3, "ROOMALERT UNKNOWN - {address} refused the login",
         ["http://{address}/getData.json: the device refused the user name or password; check "
          "--user and password= in [wrong] of {ini} (--extra-opts)",
          "warning: {ini} holds a password and every user of this machine can read it"], {}),
        ("password from --extra-opts", ["--user", "admin", "--password", PASSWORD],
         ["--extra-opts=rack@{ini}", "-s", "Internal Sensor"], 0,
         "ROOMALERT OK - Internal Sensor temperature: 22.31 C", [],
         {"Internal Sensor temperature": ("22.31", None, "30", "35", "", "")}),
        # INI values are kept whole: spaces, ";" and "#" are no comment or list inside a value.
        ("--extra-opts password with ; and #", ["--user", "admin", "--password", ODD_PASSWORD],
         ["--extra-opts", "odd@{ini}"], 0, "ROOMALERT OK - 4 sensors OK", [], {}),
        ("--extra-opts section missing", [], ["--extra-opts=nothere@{ini}"], 3,
         "ROOMALERT UNKNOWN - --extra-opts=nothere@", [], {}),
        ("usage error", [], ["--unreachable", "maybe"], 3,
         "ROOMALERT UNKNOWN - --unreachable: maybe is not one of ok, warning, critical, unknown",
         [], {}),
        ("-v", [], ["-v", "-s", "Door Contact"], 0, "ROOMALERT OK - Door Contact switch: closed",
         ["url: http://{address}/getData.json"], {}),
        ("-vv", [], ["-vv", "-s", "Door Contact", "-w", "30"], 0, "ROOMALERT OK",
         ["settings: user=- password=no timeout=10:CRITICAL unreachable=CRITICAL "
          "no-reading=CRITICAL switch-alarm=none sensor=Door Contact warning=30"], {}),
        ("-vvv", [], ["-vvv", "-s", "Door Contact"], 0, "ROOMALERT OK",
         ["last error: The operation completed successfully."], {}),
    ]

    def setUp(self):
        super().setUp()
        with open(self.path("wrong"), "w") as f:
            f.write("not-" + PASSWORD + "\n")
        with open(self.path("plugins.ini"), "w") as f:
            f.write("[check_roomalert]\nwarning=40\n\n[rack]\n; the password never reaches ps\n"
                    "user=admin\npassword=%s\nwarning=30\ncritical=Internal Sensor=35\n\n"
                    "[odd]\nuser=admin\npassword=%s\n\n[wrong]\nuser=admin\npassword=not-%s\n"
                    % (PASSWORD, ODD_PASSWORD, PASSWORD))
        os.chmod(self.path("plugins.ini"), 0o644)

    def fill(self, texts, address, port):
        out = []
        for text in texts:
            out.append(text.replace("{free port}", str(port)).replace("{address}", address)
                       .replace("{wrong password}", self.path("wrong"))
                       .replace("{ini}", self.path("plugins.ini")))
        return out

    def test_check_runs(self):
        for name, sim_args, args, code, status, lines, perf in self.CASES:
            with self.subTest(case=name):
                port = free_port()
                started = time.monotonic()
                if sim_args is None:
                    run = run_check(self.fill(args, "", port))
                    address = ""
                else:
                    with Simulator("--fixture", fixture("3w-typical.json"), *sim_args) as sim:
                        address = sim.address
                        run = run_check(["-H", address] + self.fill(args, address, port))
                elapsed = time.monotonic() - started
                stdout = run.stdout.decode()
                self.assertEqual(run.returncode, code, stdout + run.stderr.decode())
                text, long_lines, found = parse_plugin_output(stdout)
                self.assertTrue(text.startswith(self.fill([status], address, port)[0]), text)
                for line in self.fill(lines, address, port):
                    self.assertTrue(any(l.startswith(line) for l in long_lines), long_lines)
                for label, fields in perf.items():
                    self.assertEqual(found[label], fields, label)
                self.assertNotIn(PASSWORD, stdout)
                self.assertNotIn(ODD_PASSWORD, stdout)
                if name.startswith("time-out"):
                    self.assertLess(elapsed, 5)

    # Rows: name, environment, check arguments, exit code, start of the status line, lines that
    # must follow it. The device asks for admin and PASSWORD; {dir} holds plugins.ini.
    ENVIRONMENT_CASES = [
        ("password from the environment", {"ROOMALERT_PASSWORD": PASSWORD}, ["--user", "admin"],
         0, "ROOMALERT OK - 4 sensors OK", []),
        ("wrong password from the environment", {"ROOMALERT_PASSWORD": "not-it"},
         ["--user", "admin"], 3, "ROOMALERT UNKNOWN - {address} refused the login",
         ["http://{address}/getData.json: the device refused the user name or password; check "
          "--user and the environment variable ROOMALERT_PASSWORD"]),
        # a file named for the password is the more specific
        ("--password-file over the environment", {"ROOMALERT_PASSWORD": "not-it"},
         ["--user", "admin", "--password-file", "{right password}"], 0, "ROOMALERT OK", []),
        # the monitoring plug-ins' search: each folder of NAGIOS_CONFIG_PATH in turn
        ("NAGIOS_CONFIG_PATH", {"NAGIOS_CONFIG_PATH": "{dir}/none::{dir}"},
         ["--extra-opts=rack", "-s", "Internal Sensor"], 0,
         "ROOMALERT OK - Internal Sensor temperature: 22.31 C", []),
        ("MP_CONFIG_FILE before NAGIOS_CONFIG_PATH",
         {"NAGIOS_CONFIG_PATH": "{dir}", "MP_CONFIG_FILE": "{dir}/other.ini"},
         ["--extra-opts=rack"], 3, "ROOMALERT UNKNOWN - {address} refused the login",
         ["http://{address}/getData.json: the device refused the user name or password; check "
          "--user and password= in [rack] of {dir}/other.ini (--extra-opts)"]),
    ]

    def test_password_and_options_from_the_environment(self):
        with open(self.path("right"), "w") as f:
            f.write(PASSWORD + "\n")
        os.chmod(self.path("right"), 0o600)
        with open(self.path("other.ini"), "w") as f:
            f.write("[rack]\nuser=admin\npassword=not-it\n")
        os.chmod(self.path("other.ini"), 0o600)
        unset = {"ROOMALERT_PASSWORD": "", "NAGIOS_CONFIG_PATH": "", "MP_CONFIG_FILE": ""}
        with Simulator("--fixture", fixture("3w-typical.json"), "--user", "admin", "--password",
                       PASSWORD) as sim:
            def fill(text):
                return (text.replace("{address}", sim.address).replace("{dir}", self.dir)
                        .replace("{right password}", self.path("right")))
            for name, env, args, code, status, lines in self.ENVIRONMENT_CASES:
                with self.subTest(case=name):
                    run = run_check(["-H", sim.address] + [fill(a) for a in args],
                                    env=dict(unset, **{k: fill(v) for k, v in env.items()}))
                    stdout = run.stdout.decode()
                    self.assertEqual(run.returncode, code, stdout + run.stderr.decode())
                    text, long_lines, _ = parse_plugin_output(stdout)
                    self.assertTrue(text.startswith(fill(status)), text)
                    for line in lines:
                        self.assertTrue(any(l.startswith(fill(line)) for l in long_lines),
                                        long_lines)
                    self.assertNotIn(PASSWORD, stdout)

    def test_version_and_help(self):
        version = run_check(["-V"])
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout.decode(), r"^kestrel-host \d+\.\d+\.\d+\n$")
        usage = run_check(["-h"])
        self.assertEqual(usage.returncode, 0)
        for option in ("--sensor", "--unreachable", "--no-reading", "--switch-alarm",
                       "--extra-opts", "--verbose", "--timeout"):
            self.assertIn(option, usage.stdout.decode())


class AbsentReadingTest(HostTestCase):
    def test_table_and_json_show_no_value(self):
        with Simulator("--fixture", DEAD_SENSOR) as sim:
            table = self.host("--host", sim.address, "--format", "table")
            json_run = self.host("--host", sim.address)
        self.assertEqual(table.exit, 0, table.stderr)
        self.assertRegex(table.stdout, r"\n  Rack 9 +temperature +no reading\n")
        self.assertRegex(table.stdout, r"\n  Rack 12 Exhaust +humidity +no reading\n")
        self.assertRegex(table.stdout, r"\n  Door Contact +switch +closed\n")
        self.assertRegex(table.stdout, r"\n  Empty port +n/a +empty port\n")
        values = {(i["description"], s["typeText"]): s["value"]
                  for i in json_run.json()["interfaces"] for s in i["sensors"]}
        self.assertEqual(values[("Rack 9", "temperature")], None)
        self.assertEqual(values[("Rack 12 Exhaust", "humidity")], None)
        self.assertEqual(values[("Rack 12 Exhaust", "temperature")], 24.0)


if __name__ == "__main__":
    unittest.main()

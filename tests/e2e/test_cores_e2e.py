"""The shipped Nagios command and Icinga 2 CheckCommand, read by the real cores (Debian's
nagios4-core and icinga2-bin), and a real Nagios 4 core scheduling the check against
roomalert-sim."""

import json
import os
import pwd
import subprocess
import unittest

from support import (HOST_CMD, ICINGA, NAGIOS, PASSWORD, SOURCE_DIR, FolderTestCase, NagiosCore,
                     Simulator, fixture, free_port, nagios_config, stop, wait_for)

NAGIOS_COMMAND = os.path.join(SOURCE_DIR, "packaging", "nagios", "kestrel-probe.cfg")
ICINGA_COMMAND = os.path.join(SOURCE_DIR, "packaging", "icinga2", "kestrel-probe.conf")


class CoreTestCase(FolderTestCase):
    def setUp(self):
        super().setUp()
        # The core may run as its own user (as root: nagios), which must reach the folder.
        os.chmod(self.dir, 0o755)


class NagiosTest(CoreTestCase):
    def test_configuration_with_the_shipped_command_verifies(self):
        config = nagios_config(self.dir, NAGIOS_COMMAND,
                               [("ra3w", "192.0.2.10", "-w 27 -c 32 -s 'Rack 4 Intake/humidity'")])
        verified = subprocess.run([NAGIOS, "-v", config], capture_output=True, timeout=60)
        self.assertEqual(verified.returncode, 0, verified.stdout.decode())
        self.assertIn("Total Errors:   0", verified.stdout.decode())

    def test_core_schedules_the_check(self):
        with Simulator("--fixture", fixture("3w-typical.json")) as healthy, \
                Simulator("--fixture", fixture("3w-dead-sensor.json", "check")) as dead:
            hosts = [("healthy", healthy.address, "-w 30 -c 35"),
                     ("stopped", "127.0.0.1:%d" % free_port(), "-w 30 -c 35"),
                     ("dead-sensor", dead.address, "-s 'Rack 9'")]
            with NagiosCore(self.dir, NAGIOS_COMMAND, hosts) as core:
                status = wait_for(core.checked, 90, every=0.5)
        self.assertTrue(status, "the core did not check every service")
        self.assertEqual(status["healthy"]["current_state"], "0", status["healthy"])
        self.assertTrue(status["healthy"]["plugin_output"].startswith("ROOMALERT OK - "))
        self.assertIn("'Rack 4 Intake humidity'=45.00%;;;0;100",
                      status["healthy"]["performance_data"])
        self.assertIn("[OK] Door Contact switch: closed", status["healthy"]["long_plugin_output"])
        self.assertEqual(status["stopped"]["current_state"], "2", status["stopped"])
        self.assertTrue(status["stopped"]["plugin_output"].startswith("ROOMALERT CRITICAL - "))
        self.assertEqual(status["dead-sensor"]["current_state"], "2", status["dead-sensor"])
        self.assertEqual(status["dead-sensor"]["plugin_output"],
                         "ROOMALERT CRITICAL - Rack 9 temperature: no reading")
        self.assertEqual(status["dead-sensor"]["performance_data"], "'Rack 9 temperature'=U;;;;")


class IcingaTest(CoreTestCase):
    def test_service_with_the_shipped_check_command_validates(self):
        config = os.path.join(self.dir, "icinga2.conf")
        with open(config, "w") as f:
            f.write('const PluginDir = "/usr/lib/nagios/plugins"\ninclude <itl>\n'
                    'include <plugins>\ninclude "%s"\n' % os.path.abspath(ICINGA_COMMAND))
            f.write('object Host "ra3w" {\n  address = "192.0.2.10"\n  check_command = "dummy"\n}\n'
                    'object Service "rack-4-humidity" {\n  host_name = "ra3w"\n'
                    '  check_command = "roomalert"\n'
                    '  vars.roomalert_sensor = [ "Rack 4 Intake/humidity" ]\n'
                    '  vars.roomalert_warning = [ "humidity=30:60" ]\n'
                    '  vars.roomalert_critical = [ "humidity=20:70", "32" ]\n'
                    '  vars.roomalert_switch_alarm = "open"\n'
                    '  vars.roomalert_extra_opts = "rack@/etc/icinga2/roomalert.ini"\n}\n')
        checked = subprocess.run([ICINGA, "daemon", "-C", "-c", config], capture_output=True,
                                 timeout=120)
        output = (checked.stdout + checked.stderr).decode()
        self.assertEqual(checked.returncode, 0, output)
        self.assertIn("Finished validating the configuration", output)

    def test_core_runs_a_service_per_sensor_with_the_password_from_the_environment(self):
        with Simulator("--fixture", fixture("3w-typical.json"), "--user", "admin", "--password",
                       PASSWORD) as sim:
            config = ICINGA_SERVICES % {"address": sim.address, "password": PASSWORD}
            with IcingaCore(self.dir, config) as core:
                # a second run of each: the first one's result is in by then
                checked = wait_for(lambda: all(core.ran(2, flag, sensor) for flag, sensor in (
                    ("-v", "Door Contact"), ("-vv", "Rack 4 Intake/humidity"),
                    ("-vvv", "Door Contact"))), 90, every=0.5)
            self.assertTrue(checked, "the core did not run every service")
        self.assertEqual(core.exit, 0)
        results = core.results()
        door, humidity, wrong = (results["room-alert " + name] for name in (
            "Door Contact", "Rack 4 Intake humidity", "wrong password"))
        self.assertEqual(door["exit_status"], 0, door["output"])
        self.assertTrue(door["output"].startswith("ROOMALERT OK - Door Contact switch: closed"))
        self.assertEqual(humidity["exit_status"], 1, humidity["output"])
        self.assertIn("\nsettings: user=admin password=yes ", humidity["output"])
        self.assertEqual(wrong["exit_status"], 3, wrong["output"])
        self.assertTrue(wrong["output"].startswith(
            "ROOMALERT UNKNOWN - %s refused the login" % sim.address), wrong["output"])
        self.assertIn("check --user and the environment variable ROOMALERT_PASSWORD",
                      wrong["output"])
        # each verbosity level as its own flag, and no password on any command line
        for result, flag in ((door, "-v"), (humidity, "-vv"), (wrong, "-vvv")):
            self.assertIn(flag, result["command"])
            self.assertNotIn(PASSWORD, " ".join(result["command"]) + result["output"])


# One service per sensor as docs/check.md shows it: an apply for over the host's sensors, each
# with the CheckCommand's variables of its own; the password reaches the check through the
# environment the CheckCommand sets, never its command line.
ICINGA_SERVICES = """
object CheckerComponent "checker" { }
object Host "ra3w" {
  address = "%(address)s"
  check_command = "dummy"
  enable_active_checks = false
  vars.roomalert_user = "admin"
  vars.roomalert_password = "%(password)s"
  vars.roomalert_sensors = {
    "Door Contact" = { roomalert_sensor = "Door Contact", roomalert_switch_alarm = "open",
                       roomalert_verbose = true }
    "Rack 4 Intake humidity" = { roomalert_sensor = "Rack 4 Intake/humidity",
                                 roomalert_warning = [ "humidity=30:40" ], roomalert_verbose = 2 }
    "wrong password" = { roomalert_sensor = "Door Contact", roomalert_password = "not-it",
                         roomalert_verbose = 3 }
  }
}
apply Service "room-alert " for (name => sensor in host.vars.roomalert_sensors) {
  check_command = "roomalert"
  check_interval = 1s
  retry_interval = 1s
  vars += sensor
  assign where host.vars.roomalert_sensors
}
"""


def read_state(path):
    """The last check result of every service in an Icinga 2 state file (netstrings of JSON)."""
    with open(path, "rb") as f:
        data = f.read()
    results, at = {}, 0
    while at < len(data):
        colon = data.index(b":", at)
        size = int(data[at:colon])
        item = json.loads(data[colon + 1:colon + 1 + size])
        at = colon + size + 2
        if item.get("type") == "Service" and "last_check_result" in item["update"]:
            results[item["name"].split("!", 1)[1]] = item["update"]["last_check_result"]
    return results


class IcingaCore:
    """A private Icinga 2 core in folder running config_text beside the shipped CheckCommand,
    while entered; its plug-in folder logs each check it ran (calls.log). results() are the
    services' last check results, read from the state the core writes as it stops."""

    def __init__(self, folder, config_text):
        self.folder = folder
        self.var = os.path.join(folder, "var")
        os.makedirs(os.path.join(self.var, "icinga2"))
        plugins = os.path.join(folder, "plugins")
        os.makedirs(plugins)
        self.calls = os.path.join(folder, "calls.log")
        script = os.path.join(plugins, "check_roomalert")
        command = " ".join(os.path.abspath(c) if os.path.exists(c) else c for c in HOST_CMD)
        with open(script, "w") as f:
            f.write('#!/bin/sh\n%s --check "$@"\ncode=$?\n'
                    '{ printf "%%s\\t" "$@"; echo; } >> %s\nexit $code\n' % (command, self.calls))
        os.chmod(script, 0o755)
        self.config = os.path.join(folder, "icinga2.conf")
        with open(self.config, "w") as f:
            f.write('const PluginDir = "%s"\ninclude <itl>\ninclude <plugins>\ninclude "%s"\n'
                    % (plugins, os.path.abspath(ICINGA_COMMAND)))
            f.write(config_text)

    def __enter__(self):
        user = pwd.getpwuid(os.getuid()).pw_name
        folders = ["-D%s=%s" % (name, self.var)
                   for name in ("DataDir", "LogDir", "CacheDir", "SpoolDir", "InitRunDir")]
        with open(os.path.join(self.folder, "icinga2.log"), "wb") as log:
            self.process = subprocess.Popen(
                [ICINGA, "daemon", "-c", self.config] + folders, stdout=log, stderr=log,
                stdin=subprocess.DEVNULL, env=dict(os.environ, ICINGA2_USER=user,
                                                   ICINGA2_GROUP=user))
        return self

    def ran(self, times, *arguments):
        """Whether the check ran times times with all these among its arguments."""
        if not os.path.exists(self.calls):
            return False
        with open(self.calls) as f:
            calls = [line.rstrip("\n").split("\t") for line in f]
        return sum(all(a in call for a in arguments) for call in calls) >= times

    def __exit__(self, *exc):
        self.exit = stop(self.process, 60)

    def results(self):
        return read_state(os.path.join(self.var, "icinga2.state"))


if __name__ == "__main__":
    unittest.main()

"""The shipped Nagios command and Icinga 2 CheckCommand, read by the real cores (Debian's
nagios4-core and icinga2-bin), and a real Nagios 4 core scheduling the check against
roomalert-sim. Same environment as test_host_e2e, plus KESTREL_SOURCE_DIR (the repository)."""

import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from test_host_e2e import HOST_CMD, Simulator, fixture, free_port

SOURCE_DIR = os.environ.get("KESTREL_SOURCE_DIR", "../..")
FIXTURES = os.environ.get("KESTREL_FIXTURES_DIR", "tests/fixtures")
NAGIOS = shutil.which("nagios4") or "/usr/sbin/nagios4"
ICINGA = shutil.which("icinga2") or "/usr/sbin/icinga2"
NAGIOS_COMMAND = os.path.join(SOURCE_DIR, "packaging", "nagios", "kestrel-probe.cfg")
ICINGA_COMMAND = os.path.join(SOURCE_DIR, "packaging", "icinga2", "kestrel-probe.conf")

OBJECTS = """
define timeperiod {
    timeperiod_name always
    alias           always
    sunday 00:00-24:00
    monday 00:00-24:00
    tuesday 00:00-24:00
    wednesday 00:00-24:00
    thursday 00:00-24:00
    friday 00:00-24:00
    saturday 00:00-24:00
}
define command {
    command_name    host-up
    command_line    /bin/true
}
define command {
    command_name    notify-nobody
    command_line    /bin/true
}
define contact {
    contact_name                  oncall
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_period      always
    service_notification_period   always
    host_notification_options     n
    service_notification_options  n
    host_notification_commands    notify-nobody
    service_notification_commands notify-nobody
}
"""

HOST = """
define host {
    host_name             %(name)s
    address               %(address)s
    check_command         host-up
    max_check_attempts    1
    check_period          always
    contacts              oncall
    notification_period   always
}
define service {
    host_name             %(name)s
    service_description   Room Alert
    check_command         check_roomalert!%(args)s
    max_check_attempts    1
    check_interval        1
    retry_interval        1
    check_period          always
    contacts              oncall
    notification_period   always
}
"""


def nagios_config(folder, plugins, hosts):
    """nagios.cfg for a private core in folder; hosts: (name, address, check arguments)."""
    with open(os.path.join(folder, "objects.cfg"), "w") as f:
        f.write(OBJECTS)
        for name, address, args in hosts:
            f.write(HOST % {"name": name, "address": address, "args": args})
    with open(os.path.join(folder, "resource.cfg"), "w") as f:
        f.write("$USER1$=%s\n" % plugins)
    user = pwd.getpwuid(os.getuid()).pw_name if os.getuid() != 0 else "nagios"
    # Every file of the core in folder; cfg_file names the shipped command as it is.
    inside = {
        "log_file": "nagios.log", "resource_file": "resource.cfg", "status_file": "status.dat",
        "object_cache_file": "objects.cache", "precached_object_file": "objects.precache",
        "temp_file": "nagios.tmp", "temp_path": ".", "lock_file": "nagios.pid",
        "check_result_path": "checkresults", "command_file": "nagios.cmd",
        "state_retention_file": "retention.dat",
    }
    # Intervals in seconds, results reaped and status written every second.
    settings = {
        "nagios_user": user, "nagios_group": user, "interval_length": "1",
        "status_update_interval": "1", "check_result_reaper_frequency": "1",
        "max_service_check_spread": "1", "max_host_check_spread": "1",
        "retain_state_information": "0", "use_syslog": "0", "check_for_updates": "0",
        "enable_notifications": "0", "service_check_timeout": "30",
    }
    lines = ["cfg_file=" + os.path.abspath(NAGIOS_COMMAND)]
    lines += ["%s=%s" % (k, os.path.join(folder, v)) for k, v in inside.items()]
    lines += ["%s=%s" % (k, v) for k, v in settings.items()]
    lines.append("cfg_file=" + os.path.join(folder, "objects.cfg"))
    os.makedirs(os.path.join(folder, "checkresults"))
    path = os.path.join(folder, "nagios.cfg")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    if os.getuid() == 0:
        for root, dirs, files in os.walk(folder):
            for name in dirs + files + ["."]:
                shutil.chown(os.path.join(root, name), user, user)
    return path


def plugin_folder(folder):
    """A plug-in folder whose check_roomalert runs the build's kestrel-host, as the package's does."""
    plugins = os.path.join(folder, "plugins")
    os.makedirs(plugins)
    script = os.path.join(plugins, "check_roomalert")
    with open(script, "w") as f:
        command = [os.path.abspath(c) if os.path.exists(c) else c for c in HOST_CMD]
        f.write("#!/bin/sh\nexec %s --check \"$@\"\n" % " ".join(command))
    os.chmod(script, 0o755)
    return plugins


def service_status(status_dat):
    """{host name: {field: value}} of the servicestatus blocks of status.dat."""
    found = {}
    with open(status_dat, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for block in re.findall(r"servicestatus \{\n(.*?)\n\s*\}", text, re.S):
        fields = dict(line.strip().split("=", 1) for line in block.splitlines() if "=" in line)
        found[fields["host_name"]] = fields
    return found


class CoreTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kestrel-cores-")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, True)


class NagiosTest(CoreTestCase):
    def test_configuration_with_the_shipped_command_verifies(self):
        config = nagios_config(self.dir, plugin_folder(self.dir),
                               [("ra3w", "192.0.2.10", "-w 27 -c 32 -s 'Rack 4 Intake/humidity'")])
        verified = subprocess.run([NAGIOS, "-v", config], capture_output=True, timeout=60)
        self.assertEqual(verified.returncode, 0, verified.stdout.decode())
        self.assertIn("Total Errors:   0", verified.stdout.decode())

    def test_core_schedules_the_check(self):
        with Simulator("--fixture", fixture("3w-typical.json")) as healthy, \
                Simulator("--fixture", os.path.join(FIXTURES, "check", "3w-dead-sensor.json")) as dead:
            hosts = [("healthy", healthy.address, "-w 30 -c 35"),
                     ("stopped", "127.0.0.1:%d" % free_port(), "-w 30 -c 35"),
                     ("dead-sensor", dead.address, "-s 'Rack 9'")]
            config = nagios_config(self.dir, plugin_folder(self.dir), hosts)
            core = subprocess.Popen([NAGIOS, config], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            try:
                status = self.wait_for_checks(os.path.join(self.dir, "status.dat"), len(hosts))
            finally:
                core.terminate()
                core.wait(timeout=30)
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

    def wait_for_checks(self, status_dat, count):
        deadline = time.monotonic() + 90
        status = {}
        while time.monotonic() < deadline:
            if os.path.exists(status_dat):
                status = service_status(status_dat)
                if len(status) == count and all(s.get("has_been_checked") == "1"
                                                for s in status.values()):
                    return status
            time.sleep(0.5)
        self.fail("the core did not check every service: %r" % status)


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


if __name__ == "__main__":
    unittest.main()

"""The shipped Nagios command and Icinga 2 CheckCommand, read by the real cores (Debian's
nagios4-core and icinga2-bin), and a real Nagios 4 core scheduling the check against
roomalert-sim."""

import os
import subprocess
import unittest

from support import (ICINGA, NAGIOS, SOURCE_DIR, FolderTestCase, NagiosCore, Simulator, fixture,
                     free_port, nagios_config, wait_for)

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


if __name__ == "__main__":
    unittest.main()

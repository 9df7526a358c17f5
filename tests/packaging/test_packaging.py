"""Checks of the service files, the Prometheus examples and the Debian package.

Environment: KESTREL_BINARY_DIR (a built folder), KESTREL_SOURCE_DIR, CPACK (its cpack).
"""

import ctypes
import gzip
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import yaml

BINARY_DIR = os.environ.get("KESTREL_BINARY_DIR", "build/release")
SOURCE_DIR = os.environ.get("KESTREL_SOURCE_DIR", ".")
PACKAGING = os.path.join(SOURCE_DIR, "packaging")
PROMETHEUS_EXAMPLES = os.path.join(PACKAGING, "prometheus")
# The classes of roomalert_last_error_info, each with its runbook section.
ERROR_CLASSES = ("timeout", "refused", "dns", "tls", "auth", "http_status", "not_json",
                 "no_sensors", "write", "other")


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=300,
                          stdin=subprocess.DEVNULL, **kwargs)


def deny_write_execute():
    """What MemoryDenyWriteExecute enforces, in the kernel's own form (kept across exec)."""
    if ctypes.CDLL(None).prctl(65, 1, 0, 0, 0) != 0:  # PR_SET_MDWE, REFUSE_EXEC_GAIN
        os._exit(77)


class ScratchTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kestrel-packaging-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def assertRuns(self, completed):
        self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)


class UnitTest(ScratchTestCase):
    def test_unit_verifies_and_stays_hardened(self):
        # verify wants ExecStart to exist: point it at the build's exporter
        program = os.path.join(BINARY_DIR, "kestrel-exporter")
        with open(os.path.join(PACKAGING, "kestrel-exporter.service")) as f:
            text = f.read()
        unit = os.path.join(self.dir, "kestrel-exporter.service")
        with open(unit, "w") as f:
            f.write(text.replace("/usr/bin/kestrel-exporter", os.path.abspath(program)))
        # a misspelt setting is only a warning (and the setting is ignored)
        completed = run("systemd-analyze", "verify", unit, cwd=self.dir)
        self.assertRuns(completed)
        self.assertEqual(completed.stdout + completed.stderr, "")
        # systemd's exposure score (0 confined .. 10 not at all) stays at this unit's 1.1:
        # dropping any setting that counts (user, capabilities, system calls, address
        # families, home, user namespace) raises it
        self.assertRuns(run("systemd-analyze", "security", "--offline=yes", "--threshold=11",
                            unit, cwd=self.dir))


class PrometheusExamplesTest(ScratchTestCase):
    def test_promtool_and_amtool_accept_the_examples(self):
        cases = [
            ("promtool", "check", "config", "prometheus.yml"),
            ("promtool", "check", "config", "prometheus-sharded.yml"),
            ("promtool", "check", "rules", "alerts.yml"),
            # the alerts fire when they should and say what they should
            ("promtool", "test", "rules", "alerts_test.yml"),
            ("amtool", "check-config", "alertmanager.yml"),
        ]
        for *command, name in cases:
            with self.subTest(command=" ".join(command), file=name):
                completed = run(*command, os.path.join(PROMETHEUS_EXAMPLES, name))
                self.assertRuns(completed)
                self.assertNotIn("WARNING", completed.stdout + completed.stderr)


def relabelled(job, address):
    """A target's labels after a scrape job's relabelling (the replace rules the examples use)."""
    labels = {"__address__": address, "job": job["job_name"]}
    for rule in job.get("relabel_configs", []):
        if rule.get("action", "replace") != "replace":
            continue
        value = ";".join(labels.get(name, "") for name in rule.get("source_labels", []))
        match = re.fullmatch(rule.get("regex", "(.*)"), value)
        if match:
            labels[rule["target_label"]] = match.expand(
                rule.get("replacement", "$1").replace("$1", r"\1"))
    return labels


class AlertRulesTest(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(PROMETHEUS_EXAMPLES, "alerts.yml")) as f:
            self.rules = [rule for group in yaml.safe_load(f)["groups"] for rule in group["rules"]]
        self.assertTrue(self.rules)

    def test_every_rule_is_tested_and_links_its_runbook_entry(self):
        with open(os.path.join(PROMETHEUS_EXAMPLES, "alerts_test.yml")) as f:
            tested = {case["alertname"] for test in yaml.safe_load(f)["tests"]
                      for case in test.get("alert_rule_test", []) if case["exp_alerts"]}
        with open(os.path.join(PROMETHEUS_EXAMPLES, "RUNBOOK.md")) as f:
            # the anchors a Markdown renderer gives "## Heading"
            anchors = {re.sub(r"[^\w -]", "", line.lstrip("#").strip().lower())
                       .replace(" ", "-") for line in f if line.startswith("#")}
        # every class of roomalert_last_error_info has its section, which the exporter links
        for error_class in ERROR_CLASSES:
            self.assertIn("class-" + error_class, anchors)
        for rule in self.rules:
            with self.subTest(alert=rule["alert"]):
                self.assertIn(rule["alert"], tested)
                annotations = rule["annotations"]
                self.assertTrue(annotations.get("description"))
                self.assertIn(annotations["runbook_url"].rpartition("#")[2], anchors)

    def test_only_the_exporter_alert_ends_when_the_exporter_does(self):
        # A rule without keep_firing_for sends an all-clear the moment its series go stale.
        for rule in self.rules:
            with self.subTest(alert=rule["alert"]):
                self.assertEqual("keep_firing_for" in rule,
                                 rule["alert"] != "RoomAlertExporterDown")

    def test_the_exporter_job_is_named_alike_everywhere(self):
        # A renamed job would leave RoomAlertExporterDown firing on absence and the dashboard's
        # exporter panels empty.
        for name in ("prometheus.yml", "prometheus-sharded.yml"):
            with open(os.path.join(PROMETHEUS_EXAMPLES, name)) as f:
                jobs = [job["job_name"] for job in yaml.safe_load(f)["scrape_configs"]]
            self.assertIn("kestrel-exporter", jobs, name)
        with open(os.path.join(PROMETHEUS_EXAMPLES, "alerts.yml")) as f:
            self.assertIn('up{job="kestrel-exporter"}', f.read())
        with open(os.path.join(PACKAGING, "grafana", "roomalert-dashboard.json")) as f:
            variables = {v["name"]: v for v in json.load(f)["templating"]["list"]}
        self.assertEqual(variables["job"]["query"], "kestrel-exporter")

    def test_device_alerts_are_inhibited_by_the_label_both_jobs_share(self):
        # The device job and the exporter's own job must give a device's alerts and the
        # exporter's the same kestrel_exporter, or the inhibition silently never applies.
        with open(os.path.join(PROMETHEUS_EXAMPLES, "alertmanager.yml")) as f:
            inhibit = [rule for rule in yaml.safe_load(f)["inhibit_rules"]
                       if 'alertname="RoomAlertExporterDown"' in rule["source_matchers"]]
        self.assertEqual(len(inhibit), 1)
        for name in ("prometheus.yml", "prometheus-sharded.yml"):
            with self.subTest(config=name):
                with open(os.path.join(PROMETHEUS_EXAMPLES, name)) as f:
                    config = yaml.safe_load(f)
                jobs = {job["job_name"]: job for job in config["scrape_configs"]}
                exporter = jobs["kestrel-exporter"]["static_configs"][0]["targets"][0]
                device = relabelled(jobs["roomalert"], "server-room-2")
                own = relabelled(jobs["kestrel-exporter"], exporter)
                self.assertEqual(device["kestrel_exporter"], exporter)
                self.assertEqual(own["kestrel_exporter"], exporter)
                # what else tells this server's alerts apart goes into the inhibition too
                external = config["global"].get("external_labels", {})
                self.assertLessEqual(set(external) | {"kestrel_exporter"},
                                     set(inhibit[0]["equal"]))


class ExampleConfigTest(ScratchTestCase):
    def check_config(self, path, **kwargs):
        return run(os.path.join(BINARY_DIR, "kestrel-exporter"), "--check-config", path, **kwargs)

    def test_the_shipped_example_and_its_commented_examples_pass_the_check(self):
        # As installed, the service reads no device until the operator adds one.
        example = os.path.join(PACKAGING, "config.example.yml")
        completed = self.check_config(example)
        self.assertRuns(completed)
        self.assertIn(": ok, 0 devices", completed.stdout)

        # What an operator does to use the examples: uncomment the devices, the account and the
        # device's auth. A check outside the unit names the credential it cannot see; the unit's
        # own run reads it.
        with open(example) as f:
            text = f.read()
        for block in ("devices", "auth_modules"):
            text = re.sub(r"^#?%s:\n(#.*\n)+" % block,
                          lambda found: found.group(0).replace("#", "", 1).replace("\n#", "\n"),
                          text, flags=re.M)
        text = text.replace("#auth: server_rooms", "auth: server_rooms")
        self.assertIn("\nauth_modules:\n", text)
        config = os.path.join(self.dir, "config.yml")
        with open(config, "w") as f:
            f.write(text)
        completed = self.check_config(config)
        self.assertRuns(completed)
        self.assertIn(": ok, 3 devices", completed.stdout)
        self.assertIn("the credential 'roomalert-password' of auth module 'server_rooms' is handed "
                      "over only inside the unit", completed.stdout)
        credentials = os.path.join(self.dir, "credentials")
        os.mkdir(credentials)
        with open(os.path.join(credentials, "roomalert-password"), "w") as f:
            f.write("secret\n")
        inside = dict(os.environ, CREDENTIALS_DIRECTORY=credentials)
        completed = self.check_config(config, env=inside)
        self.assertRuns(completed)
        self.assertNotIn("credential", completed.stdout)
        # the device's account is really looked up: a misspelt module name is refused
        with open(config, "w") as f:
            f.write(text.replace("auth: server_rooms", "auth: server_room"))
        self.assertEqual(self.check_config(config, env=inside).returncode, 2)


class LogrotateTest(ScratchTestCase):
    def test_every_device_trace_rotates_by_rename(self):
        state = os.path.join(self.dir, "state")
        for name in ("server-room-2/trace.log", "server-room-2/device.xml", "closet 1/trace.log",
                     ".unlisted/5f0e2a/trace.log"):
            os.makedirs(os.path.dirname(os.path.join(state, name)), exist_ok=True)
            with open(os.path.join(state, name), "w") as f:
                f.write("a line\n")
        with open(os.path.join(PACKAGING, "logrotate", "kestrel-exporter")) as f:
            snippet = f.read().replace("/var/lib/kestrel-exporter", state)
        with open(os.path.join(self.dir, "logrotate.conf"), "w") as f:
            f.write(snippet)
        completed = run("logrotate", "--force", "--state", os.path.join(self.dir, "status"),
                        os.path.join(self.dir, "logrotate.conf"))
        self.assertRuns(completed)
        self.assertEqual(completed.stderr, "")
        # the service makes the next trace.log itself; other files stay
        self.assertEqual(sorted(os.listdir(os.path.join(state, "server-room-2"))),
                         ["device.xml", "trace.log.1"])
        self.assertEqual(os.listdir(os.path.join(state, "closet 1")), ["trace.log.1"])
        self.assertEqual(os.listdir(os.path.join(state, ".unlisted", "5f0e2a")), ["trace.log.1"])


class PackageTest(ScratchTestCase):
    def test_package_unpacks_and_its_programs_run(self):
        # cpack installs from the finished build: nothing is rebuilt
        completed = run(os.environ.get("CPACK", "cpack"), "-G", "DEB", "--config",
                        os.path.join(BINARY_DIR, "CPackConfig.cmake"), "-B", self.dir)
        self.assertRuns(completed)
        debs = [name for name in os.listdir(self.dir) if name.endswith(".deb")]
        self.assertEqual(len(debs), 1, debs)
        self.assertRegex(debs[0], r"^kestrel-probe_\d+\.\d+\.\d+_amd64\.deb$")
        version = debs[0].split("_")[1]
        deb = os.path.join(self.dir, debs[0])

        # computed from the binaries, each with the version its symbols need
        depends = run("dpkg-deb", "--field", deb, "Depends").stdout
        for library in ("libc6", "libcurl4", "libxml2", "libstdc++6"):
            self.assertRegex(depends, re.escape(library) + r" \(>= [^)]+\)")
        self.assertEqual(run("dpkg-deb", "--info", deb, "conffiles").stdout.split(),
                         ["/etc/kestrel-exporter/config.yml", "/etc/logrotate.d/kestrel-exporter",
                          "/etc/nagios-plugins/config/kestrel-probe.cfg"])

        # the check where cores look for plug-ins, its command definitions and the man pages
        listing = run("dpkg", "-c", deb).stdout
        for path in ("./usr/lib/nagios/plugins/check_roomalert",
                     "./etc/nagios-plugins/config/kestrel-probe.cfg",
                     "./usr/share/icinga2/include/plugins-contrib.d/kestrel-probe.conf",
                     "./usr/share/man/man1/kestrel-host.1.gz",
                     "./usr/share/man/man1/kestrel-exporter.1.gz",
                     "./usr/share/doc/kestrel-probe/copyright",
                     "./usr/share/doc/kestrel-probe/changelog.gz"):
            self.assertRegex(listing, r"\n-rw[-rwx]+ root/root .* %s\n" % re.escape(path))
        self.assertRegex(listing, r"\n-rwxr-xr-x root/root .* \./usr/lib/nagios/plugins/check_roomalert\n")
        self.assertIn("/etc/nagios-plugins/config/kestrel-probe.cfg",
                      run("dpkg-deb", "--info", deb, "conffiles").stdout)
        # No error, no warning, and, where built with Debian's hardening flags (the sanitizer
        # builds are not), no hardening note.
        hardened = os.environ.get("KESTREL_HARDENED", "1") == "1"
        lintian = run("lintian", "--display-info", "--tag-display-limit", "0", deb)
        findings = [line for line in lintian.stdout.splitlines()
                    if line.startswith(("E:", "W:")) or (hardened and " hardening-" in line)]
        self.assertEqual(findings, [], lintian.stdout)

        root = os.path.join(self.dir, "root")
        self.assertRuns(run("dpkg", "-x", deb, root))
        with gzip.open(os.path.join(root, "usr/share/doc/kestrel-probe/changelog.gz"), "rt") as f:
            self.assertRegex(f.readline(), r"^kestrel-probe \(%s\) " % re.escape(version))
        self.check_man_pages(root)
        for path in ("lib/systemd/system/kestrel-exporter.service",
                     "etc/kestrel-exporter/config.yml",
                     "usr/share/doc/kestrel-probe/examples/prometheus.yml",
                     "usr/share/doc/kestrel-probe/examples/RUNBOOK.md",
                     "usr/share/doc/kestrel-probe/examples/alertmanager.yml",
                     "usr/share/kestrel-probe/grafana/roomalert-dashboard.json"):
            self.assertTrue(os.path.isfile(os.path.join(root, path)), path)
        # the rules' tests run where they are installed, beside the rules
        self.assertRuns(run("promtool", "test", "rules", os.path.join(
            root, "usr/share/doc/kestrel-probe/examples/alerts_test.yml")))
        # Grafana's provisioning example points at the folder the dashboard is installed in
        with open(os.path.join(root, "usr/share/doc/kestrel-probe/examples/"
                               "grafana-provisioning.yml")) as f:
            folder = yaml.safe_load(f)["providers"][0]["options"]["path"]
        self.assertIn("roomalert-dashboard.json", os.listdir(root + folder))
        # --info loads the module from ../lib/kestrel-probe, as the exporter does
        programs = [("kestrel-host", "--version", "kestrel-host 0."),
                    ("kestrel-host", "--info", "provider name:"),
                    ("kestrel-exporter", "--version", "kestrel-exporter")]
        for program, arg, expected in programs:
            path = os.path.join(root, "usr/bin", program)
            with self.subTest(program=program, arg=arg):
                completed = run(path, arg, cwd=self.dir, preexec_fn=deny_write_execute)
                if completed.returncode == 77:  # the kernel cannot: run it plainly
                    completed = run(path, arg, cwd=self.dir)
                self.assertRuns(completed)
                self.assertIn(expected, completed.stdout)

    # What each page must tell beyond --help, by section and a phrase of it.
    MAN_PAGES = [
        ("kestrel-exporter", [("ENDPOINTS", "/probe?target=NAME"),
                              ("CONFIGURATION", "backoff_max"), ("SIGNALS", "SIGHUP"),
                              ("EXIT STATUS", "SIGTERM"), ("ENVIRONMENT", "STATE_DIRECTORY"),
                              ("FILES", "/etc/kestrel-exporter/config.yml")]),
        ("kestrel-host", [("OPTIONS", "\\-\\-switch\\-alarm"), ("EXIT STATUS", "UNKNOWN"),
                          ("SIGNALS", "SIGTERM"), ("ENVIRONMENT", "MP_CONFIG_FILE"),
                          ("FILES", "check_roomalert")]),
    ]

    def check_man_pages(self, root):
        for program, sections in self.MAN_PAGES:
            with gzip.open(os.path.join(root, "usr/share/man/man1/%s.1.gz" % program), "rt") as f:
                page = f.read()
            parts = dict(re.findall(r'^\.SH "?([A-Z ]+?)"?\n(.*?)(?=^\.SH |\Z)', page,
                                    flags=re.M | re.S))
            for section, phrase in sections:
                with self.subTest(page=program, section=section):
                    self.assertIn(phrase, parts.get(section, ""))
            # the description is the page's own, not --help's first line again
            summary = run(os.path.join(root, "usr/bin", program), "--help").stdout.splitlines()[0]
            self.assertNotIn(summary.split(":")[0].rstrip("."), parts["DESCRIPTION"])


if __name__ == "__main__":
    unittest.main()

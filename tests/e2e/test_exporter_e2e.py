"""kestrel-exporter + module + roomalert-sim (+ a real Prometheus) over loopback."""

import os
import subprocess
import time
import unittest

from support import (EXPORTER, PROMETHEUS, Exporter, ExporterTestCase, Prometheus, Site,
                     device_list, get, wait_for)

PASSWORD = "exp0rter-Pa55word"
DEAD_SENSOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "check",
                           "3w-dead-sensor.json")


class ConfigurationTest(ExporterTestCase):
    BAD = [
        ("unknown key", "devices:\n  - name: a\n    hots: x\n", ":3:5: unknown key 'hots'"),
        ("duplicate name", "devices:\n  - {name: a, host: x}\n  - {name: a, host: y}\n",
         ":3:5: device name 'a' given twice"),
        ("missing host", "devices:\n  - name: a\n", ":2:5: device 'a' has no host"),
        ("bad value", "defaults:\n  port: http\ndevices: []\n", ":2:9: expected a port number"),
        ("password inline", "auth_modules:\n  s: {user: u, password: x}\ndevices: []\n",
         ":2:16: unknown key 'password'"),
        ("unreadable password file",
         "auth_modules:\n  s: {user: u, password_file: nowhere.pass}\ndevices: []\n",
         ":2:31: cannot read the password file 'nowhere.pass'"),
        ("not YAML", "devices: [\n", ":2:1: expected YAML"),
        ("password in host", "devices:\n  - {name: a, host: 'admin:pw@dev'}\n",
         ":2:21: 'host' holds '@': a user or password goes in auth_modules"),
        ("missing CA file", "devices:\n  - {name: a, host: x, tls: {ca_file: nowhere.pem}}\n",
         ":2:39: cannot use 'nowhere.pem' as tls.ca_file: no such file"),
    ]

    def test_bad_files_stop_the_program_with_exit_2_and_their_place(self):
        for name, text, message in self.BAD:
            with self.subTest(name):
                config = self.path("bad.yml")
                with open(config, "w") as f:
                    f.write(text)
                for option in ("--check-config", "--config"):
                    run = subprocess.run([EXPORTER, option, config], capture_output=True,
                                         timeout=30, stdin=subprocess.DEVNULL)
                    self.assertEqual(run.returncode, 2, run.stderr)
                    self.assertIn(config + message, run.stderr.decode())

    def test_check_config_and_version(self):
        config = self.path("good.yml")
        with open(config, "w") as f:
            f.write("listen: 127.0.0.1:0\ndevices:\n  - {name: a, host: 10.0.0.1}\n")
        run = subprocess.run([EXPORTER, "--check-config", config], capture_output=True, timeout=30)
        self.assertEqual((run.returncode, run.stdout.decode()), (0, config + ": ok, 1 devices\n"))
        run = subprocess.run([EXPORTER, "--version"], capture_output=True, timeout=30)
        self.assertRegex(run.stdout.decode(), r"^kestrel-exporter \d+\.\d+\.\d+\n$")


class ProbeTest(ExporterTestCase):
    def test_probes_metrics_reload_and_a_password_that_shows_nowhere(self):
        with open(self.path("site.pass"), "w") as f:
            f.write(PASSWORD + "\n")
        # The devices insist on the password, so a probe that answers up proves it reached them.
        with Site(3, faulty=[3], extra=["--user", "admin", "--password", PASSWORD]) as site:
            config = ("listen: 127.0.0.1:0\n"
                      "auth_modules:\n  site: {user: admin, password_file: site.pass}\n" +
                      device_list(site.hosts, auth="site"))
            with Exporter(self.dir, config, "--poll") as exporter:
                status, body = exporter.probe("room-1")
                self.assertEqual(status, 200, body)
                self.assertIn('roomalert_up{device="room-1"} 1\n', body)
                self.assertIn("roomalert_temperature_celsius{device=\"room-1\"", body)
                self.assertPromtoolAccepts(body)
                status, down = exporter.probe("room-3")
                self.assertIn('roomalert_up{device="room-3"} 0\n', down)
                self.assertIn('roomalert_last_error_info{device="room-3",class="http_status",'
                              'error="Failed to retrieve device data over HTTP. The GET request '
                              'failed with error: [HTML Error [500].]."} 1\n', down)
                self.assertPromtoolAccepts(down)
                self.assertEqual(exporter.probe("10.9.9.9")[0], 403)

                _, metrics = get(exporter.url + "/metrics")
                self.assertIn('roomalert_exporter_loads_total{device="room-1"}', metrics)
                self.assertIn("process_resident_memory_bytes ", metrics)
                self.assertIn("process_max_fds ", metrics)
                self.assertRegex(metrics, r'roomalert_exporter_build_info\{version="[0-9.]+",'
                                 r'revision="([0-9a-f]+|unknown)",compiler="[a-z]+-[0-9.]+"\} 1\n')
                self.assertPromtoolAccepts(metrics)
                _, page = get(exporter.url + "/")
                self.assertIn("/probe?target=room-2", page)
                self.assertEqual(get(exporter.url + "/-/healthy")[0], 200)
                self.assertEqual(get(exporter.url + "/-/ready")[0], 200)

                # A bad file keeps the old configuration running and says why.
                exporter.reload("devices:\n  - name: only\n", expect="reload failed")
                self.assertEqual(exporter.probe("room-2")[0], 200)
                self.assertIn("roomalert_exporter_config_last_reload_successful 0\n",
                              get(exporter.url + "/metrics")[1])
                # A good one takes effect.
                exporter.reload("listen: 127.0.0.1:0\n"
                                "auth_modules:\n  site: {user: admin, password_file: site.pass}\n"
                                "devices:\n  - {name: only, auth: site, host: \"%s\"}\n"
                                % site.hosts[0])
                self.assertEqual(exporter.probe("room-2")[0], 403)
                self.assertIn('roomalert_up{device="only"} 1', exporter.probe("only")[1])

                with open("/proc/%d/cmdline" % exporter.process.pid, "rb") as f:
                    arguments = f.read().decode()
                texts = {"arguments": arguments, "metrics": get(exporter.url + "/metrics")[1],
                         "page": get(exporter.url + "/")[1]}
            self.assertEqual(exporter.exit, 0)
            texts["log"] = exporter.log()
            for root, _, names in os.walk(exporter.state):
                for name in names:
                    with open(os.path.join(root, name), "rb") as f:
                        texts[os.path.join(root, name)] = f.read().decode("utf-8", "replace")
            self.assertTrue(any(name.endswith("trace.log") for name in texts))
            for where, text in texts.items():
                self.assertNotIn(PASSWORD, text, where)

    def test_a_reading_not_taken_is_invalid_and_an_empty_port_is_no_series(self):
        # An empty port never takes a reading: a series of it would pend RoomAlertReadingInvalid
        # forever. A sensor that sent none is a series, invalid, without a sample.
        with Site(1, extra=["--fixture", DEAD_SENSOR]) as site:
            with Exporter(self.dir, "listen: 127.0.0.1:0\n" + device_list(site.hosts)) as exporter:
                status, body = exporter.probe("room-1")
        self.assertEqual(status, 200, body)
        self.assertNotIn('port="Empty port"', body)
        self.assertIn('roomalert_sensor_valid{device="room-1",port="Rack 9",port_id="2",'
                      'sensor_id="0"} 0\n', body)
        self.assertNotIn('roomalert_temperature_celsius{device="room-1",port="Rack 9"', body)
        self.assertPromtoolAccepts(body)

    def test_a_hanging_device_answers_down_at_the_scrape_timeout_and_others_go_on(self):
        with Site(1, faulty=[1], fault="delay:4000") as slow, Site(1) as fast:
            config = ("listen: 127.0.0.1:0\ndevices:\n"
                      "  - {name: slow, host: \"%s\"}\n  - {name: fast, host: \"%s\"}\n"
                      % (slow.hosts[0], fast.hosts[0]))
            with Exporter(self.dir, config) as exporter:
                started = time.monotonic()
                status, body = exporter.probe("slow", timeout_header="1.5")
                self.assertLess(time.monotonic() - started, 3.5)
                self.assertIn('roomalert_up{device="slow"} 0', body)
                self.assertIn('roomalert_up{device="fast"} 1', exporter.probe("fast", "1.5")[1])
                # Each scrape waits its own time; the error series must not show it.
                _, again = exporter.probe("slow", timeout_header="1.2")
                errors = [[line for line in text.splitlines()
                           if line.startswith("roomalert_last_error_info")]
                          for text in (body, again)]
                self.assertEqual(errors[0], errors[1])
                self.assertEqual(len(errors[0]), 1, body)
                self.assertIn('class="timeout",error="no result within N s;', errors[0][0])
                self.assertPromtoolAccepts(again)


class DeviceTlsTest(ExporterTestCase):
    """Each device's own TLS trust, without touching the process's: the simulator serves a
    certificate of its own making."""

    def setUp(self):
        super().setUp()
        self.cert, self.key = self.path("ca.pem"), self.path("key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", self.key, "-out", self.cert, "-subj", "/CN=localhost",
                        # The site's devices are dK.localhost.
                        "-addext", "subjectAltName=DNS:localhost,DNS:d1.localhost,"
                        "DNS:d2.localhost,IP:127.0.0.1"],
                       check=True, capture_output=True, timeout=60)
        with open(self.path("lab.pass"), "w") as f:
            f.write("unused\n")

    def states(self, exporter, names):
        """name -> (up, error class or None)"""
        answers = {}
        for name in names:
            _, body = exporter.probe(name)
            up = 'roomalert_up{device="%s"} 1' % name in body
            found = [line.split('class="')[1].split('"')[0] for line in body.splitlines()
                     if line.startswith("roomalert_last_error_info")]
            answers[name] = (up, found[0] if found else None)
        return answers

    def test_a_ca_file_or_skipping_the_check_trusts_one_device_only(self):
        with Site(2, extra=["--tls-cert", self.cert, "--tls-key", self.key]) as tls, \
                Site(1) as plain:
            devices = ("devices:\n"
                       "  - {name: trusted, host: \"%s\", secure: true, tls: {ca_file: ca.pem}}\n"
                       "  - {name: untrusted, host: \"%s\", secure: true}\n"
                       "  - {name: lab, host: \"%s\", secure: true, auth: lab}\n"
                       "  - {name: plain, host: \"%s\"}\n"
                       % (tls.hosts[0], tls.hosts[1], tls.hosts[1], plain.hosts[0]))
            # A slow machine (a sanitizer build) must not turn a refused certificate into a time-out.
            head = ("listen: 127.0.0.1:0\ndefaults: {timeout: 60s}\n"
                    "auth_modules:\n  lab: {user: admin, password_file: "
                    "lab.pass, tls: {insecure_skip_verify: true}}\n")
            names = ["trusted", "untrusted", "lab", "plain"]
            with Exporter(self.dir, head + devices) as exporter:
                self.assertEqual(self.states(exporter, names),
                                 {"trusted": (True, None), "untrusted": (False, "tls"),
                                  "lab": (True, None), "plain": (True, None)})
                # Trust taken away by a reload is gone: no file of the old one stays behind.
                exporter.reload(head + devices.replace(", tls: {ca_file: ca.pem}", "")
                                .replace(", auth: lab", ""))
                self.assertEqual(self.states(exporter, names),
                                 {"trusted": (False, "tls"), "untrusted": (False, "tls"),
                                  "lab": (False, "tls"), "plain": (True, None)})


class PrometheusTest(ExporterTestCase):
    DEVICES = 20
    FAULTY = (3, 7)

    def prometheus_config(self, exporter_address, names):
        targets = ", ".join('"%s"' % name for name in names)
        return """global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: roomalert
    metrics_path: /probe
    static_configs:
      - targets: [%s]
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - source_labels: [__param_target]
        target_label: instance
      - target_label: __address__
        replacement: "%s"
  - job_name: kestrel-exporter
    static_configs:
      - targets: ["%s"]
""" % (targets, exporter_address, exporter_address)

    @unittest.skipUnless(os.access(PROMETHEUS, os.X_OK), "no Prometheus server installed")
    def test_prometheus_scrapes_every_device_through_the_exporter(self):
        names = ["room-%d" % k for k in range(1, self.DEVICES + 1)]
        faulty = {"room-%d" % k for k in self.FAULTY}
        with Site(self.DEVICES, faulty=self.FAULTY) as site, \
                Exporter(self.dir, "listen: 127.0.0.1:0\n" + device_list(site.hosts)) as exporter, \
                Prometheus(self.dir, self.prometheus_config(exporter.address, names)) as server:
            seen = {}

            def everything_scraped():
                seen["up"] = {r["metric"]["device"]: r["value"][1]
                              for r in server.query('roomalert_up{job="roomalert"}')}
                seen["temperatures"] = {}
                for r in server.query("roomalert_temperature_celsius"):
                    seen["temperatures"].setdefault(r["metric"]["device"], []).append(
                        float(r["value"][1]))
                seen["exporter"] = [r["value"][1]
                                    for r in server.query('up{job="kestrel-exporter"}')]
                return (len(seen["up"]) == self.DEVICES and seen["exporter"] and
                        set(seen["temperatures"]) == set(names) - faulty)

            wait_for(everything_scraped, 40, every=1)
            up, temperatures, exporter_up = seen["up"], seen["temperatures"], seen["exporter"]
            self.assertEqual(up, {name: "0" if name in faulty else "1" for name in names})
            self.assertEqual(set(temperatures), set(names) - faulty)
            for name, values in temperatures.items():
                self.assertTrue(values and all(-50 < v < 80 for v in values), (name, values))
            self.assertEqual(exporter_up, ["1"])
        self.assertEqual(server.exit, 0)


if __name__ == "__main__":
    unittest.main()

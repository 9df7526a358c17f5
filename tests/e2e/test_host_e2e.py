"""kestrel-host + module + roomalert-sim over loopback. The Windows stage runs these with the
Windows host (KESTREL_HOST_CMD); support names the environment."""

import glob
import http.client
import json
import os
import select
import signal
import subprocess
import unittest

from support import (CERTIFICATE, HOST_CMD, HTTP_FAILED, MALFORMED, PASSWORD, REFUSED, SIM,
                     HostTestCase, Simulator, fixture, free_port)


class AcquisitionTest(HostTestCase):
    def test_every_device_fixture_loads(self):
        for path in sorted(glob.glob(fixture("*.json"))):
            if "no-sensors" in path:
                continue
            with self.subTest(fixture=os.path.basename(path)), Simulator("--fixture", path) as sim:
                run = self.host("--host", sim.address)
                self.assertEqual(run.exit, 0, run.stderr)
                result = run.json()
                self.assertEqual(result["result"], 0)
                self.assertEqual(result["lastError"], "The operation completed successfully.")
                self.assertEqual(result["device"]["protocolText"], "html/json")
                sensors = [s for i in result["interfaces"] for s in i["sensors"]]
                self.assertTrue(sensors)
                # Readings the device did not send (empty ports, legacy keys) are null, never 0.
                for sensor in sensors:
                    self.assertIsInstance(sensor["value"], (int, float, type(None)))
                self.assertTrue(any(s["value"] is not None for s in sensors))
                for name in ("device.xml", "device-data.xml", "device.json", "device.raw.xml"):
                    self.assertTrue(os.path.exists(self.path(name)), name)

    def test_table_and_xml_formats(self):
        with Simulator("--fixture", fixture("3w-typical.json")) as sim:
            table = self.host("--host", sim.address, "--format", "table")
            self.assertEqual(table.exit, 0, table.stderr)
            self.assertIn("Rack 4 Intake", table.stdout)
            self.assertIn("21.50 C", table.stdout)
            self.assertTrue(all(len(line) <= 80 for line in table.stdout.splitlines()))
            xml = self.host("--host", sim.address, "--format", "xml")
            self.assertEqual(xml.exit, 0, xml.stderr)
            with open(self.path("device-data.xml"), "rb") as f:
                self.assertEqual(xml.stdout.encode("utf-8"), f.read())

    def test_config_only_writes_no_data_document(self):
        with Simulator() as sim:
            run = self.host("--host", sim.address, "--config-only")
            self.assertEqual(run.exit, 0, run.stderr)
            self.assertEqual(run.json()["interfaces"][0]["description"], "Internal Sensor")
            self.assertFalse(os.path.exists(self.path("device-data.xml")))

    def test_port_setting_reaches_the_device(self):
        with Simulator() as sim:
            address, port = sim.address.rsplit(":", 1)
            run = self.host("--host", address, "--port", port)
            self.assertEqual(run.exit, 0, run.stderr)


class FailuresTest(HostTestCase):
    # fault (simulator arguments, or None for no simulator), host arguments, last error text
    CASES = [
        ("empty host", None, ["--host", ""],
         "The hostname or IP address for the device has not been set."),
        ("refused", None, ["--host", "127.0.0.1:{free port}"], HTTP_FAILED % REFUSED),
        ("404", ["--fault", "404"], [], HTTP_FAILED % "HTML Error [404]."),
        ("500", ["--fault", "500"], [], HTTP_FAILED % "HTML Error [500]."),
        ("byte-order mark", ["--fault", "bom"], [], HTTP_FAILED % MALFORMED),
        ("empty body", ["--fault", "empty"], [], HTTP_FAILED % MALFORMED),
        ("closed connection", ["--fault", "close"], [], HTTP_FAILED % "Generic HTTP failure"),
        ("cut body", ["--fault", "truncate"], [], HTTP_FAILED % "Generic HTTP failure"),
        ("body not JSON", ["--fault", "html"], [], "Failed to convert Json data to XML data."),
        ("no sensors", ["--fixture", fixture("3w-no-sensors.json")], [],
         "Failed to parse Json device data."),
    ]

    def test_every_failure_keeps_the_earlier_documents(self):
        with Simulator() as sim:
            first = self.host("--host", sim.address)
            self.assertEqual(first.exit, 0, first.stderr)
        earlier = self.files()
        self.assertEqual(len(earlier), 2)
        for name, sim_args, host_args, text in self.CASES:
            with self.subTest(case=name):
                host_args = [a.replace("{free port}", str(free_port())) for a in host_args]
                if sim_args is None:
                    run = self.host(*host_args)
                else:
                    with Simulator(*sim_args) as sim:
                        run = self.host("--host", sim.address, *host_args)
                self.assertLoadFails(run, text)
                now = self.files()
                self.assertEqual(now["device-data.xml"], earlier["device-data.xml"])
                if name != "no sensors":  # that one writes a complete, empty configuration
                    self.assertEqual(now["device.xml"], earlier["device.xml"])

    def test_missing_folders_are_created(self):
        with Simulator() as sim:
            run = self.host("--host", sim.address,
                            config=self.path("missing-folder/device.xml"))
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertTrue(os.path.exists(self.path("missing-folder/device.xml")))

    def test_usage_errors(self):
        for args in (["--format", "yaml"], ["--port", "x"], ["--password", "p"], ["--bogus"]):
            with self.subTest(args=args):
                self.assertEqual(self.host(*args).exit, 2)


class AuthenticationTest(HostTestCase):
    def run_with_password(self, sim, password):
        with open(self.path("password"), "w") as f:
            f.write(password + "\n")
        return self.host("--host", sim.address, "--user", "admin",
                         "--password-file", self.path("password"))

    def test_right_password_loads_and_leaves_no_trace_of_it(self):
        with Simulator("--user", "admin", "--password", PASSWORD) as sim:
            run = self.run_with_password(sim, PASSWORD)
        self.assertEqual(run.exit, 0, run.stderr)
        os.remove(self.path("password"))
        with open(self.path("trace.log"), "rb") as f:
            trace = f.read()
        self.assertIn(b"Account name has been set, using HTTP authentication.", trace)
        self.assertIn(b"HttpComponent: GET", trace)
        for name in os.listdir(self.dir):
            with open(self.path(name), "rb") as f:
                self.assertNotIn(PASSWORD.encode(), f.read(), name)
        self.assertNotIn(PASSWORD, run.stdout + run.stderr)

    def test_wrong_password_is_refused(self):
        with Simulator("--user", "admin", "--password", PASSWORD) as sim:
            run = self.run_with_password(sim, "not-" + PASSWORD)
        self.assertLoadFails(run, HTTP_FAILED % "HTML Error [401].")


class TlsTest(HostTestCase):
    def setUp(self):
        super().setUp()
        self.cert, self.key = self.path("cert.pem"), self.path("key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", self.key, "-out", self.cert, "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                       check=True, capture_output=True, timeout=60)

    def test_trusted_certificate(self):
        with Simulator("--tls-cert", self.cert, "--tls-key", self.key) as sim:
            run = self.host("--host", sim.address, "--secure", env={"SSL_CERT_FILE": self.cert})
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertEqual(run.json()["result"], 0)

    def test_untrusted_certificate(self):
        with Simulator("--tls-cert", self.cert, "--tls-key", self.key) as sim:
            run = self.host("--host", sim.address, "--secure")
        self.assertLoadFails(run, HTTP_FAILED % CERTIFICATE)


class PollingTest(HostTestCase):
    def test_one_json_object_per_load_and_a_summary(self):
        with Simulator("--live") as sim:
            run = self.host("--host", sim.address, "--count", "3", "--interval", "0.2")
        self.assertEqual(run.exit, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        self.assertTrue(all(json.loads(line)["result"] == 0 for line in lines))
        self.assertRegex(run.stderr, r"3 loads, load time min \d+\.\d{3} / ")

    def test_interrupt_ends_the_poll_after_the_current_load(self):
        with Simulator() as sim:
            command = HOST_CMD + ["--host", sim.address, "--count", "0", "--interval", "0.1",
                                  "--format", "json", "--trace", self.path("trace.log"),
                                  "--config", self.path("device.xml"),
                                  "--data", self.path("device-data.xml")]
            process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       stdin=subprocess.DEVNULL)
            ready, _, _ = select.select([process.stdout], [], [], 30)
            self.assertTrue(ready)
            first = process.stdout.readline()
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        for line in [first] + out.splitlines():
            self.assertEqual(json.loads(line)["result"], 0)
        self.assertIn(b"loads, load time min", err)


class SiteTest(HostTestCase):
    """One simulator standing in for many devices (--devices, --fault-devices)."""

    def test_devices_are_distinct_and_stable(self):
        with Simulator("--devices", "25") as sim:
            host, port = sim.address.rsplit(":", 1)
            # one kept-alive connection per device, as a polling exporter holds them: a device
            # must not wait for another's idle connection to time out (3 s here, 5 s there)
            connections = [http.client.HTTPConnection(host, int(port), timeout=3)
                           for _ in range(26)]
            documents = {}
            for turn in range(2):
                for k, connection in enumerate(connections):
                    connection.request("GET", "/d%d/getData.json" % k if k else "/getData.json")
                    response = connection.getresponse()
                    body = response.read()
                    self.assertEqual(response.status, 200, k)
                    if turn:
                        self.assertEqual(body, documents[k], k)
                    documents[k] = body
            for connection in connections:
                connection.close()
        with open(fixture("3w-typical.json"), "rb") as f:
            self.assertEqual(documents.pop(0), f.read())
        documents = {k: json.loads(body) for k, body in documents.items()}
        for key in ("name", "serial", "macaddr", "ip"):
            values = {d[key] for d in documents.values()}
            self.assertEqual(len(values), 25, key)
        self.assertEqual(documents[7]["name"], "Site Room 7")
        self.assertTrue(all(d["macaddr"].startswith("00:80:A3:") for d in documents.values()))
        intake = [float(d["sensor"][0]["tc"]) for d in documents.values()]
        self.assertTrue(all(a != b for a, b in zip(intake, intake[1:])), intake)
        self.assertTrue(all(15 < t < 30 for t in intake), intake)

    def test_host_reaches_each_device_by_path(self):
        # device, what the module must report (a name, or the failure's text)
        cases = [
            (1, "Site Room 1"),
            (3, HTTP_FAILED % "HTML Error [503]."),
            (4, HTTP_FAILED % "HTML Error [503]."),
            (5, HTTP_FAILED % "Generic HTTP failure"),
            (6, "Site Room 6"),
            (9, HTTP_FAILED % "Generic HTTP failure"),
            (12, "Site Room 12"),
            (13, HTTP_FAILED % "HTML Error [404]."),  # past the last device
        ]
        with Simulator("--devices", "12", "--fault-devices", "3-4:503",
                       "--fault-devices", "5,9:close") as sim:
            for device, expected in cases:
                with self.subTest(device=device):
                    run = self.host("--host", "%s/d%d" % (sim.address, device))
                    if expected.startswith("Site Room"):
                        self.assertEqual(run.exit, 0, run.stderr)
                        self.assertEqual(run.json()["device"]["description"], expected)
                    else:
                        self.assertLoadFails(run, expected)

    def test_usage_errors(self):
        cases = [
            ["--devices", "0"],
            ["--fault-devices", "1:404"],                  # no --devices
            ["--devices", "5", "--fault-devices", "6:404"],  # past the last device
            ["--devices", "5", "--fault-devices", "4-2:404"],
            ["--devices", "5", "--fault-devices", "3-:404"],
            ["--devices", "5", "--fault-devices", "3"],
            ["--devices", "5", "--fault-devices", "3:slow"],
        ]
        for args in cases:
            with self.subTest(args=args):
                completed = subprocess.run([SIM, "--listen", "127.0.0.1:0", *args],
                                           capture_output=True, timeout=30,
                                           stdin=subprocess.DEVNULL)
                self.assertEqual(completed.returncode, 2, completed.stderr)
                self.assertIn(b"roomalert-sim:", completed.stderr)


if __name__ == "__main__":
    unittest.main()

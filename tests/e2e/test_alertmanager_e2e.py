"""The packaged alert rules, scrape configuration and Alertmanager example through an exporter
outage: roomalert-sim, kestrel-exporter, a real Prometheus and a real Alertmanager on loopback,
with a webhook receiver of the test's own standing in for on-call.

Environment: as test_exporter_e2e (KESTREL_BINARY_DIR, KESTREL_PROMETHEUS), and
KESTREL_ALERTMANAGER (optional, default /usr/bin/prometheus-alertmanager).
"""

import http.server
import json
import os
import select
import subprocess
import threading
import time
import unittest
import urllib.parse

import yaml

from support import (PROMETHEUS, SIM, SOURCE_DIR, Exporter, ExporterTestCase, Prometheus, Site,
                     free_port, get, stop)

ALERTMANAGER = os.environ.get("KESTREL_ALERTMANAGER", "/usr/bin/prometheus-alertmanager")
EXAMPLES = os.path.join(SOURCE_DIR, "packaging", "prometheus")
PACKAGED_EXPORTER = "127.0.0.1:9876"
DOOR_OPEN = os.path.join(SOURCE_DIR, "tests", "fixtures", "check", "3w-door-open.json")

# The test's copy of the rules waits 1 s where they wait minutes, and holds an alert through an
# outage for this long rather than 10 minutes: long enough for RoomAlertExporterDown to fire on
# its 15 s evaluations and for the exporter to come back inside the window.
KEEP_FIRING = 90
DEVICE_ALERTS = ("RoomAlertDeviceDown", "RoomAlertDoorOpen")


class Receiver:
    """A webhook receiver on loopback: every alert of every notification, with when it came."""

    def __init__(self):
        self.lock = threading.Lock()
        self.received = []  # (monotonic time, status, alertname, device)
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                now = time.monotonic()
                alerts = json.loads(body)["alerts"]
                with receiver.lock:
                    receiver.received += [(now, a["status"], a["labels"]["alertname"],
                                           a["labels"].get("device")) for a in alerts]
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]

    def __enter__(self):
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def alerts(self, status):
        """(name, device) of every alert that came with status."""
        with self.lock:
            return [(name, device) for _, got, name, device in self.received if got == status]

    def first(self, status, name, device=None):
        """When (name, device) first came with status; None if it never did."""
        with self.lock:
            times = [when for when, got, n, d in self.received
                     if (got, n, d) == (status, name, device)]
        return min(times) if times else None


class Alertmanager:
    """The packaged example with the test's receiver and one-second grouping, on a free port."""

    def __init__(self, folder, receiver_url):
        self.folder = folder
        with open(os.path.join(EXAMPLES, "alertmanager.yml")) as f:
            config = yaml.safe_load(f)
        config["route"].update(group_wait="1s", group_interval="1s", repeat_interval="1h")
        for receiver in config["receivers"]:
            for webhook in receiver.get("webhook_configs", []):
                webhook["url"] = receiver_url
        self.config = os.path.join(folder, "alertmanager.yml")
        with open(self.config, "w") as f:
            yaml.safe_dump(config, f)

    def __enter__(self):
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        with open(os.path.join(self.folder, "alertmanager.log"), "wb") as log:
            self.process = subprocess.Popen(
                [ALERTMANAGER, "--config.file=" + self.config,
                 "--storage.path=" + os.path.join(self.folder, "alertmanager-data"),
                 "--web.listen-address=127.0.0.1:%d" % self.port,
                 "--cluster.listen-address="],  # alone: no gossip port on every interface
                stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL)
        if not wait_for(lambda: self.ready(), 60):
            stop(self.process)
            raise RuntimeError("Alertmanager did not get ready")
        return self

    def ready(self):
        try:
            return get(self.url + "/-/ready", timeout=5)[0] == 200
        except OSError:
            return False

    def alerts(self, name):
        """Alertmanager's view of the alerts named name: (device, state, inhibited by)."""
        query = urllib.parse.urlencode({"filter": 'alertname="%s"' % name})
        status, body = get(self.url + "/api/v2/alerts?" + query)
        if status != 200:
            return []
        return [(a["labels"].get("device"), a["status"]["state"], a["status"]["inhibitedBy"])
                for a in json.loads(body)]

    def __exit__(self, *exc):
        self.exit = stop(self.process)


def wait_for(condition, seconds):
    """condition() until it answers something true or time is up; its last answer."""
    deadline = time.monotonic() + seconds
    answer = condition()
    while not answer and time.monotonic() < deadline:
        time.sleep(0.5)
        answer = condition()
    return answer


def test_rules(folder):
    """The packaged rules with their waits shortened, and nothing else changed."""
    with open(os.path.join(EXAMPLES, "alerts.yml")) as f:
        rules = yaml.safe_load(f)
    for group in rules["groups"]:
        for rule in group["rules"]:
            rule["for"] = "1s"
            if "keep_firing_for" in rule:
                rule["keep_firing_for"] = "%ds" % KEEP_FIRING
    path = os.path.join(folder, "alerts.yml")
    with open(path, "w") as f:
        yaml.safe_dump(rules, f, allow_unicode=True)
    return path


def prometheus_config(folder, exporter_address, alertmanager_port):
    """The packaged scrape configuration, pointed at the test's exporter and Alertmanager, with
    every interval it sets shortened to a second."""
    with open(os.path.join(EXAMPLES, "prometheus.yml")) as f:
        config = yaml.safe_load(f.read().replace(PACKAGED_EXPORTER, exporter_address))
    config["global"].update(scrape_interval="1s", scrape_timeout="1s", evaluation_interval="1s")
    config["rule_files"] = [test_rules(folder)]
    config["alerting"] = {"alertmanagers": [
        {"static_configs": [{"targets": ["127.0.0.1:%d" % alertmanager_port]}]}]}
    for job in config["scrape_configs"]:
        job.pop("scrape_interval", None)
        for sd in job.get("http_sd_configs", []):
            sd["refresh_interval"] = "1s"
    return yaml.safe_dump(config)


def start_device(port, fixture=None):
    """One simulated device on a given port; None when the port cannot be had."""
    args = [SIM, "--listen", "127.0.0.1:%d" % port] + (["--fixture", fixture] if fixture else [])
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL)
    ready, _, _ = select.select([process.stdout], [], [], 15)
    line = process.stdout.readline().decode() if ready else ""
    if "listening on" not in line:
        stop(process)
        process.stdout.close()
        return None
    return process


def end_device(process):
    stop(process)
    process.stdout.close()


def start_exporter(folder, config):
    """The exporter on the address of its configuration; the port a killed one held may take a
    moment to be free again."""
    deadline = time.monotonic() + 30
    while True:
        try:
            return Exporter(folder, config).__enter__()
        except RuntimeError:
            if time.monotonic() > deadline:
                raise
            time.sleep(1)


@unittest.skipUnless(os.access(PROMETHEUS, os.X_OK) and os.access(ALERTMANAGER, os.X_OK),
                     "no Prometheus or Alertmanager installed")
class OutageTest(ExporterTestCase):
    def test_an_exporter_outage_sends_no_false_all_clear(self):
        # The dead device: a port where nothing listens, until the device is back.
        dead_port = free_port()
        exporter_address = "127.0.0.1:%d" % free_port()
        with Site(1, extra=["--fixture", DOOR_OPEN]) as site, Receiver() as receiver, \
                Alertmanager(self.dir, receiver.url) as alertmanager:
            config = """listen: %s
defaults: {backoff: 0}
devices:
  - {name: room-door, host: "%s"}
  - {name: room-dead, host: "127.0.0.1:%d"}
""" % (exporter_address, site.hosts[0], dead_port)
            exporter = start_exporter(self.dir, config)
            self.addCleanup(lambda: exporter.__exit__(None, None, None))
            text = prometheus_config(self.dir, exporter_address, alertmanager.port)
            with Prometheus(self.dir, text) as prometheus:
                firing = [("RoomAlertDeviceDown", "room-dead"), ("RoomAlertDoorOpen", "room-door")]
                self.assertTrue(wait_for(lambda: all(a in receiver.alerts("firing")
                                                     for a in firing), 120),
                                receiver.received)

                exporter.process.kill()
                killed = time.monotonic()

                # RoomAlertExporterDown reaches on-call within the minute; meanwhile the device
                # alerts stay firing and Alertmanager holds them back.
                self.assertTrue(wait_for(lambda: receiver.first(
                    "firing", "RoomAlertExporterDown"), 60), receiver.received)
                self.assertLess(receiver.first("firing", "RoomAlertExporterDown") - killed, 60)
                for name in DEVICE_ALERTS:
                    with self.subTest(inhibited=name):
                        seen = wait_for(lambda: [a for a in alertmanager.alerts(name)
                                                 if a[1] == "suppressed" and a[2]], 30)
                        self.assertTrue(seen, alertmanager.alerts(name))

                # Back inside the window: the dead device answers again, the door is still open.
                revived = start_device(dead_port)
                self.assertIsNotNone(revived, "port %d was taken meanwhile" % dead_port)
                self.addCleanup(end_device, revived)
                exporter.__exit__(None, None, None)
                exporter = start_exporter(self.dir, config)
                self.assertTrue(wait_for(lambda: receiver.first(
                    "resolved", "RoomAlertExporterDown"), 60), receiver.received)

                # The device that answers again is resolved from its readings, once the window
                # has passed; the open door never is.
                resolved = wait_for(lambda: receiver.first(
                    "resolved", "RoomAlertDeviceDown", "room-dead"), KEEP_FIRING + 60)
                self.assertTrue(resolved, receiver.received)
                self.assertGreaterEqual(resolved - killed, KEEP_FIRING)
                self.assertEqual([a for a in receiver.alerts("resolved")
                                  if a[0] in DEVICE_ALERTS],
                                 [("RoomAlertDeviceDown", "room-dead")])
                self.assertEqual(alertmanager.alerts("RoomAlertDoorOpen"),
                                 [("room-door", "active", [])])
            self.assertEqual(prometheus.exit, 0)
        self.assertEqual(alertmanager.exit, 0)


if __name__ == "__main__":
    unittest.main()

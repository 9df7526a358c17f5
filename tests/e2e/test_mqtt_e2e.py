"""kestrel-exporter's MQTT publisher against a real Mosquitto (password file, TLS with a client
certificate, a CA made for the test), seen as Home Assistant sees it: its discovery
configurations checked against the documented schema, and its templates rendered with Jinja, as
Home Assistant renders them, against the states the exporter published."""

import json
import re
import signal
import subprocess
import threading
import unittest

from jinja2.sandbox import SandboxedEnvironment

from support import (EXPORTER, Broker, Exporter, ExporterTestCase, Site, device_list, fixture,
                     free_port, get, wait_for)

DEAD_SENSOR = fixture("3w-dead-sensor.json", "check")

# Home Assistant's documentation: the units each sensor class takes, the binary sensor classes.
SENSOR_UNITS = {
    "temperature": {"°C", "°F", "K"}, "humidity": {"%"}, "voltage": {"V", "mV", "kV"},
    "current": {"A", "mA"}, "wind_speed": {"m/s", "km/h", "mph", "kn", "ft/s"},
}
BINARY_CLASSES = {"door", "window", "opening", "moisture", "smoke", "motion", "power",
                  "vibration", "problem", "safety"}
# What /probe calls each kind of the state payload.
FAMILIES = {"temperature": "roomalert_temperature_celsius", "humidity": "roomalert_humidity_ratio",
            "switch": "roomalert_switch_state"}
TEMPLATES = SandboxedEnvironment()


def exporter_config(broker, site, extra="", mqtt_extra=""):
    """Loads every second, shared within a second, no back-off: the test sees changes soon."""
    return ("listen: 127.0.0.1:0\n"
            "defaults: {poll_interval: 1s, min_interval: 1s, backoff: 0s, timeout: 5s}\n" +
            extra + device_list(site.hosts) +
            "mqtt:\n  broker: %s\n  client_id: e2e\n  user: %s\n  password_file: mqtt.pass\n"
            "  tls: {ca_file: %s, cert_file: %s, key_file: %s}\n"
            "  keep_alive: 5s\n  reconnect_backoff: 200ms\n  reconnect_backoff_max: 1s\n"
            % (broker.url(), Broker.USER, broker.certs["ca.crt"], broker.certs["client.crt"],
               broker.certs["client.key"]) + mqtt_extra)


def configs(messages):
    """{unique_id: (topic, configuration)} of the discovery configurations received."""
    found = {}
    for m in messages:
        if m["topic"].startswith("homeassistant/") and m["topic"].endswith("/config"):
            if m["payload"]:
                entity = json.loads(m["payload"])
                found[entity["unique_id"]] = (m["topic"], entity)
    return found


def probe_values(body):
    """{(port_id, family): value} of a /probe answer; None for a sensor without a reading."""
    values = {}
    for line in body.splitlines():
        match = re.match(r'(roomalert_\w+)\{.*port_id="([^"]*)".*\} (\S+)$', line)
        if match and match.group(1) == "roomalert_sensor_valid" and match.group(3) == "0":
            values[(match.group(2), "invalid")] = True
        elif match:
            values[(match.group(2), match.group(1))] = float(match.group(3))
    return values


class MqttTestCase(ExporterTestCase):
    def setUp(self):
        super().setUp()
        with open(self.path("mqtt.pass"), "w") as f:
            f.write(Broker.PASSWORD + "\n")


class HomeAssistantTest(MqttTestCase):
    def entity_state(self, entity, latest):
        """What Home Assistant shows for an entity: 'unavailable' or its rendered value."""
        for source in entity["availability"]:
            payload = latest.get(source["topic"])
            if payload is None:
                return "unavailable"
            if "value_template" in source:
                payload = TEMPLATES.from_string(source["value_template"]).render(
                    value=payload, value_json=json.loads(payload))
            if payload != "online":
                return "unavailable"
        state = latest[entity["state_topic"]]
        return TEMPLATES.from_string(entity["value_template"]).render(
            value=state, value_json=json.loads(state))

    def test_discovery_states_and_availability_follow_the_devices(self):
        with Broker(self.dir) as broker, Site(2, extra=["--fixture", DEAD_SENSOR]) as site, \
                broker.subscribe("homeassistant/#", "roomalert/#") as watch:
            exporter = Exporter(self.dir, exporter_config(broker, site))
            with exporter:
                # Every sensor of the site (both devices: 2 x 7; the empty port is none).
                self.assertEqual(len(watch.wait_for(lambda m: len(configs(m)) >= 14 and configs(m))),
                                 14)
                found = configs(watch.messages)
                for unique_id, (topic, entity) in found.items():
                    with self.subTest(unique_id):
                        component = topic.split("/")[1]
                        self.assertEqual(topic, "homeassistant/%s/e2e/%s/config"
                                         % (component, unique_id[len("roomalert_"):]))
                        for key in ("name", "state_topic", "value_template", "device"):
                            self.assertIn(key, entity)
                        self.assertEqual(entity["device"]["manufacturer"], "AVTech")
                        self.assertTrue(entity["device"]["identifiers"])
                        if component == "sensor":
                            self.assertEqual(entity["state_class"], "measurement")
                            self.assertIn(entity["unit_of_measurement"],
                                          SENSOR_UNITS[entity["device_class"]])
                        else:
                            self.assertIn(entity.get("device_class", "door"), BINARY_CLASSES)
                # States equal /probe's readings, as Home Assistant renders them.
                for k in (1, 2):
                    name = "room-%d" % k
                    watch.wait_for(lambda m: any(x["topic"] == "roomalert/e2e/%s/state" % name
                                                 for x in m))
                    probe = probe_values(exporter.probe(name)[1])
                    latest = watch.latest()
                    state = json.loads(latest["roomalert/e2e/%s/state" % name])
                    self.assertEqual(state["ok"], True)
                    for key, sensor in state["sensors"].items():
                        with self.subTest(name=name, sensor=key):
                            entity = next(e for _, e in found.values()
                                          if e["state_topic"].endswith("/%s/state" % name)
                                          and "'%s'" % key in e["value_template"])
                            shown = self.entity_state(entity, latest)
                            if sensor["value"] is None:
                                self.assertIn((sensor["port_id"], "invalid"), probe)
                                self.assertEqual(shown, "unavailable")
                                continue
                            self.assertEqual(sensor["value"],
                                             probe[(sensor["port_id"], FAMILIES[sensor["kind"]])])
                            if sensor["kind"] == "switch":
                                self.assertEqual(shown, "ON" if sensor["value"] else "OFF")
                            else:
                                scale = 100 if sensor["kind"] == "humidity" else 1
                                self.assertAlmostEqual(float(shown), sensor["value"] * scale)

                # A stopped device: its entities go unavailable, and come back with it.
                door = next(e for _, e in found.values() if e["name"] == "Door Contact")
                site.process.send_signal(signal.SIGSTOP)
                try:
                    self.assertTrue(watch.wait_for(
                        lambda m: self.entity_state(door, watch.latest()) == "unavailable"))
                finally:
                    site.process.send_signal(signal.SIGCONT)
                self.assertTrue(watch.wait_for(
                    lambda m: self.entity_state(door, watch.latest()) == "OFF"))

                # Home Assistant starts: every configuration again.
                before = len(watch.messages)
                subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port),
                                "-u", Broker.USER, "-P", Broker.PASSWORD,
                                "-t", "homeassistant/status", "-m", "online"], check=True,
                               timeout=30)
                self.assertEqual(len(watch.wait_for(
                    lambda m: len(configs(m[before:])) >= 14 and configs(m[before:]))), 14)
                # Killed: the broker says offline for it, through its will.
                exporter.process.kill()
                self.assertTrue(watch.wait_for(
                    lambda m: watch.latest().get("roomalert/e2e/availability") == "offline"))
            # Started again: the same entities.
            before = len(watch.messages)
            with Exporter(self.dir, exporter_config(broker, site)):
                again = watch.wait_for(lambda m: len(configs(m[before:])) >= 14
                                       and configs(m[before:]))
                self.assertEqual(set(again), set(found))
                self.assertTrue(watch.wait_for(
                    lambda m: self.entity_state(door, watch.latest()) == "OFF"))

    def test_a_restarted_broker_gets_everything_again(self):
        with Broker(self.dir) as broker, Site(1) as site, \
                Exporter(self.dir, exporter_config(broker, site)) as exporter:
            with broker.subscribe("homeassistant/#", "roomalert/#") as watch:
                self.assertTrue(watch.wait_for(lambda m: len(configs(m)) == 4))
            broker.restart()  # it kept nothing: no persistence
            with broker.subscribe("homeassistant/#", "roomalert/#") as watch:
                self.assertTrue(watch.wait_for(
                    lambda m: len(configs(m)) == 4
                    and watch.latest().get("roomalert/e2e/availability") == "online"
                    and "roomalert/e2e/room-1/state" in watch.latest()))
            self.assertIn("mqtt: connected to", exporter.log())


class SharedLoadTest(MqttTestCase):
    def test_two_scrapers_and_the_publisher_make_one_load(self):
        with Broker(self.dir) as broker, Site(1) as site, \
                broker.subscribe("roomalert/e2e/room-1/state") as watch:
            config = exporter_config(broker, site).replace(
                "poll_interval: 1s, min_interval: 1s", "poll_interval: 1m, min_interval: 1m")
            with Exporter(self.dir, config) as exporter:
                self.assertTrue(watch.wait_for(lambda m: m))  # the publisher's load
                answers = []
                scrapers = [threading.Thread(target=lambda: answers.append(exporter.probe("room-1")))
                            for _ in range(2)]
                for scraper in scrapers:
                    scraper.start()
                for scraper in scrapers:
                    scraper.join()
                self.assertEqual(site.loads(), [0, 1])
                for status, body in answers:
                    self.assertEqual(status, 200)
                    self.assertIn('roomalert_up{device="room-1"} 1', body)
                    age = re.search(r'roomalert_load_age_seconds\{device="room-1"\} (\S+)', body)
                    self.assertGreater(float(age.group(1)), 0)
                state = json.loads(watch.messages[0]["payload"])
                self.assertEqual(state["sensors"]["1_temperature"]["value"],
                                 probe_values(answers[0][1])[("1", FAMILIES["temperature"])])


class BrokerProblemTest(MqttTestCase):
    def test_bad_settings_are_said_and_never_cost_a_probe(self):
        with Broker(self.dir) as broker, Site(1) as site:
            good = exporter_config(broker, site)
            with open(self.path("wrong.pass"), "w") as f:
                f.write("not-the-password\n")
            cases = [
                ("unknown host", good.replace("127.0.0.1:%d" % broker.tls_port,
                                              "no-such-broker.invalid:%d" % broker.tls_port), "dns"),
                ("refused", good.replace(str(broker.tls_port), str(free_port())), "refused"),
                ("wrong password", good.replace("mqtt.pass", "wrong.pass"), "auth"),
                ("another CA", good.replace(broker.certs["ca.crt"], broker.certs["other-ca.crt"]),
                 "tls"),
            ]
            for name, config, kind in cases:
                with self.subTest(name):
                    with open(self.path("check.yml"), "w") as f:
                        f.write(config)
                    checked = subprocess.run([EXPORTER, "--check-config", self.path("check.yml")],
                                             capture_output=True, text=True, timeout=60)
                    self.assertEqual(checked.returncode, 1, checked.stdout + checked.stderr)
                    self.assertIn("(%s)" % kind, checked.stderr)
                    with Exporter(self.dir, config) as exporter:
                        metric = 'roomalert_exporter_mqtt_last_error_info{class="%s"' % kind
                        self.assertTrue(wait_for(lambda: failures(exporter) >= 3))
                        self.assertIn(metric, get(exporter.url + "/metrics")[1])
                        self.assertIn('roomalert_up{device="room-1"} 1',
                                      exporter.probe("room-1")[1])
                        self.assertEqual(exporter.log().count("mqtt:"), 1, exporter.log())
                    self.assertEqual(exporter.exit, 0)
            with open(self.path("check.yml"), "w") as f:
                f.write(good)
            checked = subprocess.run([EXPORTER, "--check-config", self.path("check.yml")],
                                     capture_output=True, text=True, timeout=60)
            self.assertEqual(checked.returncode, 0, checked.stderr)
            self.assertIn("ok, connected as kestrel", checked.stdout)


def failures(exporter):
    match = re.search(r"^roomalert_exporter_mqtt_connection_failures_total (\S+)$",
                      get(exporter.url + "/metrics")[1], re.M)
    return float(match.group(1)) if match else 0


if __name__ == "__main__":
    unittest.main()

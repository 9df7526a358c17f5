"""Limits per room from kestrel-exporter's configuration, driving the packaged alert rules: the
simulator, the exporter and a real Prometheus running the packaged scrape configuration and the
packaged rules file as it is shipped.

Environment: as support.py (KESTREL_BINARY_DIR, KESTREL_PROMETHEUS).
"""

import datetime
import os
import re
import time
import unittest

import yaml

from support import (PROMETHEUS, SOURCE_DIR, Exporter, ExporterTestCase, Prometheus, Simulator,
                     fixture, wait_for)

EXAMPLES = os.path.join(SOURCE_DIR, "packaging", "prometheus")

# Every room reads the same: Internal Sensor 22.31 °C; Rack 4 Intake 21.5 °C and 45 % humidity.
CONFIG = """listen: 127.0.0.1:0
defaults:
  thresholds:
    temperature: {warning_high: 22}
devices:
  - {name: hall, host: "%(host)s"}
  - name: lab
    host: "%(host)s"
    thresholds:
      temperature: {warning_high: 20, critical_high: 22}
  - name: archive
    host: "%(host)s"
    thresholds:
      humidity: {warning_high: 40, critical_high: 60}
      ports:
        Internal Sensor: {temperature: {warning_high: null, critical_high: null}}
  - name: cold
    host: "%(host)s"
    thresholds:
      temperature: {warning_low: 23, warning_high: 30}
      ports:
        Rack 4 Intake: {temperature: {critical_low: 22}}
"""

# (alert, device, port, severity) of every limit alert the rules must raise, and no other.
EXPECTED = {
    # the defaults' warning limit; no critical one is reached
    ("RoomAlertTemperatureHigh", "hall", "Internal Sensor", "warning"),
    # a room of its own: both severities
    ("RoomAlertTemperatureHigh", "lab", "Internal Sensor", "warning"),
    ("RoomAlertTemperatureHigh", "lab", "Internal Sensor", "critical"),
    ("RoomAlertTemperatureHigh", "lab", "Rack 4 Intake", "warning"),
    # a dry room; its internal sensor has no high limits at all, so 22.31 °C is no alert
    ("RoomAlertHumidityHigh", "archive", "Rack 4 Intake", "warning"),
    # low limits, one port stricter than its room
    ("RoomAlertTemperatureLow", "cold", "Internal Sensor", "warning"),
    ("RoomAlertTemperatureLow", "cold", "Rack 4 Intake", "warning"),
    ("RoomAlertTemperatureLow", "cold", "Rack 4 Intake", "critical"),
}


def prometheus_config(exporter_address):
    """The packaged scrape configuration and rules, pointed at the test's exporter, scraping and
    evaluating every second."""
    with open(os.path.join(EXAMPLES, "prometheus.yml")) as f:
        config = yaml.safe_load(f.read().replace("127.0.0.1:9876", exporter_address))
    config["global"].update(scrape_interval="1s", scrape_timeout="1s", evaluation_interval="1s")
    config["rule_files"] = [os.path.join(EXAMPLES, "alerts.yml")]
    for job in config["scrape_configs"]:
        job.pop("scrape_interval", None)
        for sd in job.get("http_sd_configs", []):
            sd["refresh_interval"] = "1s"
    return yaml.safe_dump(config)


def evaluated_at(prometheus, group):
    """When the rule group was last evaluated (Unix time), or None."""
    data = prometheus.api("rules", type="alert") or {"groups": []}
    for g in data["groups"]:
        if g["name"] == group and not g["lastEvaluation"].startswith("0001"):
            # nanoseconds: fromisoformat takes microseconds at most
            text = re.sub(r"(\.\d{6})\d+", r"\1", g["lastEvaluation"]).replace("Z", "+00:00")
            return datetime.datetime.fromisoformat(text).timestamp()
    return None


@unittest.skipUnless(os.access(PROMETHEUS, os.X_OK), "no Prometheus server installed")
class ThresholdRulesTest(ExporterTestCase):
    def test_limits_of_the_configuration_drive_the_packaged_rules(self):
        with Simulator("--fixture", fixture("3w-typical.json")) as sim, \
                Exporter(self.dir, CONFIG % {"host": sim.address}) as exporter, \
                Prometheus(self.dir, prometheus_config(exporter.address)) as prometheus:
            every_room = wait_for(lambda: prometheus.query("count(roomalert_up == 1) == 4"), 90)
            self.assertTrue(every_room, "Prometheus did not scrape every room")
            scraped = time.time()
            self.assertTrue(wait_for(lambda: (evaluated_at(prometheus, "roomalert") or 0)
                                     > scraped, 30))
            # Pending is enough: the rules' waits decide when, the limits whether.
            raised = {(a["labels"]["alertname"], a["labels"]["device"], a["labels"]["port"],
                       a["labels"]["severity"]) for a in prometheus.alerts()
                      if a["labels"]["alertname"].startswith(("RoomAlertTemperature",
                                                              "RoomAlertHumidity"))}
            self.assertEqual(raised, EXPECTED)

            # A reload moves a room's limits with it.
            exporter.reload(CONFIG.replace("warning_high: 22}", "warning_high: 24.5}")
                            % {"host": sim.address})
            self.assertIn('roomalert_threshold_celsius{device="hall",port="Internal Sensor",'
                          'port_id="0",severity="warning",bound="high"} 24.5',
                          exporter.probe("hall")[1])


if __name__ == "__main__":
    unittest.main()

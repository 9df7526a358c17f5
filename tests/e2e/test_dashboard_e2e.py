"""The Grafana dashboard and the alert rules the package ships, against a real Prometheus that
scrapes kestrel-exporter and roomalert-sim over loopback."""

import json
import math
import os
import re
import unittest

from support import (PROMETHEUS, SOURCE_DIR, Exporter, ExporterTestCase, Prometheus, Site,
                     device_list, fixture, wait_for)

DASHBOARD = os.path.join(SOURCE_DIR, "packaging", "grafana", "roomalert-dashboard.json")
ALERTS = os.path.join(SOURCE_DIR, "packaging", "prometheus", "alerts.yml")

# What Grafana puts in for the variables: every device picked, the packaged job name, and the
# rate window it computes for a 1 s scrape interval (at least four scrapes).
VARIABLES = {"device": ".*", "job": "kestrel-exporter", "__rate_interval": "10s"}


def load_dashboard():
    with open(DASHBOARD) as f:
        return json.load(f)


def panels(dashboard):
    """Every panel, those inside collapsed rows too; rows themselves hold no query."""
    for panel in dashboard["panels"]:
        yield from panel.get("panels", [])
        if panel["type"] != "row":
            yield panel


def expand(expression):
    """The query as Grafana sends it; a variable the dashboard does not define fails the test."""
    return re.sub(r"\$\{?(\w+)\}?", lambda m: VARIABLES[m.group(1)], expression)


def has_numbers(series):
    return any(not math.isnan(float(v)) for values in series for v in values)


class DashboardTest(ExporterTestCase):
    def test_the_dashboard_is_portable(self):
        dashboard = load_dashboard()
        variables = {v["name"]: v for v in dashboard["templating"]["list"]}
        self.assertEqual(variables["datasource"]["type"], "datasource")
        self.assertEqual(variables["datasource"]["query"], "prometheus")
        self.assertEqual(variables["device"]["definition"], "label_values(roomalert_up, device)")
        self.assertEqual(variables["device"]["datasource"]["uid"], "${datasource}")
        ids = [p["id"] for top in dashboard["panels"] for p in [top] + top.get("panels", [])]
        self.assertEqual(len(ids), len(set(ids)))
        for panel in panels(dashboard):
            with self.subTest(panel=panel["title"]):
                # Bound to whichever Prometheus the viewer picks, never to one Grafana's own
                # data source id, so the file imports anywhere.
                for where in [panel] + panel["targets"]:
                    self.assertEqual(where["datasource"]["uid"], "${datasource}")
                for t in panel["targets"]:
                    # the per-type families are the stable names; a type label is not
                    self.assertNotRegex(t["expr"], r"\btype\s*=")
                    expand(t["expr"])

    @unittest.skipUnless(os.access(PROMETHEUS, os.X_OK), "no Prometheus server installed")
    def test_every_panel_has_data_and_the_exporter_alerts_when_killed(self):
        names = ["room-%d" % k for k in range(1, 5)]
        dashboard = load_dashboard()
        queries = [(p["title"], t["refId"], expand(t["expr"]), t.get("instant", False))
                   for p in panels(dashboard) for t in p["targets"]]
        # room-2 fails, so the error table has a row; the door of every device stands open
        door_open = fixture("3w-door-open.json", "check")
        with Site(len(names), faulty=[2], extra=["--fixture", door_open]) as site, \
                Exporter(self.dir, "listen: 127.0.0.1:0\n" + device_list(site.hosts)) as exporter:
            config = """global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}
rule_files: ["%s"]
scrape_configs:
  - job_name: roomalert
    metrics_path: /probe
    static_configs: [{targets: [%s]}]
    relabel_configs:
      - {source_labels: [__address__], target_label: __param_target}
      - {source_labels: [__param_target], target_label: instance}
      - {target_label: __address__, replacement: "%s"}
  - job_name: kestrel-exporter
    static_configs: [{targets: ["%s"]}]
""" % (ALERTS, ", ".join(names), exporter.address, exporter.address)
            with Prometheus(self.dir, config) as prometheus:
                answers = {}

                def every_panel_has_numbers():
                    answers.update({q[:2]: prometheus.series(q[2], q[3]) for q in queries})
                    return all(has_numbers(series) for series in answers.values())

                wait_for(every_panel_has_numbers, 60, every=1)
                for title, ref, expression, _ in queries:
                    with self.subTest(panel=title, query=ref):
                        self.assertTrue(has_numbers(answers[title, ref]), expression)
                # the device picker offers every device
                self.assertEqual(sorted(prometheus.api("label/device/values",
                                                       **{"match[]": "roomalert_up"})), names)

                # The door example matches the device's door contact as the device names it.
                # The rules run on their own schedule, which a busy machine can put behind
                # the scrapes.
                def door_alert():
                    states = {(a["labels"]["alertname"], a["labels"].get("device")): a["state"]
                              for a in prometheus.alerts()}
                    return states.get(("RoomAlertDoorOpen", "room-1"))
                self.assertEqual(wait_for(door_alert, 30, every=1), "pending")

                exporter.process.kill()
                down = wait_for(lambda: [a for a in prometheus.alerts()
                                         if a["labels"]["alertname"] == "RoomAlertExporterDown"],
                                30, every=1)
                self.assertEqual([(a["labels"]["instance"], a["state"]) for a in down],
                                 [(exporter.address, "pending")])
            self.assertEqual(prometheus.exit, 0)


if __name__ == "__main__":
    unittest.main()

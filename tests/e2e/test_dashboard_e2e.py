"""The Grafana dashboard the package ships, its every query evaluated by a real Prometheus over
what a real kestrel-exporter answers, recorded as Prometheus would have scraped it at 15 s, 60 s
and 120 s, and asked as Grafana asks with its default data source settings.

Environment: as support.py (KESTREL_BINARY_DIR, KESTREL_PROMETHEUS, KESTREL_PROMTOOL).
"""

import json
import math
import os
import re
import subprocess
import time
import unittest

from support import (PROMETHEUS, PROMTOOL, SOURCE_DIR, Exporter, ExporterTestCase, Prometheus,
                     Site, get)

DASHBOARD = os.path.join(SOURCE_DIR, "packaging", "grafana", "roomalert-dashboard.json")
DEAD_SENSOR = os.path.join(SOURCE_DIR, "tests", "fixtures", "check", "3w-dead-sensor.json")

# Grafana's Prometheus data source unless told otherwise: its scrape interval is 15 s.
DATA_SOURCE_SCRAPE = 15
# Scrape intervals the dashboard must be right at: Prometheus's default, the shipped
# prometheus.yml's, and a slow site's.
SPACINGS = (15, 60, 120)
# The dashboard's own time range (now-6h), and data from well before it.
RANGE = 6 * 3600
RECORDED = RANGE + 1800


def load_dashboard():
    with open(DASHBOARD) as f:
        return json.load(f)


def panels(dashboard):
    """Every panel, those inside collapsed rows too; rows themselves hold no query."""
    for panel in dashboard["panels"]:
        yield from panel.get("panels", [])
        if panel["type"] != "row":
            yield panel


def seconds(text):
    number, unit = re.fullmatch(r"(\d+)(ms|s|m|h)", text).groups()
    return int(number) * {"ms": 0.001, "s": 1, "m": 60, "h": 3600}[unit]


def duration(value):
    return "%ds" % value


def grafana_query(panel, target):
    """The expression and step Grafana sends for a target. Its interval is the smallest Grafana
    ever uses, that of a wide panel on a short range: the data source's scrape interval, or the
    panel's min interval. A query's min step (the target's interval) raises the step and stands
    for the scrape interval in $__rate_interval, which is max($__interval + scrape interval,
    4 x scrape interval)."""
    interval = seconds(panel.get("interval") or duration(DATA_SOURCE_SCRAPE))
    scrape = seconds(target.get("interval") or duration(DATA_SOURCE_SCRAPE))
    step = max(interval, scrape)
    variables = {
        "device": ".*",  # All, as the dashboard opens
        "job": "kestrel-exporter",
        "__interval": duration(step),
        "__rate_interval": duration(max(interval + scrape, 4 * scrape)),
        "__range": duration(RANGE),
    }
    # a variable the dashboard does not define, or Grafana does not know, fails the test
    expression = re.sub(r"\$\{?(\w+)\}?", lambda m: variables[m.group(1)], target["expr"])
    return expression, step


def capture_site(folder):
    """What one exporter answers for a small site: each device's /probe, its own /metrics and
    its address. room-2 fails, so the error table has a row; every device has a sensor without
    a reading."""
    names = ["room-%d" % k for k in range(1, 4)]
    with Site(len(names), faulty=[2], extra=["--fixture", DEAD_SENSOR]) as site:
        devices = "".join('  - {name: %s, host: "%s", labels: {site: hq}}\n' % (name, host)
                          for name, host in zip(names, site.hosts))
        with Exporter(folder, "listen: 127.0.0.1:0\ndevices:\n" + devices) as exporter:
            probes = {name: exporter.probe(name)[1] for name in names}
            metrics = get(exporter.url + "/metrics")[1]
    return probes, metrics, exporter.address


def scraped(text, target_labels):
    """(series, value, counts up) of one scrape's text, with the labels Prometheus gives the
    target: counters and histograms count up, everything else stays."""
    cumulative = set()
    for name, kind in re.findall(r"^# TYPE (\S+) (\S+)$", text, flags=re.M):
        suffixes = {"counter": ["", "_total"], "histogram": ["_bucket", "_count", "_sum"],
                    "summary": ["_count", "_sum"]}.get(kind, [])
        cumulative.update(name + suffix for suffix in suffixes)
    added = ",".join('%s="%s"' % item for item in sorted(target_labels.items()))
    samples = [("up{%s}" % added, 1.0, False)]
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        series, value = line.rsplit(" ", 1)
        name, brace, labels = series.partition("{")
        labels = labels[:-1] if brace else ""
        samples.append(("%s{%s}" % (name, ",".join(filter(None, [added, labels]))),
                        float(value), name in cumulative))
    return samples


def openmetrics(samples, spacing, end):
    """The samples as scraped every spacing seconds up to end, in the format promtool backfills."""
    scrapes = RECORDED // spacing
    start = end - scrapes * spacing
    lines = []
    for series, value, counts_up in sorted(samples):
        for k in range(scrapes + 1):
            lines.append("%s %r %d" % (series, value * (k + 1) if counts_up else value,
                                        start + k * spacing))
    return "\n".join(lines) + "\n# EOF\n"


def has_numbers(values):
    return any(not math.isnan(float(v)) for v in values)


class DashboardTest(ExporterTestCase):
    def test_the_dashboard_is_portable(self):
        dashboard = load_dashboard()
        variables = {v["name"]: v for v in dashboard["templating"]["list"]}
        self.assertEqual(variables["datasource"]["type"], "datasource")
        self.assertEqual(variables["datasource"]["query"], "prometheus")
        self.assertEqual(variables["device"]["definition"], "label_values(roomalert_up, device)")
        self.assertEqual(variables["device"]["datasource"]["uid"], "${datasource}")
        # Import asks for the data source it names; the file names no other input.
        inputs = {i["name"]: i for i in dashboard["__inputs"]}
        self.assertEqual([(i["type"], i["pluginId"]) for i in inputs.values()],
                         [("datasource", "prometheus")])
        text = json.dumps(dashboard)
        self.assertEqual(set(re.findall(r"\$\{(DS_\w+)\}", text)), set(inputs))
        required = {(r["type"], r["id"]) for r in dashboard["__requires"]}
        ids = [p["id"] for top in dashboard["panels"] for p in [top] + top.get("panels", [])]
        self.assertEqual(len(ids), len(set(ids)))
        for panel in panels(dashboard):
            with self.subTest(panel=panel["title"]):
                self.assertIn(("panel", panel["type"]), required)
                # Bound to whichever Prometheus the viewer picks, never to one Grafana's own
                # data source id, so the file imports anywhere.
                for where in [panel] + panel["targets"]:
                    self.assertEqual(where["datasource"]["uid"], "${datasource}")
                for t in panel["targets"]:
                    # the per-type families are the stable names; a type label is not
                    self.assertNotRegex(t["expr"], r"\btype\s*=")
                    grafana_query(panel, t)

    @unittest.skipUnless(os.access(PROMETHEUS, os.X_OK), "no Prometheus server installed")
    def test_every_panel_has_data_at_real_scrape_intervals(self):
        probes, metrics, address = capture_site(self.dir)
        samples = scraped(metrics, {"job": "kestrel-exporter", "instance": address,
                                    "kestrel_exporter": address})
        for name, text in probes.items():
            samples += scraped(text, {"job": "roomalert", "instance": name,
                                      "kestrel_exporter": address})
        dashboard = load_dashboard()
        end = int(time.time()) // 120 * 120
        for spacing in SPACINGS:
            with self.subTest(scrape_interval=spacing):
                self.check_every_query(dashboard, samples, spacing, end, sorted(probes))

    def check_every_query(self, dashboard, samples, spacing, end, devices):
        folder = os.path.join(self.dir, "every-%ds" % spacing)
        os.mkdir(folder)
        recorded = os.path.join(folder, "scrapes.om")
        with open(recorded, "w") as f:
            f.write(openmetrics(samples, spacing, end))
        backfill = subprocess.run([PROMTOOL, "tsdb", "create-blocks-from", "openmetrics",
                                   recorded, os.path.join(folder, "tsdb")],
                                  capture_output=True, text=True, timeout=600)
        self.assertEqual(backfill.returncode, 0, backfill.stderr)
        with Prometheus(folder, "scrape_configs: []\n") as prometheus:
            ready = time.monotonic() + 60
            while prometheus.api("query", query="1") is None and time.monotonic() < ready:
                time.sleep(0.5)
            # the device picker offers every device
            self.assertEqual(sorted(prometheus.api("label/device/values",
                                                   **{"match[]": "roomalert_up"})), devices)
            for panel in panels(dashboard):
                for target in panel["targets"]:
                    expression, step = grafana_query(panel, target)
                    with self.subTest(panel=panel["title"], query=target["refId"]):
                        self.assertAnswersEverywhere(prometheus, expression, step, end,
                                                     target.get("instant", False))
        self.assertEqual(prometheus.exit, 0)

    def assertAnswersEverywhere(self, prometheus, expression, step, end, instant):
        """A table shows the latest value; a graph must have a value at every step of the
        dashboard's range, or the panel has holes."""
        if instant:
            data = prometheus.api("query", query=expression, time=end)
            self.assertTrue(data and has_numbers(r["value"][1] for r in data["result"]),
                            expression)
            return
        data = prometheus.api("query_range", query=expression, start=end - RANGE, end=end,
                              step=step)
        self.assertIsNotNone(data, expression)
        answered = {t for r in data["result"] for t, v in r["values"] if has_numbers([v])}
        steps = RANGE // step + 1
        self.assertEqual(len(answered), steps,
                         "%s: a value at %d of %d steps" % (expression, len(answered), steps))


if __name__ == "__main__":
    unittest.main()

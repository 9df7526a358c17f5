"""Discovery: kestrel-exporter's /sd, and real Prometheus servers that find the devices through it
with the packaged scrape configurations (prometheus.yml, prometheus-sharded.yml)."""

import http.client
import json
import os
import unittest

import yaml

from support import (PROMETHEUS, SOURCE_DIR, Exporter, ExporterTestCase, Prometheus, Site,
                     device_list, get, wait_for)

EXAMPLES = os.path.join(SOURCE_DIR, "packaging", "prometheus")
PACKAGED_EXPORTER = "127.0.0.1:9876"

# Label values a YAML file can hold that JSON must escape or carry as they are.
AWKWARD = {"plain": "berlin", "quoted": 'say "hi"', "windows": "C:\\racks\\r2",
           "control": "tab\there\x01", "text": "K\u00f8benhavn \u20ac \U0001f321"}


def yaml_labels(labels):
    return "{%s}" % ", ".join("%s: %s" % (k, json.dumps(v, ensure_ascii=False))
                         for k, v in labels.items())


def request(exporter, method, path):
    """status, Content-Type and body of one request to the exporter."""
    host, port = exporter.address.rsplit(":", 1)
    connection = http.client.HTTPConnection(host, int(port), timeout=30)
    try:
        connection.request(method, path)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        connection.close()


def discovered(exporter):
    status, _, body = request(exporter, "GET", "/sd")
    return json.loads(body.decode("utf-8")) if status == 200 else status


def packaged(name, exporter_address, shard=None):
    """A packaged scrape configuration as a test server runs it: pointed at this exporter, with
    one-second scrapes and discovery and no rule files; with shard, the server that keeps it."""
    with open(os.path.join(EXAMPLES, name)) as f:
        config = yaml.safe_load(f.read().replace(PACKAGED_EXPORTER, exporter_address))
    config["global"] = {"scrape_interval": "1s", "scrape_timeout": "1s",
                        "evaluation_interval": "1s"}
    config.pop("rule_files", None)
    jobs = {job["job_name"]: job for job in config["scrape_configs"]}
    for sd in jobs["roomalert"]["http_sd_configs"]:
        sd["refresh_interval"] = "1s"
    if shard is not None:
        keep = [rule for rule in jobs["roomalert"]["relabel_configs"]
                if rule.get("action") == "keep" and rule["source_labels"] == ["__tmp_shard"]]
        assert len(keep) == 1, keep
        keep[0]["regex"] = str(shard)
    return yaml.safe_dump(config)


def by_instance(prometheus, expression):
    data = prometheus.api("query", query=expression)
    return {r["metric"].get("instance"): r for r in data["result"]} if data else {}


class EndpointTest(ExporterTestCase):
    def test_sd_lists_the_configured_devices_and_follows_reloads(self):
        with open(self.path("pass"), "w") as f:
            f.write("s3cret-Pa55\n")
        config = """listen: 127.0.0.1:0
allow_unlisted_targets: true
unlisted_targets_allowed_networks: [127.0.0.0/8]
auth_modules:
  site-account: {user: admin-user, password_file: pass}
devices:
  - {name: room-1, host: "127.0.0.1:1", labels: %s}
  - {name: room-2, host: "d2.localhost:1", auth: site-account}
""" % yaml_labels(AWKWARD)
        with Exporter(self.dir, config) as exporter:
            # a target some client asked for is no device of the site
            exporter.probe("127.0.0.1:2")
            expected = [
                {"targets": ["room-1"],
                 "labels": dict(AWKWARD, __meta_roomalert_device_name="room-1",
                                __meta_roomalert_device_host="127.0.0.1:1")},
                {"targets": ["room-2"],
                 "labels": {"__meta_roomalert_device_name": "room-2",
                            "__meta_roomalert_device_host": "d2.localhost:1"}}]
            cases = [("GET", 200, expected), ("HEAD", 200, b""), ("POST", 405, None)]
            for method, status, body in cases:
                with self.subTest(method=method):
                    answer = request(exporter, method, "/sd")
                    self.assertEqual(answer[0], status)
                    if status == 200:
                        # what Prometheus's http_sd_configs insists on
                        self.assertEqual(answer[1], "application/json; charset=utf-8")
                        self.assertEqual(json.loads(answer[2]) if body else answer[2], body)
                        for secret in (b"s3cret", b"admin-user", b"site-account"):
                            self.assertNotIn(secret, answer[2])

            # A reload that changes the devices changes the list; a refused one leaves it.
            renamed = config.replace("room-2", "closet").replace("d2.localhost", "d9.localhost")
            exporter.reload(renamed)
            self.assertEqual([group["targets"] for group in discovered(exporter)],
                             [["room-1"], ["closet"]])
            self.assertEqual(discovered(exporter)[1]["labels"]["__meta_roomalert_device_host"],
                             "d9.localhost:1")
            exporter.reload(renamed + "  - {name: broken}\n", expect="reload failed")
            self.assertEqual(len(discovered(exporter)), 2)
            exporter.reload("listen: 127.0.0.1:0\ndevices: []\n")
            self.assertEqual(discovered(exporter), [])
        # a clean exit: the sanitizer builds report what they found through it
        self.assertEqual(exporter.exit, 0, exporter.log()[-3000:])


@unittest.skipUnless(os.access(PROMETHEUS, os.X_OK), "no Prometheus server installed")
class PrometheusDiscoveryTest(ExporterTestCase):
    def test_the_packaged_configuration_scrapes_every_device_found_through_sd(self):
        names = ["room-%d" % k for k in range(1, 7)]
        with Site(len(names) + 1) as site:
            devices = device_list(site.hosts[:-1])
            # labels of the exporter's file reach the target once, as the file writes them
            devices = devices.replace('host: "%s"\n' % site.hosts[0],
                                      'host: "%s"\n    labels: %s\n'
                                      % (site.hosts[0], yaml_labels(AWKWARD)))
            config = "listen: 127.0.0.1:0\n" + devices
            with Exporter(self.dir, config) as exporter, \
                    Prometheus(self.dir, packaged("prometheus.yml", exporter.address)) as server:
                def every_device_up():
                    up = by_instance(server, 'up{job="roomalert"} == 1')
                    ok = by_instance(server, "roomalert_up == 1")
                    return (up, ok) if set(up) == set(ok) == set(names) else None
                answer = wait_for(every_device_up, 90, every=1)
                self.assertTrue(answer, by_instance(server, 'up{job="roomalert"}'))
                up, ok = answer
                for label, value in AWKWARD.items():
                    self.assertEqual(up["room-1"]["metric"].get(label), value, label)
                    self.assertEqual(ok["room-1"]["metric"].get(label), value, label)
                self.assertFalse([name for r in ok.values() for name in r["metric"]
                                  if name.startswith("exported_")])
                self.assertNotIn("plain", up["room-2"]["metric"])

                # a device added to the exporter's file is scraped after a reload alone
                exporter.reload(config + '  - {name: room-7, host: "%s"}\n' % site.hosts[-1])
                self.assertTrue(wait_for(lambda: by_instance(server, "roomalert_up == 1")
                                         .get("room-7"), 90, every=1))
            self.assertEqual([server.exit, exporter.exit], [0, 0])

    def test_two_sharded_servers_see_every_device_exactly_once(self):
        names = ["room-%d" % k for k in range(1, 13)]
        with Site(len(names)) as site:
            config = "listen: 127.0.0.1:0\n" + device_list(site.hosts)
            folders = [self.path("server-%d" % shard) for shard in (0, 1)]
            for folder in folders:
                os.mkdir(folder)
            # each server beside its own exporter, both exporters with the same file
            with Exporter(folders[0], config) as first, Exporter(folders[1], config) as second, \
                    Prometheus(folders[0], packaged("prometheus-sharded.yml", first.address,
                                                    0)) as server0, \
                    Prometheus(folders[1], packaged("prometheus-sharded.yml", second.address,
                                                    1)) as server1:
                servers = [server0, server1]

                def every_device_up():
                    up = [set(by_instance(s, 'up{job="roomalert"} == 1')) for s in servers]
                    return up if set().union(*up) == set(names) else None
                wait_for(every_device_up, 90, every=1)
                # every target either server has, whatever its state
                shares = [set(by_instance(s, 'up{job="roomalert"}')) for s in servers]
                self.assertEqual(set().union(*shares), set(names))
                self.assertEqual(shares[0] & shares[1], set())
                self.assertTrue(all(shares), shares)
                for shard, (server, exporter) in enumerate(zip(servers, (first, second))):
                    with self.subTest(shard=shard):
                        # each exporter loads only its server's share
                        _, metrics = get(exporter.url + "/metrics")
                        loaded = {line.split('"')[1] for line in metrics.splitlines()
                                  if line.startswith("roomalert_exporter_loads_total{")
                                  and not line.endswith(" 0")}
                        self.assertEqual(loaded, shares[shard])
                        self.assertTrue(wait_for(lambda: by_instance(
                            server, 'up{job="kestrel-exporter"} == 1'), 30, every=1))
            self.assertEqual([server0.exit, server1.exit, first.exit, second.exit], [0] * 4)


if __name__ == "__main__":
    unittest.main()

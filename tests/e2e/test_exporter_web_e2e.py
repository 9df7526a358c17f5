"""kestrel-exporter's web configuration (--web.config.file): HTTPS, client certificates and
logins, against a real exporter over loopback sockets."""

import base64
import os
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time
import unittest
import urllib.error
import urllib.request

from support import (EXPORTER, SOURCE_DIR, Exporter, ExporterTestCase, Site, bcrypt, device_list,
                     wait_for)

USER = "prometheus"


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)


def make_pki(folder):
    """A CA for the server and the clients, a stranger CA, and certificates signed by them."""
    path = lambda name: os.path.join(folder, name)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for ca in ("ca", "stranger-ca"):
        openssl("req", "-x509", *ec, "-days", "2", "-keyout", path(ca + ".key"),
                "-out", path(ca + ".crt"), "-subj", "/CN=" + ca)
    signed = [("server", "ca", "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                               "extendedKeyUsage=serverAuth\n"),
              ("client", "ca", "extendedKeyUsage=clientAuth\n"),
              ("stranger", "stranger-ca", "extendedKeyUsage=clientAuth\n")]
    for name, ca, extensions in signed:
        with open(path(name + ".ext"), "w") as f:
            f.write(extensions)
        openssl("req", *ec, "-keyout", path(name + ".key"), "-out", path(name + ".csr"),
                "-subj", "/CN=" + name)
        openssl("x509", "-req", "-in", path(name + ".csr"), "-CA", path(ca + ".crt"),
                "-CAkey", path(ca + ".key"), "-CAcreateserial", "-days", "2",
                "-extfile", path(name + ".ext"), "-out", path(name + ".crt"))


def fetch(url, ca=None, client=None, password=None, user=USER, tls12=False):
    """(status, headers, body) or (None, None, why) when no HTTP answer came."""
    context = None
    if url.startswith("https:"):
        context = ssl.create_default_context(cafile=ca)
        if tls12:
            context.maximum_version = ssl.TLSVersion.TLSv1_2
        if client:
            context.load_cert_chain(client + ".crt", client + ".key")
    headers = {}
    if password is not None:
        token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        headers["Authorization"] = "Basic " + token
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers),
                                    context=context, timeout=30) as response:
            return response.status, response.headers, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read().decode()
    except (urllib.error.URLError, ConnectionError, ssl.SSLError, socket.timeout) as error:
        return None, None, str(error)


def plain_http(address):
    """What a plain HTTP request to address gets back, until the server closes or goes quiet."""
    host, port = address.rsplit(":", 1)
    received = b""
    with socket.create_connection((host, int(port)), timeout=10) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: exporter\r\n\r\n")
        try:
            while True:
                data = s.recv(65536)
                if not data:
                    break
                received += data
        except (socket.timeout, ConnectionError):
            pass
    return received


class WebTestCase(ExporterTestCase):
    @classmethod
    def setUpClass(cls):
        cls.pki = os.path.join(os.environ.get("TMPDIR", "/tmp"), "kestrel-web-pki-%d" % os.getpid())
        os.makedirs(cls.pki, exist_ok=True)
        make_pki(cls.pki)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pki, True)

    def pem(self, name):
        return os.path.join(self.pki, name)

    def web(self, text):
        path = self.path("web.yml")
        with open(path, "w") as f:
            f.write(text)
        return path

    def tls(self, extra=""):
        return ("tls_server_config:\n  cert_file: %s\n  key_file: %s\n" %
                (self.pem("server.crt"), self.pem("server.key")) + extra)

    def wait_for_reload(self, exporter, count):
        """The log once it tells of count reloads, good or failed."""
        def reloads():
            log = exporter.log()
            return log.count("reload ok") + log.count("reload failed")
        if not wait_for(lambda: reloads() >= count):
            self.fail("no reload seen: " + exporter.log())
        return exporter.log()


class WebConfigTest(WebTestCase):
    def test_https_logins_and_a_reload_that_changes_the_password(self):
        old, new = "old-Passw0rd", "new-Passw0rd"
        web = self.web(self.tls() + "basic_auth_users:\n  %s: '%s'\n" % (USER, bcrypt(old)))
        with Site(1) as site, Exporter(self.dir, "listen: 127.0.0.1:0\n" +
                                       device_list(site.hosts), "--web.config.file",
                                       web) as exporter:
            url = "https://%s/metrics" % exporter.address
            ca = self.pem("ca.crt")
            cases = [
                # name, password, user, expected status
                ("right user", old, USER, 200),
                ("no credentials", None, USER, 401),
                ("wrong password", "guess", USER, 401),
                ("unknown user", old, "mallory", 401),
                ("right user again, remembered", old, USER, 200),
            ]
            for name, password, user, status in cases:
                with self.subTest(name):
                    got, headers, body = fetch(url, ca, password=password, user=user)
                    self.assertEqual(got, status, body)
                    if status == 200:
                        self.assertIn("roomalert_exporter_build_info", body)
                    else:
                        self.assertRegex(headers["WWW-Authenticate"], r'^Basic realm="[^"]+"')
                        self.assertNotIn("roomalert_", body)
            with self.subTest("probe through HTTPS"):
                got, _, body = fetch("https://%s/probe?target=room-1" % exporter.address, ca,
                                     password=old)
                self.assertEqual(got, 200, body)
                self.assertIn('roomalert_up{device="room-1"} 1', body)
            with self.subTest("plain HTTP on the TLS port"):
                self.assertNotIn(b"roomalert_", plain_http(exporter.address))
                self.assertIsNone(fetch("http://%s/metrics" % exporter.address,
                                        password=old)[0])

            self.web(self.tls() + "basic_auth_users:\n  %s: '%s'\n" % (USER, bcrypt(new)))
            exporter.process.send_signal(signal.SIGHUP)
            self.assertIn("reload ok", self.wait_for_reload(exporter, 1))
            self.assertEqual(fetch(url, ca, password=new)[0], 200)
            self.assertEqual(fetch(url, ca, password=old)[0], 401)

            # A TLS change takes a new server on the same socket.
            self.assertEqual(fetch(url, ca, password=new, tls12=True)[0], 200)
            self.web(self.tls("  min_version: TLS13\n") +
                     "basic_auth_users:\n  %s: '%s'\n" % (USER, bcrypt(new)))
            exporter.process.send_signal(signal.SIGHUP)
            self.assertNotIn("reload failed", self.wait_for_reload(exporter, 2))
            self.assertIsNone(fetch(url, ca, password=new, tls12=True)[0])
            self.assertEqual(fetch(url, ca, password=new)[0], 200)

            # A bad web file fails the reload as a bad configuration does; the logins stay.
            self.web(self.tls() + "basic_auth_users:\n  %s: plain-text\n" % USER)
            exporter.process.send_signal(signal.SIGHUP)
            log = self.wait_for_reload(exporter, 3)
            self.assertRegex(log, r"reload failed.*web\.yml:\d+:\d+: expected a bcrypt hash")
            got, _, body = fetch(url, ca, password=new)
            self.assertEqual(got, 200, body)
            self.assertIn("roomalert_exporter_config_last_reload_successful 0", body)
        # a clean exit: the sanitizer builds report what they found through it
        self.assertEqual(exporter.exit, 0, exporter.log()[-3000:])

    def test_client_certificates(self):
        cases = [
            # client_auth_type, client certificate, answered 200
            ("RequireAndVerifyClientCert", None, False),
            ("RequireAndVerifyClientCert", "client", True),
            ("RequireAndVerifyClientCert", "stranger", False),
            ("RequireAndVerifyClientCert", "server", False),  # trusted CA, made for servers
            ("VerifyClientCertIfGiven", None, True),
            ("VerifyClientCertIfGiven", "stranger", False),
            ("RequireAnyClientCert", None, False),
            ("RequireAnyClientCert", "stranger", True),
        ]
        with Site(1) as site:
            config = "listen: 127.0.0.1:0\n" + device_list(site.hosts)
            for policy, client, accepted in cases:
                with self.subTest(policy=policy, client=client):
                    ca_line = ("  client_ca_file: %s\n" % self.pem("ca.crt")
                               if "Verify" in policy else "")
                    web = self.web(self.tls("  client_auth_type: %s\n" % policy + ca_line))
                    with Exporter(self.dir, config, "--web.config.file", web) as exporter:
                        got, _, body = fetch("https://%s/metrics" % exporter.address,
                                             self.pem("ca.crt"),
                                             client=client and self.pem(client))
                    # A refusal after the handshake is an answer that says why.
                    self.assertEqual(got, 200 if accepted else 403, body)
                    self.assertEqual(exporter.exit, 0, exporter.log()[-3000:])
                    if accepted:
                        self.assertIn("roomalert_exporter_build_info", body)

    def test_tls_reloads_never_wait_for_the_old_servers_probes(self):
        """The old server answers the probe it holds (a hanging device's, some 10 s) on a thread
        of the server's own: each reload is done at once, a second one too."""
        with Site(1, faulty=[1], fault="delay:60000") as site, Exporter(
                self.dir, "listen: 127.0.0.1:0\ndefaults: {timeout: 60s}\n" +
                device_list(site.hosts), "--web.config.file", self.web(self.tls())) as exporter:
            held = {}
            probe = threading.Thread(target=lambda: held.update(answer=fetch(
                "https://%s/probe?target=room-1" % exporter.address, self.pem("ca.crt"))))
            probe.start()
            # Held once the load reached the device.
            loading = lambda: subprocess.run(
                ["ss", "-Htn", "state", "established", "dport = :%s" % site.port],
                capture_output=True, text=True, timeout=30).stdout.strip()
            self.assertTrue(wait_for(loading, 30))
            for count, extra in enumerate(["  min_version: TLS13\n", ""], 1):
                with self.subTest(count=count):
                    self.web(self.tls(extra))
                    started = time.monotonic()
                    exporter.process.send_signal(signal.SIGHUP)
                    self.assertNotIn("reload failed", self.wait_for_reload(exporter, count))
                    # Far below the 10 s the held probe keeps the old server.
                    self.assertLess(time.monotonic() - started, 5.0)
                    self.assertEqual(fetch("https://%s/-/healthy" % exporter.address,
                                           self.pem("ca.crt"))[0], 200)
            probe.join(60)
            self.assertIn(held["answer"][0], (200, 503), held)
        self.assertEqual(exporter.exit, 0, exporter.log()[-3000:])

    def test_a_reload_turns_https_on_and_off(self):
        web = self.web("")
        # The configuration's listen is an address of no interface here: only the override works.
        with Site(1) as site, Exporter(self.dir, "listen: 192.0.2.1:0\n" +
                                       device_list(site.hosts), "--web.config.file", web,
                                       "--web.listen-address", "127.0.0.1:0") as exporter:
            http, https = ("%s://%s/metrics" % (scheme, exporter.address)
                           for scheme in ("http", "https"))
            steps = [("plain", "", 200, None), ("HTTPS", self.tls(), None, 200),
                     ("plain again", "", 200, None)]
            for count, (name, text, over_http, over_https) in enumerate(steps):
                with self.subTest(name):
                    if count > 0:
                        self.web(text)
                        exporter.process.send_signal(signal.SIGHUP)
                        self.assertNotIn("reload failed", self.wait_for_reload(exporter, count))
                    self.assertEqual(fetch(http)[0], over_http)
                    self.assertEqual(fetch(https, self.pem("ca.crt"))[0], over_https)
        self.assertEqual(exporter.exit, 0, exporter.log()[-3000:])

    def test_bad_web_files_are_refused_with_their_place(self):
        hash_line = "basic_auth_users:\n  %s: '%s'\n" % (USER, "$2y$10$" + "a" * 53)
        # The parser's cases are the unit tests'; these prove the program reports them.
        cases = [
            ("unknown key", self.tls("  cipher_suite: [x]\n"), ":4:3: unknown key 'cipher_suite'"),
            ("missing file", "tls_server_config:\n  cert_file: nowhere.crt\n  key_file: x\n",
             ":2:14: cannot read 'nowhere.crt' as cert_file: No such file"),
            ("key of another certificate",
             "tls_server_config:\n  cert_file: %s\n  key_file: %s\n" % (
                 self.pem("server.crt"), self.pem("client.key")),
             ":3:13: cannot serve HTTPS with cert_file and key_file: the key does not belong"),
            ("not a hash", "basic_auth_users:\n  %s: secret\n" % USER,
             ":2:15: expected a bcrypt hash"),
        ]
        config = self.path("exporter.yml")
        with open(config, "w") as f:
            f.write("listen: 127.0.0.1:0\ndevices: []\n")
        for name, text, message in cases:
            with self.subTest(name):
                web = self.web(text)
                run = subprocess.run([EXPORTER, "--check-config", config, "--web.config.file",
                                      web], capture_output=True, timeout=30)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(web + message, run.stderr.decode())
        web = self.web(self.tls() + hash_line)
        run = subprocess.run([EXPORTER, "--check-config", config, "--web.config.file", web],
                             capture_output=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn(web + ": ok, HTTPS, 1 users", run.stdout.decode())

    def test_the_shipped_example_passes_check_config(self):
        example = os.path.join(SOURCE_DIR, "packaging", "web-config.example.yml")
        with open(example) as f:
            text = f.read()
        for shipped, made in (("/etc/kestrel-exporter/tls/exporter.crt", "server.crt"),
                              ("/run/credentials/kestrel-exporter.service/exporter.key",
                               "server.key"),
                              ("/etc/kestrel-exporter/tls/prometheus-ca.crt", "ca.crt")):
            self.assertIn(shipped, text)
            text = text.replace(shipped, self.pem(made))
        config = self.path("exporter.yml")
        with open(config, "w") as f:
            f.write("devices: []\n")
        run = subprocess.run([EXPORTER, "--check-config", config, "--web.config.file",
                              self.web(text)], capture_output=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("ok, HTTPS, 1 users", run.stdout.decode())


if __name__ == "__main__":
    unittest.main()

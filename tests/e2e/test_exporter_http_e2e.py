"""kestrel-exporter's front door against hostile and crowding clients, over loopback sockets."""

import os
import resource
import selectors
import socket
import subprocess
import threading
import time
import unittest

from support import EXPORTER, SIM, Exporter, ExporterTestCase, Site, device_list, get, wait_for

MB = 1024 * 1024
RSS_GROWTH_BOUND = 64 * MB
with open(EXPORTER, "rb") as _program:
    # ThreadSanitizer's shadow memory grows with every thread and allocation: the bound is for
    # the program as shipped (AddressSanitizer's builds stay within it).
    SHADOWED = b"__tsan_init" in _program.read()
# Starvation shows as answers that never come; this bound is far above a healthy answer's time.
ANSWER_BOUND = 2.0

# Thousands of sockets: the soft descriptor limit goes to the hard one, for this process and the
# programs it starts.
_soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (_hard, _hard))


def memory(pid, key):
    """VmRSS or VmHWM of a process, in bytes."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def host_port(address):
    host, port = address.rsplit(":", 1)
    return host, int(port)


def exchange(address, head, body=b"", body_size=0, answers=1, timeout=60):
    """Sends head (and body_size bytes of body, in pieces) while reading; answers what came back
    once that holds the answers expected and the server stopped sending for a while, or closed.
    A server that answers early and closes stops the sending, as a client would."""
    s = socket.create_connection(host_port(address), timeout=timeout)
    s.setblocking(False)
    pending = memoryview(head)
    sent_body = 0
    chunk = body or b"x" * 65536
    received = b""
    deadline = time.monotonic() + timeout
    quiet_since = None
    with selectors.DefaultSelector() as selector:
        selector.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE)
        while time.monotonic() < deadline:
            events = selector.select(timeout=0.2)
            if not events:
                if (not pending and sent_body >= body_size and
                        len(statuses(received)) >= answers):
                    quiet_since = quiet_since or time.monotonic()
                    if time.monotonic() - quiet_since > 0.5:
                        break
                continue
            mask = events[0][1]
            if mask & selectors.EVENT_READ:
                try:
                    data = s.recv(1 << 16)
                except (ConnectionResetError, BrokenPipeError):
                    break
                if not data:
                    break
                received += data
                quiet_since = None
            if mask & selectors.EVENT_WRITE:
                try:
                    if pending:
                        pending = pending[s.send(pending):]
                    elif sent_body < body_size:
                        sent_body += s.send(chunk[:body_size - sent_body])
                    else:
                        selector.modify(s, selectors.EVENT_READ)
                except (ConnectionResetError, BrokenPipeError):
                    selector.modify(s, selectors.EVENT_READ)
                    pending, sent_body = b"", body_size
    s.close()
    return received


def statuses(raw):
    """The status codes of the answers in raw, in order, each body skipped by its length."""
    found = []
    while raw.startswith(b"HTTP/1.1 ") and b"\r\n\r\n" in raw:
        head, raw = raw.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        found.append(int(lines[0].split()[1]))
        length = [int(line.split(b":")[1]) for line in lines[1:]
                  if line.lower().startswith(b"content-length:")]
        raw = raw[length[0]:] if length else raw  # (a HEAD answer ends the exchange)
    return found


def request(method, target, headers=()):
    lines = ["%s %s HTTP/1.1" % (method, target), "Host: exporter"] + list(headers)
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


class FrontDoorTestCase(ExporterTestCase):
    def exporter(self, site):
        return Exporter(self.dir, "listen: 127.0.0.1:0\n" + device_list(site.hosts[:1]))

    def loads(self, exporter):
        _, metrics = get(exporter.url + "/metrics")
        for line in metrics.splitlines():
            if line.startswith('roomalert_exporter_loads_total{device="room-1"}'):
                return float(line.split()[-1])
        return 0


class HostileRequestTest(FrontDoorTestCase):
    def test_each_hostile_request_gets_its_answer_within_a_memory_bound(self):
        many_headers = b"".join(b"X-Filler-%d: y\r\n" % (i % 10) for i in range(4_000_000))
        pipelined = (request("GET", "/probe?target=room-1") + request("GET", "/-/healthy")) * 50
        cases = [
            # name, bytes sent first, body bytes after, expected statuses, header the answer has
            ("200 MB body", request("POST", "/probe?target=room-1",
                                    ["Content-Length: %d" % (200 * MB)]), 200 * MB, [413], None),
            ("chunked body", request("GET", "/metrics", ["Transfer-Encoding: chunked"]),
             16 * MB, [413], None),
            ("4 million header lines",
             request("GET", "/-/healthy")[:-2] + many_headers + b"\r\n", 0, [431], None),
            ("8 KB URL", request("GET", "/probe?target=" + "a" * 8192), 0, [403], None),
            ("100 pipelined requests", pipelined, 0, [200] * 100, None),
            ("HEAD starts no load", request("HEAD", "/probe?target=room-1"), 0, [200], None),
            ("DELETE", request("DELETE", "/probe?target=room-1"), 0, [405], b"Allow: GET, HEAD"),
            ("unknown path", request("GET", "/admin"), 0, [404], None),
        ]
        with Site(1) as site, self.exporter(site) as exporter:
            pid = exporter.process.pid
            self.assertEqual(exporter.probe("room-1")[0], 200)
            baseline = memory(pid, "VmRSS")
            for name, head, body_size, expected, header in cases:
                with self.subTest(name):
                    loads = self.loads(exporter)
                    raw = exchange(exporter.address, head, body_size=body_size,
                                   answers=len(expected))
                    self.assertEqual(statuses(raw), expected, raw[:300])
                    if header:
                        self.assertIn(header, raw)
                    if name.startswith("HEAD"):
                        self.assertEqual(self.loads(exporter), loads)
                    if not SHADOWED:
                        self.assertLess(memory(pid, "VmHWM") - baseline, RSS_GROWTH_BOUND)
                    self.assertEqual(get(exporter.url + "/-/healthy", timeout=5)[0], 200)
        # A clean end: every connection's state freed (the sanitizer builds check it at exit).
        self.assertEqual(exporter.exit, 0, exporter.log()[-3000:])


class SocketRulesTest(FrontDoorTestCase):
    def backlog(self, port):
        """The backlog of the socket listening on port (ss shows it as Send-Q)."""
        out = subprocess.run(["ss", "-Hltn", "sport = :%d" % port], capture_output=True,
                             text=True, timeout=30).stdout.split()
        return int(out[2]) if len(out) > 2 else 0

    def test_the_port_is_not_shared_and_takes_a_burst(self):
        with Site(1) as site, self.exporter(site) as exporter:
            address = exporter.address
            for program, args in [
                    (EXPORTER, None),
                    (SIM, ["--listen", address]),
            ]:
                with self.subTest(os.path.basename(program)):
                    if args is None:
                        config = self.path("second.yml")
                        with open(config, "w") as f:
                            f.write("listen: %s\ndevices: []\n" % address)
                        args = ["--config", config, "--state-dir", self.path("second")]
                    run = subprocess.run([program] + args, capture_output=True, timeout=30,
                                         stdin=subprocess.DEVNULL)
                    self.assertEqual(run.returncode, 2, run.stderr)
                    self.assertIn(b"already in use", run.stderr)
            self.assertGreaterEqual(self.backlog(host_port(address)[1]), 4096)
            self.assertGreaterEqual(self.backlog(host_port(site.hosts[0].split("/")[0])[1]), 4096)


class Crowd:
    """count connections from source (a loopback address in a /24 of its own, so the limits per
    address and network of the exporter's clients are not theirs), reopened when the server
    closes them (at the latest after the request deadline). slow: each sends a request's headers
    one byte a second and never ends them."""

    def __init__(self, address, source, count, slow=False):
        self.target = host_port(address)
        self.source, self.count, self.slow = source, count, slow
        self.stopping = threading.Event()
        self.opened = 0
        self.thread = threading.Thread(target=self.run, daemon=True)

    def connect(self, selector):
        s = socket.socket()
        s.bind((self.source, 0))
        s.setblocking(False)
        s.connect_ex(self.target)
        selector.register(s, selectors.EVENT_READ, [b"GET / HTTP/1.1\r\nX-Slow: " + b"y" * 100])
        self.opened += 1

    def run(self):
        selector = selectors.DefaultSelector()
        for _ in range(self.count):
            self.connect(selector)
        next_drip = time.monotonic()
        while not self.stopping.is_set():
            for key, _ in selector.select(timeout=0.1):
                try:
                    data = key.fileobj.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self.connect(selector)
            if self.slow and time.monotonic() >= next_drip:
                next_drip += 1
                for key in list(selector.get_map().values()):
                    try:
                        key.fileobj.send(key.data[0][:1])
                        key.data[0] = key.data[0][1:] or b"y"
                    except OSError:
                        pass
        for key in list(selector.get_map().values()):
            key.fileobj.close()
        selector.close()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join(60)


class CrowdTest(FrontDoorTestCase):
    def held(self, exporter):
        return len(os.listdir("/proc/%d/fd" % exporter.process.pid))

    def test_idle_and_slow_connections_leave_health_and_probes_answering(self):
        crowds = [
            ("3,000 idle connections",
             [("127.%d.0.2" % k, 1000, False) for k in (2, 3, 4)]),
            ("1,000 slow-header connections", [("127.5.0.2", 1000, True)]),
        ]
        with Site(1) as site, self.exporter(site) as exporter:
            for name, groups in crowds:
                with self.subTest(name):
                    crowd = [Crowd(exporter.address, *group) for group in groups]
                    for c in crowd:
                        c.__enter__()
                    try:
                        # Every connection held by the exporter before the asking begins.
                        wanted = sum(g[1] for g in groups)
                        wait_for(lambda: self.held(exporter) >= wanted, every=0.5)
                        self.assertGreaterEqual(self.held(exporter), wanted)
                        slowest = 0
                        for _ in range(8):
                            for ask in (lambda: get(exporter.url + "/-/healthy", timeout=5),
                                        lambda: exporter.probe("room-1")):
                                started = time.monotonic()
                                status, _ = ask()
                                slowest = max(slowest, time.monotonic() - started)
                                self.assertEqual(status, 200)
                            time.sleep(0.5)
                        self.assertLess(slowest, ANSWER_BOUND)
                        self.assertGreaterEqual(sum(c.opened for c in crowd),
                                                sum(g[1] for g in groups))
                    finally:
                        for c in crowd:
                            c.__exit__()
        self.assertEqual(exporter.exit, 0, exporter.log()[-3000:])


if __name__ == "__main__":
    unittest.main()

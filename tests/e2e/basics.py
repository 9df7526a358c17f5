"""What the other end-to-end support files stand on: where the programs and tools are, the
module's texts, fixtures, free loopback ports, waiting with deadlines and stopping processes.
Tests import these through support."""

import io
import os
import select
import shlex
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request
import warnings

try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt
except ImportError:  # Python 3.13 and later: htpasswd (apache2-utils) makes the hashes
    crypt = None

SOURCE_DIR = os.path.abspath(os.environ.get(
    "KESTREL_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")))
BINARY_DIR = os.environ.get("KESTREL_BINARY_DIR", os.path.join(SOURCE_DIR, "build", "release"))
FIXTURES = os.environ.get("KESTREL_FIXTURES_DIR", os.path.join(SOURCE_DIR, "tests", "fixtures"))
HOST_CMD = shlex.split(os.environ.get("KESTREL_HOST_CMD", "")) or [
    os.path.join(BINARY_DIR, "kestrel-host")]
SIM = os.path.join(BINARY_DIR, "roomalert-sim")
EXPORTER = os.path.join(BINARY_DIR, "kestrel-exporter")
PROMETHEUS = os.environ.get("KESTREL_PROMETHEUS", "/usr/bin/prometheus")
PROMTOOL = os.environ.get("KESTREL_PROMTOOL", "promtool")
NAGIOS = shutil.which("nagios4") or "/usr/sbin/nagios4"
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
ICINGA = shutil.which("icinga2") or "/usr/sbin/icinga2"

# The password the tests give devices: it must show in no output, trace or document.
PASSWORD = "e2e-Pa55word"

# The module's last error texts, as a host shows them.
HTTP_FAILED = "Failed to retrieve device data over HTTP. The GET request failed with error: [%s]."
MALFORMED = "The received Json data could not be parsed. It is missing or malformed."
REFUSED = "No connection could be made because the target machine actively refused it"
CERTIFICATE = ("One or more errors were found in the Secure Sockets Layer (SSL) certificate sent "
               "by the server.")


def fixture(name, folder="roomalert"):
    """A device answer of tests/fixtures/<folder>/ (roomalert: recorded 3W documents; check:
    documents made for the check's cases)."""
    return os.path.join(FIXTURES, folder, name)


def bcrypt(password):
    """A bcrypt hash of cost 10 of password, as basic_auth_users takes it."""
    if crypt is not None:
        return crypt.crypt(password, crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1 << 10))
    line = subprocess.run(["htpasswd", "-nbBC", "10", "user", password], check=True,
                          capture_output=True, timeout=60).stdout.decode().strip()
    return line.split(":", 1)[1]


def free_port():
    """A loopback port nothing listens on now (another program may take it later)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds=60, every=0.1):
    """Calls condition() until it answers something true or seconds have passed; answers its
    last answer, so a caller asserts on it and shows what it was."""
    deadline = time.monotonic() + seconds
    answer = condition()
    while not answer and time.monotonic() < deadline:
        time.sleep(every)
        answer = condition()
    return answer


def read_line_with(process, stream, needle, seconds=15):
    """Reads lines of stream (a pipe of process) until one holds needle; answers that line.
    Raises RuntimeError with the lines seen when the stream ends or the deadline passes."""
    if isinstance(stream, io.BufferedReader):
        # select() sees only the pipe: a line already taken into the reader's buffer along with
        # the one before it would wait out the deadline (the exporter's "listening on" after its
        # "starting" line, on a busy machine).
        raise ValueError("read_line_with needs an unbuffered pipe: Popen(..., bufsize=0)")
    deadline = time.monotonic() + seconds
    seen = []
    while time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        line = stream.readline().decode("utf-8", "replace")
        if not line:
            break
        seen.append(line)
        if needle in line:
            return line
    raise RuntimeError("%s never said %r: %r" % (process.args[0], needle, seen))


def stop(process, timeout=20):
    """SIGTERM, then SIGKILL when the process has not ended within timeout seconds; answers the
    exit status (negative: the signal that ended it, -9 for the kill)."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
    return process.wait()


def get(url, headers=None, timeout=30):
    """(status, body text) of a GET; an HTTP error status is an answer, not an exception."""
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, response.read().decode("utf-8")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode("utf-8")

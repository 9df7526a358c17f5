"""The service guide's steps (docs/service.md), run as written as far as a machine without systemd
as PID 1 allows: the package is built and unpacked where apt would put it, the configuration and
the commands are the guide's own, and the exporter runs as the unit runs it (its ExecStart, its
state folder and credential, a user of no account, its umask), against a simulated site.

Environment: KESTREL_BINARY_DIR (a built folder), KESTREL_SOURCE_DIR, CPACK (its cpack).
"""

import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from support import Site, read_line_with, stop  # noqa: E402
from test_packaging import SOURCE_DIR, BINARY_DIR, ScratchTestCase, run  # noqa: E402

NOBODY = 65534


def guide_blocks():
    """The fenced blocks of the service guide, in order, as (language, text)."""
    with open(os.path.join(SOURCE_DIR, "docs", "service.md")) as f:
        return re.findall(r"```(\w*)\n(.*?)```", f.read(), flags=re.S)


def commands(block):
    """The command lines of a shell block, without sudo and trailing comments."""
    lines = []
    for line in block.splitlines():
        line = re.sub(r"\s+#.*$", "", line).strip()
        if line and not line.startswith("#"):
            lines.append(re.sub(r"^sudo ", "", line))
    return lines


def get(url):
    with urllib.request.urlopen(url, timeout=60) as answer:
        return answer.read().decode()


class ServiceStepsTest(ScratchTestCase):
    def setUp(self):
        super().setUp()
        # A made-up user must reach the state folder and the unpacked programs.
        os.chmod(self.dir, 0o755)
        self.root = os.path.join(self.dir, "root")

    def moved(self, text):
        """A command or file of the guide with the system's folders moved into the scratch root."""
        for folder in ("/etc/", "/usr/", "/var/lib/", "/run/"):
            text = text.replace(folder, self.root + folder)
        return text

    def install_package(self):
        completed = run(os.environ.get("CPACK", "cpack"), "-G", "DEB", "--config",
                        os.path.join(BINARY_DIR, "CPackConfig.cmake"), "-B", self.dir)
        self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)
        deb = [name for name in os.listdir(self.dir) if name.endswith(".deb")][0]
        self.assertEqual(run("dpkg", "-x", os.path.join(self.dir, deb), self.root).returncode, 0)
        # Where step 1 says the package puts things.
        for path in ("usr/bin/kestrel-exporter", "usr/bin/kestrel-host",
                     "lib/systemd/system/kestrel-exporter.service",
                     "etc/kestrel-exporter/config.yml"):
            self.assertTrue(os.path.isfile(os.path.join(self.root, path)), path)
        self.assertTrue(os.listdir(os.path.join(self.root, "usr/lib/kestrel-probe")))

    def unit_setting(self, key):
        with open(os.path.join(self.root, "lib/systemd/system/kestrel-exporter.service")) as f:
            values = re.findall(r"^%s=(.*)$" % key, f.read(), flags=re.M)
        self.assertTrue(values, key)
        return values[-1]

    def test_the_service_steps_run_as_written(self):
        blocks = guide_blocks()
        self.assertEqual([language for language, _ in blocks[:4]], ["sh", "yaml", "sh", "sh"])
        self.install_package()

        # The closet asks for the account the guide gives it; the server room for none.
        with Site(1) as room, Site(1, extra=["--user", "admin", "--password", "s3cret-pass"]) as closet:
            # Step 2: the guide's configuration, its devices replaced by the simulated ones.
            # Port 0: a free port picked by the exporter itself, which no other test can take.
            config = blocks[1][1].replace("127.0.0.1:9876", "127.0.0.1:0")
            config = config.replace("192.168.10.48", room.hosts[0])
            config = config.replace("ra3w-closet.example.net", closet.hosts[0])
            config = config.replace("secure: true", "secure: false")
            config_path = os.path.join(self.root, "etc/kestrel-exporter/config.yml")
            with open(config_path, "w") as f:
                f.write(config)
            for line in commands(blocks[2][1]):
                if line.startswith("install "):
                    self.assertEqual(run(*shlex.split(self.moved(line))).returncode, 0, line)
                    password_file = shlex.split(self.moved(line))[-1]
                    with open(password_file, "w") as f:
                        f.write("s3cret-pass\n")
                elif line.startswith("kestrel-exporter --check-config"):
                    completed = run(*shlex.split(self.moved("/usr/bin/" + line)))
                    self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)
                    self.assertIn(": ok, 2 devices", completed.stdout)
            credential = re.search(r"LoadCredential=([\w.-]+):(\S+)", blocks[2][1])
            self.assertIsNotNone(credential)

            # Step 3: the unit's start, as systemd would make it.
            state = os.path.join(self.root, "var/lib", self.unit_setting("StateDirectory"))
            runtime = os.path.join(self.root, "run", self.unit_setting("RuntimeDirectory"))
            credentials = os.path.join(self.root, "run/credentials/kestrel-exporter.service")
            for folder in (state, runtime, credentials):
                os.makedirs(folder)
            shutil.copy(self.moved(credential.group(2)),
                        os.path.join(credentials, credential.group(1)))
            as_unit_user = os.geteuid() == 0
            if as_unit_user:
                for path in (state, runtime, credentials,
                             os.path.join(credentials, credential.group(1))):
                    os.chown(path, NOBODY, NOBODY)
            umask = int(self.unit_setting("UMask"), 8)

            def like_the_unit():
                os.umask(umask)
                if as_unit_user:
                    os.setgroups([])
                    os.setgid(NOBODY)
                    os.setuid(NOBODY)

            environment = dict(os.environ, STATE_DIRECTORY=state, RUNTIME_DIRECTORY=runtime,
                               CREDENTIALS_DIRECTORY=credentials)
            exporter = subprocess.Popen(
                shlex.split(self.moved(self.unit_setting("ExecStart"))), env=environment,
                preexec_fn=like_the_unit, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE, cwd="/", bufsize=0)
            self.addCleanup(stop, exporter)
            line = read_line_with(exporter, exporter.stderr, "listening on", seconds=60)
            port = int(line.split("listening on ")[1].split()[0].rsplit(":", 1)[1])

            for line in commands(blocks[3][1]):
                if line.startswith("curl "):
                    url = shlex.split(line)[1].replace(":9876", ":%d" % port)
                    body = get(url)
                    self.assertRegex(body, r'roomalert_up\{[^}]*\} 1')
                elif line.startswith("systemctl reload"):
                    self.assertEqual(self.unit_setting("ExecReload"), "/bin/kill -HUP $MAINPID")
                    exporter.send_signal(signal.SIGHUP)
            # The closet's account reached its device; the reload kept the configuration.
            closet = get("http://127.0.0.1:%d/probe?target=comms-closet" % port)
            self.assertRegex(closet, r'roomalert_up\{[^}]*\} 1')
            metrics = get("http://127.0.0.1:%d/metrics" % port)
            self.assertRegex(metrics, r"roomalert_exporter_config_last_reload_successful 1")
            # Each device's trace in the state folder, its documents in the runtime folder, the
            # service's own and not readable by others.
            files = [(state, "trace.log"), (runtime, "device.xml"), (runtime, "device-data.xml")]
            for folder, name in files:
                path = os.path.join(folder, "server-room-2", name)
                self.assertTrue(os.path.isfile(path), path)
                self.assertEqual(os.stat(path).st_mode & 0o007, 0, path)
                if as_unit_user:
                    self.assertEqual(os.stat(path).st_uid, NOBODY)

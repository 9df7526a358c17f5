"""The Windows build end to end, under Wine: the host suite run with the Windows host, and, for
every device fixture, the Windows documents, working files and last error text compared byte for
byte with the Linux build's.

Environment: KESTREL_BINARY_DIR (the Linux build: simulator and Linux host), KESTREL_WINDOWS_DIR
(the Windows build), KESTREL_FIXTURES_DIR, KESTREL_HOST_CMD (the Windows host command line, e.g.
"tools/wine-run.sh build/windows/kestrel-host.exe").
Run: python3 tests/e2e/test_windows.py
"""

import glob
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import support  # noqa: E402
import test_host_e2e as e2e  # noqa: E402

LINUX_HOST = [os.path.join(support.BINARY_DIR, "kestrel-host")]
WINDOWS_HOST = support.HOST_CMD
WINDOWS_DIR = os.environ.get("KESTREL_WINDOWS_DIR", "build/windows")
WINE_RUN = os.path.join(support.SOURCE_DIR, "tools", "wine-run.sh")
OUTPUTS = ("device.xml", "device-data.xml", "device.json", "device.raw.xml")

# Host-suite tests that cannot hold under Wine, and why. Everything else must pass unchanged.
NOT_UNDER_WINE = {
    "TlsTest.test_trusted_certificate":
        "WinHTTP trusts the Windows certificate store; SSL_CERT_FILE is an OpenSSL setting",
    "PollingTest.test_interrupt_ends_the_poll_after_the_current_load":
        "a POSIX signal to the Wine launcher does not reach the Windows program as Ctrl-C",
}


class ParityTest(support.HostTestCase):
    def run_host(self, command, address, into):
        """One load with the given host; its outputs are moved into the folder `into`."""
        run = self.host("--host", address, command=command)
        os.makedirs(into)
        found = {}
        for name in OUTPUTS:
            if os.path.exists(self.path(name)):
                with open(self.path(name), "rb") as f:
                    found[name] = f.read()
                shutil.move(self.path(name), os.path.join(into, name))
        return run, found

    def test_every_fixture_gives_the_same_bytes_on_both_builds(self):
        fixtures = sorted(glob.glob(support.fixture("*.json")))
        self.assertTrue(fixtures)
        # Labels with characters Windows-1252 lacks, raw and escaped: both builds write the same
        # best-fit bytes.
        fixtures.append(os.path.join(support.FIXTURES, "devices", "label-best-fit", "device.json"))
        for path in fixtures:
            name = os.path.basename(path)
            if name == "device.json":
                name = os.path.basename(os.path.dirname(path)) + ".json"
            with self.subTest(fixture=name), support.Simulator("--fixture", path) as sim:
                # Same folder and same arguments for both, so that every path inside the
                # documents (the trace file's, for one) is the same text.
                linux_run, linux = self.run_host(LINUX_HOST, sim.address, self.path(name + ".linux"))
                windows_run, windows = self.run_host(WINDOWS_HOST, sim.address,
                                                     self.path(name + ".windows"))
                self.assertEqual(windows_run.exit, linux_run.exit, windows_run.stderr)
                self.assertEqual(support.without_stamp(windows_run.json()),
                                 support.without_stamp(linux_run.json()))
                self.assertEqual(sorted(windows), sorted(linux))
                for output in linux:
                    self.assertEqual(windows[output], linux[output],
                                     "%s differs for %s" % (output, name))

    def test_both_builds_refuse_the_same_bodies_over_the_cap(self):
        # Both network components take at most 1 MB: a body of exactly that (the document padded
        # with blanks) loads, one byte more fails the GET, on both builds alike. The Windows
        # component once had no cap and loaded what Linux refused.
        for fault, loads in (("size:1048576", True), ("size:1048577", False)):
            name = fault.replace(":", "-")
            with self.subTest(fault=fault), support.Simulator("--fault", fault) as sim:
                linux_run, linux = self.run_host(LINUX_HOST, sim.address, self.path(name + ".linux"))
                windows_run, windows = self.run_host(WINDOWS_HOST, sim.address,
                                                     self.path(name + ".windows"))
                self.assertEqual(linux_run.exit, 0 if loads else 1, linux_run.stderr)
                self.assertEqual(windows_run.exit, linux_run.exit, windows_run.stderr)
                self.assertEqual(support.without_stamp(windows_run.json()),
                                 support.without_stamp(linux_run.json()))
                self.assertEqual(sorted(windows), sorted(linux))
                for output in linux:
                    self.assertEqual(windows[output], linux[output],
                                     "%s differs for %s" % (output, fault))


class UnregisteredComponentTest(support.HostTestCase):
    """Without the network component's registration a load fails with the creation texts."""

    def regsvr32(self, *args):
        component = "Z:" + os.path.join(WINDOWS_DIR, "mvnetwork.dll").replace("/", "\\")
        prefix = os.environ.get("KESTREL_WINEPREFIX", os.path.join(WINDOWS_DIR, "wineprefix"))
        subprocess.run([WINE_RUN, "regsvr32", "/s", *args, component], check=True, timeout=120,
                       stdin=subprocess.DEVNULL, capture_output=True,
                       env=dict(os.environ, KESTREL_WINEPREFIX=prefix))

    def test_load_fails_until_the_component_is_registered_again(self):
        self.regsvr32("/u")
        try:
            run = self.host("--host", "127.0.0.1:1", "--user", "admin")
        finally:
            self.regsvr32()
        self.assertLoadFails(run, support.HTTP_FAILED % "")
        with open(self.path("trace.log"), "rb") as f:
            trace = f.read()
        self.assertIn(b"] EnvProviderApp: Failed to read data over HTTP. Failed to initialize HTTP "
                      b"library.\r\n", trace)
        with support.Simulator() as sim:
            self.assertEqual(self.host("--host", sim.address).exit, 0)


def suite():
    tests = unittest.TestSuite()
    loader = unittest.defaultTestLoader

    def add(found):
        for test in found:
            if isinstance(test, unittest.TestSuite):
                add(test)
            elif test.id().split(".", 1)[1] not in NOT_UNDER_WINE:
                tests.addTest(test)

    add(loader.loadTestsFromModule(e2e))
    add(loader.loadTestsFromTestCase(ParityTest))
    add(loader.loadTestsFromTestCase(UnregisteredComponentTest))
    return tests


if __name__ == "__main__":
    if not os.environ.get("KESTREL_HOST_CMD"):
        sys.exit("test_windows: KESTREL_HOST_CMD must name the Windows host command")
    for test, reason in sorted(NOT_UNDER_WINE.items()):
        print("not under Wine: %s (%s)" % (test, reason))
    result = unittest.TextTestRunner(verbosity=2).run(suite())
    sys.exit(0 if result.wasSuccessful() else 1)

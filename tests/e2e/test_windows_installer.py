"""The Windows installer as an administrator meets it, under Wine in a fresh prefix: silent
install, upgrade over an earlier release, refusals that change nothing, a signed build moved to
another folder, silent uninstall. After every step the installation is checked whole (files,
version resources, the component's registration, the Apps & features entry); after the uninstall
the prefix holds no file and no key of ours.

Environment: KESTREL_WINDOWS_DIR (the Windows build), KESTREL_OLDER_DIR (a Windows build of an
earlier release, tests/packaging/as-release.cmake), KESTREL_BINARY_DIR (the Linux build),
KESTREL_INSTALLER_PREFIX (the prefix to create afresh), CPACK (default: cpack).
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import support as e2e  # noqa: E402

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_RUN = os.path.join(SOURCE_DIR, "tools", "wine-run.sh")
WINDOWS_DIR = os.path.abspath(os.environ.get("KESTREL_WINDOWS_DIR", "build/windows"))
OLDER_DIR = os.path.abspath(os.environ.get("KESTREL_OLDER_DIR", "build/windows-older"))
PREFIX = os.path.abspath(os.environ.get("KESTREL_INSTALLER_PREFIX",
                                        os.path.join(WINDOWS_DIR, "installer-prefix")))
CPACK = os.environ.get("CPACK", "cpack")

DEFAULT_DIR = r"C:\Program Files\kestrel-probe"
MOVED_DIR = r"C:\kestrel-probe"
BINARIES = {"kestrel-probe.dll": "DLL", "mvnetwork.dll": "DLL", "kestrel-host.exe": "APP"}
INSTALLED = set(BINARIES) | {"uninstall.exe", "README.md", "copyright.txt"}
# What the earlier release ships and the current one does not: an upgrade removes it.
RETIRED = "retired.txt"
UNINSTALL_KEYS = r"software\microsoft\windows\currentversion\uninstall"
OUTPUTS = ("device.xml", "device-data.xml", "device.json", "device.raw.xml")


def header_identity():
    """The component's class, interface and ProgID, as its own header declares them."""
    with open(os.path.join(SOURCE_DIR, "netcomp", "win32", "mvnetwork.h")) as f:
        text = f.read()

    def guid(name):
        numbers = re.search(name + r"\s*=\s*\{(.*?)\};", text, re.S).group(1)
        return "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}" % tuple(
            int(n, 16) for n in re.findall(r"0x([0-9A-Fa-f]+)", numbers))

    prog_id = re.search(r'kHttpExProgId = L"([^"]+)"', text).group(1)
    return guid("kHttpExClass"), guid("kHttpExInterface"), prog_id


CLASS_ID, INTERFACE_ID, PROG_ID = header_identity()
OUR_NAMES = ("kestrel", "mvnetwork", CLASS_ID.lower(), INTERFACE_ID.lower(), PROG_ID.lower())


def build_version(build_dir):
    """The release a build folder was configured as."""
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        cache = f.read()
    found = re.search(r"^KESTREL_RELEASE_VERSION:\w+=(.+)$", cache, re.M) or re.search(
        r"^CMAKE_PROJECT_VERSION:\w+=(.+)$", cache, re.M)
    return found.group(1)


def installer_of(build_dir):
    found = glob.glob(os.path.join(build_dir, "kestrel-probe-*-win64.exe"))
    if len(found) != 1:
        raise RuntimeError("expected one installer in %s, found %s" % (build_dir, found))
    return found[0]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def read_hive(path):
    """{key: {value name: value}} of a Wine registry file, names in lower case, strings and dwords
    decoded (the escapes our values can hold are backslash and quote)."""
    keys, current = {}, {}
    unescape = lambda text: re.sub(r"\\(.)", r"\1", text)  # noqa: E731
    quoted = r'"(?:[^"\\]|\\.)*"'
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            header = re.match(r"^\[(.*)\] \d+$", line)
            value = re.match(r"^(@|%s)=(?:str\(\d\):)?(%s|dword:\w+)" % (quoted, quoted), line)
            if header:
                current = keys.setdefault(unescape(header.group(1)).lower(), {})
            elif value:
                name = "" if value.group(1) == "@" else unescape(value.group(1)[1:-1]).lower()
                data = value.group(2)
                current[name] = int(data[6:], 16) if data.startswith("dword:") else unescape(
                    data[1:-1])
    return keys


def read_if_there(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


class Prefix:
    """The Wine prefix the installer checks run in, created afresh. Every call is bounded."""

    HIVES = ("system.reg", "user.reg", "userdef.reg")

    def __init__(self, path):
        self.path = path
        self.env = dict(os.environ, KESTREL_WINEPREFIX=path, WINEPREFIX=path,
                        KESTREL_WINE_TIMEOUT="240")

    def create(self):
        shutil.rmtree(self.path, ignore_errors=True)
        self.wine("--prepare")
        self.settle()

    def wine(self, *args):
        return subprocess.run([WINE_RUN, *args], env=self.env, capture_output=True, timeout=300,
                              stdin=subprocess.DEVNULL)

    def run_command_line(self, line, folder):
        """Runs a Windows command line as written (the uninstaller's "_?=" must stay unquoted)."""
        script = os.path.join(folder, "run.bat")
        with open(script, "w", newline="\r\n") as f:
            f.write("@%s\n@exit %%ERRORLEVEL%%\n" % line)
        return self.wine("cmd", "/c", windows_path(script)).returncode

    def settle(self):
        """Waits until every process of the prefix has ended and the registry is on disk."""
        subprocess.run(["timeout", "-k", "5", "180", "wineserver", "-w"], env=self.env,
                       stdin=subprocess.DEVNULL, capture_output=True, check=True)

    def stop(self):
        subprocess.run(["timeout", "-k", "5", "60", "wineserver", "-k"], env=self.env,
                       stdin=subprocess.DEVNULL, capture_output=True)

    def host_path(self, windows):
        drive, rest = windows.split(":", 1)
        return os.path.join(self.path, "drive_" + drive.lower(), *rest.strip("\\").split("\\"))

    def registry(self, hives=HIVES):
        return {hive + ":" + key: values for hive in hives
                for key, values in read_hive(os.path.join(self.path, hive)).items()}

    def snapshot(self):
        """Every file and folder of drive C:, every key with its ancestors."""
        drive = os.path.join(self.path, "drive_c")
        files = {os.path.relpath(os.path.join(root, n), drive)
                 for root, folders, names in os.walk(drive) for n in folders + names}
        keys = set()
        for key in self.registry():
            while "\\" in key:
                keys.add(key)
                key = key.rsplit("\\", 1)[0]
        return files, keys


class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kestrel-installer-")
        cls.current, cls.older = build_version(WINDOWS_DIR), build_version(OLDER_DIR)
        cls.signing = make_certificate(os.path.join(cls.work, "certificate"))
        signed = package(os.path.join(cls.work, "signed"), cls.signing)
        if signed.returncode != 0:
            raise RuntimeError("signed packaging failed:\n" + signed.stdout.decode())
        cls.installers = {"older": installer_of(OLDER_DIR), "current": installer_of(WINDOWS_DIR),
                          "signed": installer_of(os.path.join(cls.work, "signed"))}
        cls.prefix = Prefix(PREFIX)
        cls.prefix.create()
        cls.baseline = cls.prefix.snapshot()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def install(self, name, *args):
        return self.prefix.wine(self.installers[name], "/S", *args).returncode

    # ------------------------------------------------------------------ what is installed

    def fingerprint(self, folder):
        """The installation's files (size, time) and every registry key naming something of ours."""
        root = self.prefix.host_path(folder)
        files = {n: (os.stat(os.path.join(root, n)).st_size,
                     os.stat(os.path.join(root, n)).st_mtime_ns)
                 for n in (os.listdir(root) if os.path.isdir(root) else [])}
        return files, {k: v for k, v in self.prefix.registry().items()
                       if any(name in k for name in OUR_NAMES)}

    def check_installed(self, version, folder, extra, signed):
        root = self.prefix.host_path(folder)
        self.assertEqual(set(os.listdir(root)), INSTALLED | set(extra))
        hklm = {k.split(":", 1)[1]: v for k, v in self.prefix.registry(["system.reg"]).items()}

        entries = [k for k, v in hklm.items()
                   if k.startswith(UNINSTALL_KEYS) and v.get("displayname") == "kestrel-probe"]
        self.assertEqual(entries, [UNINSTALL_KEYS + "\\kestrel-probe"])
        entry = hklm[entries[0]]
        self.assertEqual((entry["displayversion"], entry["installlocation"], entry["publisher"]),
                         (version, folder, "kestrel-probe team"))
        self.assertEqual(entry["quietuninstallstring"], '"%s\\uninstall.exe" /S' % folder)
        self.assertGreater(entry["estimatedsize"], 0)

        # One registration, naming the installed component.
        naming = [(k, n) for k, values in hklm.items() for n, v in values.items()
                  if isinstance(v, str) and "mvnetwork.dll" in v.lower()]
        server = "software\\classes\\clsid\\%s\\inprocserver32" % CLASS_ID.lower()
        self.assertEqual(naming, [(server, "")])
        self.assertEqual(hklm[server],
                         {"": folder + "\\mvnetwork.dll", "threadingmodel": "Apartment"})
        self.assertEqual(hklm["software\\classes\\%s\\clsid" % PROG_ID.lower()][""], CLASS_ID)
        self.assertEqual(hklm["software\\classes\\interface\\%s" % INTERFACE_ID.lower()][""],
                         "IMvnHttpEx")

        self.check_versions({folder + "\\" + name: version for name in BINARIES})
        for name in sorted(set(BINARIES) | {"uninstall.exe"}) if signed else []:
            self.assertSignedBy(os.path.join(root, name), self.signing["cert.pem"])

    def check_versions(self, expected):
        """Each file's version resource, read through the Windows API, names its version."""
        query = self.prefix.wine(os.path.join(WINDOWS_DIR, "kestrel-file-version.exe"), *expected)
        self.assertEqual(query.returncode, 0, query.stderr.decode())
        found, fields = {}, None
        for line in query.stdout.decode().splitlines():
            if line.startswith("[") and line.endswith("]"):
                fields = found.setdefault(line[1:-1], {})
            elif fields is not None and "=" in line:
                fields.update([line.split("=", 1)])
        for path, version in expected.items():
            fields, name = found.get(path, {}), path.rsplit("\\", 1)[1]
            with self.subTest(file=path):
                self.assertEqual([fields.get(k) for k in (
                    "FILEVERSION", "PRODUCTVERSION", "FileVersion", "ProductVersion",
                    "ProductName", "CompanyName")],
                    [version + ".0"] * 2 + [version] * 2 + ["kestrel-probe", "kestrel-probe team"])
                self.assertIn("kestrel-probe developers", fields["LegalCopyright"])
                if name in BINARIES:
                    self.assertEqual((fields["OriginalFilename"], fields["FILETYPE"]),
                                     (name, BINARIES[name]))

    def assertSignedBy(self, path, certificate):
        run = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", certificate],
                             capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 0, "%s: %s" % (path, run.stdout.decode()[-600:]))

    def check_nothing_of_ours(self):
        files, keys = self.prefix.snapshot()
        added = files - self.baseline[0]
        # The uninstaller ran from a copy of itself in the temporary folder, which Windows deletes
        # at the next restart (Wine likewise); nothing else may stay.
        copies = {f for f in added if re.fullmatch(r"users/[^/]+/Temp/~nsu\w*\.tmp(/Un\.exe)?", f)}
        self.assertEqual(added - copies, set())
        pending = self.prefix.registry(["system.reg"]).get(
            "system.reg:system\\currentcontrolset\\control\\session manager", {}).get(
            "pendingfilerenameoperations", "")
        for copy in (f for f in copies if f.endswith("Un.exe")):
            self.assertIn(copy.split("/")[-2], pending)
        self.assertEqual(keys - self.baseline[1], set())
        for hive in Prefix.HIVES:
            with open(os.path.join(self.prefix.path, hive), encoding="utf-8",
                      errors="replace") as f:
                text = f.read().lower()
            self.assertEqual([n for n in OUR_NAMES if n in text], [], hive)

    # ------------------------------------------------------------------ the installed host

    def check_host_reads_like_linux(self, folder):
        """The installed host reads the simulator into the same documents as the Linux build."""
        run_dir = tempfile.mkdtemp(dir=self.work)
        results = []
        with e2e.Simulator() as sim:
            for command in ([os.path.join(e2e.BINARY_DIR, "kestrel-host")],
                            [WINE_RUN, folder + "\\kestrel-host.exe"]):
                run = subprocess.run(command + [
                    "--config", os.path.join(run_dir, "device.xml"),
                    "--data", os.path.join(run_dir, "device-data.xml"),
                    "--trace", os.path.join(run_dir, "trace.log"),
                    "--host", sim.address, "--format", "json"],
                    cwd=run_dir, capture_output=True, timeout=300, env=self.prefix.env,
                    stdin=subprocess.DEVNULL)
                self.assertEqual(run.returncode, 0, run.stderr.decode())
                outputs = {}
                for name in OUTPUTS:
                    with open(os.path.join(run_dir, name), "rb") as f:
                        outputs[name] = f.read()
                    os.remove(os.path.join(run_dir, name))
                results.append((e2e.without_stamp(e2e.HostRun(run, run_dir).json()), outputs))
        self.assertEqual(results[1], results[0])
        return 0

    # ------------------------------------------------------------------ refusals

    def install_while_the_module_is_loaded(self, folder):
        """The installed host keeps loading, as the host service would: the installer and the
        uninstaller both refuse."""
        trace = os.path.join(self.work, "busy-trace.log")
        with e2e.Simulator() as sim:
            poller = subprocess.Popen(
                [WINE_RUN, folder + "\\kestrel-host.exe", "--host", sim.address, "--count", "0",
                 "--interval", "1", "--trace", trace,
                 "--config", os.path.join(self.work, "busy.xml"),
                 "--data", os.path.join(self.work, "busy-data.xml")], env=self.prefix.env,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 120
                while b"Successfully loaded" not in read_if_there(trace):
                    self.assertLess(time.monotonic(), deadline, "the installed host never loaded")
                    self.assertIsNone(poller.poll(), "the installed host ended")
                    time.sleep(0.2)
                return (self.install("current"), self.prefix.run_command_line(
                    '"%s\\uninstall.exe" /S _?=%s' % (folder, folder), self.work))
            finally:
                self.prefix.stop()
                poller.wait(timeout=60)

    def install_over_a_failing_uninstaller(self, folder):
        uninstaller = os.path.join(self.prefix.host_path(folder), "uninstall.exe")
        kept = os.path.join(self.work, "uninstall.exe")
        shutil.move(uninstaller, kept)
        # A program that fails whatever it is given stands in for a broken uninstaller.
        shutil.copy(os.path.join(WINDOWS_DIR, "kestrel-file-version.exe"), uninstaller)
        try:
            return self.install("current")
        finally:
            self.prefix.settle()
            shutil.move(kept, uninstaller)

    # ------------------------------------------------------------------ the checks

    def test_installers_carry_their_version(self):
        self.check_versions({windows_path(self.installers["older"]): self.older,
                             windows_path(self.installers["current"]): self.current})

    def test_a_signing_failure_produces_no_installer(self):
        wrong = os.path.join(self.work, "wrong-password")
        with open(wrong, "w") as f:
            f.write("not the password\n")
        into = os.path.join(self.work, "unsigned")
        run = package(into, dict(self.signing, password=wrong))
        self.assertNotEqual(run.returncode, 0)
        self.assertIn(b"could not be signed", run.stdout + run.stderr)
        self.assertEqual(glob.glob(os.path.join(into, "*.exe")), [])

    def test_install_upgrade_and_uninstall(self):
        self.assertSignedBy(self.installers["signed"], self.signing["cert.pem"])
        older, current = self.older, self.current
        # (step, action answering its exit code(s), expected exit code(s), the installation
        #  afterwards: (version, folder, files beyond the usual, signed), "unchanged" or None)
        steps = [
            ("silent install of an earlier release", lambda: self.install("older"), 0,
             (older, DEFAULT_DIR, {RETIRED}, False)),
            ("its host reads the simulator like the Linux build",
             lambda: self.check_host_reads_like_linux(DEFAULT_DIR), 0, "unchanged"),
            # An upgrade that kept the old files or a second registration fails here.
            ("upgrade in place", lambda: self.install("current"), 0,
             (current, DEFAULT_DIR, (), False)),
            ("installer and uninstaller while the module is loaded",
             lambda: self.install_while_the_module_is_loaded(DEFAULT_DIR), (3, 3), "unchanged"),
            ("install over an installation whose uninstaller fails",
             lambda: self.install_over_a_failing_uninstaller(DEFAULT_DIR), 4, "unchanged"),
            ("signed build installed into another folder (/D)",
             lambda: self.install("signed", "/D=" + MOVED_DIR), 0, (current, MOVED_DIR, (), True)),
            ("its host reads the simulator through the moved registration",
             lambda: self.check_host_reads_like_linux(MOVED_DIR), 0, "unchanged"),
            ("silent uninstall with the entry's QuietUninstallString",
             lambda: self.prefix.run_command_line(self.quiet_uninstall(), self.work), 0, None),
        ]
        folder = DEFAULT_DIR
        for step, action, code, expected in steps:
            with self.subTest(step=step):
                before = self.fingerprint(folder)
                self.assertEqual(action(), code)
                self.prefix.settle()
                if expected == "unchanged":
                    self.assertEqual(self.fingerprint(folder), before)
                elif expected is None:
                    self.check_nothing_of_ours()
                else:
                    version, folder, extra, signed = expected
                    self.check_installed(version, folder, extra, signed)
                    self.assertEqual(os.path.exists(self.prefix.host_path(DEFAULT_DIR)),
                                     folder == DEFAULT_DIR)

    def quiet_uninstall(self):
        hklm = self.prefix.registry(["system.reg"])
        return hklm["system.reg:" + UNINSTALL_KEYS + "\\kestrel-probe"]["quietuninstallstring"]


def make_certificate(folder):
    """A throw-away code-signing certificate: PEM, and PKCS#12 with a password file."""
    os.makedirs(folder)
    files = {n: os.path.join(folder, n) for n in ("key.pem", "cert.pem", "cert.pfx", "password")}
    with open(files["password"], "w") as f:
        f.write("throw-away\n")
    for command in (["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                     "/CN=kestrel-probe test signing", "-addext", "extendedKeyUsage=codeSigning",
                     "-keyout", files["key.pem"], "-out", files["cert.pem"]],
                    ["pkcs12", "-export", "-in", files["cert.pem"], "-inkey", files["key.pem"],
                     "-out", files["cert.pfx"], "-passout", "file:" + files["password"]]):
        subprocess.run(["openssl", *command], check=True, capture_output=True, timeout=60)
    return files


def package(into, signing):
    """The Windows build's installer packaged again into `into`, signed with `signing`."""
    env = dict(os.environ, KESTREL_SIGN_CERT=signing["cert.pfx"],
               KESTREL_SIGN_PASSWORD_FILE=signing["password"])
    return subprocess.run([CPACK, "--config", os.path.join(WINDOWS_DIR, "CPackConfig.cmake"),
                           "-B", into], env=env, capture_output=True, timeout=300,
                          stdin=subprocess.DEVNULL)


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The ecosystem's own tools, started by a test on loopback and stopped by it: a Prometheus
server, a Nagios core with the check, and a Mosquitto broker with a subscriber. Tests import these
through support."""

import json
import os
import pwd
import re
import select
import shutil
import subprocess
import time
import urllib.parse


from basics import (HOST_CMD, MOSQUITTO, NAGIOS, PROMETHEUS, free_port, get,  # noqa: F401
                    read_line_with, stop, wait_for)

class Prometheus:
    """A Prometheus server on a free loopback port with the given configuration text, its files in
    folder. It may not answer at once: api() answers None until it does."""

    def __init__(self, folder, config_text):
        self.folder = folder
        with open(os.path.join(folder, "prometheus.yml"), "w") as f:
            f.write(config_text)

    def __enter__(self):
        self.port = free_port()
        with open(os.path.join(self.folder, "prometheus.log"), "wb") as log:
            self.process = subprocess.Popen(
                [PROMETHEUS, "--config.file=" + os.path.join(self.folder, "prometheus.yml"),
                 "--storage.tsdb.path=" + os.path.join(self.folder, "tsdb"),
                 "--web.listen-address=127.0.0.1:%d" % self.port],
                stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL)
        return self

    def api(self, path, **params):
        """The data of /api/v1/<path>, or None while the server does not answer."""
        try:
            status, body = get("http://127.0.0.1:%d/api/v1/%s?%s"
                               % (self.port, path, urllib.parse.urlencode(params)))
        except OSError:
            return None
        return json.loads(body)["data"] if status == 200 else None

    def query(self, expression):
        """The result list of an instant query ([] while there is none)."""
        data = self.api("query", query=expression)
        return data["result"] if data else []

    def series(self, expression, instant):
        """Values of each series the query answers over the last 30 s, as Grafana asks."""
        if instant:
            return [[r["value"][1]] for r in self.query(expression)]
        now = time.time()
        data = self.api("query_range", query=expression, start=now - 30, end=now, step=1)
        return [[v for _, v in r["values"]] for r in data["result"]] if data else []

    def alerts(self):
        data = self.api("alerts")
        return data["alerts"] if data else []

    def __exit__(self, *exc):
        self.exit = stop(self.process)


# -------------------------------------------------------------------------- a monitoring core

_NAGIOS_OBJECTS = """
define timeperiod {
    timeperiod_name always
    alias           always
    sunday 00:00-24:00
    monday 00:00-24:00
    tuesday 00:00-24:00
    wednesday 00:00-24:00
    thursday 00:00-24:00
    friday 00:00-24:00
    saturday 00:00-24:00
}
define command {
    command_name    host-up
    command_line    /bin/true
}
define command {
    command_name    notify-nobody
    command_line    /bin/true
}
define contact {
    contact_name                  oncall
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_period      always
    service_notification_period   always
    host_notification_options     n
    service_notification_options  n
    host_notification_commands    notify-nobody
    service_notification_commands notify-nobody
}
"""

_NAGIOS_HOST = """
define host {
    host_name             %(name)s
    address               %(address)s
    check_command         host-up
    max_check_attempts    1
    check_period          always
    contacts              oncall
    notification_period   always
}
define service {
    host_name             %(name)s
    service_description   Room Alert
    check_command         check_roomalert!%(args)s
    max_check_attempts    1
    check_interval        1
    retry_interval        1
    check_period          always
    contacts              oncall
    notification_period   always
}
"""


def plugin_folder(folder):
    """A plug-in folder whose check_roomalert runs the build's kestrel-host, as the package's does."""
    plugins = os.path.join(folder, "plugins")
    os.makedirs(plugins)
    script = os.path.join(plugins, "check_roomalert")
    with open(script, "w") as f:
        command = [os.path.abspath(c) if os.path.exists(c) else c for c in HOST_CMD]
        f.write("#!/bin/sh\nexec %s --check \"$@\"\n" % " ".join(command))
    os.chmod(script, 0o755)
    return plugins


def nagios_config(folder, command_file, hosts):
    """nagios.cfg for a private Nagios 4 core in folder, with the command definitions of
    command_file and a service "Room Alert" per host; hosts: (name, address, check arguments).
    Checks run every second, their results reaped and status.dat written every second."""
    plugins = plugin_folder(folder)
    with open(os.path.join(folder, "objects.cfg"), "w") as f:
        f.write(_NAGIOS_OBJECTS)
        for name, address, args in hosts:
            f.write(_NAGIOS_HOST % {"name": name, "address": address, "args": args})
    with open(os.path.join(folder, "resource.cfg"), "w") as f:
        f.write("$USER1$=%s\n" % plugins)
    user = pwd.getpwuid(os.getuid()).pw_name if os.getuid() != 0 else "nagios"
    inside = {
        "log_file": "nagios.log", "resource_file": "resource.cfg", "status_file": "status.dat",
        "object_cache_file": "objects.cache", "precached_object_file": "objects.precache",
        "temp_file": "nagios.tmp", "temp_path": ".", "lock_file": "nagios.pid",
        "check_result_path": "checkresults", "command_file": "nagios.cmd",
        "state_retention_file": "retention.dat",
    }
    settings = {
        "nagios_user": user, "nagios_group": user, "interval_length": "1",
        "status_update_interval": "1", "check_result_reaper_frequency": "1",
        "max_service_check_spread": "1", "max_host_check_spread": "1",
        "retain_state_information": "0", "use_syslog": "0", "check_for_updates": "0",
        "enable_notifications": "0", "service_check_timeout": "30",
    }
    lines = ["cfg_file=" + os.path.abspath(command_file)]
    lines += ["%s=%s" % (k, os.path.join(folder, v)) for k, v in inside.items()]
    lines += ["%s=%s" % (k, v) for k, v in settings.items()]
    lines.append("cfg_file=" + os.path.join(folder, "objects.cfg"))
    os.makedirs(os.path.join(folder, "checkresults"))
    path = os.path.join(folder, "nagios.cfg")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    if os.getuid() == 0:
        for root, dirs, files in os.walk(folder):
            for name in dirs + files + ["."]:
                shutil.chown(os.path.join(root, name), user, user)
    return path


def service_status(status_dat):
    """{host name: {field: value}} of the servicestatus blocks of a Nagios status.dat."""
    found = {}
    with open(status_dat, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for block in re.findall(r"servicestatus \{\n(.*?)\n\s*\}", text, re.S):
        fields = dict(line.strip().split("=", 1) for line in block.splitlines() if "=" in line)
        found[fields["host_name"]] = fields
    return found


class NagiosCore:
    """A private Nagios 4 core (nagios_config) running while entered. checked() answers the
    status of every service once each has been checked, or None."""

    def __init__(self, folder, command_file, hosts):
        self.folder = folder
        self.count = len(hosts)
        self.config = nagios_config(folder, command_file, hosts)

    def __enter__(self):
        self.process = subprocess.Popen([NAGIOS, self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        return self

    def checked(self):
        status_dat = os.path.join(self.folder, "status.dat")
        if not os.path.exists(status_dat):
            return None
        status = service_status(status_dat)
        done = len(status) == self.count and all(s.get("has_been_checked") == "1"
                                                  for s in status.values())
        return status if done else None

    def __exit__(self, *exc):
        self.exit = stop(self.process, 30)


# -------------------------------------------------------------------------- an MQTT broker

def throwaway_ca(folder):
    """A CA made for one test, and a server (127.0.0.1, localhost) and a client certificate it
    signed: {name: path} of ca.crt, server.crt, server.key, client.crt, client.key, other-ca.crt
    (a CA that signed nothing here)."""
    def run(*args):
        subprocess.run(["openssl"] + list(args), cwd=folder, check=True, capture_output=True,
                       timeout=60)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        run("req", "-x509", *key, "-keyout", ca + ".key", "-out", ca + ".crt", "-days", "2",
            "-subj", "/CN=kestrel e2e " + ca)
    with open(os.path.join(folder, "san.cnf"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    for name in ("server", "client"):
        run("req", *key, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
        run("x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", name + ".crt", "-days", "2",
            *(["-extfile", "san.cnf"] if name == "server" else []))
    return {name: os.path.join(folder, name) for name in
            ("ca.crt", "server.crt", "server.key", "client.crt", "client.key", "other-ca.crt")}


class Broker:
    """Mosquitto on two free loopback ports, both asking for a user and password (USER,
    PASSWORD): plain (port) and TLS with a client certificate required (tls_port), from a CA made
    for the test (certs). restart() stops it and starts it again on the same ports, without the
    retained messages; subscribe() watches topics."""

    USER = "kestrel"
    PASSWORD = "mqtt-e2e-Pa55"

    def __init__(self, folder):
        self.folder = folder
        self.certs = throwaway_ca(folder)
        self.port, self.tls_port = free_port(), free_port()
        passwords = os.path.join(folder, "mosquitto.passwd")
        subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, self.USER, self.PASSWORD],
                       check=True, capture_output=True, timeout=60)
        self.config = os.path.join(folder, "mosquitto.conf")
        with open(self.config, "w") as f:
            # As root the broker would become the user mosquitto, who cannot read these files.
            f.write("user %s\n" % pwd.getpwuid(os.getuid()).pw_name)
            f.write("per_listener_settings false\nallow_anonymous false\n"
                    "password_file %s\nlog_dest stderr\n" % passwords)
            f.write("listener %d 127.0.0.1\n" % self.port)
            f.write("listener %d 127.0.0.1\ncafile %s\ncertfile %s\nkeyfile %s\n"
                    "require_certificate true\n" % (self.tls_port, self.certs["ca.crt"],
                                                    self.certs["server.crt"],
                                                    self.certs["server.key"]))

    def url(self):
        return "mqtts://127.0.0.1:%d" % self.tls_port

    def __enter__(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.config], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        bufsize=0)
        try:
            read_line_with(self.process, self.process.stderr, " running", seconds=30)
        except RuntimeError:
            self.__exit__()
            raise
        return self

    def restart(self):
        self.__exit__()
        self.__enter__()

    def subscribe(self, *topics):
        return Subscription(self, topics)

    def __exit__(self, *exc):
        self.exit = stop(self.process)
        self.process.stderr.close()


class Subscription:
    """mosquitto_sub on the broker's plain port, ready once the broker acknowledged the
    subscription. messages: each {"topic", "payload" (text), "retain" (bool)} received so far;
    wait_for(condition) reads on until condition(messages) holds."""

    def __init__(self, broker, topics):
        # Line by line: into a pipe its debug lines (the SUBACK) would wait in a full buffer.
        command = ["stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-u", broker.USER,
                   "-P", broker.PASSWORD, "-d", "-F", "%j"]
        for topic in topics:
            command += ["-t", topic]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, bufsize=0)
        self.messages = []
        try:
            read_line_with(self.process, self.process.stdout, "received SUBACK", seconds=30)
        except RuntimeError:
            self.close()
            raise

    def wait_for(self, condition, seconds=60):
        """Reads messages until condition(messages) answers something true, or seconds passed;
        answers its last answer."""
        deadline = time.monotonic() + seconds
        answer = condition(self.messages)
        while not answer and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [],
                                        max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            line = self.process.stdout.readline().decode("utf-8", "replace")
            if not line:
                break
            if line.startswith("{"):
                message = json.loads(line)
                self.messages.append({"topic": message["topic"], "payload": message["payload"],
                                      "retain": bool(message["retain"])})
                answer = condition(self.messages)
        return answer

    def latest(self):
        """{topic: payload} of the last message on each topic."""
        return {m["topic"]: m["payload"] for m in self.messages}

    def close(self):
        stop(self.process)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

#!/usr/bin/python3
"""Figures of the page's port under hostile connections, against veldrind
(page over HTTPS, remote listener in clear text on loopback) driving the
emulator veldrin-sim, with the unit's limit of 1,024 descriptors:

  /usr/bin/python3 bench/webconn_bench.py BUILD/bin

prints FIGURE lines: an HTTPS request's answer time while 200 silent TCP
connections are held on the page's port; after 40 connections opened and
closed at once and 40 plain-HTTP requests on it; then, over HTTPS and again
with the page in clear text, the daemon's descriptors with 1,100 idle
connections from other addresses (127.0.0.10 ...) and the answer times of a
page request and of a remote login meanwhile. Loopback only.
"""

import http.client
import os
import resource
import socket
import ssl
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web", "browser"))
import browser_test as bt  # noqa: E402  (the rig: emulator, daemon)

UNIT_LIMIT = 1024


class TlsRig(bt.Rig):
    """The browser tests' rig with the unit's limit, the page over HTTPS
    unless tls is False."""

    def __init__(self, tls=True):
        self.tls = tls
        self.certdir = tempfile.TemporaryDirectory(prefix="veldrin-cert-")
        self.cert = os.path.join(self.certdir.name, "cert.pem")
        self.key = os.path.join(self.certdir.name, "key.pem")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", self.key, "-out", self.cert, "-days", "2", "-subj", "/CN=localhost"],
            check=True, capture_output=True)
        super().__init__(time_scale=1)

    def start_daemon(self):
        with open(self.config) as f:
            text = f.read()
        if self.tls and "TLSCertificate" not in text:
            text = text.replace("[Web]\n", "[Web]\nTLSCertificate=%s\nTLSKey=%s\n" % (self.cert, self.key))
            with open(self.config, "w") as f:
                f.write(text)
        super().start_daemon()
        resource.prlimit(self.daemon.pid, resource.RLIMIT_NOFILE, (UNIT_LIMIT, UNIT_LIMIT))

    def http(self, method, path, body=None, headers=None):
        if not self.tls:
            return super().http(method, path, body, headers)
        # The rig's own request, over an HTTPS connection that takes the
        # self-made certificate.
        plain = http.client.HTTPConnection
        http.client.HTTPConnection = lambda host, port, timeout: http.client.HTTPSConnection(
            host, port, timeout=timeout, context=ssl._create_unverified_context())
        try:
            return super().http(method, path, body, headers)
        finally:
            http.client.HTTPConnection = plain

    def remote_port(self):
        with open(self.config) as f:
            for line in f:
                if line.startswith("ListenPort="):
                    return int(line.split("=", 1)[1])
        raise AssertionError("no ListenPort")


def timed(call):
    """Seconds call() takes; None when it fails (or takes more than 10 s)."""
    start = time.monotonic()
    try:
        call()
    except (OSError, AssertionError) as e:
        print("  failed: %s" % e)
        return None
    return time.monotonic() - start


def https_get(rig):
    status, _, _ = rig.http("GET", "/api/session")
    assert status == 200, status


def remote_login(rig):
    with socket.create_connection(("127.0.0.1", rig.remote_port()), timeout=10) as s:
        s.sendall((bt.PASSWORD + "\n").encode())
        got = b""
        while b"\n" not in got:
            chunk = s.recv(256)
            if not chunk:
                break
            got += chunk
        assert got.startswith(b"OK"), got


def open_idle(port, count, first_address, per_address):
    """count connections that send nothing, per_address from each of
    127.0.0.first_address on; non-blocking, so a full backlog does not stall."""
    socks = []
    for i in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.bind(("127.0.0.%d" % (first_address + i // per_address), 0))
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
    return socks


def close_all(socks):
    for s in socks:
        s.close()


def figure(name, seconds):
    print("FIGURE %s %s" % (name, "failed" if seconds is None else "%.3f" % seconds))


def fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def idle_figures(rig, kind):
    idle = open_idle(rig.port, 1100, 10, 50)
    # Connections beyond the listen backlog come in as the client retries:
    # the most the daemon holds over 8 s.
    held = 0
    for _ in range(16):
        time.sleep(0.5)
        held = max(held, fds(rig.daemon.pid))
    print("FIGURE web_%s_daemon_descriptors_1100_idle %d (limit %d)" % (kind, held, UNIT_LIMIT))
    figure("web_%s_answer_s_1100_idle" % kind, timed(lambda: https_get(rig)))
    figure("remote_login_answer_s_1100_idle_%s" % kind, timed(lambda: remote_login(rig)))
    close_all(idle)
    print("daemon alive: %s" % (rig.daemon.poll() is None))


def main():
    bt.BIN = os.path.abspath(sys.argv[1])
    rig = TlsRig()
    try:
        print("daemon descriptors at rest: %d" % fds(rig.daemon.pid))

        silent = open_idle(rig.port, 200, 2, 200)
        time.sleep(0.5)
        figure("web_https_answer_s_200_silent", timed(lambda: https_get(rig)))
        close_all(silent)

        dropped = open_idle(rig.port, 40, 3, 40)
        time.sleep(0.1)
        close_all(dropped)
        plain = open_idle(rig.port, 40, 4, 40)
        time.sleep(0.1)
        for s in plain:
            try:
                s.send(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            except OSError:
                pass
        figure("web_https_answer_s_after_40_dropped_40_plain", timed(lambda: https_get(rig)))
        close_all(plain)
        idle_figures(rig, "https")
    finally:
        rig.close()
        rig.certdir.cleanup()
    rig = TlsRig(tls=False)
    try:
        idle_figures(rig, "http")
    finally:
        rig.close()
        rig.certdir.cleanup()


if __name__ == "__main__":
    main()

"""Fixtures of the Python tests: velk_sim children on pseudo-terminals and a
device table that names nothing real, so no test touches a real port."""

import os
import select
import subprocess
import time

import pytest

import velk

SIM = os.environ.get("VELK_SIM", "velk_sim")


class Sim:
    """A velk_sim child process; `paths` are its ports' devices."""

    def __init__(self, *args, ports=1, timeout=10.0):
        self.proc = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.paths = []
        out = b""
        deadline = time.monotonic() + timeout
        while out.count(b"\n") < ports:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                self.stop()
                raise RuntimeError(f"velk_sim {' '.join(args)} printed no ports: {self.proc.stderr.read()!r}")
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                self.stop()
                raise RuntimeError(f"velk_sim {' '.join(args)} ended: {self.proc.stderr.read()!r}")
            out += chunk
        self.paths = [line.split()[0].decode() for line in out.splitlines()[:ports]]

    @property
    def path(self):
        return self.paths[0]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture(scope="session", autouse=True)
def no_real_ports():
    for i in range(velk.binding.PORT_COUNT):
        velk.map_port(i, f"/nonexistent/velk-port-{i}")


@pytest.fixture(scope="module")
def sim_factory():
    started = []

    def start(*args, ports=1):
        s = Sim(*args, ports=ports)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


def wait_until(cond, timeout=5.0):
    """Waits for cond() with a deadline, sleeping in short steps."""
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True

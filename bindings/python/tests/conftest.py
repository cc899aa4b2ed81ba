"""Fixtures of the zevsite package's tests: a real collector (the zevsite-collector program
named by ZEVSITE_COLLECTOR) on a free loopback port, storing into SQLite and writing each
event it stores as a JSON line, and the SDK set up once for the test session (the SDK keeps
process-wide state, as a host process does)."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Dict, Iterator, List

import pytest

# The package under test: the installed one, else the source next to these tests.
try:
    import zevsite  # noqa: F401
except ImportError:
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    import zevsite  # noqa: F401

Event = Dict[str, str]


class Collector:
    """A running zevsite-collector and the events it stored."""

    def __init__(self, program: str, directory: Path) -> None:
        self.jsonl = directory / "events.jsonl"
        self.output = directory / "collector.out"
        with open(self.output, "wb") as output:
            self.process = subprocess.Popen(
                [program, "--port", "0", "--db", f"sqlite:{directory / 'events.sqlite'}",
                 "--jsonl", str(self.jsonl)],
                stdout=output, stderr=subprocess.STDOUT)
        self.url = self._wait_for_url()

    def _wait_for_url(self) -> str:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            match = re.search(r"collecting at (\S+)", self.output.read_text(errors="replace"))
            if match:
                return match.group(1)
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("the collector did not start: " + self.output.read_text())

    def events(self) -> List[Event]:
        if not self.jsonl.exists():
            return []
        lines = self.jsonl.read_text(encoding="utf-8").splitlines()
        return [json.loads(line) for line in lines if line.endswith("}")]

    def wait_for(self, predicate: Callable[[List[Event]], bool], timeout: float = 30.0) -> bool:
        """Polls the stored events until `predicate` holds; the deadline is only reached when
        the events never arrive."""
        deadline = time.monotonic() + timeout
        while True:
            if predicate(self.events()):
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


@pytest.fixture(scope="session")
def collector(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Collector]:
    program = os.environ.get("ZEVSITE_COLLECTOR")
    if not program or not os.access(program, os.X_OK):
        pytest.fail("set ZEVSITE_COLLECTOR to the zevsite-collector program "
                    "(scripts/test-python.sh does)")
    running = Collector(program, tmp_path_factory.mktemp("collector"))
    yield running
    running.stop()


class Captured:
    """Log lines and observed events, written from SDK threads."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.lines: List[str] = []
        self.events: List[tuple] = []

    def line(self, text: str) -> None:
        with self.lock:
            self.lines.append(text)

    def event(self, name: str, upload: str) -> None:
        with self.lock:
            self.events.append((name, upload, threading.get_ident()))

    def lines_with(self, text: str) -> List[str]:
        with self.lock:
            return [line for line in self.lines if text in line]


@pytest.fixture(scope="session")
def sdk(collector: Collector, tmp_path_factory: pytest.TempPathFactory) -> Captured:
    """The SDK pointed at the collector, with a home of its own, the log on and captured,
    and Wi-Fi as the network status."""
    captured = Captured()
    zevsite.set_home_directory(tmp_path_factory.mktemp("home"))
    zevsite.set_collect_url(collector.url)
    zevsite.set_request_timeout(5.0)
    zevsite.set_network_status_provider(lambda: zevsite.NetworkStatus.WIFI)
    zevsite.set_log_sink(captured.line)
    zevsite.set_enable_log(True)
    zevsite.set_event_observer(captured.event)
    return captured


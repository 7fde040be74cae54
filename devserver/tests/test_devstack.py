"""scripts/devstack itself: start-up on a loaded machine, failed start-ups, and what is left
running afterwards. Each test uses a state directory of its own."""

import os
import shlex
import socket
import subprocess
import sys
import tempfile

import pytest

from conftest import ROOT

SCRIPT = os.path.join(ROOT, "scripts", "devstack")


def devstack(state, command, timeout=300, **env):
    full = dict(os.environ, LUMO_DEVSTACK_DIR=state, **env)
    return subprocess.run([SCRIPT, command], env=full, capture_output=True, text=True, timeout=timeout)


def exports(stdout):
    """The NAME=value pairs of `start`'s export lines, unquoted as the shell would."""
    values = {}
    for line in stdout.splitlines():
        words = shlex.split(line)
        assert words[0] == "export" and len(words) == 2, line
        name, _, value = words[1].partition("=")
        values[name] = value
    return values


def processes_of(state):
    """Pids of live processes whose command line names the state directory."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{entry}/stat", "rb") as f:
                zombie = f.read().rsplit(b") ", 1)[1].startswith(b"Z")
        except OSError:
            continue
        if state.encode() in cmdline and not zombie:
            found.append(int(entry))
    return found


@pytest.fixture
def state():
    with tempfile.TemporaryDirectory(prefix="lumo-devstack-startup-") as path:
        yield path
        devstack(path, "stop")
        assert processes_of(path) == []


@pytest.fixture
def busy_cores():
    """Two busy loops, one per core, for the length of a test."""
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
    yield
    for loop in loops:
        loop.kill()
        loop.wait()


def test_twenty_start_stop_cycles_on_a_busy_machine(state, busy_cores):
    for cycle in range(20):
        started = devstack(state, "start")
        assert started.returncode == 0, f"cycle {cycle}:\n{started.stderr}"
        assert exports(started.stdout)["LUMO_API_BASE"].startswith("http://127.0.0.1:")
        assert len(processes_of(state)) == 2, f"cycle {cycle}: s3rver and the devserver"
        stopped = devstack(state, "stop")
        assert stopped.returncode == 0, stopped.stderr
        assert processes_of(state) == [], f"cycle {cycle}: left running"


def test_a_second_start_reuses_the_running_stack(state):
    first = devstack(state, "start")
    assert first.returncode == 0, first.stderr
    pids = sorted(processes_of(state))
    second = devstack(state, "start")
    assert second.returncode == 0, second.stderr
    assert "already running" in second.stderr
    assert exports(second.stdout) == exports(first.stdout)
    assert sorted(processes_of(state)) == pids


def fake_command(directory, body):
    path = os.path.join(directory, "fake")
    with open(path, "w", encoding="ascii") as f:
        f.write(f"#!/bin/sh\n{body}\n")
    os.chmod(path, 0o755)
    return path


@pytest.mark.parametrize(
    "case",
    [
        # s3rver dies before it listens.
        dict(env={"LUMO_DEVSTACK_S3RVER_CMD": "echo 's3rver: cannot open the data folder' >&2; exit 3"},
             message="s3rver exited during start-up", log="cannot open the data folder"),
        # s3rver never says that it listens.
        dict(env={"LUMO_DEVSTACK_S3RVER_CMD": "exec python3 -c 'import time; time.sleep(600)' \"$@\"", "LUMO_DEVSTACK_TIMEOUT": "3"},
             message="s3rver did not start within 3s", log=None),
        # The devserver dies after s3rver came up: s3rver is stopped too.
        dict(env={"LUMO_DEVSTACK_DEVSERVER_CMD": "echo 'devserver: cannot start' >&2; exit 2"},
             message="the devserver exited during start-up", log="devserver: cannot start"),
    ],
    ids=["s3rver-dies", "s3rver-hangs", "devserver-dies"],
)
def test_a_failed_start_up_stops_everything_and_says_why(state, case):
    env = {name: value if not name.endswith("_CMD") else fake_command(state, value)
           for name, value in case["env"].items()}
    started = devstack(state, "start", **env)
    assert started.returncode == 1
    assert started.stdout == ""
    assert f"devstack: error: {case['message']}" in started.stderr
    if case["log"]:
        assert case["log"] in started.stderr, "the last lines of the log"
    assert processes_of(state) == []
    assert "not running" in devstack(state, "status").stdout


def test_a_taken_port_is_a_clear_failure(state):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        started = devstack(state, "start", LUMO_DEVSERVER_PORT=str(taken.getsockname()[1]))
    assert started.returncode == 1
    assert "devstack: error: the devserver exited during start-up" in started.stderr
    assert "Address already in use" in started.stderr
    assert processes_of(state) == []

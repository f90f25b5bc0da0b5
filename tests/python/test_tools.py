"""python-can's own programs on the interface: can.logger records on CAN2 of
one emulated adapter what velk_send sends on another adapter wired to the
same bus, can.player replays the file on the first adapter's CAN1, and the
frames arrive unchanged at the other end."""

import contextlib
import os
import select
import signal
import subprocess
import sys
import tty

import can
import pytest

from conftest import SIM

BUILD = os.environ.get("VELK_BUILD_DIR", "")
VELK_SEND = os.environ.get("VELK_SEND") or os.path.join(BUILD, "tools", "velk_send")


def sim_has_bus_wires():
    out = subprocess.run([SIM, "--help"], capture_output=True, text=True).stdout
    return "--bus" in out


pytestmark = pytest.mark.skipif(not (os.access(VELK_SEND, os.X_OK) and sim_has_bus_wires()),
                                reason="needs velk_send and velk_sim --bus")

# velk_send's frame texts and the frames they are.
FRAMES = [
    ("123#DEADBEEF", can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\xDE\xAD\xBE\xEF")),
    ("1ABCDEF0#0011223344556677", can.Message(arbitration_id=0x1ABCDEF0, data=bytes.fromhex("0011223344556677"))),
    ("7FF#", can.Message(arbitration_id=0x7FF, is_extended_id=False)),
    ("456#R5", can.Message(arbitration_id=0x456, is_extended_id=False, is_remote_frame=True, dlc=5)),
    ("00000001#R", can.Message(arbitration_id=1, is_remote_frame=True, dlc=0)),
    ("321#01", can.Message(arbitration_id=0x321, is_extended_id=False, data=b"\x01")),
]
# Sent last: once the logger has written it, every frame before it is in the file.
LAST = ("7AB#E0F0", can.Message(arbitration_id=0x7AB, is_extended_id=False, data=b"\xE0\xF0"))


def key_in_file(m):
    # python-can 4.1 writes a remote frame to a candump log as "456#R",
    # without the length it asks for, so a file and its replay carry none.
    return (m.arbitration_id, m.is_extended_id, m.is_remote_frame, 0 if m.is_remote_frame else m.dlc, bytes(m.data))


def read_lines_until(fd, marker, timeout=20.0):
    """What the logger wrote until a line containing `marker`."""
    out = b""
    while marker not in out:
        ready, _, _ = select.select([fd], [], [], timeout)
        assert ready, f"the logger wrote no {marker!r}; so far {out!r}"
        out += os.read(fd, 4096)
    while not out.endswith(b"\n"):
        out += os.read(fd, 4096)
    return out.decode()


@contextlib.contextmanager
def can_logger_on_a_terminal(port, path, env):
    """python-can's logger on PORT:CAN2 writing to PATH, which is a terminal
    while it runs, so each line is written as the logger gets it and the test
    sees when the last frame is in. Yields the logger and the terminal's
    reading end; PATH is left free for the text read from it."""
    master, slave = os.openpty()
    tty.setraw(slave)
    os.symlink(os.ttyname(slave), path)
    logger = subprocess.Popen([sys.executable, "-m", "can.logger", "-i", "velk", "-c", f"{port}:CAN2", "-b", "500000",
                               "-f", str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        line = logger.stdout.readline().decode()
        assert line.startswith("Connected to VelkBus"), line + logger.stderr.read().decode()
        yield logger, master
    finally:
        if logger.poll() is None:
            logger.kill()
            logger.wait()
        logger.stdout.close()
        logger.stderr.close()
        os.close(master)
        os.close(slave)
    path.unlink()


def stop_logger(logger):
    logger.send_signal(signal.SIGINT)
    assert logger.wait(30) == 0, logger.stderr.read().decode()


def test_logger_records_what_velk_send_sends_and_player_replays_it(sim_factory, tmp_path):
    a, b = str(tmp_path / "ttyA"), str(tmp_path / "ttyB")
    sim_factory("-A", "2", "--link", a, "--link", b, "--bus", "1.CAN1=0.CAN2", "--bus", "0.CAN1=1.CAN2", ports=2)
    env = dict(os.environ, PYTHONUNBUFFERED="1")

    log = tmp_path / "out.log"
    with can_logger_on_a_terminal(a, log, env) as (logger, master):
        sent = subprocess.run([VELK_SEND, "-b", "500k", b, "CAN1", *(t for t, _ in FRAMES), LAST[0]],
                              capture_output=True, text=True, timeout=60)
        assert sent.returncode == 0, sent.stderr
        text = read_lines_until(master, b" 7AB#E0F0")
        stop_logger(logger)
    log.write_text(text)
    want = [m for _, m in FRAMES] + [LAST[1]]
    recorded = list(can.LogReader(str(log)))
    assert [key_in_file(m) for m in recorded] == [key_in_file(m) for m in want]

    with can.Bus(interface="velk", channel=f"{b}:CAN2", bitrate=500000) as rx:
        played = subprocess.run([sys.executable, "-m", "can.player", "-i", "velk", "-c", f"{a}:CAN1", "-b", "500000",
                                 str(log)], capture_output=True, text=True, timeout=60, env=env)
        assert played.returncode == 0, played.stderr
        got = [rx.recv(5.0) for _ in want]
        assert [key_in_file(m) if m else None for m in got] == [key_in_file(m) for m in want]
        assert rx.recv(0.2) is None


# ---- recorded channels ----

VELK_REPLAY = os.environ.get("VELK_REPLAY") or os.path.join(BUILD, "tools", "velk_replay")

# velk_send's frame texts sent on CAN1 and on CAN2 of the second adapter.
ON_CAN1 = ["101#11", "1ABCDE01#0102030405060708", "102#R3"]
ON_CAN2 = ["201#22", "7FF#", "1ABCDE02#AA.BB"]


def frame_key(m):
    return (m.arbitration_id, m.is_extended_id, m.is_remote_frame, bytes(m.data))


def wired_pair(sim_factory, tmp_path):
    """Two adapters with CAN1 wired to CAN1 and CAN2 to CAN2: what velk_send
    or velk_replay sends on the second, the first receives on that channel."""
    a, b = str(tmp_path / "ttyA"), str(tmp_path / "ttyB")
    sim_factory("-A", "2", "--link", a, "--link", b, "--bus", "0.CAN1=1.CAN1", "--bus", "0.CAN2=1.CAN2", ports=2)
    return a, b


def send_frames(port, channel, texts):
    sent = subprocess.run([VELK_SEND, "-b", "500k", port, channel, *texts], capture_output=True, text=True,
                          timeout=60)
    assert sent.returncode == 0, sent.stderr


def expected(texts):
    out = []
    for t in texts:
        fid, _, data = t.partition("#")
        remote = data.startswith("R")
        out.append((int(fid, 16), len(fid) == 8, remote, b"" if remote else bytes.fromhex(data.replace(".", ""))))
    return out


def replay_and_receive(a, b, path, counts):
    """velk_replay sends the file on the second adapter; what the first
    adapter's CAN1 and CAN2 receive."""
    with can.Bus(interface="velk", channel=f"{a}:CAN1", bitrate=500000) as rx1, \
            can.Bus(interface="velk", channel=f"{a}:CAN2", bitrate=500000) as rx2:
        played = subprocess.run([VELK_REPLAY, "-g", "1", b, str(path)], capture_output=True, text=True, timeout=60)
        assert played.returncode == 0, played.stderr
        got = []
        for bus, n in zip((rx1, rx2), counts):
            msgs = [bus.recv(5.0) for _ in range(n)]
            assert None not in msgs, msgs
            assert bus.recv(0.2) is None
            got.append([frame_key(m) for m in msgs])
        return got


@pytest.mark.parametrize("suffix", [".asc", ".blf", ".log", ".csv"])
def test_python_can_writers_record_the_adapters_channels(sim_factory, tmp_path, suffix):
    """Frames received on CAN1 and CAN2, written by python-can's writer of
    each format (can.Logger, as can.logger uses it), are on ASC/BLF channel
    1 and 2 and candump interfaces can0 and can1, and velk_replay plays
    each text trace back onto the channel it came from."""
    a, b = wired_pair(sim_factory, tmp_path)
    path = tmp_path / f"out{suffix}"
    with can.Bus(interface="velk", channel=f"{a}:CAN1", bitrate=500000) as bus1, \
            can.Bus(interface="velk", channel=f"{a}:can2", bitrate=500000) as bus2:
        writer = can.Logger(str(path))
        for bus, channel, texts in ((bus1, "CAN1", ON_CAN1), (bus2, "CAN2", ON_CAN2)):
            send_frames(b, channel, texts)
            for _ in texts:
                m = bus.recv(5.0)
                assert m is not None and m.channel == (0 if channel == "CAN1" else 1)
                writer.on_message_received(m)
        writer.stop()
    want1, want2 = expected(ON_CAN1), expected(ON_CAN2)

    read = list(can.LogReader(str(path)))
    if suffix == ".csv":  # python-can's CSV has no channel column
        assert [frame_key(m) for m in read] == want1 + want2
        return
    if suffix == ".log":
        assert [m.channel for m in read] == ["can0"] * 3 + ["can1"] * 3
        text = path.read_text()
        assert " can0 101#11 R\n" in text and " can1 201#22 R\n" in text
    else:
        assert [m.channel for m in read] == [0] * 3 + [1] * 3  # the readers' 0-based numbers
    if suffix == ".asc":
        assert [line.split()[1] for line in path.read_text().splitlines() if " Rx " in line] == ["1"] * 3 + ["2"] * 3
    assert [frame_key(m) for m in read] == want1 + want2

    if suffix in (".asc", ".log"):  # the text traces velk_replay reads
        assert replay_and_receive(a, b, path, (3, 3)) == [want1, want2]


def test_can_logger_records_can2_as_asc_channel_2_and_velk_replay_plays_it(sim_factory, tmp_path):
    a, b = wired_pair(sim_factory, tmp_path)
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    path = tmp_path / "out.asc"
    with can_logger_on_a_terminal(a, path, env) as (logger, master):
        send_frames(b, "CAN2", ON_CAN2)
        text = read_lines_until(master, b" AA BB")
        stop_logger(logger)
    path.write_text(text)
    assert [ln.split()[1] for ln in text.splitlines() if " Rx " in ln] == ["2"] * 3
    assert [(m.channel, frame_key(m)) for m in can.LogReader(str(path))] == [(1, k) for k in expected(ON_CAN2)]
    assert replay_and_receive(a, b, path, (0, 3)) == [[], expected(ON_CAN2)]

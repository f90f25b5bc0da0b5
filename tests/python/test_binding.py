"""The binding: records laid out as the C compiler lays them out, and the
Pythonic layer against an emulated adapter."""

import ctypes
import os
import subprocess
import sys
import time

import pytest

import velk
from velk import binding as b


def c_layout():
    out = subprocess.run([os.environ["VELK_RECORD_LAYOUT"]], check=True, capture_output=True, text=True).stdout
    sizes, offsets = {}, {}
    for line in out.splitlines():
        name, value = line.split()
        (offsets if "." in name else sizes)[name] = int(value)
    return sizes, offsets


def test_every_record_has_the_c_size_and_field_offsets():
    sizes, offsets = c_layout()
    assert set(sizes) == set(b.RECORDS)
    for name, cls in b.RECORDS.items():
        assert ctypes.sizeof(cls) == sizes[name], name
        fields = {f"{name}.{f[0]}" for f in cls._fields_}
        assert fields == {k for k in offsets if k.startswith(name + ".")}, name
        for field in cls._fields_:
            assert getattr(cls, field[0]).offset == offsets[f"{name}.{field[0]}"], f"{name}.{field[0]}"


def test_library_globals_are_reachable():
    lib = b.library()
    assert bytes(lib.show_ver_cmd) == b"55\r\n"
    assert bytes(lib.get_bus_cmd) == b"bb\r\n"
    assert len(lib.comports) == b.PORT_COUNT
    assert len(lib.send_delay) == 2 and not lib.first


def test_a_missing_library_is_named_with_every_place_tried():
    code = "import velk\ntry:\n    velk.library()\nexcept velk.LibraryNotFound as e:\n    print(e)\n"
    env = dict(os.environ, VELK_LIB="/nonexistent/libvelk_2.so")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True).stdout
    assert "cannot load libvelk_2.so" in out and "/nonexistent/libvelk_2.so" in out


@pytest.fixture(scope="module")
def adapter(sim_factory):
    sim = sim_factory("--loopback")
    a = velk.Adapter(sim.path)
    yield a
    a.close()


def test_a_device_path_goes_into_a_free_entry_of_the_port_table(adapter):
    assert velk.port_path(adapter.index) == adapter.path
    assert velk.resolve_port(adapter.path) == adapter.index
    assert adapter.index in velk.open_ports()
    assert velk.resolve_port("24") == 24


def test_versions_and_configuration_are_read(adapter):
    v = adapter.versions()
    assert (v.fw, v.api, v.model, v.generation) == ("03.02", "3.1.0", "5102", 3)
    adapter.set_bitrates(250000, 1000000)
    adapter.set_fd((True, 4), (False, 2))
    adapter.set_filter(b.VELK_CAN_2, b.VELK_EID, 0x1234, 0x1FFFFFFF)
    cfg = adapter.config()
    assert [c.bitrate_code for c in cfg.channels] == [6, 9]
    assert (cfg.channels[0].fd_enabled, cfg.channels[0].data_rate_code) == (True, 4)
    assert (cfg.channels[1].filter_type, cfg.channels[1].filter_id, cfg.channels[1].filter_mask) == \
        (b.VELK_EID, 0x1234, 0x1FFFFFFF)
    adapter.clear_filter(b.VELK_CAN_2)
    assert adapter.config().channels[1].filter_type == 0


def test_unsupported_rates_list_the_possible_ones(adapter):
    with pytest.raises(velk.UnsupportedRate, match=r"333333 bit/s .* can do 5000, 10000, .*, 1000000 bit/s"):
        adapter.set_bitrates(333333, 500000)
    with pytest.raises(velk.UnsupportedRate, match=r"2000000, 4000000, 5000000, 6000000, 8000000, 10000000"):
        velk.data_code(3000000)
    assert velk.nominal_rates(2)[0] == 100000


def test_frames_sent_on_one_channel_are_received_on_the_other(adapter):
    adapter.start(True, True)
    assert adapter.channel_status() == (True, True)
    sent = [velk.Frame(channel=0, id=0x123, data=b"\x01\x02\x03"),
            velk.Frame(channel=1, id=0x1ABCDEF, extended=True, remote=True, dlc=4),
            velk.Frame(channel=0, id=0x7FF, fd=True, brs=True, data=bytes(range(64))),
            velk.Frame(channel=1, id=0x10, fd=True, data=bytes(range(10)))]
    for f in sent:
        adapter.send(f)
    got = [adapter.receive(2.0) for _ in sent]
    for s, g in zip(sent, got):
        assert g is not None and g.kind == b.VELK_DATA_TYPE
        assert (g.channel, g.id, g.extended, g.remote, g.fd, g.brs) == (1 - s.channel, s.id, s.extended, s.remote,
                                                                        s.fd, s.brs)
        assert g.data == (s.data + bytes(12 - len(s.data)) if len(s.data) == 10 else s.data)
        assert g.adapter_time is not None and len(g.recv_time) == 12
    assert got[1].dlc == 4


def test_receive_returns_none_after_its_time_out(adapter):
    t0 = time.monotonic()
    assert adapter.receive(0.2) is None
    assert 0.19 <= time.monotonic() - t0 < 1.0


def test_frames_that_cannot_exist_are_refused_before_sending(adapter):
    with pytest.raises(ValueError, match="0x800 does not fit 11 bits"):
        adapter.send(velk.Frame(id=0x800))
    with pytest.raises(ValueError, match="at most 8 bytes"):
        adapter.send(velk.Frame(data=bytes(9)))
    with pytest.raises(ValueError, match="at most 64 bytes"):
        adapter.send(velk.Frame(fd=True, data=bytes(65)))


def test_failures_name_the_call_and_the_port(sim_factory):
    with pytest.raises(velk.VelkError, match=r"VELKOpenDevice failed on port \d+ \(/nonexistent/tty\): no adapter"):
        velk.Adapter("/nonexistent/tty")
    a = velk.Adapter(sim_factory().path)
    a.close()
    a.close()
    with pytest.raises(velk.VelkError, match=rf"VELKShowVer failed on port {a.index} .*closed"):
        a.versions()
    with pytest.raises(ValueError, match="outside 0..67"):
        velk.Adapter(68)

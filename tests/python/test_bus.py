"""The python-can interface against an emulated adapter whose CAN1 and CAN2
share one bus (loopback): what one bus sends the other receives."""

import os
import select
import subprocess
import sys
import threading
import time

import can
import pytest
from can import BusState, Message
from can.exceptions import CanInitializationError, CanOperationError

import velk
from velk import binding as b

FD_LENGTHS = (0, 1, 7, 8, 9, 12, 13, 16, 20, 24, 31, 32, 48, 64)


@pytest.fixture(scope="module")
def pair(sim_factory):
    """Bus 1 on CAN1 and bus 2 on CAN2 of one adapter, CAN FD on."""
    path = sim_factory("--loopback").path
    opts = dict(interface="velk", bitrate=500000, fd=True, data_bitrate=2000000)
    bus1 = can.Bus(channel=f"{path}:CAN1", **opts)
    bus2 = can.Bus(channel=f"{path}:CAN2", **opts)
    yield bus1, bus2
    bus1.shutdown()
    bus2.shutdown()


def adapter_channel(bus):
    """The Message.channel of a bus's frames: 0 for CAN1, 1 for CAN2."""
    return {"CAN1": 0, "CAN2": 1}[bus.channel.rpartition(":")[2].upper()]


def assert_same_frame(sent, got, bus):
    assert got is not None, f"{sent} was not received"
    assert got.arbitration_id == sent.arbitration_id
    assert got.is_extended_id == sent.is_extended_id
    assert got.is_remote_frame == sent.is_remote_frame
    assert got.is_fd == sent.is_fd
    assert got.bitrate_switch == sent.bitrate_switch
    assert got.error_state_indicator == sent.error_state_indicator
    assert got.is_error_frame is False and got.is_rx is True
    assert got.channel == adapter_channel(bus)
    if sent.is_fd:
        n = velk.DLC_LENGTHS[velk.adapter.dlc_for_length(len(sent.data))]
        assert got.data == sent.data + bytes(n - len(sent.data)) and got.dlc == n
    else:
        assert got.dlc == sent.dlc
        assert got.data == (b"" if sent.is_remote_frame else sent.data)
    assert abs(got.timestamp - time.time()) < 5


def send_and_receive(sender, receiver, msgs):
    for m in msgs:
        sender.send(m)
    got = [receiver.recv(2.0) for _ in msgs]
    for m, g in zip(msgs, got):
        assert_same_frame(m, g, receiver)
    assert receiver.recv(0) is None
    return got


def test_classic_standard_frames_of_0_to_8_bytes_arrive(pair):
    bus1, bus2 = pair
    send_and_receive(bus1, bus2, [Message(arbitration_id=0x100 + n, is_extended_id=False, data=bytes(range(n)))
                                  for n in range(9)])


def test_extended_frames_arrive_in_both_directions(pair):
    bus1, bus2 = pair
    msgs = [Message(arbitration_id=0x1FFFFFFF - n, is_extended_id=True, data=bytes([n] * n)) for n in range(9)]
    send_and_receive(bus1, bus2, msgs)
    send_and_receive(bus2, bus1, msgs)


def test_remote_frames_keep_their_length(pair):
    bus1, bus2 = pair
    send_and_receive(bus2, bus1, [Message(arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=3),
                                  Message(arbitration_id=0x12345, is_extended_id=True, is_remote_frame=True, dlc=8)])


@pytest.mark.parametrize("brs", [False, True])
def test_can_fd_frames_of_0_to_64_bytes_arrive_with_and_without_bit_rate_switch(pair, brs):
    bus1, bus2 = pair
    send_and_receive(bus1, bus2, [Message(arbitration_id=0x200 + n, is_extended_id=n % 2 == 1, is_fd=True,
                                          bitrate_switch=brs, error_state_indicator=n == 9, data=bytes(range(n)))
                                  for n in FD_LENGTHS])


def test_a_mixed_burst_arrives_in_order_and_none_is_lost(pair):
    bus1, bus2 = pair
    msgs = []
    for i in range(300):
        kind = i % 4
        if kind == 0:
            msgs.append(Message(arbitration_id=i, is_extended_id=False, data=i.to_bytes(2, "big")))
        elif kind == 1:
            msgs.append(Message(arbitration_id=0x10000 + i, is_extended_id=True, is_remote_frame=True, dlc=i % 9))
        else:
            msgs.append(Message(arbitration_id=i, is_extended_id=kind == 3, is_fd=True, bitrate_switch=kind == 2,
                                data=bytes([i & 0xFF]) * (i % 65)))
    send_and_receive(bus2, bus1, msgs)


def test_frames_of_the_other_channel_wait_for_their_bus(pair):
    """Whichever bus reads the port, each frame goes to the bus of its channel."""
    bus1, bus2 = pair
    to1 = [Message(arbitration_id=0x300 + i, is_extended_id=False, data=[i]) for i in range(20)]
    to2 = [Message(arbitration_id=0x400 + i, is_extended_id=False, data=[i]) for i in range(20)]
    for a, c in zip(to1, to2):
        bus2.send(a)
        bus1.send(c)
    got1 = [bus1.recv(2.0) for _ in to1]
    # Bus 1 has read past every frame for bus 2 but the last and queued them there.
    assert len(bus2._queue) >= len(to2) - 1
    got2 = [bus2.recv(2.0) for _ in to2]
    for m, g in zip(to1, got1):
        assert_same_frame(m, g, bus1)
    for m, g in zip(to2, got2):
        assert_same_frame(m, g, bus2)


def test_two_threads_read_the_two_buses_at_once_and_lose_nothing(pair):
    bus1, bus2 = pair
    n = 400
    got = {1: [], 2: []}

    def reader(bus, key):
        while len(got[key]) < n:
            m = bus.recv(3.0)
            if m is None:
                return
            got[key].append(m.arbitration_id)

    threads = [threading.Thread(target=reader, args=(bus1, 1)), threading.Thread(target=reader, args=(bus2, 2))]
    for t in threads:
        t.start()
    for i in range(n):
        bus1.send(Message(arbitration_id=i, is_extended_id=False))
        bus2.send(Message(arbitration_id=0x400 + i, is_extended_id=False))
    for t in threads:
        t.join(30)
    assert got[2] == list(range(n))
    assert got[1] == [0x400 + i for i in range(n)]


def test_own_messages_are_received_when_asked_for(pair):
    bus1, bus2 = pair
    bus1.receive_own_messages = True
    try:
        sent = Message(arbitration_id=0x55, is_extended_id=False, data=b"own")
        bus1.send(sent)
        own = bus1.recv(1.0)
        assert own.arbitration_id == 0x55 and own.data == b"own" and own.is_rx is False
        assert bus2.recv(1.0).is_rx is True
    finally:
        bus1.receive_own_messages = False


def test_fileno_is_readable_while_a_frame_waits(pair):
    bus1, bus2 = pair
    fd = bus2.fileno()
    assert select.select([fd], [], [], 0)[0] == []
    bus1.send(Message(arbitration_id=0x66, is_extended_id=False))
    assert select.select([fd], [], [], 2.0)[0] == [fd]
    bus2.send(Message(arbitration_id=0x67, is_extended_id=False))
    assert bus1.recv(2.0).arbitration_id == 0x67  # bus 1's read also queued bus 2's frame
    assert select.select([fd], [], [], 0)[0] == [fd]
    assert bus2.recv(0).arbitration_id == 0x66
    assert select.select([fd], [], [], 0)[0] == []


def adapter_config(bus):
    with bus._port.command() as adapter:
        return adapter.config()


def test_a_single_filter_with_its_identifier_type_goes_into_the_adapter(pair):
    bus1, bus2 = pair
    bus2.set_filters([{"can_id": 0x120, "can_mask": 0x7F0, "extended": False}])
    try:
        ch = adapter_config(bus2).channels[1]
        assert (ch.filter_type, ch.filter_id, ch.filter_mask) == (b.VELK_SID, 0x120, 0x7F0)
        for fid, ext in ((0x223, False), (0x123, True), (0x123, False)):
            bus1.send(Message(arbitration_id=fid, is_extended_id=ext))
        msg, filtered = bus2._recv_internal(2.0)
        assert (msg.arbitration_id, msg.is_extended_id, filtered) == (0x123, False, True)
        assert bus2.recv(0.2) is None
    finally:
        bus2.set_filters(None)
    assert adapter_config(bus2).channels[1].filter_type == 0


def test_filters_the_adapter_cannot_hold_are_applied_on_the_host(pair):
    bus1, bus2 = pair
    bus2.set_filters([{"can_id": 0x10, "can_mask": 0x7FF}, {"can_id": 0x1000, "can_mask": 0x1FFFF000,
                                                            "extended": True}])
    try:
        assert adapter_config(bus2).channels[1].filter_type == 0
        for fid, ext in ((0x11, False), (0x10, True), (0x1ABC, True), (0x10, False)):
            bus1.send(Message(arbitration_id=fid, is_extended_id=ext))
        msg, filtered = bus2._recv_internal(2.0)
        assert (msg.arbitration_id, filtered) == (0x11, False)
        assert [(m.arbitration_id, m.is_extended_id) for m in (bus2.recv(2.0), bus2.recv(2.0))] == \
            [(0x10, True), (0x1ABC, True)]
        assert bus2.recv(2.0).arbitration_id == 0x10
        assert bus2.recv(0.1) is None
    finally:
        bus2.set_filters(None)


def test_passive_state_is_listen_only(pair):
    bus1, bus2 = pair
    bus2.state = BusState.PASSIVE
    try:
        assert bus2.state == BusState.PASSIVE
        assert adapter_config(bus2).channels[1].mode == b.VELK_LISTEN
        with pytest.raises(CanOperationError, match="listen-only"):
            bus2.send(Message(arbitration_id=1))
        bus1.send(Message(arbitration_id=0x77, is_extended_id=False))
        assert bus2.recv(2.0).arbitration_id == 0x77
    finally:
        bus2.state = BusState.ACTIVE
    assert adapter_config(bus2).channels[1].mode == b.VELK_NORMAL


def test_the_bus_status_is_offered_on_request(pair):
    bus1, _ = pair
    assert bus1.request_bus_status(2.0) == bytes(6)


def test_the_adapters_are_detected_by_the_port_search(sim_factory):
    sim = sim_factory("--adapters", "2", ports=2)
    for index, path in zip((30, 41), sim.paths):
        velk.map_port(index, path)
    try:
        configs = can.detect_available_configs("velk")
    finally:
        for index in (30, 41):
            velk.map_port(index, f"/nonexistent/velk-port-{index}")
    # The ports this process holds open are listed too; the search cannot open them.
    held = [f"{i}:{ch}" for i in sorted(velk.open_ports()) for ch in ("CAN1", "CAN2")]
    assert [c["channel"] for c in configs] == ["30:CAN1", "30:CAN2", "41:CAN1", "41:CAN2"] + held
    assert all(c["interface"] == "velk" for c in configs)


def test_error_reports_become_error_frames_when_asked_for(sim_factory):
    path = sim_factory("--stream", "400").path
    bus = can.Bus(interface="velk", channel=f"{path}:CAN1", error_frames=True)
    other = can.Bus(interface="velk", channel=f"{path}:CAN2")
    try:
        errors, frames = [], 0
        while (m := bus.recv(1.0)) is not None:
            if m.is_error_frame:
                errors.append(m)
            else:
                frames += 1
        assert frames > 0 and errors
        assert {m.arbitration_id for m in errors} <= {0x9901, 0x9902, 0x9904}
        assert all(len(m.data) == (0 if m.arbitration_id == 0x9901 else 6) for m in errors)
        assert not any(m.is_error_frame for m in iter(lambda: other.recv(0), None))
    finally:
        bus.shutdown()
        other.shutdown()


# ---- bad arguments ----

def assert_setting_error(match, **kwargs):
    """The constructor refuses with a python-can error that is also a ValueError."""
    with pytest.raises(CanInitializationError, match=match) as e:
        can.Bus(interface="velk", **kwargs)
    assert isinstance(e.value, ValueError) and isinstance(e.value, velk.canbus.SettingError)


@pytest.mark.parametrize("channel", ["0:CAN3", "CAN1", ":CAN1", "0", 0, None, "0:can", "0:CAN1:x"])
def test_a_channel_that_names_no_adapter_channel_is_refused(channel):
    with pytest.raises(CanInitializationError, match="PORT:CAN1 or PORT:CAN2") as e:
        velk.canbus.VelkBus(channel)
    assert isinstance(e.value, ValueError)
    if channel is not None:  # can.Bus itself refuses a missing channel
        assert_setting_error("PORT:CAN1 or PORT:CAN2", channel=channel)


def test_a_port_without_a_device_is_refused_as_the_tools_say():
    with pytest.raises(CanInitializationError, match=r"^velk: no device /nonexistent/x: No such file or directory$"):
        can.Bus(interface="velk", channel="/nonexistent/x:CAN1")
    with pytest.raises(CanInitializationError, match=r"no device /nonexistent/velk-port-3: No such file"):
        can.Bus(interface="velk", channel="3:can2")
    assert_setting_error("port index 70 is outside", channel="70:CAN1")


def test_unsupported_rates_list_the_ones_the_adapter_can_do():
    assert_setting_error(r"333333 bit/s .* can do 5000, .*, 400000, 500000, 800000", channel="0:CAN1",
                         bitrate=333333)
    assert_setting_error(r"data bit rate 3000000 .* can do 2000000, 4000000", channel="0:CAN1", fd=True,
                         data_bitrate=3000000)
    assert_setting_error("data_bitrate is a CAN FD setting; open the bus with fd=True", channel="0:CAN1",
                         data_bitrate=2000000)
    assert_setting_error("positive", channel="0:CAN1", bitrate=-1)
    assert_setting_error("state must be", channel="0:CAN1", state="passive")


@pytest.mark.parametrize("msg, match", [
    (Message(arbitration_id=0x100, is_extended_id=False, data=bytes(9)),
     "a classic CAN frame carries 0 to 8 bytes, not dlc 9 with 9 bytes"),
    (Message(arbitration_id=0x800, is_extended_id=False), "identifier 0x800 does not fit 11 bits"),
    (Message(arbitration_id=0x20000000, is_extended_id=True), "identifier 0x20000000 does not fit 29 bits"),
    (Message(arbitration_id=1, is_fd=True, data=bytes(65)), "at most 64 bytes, not 65"),
    (Message(arbitration_id=1, is_fd=True, is_remote_frame=True), "CAN FD has no remote frames"),
])
def test_a_frame_that_cannot_be_sent_is_a_python_can_error_and_nothing_goes_out(pair, msg, match):
    bus1, bus2 = pair
    with pytest.raises(CanOperationError, match=match) as e:
        bus1.send(msg)
    assert isinstance(e.value, ValueError) and isinstance(e.value, velk.canbus.FrameError)
    assert bus2.recv(0.2) is None


def test_an_older_adapter_refuses_the_lowest_rates_by_name(sim_factory):
    path = sim_factory("--gen", "2").path
    with pytest.raises(CanInitializationError, match=r"50000 bit/s is not one an adapter of generation 2 can do; "
                                                     r"it can do 100000, 125000"):
        can.Bus(interface="velk", channel=f"{path}:CAN1", bitrate=50000)
    with can.Bus(interface="velk", channel=f"{path}:CAN1", bitrate=100000) as bus:  # the port was released
        assert bus.state == BusState.ACTIVE


def test_a_closed_bus_is_refused(sim_factory):
    path = sim_factory().path
    bus = can.Bus(interface="velk", channel=f"{path}:CAN1")
    with pytest.raises(CanOperationError, match="a CAN FD frame .* without fd=True"):
        bus.send(Message(arbitration_id=1, is_fd=True))
    bus.shutdown()
    bus.shutdown()
    with pytest.raises(CanOperationError, match="is shut down"):
        bus.send(Message(arbitration_id=1))
    with pytest.raises(CanOperationError, match="is shut down"):
        bus.recv(0)
    assert velk.resolve_port(path) not in velk.open_ports()


def test_a_missing_library_makes_the_interface_unavailable():
    code = ("import can\ntry:\n    can.Bus(interface='velk', channel='0:CAN1')\n"
            "except can.CanInterfaceNotImplementedError as e:\n    print('unavailable:', e)\n")
    env = dict(os.environ, VELK_LIB="/nonexistent/libvelk_2.so")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert "unavailable: velk: cannot load libvelk_2.so" in out.stdout, out.stderr


def test_an_unplugged_adapter_ends_receiving_and_sending_with_an_error(sim_factory):
    sim = sim_factory()
    bus = can.Bus(interface="velk", channel=f"{sim.path}:CAN1")
    try:
        sim.stop()
        with pytest.raises(CanOperationError, match="has gone"):
            bus.recv(5.0)
        with pytest.raises(CanOperationError, match="has gone"):
            bus.send(Message(arbitration_id=1))
    finally:
        bus.shutdown()
    assert velk.resolve_port(sim.path) not in velk.open_ports()

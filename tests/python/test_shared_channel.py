"""Several buses on one channel, as python-can's back-to-back tests open
them: bus 1 on CAN1, buses 2 and 3 on CAN2 of one emulated adapter whose
channels share one bus (loopback)."""

import threading

import can
import pytest
from can import BusState, Message
from can.exceptions import CanInitializationError, CanOperationError

from velk import binding as b

OPTS = dict(interface="velk", bitrate=500000, fd=True, data_bitrate=2000000)


def open_three(path):
    return (can.Bus(channel=f"{path}:CAN1", **OPTS), can.Bus(channel=f"{path}:CAN2", **OPTS),
            can.Bus(channel=f"{path}:can2", receive_own_messages=True, **OPTS))


@pytest.fixture(scope="module")
def three(sim_factory):
    """Tests leave the buses as they found them: open, unfiltered, empty."""
    path = sim_factory("--loopback").path
    buses = open_three(path)
    yield (path, *buses)
    for bus in reversed(buses):
        bus.shutdown()


def adapter_state(bus):
    with bus._port.command() as adapter:
        return adapter.config(), adapter.channel_status()


def frame(fid, data=b"\x01\x02"):
    return Message(arbitration_id=fid, is_extended_id=False, data=data)


def recv_all(bus, n):
    got = [bus.recv(2.0) for _ in range(n)]
    assert None not in got, got
    return got


def test_each_bus_of_a_channel_receives_every_frame_as_its_own_message(three):
    _, bus1, bus2, bus3 = three
    msg = Message(arbitration_id=0xABCDEF, is_extended_id=True, data=[1, 2, 3, 4, 5, 6, 7, 8])
    bus1.send(msg)
    got2, got3 = bus2.recv(2.0), bus3.recv(2.0)
    assert got2 is not None and got3 is not None and got2 is not got3 and got2.data is not got3.data
    for got in (got2, got3):
        assert (got.arbitration_id, got.is_extended_id, bytes(got.data)) == (0xABCDEF, True, bytes(range(1, 9)))
        assert got.is_rx and got.channel == 1
    got2.data[0] = 0xFF
    assert got3.data[0] == 1
    assert bus1.recv(0.1) is None  # bus 1 did not ask for its own messages


def test_a_frame_sent_by_one_bus_reaches_its_siblings_as_received(three):
    _, bus1, bus2, bus3 = three
    bus2.send(frame(0x22))
    assert [(m.arbitration_id, m.is_rx, m.channel) for m in recv_all(bus1, 1)] == [(0x22, True, 0)]
    assert [(m.arbitration_id, m.is_rx, m.channel) for m in recv_all(bus3, 1)] == [(0x22, True, 1)]
    assert bus2.recv(0.1) is None

    bus3.send(frame(0x33))
    assert [(m.arbitration_id, m.is_rx) for m in recv_all(bus1, 1)] == [(0x33, True)]
    assert [(m.arbitration_id, m.is_rx) for m in recv_all(bus2, 1)] == [(0x33, True)]
    own = recv_all(bus3, 1)[0]  # receive_own_messages: its own copy, not received
    assert (own.arbitration_id, own.is_rx, own.channel) == (0x33, False, 1)
    assert bus3.recv(0.1) is None and bus1.recv(0) is None


def test_filters_are_per_bus(three):
    _, bus1, bus2, bus3 = three
    only_10 = [{"can_id": 0x10, "can_mask": 0x7FF, "extended": False}]
    bus3.set_filters(only_10)
    cfg, _ = adapter_state(bus1)
    assert cfg.channels[1].filter_type == 0  # bus 2 wants everything, so the adapter filters nothing
    for fid in (0x10, 0x20, 0x10):
        bus1.send(frame(fid))
    assert [m.arbitration_id for m in recv_all(bus2, 3)] == [0x10, 0x20, 0x10]
    assert [m.arbitration_id for m in recv_all(bus3, 2)] == [0x10, 0x10]
    assert bus3.recv(0.1) is None

    bus2.set_filters(only_10)  # the same filter on both: the adapter can hold it
    ch = adapter_state(bus1)[0].channels[1]
    assert (ch.filter_type, ch.filter_id, ch.filter_mask) == (b.VELK_SID, 0x10, 0x7FF)
    bus3.set_filters([{"can_id": 0x20, "can_mask": 0x7FF}])
    assert adapter_state(bus1)[0].channels[1].filter_type == 0
    bus2.send(frame(0x20))  # a sibling's frame passes through the host filter too
    assert bus3.recv(2.0).arbitration_id == 0x20
    bus2.send(frame(0x10))
    assert bus3.recv(0.1) is None
    bus2.set_filters(None)
    bus3.set_filters(None)
    assert bus1.recv(2.0).arbitration_id == 0x20 and bus1.recv(2.0).arbitration_id == 0x10


@pytest.mark.parametrize("asked, named", [
    (dict(bitrate=250000), "bitrate=250000"),
    (dict(fd=False), "fd=False"),
    (dict(data_bitrate=4000000), "data_bitrate=4000000"),
    (dict(state=BusState.PASSIVE), "state=BusState.PASSIVE"),
])
def test_a_second_bus_asking_other_settings_is_refused_naming_the_first_buss(three, asked, named):
    path, bus1, bus2, bus3 = three
    with pytest.raises(CanInitializationError) as e:
        opts = dict(OPTS, **asked)
        if not opts["fd"]:
            del opts["data_bitrate"]
        can.Bus(channel=f"{path}:CAN2", **opts)
    assert str(e.value) == (f"velk: CAN2 of {bus2._port.name} is open by the bus on '{path}:CAN2' at 500000 bit/s, "
                            f"CAN FD with data bit rate 2000000 bit/s, active (BusState.ACTIVE); a bus on it "
                            f"cannot ask for {named}")
    assert len(bus2._port.buses[1]) == 2
    bus1.send(frame(0x44))  # the refusal left the channel running
    assert bus2.recv(2.0).arbitration_id == 0x44 and bus3.recv(2.0).arbitration_id == 0x44


def test_a_bus_that_names_no_rates_joins_at_the_channels_settings(three):
    path, bus1, bus2, bus3 = three
    with can.Bus(interface="velk", channel=f"{path}:CAN2", fd=True) as bus4:
        bus1.send(frame(0x55))
        assert [bus.recv(2.0).arbitration_id for bus in (bus2, bus3, bus4)] == [0x55] * 3
        with pytest.raises(CanOperationError, match="shared with 2 other bus"):
            bus4.state = BusState.PASSIVE
    assert bus2.state == BusState.ACTIVE


def test_closing_one_bus_leaves_the_others_and_the_last_stops_the_channel(sim_factory):
    path = sim_factory("--loopback").path
    bus1, bus2, bus3 = open_three(path)
    try:
        closing(path, bus1, bus2, bus3)
    finally:
        for bus in (bus3, bus2, bus1):
            bus.shutdown()


def closing(path, bus1, bus2, bus3):
    bus3.shutdown()
    assert adapter_state(bus1)[1] == (True, True)
    bus1.send(frame(0x66))
    assert bus2.recv(2.0).arbitration_id == 0x66
    bus2.send(frame(0x67))
    assert bus1.recv(2.0).arbitration_id == 0x67
    with pytest.raises(CanOperationError, match="is shut down"):
        bus3.recv(0)
    bus2.shutdown()
    assert adapter_state(bus1)[1] == (True, False)
    # A new first bus on the stopped channel sets it up again, with its own settings.
    with can.Bus(interface="velk", channel=f"{path}:CAN2", bitrate=250000) as again:
        cfg, running = adapter_state(bus1)
        assert running == (True, True) and cfg.channels[1].fd_enabled is False
        assert again._port is bus1._port


def test_two_threads_on_one_channel_each_get_every_frame(three):
    _, bus1, bus2, bus3 = three
    n = 300
    got = {2: [], 3: []}

    def reader(bus, key):
        while len(got[key]) < n:
            m = bus.recv(5.0)
            if m is None:
                return
            got[key].append(m.arbitration_id)

    threads = [threading.Thread(target=reader, args=(bus2, 2)), threading.Thread(target=reader, args=(bus3, 3))]
    for t in threads:
        t.start()
    for i in range(n):
        bus1.send(frame(i, bytes([i & 0xFF])))
    for t in threads:
        t.join(60)
    assert got[2] == list(range(n)) and got[3] == list(range(n))

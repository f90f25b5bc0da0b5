"""python-can interface of the adapter:

    bus = can.Bus(interface="velk", channel="0:CAN1", bitrate=500000)

A channel names a port (index or device path) and a CAN channel. Buses on
CAN1 and CAN2 of one adapter share its open port, and any number of buses
may share one channel: one thread at a time reads the port and hands every
frame to each bus of its channel, so nothing is lost between them. A frame
one bus sends reaches the other buses of its channel as received, as other
nodes on a real bus see it. Commands (opening, settings, shutting down) take
the port from the reader for their duration and keep what it had read.

Received messages carry the adapter's channel as ``Message.channel``: 0 for
CAN1, 1 for CAN2, python-can's 0-based numbering, so its writers record
CAN1 as ASC/BLF channel 1 and candump interface can0, CAN2 as 2 and can1.
"""

import collections
import contextlib
import ctypes
import dataclasses
import logging
import os
import select
import struct
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from can import BusABC, BusState, Message
from can.exceptions import (CanInitializationError, CanInterfaceNotImplementedError, CanOperationError,
                            CanTimeoutError)

from . import binding as b
from .adapter import (DATA_RATES, DLC_LENGTHS, HANGUP, NOMINAL_RATES, Adapter, UnsupportedRate, VelkError,
                      data_code, describe_port, dlc_for_length, nominal_code, poll_ms, port_path, resolve_port,
                      search)

log = logging.getLogger("can.velk")

CHANNEL_NAMES = ("CAN1", "CAN2")

# Status reports handed out as error frames carry the report's two header
# bytes as their identifier and the channel's six status bytes as data.
ERROR_FRAME_IDS = {b.VELK_EEERR_TYPE: 0x9901, b.VELK_BUSERR_TYPE: 0x9902, b.VELK_BUSERR_PSR_TYPE: 0x9904}

# Frames kept for a bus that is not being read; beyond this the oldest go.
QUEUE_LIMIT = 1_000_000

_REC = b.CAN_FRAME_INFO
# The record's fixed part: the eight ints, id and the adapter's timestamp.
_HEAD = struct.Struct(f"=8i{_REC.id.offset - _REC.recv_time.offset}xI"
                      f"{_REC.timestamp.offset - _REC.id.offset - 4}xII")
assert _HEAD.size == ctypes.sizeof(_REC)
_HEAD8 = struct.Struct("=8i")
_ID = struct.Struct("=I")
_DATA = _REC.data.offset
_STATUS = _REC.data_err.offset
_ZERO_RECORD = bytes(ctypes.sizeof(_REC))


class SettingError(CanInitializationError, ValueError):
    """A bus that cannot be opened as asked: a bad channel, rate or setting.
    Also a ValueError, as these were before they were python-can errors."""


class FrameError(CanOperationError, ValueError):
    """A message the bus cannot send (identifier too wide, payload too long
    for its kind). Also a ValueError, as these were before."""


def parse_channel(channel: Any) -> Tuple[Any, int]:
    """"0:CAN1" -> (0, 0); "/dev/ttyACM0:CAN2" -> ("/dev/ttyACM0", 1)."""
    if isinstance(channel, str):
        port, sep, name = channel.rpartition(":")
        if sep and port and name.upper() in CHANNEL_NAMES:
            return (int(port) if port.isdigit() else port), CHANNEL_NAMES.index(name.upper())
    raise SettingError(f"velk channel {channel!r} is not PORT:CAN1 or PORT:CAN2, where PORT is a port index "
                     f"or a device path (e.g. '0:CAN1', '/dev/ttyACM0:CAN2')")


def _rate_code(name: str, rate: Any, to_code) -> int:
    """The adapter's code of a bit rate; SettingError for a value that is no
    rate and, listing the possible rates, for one the adapter cannot do."""
    if isinstance(rate, bool) or not isinstance(rate, int) or rate <= 0:
        raise SettingError(f"velk: {name} must be a positive number of bit/s, not {rate!r}")
    try:
        return to_code(rate)
    except UnsupportedRate as e:
        raise SettingError(f"velk: {e}") from None


def _check_state(state: Any, error=ValueError) -> None:
    if state not in (BusState.ACTIVE, BusState.PASSIVE):
        raise error(f"velk: state must be BusState.ACTIVE or BusState.PASSIVE, not {state!r}")


_NOMINAL_BY_CODE = {code: rate for rate, code in NOMINAL_RATES.items()}
_DATA_BY_CODE = {code: rate for rate, code in DATA_RATES.items()}


@dataclasses.dataclass
class _ChannelSettings:
    """What the first bus of a channel set it to; later buses must agree."""
    bitrate_code: int
    fd: bool
    data_rate_code: int
    passive: bool

    def describe(self) -> str:
        rate = _NOMINAL_BY_CODE.get(self.bitrate_code)
        text = f"{rate} bit/s" if rate is not None else f"bit rate code {self.bitrate_code}"
        if self.fd:
            data = _DATA_BY_CODE.get(self.data_rate_code)
            text += f", CAN FD with data bit rate {data} bit/s" if data is not None else \
                f", CAN FD with data rate code {self.data_rate_code}"
        else:
            text += ", classic CAN (fd=False)"
        return text + (", listen-only (BusState.PASSIVE)" if self.passive else ", active (BusState.ACTIVE)")


class _SharedPort:
    """One open adapter port and the buses on its two channels. The lists of
    buses are replaced, never changed in place, so a reader may go on with
    the list it took."""

    # Longest wait for input before the library is asked again (see Adapter).
    POLL_SLICE_S = Adapter.POLL_SLICE_S

    def __init__(self, port: Any):
        self.adapter = Adapter(port)
        self.index = self.adapter.index
        self.name = describe_port(self.index)
        try:
            self.generation = self.adapter.versions().generation
            self._fd = self.adapter.fileno()
        except VelkError:
            self.adapter.close()
            raise
        self.buses: List[List["VelkBus"]] = [[], []]
        self.settings: List[Optional[_ChannelSettings]] = [None, None]
        self.hw_filter: List[Tuple[int, int, int]] = [(0, 0, 0), (0, 0, 0)]
        self.gone = False
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.reading = False  # a thread holds the port for reading or a command
        self.commands_waiting = 0
        self.send_lock = threading.Lock()
        self.bus_status: List[bytes] = [b"", b""]
        self.bus_status_count = 0
        self.unclaimed = 0  # frames of a channel without buses
        self._offset: Optional[float] = None  # wall clock minus adapter time
        self._last_adapter_time = 0.0
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        self._poll = select.poll()
        self._poll.register(self._fd, select.POLLIN)
        self._poll.register(self._wake_r, select.POLLIN)
        self._buf = bytearray(_ZERO_RECORD)
        self._rec = _REC.from_buffer(self._buf)
        self._rec_ref = ctypes.byref(self._rec)

    def close(self) -> None:
        self.adapter.close()
        os.close(self._wake_r)
        os.close(self._wake_w)

    # ---- taking turns ----

    def _wake(self) -> None:
        try:
            os.write(self._wake_w, b"!")
        except BlockingIOError:
            pass  # the pipe is full of wake-ups already

    def serve(self, take, timeout: Optional[float], bus: "VelkBus"):
        """Returns take() (called under the lock) once it is not None, reading
        the port while no other thread does and waiting for the reader
        otherwise; None when `timeout` seconds pass."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            with self.cond:
                while True:
                    bus._check_open()
                    got = take()
                    if got is not None:
                        return got
                    if not self.reading and not self.commands_waiting:
                        self.reading = True
                        break
                    left = None if deadline is None else deadline - time.monotonic()
                    if left is not None and left <= 0:
                        return None
                    self.cond.wait(left)
            try:
                got = self._read_until(take, deadline, bus)
            finally:
                with self.cond:
                    self.reading = False
                    self.cond.notify_all()
            if got is not self:  # self: a command asked for the port; wait for it, then go on
                return got

    def _read_until(self, take, deadline, bus):
        while True:
            self._drain()
            with self.cond:
                got = take()
                if got is not None:
                    return got
                bus._check_open()
                if self.commands_waiting:
                    return self
            left = self.POLL_SLICE_S if deadline is None else min(deadline - time.monotonic(), self.POLL_SLICE_S)
            if left <= 0:
                return None
            hung_up = False
            for fd, events in self._poll.poll(poll_ms(left)):
                if fd == self._wake_r:
                    with contextlib.suppress(BlockingIOError):
                        os.read(self._wake_r, 4096)
                elif events & HANGUP:
                    hung_up = True
            # A hung-up port stays readable; once nothing more comes from it
            # the adapter has gone (unplugged), and waiting again would spin.
            if hung_up and self._drain() == 0:
                self.gone = True
                raise CanOperationError(f"velk: the adapter at {self.name} has gone")

    @contextlib.contextmanager
    def command(self):
        """Holds the port for a command exchange. What the reader had not yet
        taken is read first, so the exchange's input flush loses nothing."""
        with self.cond:
            self.commands_waiting += 1
            try:
                self._wake()
                while self.reading:
                    self.cond.wait()
            finally:
                self.commands_waiting -= 1
            self.reading = True
        try:
            self._drain()
            yield self.adapter
        finally:
            with self.cond:
                self.reading = False
                self.cond.notify_all()

    # ---- reading ----

    def _adapter_time(self, second: int, micro_second: int) -> float:
        """The adapter's time mapped to wall-clock seconds. The offset is taken
        at the first timestamped report and taken again when the adapter's
        clock restarts or runs ahead of the host's."""
        t = second + micro_second * 1e-6
        now = time.time()
        if self._offset is None or t < self._last_adapter_time or t + self._offset > now + 0.1:
            self._offset = now - t
        self._last_adapter_time = t
        return t + self._offset

    def _drain(self) -> int:
        """Takes every report the library has complete and hands each to the
        buses of its channel, each its own Message. Returns the number of
        reports taken."""
        receive = self.adapter.lib.VELKReceive_CANFD
        index, ref, buf, zero, unpack = self.index, self._rec_ref, self._buf, _ZERO_RECORD, _HEAD.unpack_from
        buses = self.buses
        batch = []
        taken = 0
        while True:
            buf[:] = zero
            if receive(index, ref) != 1:
                break
            taken += 1
            ch, id_type, rtr, dlc, msg_type, brs, esi, fdf, fid, sec, usec = unpack(buf)
            if msg_type != b.VELK_DATA_TYPE:
                batch.extend(self._status(msg_type, buf))
                continue
            on_channel = buses[ch]
            if not on_channel:
                self.unclaimed += 1
                continue
            if fdf:
                n = DLC_LENGTHS[dlc]
                length = n
            else:
                n = dlc if dlc < 8 else 8
                length = dlc
            ts = self._adapter_time(sec, usec) if (sec or usec) else time.time()
            for bus in on_channel:
                batch.append((bus, Message(timestamp=ts, arbitration_id=fid, is_extended_id=id_type == b.VELK_EID,
                                           is_remote_frame=bool(rtr), channel=ch, dlc=length,
                                           data=bytearray() if rtr else buf[_DATA:_DATA + n], is_fd=bool(fdf),
                                           bitrate_switch=bool(brs), error_state_indicator=bool(esi), is_rx=True,
                                           check=False)))
            if len(batch) >= 256:
                self._deliver(batch)
                batch = []
                if self.commands_waiting:
                    break  # the reader hands the port over and drains again afterwards
        if batch:
            self._deliver(batch)
        return taken

    def _status(self, msg_type: int, buf: bytearray):
        """Status reports: the bus status answers a request; error reports
        become error frames for the buses that asked for them."""
        groups = (bytes(buf[_STATUS:_STATUS + 6]), bytes(buf[_STATUS + 6:_STATUS + 12]))
        if msg_type == b.VELK_GETBUS_TYPE:
            with self.cond:
                self.bus_status = list(groups)
                self.bus_status_count += 1
                self.cond.notify_all()
            return []
        out = []
        for ch, on_channel in enumerate(self.buses):
            data = b"" if msg_type == b.VELK_EEERR_TYPE else groups[ch]
            for bus in on_channel:
                if bus.error_frames:
                    out.append((bus, Message(timestamp=time.time(), arbitration_id=ERROR_FRAME_IDS[msg_type],
                                             is_extended_id=True, is_error_frame=True, channel=ch,
                                             dlc=len(data), data=data, is_rx=True, check=False)))
        return out

    def _deliver(self, batch) -> None:
        with self.cond:
            for bus, msg in batch:
                bus._queue_message(msg)
            self.cond.notify_all()

    # ---- the buses of a channel ----

    def add_bus(self, bus: "VelkBus") -> None:
        """Called holding the port for a command."""
        with self.cond:
            self.buses[bus._ch] = self.buses[bus._ch] + [bus]

    def remove_bus(self, bus: "VelkBus") -> None:
        """Called holding the port for a command."""
        with self.cond:
            self.buses[bus._ch] = [x for x in self.buses[bus._ch] if x is not bus]

    def sync_filter(self, adapter: Adapter, ch: int) -> bool:
        """Programs the channel's filter in the adapter: the buses' common
        hardware filter when they all have the same one, else none (each bus
        checks its own filters on the host). True when the adapter's filter
        changed."""
        wanted = {bus._hw_filter for bus in self.buses[ch]}
        hw = wanted.pop() if len(wanted) == 1 else None
        if hw is None:
            hw = (0, 0, 0)
        current = self.hw_filter[ch]
        if current[0] == 0:
            current = (0, 0, 0)
        if hw == current:
            return False
        if hw[0] == 0:
            adapter.clear_filter(ch)
        else:
            adapter.set_filter(ch, *hw)
        self.hw_filter[ch] = hw
        return True


_ports: Dict[int, _SharedPort] = {}
_ports_lock = threading.Lock()  # opening and shutting down buses, one at a time


class VelkBus(BusABC):
    """A CAN channel of the velk adapter.

    :param channel: ``"PORT:CAN1"`` or ``"PORT:CAN2"``; PORT is a port index of
        the library's device table or a device path (``"/dev/ttyACM0:CAN2"``).
        Received messages carry the adapter's channel as ``Message.channel``,
        0 (CAN1) or 1 (CAN2).
    :param bitrate: nominal bit rate in bit/s; None keeps the adapter's.
    :param fd: CAN FD on this channel.
    :param data_bitrate: CAN FD data-phase bit rate in bit/s (needs ``fd``);
        None keeps the adapter's.
    :param state: ``BusState.PASSIVE`` opens the channel listen-only.
    :param receive_own_messages: sent frames are also received by this bus,
        with ``is_rx`` False. Other buses of the channel always receive them.
    :param error_frames: switch the adapter's error reports on and receive
        them as error frames (identifier 0x9902 bus error, 0x9904 bus error
        PSR, 0x9901 EEPROM error; data: the channel's six status bytes).
    :param can_filters: python-can filters; a single filter with an
        ``extended`` key is programmed into the adapter while every bus of the
        channel has the same one, anything else is applied on the host.

    Any number of buses may be open on one channel. The first sets the
    channel's rates, CAN FD and listen-only; a later bus asking for other
    settings is refused (None rates agree with any).
    """

    def __init__(self, channel: Any, can_filters=None, bitrate: Optional[int] = None, fd: bool = False,
                 data_bitrate: Optional[int] = None, state: BusState = BusState.ACTIVE,
                 receive_own_messages: bool = False, error_frames: bool = False, **kwargs: Any):
        port_spec, self._ch = parse_channel(channel)
        self.channel = channel
        if bitrate is not None:
            _rate_code("bitrate", bitrate, nominal_code)
        if data_bitrate is not None:
            if not fd:
                raise SettingError("velk: data_bitrate is a CAN FD setting; open the bus with fd=True")
            _rate_code("data_bitrate", data_bitrate, data_code)
        _check_state(state, SettingError)
        self._fd = bool(fd)
        self._passive = state == BusState.PASSIVE
        self.receive_own_messages = bool(receive_own_messages)
        self.error_frames = bool(error_frames)
        self._queue: collections.deque = collections.deque()
        self.frames_dropped = 0  # frames this bus did not read in time (queue limit)
        self._hw_filter: Optional[Tuple[int, int, int]] = self._hardware_filter(can_filters)
        self._port: Optional[_SharedPort] = None
        self._closed = True
        self._epoll = None
        self._ready: Optional[Tuple[int, int]] = None
        self._tx = bytearray(ctypes.sizeof(_REC))
        self._tx_ref = ctypes.byref(_REC.from_buffer(self._tx))

        try:
            lib = b.library()
        except b.LibraryNotFound as e:
            raise CanInterfaceNotImplementedError(f"velk: {e}") from None
        self._send_classic, self._send_fd = lib.VELKSend, lib.VELKSend_CANFD
        with _ports_lock:
            self._port = self._open(port_spec, bitrate, data_bitrate)
            self._closed = False
        self.channel_info = f"velk {self._port.name} {CHANNEL_NAMES[self._ch]}"
        try:
            super().__init__(channel, can_filters=can_filters, **kwargs)
        except BaseException:
            self.shutdown()
            raise

    def __repr__(self):
        return f"<VelkBus {getattr(self, 'channel_info', self.channel)}{' shut down' if self._closed else ''}>"

    # ---- opening and closing ----

    @staticmethod
    def _port_of(port_spec) -> _SharedPort:
        """The open port of `port_spec`, opening it when no bus has. Called
        holding _ports_lock."""
        try:
            index = resolve_port(port_spec)
        except (ValueError, VelkError) as e:
            raise SettingError(f"velk: {e}") from None
        port = _ports.get(index)
        if port is not None:
            return port
        path = port_path(index)
        try:
            os.stat(path)
        except OSError as e:
            raise CanInitializationError(f"velk: no device {path}: {e.strerror}") from None
        try:
            port = _SharedPort(index)
        except VelkError as e:
            raise CanInitializationError(f"velk: {e}") from None
        _ports[index] = port
        return port

    def _open(self, port_spec, bitrate, data_bitrate) -> _SharedPort:
        """Joins the channel: the first bus sets it up, a later one must agree
        with its settings. Called holding _ports_lock."""
        port = self._port_of(port_spec)
        try:
            with port.command() as adapter:
                first = port.settings[self._ch] is None
                if not first:
                    self._agree(port, bitrate, data_bitrate)
                port.add_bus(self)
                try:
                    if first:
                        self._configure(port, adapter, bitrate, data_bitrate)
                    else:
                        changed = port.sync_filter(adapter, self._ch)
                        if self.error_frames and adapter.config().error_reporting != b.VELK_EN_ALL:
                            adapter.set_error_reporting(b.VELK_EN_ALL)
                            changed = True
                        if changed:
                            self._restart_running(adapter)
                except VelkError as e:
                    self._leave(port, adapter)
                    raise CanInitializationError(f"velk: {e}") from None
                except BaseException:
                    self._leave(port, adapter)
                    raise
        finally:
            if not any(port.buses):
                del _ports[port.index]
                port.close()
        return port

    def _agree(self, port: _SharedPort, bitrate, data_bitrate) -> None:
        """Refuses settings other than those the channel's first bus set."""
        have = port.settings[self._ch]
        asked = []
        if bitrate is not None and _rate_code("bitrate", bitrate,
                                              lambda r: nominal_code(r, port.generation)) != have.bitrate_code:
            asked.append(f"bitrate={bitrate}")
        if self._fd != have.fd:
            asked.append(f"fd={self._fd}")
        if data_bitrate is not None and data_code(data_bitrate) != have.data_rate_code:
            asked.append(f"data_bitrate={data_bitrate}")
        if self._passive != have.passive:
            asked.append(f"state={'BusState.PASSIVE' if self._passive else 'BusState.ACTIVE'}")
        if asked:
            first = port.buses[self._ch][0]
            raise SettingError(f"velk: {CHANNEL_NAMES[self._ch]} of {port.name} is open by the bus on "
                               f"{first.channel!r} at {have.describe()}; a bus on it cannot ask for "
                               f"{', '.join(asked)}")

    def _configure(self, port: _SharedPort, adapter: Adapter, bitrate, data_bitrate) -> None:
        """Sets this channel's rates, mode, CAN FD and filter where they differ
        from the adapter's, then (re)starts it, leaving the other channel as
        it was."""
        ch = self._ch
        cfg = adapter.config()
        mine = cfg.channels[ch]
        changed = False
        code = mine.bitrate_code
        if bitrate is not None:
            code = _rate_code("bitrate", bitrate, lambda rate: nominal_code(rate, port.generation))
            if mine.bitrate_code != code:
                codes = [c.bitrate_code for c in cfg.channels]
                codes[ch] = code
                adapter.set_bitrate_codes(*codes)
                changed = True
        mode = b.VELK_LISTEN if self._passive else b.VELK_NORMAL
        if mine.mode != mode:
            modes = [c.mode for c in cfg.channels]
            modes[ch] = mode
            adapter.set_modes(*modes)
            changed = True
        fd = [(c.fd_enabled, c.data_rate_code) for c in cfg.channels]
        want = (self._fd, data_code(data_bitrate) if data_bitrate is not None else fd[ch][1])
        if fd[ch] != want:
            fd[ch] = want
            adapter.set_fd(*fd)
            changed = True
        if self.error_frames and cfg.error_reporting != b.VELK_EN_ALL:
            adapter.set_error_reporting(b.VELK_EN_ALL)
        port.hw_filter[ch] = (mine.filter_type, mine.filter_id, mine.filter_mask)
        changed |= port.sync_filter(adapter, ch)
        running = list(adapter.channel_status())
        if changed or not running[ch]:
            running[ch] = True
            adapter.start(*running)
        port.settings[ch] = _ChannelSettings(code, self._fd, want[1], self._passive)

    def _restart_running(self, adapter: Adapter) -> None:
        """Restarts the running channels, so a changed setting takes effect."""
        running = list(adapter.channel_status())
        if any(running):
            adapter.start(*running)

    def _leave(self, port: _SharedPort, adapter: Adapter) -> None:
        """Takes this bus off its channel; the last bus of a channel stops it,
        the last of the port leaves it to be closed. Called holding the port
        for a command and _ports_lock."""
        port.remove_bus(self)
        if not any(port.buses) or port.gone:
            return
        ch = self._ch
        if port.buses[ch]:
            with contextlib.suppress(VelkError):
                if port.sync_filter(adapter, ch):  # the others may share a filter the adapter can hold
                    self._restart_running(adapter)
            return
        port.settings[ch] = None
        running = [False, False]
        with contextlib.suppress(VelkError):
            running = list(adapter.channel_status())
        if running[ch]:
            running[ch] = False
            with contextlib.suppress(VelkError):
                adapter.start(*running)

    def shutdown(self) -> None:
        """Takes this bus off its channel; the other buses of the channel keep
        running, the last one stops the channel and the last of the port
        closes it. Shutting down twice is harmless."""
        if self._port is None or self._closed:
            self._closed = True
            return
        if hasattr(self, "_periodic_tasks"):  # set by BusABC.__init__, which a failed open may not reach
            super().shutdown()
        port = self._port
        with _ports_lock:
            with port.command() as adapter:
                self._closed = True
                self._leave(port, adapter)
                if not any(port.buses):
                    del _ports[port.index]
                    port.close()
                with port.cond:
                    self._queue.clear()
        if self._epoll is not None:
            self._epoll.close()
            for fd in self._ready:
                os.close(fd)
            self._epoll = None

    def _check_open(self) -> None:
        if self._closed:
            raise CanOperationError(f"velk: the bus on {self.channel!r} is shut down")
        if self._port.gone:
            raise CanOperationError(f"velk: the adapter at {self._port.name} has gone")

    # ---- filters ----

    @staticmethod
    def _hardware_filter(filters) -> Optional[Tuple[int, int, int]]:
        """The adapter's filter (type, id, mask) that passes exactly what
        `filters` passes, or None when it cannot: the adapter has one filter
        per channel, for either 11-bit or 29-bit identifiers."""
        if not filters or len(filters) != 1 or "extended" not in filters[0]:
            return None
        f = filters[0]
        extended = bool(f["extended"])
        width = 0x1FFFFFFF if extended else 0x7FF
        can_id, mask = int(f["can_id"]), int(f["can_mask"])
        if can_id & mask & ~width:
            return None  # matches no identifier of that width; not a filter the adapter can hold
        return (b.VELK_EID if extended else b.VELK_SID, can_id & mask & width, mask & width)

    def _apply_filters(self, filters) -> None:
        hw = self._hardware_filter(filters)
        if self._closed:
            self._hw_filter = hw
            return
        with self._port.command() as adapter:
            with self._port.cond:
                self._hw_filter = hw
            try:
                if self._port.sync_filter(adapter, self._ch):
                    self._restart_running(adapter)
            except VelkError as e:
                raise CanOperationError(f"velk: {e}") from None

    def _passes_hardware_filter(self, msg: Message) -> bool:
        # The adapter's filter is checked again here, so a frame it let
        # through in error, or that another bus of the channel let in, never
        # reaches the caller.
        kind, fid, mask = self._hw_filter
        return msg.is_extended_id == (kind == b.VELK_EID) and (msg.arbitration_id ^ fid) & mask == 0

    # ---- receiving ----

    def _queue_message(self, msg: Message) -> None:
        """Called with the port's lock held."""
        q = self._queue
        if len(q) >= QUEUE_LIMIT:
            q.popleft()
            self.frames_dropped += 1
        q.append(msg)
        if self._ready is not None and len(q) == 1:
            with contextlib.suppress(BlockingIOError):
                os.write(self._ready[1], b"!")

    def _take(self) -> Optional[Message]:
        """Called with the port's lock held."""
        q = self._queue
        if not q:
            return None
        msg = q.popleft()
        if self._ready is not None and not q:
            with contextlib.suppress(BlockingIOError):
                os.read(self._ready[0], 4096)
        return msg

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        if self._hw_filter is None:
            return self._port.serve(self._take, timeout, self), False
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            msg = self._port.serve(self._take, timeout, self)
            if msg is None or msg.is_error_frame or self._passes_hardware_filter(msg):
                return msg, True
            if deadline is not None:
                timeout = deadline - time.monotonic()
                if timeout <= 0:
                    return None, True

    def fileno(self) -> int:
        """A descriptor that is readable while a frame may be waiting: the
        port has input, or the other channel's reader has queued frames here."""
        self._check_open()
        if self._epoll is None:
            r, w = os.pipe()
            os.set_blocking(r, False)
            os.set_blocking(w, False)
            ep = select.epoll()
            ep.register(self._port._fd, select.EPOLLIN)
            ep.register(r, select.EPOLLIN)
            with self._port.cond:
                self._ready = (r, w)
                if self._queue:
                    os.write(w, b"!")
            self._epoll = ep
        return self._epoll.fileno()

    def request_bus_status(self, timeout: Optional[float] = 1.0) -> Optional[bytes]:
        """Asks the adapter for the bus status; this channel's six status
        bytes, or None when no answer came within `timeout` seconds."""
        port = self._port
        self._check_open()
        with port.command() as adapter:
            with port.cond:
                seen = port.bus_status_count
            try:
                adapter.request_bus_status()
            except VelkError as e:
                raise CanOperationError(f"velk: {e}") from None
        return port.serve(lambda: port.bus_status[self._ch] if port.bus_status_count != seen else None,
                          timeout, self)

    # ---- sending ----

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        self._check_open()
        if self._passive:
            raise CanOperationError(f"velk: the bus on {self.channel!r} is listen-only (BusState.PASSIVE)")
        if msg.is_error_frame:
            raise FrameError("velk: the adapter cannot send error frames")
        if msg.is_fd and not self._fd:
            raise FrameError(f"velk: a CAN FD frame on {self.channel!r}, which was opened without fd=True")
        limit = 0x1FFFFFFF if msg.is_extended_id else 0x7FF
        if not 0 <= msg.arbitration_id <= limit:
            raise FrameError(f"velk: identifier 0x{msg.arbitration_id:X} does not fit "
                             f"{'29' if msg.is_extended_id else '11'} bits")
        data = msg.data or b""
        if msg.is_fd:
            if msg.is_remote_frame:
                raise FrameError("velk: CAN FD has no remote frames")
            n = len(data)
            if n > 64:
                raise FrameError(f"velk: a CAN FD frame carries at most 64 bytes, not {n}")
            dlc = dlc_for_length(n)
        else:
            if len(data) > 8 or not 0 <= msg.dlc <= 8:
                raise FrameError(f"velk: a classic CAN frame carries 0 to 8 bytes, not dlc {msg.dlc} "
                                 f"with {len(data)} bytes")
            n = len(data)
            dlc = msg.dlc
        port = self._port
        if not port.send_lock.acquire(timeout=-1 if timeout is None else max(timeout, 0)):
            raise CanTimeoutError(f"velk: {port.name} was busy sending for longer than {timeout} s")
        try:
            self._check_open()
            tx = self._tx
            tx[:] = _ZERO_RECORD
            _HEAD8.pack_into(tx, 0, self._ch, b.VELK_EID if msg.is_extended_id else b.VELK_SID,
                             int(msg.is_remote_frame), dlc, 0, int(msg.bitrate_switch),
                             int(msg.error_state_indicator), int(msg.is_fd))
            _ID.pack_into(tx, _REC.id.offset, msg.arbitration_id)
            if not msg.is_remote_frame:
                tx[_DATA:_DATA + n] = data
            send = self._send_fd if msg.is_fd else self._send_classic
            if send(port.index, self._tx_ref) != 0:
                raise CanOperationError(f"velk: {'VELKSend_CANFD' if msg.is_fd else 'VELKSend'} failed on "
                                        f"{port.name}: the frame was not written")
        finally:
            port.send_lock.release()
        # The other buses of the channel receive the frame as other nodes
        # would; this bus only when it asked for its own messages.
        on_channel = port.buses[self._ch]
        if len(on_channel) > 1 or self.receive_own_messages:
            ts = time.time()
            copies = [(bus, Message(timestamp=ts, arbitration_id=msg.arbitration_id,
                                    is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame,
                                    channel=self._ch, dlc=msg.dlc, data=bytearray(data), is_fd=msg.is_fd,
                                    bitrate_switch=msg.bitrate_switch,
                                    error_state_indicator=msg.error_state_indicator, is_rx=bus is not self,
                                    check=False))
                      for bus in on_channel if bus is not self or self.receive_own_messages]
            port._deliver(copies)

    # ---- state ----

    @property
    def state(self) -> BusState:
        return BusState.PASSIVE if self._passive else BusState.ACTIVE

    @state.setter
    def state(self, new_state: BusState) -> None:
        _check_state(new_state)
        self._check_open()
        passive = new_state == BusState.PASSIVE
        if passive == self._passive:
            return
        port = self._port
        with self._port.command() as adapter:
            others = len(port.buses[self._ch]) - 1
            if others:
                raise CanOperationError(f"velk: {CHANNEL_NAMES[self._ch]} of {port.name} is shared with {others} "
                                        f"other bus(es); its listen-only setting is theirs too, so it stays "
                                        f"{'listen-only' if self._passive else 'active'}")
            try:
                modes = [c.mode for c in adapter.config().channels]
                modes[self._ch] = b.VELK_LISTEN if passive else b.VELK_NORMAL
                adapter.set_modes(*modes)
                running = list(adapter.channel_status())
                if any(running):
                    adapter.start(*running)
            except VelkError as e:
                raise CanOperationError(f"velk: {e}") from None
            self._passive = passive
            port.settings[self._ch].passive = passive

    @staticmethod
    def _detect_available_configs() -> List[Dict[str, Any]]:
        """Both channels of every adapter the port search finds, and of the
        ports this process has open (the search cannot open those)."""
        try:
            b.library()
        except b.LibraryNotFound:
            return []
        with _ports_lock:
            indices = set(_ports)
        indices.update(search())
        return [{"interface": "velk", "channel": f"{i}:{name}"} for i in sorted(indices) for name in CHANNEL_NAMES]

"""python-can interface of the adapter:

    bus = can.Bus(interface="velk", channel="0:CAN1", bitrate=500000)

A channel names a port (index or device path) and a CAN channel. Buses on
CAN1 and CAN2 of one adapter share its open port: one thread at a time
reads the port and hands every frame to the bus of its channel, so nothing
is lost between them. Commands (opening, settings, shutting down) take the
port from the reader for their duration and keep what it had read.
"""

import collections
import contextlib
import ctypes
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
from .adapter import (DLC_LENGTHS, HANGUP, Adapter, UnsupportedRate, VelkError, data_code, describe_port,
                      dlc_for_length, nominal_code, poll_ms, resolve_port, search)

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


def parse_channel(channel: Any) -> Tuple[Any, int]:
    """"0:CAN1" -> (0, 0); "/dev/ttyACM0:CAN2" -> ("/dev/ttyACM0", 1)."""
    if isinstance(channel, str):
        port, sep, name = channel.rpartition(":")
        if sep and port and name.upper() in CHANNEL_NAMES:
            return (int(port) if port.isdigit() else port), CHANNEL_NAMES.index(name.upper())
    raise ValueError(f"velk channel {channel!r} is not PORT:CAN1 or PORT:CAN2, where PORT is a port index "
                     f"or a device path (e.g. '0:CAN1', '/dev/ttyACM0:CAN2')")


def _rate_code(name: str, rate: Any, to_code) -> int:
    """The adapter's code of a bit rate: ValueError for a value that is no
    rate, CanInitializationError listing the possible rates for one the
    adapter cannot do."""
    if isinstance(rate, bool) or not isinstance(rate, int) or rate <= 0:
        raise ValueError(f"velk: {name} must be a positive number of bit/s, not {rate!r}")
    try:
        return to_code(rate)
    except UnsupportedRate as e:
        raise CanInitializationError(f"velk: {e}") from None


def _check_state(state: Any) -> None:
    if state not in (BusState.ACTIVE, BusState.PASSIVE):
        raise ValueError(f"velk: state must be BusState.ACTIVE or BusState.PASSIVE, not {state!r}")


class _SharedPort:
    """One open adapter port and the buses on its two channels."""

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
        self.buses: List[Optional["VelkBus"]] = [None, None]
        self.hw_filter: List[Tuple[int, int, int]] = [(0, 0, 0), (0, 0, 0)]
        self.gone = False
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.reading = False  # a thread holds the port for reading or a command
        self.commands_waiting = 0
        self.send_lock = threading.Lock()
        self.bus_status: List[bytes] = [b"", b""]
        self.bus_status_count = 0
        self.unclaimed = 0  # frames of a channel with no bus
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
        bus of its channel. Returns the number of reports taken."""
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
            bus = buses[ch]
            if bus is None:
                self.unclaimed += 1
                continue
            if fdf:
                n = DLC_LENGTHS[dlc]
                length = n
            else:
                n = dlc if dlc < 8 else 8
                length = dlc
            msg = Message(timestamp=self._adapter_time(sec, usec) if (sec or usec) else time.time(),
                          arbitration_id=fid, is_extended_id=id_type == b.VELK_EID, is_remote_frame=bool(rtr),
                          channel=bus.channel, dlc=length, data=bytearray() if rtr else buf[_DATA:_DATA + n],
                          is_fd=bool(fdf), bitrate_switch=bool(brs), error_state_indicator=bool(esi), is_rx=True,
                          check=False)
            batch.append((bus, msg))
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
        for ch, bus in enumerate(self.buses):
            if bus is None or not bus.error_frames:
                continue
            data = b"" if msg_type == b.VELK_EEERR_TYPE else groups[ch]
            out.append((bus, Message(timestamp=time.time(), arbitration_id=ERROR_FRAME_IDS[msg_type],
                                     is_extended_id=True, is_error_frame=True, channel=bus.channel,
                                     dlc=len(data), data=data, is_rx=True, check=False)))
        return out

    def _deliver(self, batch) -> None:
        with self.cond:
            for bus, msg in batch:
                bus._queue_message(msg)
            self.cond.notify_all()


_ports: Dict[int, _SharedPort] = {}
_ports_lock = threading.Lock()


class VelkBus(BusABC):
    """A CAN channel of the velk adapter.

    :param channel: ``"PORT:CAN1"`` or ``"PORT:CAN2"``; PORT is a port index of
        the library's device table or a device path (``"/dev/ttyACM0:CAN2"``).
    :param bitrate: nominal bit rate in bit/s; None keeps the adapter's.
    :param fd: CAN FD on this channel.
    :param data_bitrate: CAN FD data-phase bit rate in bit/s (needs ``fd``);
        None keeps the adapter's.
    :param state: ``BusState.PASSIVE`` opens the channel listen-only.
    :param receive_own_messages: sent frames are also received, with
        ``is_rx`` False.
    :param error_frames: switch the adapter's error reports on and receive
        them as error frames (identifier 0x9902 bus error, 0x9904 bus error
        PSR, 0x9901 EEPROM error; data: the channel's six status bytes).
    :param can_filters: python-can filters; a single filter with an
        ``extended`` key is programmed into the adapter, anything else is
        applied on the host.
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
                raise ValueError("velk: data_bitrate is a CAN FD setting; open the bus with fd=True")
            _rate_code("data_bitrate", data_bitrate, data_code)
        _check_state(state)
        self._fd = bool(fd)
        self._passive = state == BusState.PASSIVE
        self.receive_own_messages = bool(receive_own_messages)
        self.error_frames = bool(error_frames)
        self._queue: collections.deque = collections.deque()
        self.frames_dropped = 0  # frames this bus did not read in time (queue limit)
        self._hw_filter: Optional[Tuple[int, int, int]] = None
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
        self._port = self._attach(port_spec)
        self.channel_info = f"velk {self._port.name} {CHANNEL_NAMES[self._ch]}"
        self._closed = False
        try:
            with self._port.command() as adapter:
                self._configure(adapter, bitrate, data_bitrate, can_filters)
            super().__init__(channel, can_filters=can_filters, **kwargs)
        except BaseException:
            self.shutdown()
            raise

    def __repr__(self):
        return f"<VelkBus {self.channel_info}{' shut down' if self._closed else ''}>"

    # ---- opening and closing ----

    def _attach(self, port_spec) -> _SharedPort:
        try:
            index = resolve_port(port_spec)
        except VelkError as e:
            raise CanInitializationError(f"velk: {e}") from None
        with _ports_lock:
            port = _ports.get(index)
            if port is None:
                try:
                    port = _SharedPort(index)
                except VelkError as e:
                    raise CanInitializationError(f"velk: {e}") from None
                _ports[index] = port
            if port.buses[self._ch] is not None:
                raise CanInitializationError(f"velk: {CHANNEL_NAMES[self._ch]} of {port.name} is already open "
                                             f"in this process ({port.buses[self._ch].channel!r})")
            port.buses[self._ch] = self
            return port

    def _configure(self, adapter: Adapter, bitrate, data_bitrate, can_filters) -> None:
        """Sets this channel's rates, mode, CAN FD and filter where they differ
        from the adapter's, then (re)starts it, leaving the other channel as
        it was."""
        ch, port = self._ch, self._port
        try:
            cfg = adapter.config()
            mine = cfg.channels[ch]
            changed = False
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
            changed |= self._program_filter(adapter, can_filters)
            running = list(adapter.channel_status())
            if changed or not running[ch]:
                running[ch] = True
                adapter.start(*running)
        except VelkError as e:
            raise CanInitializationError(f"velk: {e}") from None

    def shutdown(self) -> None:
        """Stops this channel (the other keeps running); the last bus of a
        port closes it. Shutting down twice is harmless."""
        if getattr(self, "_port", None) is None or self._closed:
            self._closed = True
            return
        if hasattr(self, "_periodic_tasks"):  # set by BusABC.__init__, which a failed open may not reach
            super().shutdown()
        port = self._port
        with _ports_lock:
            with port.command() as adapter:
                self._closed = True
                port.buses[self._ch] = None
                last = port.buses == [None, None]
                if last:
                    del _ports[port.index]
                    port.close()
                elif not port.gone:
                    running = [False, False]
                    with contextlib.suppress(VelkError):
                        running = list(adapter.channel_status())
                    if running[self._ch]:
                        running[self._ch] = False
                        with contextlib.suppress(VelkError):
                            adapter.start(*running)
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

    def _program_filter(self, adapter: Adapter, filters) -> bool:
        """Programs or clears this channel's filter in the adapter; True when
        the adapter's filter changed."""
        hw = self._hardware_filter(filters)
        current = self._port.hw_filter[self._ch]
        self._hw_filter = hw
        if hw is not None and current != hw:
            adapter.set_filter(self._ch, *hw)
        elif hw is None and current[0] != 0:
            adapter.clear_filter(self._ch)
            hw = (0, 0, 0)
        else:
            return False
        self._port.hw_filter[self._ch] = hw
        return True

    def _apply_filters(self, filters) -> None:
        if self._closed:
            return
        with self._port.command() as adapter:
            try:
                if self._program_filter(adapter, filters):
                    running = list(adapter.channel_status())
                    if running[self._ch]:
                        adapter.start(*running)
            except VelkError as e:
                raise CanOperationError(f"velk: {e}") from None

    def _passes_hardware_filter(self, msg: Message) -> bool:
        # The adapter's filter is checked again here, so a frame it let
        # through in error never reaches the caller.
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
            raise CanOperationError("velk: the adapter cannot send error frames")
        if msg.is_fd and not self._fd:
            raise CanOperationError(f"velk: a CAN FD frame on {self.channel!r}, which was opened without fd=True")
        limit = 0x1FFFFFFF if msg.is_extended_id else 0x7FF
        if not 0 <= msg.arbitration_id <= limit:
            raise ValueError(f"velk: identifier 0x{msg.arbitration_id:X} does not fit "
                             f"{'29' if msg.is_extended_id else '11'} bits")
        data = msg.data or b""
        if msg.is_fd:
            if msg.is_remote_frame:
                raise ValueError("velk: CAN FD has no remote frames")
            n = len(data)
            dlc = dlc_for_length(n)
        else:
            if len(data) > 8 or not 0 <= msg.dlc <= 8:
                raise ValueError(f"velk: a classic CAN frame carries 0 to 8 bytes, not dlc {msg.dlc} "
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
        if self.receive_own_messages:
            own = Message(timestamp=time.time(), arbitration_id=msg.arbitration_id,
                          is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame,
                          channel=self.channel, dlc=msg.dlc, data=bytearray(data), is_fd=msg.is_fd,
                          bitrate_switch=msg.bitrate_switch, error_state_indicator=msg.error_state_indicator,
                          is_rx=False, check=False)
            with port.cond:
                self._queue_message(own)
                port.cond.notify_all()

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
        with self._port.command() as adapter:
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

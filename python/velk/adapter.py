"""A small Pythonic layer over lib_velk_2: open an adapter by port index or
device path, read its versions and settings, configure and start its
channels, send classic and CAN FD frames, receive with a time-out.

Every failure raises VelkError naming the library call and the port.

    with velk.Adapter("/dev/ttyACM0") as a:
        a.start()
        a.send(velk.Frame(channel=0, id=0x123, data=b"\\x01\\x02"))
        print(a.receive(timeout=1.0))
"""

import ctypes
import dataclasses
import os
import select
import threading
import time
from typing import List, Optional, Tuple, Union

from . import binding as b

# Nominal bit rate (bit/s) -> the adapter's code: VELK_NOMINAL_BIT_RATES of
# include/lib_velk_2.h, which is the source (its static inline functions are
# not in the shared library for ctypes to call).
NOMINAL_RATES = {5000: 0, 10000: 1, 20000: 2, 50000: 3, 100000: 4, 125000: 5, 250000: 6, 400000: 10,
                 500000: 7, 800000: 8, 1000000: 9}
# Adapters of generation 0 to 2 refuse the codes 0 to 3 (5 to 50 kbit/s).
_LOW_RATE_CODES = (0, 1, 2, 3)
# CAN FD data-phase bit rate (bit/s) -> the adapter's code (the rate in Mbit/s).
DATA_RATES = {2000000: 2, 4000000: 4, 5000000: 5, 6000000: 6, 8000000: 8, 10000000: 10}
# CAN FD DLC code -> payload length: VELK_DLC_LENGTHS of include/lib_velk_2.h.
DLC_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)

PortSpec = Union[int, str]


class VelkError(Exception):
    """A library call failed; the message names the call and the port."""

    def __init__(self, operation: str, port: Optional[int], reason: str = ""):
        self.operation = operation
        self.port = port
        where = f" on {describe_port(port)}" if port is not None else ""
        super().__init__(f"{operation} failed{where}" + (f": {reason}" if reason else ""))


class UnsupportedRate(ValueError):
    """A bit rate the adapter cannot do; the message lists the ones it can."""


def _rate_list(rates) -> str:
    return ", ".join(str(r) for r in sorted(rates))


def nominal_rates(generation: Optional[int] = None) -> List[int]:
    """The nominal bit rates an adapter of this generation can do."""
    low_refused = generation is not None and generation <= 2
    return sorted(r for r, c in NOMINAL_RATES.items() if not (low_refused and c in _LOW_RATE_CODES))


def nominal_code(rate: int, generation: Optional[int] = None) -> int:
    """The adapter's code of a nominal bit rate in bit/s."""
    allowed = nominal_rates(generation)
    if rate not in allowed:
        who = f"an adapter of generation {generation}" if generation is not None else "the adapter"
        raise UnsupportedRate(f"nominal bit rate {rate} bit/s is not one {who} can do; it can do "
                              f"{_rate_list(allowed)} bit/s")
    return NOMINAL_RATES[rate]


def data_code(rate: int) -> int:
    """The adapter's code of a CAN FD data-phase bit rate in bit/s."""
    if rate not in DATA_RATES:
        raise UnsupportedRate(f"CAN FD data bit rate {rate} bit/s is not one the adapter can do; it can do "
                              f"{_rate_list(DATA_RATES)} bit/s")
    return DATA_RATES[rate]


def dlc_for_length(n: int) -> int:
    """The smallest DLC code whose payload holds n bytes."""
    for code, length in enumerate(DLC_LENGTHS):
        if length >= n:
            return code
    raise ValueError(f"a CAN FD frame carries at most 64 bytes, not {n}")


# ---- the port table ----

_table_lock = threading.Lock()
_table_names = {}  # index -> the bytes a repointed entry points at, kept alive here


def port_path(index: int) -> str:
    """The device name behind a port index."""
    name = b.library().comports[index]
    return name.decode(errors="replace") if name else ""


def describe_port(index: int) -> str:
    try:
        return f"port {index} ({port_path(index)})"
    except (b.LibraryNotFound, IndexError, TypeError):
        return f"port {index}"


def map_port(index: int, path: str) -> None:
    """Point port index `index` at device `path`."""
    if not 0 <= index < b.PORT_COUNT:
        raise ValueError(f"port index {index} is outside 0..{b.PORT_COUNT - 1}")
    name = ctypes.create_string_buffer(os.fsencode(path))
    with _table_lock:
        _table_names[index] = name
        b.library().comports[index] = ctypes.cast(name, ctypes.c_char_p)


def open_ports() -> dict:
    """Port index -> file descriptor of every port the library holds open."""
    found = {}
    node = b.library().first
    while node:
        n = node.contents
        if n.is_open and n.com_index not in found:
            found[n.com_index] = n.fd
        node = n.next
    return found


def resolve_port(port: PortSpec) -> int:
    """The port index of an index or a device path. A path the table does not
    name is put into a free entry (one whose device does not exist and that is
    not open), searched from the top so the well-known low indices stay."""
    if isinstance(port, bool) or not isinstance(port, (int, str)):
        raise ValueError(f"a port is an index 0..{b.PORT_COUNT - 1} or a device path, not {port!r}")
    if isinstance(port, str) and port.isdigit():
        port = int(port)
    if isinstance(port, int):
        if not 0 <= port < b.PORT_COUNT:
            raise ValueError(f"port index {port} is outside 0..{b.PORT_COUNT - 1}")
        return port
    if not port:
        raise ValueError("empty device path")
    lib = b.library()
    real = os.path.realpath(port)
    with _table_lock:
        names = [lib.comports[i] for i in range(b.PORT_COUNT)]
    for i, name in enumerate(names):
        if name and os.fsdecode(name) == port:
            return i
    if os.path.exists(port):
        for i, name in enumerate(names):
            if name and os.path.exists(name) and os.path.realpath(name) == real:
                return i
    busy = open_ports()
    for i in reversed(range(b.PORT_COUNT)):
        if i not in busy and not (names[i] and os.path.exists(names[i])):
            map_port(i, port)
            return i
    raise VelkError("map the device path", None, f"no free entry in the port table for {port}")


def search() -> List[int]:
    """Port indices where the library's port search finds an adapter."""
    found = b.library().VELK_search_com()
    return [found.com[i] for i in range(found.num)]


# ---- records in Python form ----

@dataclasses.dataclass
class Versions:
    fw: str
    api: str
    model: str

    @property
    def generation(self) -> int:
        """The low digit of the first firmware byte; 0 when it is not a digit."""
        try:
            return int(self.fw[1], 16)
        except (IndexError, ValueError):
            return 0


@dataclasses.dataclass
class ChannelConfig:
    bitrate_code: int
    mode: int
    filter_type: int
    filter_id: int
    filter_mask: int
    fd_enabled: bool
    data_rate_code: int


@dataclasses.dataclass
class Config:
    channels: Tuple[ChannelConfig, ChannelConfig]
    error_reporting: int


@dataclasses.dataclass
class Frame:
    """A CAN or CAN FD frame, or a status report (kind != VELK_DATA_TYPE)."""
    channel: int = b.VELK_CAN_1
    id: int = 0
    data: bytes = b""
    extended: bool = False
    remote: bool = False
    fd: bool = False
    brs: bool = False
    esi: bool = False
    dlc: Optional[int] = None  # DLC code; None: from the length of data
    kind: int = b.VELK_DATA_TYPE
    adapter_time: Optional[float] = None  # the adapter's timestamp in seconds, when the report had one
    recv_time: str = ""  # host time of day "hh:mm:ss:mmm"
    status: Tuple[bytes, bytes] = (b"", b"")  # status reports: six bytes per channel


def frame_from_record(rec: b.CAN_FRAME_INFO) -> Frame:
    if rec.msg_type != b.VELK_DATA_TYPE:
        return Frame(kind=rec.msg_type, recv_time=rec.recv_time.decode(errors="replace"),
                     status=(bytes(rec.data_err[0]), bytes(rec.data_err[1])))
    fd = bool(rec.fdf)
    n = DLC_LENGTHS[rec.dlc] if fd else min(rec.dlc, 8)
    ts = rec.timestamp
    return Frame(channel=rec.CAN_port, id=rec.id, data=b"" if rec.rtr else bytes(rec.data[:n]),
                 extended=rec.id_type == b.VELK_EID, remote=bool(rec.rtr), fd=fd, brs=bool(rec.brs),
                 esi=bool(rec.esi), dlc=rec.dlc,
                 adapter_time=ts.second + ts.micro_second / 1e6 if (ts.second or ts.micro_second) else None,
                 recv_time=rec.recv_time.decode(errors="replace"))


def record_from_frame(frame: Frame) -> b.CAN_FRAME_INFO:
    """The library's record of a frame; raises ValueError for a frame that
    cannot exist (identifier too wide, payload too long)."""
    if frame.channel not in (b.VELK_CAN_1, b.VELK_CAN_2):
        raise ValueError(f"channel {frame.channel} is not VELK_CAN_1 (0) or VELK_CAN_2 (1)")
    limit = 0x1FFFFFFF if frame.extended else 0x7FF
    if not 0 <= frame.id <= limit:
        raise ValueError(f"identifier 0x{frame.id:X} does not fit {'29' if frame.extended else '11'} bits")
    data = bytes(frame.data)
    if frame.fd:
        code = dlc_for_length(len(data)) if frame.dlc is None else frame.dlc
        if not 0 <= code <= 15 or DLC_LENGTHS[code] < len(data):
            raise ValueError(f"DLC {code} does not hold {len(data)} bytes")
    else:
        if len(data) > 8:
            raise ValueError(f"a classic CAN frame carries at most 8 bytes, not {len(data)}")
        code = len(data) if frame.dlc is None else frame.dlc
        if not 0 <= code <= 8:
            raise ValueError(f"classic DLC {code} is outside 0..8")
    rec = b.CAN_FRAME_INFO()
    rec.CAN_port = frame.channel
    rec.id_type = b.VELK_EID if frame.extended else b.VELK_SID
    rec.rtr = int(frame.remote)
    rec.dlc = code
    rec.brs = int(frame.brs)
    rec.esi = int(frame.esi)
    rec.fdf = int(frame.fd)
    rec.id = frame.id
    ctypes.memmove(rec.data, data, len(data))
    return rec


HANGUP = select.POLLHUP | select.POLLERR | select.POLLNVAL


def poll_ms(timeout: Optional[float]) -> Optional[int]:
    """A time-out in seconds as poll() takes it, rounded up."""
    return None if timeout is None else max(0, int(timeout * 1000 + 0.999))


def wait_input(fd: int, timeout: Optional[float]) -> int:
    """Waits until fd has input or hangs up; the poll events, 0 on time-out."""
    p = select.poll()
    p.register(fd, select.POLLIN)
    events = p.poll(poll_ms(timeout))
    return events[0][1] if events else 0


class Adapter:
    """One opened adapter port. Commands and receive calls on one Adapter
    must come from one thread at a time; sending may run beside receiving."""

    # Longest wait for input before the library is asked again: it may hold
    # a complete report behind one it dropped, or be waiting out a cut report.
    POLL_SLICE_S = 0.1

    def __init__(self, port: PortSpec):
        self.lib = b.library()
        self.index = resolve_port(port)
        self.path = port_path(self.index)
        if self.lib.VELKOpenDevice(self.index) != 0:
            raise VelkError("VELKOpenDevice", self.index,
                            "no adapter answers (the device is missing, held by another program or silent)")
        self._open = True
        self._rx = b.CAN_FRAME_INFO()

    def __repr__(self):
        return f"<velk.Adapter {describe_port(self.index)}{'' if self._open else ' closed'}>"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def closed(self) -> bool:
        return not self._open

    def close(self) -> None:
        """Stops both channels and closes the port; closing twice is harmless."""
        if self._open:
            self._open = False
            self.lib.VELKCloseDevice(self.index)

    def _check(self, operation: str, rc: int, reason: str = "the adapter did not confirm") -> None:
        if not self._open:
            raise VelkError(operation, self.index, "the adapter is closed")
        if rc != 0:
            raise VelkError(operation, self.index, reason)

    def fileno(self) -> int:
        """The port's file descriptor, for select() and poll()."""
        fd = open_ports().get(self.index)
        if not self._open or fd is None:
            raise VelkError("fileno", self.index, "the port is not open")
        return fd

    def device_present(self) -> bool:
        return self._open and self.lib.VELKCheckDevice(self.index) == 0

    # ---- queries ----

    def versions(self) -> Versions:
        info = b.VER_INFO()
        self._check("VELKShowVer", self.lib.VELKShowVer(self.index, info))
        return Versions(info.fw.decode(), info.api.decode(), info.model.decode())

    def channel_status(self) -> Tuple[bool, bool]:
        s1, s2 = ctypes.c_int(), ctypes.c_int()
        self._check("VELKGetCANStatus", self.lib.VELKGetCANStatus(self.index, ctypes.byref(s1), ctypes.byref(s2)))
        return bool(s1.value), bool(s2.value)

    def config(self) -> Config:
        c = b.CANFD_CFG_INFO()
        self._check("VELKGetCFG_CANFD", self.lib.VELKGetCFG_CANFD(self.index, c))
        return Config(tuple(ChannelConfig(c.baud[i], c.mode[i], c.flt_type[i], c.flt_id[i], c.flt_mask[i],
                                          bool(c.fdf_en[i]), c.datarate[i]) for i in (0, 1)), c.err_set)

    # ---- settings ----

    def set_bitrate_codes(self, can1: int, can2: int) -> None:
        self._check("VELKSetBaudRate", self.lib.VELKSetBaudRate(self.index, can1, can2),
                    "the adapter refused the codes (generations 0 to 2 cannot do 5 to 50 kbit/s)")

    def set_bitrates(self, can1: int, can2: int) -> None:
        """Nominal bit rates in bit/s; UnsupportedRate lists the possible ones."""
        gen = self.versions().generation
        self.set_bitrate_codes(nominal_code(can1, gen), nominal_code(can2, gen))

    def set_modes(self, can1: int, can2: int) -> None:
        """VELK_NORMAL or VELK_LISTEN per channel."""
        self._check("VELKSetMode", self.lib.VELKSetMode(self.index, can1, can2))

    def set_fd(self, can1: Tuple[bool, int], can2: Tuple[bool, int]) -> None:
        """(CAN FD on, data-rate code) per channel."""
        cfg = b.CFG_CANFD(can1[1], int(can1[0]), can2[1], int(can2[0]))
        self._check("VELKSetCFG_CANFD", self.lib.VELKSetCFG_CANFD(self.index, cfg))

    def set_filter(self, channel: int, filter_type: int, filter_id: int, mask: int) -> None:
        f = b.FILTER_INFO(channel, filter_type, filter_id, mask)
        self._check("VELKSetFilter", self.lib.VELKSetFilter(self.index, f))

    def clear_filter(self, channel: int) -> None:
        self._check("VELKClearFilter", self.lib.VELKClearFilter(self.index, channel))

    def set_error_reporting(self, setting: int) -> None:
        self._check("VELKSetErrorType", self.lib.VELKSetErrorType(self.index, setting))

    def reset(self) -> None:
        self._check("VELKResetCAN", self.lib.VELKResetCAN(self.index))

    def start(self, can1: bool = True, can2: bool = True) -> None:
        """Sets each channel running or stopped (a running adapter is stopped
        first, then the requested channels are started)."""
        self._check("VELKInitCAN", self.lib.VELKInitCAN(self.index, int(can1), int(can2)))

    def stop(self) -> None:
        self.start(False, False)

    def request_bus_status(self) -> None:
        """Asks for the bus status; it arrives as a report (kind VELK_GETBUS_TYPE)."""
        self._check("VELKGetBusError", self.lib.VELKGetBusError(self.index), "the request was not written")

    # ---- frames ----

    def send(self, frame: Frame) -> None:
        """Sends a classic frame, or a CAN FD frame when frame.fd is set."""
        rec = record_from_frame(frame)
        if frame.fd:
            self._check("VELKSend_CANFD", self.lib.VELKSend_CANFD(self.index, rec), "the frame was not written")
        else:
            self._check("VELKSend", self.lib.VELKSend(self.index, rec), "the frame was not written")

    def receive(self, timeout: Optional[float] = None) -> Optional[Frame]:
        """The next frame or status report; None when `timeout` seconds pass.
        Waits on the port's descriptor, never spins."""
        deadline = None if timeout is None else time.monotonic() + timeout
        fd = self.fileno()
        while True:
            ctypes.memset(ctypes.byref(self._rx), 0, ctypes.sizeof(self._rx))
            if self.lib.VELKReceive_CANFD(self.index, self._rx) == 1:
                return frame_from_record(self._rx)
            left = self.POLL_SLICE_S if deadline is None else min(deadline - time.monotonic(), self.POLL_SLICE_S)
            if left <= 0:
                return None
            if wait_input(fd, left) & HANGUP and not self.device_present():
                raise VelkError("VELKReceive_CANFD", self.index, "the device has gone")

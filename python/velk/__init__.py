"""velk: Python binding of lib_velk_2, the library of the two-channel
USB-to-CAN / CAN FD adapter, and its python-can interface (``velk.canbus``,
registered as the python-can interface "velk")."""

from .adapter import (DATA_RATES, DLC_LENGTHS, NOMINAL_RATES, Adapter, ChannelConfig, Config, Frame,
                      UnsupportedRate, VelkError, Versions, data_code, map_port, nominal_code, nominal_rates,
                      open_ports, port_path, resolve_port, search)
from .binding import LibraryNotFound, library

__all__ = ["DATA_RATES", "DLC_LENGTHS", "NOMINAL_RATES", "Adapter", "ChannelConfig", "Config", "Frame",
           "LibraryNotFound", "UnsupportedRate", "VelkError", "Versions", "data_code", "library", "map_port",
           "nominal_code", "nominal_rates", "open_ports", "port_path", "resolve_port", "search"]

try:
    from ._paths import VERSION as __version__
except ImportError:  # the source tree, not a built or installed copy
    __version__ = "unknown"

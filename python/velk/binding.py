"""ctypes declarations of lib_velk_2: every record of the public header, the
exported functions with their argument types, and the library's globals.

The records are flat with natural alignment, exactly as the C header lays
them out; tests compare every size and offset with the C compiler's.
"""

import ctypes
import ctypes.util
import os
from ctypes import (POINTER, Structure, c_bool, c_char, c_char_p, c_int, c_uint, c_ubyte, c_uint8, c_uint32,
                    c_ulonglong, c_ushort)

# Number of port indices of the Linux device-name table `comports`.
PORT_COUNT = 68

VELK_CAN_1 = 0
VELK_CAN_2 = 1
VELK_INACTIVE = 0
VELK_ACTIVE = 1
VELK_NORMAL = 0
VELK_LISTEN = 1
VELK_SID = 1
VELK_EID = 2
VELK_DIS_RTR = 0
VELK_EN_RTR = 1
VELK_DIS_ALL = 0
VELK_EE_ERR = 1
VELK_ROM_ERR = 1
VELK_BUS_ERR = 2
VELK_EN_ALL = 255
VELK_BRS_OFF = 0
VELK_BRS_ON = 1
VELK_FDF_OFF = 0
VELK_FDF_ON = 1
VELK_DATA_TYPE = 0
VELK_EEERR_TYPE = 1
VELK_ROMERR_TYPE = 1
VELK_BUSERR_TYPE = 2
VELK_GETBUS_TYPE = 3
VELK_BUSERR_PSR_TYPE = 4


class VER_INFO(Structure):
    _fields_ = [("fw", c_char * 16), ("api", c_char * 16), ("model", c_char * 16)]


class FILTER_INFO(Structure):
    _fields_ = [("CAN_port", c_int), ("flt_type", c_int), ("flt_id", c_uint), ("mask", c_uint)]


class CFG_INFO(Structure):
    _fields_ = [("baud", c_ubyte * 2), ("mode", c_ubyte * 2), ("flt_type", c_ubyte * 2), ("flt_id", c_uint * 2),
                ("flt_mask", c_uint * 2), ("err_set", c_ubyte)]


class CANFD_CFG_INFO(Structure):
    _fields_ = CFG_INFO._fields_ + [("fdf_en", c_ubyte * 2), ("datarate", c_ubyte * 2)]


class CFG_CANFD(Structure):
    _fields_ = [("CAN1_DataRate", c_ubyte), ("CAN1_FDF_EN", c_ubyte), ("CAN2_DataRate", c_ubyte),
                ("CAN2_FDF_EN", c_ubyte)]


class TIMING_CFG_CANFD(Structure):
    _fields_ = [("sel", c_ubyte), ("param", c_ubyte * 4), ("reserved", c_ubyte), ("param5", c_ubyte),
                ("param6", c_ushort), ("param7", c_ubyte * 9)]


class TIME_ST_T(Structure):
    _fields_ = [("second", c_uint), ("micro_second", c_uint)]


class CAN_FRAME_INFO(Structure):
    _fields_ = [("CAN_port", c_int), ("id_type", c_int), ("rtr", c_int), ("dlc", c_int), ("msg_type", c_int),
                ("brs", c_int), ("esi", c_int), ("fdf", c_int), ("recv_time", c_char * 13), ("id", c_uint),
                ("data", c_ubyte * 64), ("data_err", (c_ubyte * 6) * 2), ("timestamp", TIME_ST_T)]


class SEND_QUEUE_ITEM(Structure):
    _fields_ = [("com_port", c_int), ("can_frame_info", CAN_FRAME_INFO)]


class TESTING_INFO(Structure):
    _fields_ = [("reserved", c_uint32), ("send_len", c_int), ("recv_len", c_int), ("send_buf", c_ubyte * 256),
                ("recv_buf", POINTER(c_ubyte))]


class VCOM_CFG_INFO(Structure):
    _fields_ = [("vcom_mode", c_uint), ("vcom_map", c_uint), ("vcom_order", c_uint), ("com_index", c_int),
                ("dev_id", c_ubyte * 8)]


class COM_SEARCH_INFO(Structure):
    _fields_ = [("num", c_int), ("com", c_int * PORT_COUNT)]


class NON_BLOCK_INFO(Structure):
    _fields_ = [("cnt", c_uint), ("interval", c_uint), ("can_frame_info", POINTER(CAN_FRAME_INFO))]


class RANGE_FILTER_ENTRY(Structure):
    _fields_ = [("used", c_uint), ("id_type", c_uint), ("id_low", c_uint), ("id_high", c_uint)]


class RANGE_FILTER_INFO(Structure):
    _fields_ = [("enable", c_ubyte), ("reserved", c_ubyte * 3), ("entry", RANGE_FILTER_ENTRY * 16)]


class COM_NODE(Structure):
    pass


COM_NODE._fields_ = [("is_open", c_uint8), ("com_index", c_int), ("fd", c_int),
                     ("range_flt", RANGE_FILTER_INFO * 2), ("next", POINTER(COM_NODE))]

# Every record of the header, by its C name.
RECORDS = {cls.__name__: cls for cls in (
    VER_INFO, FILTER_INFO, CFG_INFO, CANFD_CFG_INFO, CFG_CANFD, TIMING_CFG_CANFD, TIME_ST_T, CAN_FRAME_INFO,
    SEND_QUEUE_ITEM, TESTING_INFO, VCOM_CFG_INFO, COM_SEARCH_INFO, NON_BLOCK_INFO, RANGE_FILTER_ENTRY,
    RANGE_FILTER_INFO, COM_NODE)}

_INT = c_int
# name: (result type, argument types)
_FUNCTIONS = {
    "VELKOpenDevice": (_INT, [c_int]),
    "VELKOpenDeviceSCT": (_INT, [c_int]),
    "VELKCloseDevice": (_INT, [c_int]),
    "VELKInitCAN": (_INT, [c_int, c_int, c_int]),
    "VELKShowVer": (_INT, [c_int, POINTER(VER_INFO)]),
    "VELKGetCANStatus": (_INT, [c_int, POINTER(c_int), POINTER(c_int)]),
    "VELKGetBLDID": (_INT, [c_int, POINTER(c_ubyte)]),
    "VELKResetCAN": (_INT, [c_int]),
    "VELKSetBaudRate": (_INT, [c_int, c_int, c_int]),
    "VELKSetMode": (_INT, [c_int, c_int, c_int]),
    "VELKSetErrorType": (_INT, [c_int, c_int]),
    "VELKSetFilter": (_INT, [c_int, POINTER(FILTER_INFO)]),
    "VELKClearFilter": (_INT, [c_int, c_int]),
    "VELKGetCfg": (_INT, [c_int, POINTER(CFG_INFO)]),
    "VELKGetCFG_CANFD": (_INT, [c_int, POINTER(CANFD_CFG_INFO)]),
    "VELKSetCFG_CANFD": (_INT, [c_int, POINTER(CFG_CANFD)]),
    "VELKSet_TimingCFG_CANFD": (_INT, [c_int, POINTER(TIMING_CFG_CANFD)]),
    "VELKGet_TimingCFG_CANFD": (_INT, [c_int, POINTER(TIMING_CFG_CANFD), c_ubyte]),
    "VELKExpCfg": (_INT, [c_int, c_char_p]),
    "VELKImpCfg": (_INT, [c_int, c_char_p]),
    "VELKGetVCOMConfig": (_INT, [c_int, POINTER(VCOM_CFG_INFO)]),
    "VELKSetVCOMConfig": (_INT, [c_int, c_int]),
    "VELKFlexibleVCOM": (_INT, [c_int]),
    "VELK_search_com": (COM_SEARCH_INFO, []),
    "VELKOpenSocketCAN": (_INT, [c_int, POINTER(c_int)]),
    "VELKCheckDevice": (_INT, [c_int]),
    "VELKGetInputStats": (_INT, [c_int, POINTER(c_ulonglong), POINTER(c_ulonglong)]),
    "VELKSend": (_INT, [c_int, POINTER(CAN_FRAME_INFO)]),
    "VELKSend_CANFD": (_INT, [c_int, POINTER(CAN_FRAME_INFO)]),
    "VELKTesting": (_INT, [c_int, POINTER(TESTING_INFO)]),
    "VELKReceive": (_INT, [c_int, POINTER(CAN_FRAME_INFO)]),
    "VELKReceive_CANFD": (_INT, [c_int, POINTER(CAN_FRAME_INFO)]),
    "VELKReceiveNonblock": (_INT, [c_int, POINTER(NON_BLOCK_INFO)]),
    "VELKGetBusError": (_INT, [c_int]),
    "VELKSetRecvBlock": (_INT, [c_int, c_bool]),
    "VELKInitRangeFilter": (_INT, [c_int, c_int, c_int]),
    "VELKGetRangeFilter": (_INT, [c_int, POINTER(RANGE_FILTER_INFO), POINTER(RANGE_FILTER_INFO)]),
    "VELKSetRangeFilter": (_INT, [c_int, POINTER(RANGE_FILTER_INFO), POINTER(RANGE_FILTER_INFO)]),
}

# name: C type of the exported data object
_GLOBALS = {
    "comports": c_char_p * PORT_COUNT,
    "show_ver_cmd": c_ubyte * 4, "bldid_cmd": c_ubyte * 4, "get_sts_cmd": c_ubyte * 4, "reset_cmd": c_ubyte * 4,
    "expcfg_cmd": c_ubyte * 4, "getcfg_cmd": c_ubyte * 4, "getcfg_canfd_cmd": c_ubyte * 4,
    "clr_filt_0_cmd": c_ubyte * 13, "clr_filt_1_cmd": c_ubyte * 13, "get_vcom_cmd": c_ubyte * 4,
    "get_bus_cmd": c_ubyte * 4,
    "first": POINTER(COM_NODE), "last": POINTER(COM_NODE), "previous": POINTER(COM_NODE),
    "g_FlexibleVCOM_flag": c_bool, "range_filter_mutex": c_bool,
    "temp_buf_fun0": c_uint32, "temp_buf_fun1": c_uint32,
    "enable_send_queue": c_bool, "size_send_queue": c_int, "can_frame_queue": POINTER(SEND_QUEUE_ITEM),
    "rear": c_int, "front": c_int, "send_delay": c_int * 2,
}


class LibraryNotFound(OSError):
    """libvelk_2.so could not be loaded from any of the places tried."""


class Library:
    """The loaded libvelk_2.so: every exported function as an attribute with
    its argument types set, and every global as a ctypes object."""

    def __init__(self, path):
        self.path = path
        self.dll = ctypes.CDLL(path)
        for name, (restype, argtypes) in _FUNCTIONS.items():
            fn = getattr(self.dll, name)
            fn.restype = restype
            fn.argtypes = argtypes
            setattr(self, name, fn)
        for name, ctype in _GLOBALS.items():
            setattr(self, name, ctype.in_dll(self.dll, name))


def _candidates():
    """Where to look for the library, in order: VELK_LIB, the build tree the
    package was copied from (or the tree it sits in), the installed copy."""
    env = os.environ.get("VELK_LIB")
    if env:
        return [env]
    found = []
    try:
        from . import _paths  # written by the build and by the install
        found.append(_paths.LIBRARY)
    except ImportError:
        here = os.path.dirname(os.path.abspath(__file__))
        found.append(os.path.join(here, "..", "..", "build", "lib", "libvelk_2.so"))
    found.append(ctypes.util.find_library("velk_2") or "libvelk_2.so.2")
    return found


_library = None


def library():
    """The library, loaded on first use. Raises LibraryNotFound naming every
    place that was tried."""
    global _library
    if _library is None:
        errors = []
        for path in _candidates():
            try:
                _library = Library(path)
                break
            except (OSError, AttributeError) as e:
                errors.append(f"{path}: {e}")
        else:
            raise LibraryNotFound("cannot load libvelk_2.so (set VELK_LIB to its path); tried " +
                                  "; ".join(errors))
    return _library

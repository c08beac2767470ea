"""The C functions of MV620ACQm and of its simulated instrument, as ctypes sees them.

This module only declares: argument and result types of the 25 exports of ``MV620ACQm.h`` and
of the ``MV620Sim_*`` controls of ``MV620ACQm_sim.h``, and the structures the controls fill.
Every function uses the C calling convention (cdecl on 32-bit Windows), which is what
``ctypes.CDLL`` calls with.  Nothing here checks arguments; the public modules do that.
"""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_int, c_int32, c_int64, c_uint8, c_uint32, c_void_p

# A window handle: pointer-sized, only stored and handed on (None passes a null handle).
HWND = c_void_p
INT_P = POINTER(c_int)

# ---- The 25 exports ---------------------------------------------------------------------------

EXPORTS = {
    # acquisition
    "Start_Acquisition": (c_int, [HWND]),
    "LV_Start_Acquisition": (c_int, []),
    "Stop_Acquisition": (c_int, []),
    "Get_Blocks_Transferred": (c_int, []),
    # channel rates
    "Set_Sample_Rate": (c_int, [c_int, c_int]),
    "Get_Sample_Rate": (c_int, [c_int]),
    # reading samples
    "Get_DataPoint": (c_int, [c_int, c_int]),
    "Get_Data_Samples": (c_int, [INT_P, c_int, c_int, c_int]),
    "Get_Trigger": (c_int, [INT_P, c_int, c_int, c_int, c_int, c_int]),
    "Get_Current_DataPoint": (c_int, [c_int]),
    "Get_Sample_Modulus": (c_int, [c_int]),
    "Set_Sample_Boundary": (c_int, [c_int]),
    # lines and inputs
    "Do_AZ_On": (c_int, []),
    "Do_AZ_Off": (c_int, []),
    "Do_Odd_Cal_On": (c_int, []),
    "Do_Odd_Cal_Off": (c_int, []),
    "Do_Even_Cal_On": (c_int, []),
    "Do_Even_Cal_Off": (c_int, []),
    "Do_Output_On": (c_int, [c_int]),
    "Do_Output_Off": (c_int, [c_int]),
    "Do_Autozero": (c_int, []),
    "Get_Digital_Input": (c_int, [c_int]),
    # status and configuration
    "Get_MV620ACQ_Status": (c_int, []),
    "Do_Download": (c_int, [HWND]),
    "LV_Download": (c_int, []),
}

# ---- The simulated instrument's controls ------------------------------------------------------

SIM_LOG_CAPACITY = 4096
SIM_PACKET_LENGTH = 64


class SimRequest(ctypes.Structure):
    """MV620SimRequest: one logged control request."""

    _fields_ = [
        ("code", c_uint32),
        ("handle", c_int64),
        ("inLength", c_uint32),
        ("outLength", c_uint32),
        ("bytesReturned", c_uint32),
        ("result", c_int32),
        ("refused", c_int32),
        ("in_", c_uint8 * 16),
    ]


class SimRequestStats(ctypes.Structure):
    """MV620SimRequestStats: counters of one kind of request."""

    _fields_ = [("issued", c_int64), ("succeeded", c_int64), ("refused", c_int64)]


class SimMessage(ctypes.Structure):
    """MV620SimMessage: one progress message the library sent."""

    _fields_ = [
        ("window", HWND),
        ("message", c_uint32),
        ("wParam", ctypes.c_size_t),  # uintptr_t
        ("lParam", ctypes.c_ssize_t),  # intptr_t
    ]


SIM_CONTROLS = {
    "MV620Sim_Reset": (None, []),
    "MV620Sim_SetPresence": (c_int, [c_int]),
    "MV620Sim_SetIdentity": (c_int, [c_int, c_int]),
    "MV620Sim_SetPattern": (c_int, [c_int]),
    "MV620Sim_SetRate": (c_int, [c_int]),
    "MV620Sim_SetStatusByte": (c_int, [c_int]),
    "MV620Sim_SetInputs": (c_int, [c_int]),
    "MV620Sim_FailBlockRead": (c_int, [c_int, c_int]),
    "MV620Sim_ShortBlockRead": (c_int, [c_int, c_int]),
    "MV620Sim_ReadyNeverFrom": (c_int, [c_int]),
    "MV620Sim_UnplugAfterBlocks": (c_int, [c_int]),
    "MV620Sim_Replug": (c_int, []),
    "MV620Sim_FailPacketWrite": (c_int, [c_int, c_int]),
    "MV620Sim_FailResponseRead": (c_int, [c_int, c_int]),
    "MV620Sim_SetWrongEcho": (c_int, [c_int]),
    "MV620Sim_SetVirtualClock": (c_int, [c_int, c_uint32]),
    "MV620Sim_GetPacketCount": (c_int64, []),
    "MV620Sim_GetPacket": (c_int, [c_int64, POINTER(ctypes.c_ubyte)]),
    "MV620Sim_GetRequestCount": (c_int64, []),
    "MV620Sim_GetRequest": (c_int, [c_int64, POINTER(SimRequest)]),
    "MV620Sim_GetRequestStats": (c_int, [c_uint32, POINTER(SimRequestStats)]),
    "MV620Sim_GetMalformedRequests": (c_int64, []),
    "MV620Sim_GetProtocolErrors": (c_int64, []),
    "MV620Sim_GetChecksumErrors": (c_int64, []),
    "MV620Sim_GetOutputLines": (c_int, []),
    "MV620Sim_GetConfigWord": (c_int, [c_int]),
    "MV620Sim_GetConfigWordWidth": (c_int, [c_int]),
    "MV620Sim_GetBlocksDelivered": (c_int64, []),
    "MV620Sim_GetPendingResponses": (c_int, []),
    "MV620Sim_GetOpenHandles": (c_int, []),
    "MV620Sim_GetMessageCount": (c_int64, []),
    "MV620Sim_GetMessage": (c_int, [c_int64, POINTER(SimMessage)]),
}


def declare(cdll: ctypes.CDLL, table: dict) -> None:
    """Gives every function of ``table`` its result and argument types on ``cdll``.

    Raises AttributeError naming the first function the library does not export.
    """
    for name, (restype, argtypes) in table.items():
        function = getattr(cdll, name)
        function.restype = restype
        function.argtypes = argtypes


def has_sim_controls(cdll: ctypes.CDLL) -> bool:
    """Whether the library is the simulated instrument's build (it exports MV620Sim_Reset)."""
    try:
        getattr(cdll, "MV620Sim_Reset")
    except AttributeError:
        return False
    return True

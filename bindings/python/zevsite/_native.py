"""Loads the SDK's shared library and declares the C functions of <ZEVSiteSDK/zevsite.h>.

The library is looked for, in order, at the path in the ``ZEVSITE_LIBRARY`` environment
variable, as ``libZEVSiteSDK.so.0`` through the dynamic linker's search (``LD_LIBRARY_PATH``,
the system's library directories), and by ``ctypes.util.find_library("ZEVSiteSDK")``.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from ctypes import (
    CFUNCTYPE,
    POINTER,
    c_char,
    c_char_p,
    c_double,
    c_int,
    c_int64,
    c_size_t,
    c_void_p,
)
from typing import List

#: Environment variable naming the shared library's path.
LIBRARY_VARIABLE = "ZEVSITE_LIBRARY"

#: The shared library's name as the dynamic linker knows it (its SONAME).
LIBRARY_SONAME = "libZEVSiteSDK.so.0"


class LibraryNotFoundError(OSError):
    """The SDK's shared library could not be loaded."""


def _candidates() -> List[str]:
    explicit = os.environ.get(LIBRARY_VARIABLE)
    if explicit:
        return [explicit]
    found = ctypes.util.find_library("ZEVSiteSDK")
    return [LIBRARY_SONAME] + ([found] if found else [])


def load_library() -> ctypes.CDLL:
    """Loads the SDK's shared library; raises LibraryNotFoundError when none loads."""
    problems = []
    for candidate in _candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            problems.append(f"{candidate}: {error}")
    raise LibraryNotFoundError(
        "the ZEVSite SDK's shared library was not found; build it with "
        "-DBUILD_SHARED_LIBS=ON and set ZEVSITE_LIBRARY to libZEVSiteSDK.so.0's path "
        "(or install it where the dynamic linker looks). Tried: " + "; ".join(problems)
    )


# Callback types, as <ZEVSiteSDK/zevsite.h> declares them. Text arrives as a pointer and a
# length (read with ctypes.string_at), so that no byte is lost.
LOG_SINK = CFUNCTYPE(None, c_void_p, c_size_t, c_void_p)
NETWORK_STATUS = CFUNCTYPE(c_int, c_void_p)
EVENT_OBSERVER = CFUNCTYPE(None, c_void_p, c_size_t, c_void_p, c_size_t, c_void_p)


class StatisticsStruct(ctypes.Structure):
    """struct zevsite_statistics, field for field."""

    _fields_ = [
        ("tracked", ctypes.c_uint64),
        ("refused", ctypes.c_uint64),
        ("dropped_overflow", ctypes.c_uint64),
        ("dropped_expiry", ctypes.c_uint64),
        ("dropped_event_limit", ctypes.c_uint64),
        ("dropped_rejected", ctypes.c_uint64),
        ("stored", ctypes.c_uint64),
        ("pending", ctypes.c_uint64),
        ("delivered", ctypes.c_uint64),
        ("upload_failures", ctypes.c_uint64),
        ("last_upload_ms", c_int64),
    ]


_PROTOTYPES = {
    "zevsite_dict_new": (c_void_p, []),
    "zevsite_dict_set_string": (None, [c_void_p, c_char_p, c_char_p]),
    "zevsite_dict_set_int": (None, [c_void_p, c_char_p, c_int64]),
    "zevsite_dict_set_double": (None, [c_void_p, c_char_p, c_double]),
    "zevsite_dict_set_bool": (None, [c_void_p, c_char_p, c_int]),
    "zevsite_dict_set_null": (None, [c_void_p, c_char_p]),
    "zevsite_dict_set_dict": (None, [c_void_p, c_char_p, c_void_p]),
    "zevsite_dict_count": (c_size_t, [c_void_p]),
    "zevsite_dict_free": (None, [c_void_p]),
    "zevsite_set_home_directory": (None, [c_char_p]),
    "zevsite_get_home_directory": (c_int64, [POINTER(c_char), c_size_t]),
    "zevsite_set_collect_url": (None, [c_char_p]),
    "zevsite_get_collect_url": (c_int64, [POINTER(c_char), c_size_t]),
    "zevsite_set_enable_log": (None, [c_int]),
    "zevsite_is_log_enabled": (c_int, []),
    "zevsite_set_log_sink": (None, [LOG_SINK, c_void_p]),
    "zevsite_set_network_status_provider": (None, [NETWORK_STATUS, c_void_p]),
    "zevsite_set_event_observer": (None, [EVENT_OBSERVER, c_void_p]),
    "zevsite_set_request_timeout": (None, [c_int64]),
    "zevsite_get_request_timeout": (c_int64, []),
    "zevsite_shared_instance": (c_void_p, [c_char_p, c_char_p]),
    "zevsite_share_instance": (c_void_p, []),
    "zevsite_manager_new": (c_void_p, [c_char_p, c_char_p]),
    "zevsite_manager_release": (None, [c_void_p]),
    "zevsite_track_page_view": (None, [c_void_p, c_char_p, c_void_p]),
    "zevsite_track_event": (None, [c_void_p, c_char_p, c_char_p, c_char_p, c_int64, c_void_p]),
    "zevsite_track_custom_action": (None, [c_void_p, c_void_p, c_void_p]),
    "zevsite_track_pulse": (None, [c_void_p]),
    "zevsite_app_start_request": (None, [c_void_p]),
    "zevsite_track_event_name": (None, [c_void_p, c_char_p, c_char_p, c_void_p]),
    "zevsite_handle_open_url": (None, [c_char_p]),
    "zevsite_config_from_url": (None, [c_void_p, c_char_p]),
    "zevsite_get_cid": (c_int64, [POINTER(c_char), c_size_t]),
    "zevsite_flush": (c_int, [c_int64]),
    "zevsite_shutdown": (c_int, [c_int64]),
    "zevsite_get_statistics": (None, [POINTER(StatisticsStruct), c_size_t]),
    "zevsite_set_overflow_policy": (None, [c_int, c_int64]),
    "zevsite_sdk_version": (c_char_p, []),
    "zevsite_set_tracking_enabled": (None, [c_int]),
    "zevsite_is_tracking_enabled": (c_int, []),
    "zevsite_delete_all_data": (c_int, [c_int64]),
    "zevsite_set_proxy": (None, [c_char_p]),
    "zevsite_set_ca_bundle": (None, [c_char_p]),
    "zevsite_set_compression": (None, [c_int]),
    "zevsite_set_dispatch_interval": (None, [c_int64]),
    "zevsite_set_app_version": (None, [c_char_p, c_char_p]),
    "zevsite_set_user_id": (None, [c_char_p]),
    "zevsite_get_user_id": (c_int64, [POINTER(c_char), c_size_t]),
    "zevsite_set_default_custom_dim_metrics": (None, [c_void_p]),
    "zevsite_set_screen_size": (None, [c_int, c_int]),
    "zevsite_set_session_timeout": (None, [c_int64]),
    "zevsite_set_application_active": (None, [c_int]),
}


def declare(library: ctypes.CDLL) -> ctypes.CDLL:
    """Gives each C function its result and argument types."""
    for name, (result, arguments) in _PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library

"""The ZEVSite site-analytics SDK for Python: page views, events, custom actions, start-ups
and pulses, stored on the device and delivered in the background to a collector.

A thin layer over the SDK's C interface (<ZEVSiteSDK/zevsite.h>) through ctypes; the shared
library ``libZEVSiteSDK.so.0`` is found through ``ZEVSITE_LIBRARY`` or the dynamic linker
(see :mod:`zevsite._native`).

>>> import zevsite
>>> zevsite.set_collect_url("https://collector.example.com/collect")
>>> m = zevsite.Manager.shared("123", "store")
>>> m.track_page_view("Home", {"customDimension2": "blue", "customMetrics1": 3})
>>> zevsite.flush(5.0)
True

Every function may be called from any thread. Tracking calls return at once: the SDK stores
and sends events on threads of its own, so the host must not assume an event has been stored
or sent when a call returns (``flush`` waits for that). Refused calls (an empty title, a bad
argument the SDK checks) are reported only through the diagnostic log
(``set_enable_log(True)``), never raised; arguments Python cannot pass on (a value of a type
the SDK does not hold, text with a NUL character) raise ``TypeError`` or ``ValueError``.
Blocking calls (``flush``, ``shutdown``, ``delete_all_data``) release the interpreter lock
while they wait.

Callbacks (``set_log_sink``, ``set_event_observer``, ``set_network_status_provider``) are
called on the SDK's threads and the host's tracking threads while holding the interpreter
lock; an exception they raise is printed and otherwise ignored. They are removed when the
interpreter exits, before it is torn down, so none is called during shutdown.
"""

from __future__ import annotations

import atexit
import ctypes
import enum
import os
import sys
import threading
import traceback
from typing import Any, Callable, Dict, Mapping, Optional, Union

from ._native import (
    EVENT_OBSERVER,
    LIBRARY_SONAME,
    LIBRARY_VARIABLE,
    LOG_SINK,
    NETWORK_STATUS,
    LibraryNotFoundError,
    StatisticsStruct,
    declare,
    load_library,
)

__all__ = [
    "LIBRARY_SONAME",
    "LIBRARY_VARIABLE",
    "LibraryNotFoundError",
    "Manager",
    "NetworkStatus",
    "Value",
    "collect_url",
    "delete_all_data",
    "flush",
    "get_cid",
    "handle_open_url",
    "home_directory",
    "is_log_enabled",
    "is_tracking_enabled",
    "request_timeout",
    "sdk_version",
    "set_app_version",
    "set_application_active",
    "set_ca_bundle",
    "set_collect_url",
    "set_compression",
    "set_default_custom_dim_metrics",
    "set_dispatch_interval",
    "set_enable_log",
    "set_event_observer",
    "set_home_directory",
    "set_log_sink",
    "set_network_status_provider",
    "set_proxy",
    "set_request_timeout",
    "set_screen_size",
    "set_session_timeout",
    "set_tracking_enabled",
    "set_user_id",
    "set_overflow_policy",
    "shutdown",
    "statistics",
    "user_id",
]

_lib = declare(load_library())

#: A value in a dictionary of custom dimensions, metrics or a custom action: text, a whole
#: number (signed 64-bit), a float, a bool, None (the SDK's null placeholder) or a nested
#: mapping.
Value = Union[str, int, float, bool, None, Mapping[str, Any]]

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


class NetworkStatus(enum.IntEnum):
    """Network statuses a provider returns (see set_network_status_provider). The SDK sends
    on every status but NONE."""

    NONE = 0  #: No link: nothing is sent.
    WIFI = 1  #: Wi-Fi, or another unmetered link such as a wired one.
    WWAN = 2  #: A cellular link of unknown generation.
    G2 = 3  #: A 2G cellular link; counts as WWAN.
    G3 = 4  #: A 3G cellular link; counts as WWAN.
    G4 = 5  #: A 4G cellular link; counts as WWAN.
    UNKNOWN = 6  #: The status cannot be told; counts as either link.


# ---- conversions ----


def _text(value: Optional[Union[str, os.PathLike]]) -> Optional[bytes]:
    """UTF-8 bytes for the C interface; None stays None (absent text)."""
    if value is None:
        return None
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, bytes):
        raise TypeError("text must be str, not bytes")
    if not isinstance(value, str):
        raise TypeError(f"text must be str or None, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError("text must not contain NUL characters")
    return value.encode("utf-8", "surrogatepass")


def _millis(seconds: float) -> int:
    return max(0, int(round(float(seconds) * 1000)))


def _read_text(getter: Callable[[Any, int], int]) -> Optional[str]:
    """Calls a C text getter with a buffer large enough; None for absent text."""
    size = 256
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = getter(buffer, size)
        if length < 0:
            return None
        if length < size:
            return buffer.raw[:length].decode("utf-8", "replace")
        size = length + 1


class _Dict:
    """A C dictionary built from a Python mapping, freed when the block ends."""

    def __init__(self, mapping: Optional[Mapping[str, Value]]) -> None:
        self.handle: Optional[int] = None
        if mapping is None:
            return
        if not isinstance(mapping, Mapping):
            raise TypeError(f"expected a mapping or None, not {type(mapping).__name__}")
        self.handle = _lib.zevsite_dict_new()
        if not self.handle:
            raise MemoryError("the SDK could not make a dictionary")
        try:
            _fill(self.handle, mapping, 1)
        except BaseException:
            _lib.zevsite_dict_free(self.handle)
            raise

    def __enter__(self) -> Optional[int]:
        return self.handle

    def __exit__(self, *exc_info: object) -> None:
        if self.handle:
            _lib.zevsite_dict_free(self.handle)
            self.handle = None


def _fill(handle: int, mapping: Mapping[str, Value], depth: int) -> None:
    if depth > 64:
        raise ValueError("dictionaries nested too deep")
    for key, value in mapping.items():
        if not isinstance(key, str):
            raise TypeError(f"dictionary keys must be str, not {type(key).__name__}")
        name = _text(key)
        if value is None:
            _lib.zevsite_dict_set_null(handle, name)
        elif isinstance(value, bool):
            _lib.zevsite_dict_set_bool(handle, name, 1 if value else 0)
        elif isinstance(value, int):
            if not _INT64_MIN <= value <= _INT64_MAX:
                raise OverflowError(f"{key}: {value} does not fit a signed 64-bit integer")
            _lib.zevsite_dict_set_int(handle, name, value)
        elif isinstance(value, float):
            _lib.zevsite_dict_set_double(handle, name, value)
        elif isinstance(value, str):
            _lib.zevsite_dict_set_string(handle, name, _text(value))
        elif isinstance(value, Mapping):
            nested = _lib.zevsite_dict_new()
            if not nested:
                raise MemoryError("the SDK could not make a dictionary")
            try:
                _fill(nested, value, depth + 1)
                _lib.zevsite_dict_set_dict(handle, name, nested)
            finally:
                _lib.zevsite_dict_free(nested)
        else:
            raise TypeError(f"{key}: values must be str, int, float, bool, None or a mapping, "
                            f"not {type(value).__name__}")


# ---- callbacks ----

# The ctypes callback objects the C side holds, by kind, kept alive until replaced; each kind
# guarded by its lock. Cleared, with the C side's callbacks removed, when the interpreter
# exits.
_KINDS = ("log_sink", "event_observer", "network_status")
_callbacks: Dict[str, Any] = {}
_callbacks_locks = {kind: threading.Lock() for kind in _KINDS}
_exiting = False


def _report_callback_error(kind: str) -> None:
    try:
        sys.stderr.write(f"zevsite: the {kind} raised an exception (ignored):\n")
        traceback.print_exc()
    except Exception:  # the interpreter's streams may be gone
        pass


def _install(kind: str, setter: Any, c_callback: Any, null: Any) -> None:
    # The C setter waits for calls in flight of the callback it replaces (ctypes releases the
    # interpreter lock meanwhile), so the old ctypes object can be dropped afterwards. A
    # callback therefore must not install one of its own kind.
    with _callbacks_locks[kind]:
        if _exiting and c_callback is not None:
            return
        setter(c_callback if c_callback is not None else null, None)
        if c_callback is None:
            _callbacks.pop(kind, None)
        else:
            _callbacks[kind] = c_callback


def set_log_sink(sink: Optional[Callable[[str], None]]) -> None:
    """Routes the SDK's diagnostic lines to ``sink(line)``; None restores standard error.

    Lines come only while the log is on (``set_enable_log(True)``). The sink is called on the
    thread that logged (the host's or one of the SDK's), one line at a time; it must not call
    ``set_log_sink`` itself. The lines are meant for people: their wording is not part of the
    API. Waits for a line being delivered to the previous sink.
    """
    if sink is None:
        _install("log_sink", _lib.zevsite_set_log_sink, None, LOG_SINK())
        return

    def deliver(line: int, length: int, _context: int) -> None:
        if _exiting:
            return
        try:
            sink(ctypes.string_at(line, length).decode("utf-8", "replace"))
        except BaseException:
            _report_callback_error("log sink")

    _install("log_sink", _lib.zevsite_set_log_sink, LOG_SINK(deliver), LOG_SINK())


def set_event_observer(observer: Optional[Callable[[str, str], None]]) -> None:
    """Calls ``observer(event_name, upload_string)`` for every event the SDK accepts; None
    removes it.

    Called on the thread that tracked the event (the caller's, or an SDK thread for start-up
    events), possibly from several threads at once, before the event is stored. Meant for
    debug views and tests: keep it short, and do not track, flush, delete data or install an
    observer from it. Waits for calls of the previous observer in flight on other threads.
    """
    if observer is None:
        _install("event_observer", _lib.zevsite_set_event_observer, None, EVENT_OBSERVER())
        return

    def deliver(name: int, name_length: int, upload: int, upload_length: int,
                _context: int) -> None:
        if _exiting:
            return
        try:
            observer(ctypes.string_at(name, name_length).decode("utf-8", "replace"),
                     ctypes.string_at(upload, upload_length).decode("utf-8", "replace"))
        except BaseException:
            _report_callback_error("event observer")

    _install("event_observer", _lib.zevsite_set_event_observer, EVENT_OBSERVER(deliver),
             EVENT_OBSERVER())


def set_network_status_provider(provider: Optional[Callable[[], int]]) -> None:
    """Lets the host report the network status: ``provider()`` returns a NetworkStatus (or
    its int value); None restores the operating system's view.

    Called on the SDK's threads and on the thread of ``Manager.config_from_url``, possibly
    from several threads at once; must be quick. An exception counts as UNKNOWN. Waits for
    calls of the previous provider in flight.
    """
    if provider is None:
        _install("network_status", _lib.zevsite_set_network_status_provider, None,
                 NETWORK_STATUS())
        return

    def deliver(_context: int) -> int:
        if _exiting:
            return int(NetworkStatus.UNKNOWN)
        try:
            return int(provider())
        except BaseException:
            _report_callback_error("network status provider")
            return int(NetworkStatus.UNKNOWN)

    _install("network_status", _lib.zevsite_set_network_status_provider,
             NETWORK_STATUS(deliver), NETWORK_STATUS())


def _remove_callbacks_at_exit() -> None:
    # Runs before the interpreter is torn down: once the C setters return, no SDK thread is
    # inside a Python callback, and none will enter one.
    global _exiting
    setters = {
        "log_sink": (_lib.zevsite_set_log_sink, LOG_SINK()),
        "event_observer": (_lib.zevsite_set_event_observer, EVENT_OBSERVER()),
        "network_status": (_lib.zevsite_set_network_status_provider, NETWORK_STATUS()),
    }
    _exiting = True  # callbacks still called return at once; no new one is installed
    for kind, (setter, null) in setters.items():
        if kind in _callbacks:
            _install(kind, setter, None, null)


atexit.register(_remove_callbacks_at_exit)


# ---- process-wide settings ----


def set_home_directory(path: Union[str, os.PathLike]) -> None:
    """The SDK's data directory (store, client id, cached configuration). Default:
    ``$ZEVSITE_HOME``, else ``$XDG_DATA_HOME/zevsite/<program>``, else
    ``~/.local/share/zevsite/<program>``. Set it before ``Manager.shared``."""
    _lib.zevsite_set_home_directory(_text(path) or b"")


def home_directory() -> str:
    """The home directory in use ("" while there is none)."""
    return _read_text(_lib.zevsite_get_home_directory) or ""


def set_collect_url(url: Optional[str]) -> None:
    """Where the SDK posts its events (``http(s)://host:port/collect``). None or "" means
    none: events are stored and kept until one is set."""
    _lib.zevsite_set_collect_url(_text(url))


def collect_url() -> Optional[str]:
    """The collect URL set, or None."""
    return _read_text(_lib.zevsite_get_collect_url)


def set_enable_log(enable: bool) -> None:
    """Switches the SDK's diagnostic log on or off (off by default)."""
    _lib.zevsite_set_enable_log(1 if enable else 0)


def is_log_enabled() -> bool:
    """Whether the diagnostic log is on."""
    return bool(_lib.zevsite_is_log_enabled())


def set_request_timeout(seconds: float) -> None:
    """Time limit of each HTTP request the SDK makes; 0 (the default) means the cached
    configuration's limit, else 30 seconds."""
    _lib.zevsite_set_request_timeout(_millis(seconds))


def request_timeout() -> float:
    """The request time limit set with set_request_timeout, in seconds."""
    return _lib.zevsite_get_request_timeout() / 1000.0


def handle_open_url(url: Optional[str]) -> None:
    """Records the campaign (``qx_ca``) and source (``qx_sp``) of the URL that opened the
    application; they go out with the next start-up event, or at once when the first one has
    gone. Works before a manager exists; does nothing while tracking is disabled."""
    _lib.zevsite_handle_open_url(_text(url))


def get_cid() -> str:
    """This installation's client id, in decimal ("" when it cannot be read or made).
    ``delete_all_data`` replaces it. May read or write the home directory."""
    return _read_text(_lib.zevsite_get_cid) or ""


def flush(timeout: float) -> bool:
    """Blocks up to ``timeout`` seconds until every event tracked before the call is on disk
    and the SDK has made a send attempt: True. False when the timeout passed, and at once when
    no send can be attempted (no collect URL, or tracking disabled). True does not mean the
    events arrived. Never call it from a callback."""
    return bool(_lib.zevsite_flush(_millis(timeout)))


def shutdown(timeout: float) -> bool:
    """Stops sending for the rest of the process (the upload in flight is abandoned, its
    events stay stored for a later run) and writes staged events; True when that finished
    within ``timeout`` seconds. Tracking keeps storing."""
    return bool(_lib.zevsite_shutdown(_millis(timeout)))


def set_overflow_policy(drop_oldest: bool, block_timeout: float = 1.0) -> None:
    """What tracking calls do when the SDK's staging area (1 MiB of events waiting for the
    disk) is full: wait up to ``block_timeout`` seconds for the writer (the default), or, with
    ``drop_oldest``, never wait and drop the oldest staged events (counted in
    ``statistics()["dropped_overflow"]``)."""
    _lib.zevsite_set_overflow_policy(1 if drop_oldest else 0, _millis(block_timeout))


def statistics() -> Dict[str, Optional[int]]:
    """What the SDK did with this process's events since it started, as counts: tracked,
    refused, dropped_overflow, dropped_expiry, dropped_event_limit, dropped_rejected, stored,
    pending, delivered, upload_failures, and last_upload_ms (None before the first accepted
    upload). Cheap enough to call every second."""
    raw = StatisticsStruct()
    _lib.zevsite_get_statistics(ctypes.byref(raw), ctypes.sizeof(raw))
    counts: Dict[str, Optional[int]] = {
        name: getattr(raw, name) for name, _ in StatisticsStruct._fields_
    }
    if not counts["last_upload_ms"]:
        counts["last_upload_ms"] = None
    return counts


def sdk_version() -> str:
    """The version of the SDK library in use, "MAJOR.MINOR.PATCH"."""
    return _lib.zevsite_sdk_version().decode("ascii")


def set_tracking_enabled(enabled: bool) -> None:
    """The user's choice to be tracked, kept in the home directory for later runs (default:
    enabled). While disabled nothing is tracked or sent; disabling also deletes the events
    not sent yet. Writes the home directory on the calling thread."""
    _lib.zevsite_set_tracking_enabled(1 if enabled else 0)


def is_tracking_enabled() -> bool:
    """Whether tracking is enabled (the user's choice)."""
    return bool(_lib.zevsite_is_tracking_enabled())


def delete_all_data(timeout: float) -> bool:
    """Forgets this installation: events not sent, the client id, the first-launch flag and
    the cached configuration (the opt-out choice stays). Blocks up to ``timeout`` seconds;
    True when everything was deleted in time. Never call it from a callback."""
    return bool(_lib.zevsite_delete_all_data(_millis(timeout)))


def set_proxy(proxy_url: Optional[str]) -> None:
    """A proxy for every request (``http://``, ``https://`` or ``socks5h://host:port``).
    None (the default): the environment's ``http_proxy``/``https_proxy``/``no_proxy``;
    "": no proxy at all."""
    _lib.zevsite_set_proxy(_text(proxy_url))


def set_ca_bundle(path: Optional[Union[str, os.PathLike]]) -> None:
    """A PEM file of certificate authorities trusted instead of the system's store; None
    restores the system's store. Verification always stays on."""
    _lib.zevsite_set_ca_bundle(_text(path))


def set_compression(enabled: bool) -> None:
    """Whether upload bodies are gzip-compressed (the default) or sent plain."""
    _lib.zevsite_set_compression(1 if enabled else 0)


def set_dispatch_interval(seconds: float) -> None:
    """The longest time stored events gather before they go out as one batch; 0 (the
    default) sends at once. ``flush`` ignores it."""
    _lib.zevsite_set_dispatch_interval(_millis(seconds))


# ---- context, identity and sessions ----


def set_app_version(version: Optional[str], build: Optional[str] = None) -> None:
    """The application's version and build, sent with every event (None or "" leaves each
    out; over 256 bytes is refused with a log line)."""
    _lib.zevsite_set_app_version(_text(version), _text(build))


def set_user_id(user_id: Optional[str]) -> None:
    """The signed-in user, sent with every event from now on; None or "": signed out. Kept in
    the home directory for later runs; ``delete_all_data`` clears it."""
    _lib.zevsite_set_user_id(_text(user_id))


def user_id() -> Optional[str]:
    """The user id set with ``set_user_id``, or None while signed out."""
    return _read_text(_lib.zevsite_get_user_id)


def set_default_custom_dim_metrics(dims: Optional[Mapping[str, Value]]) -> None:
    """Custom dimensions and metrics added to every page view, classic event and custom
    action that does not carry them itself (``customDimension3`` becomes ``cd3``)."""
    with _Dict(dims) as handle:
        _lib.zevsite_set_default_custom_dim_metrics(handle)


def set_screen_size(width: int, height: int) -> None:
    """The screen (or window) size in pixels, sent with every event; 0 clears it."""
    _lib.zevsite_set_screen_size(int(width), int(height))


def set_session_timeout(seconds: float) -> None:
    """Inactivity after which the next event starts a new session (default 30 minutes)."""
    _lib.zevsite_set_session_timeout(max(1, int(seconds)))


def set_application_active(active: bool) -> None:
    """False when the application goes to the background or loses focus, True when it is
    back: a return after more than the session timeout starts a new session."""
    _lib.zevsite_set_application_active(1 if active else 0)


# ---- managers ----


class Manager:
    """A reference to one of the SDK's managers, through which the host reports what its user
    does. Make one with :meth:`shared`. The reference is released by :meth:`close`, by a
    ``with`` block or when the object is collected; the manager itself lives on while the
    SDK needs it (the shared manager until it is replaced)."""

    __slots__ = ("_handle",)

    def __init__(self, handle: int) -> None:
        """Takes over a reference from the C interface; use shared(), current() or
        create()."""
        if not handle:
            raise MemoryError("the SDK could not make a manager")
        self._handle: Optional[int] = handle

    @classmethod
    def shared(cls, app_id: str, channel: Optional[str] = None) -> "Manager":
        """Starts the SDK for the numeric application id and the distribution channel and
        makes this the shared manager (replacing an earlier one). A start-up event goes out
        about a second later. A rejected id (empty, not only digits) is logged and gives a
        manager that sends nothing."""
        return cls(_lib.zevsite_shared_instance(_text(app_id), _text(channel)))

    @classmethod
    def current(cls) -> Optional["Manager"]:
        """The current shared manager, or None before the first :meth:`shared`."""
        handle = _lib.zevsite_share_instance()
        return cls(handle) if handle else None

    @classmethod
    def create(cls, app_id: str, channel: Optional[str] = None) -> "Manager":
        """A manager for the id and channel that is not made the shared manager."""
        return cls(_lib.zevsite_manager_new(_text(app_id), _text(channel)))

    def _live(self) -> int:
        if not self._handle:
            raise ValueError("the manager reference was closed")
        return self._handle

    def track_page_view(self, title: str, dims: Optional[Mapping[str, Value]] = None) -> None:
        """A page view titled ``title`` (refused when empty) with the host's custom
        dimensions (``customDimensionN``: text) and metrics (``customMetricsN``: numbers)."""
        with _Dict(dims) as handle:
            _lib.zevsite_track_page_view(self._live(), _text(title), handle)

    def track_event(self, category: Optional[str], action: Optional[str],
                    label: Optional[str] = None, value: int = 0,
                    dims: Optional[Mapping[str, Value]] = None) -> None:
        """A classic event: category, action, label (None leaves each out) and a whole-number
        value, with custom dimensions and metrics; refused when the three texts are all None
        or empty."""
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("value must be an int")
        if not _INT64_MIN <= value <= _INT64_MAX:
            raise OverflowError(f"{value} does not fit a signed 64-bit integer")
        with _Dict(dims) as handle:
            _lib.zevsite_track_event(self._live(), _text(category), _text(action), _text(label),
                                     value, handle)

    def track_custom_action(self, action: Mapping[str, Value],
                            dims: Optional[Mapping[str, Value]] = None) -> None:
        """A custom action: ``action`` holds ``customActionId`` and at least one
        ``customActionLabelN`` or ``customActionValueN`` key (anything less is refused), with
        custom dimensions and metrics."""
        with _Dict(action) as action_handle, _Dict(dims) as dims_handle:
            _lib.zevsite_track_custom_action(self._live(), action_handle, dims_handle)

    def track_pulse(self) -> None:
        """A pulse: "the application is still in use"."""
        _lib.zevsite_track_pulse(self._live())

    def app_start_request(self) -> None:
        """A start-up event. The SDK sends one itself after :meth:`shared` and for new
        campaigns, so the host need not call it."""
        _lib.zevsite_app_start_request(self._live())

    def track_event_name(self, event: str, properties: Optional[Mapping[str, Value]] = None,
                         upload_dics: Optional[str] = None) -> None:
        """Sends ``properties`` as an event named ``event``, with the application id and the
        event name added; the lowest-level tracking call. ``upload_dics`` is ignored."""
        with _Dict(properties) as handle:
            _lib.zevsite_track_event_name(self._live(), _text(event), _text(upload_dics), handle)

    def config_from_url(self, url: str) -> None:
        """Remembers the configuration URL and refreshes the cached configuration on an SDK
        thread when it is old enough. Returns at once."""
        _lib.zevsite_config_from_url(self._live(), _text(url))

    def close(self) -> None:
        """Releases this reference; later calls on it raise ValueError."""
        handle, self._handle = self._handle, None
        if handle:
            _lib.zevsite_manager_release(handle)

    def __enter__(self) -> "Manager":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # the module may be half torn down at interpreter exit
            pass

"""The zevsite package tracked into a real collector: what a Python host sends is what
arrives; settings, callbacks and the interpreter's exit with callbacks installed."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
import threading
from pathlib import Path
from typing import Dict, List

import pytest

import zevsite

Event = Dict[str, str]


def matching(events: List[Event], **wanted: str) -> List[Event]:
    """The events holding every `wanted` key with its value."""
    return [event for event in events
            if all(event.get(key) == value for key, value in wanted.items())]


def test_a_host_sends_page_views_events_custom_actions_and_a_deep_link(sdk, collector):
    m = zevsite.Manager.shared("123", "store")
    m.track_page_view("Home", {"customDimension2": "blue", "customMetrics1": 3})
    m.track_event("shop", "buy", "", 7, {})
    m.track_event("", "look", None, -2, {"customMetrics3": 2.5, "customDimension4": True})
    m.track_custom_action({"customActionId": "a", "customActionLabel1": "x",
                           "customActionValue2": 1.5})
    m.track_pulse()
    zevsite.handle_open_url("app://open?qx_ca=spring&qx_sp=banner")
    assert zevsite.flush(5.0) is True

    def arrived(events: List[Event]) -> bool:
        return bool(matching(events, t="pageview", dt="Home")
                    and matching(events, t="event", ea="buy")
                    and matching(events, t="event", ea="look")
                    and matching(events, caid="a")
                    and matching(events, t="pulse")
                    and matching(events, t="init", qxc="spring", qxs="banner"))

    assert collector.wait_for(arrived), collector.events()
    events = collector.events()
    [home] = matching(events, t="pageview", dt="Home")
    assert (home["cd2"], home["cm1"], home["tid"]) == ("blue", "3", "dc-123")
    [buy] = matching(events, t="event", ea="buy")
    assert (buy["ec"], buy["ev"]) == ("shop", "7")
    assert "el" not in buy  # the SDK leaves an empty label out
    [look] = matching(events, t="event", ea="look")
    assert look["ec"] == ""  # "" is an empty text, sent as such
    assert "el" not in look  # None is absent
    assert (look["ev"], look["cm3"], look["cd4"]) == ("-2", "2.5", "1")
    [action] = matching(events, caid="a")
    assert (action["cal1"], action["cav2"]) == ("x", "1.5")
    [start] = matching(events, t="init", qxc="spring")
    assert start["qxs"] == "banner"
    assert start["cid"] == home["cid"] == zevsite.get_cid()


def test_refused_calls_are_logged_and_bad_arguments_raise(sdk, collector):
    m = zevsite.Manager.shared("123", "store")
    refused_before = len(sdk.lines_with("Please check your code"))
    counted_before = zevsite.statistics()["refused"]
    m.track_page_view("")  # refused: empty title
    m.track_event(None, "", None)  # refused: no category, action or label
    m.track_custom_action({"customActionId": "only-an-id"})  # refused: no label or value
    assert len(sdk.lines_with("Please check your code")) == refused_before + 3
    assert zevsite.statistics()["refused"] == counted_before + 3

    with pytest.raises(TypeError):
        m.track_page_view("P", {"customDimension1": object()})
    with pytest.raises(TypeError):
        m.track_page_view("P", {1: "x"})
    with pytest.raises(TypeError):
        m.track_page_view(b"bytes")
    with pytest.raises(ValueError):
        m.track_page_view("nul\0inside")
    with pytest.raises(OverflowError):
        m.track_page_view("P", {"customMetrics1": 2**63})
    with pytest.raises(TypeError):
        m.track_event("c", "a", "l", 1.5)

    # Nested mappings and None (the null placeholder) pass; text is UTF-8 both ways.
    m.track_event_name("pageview", {"dt": "Grüße ✓", "nested": {"inner": None}})
    assert zevsite.flush(5.0)
    assert collector.wait_for(lambda events: matching(events, dt="Grüße ✓"))
    counts = zevsite.statistics()
    assert counts["delivered"] >= 1 and counts["last_upload_ms"] is not None
    assert counts["tracked"] >= counts["delivered"]

    closed = zevsite.Manager.create("123", "side")
    closed.close()
    with pytest.raises(ValueError):
        closed.track_pulse()
    closed.close()  # a second close does nothing


def test_callbacks_run_on_the_tracking_threads_and_survive_exceptions(sdk, collector):
    m = zevsite.Manager.shared("123", "store")
    seen: List[tuple] = []
    lock = threading.Lock()

    def observer(name: str, upload: str) -> None:
        with lock:
            seen.append((name, upload, threading.get_ident()))
        if "raise-here" in upload:
            raise RuntimeError("an observer that fails")

    zevsite.set_event_observer(observer)
    try:
        def track(index: int) -> None:
            m.track_page_view(f"thread-{index}")

        threads = [threading.Thread(target=track, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        idents = {thread.ident for thread in threads}
        for thread in threads:
            thread.join()
        m.track_page_view("raise-here")  # the observer's exception is printed, not raised
    finally:
        zevsite.set_event_observer(sdk.event)

    with lock:
        observed = list(seen)
    by_title = {re.search(r"dt=([^&]*)", upload).group(1): ident
                for name, upload, ident in observed if name == "pageview"}
    assert {by_title[f"thread-{i}"] for i in range(4)} == idents
    assert by_title["raise-here"] == threading.get_ident()
    assert zevsite.flush(5.0)
    assert collector.wait_for(lambda events: matching(events, dt="raise-here")
                              and len([e for e in events
                                       if e.get("dt", "").startswith("thread-")]) == 4)

    # The log sink gets whole lines; a failing sink loses only its own lines.
    lines: List[str] = []
    zevsite.set_log_sink(lambda line: lines.append(line) or 1 / 0)
    try:
        m.track_page_view("")
        m.track_page_view("")  # a failing sink still gets the next line
    finally:
        zevsite.set_log_sink(sdk.line)
    assert len([line for line in lines if "Please check your code" in line]) == 2
    restored_before = len(sdk.lines_with("Please check your code"))
    m.track_page_view("")  # the restored sink gets lines again
    assert len(sdk.lines_with("Please check your code")) == restored_before + 1


def test_settings_the_users_choice_and_the_client_id(sdk, collector, tmp_path):
    m = zevsite.Manager.shared("123", "store")
    assert zevsite.collect_url() == collector.url
    assert zevsite.home_directory()
    assert re.fullmatch(r"\d+\.\d+\.\d+", zevsite.sdk_version())
    assert zevsite.is_log_enabled()
    assert zevsite.request_timeout() == 5.0
    current = zevsite.Manager.current()
    assert current is not None
    current.track_page_view("through-current")
    assert zevsite.flush(5.0)  # sent before opting out deletes what is not

    zevsite.set_tracking_enabled(False)
    try:
        assert not zevsite.is_tracking_enabled()
        observed_before = len(sdk.events)
        m.track_page_view("opted-out")
        assert len(sdk.events) == observed_before
        assert zevsite.flush(5.0) is False  # nothing can be sent while opted out
    finally:
        zevsite.set_tracking_enabled(True)
    assert zevsite.is_tracking_enabled()

    cid = zevsite.get_cid()
    assert cid.isdigit()
    assert zevsite.delete_all_data(10.0)
    assert zevsite.get_cid() not in ("", cid)

    zevsite.set_compression(False)
    zevsite.set_dispatch_interval(0)
    zevsite.set_proxy("")  # straight to the collector, whatever the environment says
    zevsite.set_ca_bundle(None)
    try:
        m.track_page_view("plain-upload")
        assert zevsite.flush(5.0)
    finally:
        zevsite.set_compression(True)
        zevsite.set_proxy(None)
    new_cid = zevsite.get_cid()
    assert collector.wait_for(lambda events: matching(events, dt="plain-upload", cid=new_cid)
                              and matching(events, dt="through-current", cid=cid))
    assert not matching(collector.events(), dt="opted-out")


def test_context_user_and_session_reach_the_collector(sdk, collector):
    m = zevsite.Manager.shared("123", "store")
    zevsite.set_app_version("3.2.1", "77")
    zevsite.set_user_id("carol")
    zevsite.set_screen_size(1280, 800)
    zevsite.set_default_custom_dim_metrics({"customDimension5": "ab-test-b"})
    zevsite.set_session_timeout(600)
    try:
        assert zevsite.user_id() == "carol"
        m.track_page_view("with-context", {"customDimension1": "own"})
        zevsite.set_application_active(False)
        zevsite.set_application_active(True)  # back at once: the same session
        m.track_event("shop", "buy", None, 1)
        assert zevsite.flush(5.0)
        assert collector.wait_for(lambda events: matching(events, dt="with-context")
                                  and matching(events, ea="buy", uid="carol"))
        [page] = matching(collector.events(), dt="with-context")
        [buy] = matching(collector.events(), ea="buy", uid="carol")
        assert (page["uid"], page["av"], page["ab"], page["sr"]) == ("carol", "3.2.1", "77",
                                                                     "1280x800")
        assert (page["cd1"], page["cd5"]) == ("own", "ab-test-b")
        assert re.fullmatch(r"[0-9a-f]{16}", page["sid"]) and page["sn"].isdigit()
        assert (buy["sid"], buy["sn"]) == (page["sid"], page["sn"])
        assert page["os"] and page["arch"] and re.fullmatch(r"-?\d+", page["tz"])
    finally:
        zevsite.set_user_id(None)
        zevsite.set_app_version(None)
        zevsite.set_screen_size(0, 0)
        zevsite.set_default_custom_dim_metrics(None)
        zevsite.set_session_timeout(1800)
    assert zevsite.user_id() is None


CHILD = textwrap.dedent("""
    import sys, threading, zevsite
    zevsite.set_home_directory(sys.argv[1])
    zevsite.set_collect_url(sys.argv[2])
    zevsite.set_network_status_provider(lambda: zevsite.NetworkStatus.WIFI)
    lines = []
    zevsite.set_log_sink(lines.append)
    zevsite.set_enable_log(True)
    zevsite.set_event_observer(lambda name, upload: None)
    m = zevsite.Manager.shared("123", "exit")
    def busy():
        for i in range(300):
            m.track_page_view("exit-%d" % i)
            m.track_page_view("")  # a log line each time
    threads = [threading.Thread(target=busy, daemon=True) for _ in range(3)]
    for thread in threads:
        thread.start()
    print("tracking", flush=True)
    # Exits while daemon threads track and the SDK's threads log and send: the callbacks are
    # removed before the interpreter is torn down.
""")


def test_the_interpreter_exits_cleanly_while_callbacks_are_installed(collector, tmp_path):
    package = str(Path(zevsite.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=package + os.pathsep + os.environ.get("PYTHONPATH", ""))
    for run in range(3):
        home = tmp_path / f"home-{run}"
        home.mkdir()
        child = subprocess.run([sys.executable, "-c", CHILD, str(home), collector.url],
                               env=env, capture_output=True, text=True, timeout=120)
        assert child.returncode == 0, child.stderr
        assert "tracking" in child.stdout
        assert "Fatal Python error" not in child.stderr


def test_a_missing_library_is_reported_with_what_to_do(tmp_path):
    package = str(Path(zevsite.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=package,
               ZEVSITE_LIBRARY=str(tmp_path / "libZEVSiteSDK.so.0"))
    child = subprocess.run(
        [sys.executable, "-c",
         "try:\n    import zevsite\nexcept OSError as error:\n"
         "    print(type(error).__name__, error)\n"],
        env=env, capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith("LibraryNotFoundError")
    assert "ZEVSITE_LIBRARY" in child.stdout and str(tmp_path) in child.stdout

"""Fault injection, the request log and the plain routes of the HTTP tests."""

import base64
import hashlib
import http.client
import json
import threading
import time

import pytest

from conftest import library_form, multipart


def test_status_fault_applies_to_the_next_n_requests(stack):
    stack.dev("faults", {"route": "profile/me", "count": 2, "status": 503})
    for _ in range(2):
        r = stack.api("GET", "profile/me")
        assert (r.status, r.json()) == (503, {"errors": ["injected fault"]})
    assert stack.api("GET", "profile/me").status == 200


@pytest.mark.parametrize(
    "kind, check",
    [
        ("html", lambda r: r.headers["content-type"].startswith("text/html") and b"<html>" in r.body),
        ("empty", lambda r: r.body == b""),
        ("garbage", lambda r: len(r.body) == 10 << 20),
    ],
)
def test_fault_body_kinds(stack, kind, check):
    stack.dev("faults", {"route": "upload/start", "count": 1, "status": 502, "body_kind": kind})
    r = stack.api("POST", "upload/start", {})
    assert r.status == 502
    assert check(r)


def test_truncated_json_and_custom_body(stack):
    stack.dev("faults", {"route": "upload/complete", "status": 200, "body_kind": "truncated_json"})
    stack.dev("faults", {"route": "upload/complete", "status": 400, "body": '{"errors": ["a", "b"]}'})
    r = stack.api("POST", "upload/complete", {"key": "x"})
    assert r.status == 200
    with pytest.raises(ValueError):
        json.loads(r.body)
    r = stack.api("POST", "upload/complete", {"key": "x"})
    assert (r.status, r.json()) == (400, {"errors": ["a", "b"]})


def test_delay_fault_then_normal_answer(stack):
    stack.dev("faults", {"route": "cdn", "delay_ms": 400})
    began = time.monotonic()
    r = stack.request("GET", "/cdn/missing.png")
    assert time.monotonic() - began >= 0.4
    assert r.status == 403


def test_drop_after_bytes_closes_without_answer(stack):
    stack.dev("faults", {"route": "storage", "drop_after_bytes": 1000})
    body, content_type = multipart([("file", b"x" * 200_000, "f", "a/b")])
    with pytest.raises((http.client.RemoteDisconnected, ConnectionError)):
        stack.request("POST", "/storage", body, {"Content-Type": content_type})
    # Only one request was affected: the next one gets its answer (no key).
    assert stack.request("POST", "/storage", body, {"Content-Type": content_type}).status == 400


def test_keyed_faults_wait_for_their_remote_name(stack):
    mine, other = stack.start(b"mine", "image/png"), stack.start(b"other", "image/png")
    stack.dev("faults", {"route": "storage", "key": mine["key"], "status": 500})
    stack.dev("faults", {"route": "upload/complete", "key": mine["key"], "status": 502})
    stack.dev("faults", {"route": "upload/complete", "status": 503})
    # Another post passes the keyed fault by; the unkeyed one behind it is taken first.
    body, content_type = multipart(library_form(other, b"other"))
    assert stack.request("POST", "/storage", body, {"Content-Type": content_type}).status == 204
    assert stack.api("POST", "upload/complete", {"key": other["key"]}).status == 503
    assert stack.api("POST", "upload/complete", {"key": other["key"]}).status == 200
    body, content_type = multipart(library_form(mine, b"mine"))
    assert stack.request("POST", "/storage", body, {"Content-Type": content_type}).status == 500
    assert stack.api("POST", "upload/complete", {"key": mine["key"]}).status == 502
    assert stack.dev("faults", method="GET")["faults"] == []


def test_invalid_fault_is_refused(stack):
    for wanted in ({"route": "nowhere"}, {"route": "cdn", "body_kind": "xml"},
                 {"route": "cdn", "status": 500, "drop_after_bytes": 1},
                 {"route": "profile/me", "key": "a.png"}):
        r = stack.request("POST", "/__dev__/faults", json.dumps(wanted).encode(), {"Content-Type": "application/json"})
        assert r.status == 400, wanted


def test_request_log_and_raw_capture(stack):
    stack.dev("capture", {"storage_raw": True})
    answer = stack.start(b"abc", "image/png")
    body, content_type = multipart(library_form(answer, b"abc"))
    assert stack.request("POST", "/storage", body, {"Content-Type": content_type}).status == 204

    log = stack.dev("requests")["requests"]
    start, post = log[-2], log[-1]
    assert (start["method"], start["path"]) == ("POST", "/api/v1/upload/start/")
    assert start["headers"]["authorization"] == f"ApiKey {stack.token}"
    assert start["headers"]["content-type"] == "application/json"
    assert "body_b64" not in start
    assert post["body_size"] == len(body)
    assert base64.b64decode(post["body_b64"]) == body

    stack.dev("reset", {})
    assert stack.dev("requests")["requests"] == []


def test_reset_drops_pending_faults(stack):
    stack.dev("faults", {"route": "profile/me", "count": 5, "status": 500})
    stack.dev("reset", {})
    assert stack.dev("faults", method="GET")["faults"] == []
    assert stack.api("GET", "profile/me").status == 200


def test_plain_status_echo_and_bytes_share_one_kept_alive_connection(stack):
    conn = stack.connect()
    r = stack.request("PUT", "/__dev__/status/299", b"ignored", conn=conn)
    assert (r.status, r.json()) == (299, {"status": 299})

    payload = bytes(range(256)) * 4096
    conn.request("PATCH", "/__dev__/echo?a=1", body=iter([payload[:5000], payload[5000:]]),
                 headers={"X-Custom": "Value"}, encode_chunked=True)
    r = conn.getresponse()
    echo = json.loads(r.read())
    assert echo["method"] == "PATCH" and echo["query"] == "a=1"
    assert echo["headers"]["x-custom"] == "Value"
    assert (echo["body_size"], echo["body_md5"]) == (len(payload), hashlib.md5(payload).hexdigest())

    r = stack.request("GET", "/__dev__/bytes/1000", conn=conn)
    assert r.headers["content-type"] == "application/octet-stream"
    assert r.body == bytes(i % 251 for i in range(1000))
    conn.close()


def test_drop_and_closenow_break_the_connection(stack):
    conn = stack.connect()
    conn.request("GET", "/__dev__/drop")
    r = conn.getresponse()
    assert r.getheader("Content-Length") == "1000"
    with pytest.raises(http.client.IncompleteRead) as cut:
        r.read()
    assert cut.value.partial == b"0123456789"
    conn.close()

    with pytest.raises(http.client.RemoteDisconnected):
        stack.request("GET", "/__dev__/closenow")


def test_stall_sends_a_little_then_nothing(stack):
    conn = stack.connect(timeout=1)
    conn.request("GET", "/__dev__/stall")
    r = conn.getresponse()
    assert r.read(5) == b"stall"
    with pytest.raises(TimeoutError):
        r.read(1)
    conn.close()


@pytest.mark.parametrize("path, status", [("/__dev__/stall?seconds=abc", 400), ("/__dev__/stall?seconds=-1", 400),
                                          ("/__dev__/stall?seconds=nan", 400), ("/__dev__/file/x", 404)])
def test_bad_stall_seconds_and_the_removed_file_route(stack, path, status):
    assert stack.request("GET", path).status == status



def test_throttle_reads_one_body_slowly_then_answers_as_usual(stack):
    with pytest.raises(AssertionError):
        stack.dev("faults", {"route": "storage", "rate_bytes_per_s": 100, "status": 500})
    stack.dev("faults", {"route": "storage", "rate_bytes_per_s": 10_240, "count": 1})
    body, content_type = multipart([("file", b"x" * 30_000, "f", "a/b")])
    answers = []
    post = threading.Thread(
        target=lambda: answers.append(stack.request("POST", "/storage", body, {"Content-Type": content_type}))
    )
    post.start()
    seen = set()  # the sizes read while the post had no answer yet
    while post.is_alive():
        for entry in stack.dev("requests?path_prefix=/storage", method="GET")["requests"]:
            if entry["status"] is None:
                seen.add(entry["body_size"])
    post.join()
    assert answers[0].status == 400 and stack.dev("faults", method="GET")["faults"] == []
    assert len({size for size in seen if 0 < size < len(body)}) >= 3, seen  # a slice at a time
    logged = stack.dev("requests?path_prefix=/storage", method="GET")["requests"]
    assert logged[0]["body_size"] == len(body) and logged[0]["time"] <= logged[0]["answered"]

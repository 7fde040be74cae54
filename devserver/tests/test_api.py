"""The API: authorisation, validation, quotas and the whole upload cycle."""

import base64
import json
import os
import subprocess

import pytest

from conftest import SMALL_TOKEN, library_form, remote_name

PROFILE_KEYS = {
    "email", "is_active", "is_email_confirmed", "is_lumien", "is_paid", "can_upload",
    "max_length_in_seconds", "max_content_size", "max_daily_files_count",
    "max_daily_files_quota_in_bytes", "max_monthly_files_quota_in_bytes",
    "remaining_daily_items_count", "remaining_daily_quota_in_bytes", "remaining_monthly_quota_in_bytes",
}


def profile(stack, token=None):
    r = stack.api("GET", "profile/me", token=token)
    assert r.status == 200, r.body
    return r.json()


def test_curl_carries_a_file_through_the_whole_cycle(stack, tmp_path):
    data = os.urandom(70_000)
    path = tmp_path / "capture.png"
    path.write_bytes(data)
    key = remote_name(data)
    before = profile(stack)

    answer = stack.start(data, key=key)
    assert answer["key"] == key
    assert answer["presigned_post"]["url"] == stack.storage_url
    fields = answer["presigned_post"]["fields"]
    assert set(fields) == {"AWSAccessKeyId", "acl", "key", "policy", "signature"}

    form = []
    for name in ("policy", "signature", "acl", "AWSAccessKeyId"):
        form += ["-F", f"{name}={fields[name]}"]
    form += ["-F", f"key={key}", "-F", "content-type=image/png", "-F", f"file=@{path};type=image/png"]
    posted = subprocess.run(
        ["curl", "-sS", "--noproxy", "*", "-o", "/dev/null", "-w", "%{http_code}", *form, answer["presigned_post"]["url"]],
        capture_output=True, text=True, timeout=60,
    )
    assert posted.stdout == "204", posted.stderr

    assert stack.api("POST", "upload/complete", {"key": key}).status == 200
    got = stack.request("GET", f"/cdn/{key}")
    assert (got.status, got.headers["content-type"], got.body) == (200, "image/png", data)
    head = stack.request("HEAD", f"/cdn/{key}")
    assert (head.status, head.headers["content-length"], head.body) == (200, str(len(data)), b"")

    after = profile(stack)
    assert after["remaining_daily_items_count"] == before["remaining_daily_items_count"] - 1
    assert after["remaining_daily_quota_in_bytes"] == before["remaining_daily_quota_in_bytes"] - len(data)
    assert after["remaining_monthly_quota_in_bytes"] == before["remaining_monthly_quota_in_bytes"] - len(data)

    assert stack.api("POST", "upload/delete", {"key": key}).status == 200
    assert stack.request("GET", f"/cdn/{key}").status == 403
    assert stack.api("POST", "upload/delete", {"key": key}).status == 404


def test_presigned_policy_pins_bucket_key_acl_type_and_size(stack):
    answer = stack.start(b"12345", "image/gif")
    policy = json.loads(base64.b64decode(answer["presigned_post"]["fields"]["policy"]))
    conditions = policy["conditions"]
    assert {"key": answer["key"]} in conditions
    assert {"acl": "public-read"} in conditions
    assert {"Content-Type": "image/gif"} in conditions
    assert ["content-length-range", 5, 5] in conditions
    assert any(isinstance(c, dict) and "bucket" in c for c in conditions)


def test_profile_has_the_fourteen_keys(stack):
    p = profile(stack)
    assert set(p) == PROFILE_KEYS
    assert p["can_upload"] is True


@pytest.mark.parametrize(
    "scheme, token, status",
    [(None, None, 401), ("ApiKey", "nope", 401), ("Bearer", "x", 401), ("apikey", "", 200), ("APIKEY", "", 200)],
)
def test_token_refusals_have_the_error_shape_and_the_scheme_ignores_case(stack, scheme, token, status):
    headers = {} if scheme is None else {"Authorization": f"{scheme} {token or stack.token}"}
    r = stack.request("GET", "/api/v1/profile/me/", None, headers)
    assert r.status == status
    if status == 401:
        assert [type(e) for e in r.json()["errors"]] == [str]


@pytest.mark.parametrize(
    "body, fragment",
    [
        ({"content_type": "image/png", "file_size": 1}, "key"),
        ({"content_type": "image/png", "file_size": 1, "key": "abc.png"}, "key"),
        ({"content_type": "image/png", "file_size": 1, "key": "0" * 32}, "key"),
        ({"content_type": "image/png", "file_size": 1, "key": "A" * 32 + ".png"}, "key"),
        ({"content_type": "image/png", "file_size": -1, "key": "0" * 32 + ".png"}, "file_size"),
        ({"content_type": "image/png", "file_size": True, "key": "0" * 32 + ".png"}, "file_size"),
        ({"file_size": 1, "key": "0" * 32 + ".png"}, "content_type"),
        ({"content_type": "image/png", "content_size": 1, "remote_name": "0" * 32 + ".png"}, "file_size"),
    ],
)
def test_start_validation_errors(stack, body, fragment):
    r = stack.api("POST", "upload/start", body)
    assert r.status == 400
    errors = r.json()["errors"]
    assert any(fragment in e for e in errors), errors


def test_page_key_with_v_prefix_is_accepted(stack):
    stack.start(b"<html></html>", "text/html", key=remote_name(b"<html></html>", "mp4", prefix="v"))


def test_api_refuses_non_json_and_paths_without_slash(stack):
    r = stack.api("POST", "upload/complete", raw=b"key=x", headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert r.status == 415 and r.json()["errors"]
    r = stack.request("GET", "/api/v1/profile/me", None, {"Authorization": f"ApiKey {stack.token}"})
    assert r.status == 404


def test_complete_without_a_stored_file_is_refused_and_charges_nothing(stack):
    data = b"never posted"
    answer = stack.start(data, "text/plain")
    before = profile(stack)
    r = stack.api("POST", "upload/complete", {"key": answer["key"]})
    assert r.status == 404 and r.json()["errors"]
    assert profile(stack) == before


def upload(stack, data, token):
    answer = stack.start(data, "image/png", token=token)
    assert stack.post_form(library_form(answer, data)).status == 204
    assert stack.api("POST", "upload/complete", {"key": answer["key"]}, token=token).status == 200
    return answer["key"]


def test_small_account_quotas(stack):
    p = profile(stack, SMALL_TOKEN)
    assert (p["max_content_size"], p["remaining_daily_items_count"]) == (1048576, 3)

    r = stack.api("POST", "upload/start",
                  {"content_type": "image/png", "file_size": 1048577, "key": "0" * 32 + ".png"}, token=SMALL_TOKEN)
    assert r.status == 400 and "too large" in r.json()["errors"][0]

    key = upload(stack, os.urandom(1000), SMALL_TOKEN)
    # A repeated complete does not charge twice.
    assert stack.api("POST", "upload/complete", {"key": key}, token=SMALL_TOKEN).status == 200
    p = profile(stack, SMALL_TOKEN)
    assert (p["remaining_daily_items_count"], p["remaining_daily_quota_in_bytes"]) == (2, 2097152 - 1000)

    # What is left in bytes bounds the next file.
    stack.dev("accounts", {"token": SMALL_TOKEN, "remaining_daily_quota_in_bytes": 500})
    start = {"content_type": "image/png", "file_size": 501, "key": "1" * 32 + ".png"}
    r = stack.api("POST", "upload/start", start, token=SMALL_TOKEN)
    assert r.status == 403 and "quota" in r.json()["errors"][0]
    assert stack.api("POST", "upload/start", dict(start, file_size=500), token=SMALL_TOKEN).status == 200

    # The start of 500 bytes above, never completed, holds the last item.
    upload(stack, os.urandom(10), SMALL_TOKEN)
    r = stack.api("POST", "upload/start",
                  {"content_type": "image/png", "file_size": 1, "key": "2" * 32 + ".png"}, token=SMALL_TOKEN)
    assert r.status == 403 and r.json()["errors"]

    stack.dev("reset", {})
    assert profile(stack, SMALL_TOKEN)["remaining_daily_items_count"] == 3

    # Uploads started and not yet completed count against the day's three items.
    starts = [stack.api("POST", "upload/start", {"content_type": "image/png", "file_size": 1,
                                                 "key": f"{i}" * 32 + ".png"}, token=SMALL_TOKEN) for i in range(4)]
    assert [r.status for r in starts] == [200, 200, 200, 403]
    stack.dev("reset", {})


def test_account_hook_overrides_until_reset(stack):
    changed = stack.dev("accounts", {"token": SMALL_TOKEN, "can_upload": False, "remaining_daily_items_count": 0})
    assert (changed["can_upload"], changed["remaining_daily_items_count"]) == (False, 0)
    r = stack.api("POST", "upload/start",
                  {"content_type": "image/png", "file_size": 1, "key": "3" * 32 + ".png"}, token=SMALL_TOKEN)
    assert r.status == 403
    stack.dev("reset", {})
    assert profile(stack, SMALL_TOKEN)["can_upload"] is True

"""The storage front refuses and accepts posts as S3 does."""

import base64
import io
import json
import os

import pytest

from conftest import library_form, multipart, s3_error
from lumodev.multipart import MultipartReader


@pytest.fixture
def png():
    """Fresh content per test: stored objects outlive the per-test reset."""
    return b"\x89PNG\r\n\x1a\n" + os.urandom(3000)


def fields_of(answer):
    return answer["presigned_post"]["fields"]


def without(parts, name):
    return [p for p in parts if p[0] != name]


def test_library_form_is_stored_with_its_content_type(stack, png):
    answer = stack.start(png)
    r = stack.post_form(library_form(answer, png))
    assert r.status == 204, r.body
    got = stack.request("GET", f"/cdn/{answer['key']}")
    assert got.status == 200
    assert got.headers["content-type"] == "image/png"
    assert got.body == png


def test_field_names_are_case_insensitive(stack, png):
    answer = stack.start(png)
    f = fields_of(answer)
    parts = [
        ("Content-Type", "image/png"),
        ("POLICY", f["policy"]),
        ("Signature", f["signature"]),
        ("ACL", f["acl"]),
        ("Key", answer["key"]),
        ("awsaccesskeyid", f["AWSAccessKeyId"]),
        ("file", png, "x.png", "image/png"),
    ]
    assert stack.post_form(parts).status == 204


@pytest.mark.parametrize("status, expected", [("201", 201), ("200", 200), ("999", 204)])
def test_success_action_status_needs_a_condition_and_picks_the_answer(stack, png, status, expected):
    answer = stack.start(png)
    parts = library_form(answer, png)
    r = stack.post_form(parts[:1] + [("success_action_status", status)] + parts[1:])
    assert r.status == 403
    assert s3_error(r)[1] == "Invalid according to Policy: Extra input fields: success_action_status"

    policy = json.loads(base64.b64decode(fields_of(answer)["policy"]))
    policy["conditions"].append({"success_action_status": status})
    signed = base64.b64encode(json.dumps(policy).encode()).decode()
    parts = [p if p[0] != "policy" else ("policy", signed) for p in parts]
    parts = [p if p[0] != "signature" else ("signature", stack.sign(signed)) for p in parts]
    r = stack.post_form([("success_action_status", status)] + parts)
    assert r.status == expected, r.body
    if expected == 201:
        assert b"<Key>" + answer["key"].encode() + b"</Key>" in r.body


def test_extra_field_is_refused_but_x_ignore_fields_pass(stack, png):
    answer = stack.start(png)
    parts = library_form(answer, png)
    r = stack.post_form([("x-amz-meta-note", "hi")] + parts)
    assert r.status == 403
    assert s3_error(r) == ("AccessDenied", "Invalid according to Policy: Extra input fields: x-amz-meta-note")
    assert stack.post_form([("x-ignore-note", "hi")] + parts).status == 204


def test_missing_fields(stack, png):
    answer = stack.start(png)
    parts = library_form(answer, png)

    r = stack.post_form(without(parts, "acl"))
    assert r.status == 403
    assert s3_error(r)[1] == 'Invalid according to Policy: Policy Condition failed: ["eq", "$acl", "public-read"]'

    r = stack.post_form(without(parts, "content-type"))
    assert r.status == 403
    assert "Policy Condition failed" in s3_error(r)[1]

    r = stack.post_form(without(parts, "key"))
    assert r.status == 400
    assert s3_error(r)[0] == "InvalidArgument"
    assert "field named 'key'" in s3_error(r)[1]

    r = stack.post_form(without(parts, "signature"))
    assert r.status == 400 and "field named 'signature'" in s3_error(r)[1]

    r = stack.post_form(without(parts, "file"))
    assert s3_error(r) == ("InvalidArgument", "POST requires exactly one file upload per request.")

    r = stack.post_form([p for p in parts if p[0] not in ("policy", "signature", "AWSAccessKeyId")])
    assert (r.status, s3_error(r)[0]) == (403, "AccessDenied")


def test_wrong_signature_and_access_key(stack, png):
    answer = stack.start(png)
    parts = library_form(answer, png)
    forged = base64.b64encode(b"\0" * 20).decode()
    r = stack.post_form([p if p[0] != "signature" else ("signature", forged) for p in parts])
    assert (r.status, s3_error(r)[0]) == (403, "SignatureDoesNotMatch")

    r = stack.post_form([p if p[0] != "AWSAccessKeyId" else ("AWSAccessKeyId", "NOBODY") for p in parts])
    assert (r.status, s3_error(r)[0]) == (403, "InvalidAccessKeyId")


def test_policy_changed_after_signing_is_refused(stack, png):
    answer = stack.start(png)
    policy = json.loads(base64.b64decode(fields_of(answer)["policy"]))
    policy["conditions"] = [c for c in policy["conditions"] if not isinstance(c, list)]
    tampered = base64.b64encode(json.dumps(policy).encode()).decode()
    parts = [p if p[0] != "policy" else ("policy", tampered) for p in library_form(answer, png)]
    assert s3_error(stack.post_form(parts))[0] == "SignatureDoesNotMatch"


def test_expired_policy(stack, png):
    answer = stack.start(png)
    policy = json.loads(base64.b64decode(fields_of(answer)["policy"]))
    policy["expiration"] = "2001-01-01T00:00:00Z"
    expired = base64.b64encode(json.dumps(policy).encode()).decode()
    parts = library_form(answer, png)
    parts = [p if p[0] != "policy" else ("policy", expired) for p in parts]
    parts = [p if p[0] != "signature" else ("signature", stack.sign(expired)) for p in parts]
    r = stack.post_form(parts)
    assert r.status == 403
    assert s3_error(r) == ("AccessDenied", "Invalid according to Policy: Policy expired.")


def test_file_size_must_match_the_announced_size(stack, png):
    answer = stack.start(png)
    r = stack.post_form(library_form(answer, png + b"!"))
    assert (r.status, s3_error(r)[0]) == (400, "EntityTooLarge")
    r = stack.post_form(library_form(answer, png[:-1]))
    assert (r.status, s3_error(r)[0]) == (400, "EntityTooSmall")
    assert stack.request("HEAD", f"/cdn/{answer['key']}").status == 403


def test_other_content_type_than_announced_is_refused(stack, png):
    answer = stack.start(png)
    parts = [p if p[0] != "content-type" else ("content-type", "image/jpeg") for p in library_form(answer, png)]
    r = stack.post_form(parts)
    assert r.status == 403
    assert s3_error(r)[1].endswith('["eq", "$Content-Type", "image/png"]')


def test_fields_after_the_file_do_not_count(stack, png):
    answer = stack.start(png)
    parts = library_form(answer, png)
    key_last = without(parts, "key") + [("key", answer["key"])]
    r = stack.post_form(key_last)
    assert r.status == 400 and "check the order of the fields" in s3_error(r)[1]

    # An uncovered field after the file is ignored rather than refused.
    assert stack.post_form(parts + [("x-amz-meta-late", "1")]).status == 204
    assert stack.request("GET", f"/cdn/{answer['key']}").body == png


def test_repeated_field_is_refused(stack, png):
    answer = stack.start(png)
    parts = library_form(answer, png)
    r = stack.post_form([("acl", "public-read")] + parts)
    assert (r.status, s3_error(r)[0]) == (400, "InvalidArgument")


def test_chunked_body_without_content_length_gets_411(stack, png):
    answer = stack.start(png)
    body, content_type = multipart(library_form(answer, png))
    conn = stack.connect()
    conn.request("POST", "/storage", body=iter([body[:100], body[100:]]),
                 headers={"Content-Type": content_type}, encode_chunked=True)
    r = conn.getresponse()
    payload = r.read()
    assert r.status == 411
    assert b"<Code>MissingContentLength</Code>" in payload


def test_body_that_is_not_multipart_gets_412(stack, png):
    r = stack.request("POST", "/storage", b"key=a", {"Content-Type": "application/x-www-form-urlencoded"})
    assert r.status == 412


@pytest.mark.parametrize("cut", ["inside the file", "inside a field"])
def test_truncated_multipart_is_malformed(stack, png, cut):
    answer = stack.start(png)
    body, content_type = multipart(library_form(answer, png))
    end = len(body) - 200 if cut == "inside the file" else body.index(b"image/png") + 3
    r = stack.request("POST", "/storage", body[:end], {"Content-Type": content_type})
    assert (r.status, s3_error(r)[0]) == (400, "MalformedPOSTRequest")


@pytest.mark.parametrize("low, high", [(True, 5000), (0, "5000"), (0, 5000.0), (-1, 5000), (5000, 0)])
def test_content_length_range_takes_ordered_non_negative_integers(stack, png, low, high):
    answer = stack.start(png)
    policy = json.loads(base64.b64decode(fields_of(answer)["policy"]))
    policy["conditions"] = [c if not isinstance(c, list) or c[0] != "content-length-range"
                            else ["content-length-range", low, high] for c in policy["conditions"]]
    signed = base64.b64encode(json.dumps(policy).encode()).decode()
    replaced = {"policy": signed, "signature": stack.sign(signed)}
    r = stack.post_form([(p[0], replaced[p[0]]) if p[0] in replaced else p for p in library_form(answer, png)])
    assert (r.status, s3_error(r)[0]) == (400, "InvalidPolicyDocument")


def test_early_refusal_of_a_large_post_arrives_on_a_usable_connection(stack, png):
    big = os.urandom(24 << 20)
    answer = stack.start(big, "video/mp4")
    parts = [("x-amz-meta-extra", "1")] + library_form(answer, big, "video/mp4")
    body, content_type = multipart(parts)
    conn = stack.connect()
    r = stack.request("POST", "/storage", body, {"Content-Type": content_type}, conn=conn)
    assert r.status == 403
    # The same connection serves the next request.
    assert stack.request("GET", "/__dev__/status/200", conn=conn).status == 200
    conn.close()


class Trickle(io.RawIOBase):
    """A stream handing out a few bytes per read, to split every delimiter."""

    def __init__(self, data, step):
        self._data = data
        self._pos = 0
        self._step = step

    def read(self, n=-1):
        chunk = self._data[self._pos : self._pos + self._step]
        self._pos += len(chunk)
        return chunk


@pytest.mark.parametrize("step", [1, 7, 64])
def test_parser_finds_parts_across_read_boundaries(step):
    content = b"\r\n--Boundary-Y\r\n--Boundary-\r\n--Boundary" + bytes(range(256)) * 2
    body, content_type = multipart([("a", "1"), ("b", ""), ("file", content, "f.bin", "x/y")], "Boundary-X")
    reader = MultipartReader(Trickle(b"preamble\r\n" + body, step), "Boundary-X")
    got = []
    while (part := reader.next_part()) is not None:
        got.append((part.name, part.filename, b"".join(reader.data())))
    assert got == [("a", None, b"1"), ("b", None, b""), ("file", "f.bin", content)]

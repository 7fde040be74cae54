"""A private stack (scripts/devstack with its own state directory) for the
whole session, reset before every test."""

import base64
import hashlib
import hmac
import http.client
import json
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from urllib.parse import urlsplit

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))

SMALL_TOKEN = "lumo-small-0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5e"


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def json(self):
        return json.loads(self.body)

    def text(self):
        return self.body.decode("utf-8")


class Stack:
    def __init__(self, env):
        self.api_base = env["LUMO_API_BASE"]
        self.share_base = env["LUMO_SHARE_BASE"]
        self.storage_url = env["LUMO_STORAGE_URL"]
        self.token = env["LUMO_DEV_TOKEN"]
        parts = urlsplit(self.api_base)
        self.host, self.port = parts.hostname, parts.port
        self.secret = os.environ.get("LUMO_S3_SECRET_ACCESS_KEY", "S3RVER")

    def connect(self, timeout=30):
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None, conn=None):
        own = conn is None
        conn = conn or self.connect()
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return Response(r.status, {k.lower(): v for k, v in r.getheaders()}, r.read())
        finally:
            if own:
                conn.close()

    def api(self, method, endpoint, payload=None, token=None, raw=None, headers=None):
        h = {"Content-Type": "application/json"}
        token = self.token if token is None else token
        if token:
            h["Authorization"] = f"ApiKey {token}"
        h.update(headers or {})
        body = raw if raw is not None else (json.dumps(payload).encode() if payload is not None else None)
        return self.request(method, f"/api/v1/{endpoint}/", body, h)

    def dev(self, path, payload=None, method=None):
        body = json.dumps(payload).encode() if payload is not None else None
        method = method or ("POST" if payload is not None else "GET")
        r = self.request(method, f"/__dev__/{path}", body, {"Content-Type": "application/json"})
        assert r.status == 200, r.body
        return r.json()

    def start(self, data, content_type="image/png", token=None, key=None):
        key = key or remote_name(data, content_type.split("/")[-1])
        r = self.api("POST", "upload/start", {"content_type": content_type, "file_size": len(data), "key": key},
                     token=token)
        assert r.status == 200, r.body
        return r.json()

    def sign(self, policy_b64):
        mac = hmac.new(self.secret.encode(), policy_b64.encode(), hashlib.sha1)
        return base64.b64encode(mac.digest()).decode()

    def post_form(self, parts, boundary=None, headers=None):
        """Posts (name, value[, filename, content type]) parts as a multipart form."""
        body, content_type = multipart(parts, boundary)
        h = {"Content-Type": content_type}
        h.update(headers or {})
        return self.request("POST", "/storage", body, h)


def remote_name(data, extension="png", prefix=""):
    return f"{prefix}{hashlib.md5(data).hexdigest()}.{extension}"


def multipart(parts, boundary=None):
    boundary = boundary or f"Boundary-{str(uuid.uuid4()).upper()}"
    out = bytearray()
    for part in parts:
        name, value = part[0], part[1]
        value = value.encode() if isinstance(value, str) else value
        out += f"--{boundary}\r\n".encode()
        if len(part) > 2:
            out += f'Content-Disposition: form-data; name="{name}"; filename="{part[2]}"\r\n'.encode()
            out += f"Content-Type: {part[3]}\r\n\r\n".encode()
        else:
            out += f'Content-Disposition: form-data; name="{name}"\r\n\r\n'.encode()
        out += value + b"\r\n"
    out += f"--{boundary}--".encode()
    return bytes(out), f"multipart/form-data; boundary={boundary}"


def library_form(answer, data, content_type="image/png"):
    """The form as the library posts it: six fields, then the file."""
    fields = answer["presigned_post"]["fields"]
    return [
        ("content-type", content_type),
        ("policy", fields["policy"]),
        ("signature", fields["signature"]),
        ("acl", fields["acl"]),
        ("key", answer["key"]),
        ("AWSAccessKeyId", fields["AWSAccessKeyId"]),
        ("file", data, answer["key"], content_type),
    ]


def s3_error(response):
    """(Code, Message) of an S3 XML error body."""
    import xml.etree.ElementTree as ET

    root = ET.fromstring(response.body)
    return root.findtext("Code"), root.findtext("Message")


@pytest.fixture(scope="session")
def stack():
    state = tempfile.mkdtemp(prefix="lumo-devstack-test-")
    env = dict(os.environ, LUMO_DEVSTACK_DIR=state)
    script = os.path.join(ROOT, "scripts", "devstack")
    started = subprocess.run([script, "start"], env=env, capture_output=True, text=True, timeout=300)
    if started.returncode != 0:
        pytest.fail(f"scripts/devstack start failed:\n{started.stderr}")
    values = {}
    for line in started.stdout.splitlines():
        assert line.startswith("export "), f"unexpected stdout line: {line!r}"
        name, _, value = line[len("export "):].partition("=")
        values[name] = value
    try:
        yield Stack(values)
    finally:
        subprocess.run([script, "stop"], env=env, capture_output=True, timeout=60)
        shutil.rmtree(state, ignore_errors=True)


@pytest.fixture(autouse=True)
def fresh(request):
    if "stack" in request.fixturenames:
        request.getfixturevalue("stack").dev("reset", {})

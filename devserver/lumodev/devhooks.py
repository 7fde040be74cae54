"""Test hooks of the reference service (dev mode, loopback clients only).

- faults queued for the next requests of a route,
- a log of the requests received (and the raw storage posts when asked),
- a reset,
- plain routes with fixed behaviour for the HTTP layer's own tests.
"""

import base64
import collections
import hashlib
import ipaddress
import json
import math
import os
import re
import select
import socket
import threading
import time

from flask import Response, abort, current_app, jsonify, request

FAULT_ROUTES = {
    "/api/v1/upload/start/": "upload/start",
    "/api/v1/upload/complete/": "upload/complete",
    "/api/v1/upload/delete/": "upload/delete",
    "/api/v1/profile/me/": "profile/me",
    "/storage": "storage",
    "/storage/": "storage",
}
ROUTES = ("upload/start", "upload/complete", "upload/delete", "profile/me", "storage", "cdn")
BODY_KINDS = ("json", "html", "empty", "truncated_json", "garbage")
# Hooks that steer the server stay out of the request log.
CONTROL_PATHS = (
    "/__dev__/faults",
    "/__dev__/requests",
    "/__dev__/capture",
    "/__dev__/reset",
    "/__dev__/health",
    "/__dev__/accounts",
)
ALL_METHODS = ["GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS", "TRACE"]
LOG_LIMIT = 10000
CAPTURE_LIMIT = 64 << 20
GARBAGE_SIZE = 10 << 20
PATTERN_BLOCK = bytes(range(251)) * 4177  # about 1 MiB, whole periods of 251
KEY_FIELD = re.compile(rb'name="key"[^\r\n]*\r\n(?:[^\r\n]+\r\n)*\r\n([^\r\n]*)\r\n', re.IGNORECASE)
KEY_PREFIX_LIMIT = 64 << 10


def route_of(path):
    if path in FAULT_ROUTES:
        return FAULT_ROUTES[path]
    if path.startswith("/cdn/"):
        return "cdn"
    return None


class HookError(ValueError):
    pass


def _int(wanted, name, low, high, default=None):
    value = wanted.get(name, default)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise HookError(f"{name} must be an integer from {low} to {high}")
    return value


def parse_fault(wanted):
    if not isinstance(wanted, dict):
        raise HookError("a fault is a JSON object")
    known = {"route", "count", "status", "body", "body_kind", "delay_ms", "drop_after_bytes", "key", "rate_bytes_per_s"}
    unknown = set(wanted) - known
    if unknown:
        raise HookError(f"unknown fault keys: {', '.join(sorted(unknown))}")
    if wanted.get("route") not in ROUTES:
        raise HookError(f"route must be one of {', '.join(ROUTES)}")
    fault = {
        "route": wanted["route"],
        "count": _int(wanted, "count", 1, 1_000_000, 1),
        "status": _int(wanted, "status", 200, 599),
        "delay_ms": _int(wanted, "delay_ms", 0, 600_000, 0),
        "drop_after_bytes": _int(wanted, "drop_after_bytes", 0, 1 << 40),
        "rate_bytes_per_s": _int(wanted, "rate_bytes_per_s", 1, 1 << 40),
        "body": wanted.get("body"),
        "body_kind": wanted.get("body_kind"),
        "key": wanted.get("key"),
    }
    if fault["key"] is not None and (not isinstance(fault["key"], str) or fault["route"] == "profile/me"):
        raise HookError("key must be a string, and profile/me requests have none")
    if fault["body"] is not None and not isinstance(fault["body"], str):
        raise HookError("body must be a string")
    if fault["body_kind"] is not None and fault["body_kind"] not in BODY_KINDS:
        raise HookError(f"body_kind must be one of {', '.join(BODY_KINDS)}")
    answers = fault["status"] is not None or fault["body_kind"] is not None or fault["body"] is not None
    if fault["drop_after_bytes"] is not None and answers:
        raise HookError("drop_after_bytes closes the connection: it takes no status or body")
    if fault["rate_bytes_per_s"] is not None and (answers or fault["drop_after_bytes"] is not None):
        raise HookError("rate_bytes_per_s slows a request that is then handled as usual: it takes no status, body or drop")
    if answers and fault["status"] is None:
        fault["status"] = 500
    if answers and fault["body_kind"] is None:
        fault["body_kind"] = "json"
    return fault


class CountingInput:
    """The request body as the application reads it, counted and optionally
    copied (up to CAPTURE_LIMIT bytes)."""

    def __init__(self, stream, capture):
        self._stream = stream
        self.size = 0
        self.captured = bytearray() if capture else None
        self.capture_truncated = False

    def _seen(self, data):
        self.size += len(data)
        if self.captured is not None and data:
            room = CAPTURE_LIMIT - len(self.captured)
            if len(data) > room:
                self.capture_truncated = True
            self.captured += data[: max(room, 0)]
        return data

    def read(self, size=-1):
        return self._seen(self._stream.read(size))

    def readline(self, size=-1):
        return self._seen(self._stream.readline(size))

    def readinto(self, buf):
        data = self._stream.read(len(buf))
        buf[: len(data)] = data
        self._seen(data)
        return len(data)

    def __iter__(self):
        return iter(self.readline, b"")


class Hooks:
    def __init__(self, app):
        self._app = app
        self._lock = threading.Lock()
        self._faults = {route: [] for route in ROUTES}  # guarded by _lock
        self._log = collections.deque(maxlen=LOG_LIMIT)  # guarded by _lock
        self.capture_storage = False  # guarded by _lock (written), read racily per request
        self._garbage = None

    # -- faults --
    def add_fault(self, fault):
        with self._lock:
            self._faults[fault["route"]].append(fault)

    def has_keyed_fault(self, route):
        with self._lock:
            return any(f["key"] is not None for f in self._faults[route])

    def take_fault(self, route, key=None):
        """The first fault queued for `route` that has no key or the request's key."""
        with self._lock:
            queue = self._faults[route]
            for index, fault in enumerate(queue):
                if fault["key"] is None or fault["key"] == key:
                    break
            else:
                return None
            fault["count"] -= 1
            if fault["count"] <= 0:
                queue.pop(index)
            return dict(fault)

    def pending_faults(self):
        with self._lock:
            return [dict(f) for route in ROUTES for f in self._faults[route]]

    def garbage(self):
        if self._garbage is None:
            self._garbage = os.urandom(GARBAGE_SIZE)
        return self._garbage

    # -- request log --
    def record(self, entry):
        with self._lock:
            self._log.append(entry)

    def entries(self):
        with self._lock:
            return list(self._log)

    def reset(self):
        with self._lock:
            for route in ROUTES:
                self._faults[route].clear()
            self._log.clear()
            self.capture_storage = False
        self._app.config["LUMO_ACCOUNTS"].reset()


class LogEntry:
    def __init__(self, environ, body):
        self.method = environ["REQUEST_METHOD"]
        self.path = environ.get("PATH_INFO", "")
        self.query = environ.get("QUERY_STRING", "")
        headers = {}
        for key, value in environ.items():
            if key.startswith("HTTP_"):
                name = key[5:]
            elif key in ("CONTENT_TYPE", "CONTENT_LENGTH") and value != "":
                name = key
            else:
                continue
            headers[name.replace("_", "-").lower()] = value
        self.headers = headers
        self.body = body
        self.status = None
        self.time = time.time()
        self.answered = None  # when the status went out

    def as_json(self):
        data = {
            "method": self.method,
            "path": self.path,
            "query": self.query,
            "headers": self.headers,
            "body_size": self.body.size,
            "status": self.status,
            "time": self.time,
            "answered": self.answered,
        }
        if self.body.captured is not None:
            data["body_b64"] = base64.b64encode(bytes(self.body.captured)).decode("ascii")
            if self.body.capture_truncated:
                data["body_truncated"] = True
        return data


def _is_loopback(address):
    try:
        return ipaddress.ip_address((address or "").split("%")[0]).is_loopback
    except ValueError:
        return False


class Middleware:
    """Counts and logs every request except the control hooks."""

    def __init__(self, wsgi_app, hooks):
        self._wsgi_app = wsgi_app
        self._hooks = hooks

    def __call__(self, environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path in CONTROL_PATHS or not _is_loopback(environ.get("REMOTE_ADDR")):
            return self._wsgi_app(environ, start_response)
        capture = self._hooks.capture_storage and route_of(path) == "storage"
        body = CountingInput(environ["wsgi.input"], capture)
        environ["wsgi.input"] = body
        environ["wsgi.input_terminated"] = True
        entry = LogEntry(environ, body)
        self._hooks.record(entry)

        def recording_start_response(status, headers, exc_info=None):
            entry.status = int(status.split(" ", 1)[0])
            entry.answered = time.time()
            return start_response(status, headers, exc_info)

        return self._wsgi_app(environ, recording_start_response)


def _read_body():
    stream = request.environ["wsgi.input"]
    size = 0
    digest = hashlib.md5()
    while True:
        chunk = stream.read(1 << 20)
        if not chunk:
            return size, digest.hexdigest()
        size += len(chunk)
        digest.update(chunk)


def _fault_response(fault, hooks):
    kind = fault["body_kind"]
    status = fault["status"]
    if kind == "json":
        body = fault["body"] if fault["body"] is not None else json.dumps({"errors": ["injected fault"]})
        return Response(body, status=status, mimetype="application/json")
    if kind == "html":
        body = fault["body"] if fault["body"] is not None else "<html><body><h1>Injected fault</h1></body></html>"
        return Response(body, status=status, mimetype="text/html")
    if kind == "truncated_json":
        body = fault["body"] if fault["body"] is not None else '{"errors": ["injected fau'
        return Response(body, status=status, mimetype="application/json")
    if kind == "garbage":
        return Response(hooks.garbage(), status=status, mimetype="application/octet-stream")
    response = Response(b"", status=status)
    response.headers.pop("Content-Type", None)
    return response


class _Replay:
    """A request body whose first bytes were read already: gives them again."""

    def __init__(self, head, rest):
        self._head = head
        self._rest = rest

    def read(self, size=-1):
        if not self._head:
            return self._rest.read(size)
        if size is None or size < 0:
            data, self._head = self._head + self._rest.read(), b""
        else:
            data, self._head = self._head[:size], self._head[size:]
        return data


class _Throttled:
    """A request body that gives at most `rate` bytes a second, in slices of a tenth of a
    second, so that the client's sends back up as they would behind a slow link."""

    def __init__(self, stream, rate):
        self._stream = stream
        self._rate = rate
        self._slice = max(1, rate // 10)
        self._began = time.monotonic()
        self._given = 0

    def read(self, size=-1):
        if size is None or size < 0:
            parts = []
            while True:
                part = self.read(self._slice)
                if not part:
                    return b"".join(parts)
                parts.append(part)
        data = self._stream.read(min(size, self._slice))
        self._given += len(data)
        late = self._began + self._given / self._rate - time.monotonic()
        if late > 0:
            time.sleep(late)
        return data


def _request_key(route):
    """The remote name a request is about: the JSON "key" of the API calls, the "key" field of
    a storage post (read from the fields before the file), the name of a delivery."""
    if route == "cdn":
        return request.path[len("/cdn/"):]
    if route == "storage":
        stream = request.environ["wsgi.input"]
        head = b""
        while len(head) < KEY_PREFIX_LIMIT and not KEY_FIELD.search(head):
            chunk = stream.read(4096)
            if not chunk:
                break
            head += chunk
        request.environ["wsgi.input"] = _Replay(head, stream)
        found = KEY_FIELD.search(head)
        return found.group(1).decode("utf-8", "replace") if found else None
    try:
        data = json.loads(request.get_data(cache=True) or b"null")
    except ValueError:
        return None
    return data.get("key") if isinstance(data, dict) else None


def _apply_fault(hooks):
    route = route_of(request.path)
    if route is None:
        return None
    key = _request_key(route) if hooks.has_keyed_fault(route) else None
    fault = hooks.take_fault(route, key)
    if fault is None:
        return None
    stream = request.environ["wsgi.input"]
    if fault["drop_after_bytes"] is not None:
        left = fault["drop_after_bytes"]
        while left > 0:
            chunk = stream.read(min(left, 1 << 20))
            if not chunk:
                break
            left -= len(chunk)
        if fault["delay_ms"]:
            time.sleep(fault["delay_ms"] / 1000)
        request.environ["lumo.abort"] = True
        return Response(b"")
    if fault["status"] is None:
        # A delay, a slow read, or both: the request then goes on as usual.
        time.sleep(fault["delay_ms"] / 1000)
        if fault["rate_bytes_per_s"] is not None:
            request.environ["wsgi.input"] = _Throttled(stream, fault["rate_bytes_per_s"])
        return None
    _read_body()
    if fault["delay_ms"]:
        time.sleep(fault["delay_ms"] / 1000)
    return _fault_response(fault, hooks)


def _client_gone(sock):
    try:
        readable, _, _ = select.select([sock], [], [], 0)
        if not readable:
            return False
        return sock.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


def install(app):
    hooks = Hooks(app)
    app.config["LUMO_HOOKS"] = hooks

    @app.before_request
    def _dev_before():
        if request.path.startswith("/__dev__/") and not _is_loopback(request.remote_addr):
            abort(404)
        if not _is_loopback(request.remote_addr):
            return None
        return _apply_fault(hooks)

    def body_json():
        try:
            data = json.loads(request.get_data(cache=False) or b"{}")
        except ValueError:
            raise HookError("the body must be JSON") from None
        if not isinstance(data, dict):
            raise HookError("the body must be a JSON object")
        return data

    @app.errorhandler(HookError)
    def _hook_error(error):
        return jsonify({"error": str(error)}), 400

    @app.route("/__dev__/health", methods=["GET"])
    def health():
        book = current_app.config["LUMO_ACCOUNTS"]
        store = current_app.config["LUMO_STORE"]
        config = current_app.config["LUMO_CONFIG"]
        return jsonify(
            {
                "ok": True,
                "dev_token": book.dev_token(),
                "tokens": book.tokens(),
                "bucket": store.bucket,
                "s3_endpoint": config.s3_endpoint,
            }
        )

    @app.route("/__dev__/faults", methods=["POST"])
    def add_fault():
        fault = parse_fault(body_json())
        hooks.add_fault(fault)
        return jsonify({"ok": True, "fault": fault})

    @app.route("/__dev__/faults", methods=["GET"])
    def list_faults():
        return jsonify({"faults": hooks.pending_faults()})

    @app.route("/__dev__/requests", methods=["GET"])
    def requests_log():
        prefix = request.args.get("path_prefix", "")
        entries = [e.as_json() for e in hooks.entries() if e.path.startswith(prefix)]
        return jsonify({"requests": entries})

    @app.route("/__dev__/capture", methods=["POST"])
    def capture():
        value = body_json().get("storage_raw")
        if not isinstance(value, bool):
            raise HookError("storage_raw must be true or false")
        hooks.capture_storage = value
        return jsonify({"ok": True, "storage_raw": value})

    @app.route("/__dev__/reset", methods=["POST"])
    def reset():
        request.get_data(cache=False)
        hooks.reset()
        return jsonify({"ok": True})

    @app.route("/__dev__/accounts", methods=["POST"])
    def update_account():
        changes = body_json()
        token = changes.pop("token", None)
        try:
            profile = current_app.config["LUMO_ACCOUNTS"].update(token, changes)
        except ValueError as error:
            raise HookError(str(error)) from None
        return jsonify(profile)

    def plain(rule, endpoint):
        def register(view):
            app.add_url_rule(rule, endpoint, view, methods=ALL_METHODS, provide_automatic_options=False)
            return view

        return register

    @plain("/__dev__/status/<int:code>", "dev_status")
    def status(code):
        _read_body()
        if not 200 <= code <= 599:
            raise HookError("the status must be from 200 to 599")
        if code in (204, 304):
            return Response(status=code)
        return jsonify({"status": code}), code

    @plain("/__dev__/delay/<int:ms>", "dev_delay")
    def delay(ms):
        _read_body()
        time.sleep(min(ms, 600_000) / 1000)
        return jsonify({"ok": True})

    @plain("/__dev__/redirect/<int:code>", "dev_redirect")
    def redirect(code):
        _read_body()
        if not 300 <= code <= 399:
            raise HookError("the status must be from 300 to 399")
        response = Response(b"", status=code)
        response.headers["Location"] = request.args.get("to", "/__dev__/echo")
        return response

    @plain("/__dev__/echo", "dev_echo")
    def echo():
        size, md5 = _read_body()
        return jsonify(
            {
                "method": request.method,
                "path": request.path,
                "query": request.query_string.decode("latin-1"),
                "headers": {name.lower(): value for name, value in request.headers.items()},
                "body_size": size,
                "body_md5": md5,
            }
        )

    @plain("/__dev__/bytes/<int:n>", "dev_bytes")
    def pattern_bytes(n):
        _read_body()
        if n > 1 << 32:
            raise HookError("at most 4 GiB")

        def generate():
            offset = 0
            block = len(PATTERN_BLOCK)
            while offset < n:
                take = min(block, n - offset)
                yield PATTERN_BLOCK if take == block else PATTERN_BLOCK[:take]
                offset += take

        response = Response(generate(), mimetype="application/octet-stream")
        response.headers["Content-Length"] = str(n)
        return response

    @plain("/__dev__/stall", "dev_stall")
    def stall():
        _read_body()
        try:
            seconds = float(request.args.get("seconds", 120))
        except ValueError:
            seconds = math.nan
        if not math.isfinite(seconds) or seconds < 0:
            raise HookError("seconds must be a number from 0 to 600")
        seconds = min(seconds, 600.0)
        sock = request.environ.get("werkzeug.socket")

        def generate():
            yield b"stall"
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                if sock is not None and _client_gone(sock):
                    return
                time.sleep(0.2)

        response = Response(generate(), mimetype="text/plain")
        response.headers["Content-Length"] = "1000"
        return response

    @plain("/__dev__/drop", "dev_drop")
    def drop():
        _read_body()

        def generate():
            yield b"0123456789"

        response = Response(generate(), mimetype="text/plain")
        response.headers["Content-Length"] = "1000"
        return response

    @plain("/__dev__/closenow", "dev_closenow")
    def closenow():
        request.environ["lumo.abort"] = True
        return Response(b"")

    app.wsgi_app = Middleware(app.wsgi_app, hooks)
    return app

"""Threaded HTTP/1.1 server for the reference service.

Werkzeug's own handler closes every connection after one response and never
drains an unread request body, so a client that keeps connections alive (as
libcurl does) or an early error answer to a large upload would see resets.
This handler keeps connections alive, drains what the application left of a
request body before reading the next request, and gives the application two
ways to misbehave on purpose (for fault-injection routes):

- ``environ["lumo.abort"] = True``: no response at all; the connection is shut
  down as soon as the application returns.
- a body shorter than its declared Content-Length: the connection is shut down
  after the last byte, so the client sees a truncated transfer.
"""

import io
import socket
import sys
import traceback

from werkzeug.serving import DechunkedInput, ThreadedWSGIServer, WSGIRequestHandler

# Bodies left unread by the application are drained up to this many bytes to
# keep the connection; anything larger closes it instead.
DRAIN_LIMIT = 1 << 30
READ_CHUNK = 1 << 20


class BodyReader(io.RawIOBase):
    """Reads exactly Content-Length bytes of a request body, then EOF."""

    def __init__(self, rfile, length):
        self._rfile = rfile
        self.remaining = length

    def readable(self):
        return True

    def readinto(self, buf):
        if self.remaining <= 0:
            return 0
        want = min(len(buf), self.remaining)
        data = self._rfile.read(want)
        if not data:
            # The peer went away in the middle of its body.
            raise ConnectionResetError("request body ended early")
        n = len(data)
        buf[:n] = data
        self.remaining -= n
        return n


def _shutdown(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class KeepAliveHandler(WSGIRequestHandler):
    protocol_version = "HTTP/1.1"
    # Idle time allowed between requests and inside a request before the
    # connection is dropped (seconds).
    timeout = 180

    def log_request(self, code="-", size="-"):
        if getattr(self.server, "access_log", True):
            super().log_request(code, size)

    def run_wsgi(self):
        environ = self.make_environ()
        self.environ = environ
        request_close = self.close_connection

        if environ.get("HTTP_TRANSFER_ENCODING", "").strip().lower() == "chunked":
            body = environ["wsgi.input"]  # already a DechunkedInput
            if not isinstance(body, DechunkedInput):
                body = DechunkedInput(self.rfile)
        else:
            raw_length = environ.get("CONTENT_LENGTH", "").strip()
            try:
                length = int(raw_length) if raw_length else 0
                if length < 0:
                    raise ValueError
            except ValueError:
                self._send_plain(400, b"invalid Content-Length\n")
                self.close_connection = True
                return
            body = BodyReader(self.rfile, length)
        environ["wsgi.input"] = io.BufferedReader(body, READ_CHUNK)
        environ["wsgi.input_terminated"] = True
        environ["lumo.body_complete"] = lambda: _body_done(body)

        state = {
            "status": None,
            "headers": None,
            "sent": False,
            "chunked": False,
            "declared": None,
            "written": 0,
        }
        is_head = environ["REQUEST_METHOD"] == "HEAD"

        def send_headers():
            status = state["status"]
            code_str, _, msg = status.partition(" ")
            code = int(code_str)
            self.send_response(code, msg)
            keys = set()
            for key, value in state["headers"]:
                self.send_header(key, value)
                keys.add(key.lower())
                if key.lower() == "content-length":
                    try:
                        state["declared"] = int(value)
                    except ValueError:
                        pass
            bodyless = is_head or code < 200 or code in (204, 304)
            if "content-length" not in keys and not bodyless:
                if self.request_version >= "HTTP/1.1":
                    state["chunked"] = True
                    self.send_header("Transfer-Encoding", "chunked")
                else:
                    self.close_connection = True
            if request_close and "connection" not in keys:
                self.send_header("Connection", "close")
            self.end_headers()
            state["sent"] = True
            if bodyless:
                state["declared"] = 0 if not is_head else None

        def write(data):
            if not state["sent"]:
                send_headers()
            if not data or is_head:
                return
            if state["chunked"]:
                self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
            else:
                self.wfile.write(data)
            state["written"] += len(data)

        def start_response(status, headers, exc_info=None):
            if exc_info:
                try:
                    if state["sent"]:
                        raise exc_info[1].with_traceback(exc_info[2])
                finally:
                    exc_info = None
            state["status"] = status
            state["headers"] = list(headers)
            return write

        try:
            app_iter = self.server.app(environ, start_response)
            try:
                for data in app_iter:
                    if environ.get("lumo.abort"):
                        break
                    write(data)
                if environ.get("lumo.abort"):
                    self._abort()
                    return
                if not state["sent"]:
                    write(b"")
                if state["chunked"]:
                    self.wfile.write(b"0\r\n\r\n")
            finally:
                if hasattr(app_iter, "close"):
                    app_iter.close()
        except (ConnectionError, socket.timeout, TimeoutError):
            self._abort()
            return
        except Exception:  # noqa: BLE001 - the server must survive any handler bug
            traceback.print_exc(file=sys.stderr)
            if state["sent"]:
                self._abort()
                return
            self._send_plain(500, b"internal server error\n")
            self.close_connection = True
            return

        declared = state["declared"]
        if declared is not None and not is_head and declared != state["written"]:
            # The body was cut short on purpose (or by a bug): the client must
            # not wait for the missing bytes on a kept-alive connection.
            self._abort()
            return

        if not self.close_connection:
            try:
                if not _drain(environ["wsgi.input"]):
                    self.close_connection = True
            except (ConnectionError, socket.timeout, TimeoutError, OSError):
                self.close_connection = True

    def _send_plain(self, code, payload):
        try:
            self.send_response(code)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(payload)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(payload)
        except OSError:
            pass

    def _abort(self):
        self.close_connection = True
        _shutdown(self.connection)


def _body_done(body):
    if isinstance(body, BodyReader):
        return body.remaining == 0
    return getattr(body, "_done", False)


def _drain(stream):
    drained = 0
    while drained < DRAIN_LIMIT:
        data = stream.read(READ_CHUNK)
        if not data:
            return True
        drained += len(data)
    return False


class DevHTTPServer(ThreadedWSGIServer):
    """Thread per connection; a deep listen queue for bursts of connects."""

    request_queue_size = 1024
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, host, port, app, access_log=True):
        self.access_log = access_log
        super().__init__(host, port, app, handler=KeepAliveHandler)

    def server_bind(self):
        # HTTPServer.server_bind resolves the host name, which can stall on a
        # machine without DNS; the name is never used here.
        import socketserver

        socketserver.TCPServer.server_bind(self)
        host, port = self.server_address[:2]
        self.server_name = host
        self.server_port = port

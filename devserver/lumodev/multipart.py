"""Streaming reader of multipart/form-data bodies.

Parts come one at a time in the order they were posted, and a part's data is
handed out in chunks, so a file of any size passes through a small buffer.
"""

READ_SIZE = 1 << 20
MAX_HEADER_BYTES = 16 * 1024


class MalformedMultipart(ValueError):
    pass


def boundary_from_content_type(value):
    """Returns the boundary parameter of a multipart/form-data Content-Type,
    or None when the type is another one or has no boundary."""
    mime, params = parse_header_value(value or "")
    if mime.lower() != "multipart/form-data":
        return None
    boundary = params.get("boundary")
    if not boundary or len(boundary) > 200:
        return None
    return boundary


def parse_header_value(value):
    """Splits 'type; a=1; b="x;y"' into ('type', {'a': '1', 'b': 'x;y'});
    parameter names are lower-cased."""
    pieces = []
    current = []
    quoted = False
    escaped = False
    for ch in value:
        if escaped:
            current.append(ch)
            escaped = False
        elif quoted and ch == "\\":
            current.append(ch)
            escaped = True
        elif ch == '"':
            current.append(ch)
            quoted = not quoted
        elif ch == ";" and not quoted:
            pieces.append("".join(current))
            current = []
        else:
            current.append(ch)
    pieces.append("".join(current))
    main = pieces[0].strip()
    params = {}
    for piece in pieces[1:]:
        name, sep, raw = piece.partition("=")
        if not sep:
            continue
        raw = raw.strip()
        if len(raw) >= 2 and raw[0] == raw[-1] == '"':
            raw = raw[1:-1].replace('\\"', '"').replace("\\\\", "\\")
        params[name.strip().lower()] = raw
    return main, params


class Part:
    def __init__(self, headers):
        self.headers = headers  # lower-cased names
        disposition, params = parse_header_value(headers.get("content-disposition", ""))
        if disposition.lower() != "form-data" or "name" not in params:
            raise MalformedMultipart("part without a form-data name")
        self.name = params["name"]
        self.filename = params.get("filename")
        self.content_type = headers.get("content-type")


class MultipartReader:
    def __init__(self, stream, boundary):
        self._stream = stream
        self._dash_boundary = b"--" + boundary.encode("latin-1")
        self._delimiter = b"\r\n" + self._dash_boundary
        self._buf = bytearray()
        self._eof = False
        self._in_part = False
        self._closed = False
        self._started = False

    def _fill(self):
        if self._eof:
            return False
        data = self._stream.read(READ_SIZE)
        if not data:
            self._eof = True
            return False
        self._buf += data
        return True

    def _need(self, n):
        while len(self._buf) < n:
            if not self._fill():
                raise MalformedMultipart("body ends inside the multipart framing")

    def _after_delimiter(self):
        """Positioned right after a boundary: is this the closing one?"""
        self._need(2)
        if self._buf[:2] == b"--":
            del self._buf[:2]
            self._closed = True
            return False
        # Transport padding (spaces or tabs) may follow a boundary.
        while True:
            self._need(2)
            if self._buf[:2] == b"\r\n":
                del self._buf[:2]
                return True
            if self._buf[0] in b" \t":
                del self._buf[:1]
                continue
            raise MalformedMultipart("junk after a boundary")

    def _skip_preamble(self):
        while True:
            if self._buf.startswith(self._dash_boundary):
                del self._buf[: len(self._dash_boundary)]
                return
            pos = self._buf.find(self._delimiter)
            if pos >= 0:
                del self._buf[: pos + len(self._delimiter)]
                return
            keep = len(self._delimiter)
            if len(self._buf) > keep:
                del self._buf[: len(self._buf) - keep]
            if not self._fill():
                raise MalformedMultipart("no boundary in the body")

    def next_part(self):
        """The next part, or None after the closing boundary."""
        if self._closed:
            return None
        if self._in_part:
            for _ in self.data():
                pass
        if not self._started:
            self._started = True
            self._skip_preamble()
            if not self._after_delimiter():
                return None
        while True:
            if self._buf.startswith(b"\r\n"):
                header_block = b""
                del self._buf[:2]
                break
            end = self._buf.find(b"\r\n\r\n")
            if end >= 0:
                header_block = bytes(self._buf[:end])
                del self._buf[: end + 4]
                break
            if len(self._buf) > MAX_HEADER_BYTES:
                raise MalformedMultipart("part headers too long")
            if not self._fill():
                raise MalformedMultipart("body ends inside part headers")
        headers = {}
        for line in header_block.split(b"\r\n"):
            if not line:
                continue
            name, sep, value = line.decode("utf-8", "replace").partition(":")
            if not sep:
                raise MalformedMultipart("bad part header line")
            headers[name.strip().lower()] = value.strip()
        self._in_part = True
        return Part(headers)

    def data(self):
        """Yields the current part's bytes in chunks, up to its boundary."""
        if not self._in_part:
            return
        keep = len(self._delimiter) - 1
        while True:
            pos = self._buf.find(self._delimiter)
            if pos >= 0:
                chunk = bytes(self._buf[:pos])
                del self._buf[: pos + len(self._delimiter)]
                self._in_part = False
                if chunk:
                    yield chunk
                self._after_delimiter()
                return
            if len(self._buf) > keep:
                chunk = bytes(self._buf[: len(self._buf) - keep])
                del self._buf[: len(self._buf) - keep]
                yield chunk
            if not self._fill():
                raise MalformedMultipart("body ends inside a part")

    def read_value(self, limit):
        """The whole current part, refused when longer than `limit`."""
        out = bytearray()
        for chunk in self.data():
            out += chunk
            if len(out) > limit:
                raise ValueError("field too long")
        return bytes(out)

    def drain(self):
        """Reads the rest of the body, whatever it holds."""
        self._buf.clear()
        while self._fill():
            self._buf.clear()

"""POST /storage: S3's browser-based upload, with S3's own refusals.

A post that S3 would refuse is refused here with the same status, code and
message, so the library meets the same answers it would meet in production.
The form is read as it arrives: fields are kept, the file goes to a temporary
file, and the rest of the body is read and dropped whatever the outcome, so
the client always gets the answer on a healthy connection.
"""

import hashlib
import tempfile
from urllib.parse import quote, urlencode

from flask import Response, current_app, request

from . import s3policy
from .multipart import MalformedMultipart, MultipartReader, boundary_from_content_type
from .objectstore import StoreError
from .s3policy import S3Error

# S3 refuses form fields before the file that add up to more than this.
MAX_PRE_DATA = 20 * 1024
MAX_KEY_BYTES = 1024
COPY_CHUNK = 1 << 20


def xml_response(error, request_id, close=False):
    response = Response(s3policy.error_xml(error, request_id), status=error.status, content_type="application/xml")
    response.headers["x-amz-request-id"] = request_id
    if close:
        response.headers["Connection"] = "close"
    return response


def _drain(stream):
    while stream.read(COPY_CHUNK):
        pass


def _read_form(reader):
    """Reads the fields in front of the file. Returns (fields, order, file part)."""
    fields = {}
    order = []
    pre_data = 0
    while True:
        part = reader.next_part()
        if part is None:
            return fields, order, None
        lower = part.name.lower()
        if lower == "file":
            return fields, order, part
        try:
            raw = reader.read_value(MAX_PRE_DATA)
        except MalformedMultipart:
            raise  # a body cut short inside a field is malformed, not too large
        except ValueError:
            raw = b"x" * (MAX_PRE_DATA + 1)
        pre_data += len(raw) + len(part.name)
        if pre_data > MAX_PRE_DATA:
            raise S3Error(
                400,
                "MaxPostPreDataLengthExceeded",
                "Your POST request fields preceding the upload file were too large.",
            )
        if lower in fields:
            raise S3Error(
                400,
                "InvalidArgument",
                f"Bucket POST field '{part.name}' appears more than once.",
                ArgumentName=part.name,
                ArgumentValue=raw.decode("utf-8", "replace"),
            )
        try:
            fields[lower] = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise MalformedMultipart("field value is not UTF-8") from None
        order.append(part.name)


def _receive_file(reader, limit):
    """Streams the file part to a temporary file; bytes past `limit` are
    counted but not kept. Returns (file, size, md5 hex)."""
    tmp = tempfile.TemporaryFile(prefix="lumo-post-")
    size = 0
    digest = hashlib.md5()
    try:
        for chunk in reader.data():
            if limit is None or size + len(chunk) <= limit:
                tmp.write(chunk)
                digest.update(chunk)
            size += len(chunk)
    except BaseException:
        tmp.close()
        raise
    tmp.seek(0)
    return tmp, size, digest.hexdigest()


def _success(fields, key, etag, bucket):
    location = f"{request.host_url.rstrip('/')}{request.path.rstrip('/')}/{quote(key)}"
    redirect = fields.get("success_action_redirect") or fields.get("redirect")
    if redirect:
        sep = "&" if "?" in redirect else "?"
        target = redirect + sep + urlencode({"bucket": bucket, "key": key, "etag": f'"{etag}"'})
        response = Response(status=303)
        response.headers["Location"] = target
        return response
    status = fields.get("success_action_status", "")
    if status == "201":
        body = (
            '<?xml version="1.0" encoding="UTF-8"?>\n<PostResponse>'
            f"<Location>{location}</Location><Bucket>{bucket}</Bucket>"
            f"<Key>{key}</Key><ETag>&quot;{etag}&quot;</ETag></PostResponse>"
        )
        response = Response(body, status=201, content_type="application/xml")
    else:
        response = Response(b"", status=200 if status == "200" else 204)
        del response.headers["Content-Type"]
    response.headers["ETag"] = f'"{etag}"'
    response.headers["Location"] = location
    return response


def handle_post():
    store = current_app.config["LUMO_STORE"]
    request_id = s3policy.new_request_id()
    stream = request.environ["wsgi.input"]

    if request.environ.get("CONTENT_LENGTH", "").strip() == "":
        _drain(stream)
        error = S3Error(411, "MissingContentLength", "You must provide the Content-Length HTTP header.")
        return xml_response(error, request_id, close=True)

    boundary = boundary_from_content_type(request.headers.get("Content-Type"))
    if boundary is None:
        _drain(stream)
        error = S3Error(
            412,
            "PreconditionFailed",
            "At least one of the pre-conditions you specified did not hold",
            Condition="Bucket POST must be of the enclosure-type multipart/form-data",
        )
        return xml_response(error, request_id)

    reader = MultipartReader(stream, boundary)
    upload = None
    try:
        fields, order, file_part = _read_form(reader)
        if "key" not in fields:
            raise s3policy.missing_field("key")
        if file_part is None:
            raise S3Error(
                400,
                "InvalidArgument",
                "POST requires exactly one file upload per request.",
                ArgumentName="file",
                ArgumentValue="0",
            )
        policy = s3policy.check_credentials(fields, store.access_key_id, store.secret_access_key)
        s3policy.check_expiration(policy)
        key = fields["key"].replace("${filename}", file_part.filename or "")
        checked = dict(fields, key=key)
        length_range = s3policy.check_conditions(policy, checked, order, store.bucket)
        if not key:
            raise S3Error(400, "InvalidArgument", "User key must have a length greater than 0.")
        if len(key.encode("utf-8")) > MAX_KEY_BYTES:
            raise S3Error(400, "KeyTooLongError", "Your key is too long")
        upload, size, etag = _receive_file(reader, length_range[1] if length_range else None)
        # Whatever follows the file is not part of the upload.
        reader.drain()
        s3policy.check_size(size, length_range)
        content_type = fields.get("content-type") or "binary/octet-stream"
        metadata = {
            name[len("x-amz-meta-") :]: value for name, value in fields.items() if name.startswith("x-amz-meta-")
        }
        store.put(key, upload, size, content_type, metadata)
        return _success(fields, key, etag, store.bucket)
    except S3Error as error:
        reader.drain()
        return xml_response(error, request_id)
    except MalformedMultipart:
        reader.drain()
        error = S3Error(
            400,
            "MalformedPOSTRequest",
            "The body of your POST request is not well-formed multipart/form-data.",
        )
        return xml_response(error, request_id)
    except StoreError as failure:
        current_app.logger.error("storing the upload failed: %s", failure)
        reader.drain()
        error = S3Error(500, "InternalError", "We encountered an internal error. Please try again.")
        return xml_response(error, request_id)
    finally:
        if upload is not None:
            upload.close()

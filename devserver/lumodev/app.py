"""The reference service: API, storage front and delivery address."""

import json
import re

from botocore.exceptions import ClientError
from flask import Flask, Response, current_app, jsonify, request
from werkzeug.exceptions import HTTPException

from . import devhooks, storage_front
from .accounts import AccountBook
from .objectstore import ObjectStore, StoreError

API = "/api/v1/"
# A remote name: the MD5 digest of the content, "v" in front for a
# screencast's page, then a dot and the file's extension.
KEY_PATTERN = re.compile(r"v?[0-9a-f]{32}\.[^\x00-\x20\x7f/\\.]{1,64}")
CONTENT_TYPE_PATTERN = re.compile(r"[A-Za-z0-9][\w.+-]*/[A-Za-z0-9][\w.+-]*")
STREAM_CHUNK = 1 << 20


class ApiRefusal(Exception):
    def __init__(self, status, errors):
        super().__init__("; ".join(errors))
        self.status = status
        self.errors = errors


class Unauthorized(Exception):
    pass


def _account_book():
    return current_app.config["LUMO_ACCOUNTS"]


def _store():
    return current_app.config["LUMO_STORE"]


def authenticate():
    header = request.headers.get("Authorization")
    if not header:
        raise Unauthorized("Authentication credentials were not provided.")
    scheme, _, token = header.partition(" ")
    # Auth schemes are case-insensitive (RFC 9110, section 11.1).
    if scheme.lower() != "apikey" or not token or " " in token:
        raise Unauthorized('Invalid authorization header: expected "ApiKey <token>".')
    book = _account_book()
    if not book.exists(token):
        raise Unauthorized("Invalid token.")
    if not book.profile(token)["is_active"]:
        raise Unauthorized("User inactive or deleted.")
    return token


def json_body():
    mime = (request.mimetype or "").lower()
    data = request.get_data(cache=False)
    if mime != "application/json":
        raise ApiRefusal(415, [f'Unsupported media type "{request.content_type or ""}" in request.'])
    try:
        body = json.loads(data.decode("utf-8")) if data else None
    except (UnicodeDecodeError, ValueError) as error:
        raise ApiRefusal(400, [f"JSON parse error - {error}"]) from None
    if not isinstance(body, dict):
        raise ApiRefusal(400, ["The request body must be a JSON object."])
    return body


def _string(body, name, errors):
    if name not in body:
        errors.append(f"{name}: This field is required.")
        return None
    value = body[name]
    if not isinstance(value, str) or not value:
        errors.append(f"{name}: Must be a non-empty string.")
        return None
    return value


def _key(body, errors):
    key = _string(body, "key", errors)
    if key is not None and not KEY_PATTERN.fullmatch(key):
        errors.append(
            f'key: "{key}" is not a valid name: expected 32 lowercase hex digits '
            "(optionally after the letter v), a dot and an extension."
        )
        return None
    return key


def _size(body, name, errors):
    if name not in body:
        errors.append(f"{name}: This field is required.")
        return None
    value = body[name]
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        errors.append(f"{name}: Must be a non-negative integer.")
        return None
    return value


def upload_start():
    token = authenticate()
    body = json_body()
    errors = []
    content_type = _string(body, "content_type", errors)
    if content_type is not None and not CONTENT_TYPE_PATTERN.fullmatch(content_type):
        errors.append(f'content_type: "{content_type}" is not a media type.')
    size = _size(body, "file_size", errors)
    key = _key(body, errors)
    if errors:
        raise ApiRefusal(400, errors)
    refusal = _account_book().check_start(token, key, size)
    if refusal:
        raise ApiRefusal(refusal[0], [refusal[1]])
    config = current_app.config["LUMO_CONFIG"]
    presigned = _store().presign_post(key, content_type, size, config.upload_acl, config.presign_expires_in)
    url = config.storage_url or (request.host_url.rstrip("/") + "/storage")
    fields = presigned["fields"]
    return jsonify(
        {
            "key": key,
            "presigned_post": {
                "url": url,
                "fields": {name: fields[name] for name in ("AWSAccessKeyId", "acl", "key", "policy", "signature")},
            },
        }
    )


def upload_complete():
    token = authenticate()
    body = json_body()
    errors = []
    key = _key(body, errors)
    if errors:
        raise ApiRefusal(400, errors)
    head = _store().head(key)
    if head is None:
        raise ApiRefusal(404, [f"No uploaded file named {key}."])
    _account_book().complete(token, key, int(head["ContentLength"]))
    return jsonify({})


def upload_delete():
    authenticate()
    body = json_body()
    errors = []
    key = _key(body, errors)
    if errors:
        raise ApiRefusal(400, errors)
    if _store().head(key) is None:
        raise ApiRefusal(404, [f"No uploaded file named {key}."])
    _store().delete(key)
    return jsonify({})


def profile_me():
    token = authenticate()
    request.get_data(cache=False)
    return jsonify(_account_book().profile(token))


def _access_denied():
    from .s3policy import S3Error

    error = S3Error(403, "AccessDenied", "Access Denied")
    return storage_front.xml_response(error, storage_front.s3policy.new_request_id())


def cdn(name):
    store = _store()
    if request.method == "HEAD":
        head = store.head(name)
        if head is None:
            return _access_denied()
        response = Response(status=200, mimetype=None)
        response.headers["Content-Type"] = head.get("ContentType", "binary/octet-stream")
        response.headers["Content-Length"] = str(head["ContentLength"])
        _object_headers(response, head)
        return response
    try:
        obj = store.get(name, request.headers.get("Range"))
    except ClientError as error:
        status = error.response.get("ResponseMetadata", {}).get("HTTPStatusCode", 500)
        if status == 416:
            response = Response(status=416)
            response.headers["Content-Range"] = "bytes */*"
            return response
        raise StoreError(str(error)) from error
    if obj is None:
        return _access_denied()
    body = obj["Body"]

    def stream():
        try:
            for chunk in body.iter_chunks(STREAM_CHUNK):
                yield chunk
        finally:
            body.close()

    status = 206 if obj.get("ContentRange") else 200
    response = Response(stream(), status=status, mimetype=None)
    response.headers["Content-Type"] = obj.get("ContentType", "binary/octet-stream")
    response.headers["Content-Length"] = str(obj["ContentLength"])
    if obj.get("ContentRange"):
        response.headers["Content-Range"] = obj["ContentRange"]
    _object_headers(response, obj)
    return response


def _object_headers(response, meta):
    if meta.get("ETag"):
        response.headers["ETag"] = meta["ETag"]
    if meta.get("LastModified"):
        response.last_modified = meta["LastModified"]
    response.headers["Accept-Ranges"] = "bytes"


def _api_not_found(**_):
    request.get_data(cache=False)
    return jsonify({"errors": ["Not found. The API paths end with a slash."]}), 404


def create_app(config, accounts=None, store=None):
    app = Flask("lumodev")
    app.config["LUMO_CONFIG"] = config
    app.config["LUMO_ACCOUNTS"] = accounts or AccountBook.from_file(config.accounts_file)
    app.config["LUMO_STORE"] = store or ObjectStore(config)
    app.json.sort_keys = False

    app.add_url_rule(API + "upload/start/", "upload_start", upload_start, methods=["POST"])
    app.add_url_rule(API + "upload/complete/", "upload_complete", upload_complete, methods=["POST"])
    app.add_url_rule(API + "upload/delete/", "upload_delete", upload_delete, methods=["POST"])
    app.add_url_rule(API + "profile/me/", "profile_me", profile_me, methods=["GET"])
    # The same paths without their final slash are not the API: answer 404
    # rather than redirecting, so a client that drops the slash notices.
    for path in ("upload/start", "upload/complete", "upload/delete", "profile/me"):
        app.add_url_rule(API + path, "no_slash_" + path, _api_not_found, methods=["GET", "POST"])
    app.add_url_rule("/storage", "storage", storage_front.handle_post, methods=["POST"])
    app.add_url_rule("/storage/", "storage_slash", storage_front.handle_post, methods=["POST"])
    app.add_url_rule("/cdn/<path:name>", "cdn", cdn, methods=["GET", "HEAD"])
    app.add_url_rule("/healthz", "healthz", lambda: jsonify({"ok": True}))

    @app.errorhandler(Unauthorized)
    def _unauthorized(error):
        return jsonify({"errors": [str(error)]}), 401

    @app.errorhandler(ApiRefusal)
    def _refused(error):
        return jsonify({"errors": error.errors}), error.status

    @app.errorhandler(StoreError)
    def _store_failed(error):
        app.logger.error("object store: %s", error)
        if request.path.startswith(API):
            return jsonify({"errors": ["Storage is unavailable."]}), 503
        return storage_front.xml_response(
            storage_front.S3Error(503, "ServiceUnavailable", "Please reduce your request rate."),
            storage_front.s3policy.new_request_id(),
        )

    @app.errorhandler(ConnectionError)
    @app.errorhandler(TimeoutError)
    def _client_went_away(_error):
        # The client dropped its request half-way (a cancelled upload): there
        # is nobody left to answer.
        request.environ["lumo.abort"] = True
        return Response(b"")

    @app.errorhandler(HTTPException)
    def _http_error(error):
        if request.path.startswith(API):
            return jsonify({"errors": [error.description or error.name]}), error.code
        return error

    if config.dev_mode:
        return devhooks.install(app)
    return app

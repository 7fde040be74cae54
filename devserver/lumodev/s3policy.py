"""The rules S3 applies to a browser-based POST upload signed with version 2.

Everything here is pure: the storage front feeds it the form fields it has
read (names lower-cased, values as posted) and turns an S3Error into S3's XML
error answer.
"""

import base64
import binascii
import datetime
import hashlib
import hmac
import json
import secrets
from xml.sax.saxutils import escape

# Form fields that need no policy condition.
EXEMPT_FIELDS = ("awsaccesskeyid", "signature", "file", "policy")
EXEMPT_PREFIX = "x-ignore-"


class S3Error(Exception):
    def __init__(self, status, code, message, **details):
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message
        self.details = details


def new_request_id():
    return secrets.token_hex(8).upper()


def error_xml(error, request_id):
    parts = [
        '<?xml version="1.0" encoding="UTF-8"?>\n<Error>',
        f"<Code>{escape(error.code)}</Code>",
        f"<Message>{escape(error.message)}</Message>",
    ]
    for name, value in error.details.items():
        parts.append(f"<{name}>{escape(str(value))}</{name}>")
    parts.append(f"<RequestId>{request_id}</RequestId>")
    parts.append(f"<HostId>{base64.b64encode(request_id.encode()).decode()}</HostId>")
    parts.append("</Error>")
    return "".join(parts).encode("utf-8")


def missing_field(name):
    return S3Error(
        400,
        "InvalidArgument",
        f"Bucket POST must contain a field named '{name}'.  If it is specified, "
        "please check the order of the fields.",
        ArgumentName=name,
        ArgumentValue="",
    )


def sign(policy_b64, secret):
    mac = hmac.new(secret.encode("utf-8"), policy_b64.encode("utf-8"), hashlib.sha1)
    return base64.b64encode(mac.digest()).decode("ascii")


def check_credentials(fields, access_key_id, secret):
    """Checks the access key and signature; returns the decoded policy.

    `fields` maps lower-cased field names to values.
    """
    has_auth = any(k in fields for k in ("awsaccesskeyid", "policy", "signature"))
    if not has_auth:
        # This bucket does not grant anonymous writes.
        raise S3Error(403, "AccessDenied", "Access Denied")
    for name, label in (("awsaccesskeyid", "AWSAccessKeyId"), ("policy", "policy"), ("signature", "signature")):
        if name not in fields:
            raise missing_field(label)
    if fields["awsaccesskeyid"] != access_key_id:
        raise S3Error(
            403,
            "InvalidAccessKeyId",
            "The AWS Access Key Id you provided does not exist in our records.",
            AWSAccessKeyId=fields["awsaccesskeyid"],
        )
    policy_b64 = fields["policy"]
    expected = sign(policy_b64, secret)
    if not hmac.compare_digest(expected.encode(), fields["signature"].encode("utf-8", "replace")):
        raise S3Error(
            403,
            "SignatureDoesNotMatch",
            "The request signature we calculated does not match the signature you provided. "
            "Check your key and signing method.",
            AWSAccessKeyId=access_key_id,
            StringToSign=policy_b64,
            SignatureProvided=fields["signature"],
        )
    return decode_policy(policy_b64)


def _invalid_policy(why):
    return S3Error(400, "InvalidPolicyDocument", f"Invalid Policy: {why}")


def decode_policy(policy_b64):
    try:
        raw = base64.b64decode(policy_b64.encode("ascii"), validate=True)
        policy = json.loads(raw.decode("utf-8"))
    except (binascii.Error, ValueError, UnicodeError):
        raise _invalid_policy("Invalid JSON.") from None
    if not isinstance(policy, dict):
        raise _invalid_policy("Invalid JSON.")
    if "expiration" not in policy:
        raise _invalid_policy("Policy missing expiration.")
    if "conditions" not in policy:
        raise _invalid_policy("Policy missing conditions.")
    if not isinstance(policy["conditions"], list):
        raise _invalid_policy("Invalid conditions.")
    return policy


def parse_expiration(text):
    if isinstance(text, str):
        for fmt in ("%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%dT%H:%M:%S.%fZ"):
            try:
                parsed = datetime.datetime.strptime(text, fmt)
                return parsed.replace(tzinfo=datetime.timezone.utc)
            except ValueError:
                pass
    raise _invalid_policy(f"Invalid 'expiration' value: '{text}'")


def check_expiration(policy, now=None):
    expires = parse_expiration(policy["expiration"])
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if now >= expires:
        raise S3Error(403, "AccessDenied", "Invalid according to Policy: Policy expired.")


def _render(condition):
    return json.dumps(condition, separators=(", ", ": "))


def _parse_condition(condition):
    """Returns (op, field name or None, operand)."""
    if isinstance(condition, dict):
        if len(condition) != 1:
            raise _invalid_policy(f"Invalid Condition: {_render(condition)}")
        ((name, value),) = condition.items()
        if not isinstance(value, str):
            raise _invalid_policy(f"Invalid Condition: {_render(condition)}")
        return "eq", name, value
    if isinstance(condition, list) and condition:
        op = condition[0].lower() if isinstance(condition[0], str) else None
        if op == "content-length-range" and len(condition) == 3:
            low, high = condition[1], condition[2]
            # Only JSON integers: not booleans (an int subclass here), strings or floats.
            if not all(type(v) is int and v >= 0 for v in (low, high)) or low > high:
                raise _invalid_policy(f"Invalid Condition: {_render(condition)}")
            return op, None, (low, high)
        if op in ("eq", "starts-with") and len(condition) == 3:
            name, value = condition[1], condition[2]
            if isinstance(name, str) and name.startswith("$") and isinstance(value, str):
                return op, name[1:], value
    raise _invalid_policy(f"Invalid Condition: {_render(condition)}")


def check_conditions(policy, fields, order, bucket):
    """Checks every eq and starts-with condition and that no field is left
    uncovered; returns the (min, max) content-length-range or None.

    `fields` maps lower-cased names to values; `order` lists the names as they
    were posted, for the error message.
    """
    covered = set()
    length_range = None
    values = dict(fields)
    values["bucket"] = bucket
    for condition in policy["conditions"]:
        op, shown_name, operand = _parse_condition(condition)
        if op == "content-length-range":
            length_range = operand
            continue
        name = shown_name.lower()
        covered.add(name)
        actual = values.get(name, "")
        if op == "eq":
            ok = actual == operand
        elif name == "content-type":
            # A Content-Type may list several types; each must match.
            ok = all(part.strip().startswith(operand) for part in actual.split(","))
        else:
            ok = actual.startswith(operand)
        if not ok:
            shown = condition if isinstance(condition, list) else ["eq", f"${shown_name}", operand]
            raise S3Error(
                403,
                "AccessDenied",
                f"Invalid according to Policy: Policy Condition failed: {_render(shown)}",
            )
    extra = [
        original
        for original in order
        if original.lower() not in covered
        and original.lower() not in EXEMPT_FIELDS
        and not original.lower().startswith(EXEMPT_PREFIX)
    ]
    if extra:
        raise S3Error(
            403,
            "AccessDenied",
            f"Invalid according to Policy: Extra input fields: {', '.join(extra)}",
        )
    return length_range


def check_size(size, length_range):
    if length_range is None:
        return
    low, high = length_range
    if size > high:
        raise S3Error(
            400,
            "EntityTooLarge",
            "Your proposed upload exceeds the maximum allowed size",
            ProposedSize=size,
            MaxSizeAllowed=high,
        )
    if size < low:
        raise S3Error(
            400,
            "EntityTooSmall",
            "Your proposed upload is smaller than the minimum allowed size",
            ProposedSize=size,
            MinSizeAllowed=low,
        )

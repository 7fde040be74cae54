"""Settings of the reference service.

Values come from, in increasing priority: built-in defaults (the local s3rver
started by scripts/devstack), a JSON config file named by LUMO_DEVSERVER_CONFIG,
and the environment variables listed in ENV_KEYS.
"""

import json
import os
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# config-file key -> environment variable
ENV_KEYS = {
    "s3_endpoint": "LUMO_S3_ENDPOINT",
    "s3_bucket": "LUMO_S3_BUCKET",
    "s3_access_key_id": "LUMO_S3_ACCESS_KEY_ID",
    "s3_secret_access_key": "LUMO_S3_SECRET_ACCESS_KEY",
    "s3_region": "LUMO_S3_REGION",
    "s3_addressing_style": "LUMO_S3_ADDRESSING_STYLE",
    "s3_create_bucket": "LUMO_S3_CREATE_BUCKET",
    "s3_signature_version": "LUMO_S3_SIGNATURE_VERSION",
    "accounts_file": "LUMO_DEVSERVER_ACCOUNTS",
    "storage_url": "LUMO_DEVSERVER_STORAGE_URL",
    "presign_expires_in": "LUMO_DEVSERVER_PRESIGN_EXPIRES",
    "upload_acl": "LUMO_DEVSERVER_UPLOAD_ACL",
    "dev_mode": "LUMO_DEVSERVER_DEV_MODE",
    "access_log": "LUMO_DEVSERVER_ACCESS_LOG",
}


def _truthy(value):
    if isinstance(value, bool):
        return value
    return str(value).strip().lower() in ("1", "true", "yes", "on")


@dataclass
class Config:
    s3_endpoint: str = "http://127.0.0.1:4568"
    s3_bucket: str = "lumo"
    s3_access_key_id: str = "S3RVER"
    s3_secret_access_key: str = "S3RVER"
    s3_region: str = "us-east-1"
    s3_addressing_style: str = "path"
    s3_create_bucket: bool = True
    # Signing of the devserver's own object traffic ("s3v4" or "s3");
    # presigned posts are always version 2.
    s3_signature_version: str = "s3v4"
    accounts_file: str = field(default_factory=lambda: os.path.join(HERE, "accounts.json"))
    # Address put into presigned posts; empty means "this server's /storage".
    storage_url: str = ""
    presign_expires_in: int = 3600
    upload_acl: str = "public-read"
    dev_mode: bool = False
    access_log: bool = True

    @classmethod
    def load(cls, environ=None):
        environ = os.environ if environ is None else environ
        values = {}
        path = environ.get("LUMO_DEVSERVER_CONFIG")
        if path:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
            unknown = set(data) - set(ENV_KEYS)
            if unknown:
                raise ValueError(f"{path}: unknown keys {sorted(unknown)}")
            values.update(data)
        for key, var in ENV_KEYS.items():
            if environ.get(var, "") != "":
                values[key] = environ[var]
        config = cls()
        for key, value in values.items():
            default = getattr(config, key)
            if isinstance(default, bool):
                value = _truthy(value)
            elif isinstance(default, int):
                value = int(value)
            setattr(config, key, value)
        if config.s3_addressing_style not in ("path", "virtual", "auto"):
            raise ValueError("s3_addressing_style must be path, virtual or auto")
        return config

"""The S3 bucket behind the storage front and the delivery address."""

import sys
import time

import boto3
import botocore.config
from botocore.exceptions import BotoCoreError, ClientError

_MISSING = ("404", "NoSuchKey", "NotFound", "NoSuchBucket")


class StoreError(Exception):
    pass


def _is_missing(error):
    return error.response.get("Error", {}).get("Code") in _MISSING


class ObjectStore:
    def __init__(self, config):
        self.bucket = config.s3_bucket
        self.access_key_id = config.s3_access_key_id
        self.secret_access_key = config.s3_secret_access_key
        common = dict(
            endpoint_url=config.s3_endpoint,
            aws_access_key_id=config.s3_access_key_id,
            aws_secret_access_key=config.s3_secret_access_key,
            region_name=config.s3_region,
        )
        s3_options = {"addressing_style": config.s3_addressing_style}
        signing = config.s3_signature_version
        # Object traffic uses the client's default signing; presigned posts
        # are signed with version 2, which is what the library posts.
        self._client = boto3.client(
            "s3",
            config=botocore.config.Config(
                signature_version=signing,
                # Not hashing a body that was just read from the client saves
                # a full pass over large uploads.
                s3=dict(s3_options, payload_signing_enabled=False),
                max_pool_connections=64,
                retries={"max_attempts": 3, "mode": "standard"},
                connect_timeout=10,
                read_timeout=120,
            ),
            **common,
        )
        self._signer = boto3.client(
            "s3",
            config=botocore.config.Config(signature_version="s3", s3=s3_options),
            **common,
        )

    def ensure_bucket(self, create, wait_seconds=15):
        """Waits for the endpoint to answer; creates the bucket if asked."""
        deadline = time.monotonic() + wait_seconds
        while True:
            try:
                self._client.head_bucket(Bucket=self.bucket)
                return True
            except ClientError as error:
                if _is_missing(error) and create:
                    self._client.create_bucket(Bucket=self.bucket)
                    return True
                print(f"bucket {self.bucket}: {error}", file=sys.stderr)
                return False
            except BotoCoreError as error:
                if time.monotonic() > deadline:
                    print(f"S3 endpoint unreachable: {error}", file=sys.stderr)
                    return False
                time.sleep(0.2)

    def presign_post(self, key, content_type, size, acl, expires_in):
        return self._signer.generate_presigned_post(
            Bucket=self.bucket,
            Key=key,
            Fields={"acl": acl},
            Conditions=[
                {"acl": acl},
                {"Content-Type": content_type},
                ["content-length-range", size, size],
            ],
            ExpiresIn=expires_in,
        )

    def put(self, key, fileobj, size, content_type, metadata):
        try:
            self._client.put_object(
                Bucket=self.bucket,
                Key=key,
                Body=fileobj,
                ContentLength=size,
                ContentType=content_type,
                Metadata=metadata,
            )
        except (ClientError, BotoCoreError) as error:
            raise StoreError(str(error)) from error

    def head(self, key):
        """Object headers, or None when there is no such object."""
        try:
            return self._client.head_object(Bucket=self.bucket, Key=key)
        except ClientError as error:
            if _is_missing(error):
                return None
            raise StoreError(str(error)) from error
        except BotoCoreError as error:
            raise StoreError(str(error)) from error

    def get(self, key, byte_range=None):
        """get_object's answer, or None when there is no such object.

        Raises ClientError for other refusals (an unsatisfiable range)."""
        args = {"Bucket": self.bucket, "Key": key}
        if byte_range:
            args["Range"] = byte_range
        try:
            return self._client.get_object(**args)
        except ClientError as error:
            if _is_missing(error):
                return None
            raise
        except BotoCoreError as error:
            raise StoreError(str(error)) from error

    def delete(self, key):
        try:
            self._client.delete_object(Bucket=self.bucket, Key=key)
        except (ClientError, BotoCoreError) as error:
            raise StoreError(str(error)) from error

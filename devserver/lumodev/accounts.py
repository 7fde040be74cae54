"""Accounts, their plan limits and what is left of their quotas.

The accounts file holds the starting values; uploads lower the remaining
counts in memory, and a reset brings back the file's values.
"""

import copy
import json
import threading

PROFILE_KEYS = (
    "email",
    "is_active",
    "is_email_confirmed",
    "is_lumien",
    "is_paid",
    "can_upload",
    "max_length_in_seconds",
    "max_content_size",
    "max_daily_files_count",
    "max_daily_files_quota_in_bytes",
    "max_monthly_files_quota_in_bytes",
    "remaining_daily_items_count",
    "remaining_daily_quota_in_bytes",
    "remaining_monthly_quota_in_bytes",
)

_FLAGS = ("is_active", "is_email_confirmed", "is_lumien", "is_paid", "can_upload")
_NUMBERS = tuple(k for k in PROFILE_KEYS if k not in _FLAGS and k != "email")
# When the file leaves a remaining count out, it starts at its limit.
_REMAINING_FROM = {
    "remaining_daily_items_count": "max_daily_files_count",
    "remaining_daily_quota_in_bytes": "max_daily_files_quota_in_bytes",
    "remaining_monthly_quota_in_bytes": "max_monthly_files_quota_in_bytes",
}


class AccountError(ValueError):
    pass


def _check_value(key, value):
    if key == "email":
        if not isinstance(value, str) or not value:
            raise AccountError("email must be a non-empty string")
    elif key in _FLAGS:
        if not isinstance(value, bool):
            raise AccountError(f"{key} must be true or false")
    elif key in _NUMBERS:
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise AccountError(f"{key} must be a non-negative integer")
    else:
        raise AccountError(f"unknown account key {key!r}")


def parse_accounts(data):
    """Validates the accounts document; returns {token: account dict}."""
    if not isinstance(data, dict) or not isinstance(data.get("accounts"), list):
        raise AccountError('the accounts file must be an object with a list "accounts"')
    accounts = {}
    for entry in data["accounts"]:
        if not isinstance(entry, dict):
            raise AccountError("each account must be an object")
        entry = dict(entry)
        name = entry.pop("name", None)
        token = entry.pop("token", None)
        if not isinstance(token, str) or not token or any(c.isspace() for c in token):
            raise AccountError(f"account {name!r}: token must be a non-empty string without spaces")
        if token in accounts:
            raise AccountError(f"account {name!r}: duplicate token")
        for remaining, limit in _REMAINING_FROM.items():
            if remaining not in entry and limit in entry:
                entry[remaining] = entry[limit]
        missing = [k for k in PROFILE_KEYS if k not in entry]
        if missing:
            raise AccountError(f"account {name!r}: missing {', '.join(missing)}")
        for key, value in entry.items():
            _check_value(key, value)
        entry["name"] = name or entry["email"]
        accounts[token] = entry
    if not accounts:
        raise AccountError("the accounts file lists no account")
    return accounts


class AccountBook:
    """Thread-safe account state; every public method takes the lock."""

    def __init__(self, accounts):
        self._initial = accounts
        self._lock = threading.Lock()
        self._accounts = copy.deepcopy(accounts)  # guarded by _lock
        # (token, key) -> announced size of each started, not yet completed upload
        self._pending = {}  # guarded by _lock

    @classmethod
    def from_file(cls, path):
        with open(path, encoding="utf-8") as f:
            return cls(parse_accounts(json.load(f)))

    def dev_token(self):
        """The token of the account named "dev", else of the first one."""
        for token, account in self._initial.items():
            if account["name"] == "dev":
                return token
        return next(iter(self._initial))

    def tokens(self):
        return {account["name"]: token for token, account in self._initial.items()}

    def exists(self, token):
        with self._lock:
            return token in self._accounts

    def profile(self, token):
        with self._lock:
            account = self._accounts[token]
            return {key: account[key] for key in PROFILE_KEYS}

    def reset(self):
        with self._lock:
            self._accounts = copy.deepcopy(self._initial)
            self._pending.clear()

    def update(self, token, changes):
        """Overrides profile values of one account until the next reset."""
        for key, value in changes.items():
            _check_value(key, value)
        with self._lock:
            if token not in self._accounts:
                raise AccountError("no account has this token")
            self._accounts[token].update(changes)
            return {key: self._accounts[token][key] for key in PROFILE_KEYS}

    def check_start(self, token, key, size):
        """Returns (status, message) of a refusal, or None and notes the start."""
        with self._lock:
            account = self._accounts[token]
            if not account["can_upload"]:
                return 403, "Uploading is not allowed for this account."
            if size > account["max_content_size"]:
                return 400, (
                    f"File is too large: {size} bytes, the plan allows "
                    f"{account['max_content_size']} bytes per file."
                )
            # Uploads started and not yet completed count against the day's items, so that
            # several started at once cannot pass the limit together.
            started = sum(1 for (owner, other) in self._pending if owner == token and other != key)
            if account["remaining_daily_items_count"] - started <= 0:
                return 403, "Daily upload limit reached: no uploads left today."
            if size > account["remaining_daily_quota_in_bytes"]:
                return 403, (
                    f"Daily upload quota exceeded: {account['remaining_daily_quota_in_bytes']} "
                    f"bytes left today, the file has {size} bytes."
                )
            if size > account["remaining_monthly_quota_in_bytes"]:
                return 403, (
                    f"Monthly upload quota exceeded: {account['remaining_monthly_quota_in_bytes']} "
                    f"bytes left this month, the file has {size} bytes."
                )
            self._pending[(token, key)] = size
            return None

    def complete(self, token, key, stored_size):
        """Charges one item and the stored size for a started upload.

        Returns False when this account has no started upload with this key
        (a repeated complete), which changes nothing.
        """
        with self._lock:
            if self._pending.pop((token, key), None) is None:
                return False
            account = self._accounts[token]
            account["remaining_daily_items_count"] = max(0, account["remaining_daily_items_count"] - 1)
            for name in ("remaining_daily_quota_in_bytes", "remaining_monthly_quota_in_bytes"):
                account[name] = max(0, account[name] - stored_size)
            return True

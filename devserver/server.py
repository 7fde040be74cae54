#!/usr/bin/python3
"""Runs the reference service: API, storage front, delivery address and, with
--dev, the test hooks. scripts/devstack starts it; see README.md."""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from lumodev.app import create_app  # noqa: E402
from lumodev.config import Config  # noqa: E402
from lumodev.httpserver import DevHTTPServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--port-file", help="write the bound port here once listening")
    parser.add_argument("--dev", action="store_true", help="enable the test hooks under /__dev__/")
    args = parser.parse_args()

    try:
        config = Config.load()
        if args.dev:
            config.dev_mode = True
        app = create_app(config)
    except (OSError, ValueError) as error:
        print(f"devserver: cannot start: {error}", file=sys.stderr)
        sys.exit(2)
    store = app.config["LUMO_STORE"]
    if not store.ensure_bucket(create=config.s3_create_bucket):
        print(f"warning: bucket {config.s3_bucket} at {config.s3_endpoint} is not reachable", file=sys.stderr)

    server = DevHTTPServer(args.host, args.port, app, access_log=config.access_log)
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w", encoding="ascii") as f:
            f.write(f"{port}\n")
        os.replace(tmp, args.port_file)
    print(f"lumo devserver listening on http://{args.host}:{port} (dev hooks {'on' if config.dev_mode else 'off'})",
          file=sys.stderr, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.serve_forever(poll_interval=0.2)
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()

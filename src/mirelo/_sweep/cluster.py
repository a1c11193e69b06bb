"""Joining a Ray cluster for the Ray engine, failing fast on a wrong address.

``ray.init`` waits for a cluster that does not answer for as long as it takes
(minutes, retrying).  Before it is called with an address, the address is
probed: a TCP connection, then the opening of an HTTP/2 session as gRPC starts
it (the client's connection preface and an empty SETTINGS frame), to which a
Ray cluster's control service answers at once with a SETTINGS frame of its own.
A refused connection, no answer within CONNECT_SECONDS or an answer of another
kind raises ConnectionError naming the address and where it came from.  The
addresses Ray resolves itself ("auto", "local", none) are not probed.
"""

from __future__ import annotations

import logging
import os
import socket
import time
from typing import Any

CONNECT_SECONDS = 10.0
_PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
_FRAME_HEADER = 9  # bytes: length (3), type (1), flags (1), stream (4)
_SETTINGS = 4  # frame type
_EMPTY_SETTINGS = bytes([0, 0, 0, _SETTINGS, 0, 0, 0, 0, 0])

RAY_HINT = ('engine="ray" needs Ray, which comes with the cluster extra: from the mirelo '
            'checkout, pip install ".[cluster]" (or pip install ray)')


def require_ray() -> Any:
    try:
        import ray
    except ImportError as exc:
        raise ImportError(RAY_HINT) from exc
    return ray


def connect(ray: Any, address: str | None) -> None:
    """Joins the Ray instance of this process, the cluster at `address` (or at
    Ray's RAY_ADDRESS variable), or starts a local instance.  It is left
    running for the next sweep; ray.shutdown() stops it."""
    if ray.is_initialized():
        return
    if address is not None:
        named, target = f"ray_address={address!r}", address
    else:
        target = os.environ.get("RAY_ADDRESS", "")
        named = f"RAY_ADDRESS={target!r} (ray_address=None)"
    endpoint = _endpoint(target)
    if endpoint is not None:
        _probe(endpoint, named)
    ray.init(address=address, logging_level=logging.ERROR, log_to_driver=False)


def _endpoint(address: str) -> tuple[str, int] | None:
    """(host, port) of a "host:port" or "ray://host:port" address, else None."""
    host, colon, port = address.strip().removeprefix("ray://").rpartition(":")
    if not colon or not host or not port.isdigit():
        return None
    return host.strip("[]"), int(port)


def _probe(endpoint: tuple[str, int], named: str) -> None:
    deadline = time.monotonic() + CONNECT_SECONDS
    failure = f"no Ray cluster answers at {named}"
    try:
        with socket.create_connection(endpoint, timeout=CONNECT_SECONDS) as conn:
            conn.sendall(_PREFACE + _EMPTY_SETTINGS)
            header = b""
            while len(header) < _FRAME_HEADER:
                conn.settimeout(max(0.01, deadline - time.monotonic()))
                received = conn.recv(_FRAME_HEADER - len(header))
                if not received:
                    break
                header += received
    except TimeoutError:
        raise ConnectionError(f"{failure}: no answer within {CONNECT_SECONDS:g} s") from None
    except OSError as exc:  # refused, unreachable, unknown host
        raise ConnectionError(f"{failure}: {exc}") from None
    if len(header) < _FRAME_HEADER or header[3] != _SETTINGS:
        raise ConnectionError(f"{failure}: the server there is not a Ray cluster (it does "
                              "not answer as a gRPC service)")

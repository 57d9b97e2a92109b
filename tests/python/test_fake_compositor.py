"""The fake-compositor executable and its Python wrapper: it starts, records
what a client sends, acts on triggers and stops cleanly. The C++ tests of
tests/support/fake_compositor carry the weight; these check the process and
the file between it and Python."""

from __future__ import annotations

import os
import socket
import struct

import pytest

from fake_compositor import FakeCompositor, FakeCompositorError, fnv1a64_hex, pattern


class WireClient:
    """Just enough of the Wayland wire protocol: requests without arguments
    other than new ids, and events split into (object, opcode, payload)."""

    def __init__(self, path: str):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.settimeout(5)
        self.socket.connect(path)
        self.pending = b""

    def send(self, object_id: int, opcode: int, *new_ids: int) -> None:
        size = 8 + 4 * len(new_ids)
        self.socket.sendall(struct.pack(f"=II{len(new_ids)}I", object_id, size << 16 | opcode, *new_ids))

    def events_until(self, object_id: int, opcode: int) -> list[tuple[int, int, bytes]] | None:
        """Events up to and including the first (object_id, opcode); None if
        the connection ends before it."""
        events = []
        while True:
            while len(self.pending) >= 8:
                sender, word = struct.unpack_from("=II", self.pending)
                size = word >> 16
                if len(self.pending) < size:
                    break
                events.append((sender, word & 0xFFFF, self.pending[8:size]))
                self.pending = self.pending[size:]
                if events[-1][:2] == (object_id, opcode):
                    return events
            data = self.socket.recv(4096)
            if not data:
                return None
            self.pending += data

    def close(self) -> None:
        self.socket.close()


def global_event(payload: bytes) -> tuple[str, int]:
    (length,) = struct.unpack_from("=I", payload, 4)
    interface = payload[8 : 8 + length - 1].decode()
    (version,) = struct.unpack_from("=I", payload, 8 + (length + 3) // 4 * 4)
    return interface, version


def test_records_a_clients_requests_and_stops_cleanly(tmp_path):
    compositor = FakeCompositor({"globals": [{"interface": "wl_output", "version": 3}]}, tmp_path)
    assert compositor.records() == []
    client = WireClient(compositor.socket_path)
    client.send(1, 1, 2)  # wl_display.get_registry -> wl_registry 2
    client.send(1, 0, 3)  # wl_display.sync -> wl_callback 3
    events = client.events_until(3, 0)
    assert events is not None
    assert [global_event(payload) for sender, opcode, payload in events if (sender, opcode) == (2, 0)] == [
        ("wl_output", 3)
    ]
    client.close()

    records = compositor.wait_for(lambda records: {"client": 1, "event": "disconnect"} in records)
    assert records == [
        {"client": 1, "event": "connect"},
        {"client": 1, "interface": "wl_display", "id": 1, "request": "get_registry", "args": ["wl_registry@2"]},
        {"client": 1, "interface": "wl_display", "id": 1, "request": "sync", "args": ["wl_callback@3"]},
        {"client": 1, "event": "disconnect"},
    ]
    assert compositor.names() == ["wl_display.get_registry", "wl_display.sync"]
    assert compositor.stop() == 0
    assert not os.path.exists(compositor.socket_path)
    assert compositor.stop() == 0


def test_close_trigger_ends_the_connection_without_the_answer(fake):
    compositor = fake({"triggers": [{"on": "wl_display.sync", "actions": [{"do": "close"}]}]})
    client = WireClient(compositor.socket_path)
    client.send(1, 0, 2)
    assert client.events_until(2, 0) is None
    client.close()
    compositor.wait_for(lambda records: records[-1] == {"client": 1, "event": "disconnect"})


def test_a_bad_scenario_fails_the_start_with_the_reason(tmp_path):
    with pytest.raises(FakeCompositorError, match=r'globals\[0\]: missing \\?"interface'):
        FakeCompositor({"globals": [{"version": 1}]}, tmp_path)


def test_long_workdirs_still_get_a_socket(tmp_path):
    workdir = tmp_path / ("d" * 60) / ("e" * 60)
    with FakeCompositor(None, workdir) as compositor:
        assert len(compositor.socket_path) < 108
        WireClient(compositor.socket_path).close()
    assert not os.path.exists(compositor.socket_path)
    assert not os.path.exists(os.path.dirname(compositor.socket_path))


def test_pattern_and_hash_match_the_compositors_definitions():
    assert fnv1a64_hex(b"") == "cbf29ce484222325"
    assert fnv1a64_hex(b"foobar") == "85944171f73967e8"
    picture = pattern(301, 514)
    assert picture.shape == (514, 301, 4) and picture.dtype.name == "uint8"
    assert picture[513, 300].tolist() == [44, 1, 34, 65]
    assert picture[255, 255].tolist() == [255, 255, 1, 236]

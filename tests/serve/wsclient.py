"""A small WebSocket client (RFC 6455) on the standard library, for the server's tests."""
import base64
import os
import socket
import struct


class WebSocket:
    def __init__(self, port, target, origin=None, host=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        key = base64.b64encode(os.urandom(16)).decode()
        host = host or f"127.0.0.1:{port}"
        lines = [f"GET {target} HTTP/1.1", f"Host: {host}", "Upgrade: websocket",
                 "Connection: Upgrade", f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
        if origin:
            lines.append(f"Origin: {origin}")
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                break
            head += chunk
        self.status = int(head.split(b" ")[1]) if head.startswith(b"HTTP/") else 0
        self.closed = self.status != 101

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, payload, text=False):
        opcode = 0x1 if text else 0x2
        if text:
            payload = payload.encode()
        mask = os.urandom(4)
        n = len(payload)
        if n < 126:
            head = struct.pack("!BB", 0x80 | opcode, 0x80 | n)
        elif n < 65536:
            head = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n)
        else:
            head = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(head + mask + masked)

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def _frame(self):
        b0, b1 = self._exactly(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack("!H", self._exactly(2))[0]
        elif n == 127:
            n = struct.unpack("!Q", self._exactly(8))[0]
        return bool(b0 & 0x80), b0 & 0x0F, self._exactly(n)

    def receive(self):
        """(opcode, payload) of the next whole message; opcode 8 when the server closed."""
        try:
            final, opcode, payload = self._frame()
            while not final:  # a fragmented message: continuation frames follow
                final, _, more = self._frame()
                payload += more
            return opcode, payload
        except (ConnectionError, OSError):
            return 8, b""

    def close(self):
        self.sock.close()

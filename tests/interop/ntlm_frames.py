"""Socket frames of the handshake transport for the interoperability tests:
a 4-byte little-endian length, then the token. Every wait ends after 20 s."""
import socket
import struct

TIMEOUT = 20


def send_frame(sock, data):
    if data:
        sock.sendall(struct.pack("<I", len(data)) + data)


def receive_exactly(sock, n):
    data = b""
    while len(data) < n:
        piece = sock.recv(n - len(data))
        if not piece:
            return None
        data += piece
    return data


def receive_frame(sock, limit=65536):
    prefix = receive_exactly(sock, 4)
    if prefix is None:
        return None
    (length,) = struct.unpack("<I", prefix)
    if length > limit:
        return None
    return receive_exactly(sock, length)


def listen():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(TIMEOUT)
    return server

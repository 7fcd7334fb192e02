"""An independent NTLMv2 acceptor for the interoperability tests.

Usage: ntlm_verify.py DOMAIN USER PASSWORD
Reads a NEGOTIATE token (base64 line) from stdin, answers with a CHALLENGE,
reads the AUTHENTICATE token and checks its NTLMv2 proof against the
password. Prints "ok DOMAIN\\USER" with the names the token carried, or
"bad REASON".
"""
import base64
import hashlib
import hmac
import os
import struct
import sys

from ntlm_auth import compute_hash

SIGNATURE = b"NTLMSSP\0"
FLAGS = 0x00000001 | 0x00000004 | 0x00000200 | 0x00008000 | 0x00080000 | 0x00800000 | 0x02000000 | 0x20000000 | 0x80000000


def av_pair(av_id, value):
    return struct.pack("<HH", av_id, len(value)) + value


def challenge_message(server_challenge):
    target = "DOM".encode("utf-16-le")
    info = (av_pair(2, target) + av_pair(1, "SRV".encode("utf-16-le")) +
            av_pair(4, "dom.test".encode("utf-16-le")) + av_pair(3, "srv.dom.test".encode("utf-16-le")) +
            av_pair(0, b""))
    header = 56
    msg = SIGNATURE + struct.pack("<I", 2)
    msg += struct.pack("<HHI", len(target), len(target), header)
    msg += struct.pack("<I", FLAGS) + server_challenge + b"\0" * 8
    msg += struct.pack("<HHI", len(info), len(info), header + len(target))
    msg += bytes([10, 0]) + struct.pack("<H", 19041) + b"\0\0\0\x0f"
    return msg + target + info


def field(msg, at):
    length, _, offset = struct.unpack_from("<HHI", msg, at)
    return msg[offset:offset + length]


def check(auth, server_challenge, password):
    """The verdict on an AUTHENTICATE message: "ok DOMAIN\\USER" or "bad REASON"."""
    if auth[:8] != SIGNATURE or struct.unpack_from("<I", auth, 8)[0] != 3:
        return "bad authenticate"
    flags = struct.unpack_from("<I", auth, 60)[0]
    encoding = "utf-16-le" if flags & 1 else "latin-1"
    token_domain = field(auth, 28).decode(encoding)
    token_user = field(auth, 36).decode(encoding)
    nt_response = field(auth, 20)
    if len(nt_response) <= 24:
        return "bad not-ntlmv2"
    key = compute_hash._ntowfv2(token_user, password, token_domain)
    proof = hmac.new(key, server_challenge + nt_response[16:], hashlib.md5).digest()
    if proof != nt_response[:16]:
        return "bad proof"
    return "ok %s\\%s" % (token_domain, token_user)


def main():
    domain, user, password = sys.argv[1:4]
    negotiate = base64.b64decode(sys.stdin.readline().strip())
    if negotiate[:8] != SIGNATURE or struct.unpack_from("<I", negotiate, 8)[0] != 1:
        print("bad negotiate", flush=True)
        return
    server_challenge = os.urandom(8)
    print(base64.b64encode(challenge_message(server_challenge)).decode(), flush=True)
    auth = base64.b64decode(sys.stdin.readline().strip())
    print(check(auth, server_challenge, password), flush=True)


if __name__ == "__main__":
    main()

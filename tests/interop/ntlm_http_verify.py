"""An independent HTTP server that verifies NTLMv2 clients.

Usage: ntlm_http_verify.py DOMAIN USER PASSWORD
Prints "listening 127.0.0.1:PORT" and serves one connection: a request with
"Authorization: NTLM <NEGOTIATE>" gets 401 with the CHALLENGE in
"WWW-Authenticate: NTLM"; the next one's AUTHENTICATE is checked and
answered 200 (accepted) or 403. Prints the check's result.
"""
import base64
import os
import sys

from ntlm_frames import listen
from ntlm_verify import challenge_message, check


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(4096)
        if not piece or len(data) > 65536:
            return None
        data += piece
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    length = 0
    token = None
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.lower() == "content-length":
            length = int(value.strip())
        if name.lower() == "authorization" and value.strip().startswith("NTLM "):
            token = base64.b64decode(value.strip()[5:])
    while len(rest) < length:
        piece = conn.recv(4096)
        if not piece:
            return None
        rest += piece
    return lines[0], token


def reply(conn, status, headers=""):
    body = b"done\n"
    conn.sendall(("HTTP/1.1 %s\r\n%sContent-Length: %d\r\n\r\n" %
                  (status, headers, len(body))).encode() + body)


def main():
    password = sys.argv[3]
    server = listen()
    print("listening 127.0.0.1:%d" % server.getsockname()[1], flush=True)
    conn, _ = server.accept()
    conn.settimeout(server.gettimeout())
    first = read_request(conn)
    if first is None or first[1] is None:
        print("bad no-negotiate", flush=True)
        return
    server_challenge = os.urandom(8)
    reply(conn, "401 Unauthorized", "WWW-Authenticate: NTLM %s\r\n" %
          base64.b64encode(challenge_message(server_challenge)).decode())
    second = read_request(conn)
    if second is None or second[1] is None:
        print("bad no-authenticate", flush=True)
        return
    result = check(second[1], server_challenge, password)
    reply(conn, "200 OK" if result.startswith("ok ") else "403 Forbidden")
    conn.close()
    print("%s %s" % (result, second[0].split(" ")[0]), flush=True)


if __name__ == "__main__":
    main()

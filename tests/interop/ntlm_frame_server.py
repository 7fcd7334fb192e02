"""An independent NTLMv2 acceptor speaking the socket frames.

Usage: ntlm_frame_server.py DOMAIN USER PASSWORD
Prints "listening 127.0.0.1:PORT", accepts one connection, answers the
NEGOTIATE frame with a CHALLENGE frame, checks the AUTHENTICATE frame's
NTLMv2 proof, sends the verdict as one more frame ("authenticated
DOMAIN\\USER" or "denied") and prints the check's result.
"""
import os
import sys

from ntlm_frames import listen, receive_frame, send_frame
from ntlm_verify import SIGNATURE, challenge_message, check


def main():
    password = sys.argv[3]
    server = listen()
    print("listening 127.0.0.1:%d" % server.getsockname()[1], flush=True)
    conn, _ = server.accept()
    conn.settimeout(server.gettimeout())
    negotiate = receive_frame(conn)
    if negotiate is None or negotiate[:8] != SIGNATURE:
        print("bad negotiate", flush=True)
        return
    server_challenge = os.urandom(8)
    send_frame(conn, challenge_message(server_challenge))
    auth = receive_frame(conn)
    result = check(auth, server_challenge, password) if auth else "bad no-authenticate"
    verdict = "authenticated " + result[3:] if result.startswith("ok ") else "denied"
    send_frame(conn, verdict.encode())
    conn.close()
    print(result, flush=True)


if __name__ == "__main__":
    main()

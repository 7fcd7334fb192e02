"""An independent NTLMv2 initiator speaking the socket frames.

Usage: ntlm_frame_client.py HOST PORT DOMAIN USER PASSWORD
Sends NEGOTIATE, answers the CHALLENGE frame with AUTHENTICATE, then prints
the server's verdict frame (or "<none>" when the server closes without one).
"""
import socket
import sys

from ntlm_auth.ntlm import NtlmContext

from ntlm_frames import TIMEOUT, receive_frame, send_frame


def main():
    host, port, domain, user, password = sys.argv[1:6]
    ctx = NtlmContext(user, password, domain=domain, workstation="PYCLIENT",
                      ntlm_compatibility=3)
    sock = socket.create_connection((host, int(port)), timeout=TIMEOUT)
    send_frame(sock, ctx.step())
    challenge = receive_frame(sock)
    if challenge is None:
        print("<no challenge>", flush=True)
        return
    send_frame(sock, ctx.step(challenge))
    verdict = receive_frame(sock)
    print(verdict.decode() if verdict is not None else "<none>", flush=True)


if __name__ == "__main__":
    main()

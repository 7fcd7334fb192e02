"""An independent NTLMv2 initiator for the interoperability tests.

Usage: ntlm_client.py DOMAIN USER PASSWORD
Writes the NEGOTIATE token (base64, one line) to stdout, reads the CHALLENGE
from stdin and writes the AUTHENTICATE token.
"""
import base64
import sys

from ntlm_auth.ntlm import NtlmContext


def main():
    domain, user, password = sys.argv[1:4]
    ctx = NtlmContext(user, password, domain=domain, workstation="PYCLIENT",
                      ntlm_compatibility=3)
    print(base64.b64encode(ctx.step()).decode(), flush=True)
    challenge = base64.b64decode(sys.stdin.readline().strip())
    print(base64.b64encode(ctx.step(challenge)).decode(), flush=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A misbehaving security server for the tests: an HTTP proxy on 127.0.0.1
in front of a real qrnsecd that spoils its answers on demand.

Usage: fault_proxy.py UPSTREAM_PORT MODE_FILE LOG_FILE

Prints its base URL ("http://127.0.0.1:PORT") as the first line. Every
request is logged (its target, one line each) and answered by the mode read
from MODE_FILE at that moment:

  pass          forwarded as it is
  cut           the combined answer and the role document are cut in the
                middle of the role document; no Content-Length, the
                connection closes
  foo           every document is <DOCUMENT><foo/></DOCUMENT> (well-formed
                XML, not a security document); timestamps are passed on
  garbage       every request gets 200 and bytes that are no document
  drip:SECONDS  the upstream answer, one byte every SECONDS

It ends by itself after 120 s, so a test that dies leaves nothing behind.
"""
import http.client
import http.server
import re
import socketserver
import sys
import threading
import time

UPSTREAM_PORT = int(sys.argv[1])
MODE_FILE = sys.argv[2]
LOG_FILE = sys.argv[3]
LIFETIME_SECONDS = 120
GARBAGE = b"\x7fGIF89a ~~ #### 0123456789 qwertyuiop asdfghjkl ;;; {{}} " * 8
FOO = "<DOCUMENT><foo/></DOCUMENT>"
log_lock = threading.Lock()


def mode():
    try:
        with open(MODE_FILE) as f:
            return f.read().strip() or "pass"
    except OSError:
        return "pass"


def upstream(target):
    conn = http.client.HTTPConnection("127.0.0.1", UPSTREAM_PORT, timeout=10)
    try:
        conn.putrequest("GET", target, skip_accept_encoding=True)
        conn.endheaders()
        reply = conn.getresponse()
        return reply.status, reply.read()
    finally:
        conn.close()


def is_request(target, obj):
    return re.search(r"[?&]Object=" + obj + r"(&|$)", target, re.I) is not None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, status, body, length=True):
        self.send_response(status)
        self.send_header("Content-Type", "text/xml; charset=utf-8")
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def do_GET(self):
        with log_lock, open(LOG_FILE, "a") as log:
            log.write(self.path + "\n")
        current = mode()
        if current == "garbage":
            self.answer(200, GARBAGE)
            return
        status, body = upstream(self.path)
        if current == "cut":
            cut = None
            if is_request(self.path, "MvtSecData"):
                at = body.find(b"<ROLECACHE>")
                cut = at + 60 if at >= 0 else None
            elif is_request(self.path, "Role"):
                cut = len(body) // 2
            if cut is not None:
                self.answer(status, body[:cut], length=False)
                self.close_connection = True
                return
        elif current == "foo":
            if is_request(self.path, "MvtSecData"):
                text = body.decode("utf-8")
                text = re.sub(r"<!\[CDATA\[.*?\]\]>", "<![CDATA[" + FOO + "]]>", text, flags=re.S)
                body = text.encode("utf-8")
            elif any(is_request(self.path, o) for o in ("Appl", "Role", "Cache")):
                body = FOO.encode("utf-8")
        elif current.startswith("drip:"):
            pause = float(current.split(":", 1)[1])
            self.send_response(status)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.flush()
            for i in range(len(body)):
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
                time.sleep(pause)
            return
        self.answer(status, body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print("http://127.0.0.1:%d" % server.server_address[1], flush=True)
    threading.Timer(LIFETIME_SECONDS, server.shutdown).start()
    server.serve_forever()


if __name__ == "__main__":
    try:
        main()
    except (BrokenPipeError, ConnectionResetError):
        pass

#!/usr/bin/env python3
"""A small Authenticode time-stamp server for the signature tests.

Serves the legacy Authenticode time-stamp protocol (the kind of stamp that
becomes a PKCS #9 counter-signature, "1.2.840.113549.1.9.6") over HTTP on
127.0.0.1, for exactly as long as one command runs:

  authenticode_timestamp_server.py --cert TSA.pem --key TSA.key
      [--chain CA.pem] [--time "YYYY-MM-DD hh:mm:ss"] [--fresh FILE]
      -- COMMAND [ARG...]

"{port}" in the command's arguments is replaced by the server's port, e.g.
`osslsigncode sign ... -t http://127.0.0.1:{port} ...`. --fresh deletes FILE
before the command runs (osslsigncode does not overwrite its output). The
exit status is the command's.

Protocol: the client POSTs a base64 TimeStampRequest
  SEQUENCE { 1.3.6.1.4.1.311.3.2.1,
             SEQUENCE { data, [0] { OCTET STRING <signer's encrypted digest> } } }
and receives a base64 PKCS #7 SignedData over that blob with the
authenticated attributes contentType, signingTime and messageDigest, made by
`openssl cms -sign` under faketime, so the signing time is the fixed --time
(UTC) and stamped files read the same on every run.
"""

import argparse
import base64
import http.server
import os
import re
import subprocess
import sys
import threading


def request_blob(request):
    """The content to be stamped: the request's only OCTET STRING."""
    listing = subprocess.run(["openssl", "asn1parse", "-inform", "DER"], input=request,
                             stdout=subprocess.PIPE, check=True).stdout.decode()
    found = re.findall(r"(\d+):d=\d+\s+hl=(\d+)\s+l=\s*(\d+)\s+prim:\s+OCTET STRING", listing)
    if len(found) != 1 or b"\x06\x0a\x2b\x06\x01\x04\x01\x82\x37\x03\x02\x01" not in request:
        raise ValueError("not an Authenticode time-stamp request")
    offset, header, length = (int(n) for n in found[0])
    return request[offset + header:offset + header + length]


def make_handler(args):
    # -f: the clock stands still at --time. (Without it, it starts there and
    # runs, and a slow start of openssl on a busy machine stamps a later second.)
    sign = ["faketime", "-f", args.time, "openssl", "cms", "-sign", "-binary", "-nodetach",
            "-nosmimecap", "-md", "sha256", "-signer", args.cert, "-inkey", args.key,
            "-outform", "DER"]
    for path in args.chain:
        sign += ["-certfile", path]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            try:
                blob = request_blob(base64.b64decode(b"".join(body.split()), validate=True))
                reply = subprocess.run(sign, input=blob, stdout=subprocess.PIPE, check=True,
                                       env=dict(os.environ, TZ="UTC")).stdout
            except (ValueError, subprocess.CalledProcessError) as error:
                self.send_error(400, str(error))
                return
            encoded = base64.encodebytes(reply)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(encoded)))
            self.end_headers()
            self.wfile.write(encoded)

        def log_message(self, fmt, *args):
            sys.stderr.write("timestamp server: " + (fmt % args) + "\n")

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cert", required=True, help="TSA certificate (PEM)")
    parser.add_argument("--key", required=True, help="TSA private key (PEM)")
    parser.add_argument("--chain", action="append", default=[],
                        help="further certificates to include (PEM)")
    parser.add_argument("--time", default="2025-03-04 05:06:07", help="signing time (UTC)")
    parser.add_argument("--fresh", help="file to delete before the command runs")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(args))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        port = str(server.server_address[1])
        if args.fresh and os.path.exists(args.fresh):
            os.remove(args.fresh)
        status = subprocess.call([part.replace("{port}", port) for part in command])
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
    return status


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""A small Authenticode time-stamp server for the signature tests.

Serves the legacy Authenticode time-stamp protocol (the kind of stamp that
becomes a PKCS #9 counter-signature, "1.2.840.113549.1.9.6") over HTTP on
127.0.0.1, for exactly as long as one command runs:

  authenticode_timestamp_server.py --cert TSA.pem --key TSA.key
      [--chain CA.pem] [--time YYMMDDhhmmssZ] [--fresh FILE]
      -- COMMAND [ARG...]

"{port}" in the command's arguments is replaced by the server's port, e.g.
`osslsigncode sign ... -t http://127.0.0.1:{port} ...`. --fresh deletes FILE
before the command runs (osslsigncode does not overwrite its output). The
exit status is the command's.

Protocol: the client POSTs a base64 TimeStampRequest
  SEQUENCE { 1.3.6.1.4.1.311.3.2.1,
             SEQUENCE { data, [0] { OCTET STRING <signer's encrypted digest> } } }
and receives a base64 PKCS #7 SignedData over that blob, signed by the
time-stamping authority with the authenticated attributes contentType,
signingTime (the fixed --time, so stamped files read the same on every run)
and messageDigest. Standard library only; the RSA signature comes from the
openssl command-line tool.
"""

import argparse
import base64
import hashlib
import http.server
import os
import ssl
import subprocess
import sys
import threading

OID_DATA = "1.2.840.113549.1.7.1"
OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CONTENT_TYPE = "1.2.840.113549.1.9.3"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_SIGNING_TIME = "1.2.840.113549.1.9.5"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
OID_RSA = "1.2.840.113549.1.1.1"
OID_TIME_STAMP_REQUEST = "1.3.6.1.4.1.311.3.2.1"


# --- DER encoding ---------------------------------------------------------

def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        digits = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(digits)]) + digits
    return bytes([tag]) + length + content


def seq(*parts):
    return tlv(0x30, b"".join(parts))


def der_set(*parts):
    # DER orders the elements of a SET OF by their encodings.
    return tlv(0x31, b"".join(sorted(parts)))


def oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    body = bytearray([arcs[0] * 40 + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body.extend(reversed(chunk))
    return tlv(0x06, bytes(body))


def algorithm(dotted):
    return seq(oid(dotted), b"\x05\x00")


# --- DER reading ----------------------------------------------------------

def read_element(buf, pos):
    """Returns (tag, content start, end) of the element at pos."""
    if pos + 2 > len(buf):
        raise ValueError("truncated element")
    tag, first = buf[pos], buf[pos + 1]
    pos += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + count > len(buf):
            raise ValueError("bad length")
        length = int.from_bytes(buf[pos:pos + count], "big")
        pos += count
    if pos + length > len(buf):
        raise ValueError("element runs past the end")
    return tag, pos, pos + length


def children(buf, start, end):
    out = []
    while start < end:
        tag, cstart, cend = read_element(buf, start)
        out.append((tag, cstart, cend, buf[start:cend]))
        start = cend
    return out


def request_blob(request):
    """The content to be stamped, from a TimeStampRequest."""
    _, start, end = read_element(request, 0)
    top = children(request, start, end)
    if len(top) < 2 or top[0][3] != oid(OID_TIME_STAMP_REQUEST):
        raise ValueError("not an Authenticode time-stamp request")
    _, start, end, _ = top[1]
    content = children(request, start, end)
    for tag, cstart, cend, _ in content:
        if tag == 0xA0:
            inner = children(request, cstart, cend)
            if inner and inner[0][0] == 0x04:
                return request[inner[0][1]:inner[0][2]]
    raise ValueError("no content in the request")


def issuer_and_serial(certificate):
    """IssuerAndSerialNumber of a DER certificate."""
    _, start, end = read_element(certificate, 0)
    _, tbs_start, tbs_end = read_element(certificate, start)
    fields = children(certificate, tbs_start, tbs_end)
    if fields[0][0] == 0xA0:  # explicit version
        fields = fields[1:]
    serial, issuer = fields[0][3], fields[2][3]
    return seq(issuer, serial)


# --- The authority ----------------------------------------------------------

class Authority:
    def __init__(self, cert_pem, key_path, chain_pems, signing_time):
        self.key_path = key_path
        self.certificate = ssl.PEM_cert_to_DER_cert(open(cert_pem).read())
        self.chain = [self.certificate]
        for path in chain_pems:
            self.chain.extend(pem_certificates(path))
        self.signing_time = signing_time

    def sign(self, data):
        result = subprocess.run(
            ["openssl", "dgst", "-sha256", "-sign", self.key_path],
            input=data, stdout=subprocess.PIPE, check=True)
        return result.stdout

    def stamp(self, blob):
        attributes = [
            seq(oid(OID_CONTENT_TYPE), der_set(oid(OID_DATA))),
            seq(oid(OID_SIGNING_TIME), der_set(tlv(0x17, self.signing_time.encode("ascii")))),
            seq(oid(OID_MESSAGE_DIGEST), der_set(tlv(0x04, hashlib.sha256(blob).digest()))),
        ]
        encoded_attributes = b"".join(sorted(attributes))
        # The signature covers the attributes encoded as a SET; the signer
        # information carries them as [0] IMPLICIT.
        signature = self.sign(tlv(0x31, encoded_attributes))
        signer_info = seq(
            tlv(0x02, b"\x01"),
            issuer_and_serial(self.certificate),
            algorithm(OID_SHA256),
            tlv(0xA0, encoded_attributes),
            algorithm(OID_RSA),
            tlv(0x04, signature),
        )
        signed_data = seq(
            tlv(0x02, b"\x01"),
            der_set(algorithm(OID_SHA256)),
            seq(oid(OID_DATA), tlv(0xA0, tlv(0x04, blob))),
            tlv(0xA0, b"".join(self.chain)),
            der_set(signer_info),
        )
        return seq(oid(OID_SIGNED_DATA), tlv(0xA0, signed_data))


def pem_certificates(path):
    text = open(path).read()
    out = []
    marker = "-----END CERTIFICATE-----"
    for block in text.split(marker)[:-1]:
        out.append(ssl.PEM_cert_to_DER_cert(block.strip() + "\n" + marker + "\n"))
    return out


def make_handler(authority):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            try:
                try:
                    request = base64.b64decode(b"".join(body.split()), validate=True)
                except ValueError:
                    request = body
                reply = authority.stamp(request_blob(request))
            except (ValueError, IndexError, subprocess.CalledProcessError) as error:
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
    parser.add_argument("--time", default="250304050607Z",
                        help="signing time as UTCTime (YYMMDDhhmmssZ)")
    parser.add_argument("--fresh", help="file to delete before the command runs")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given")

    authority = Authority(args.cert, args.key, args.chain, args.time)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(authority))
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

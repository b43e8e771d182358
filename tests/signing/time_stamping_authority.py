#!/usr/bin/env python3
"""A throw-away RFC 3161 time-stamping authority for the signing tests.

It makes its own CA and a TSA certificate issued by it (extended key usage
timeStamping only, and critical, as RFC 3161 demands and as OpenSSL checks
before it signs a reply), then answers HTTP POSTs of
application/timestamp-query with what `openssl ts -reply` makes of them.

It listens on 127.0.0.1 only, on a port the system chooses, and prints that
port as the first line of its output, so a caller can start it in the
background and read where it is. It stops by itself after --lifetime seconds
(a test that dies cannot leave it behind for long), and on SIGTERM or SIGINT.

    time_stamping_authority.py --openssl PATH --dir DIR [--lifetime SECONDS]
                               [--broken-replies | --hostile KIND
                                [--signer-cert PEM --signer-key PEM]]

DIR receives ca.pem (what a verifier trusts, e.g. osslsigncode's -TSA-CAfile)
and, for every request answered, reply-N.tsr, the reply as sent.
--broken-replies answers every query with a reply cut in half, HTTP status
200: a server that seems to work and does not. --hostile KIND (or a query
posted to /KIND) answers as an authority that must not be believed (each a
reply a careless client keeps):
  wrong-imprint   a good token for another digest than the one asked about
  last-byte-imprint  the same, the digest off in its last byte only
  altered-time    a good token whose time was changed after it was signed
  no-certificate  the token carries no certificate of its signer
  no-usage        signed by a certificate without the timeStamping usage
  signer-key      signed with --signer-cert/--signer-key (the code signer's)
  wrong-time      a good authority's token dated 2099 (outside its validity)
  silent          reads the query and never answers
  garbage         HTTP 200 with bytes that are no reply at all
  status-2        a well-formed reply with PKIStatus 2 (rejection), no token
"""

import argparse
import http.server
import os
import signal
import subprocess
import sys
import time

HOSTILE = ("wrong-imprint", "last-byte-imprint", "altered-time", "no-certificate", "no-usage", "signer-key",
           "wrong-time", "silent", "garbage", "status-2")

# A query is a digest, a policy, a nonce and a flag: a few hundred bytes.
MAX_QUERY_SIZE = 64 * 1024
# A policy OID set aside for tests (RFC 7229, id-TEST-certPolicyOne).
POLICY = "1.3.6.1.5.5.7.13.1"


def run_openssl(openssl, args, directory):
    result = subprocess.run([openssl] + args, cwd=directory, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, check=False)
    if result.returncode != 0:
        sys.stderr.write(result.stdout.decode(errors="replace"))
        raise SystemExit(f"openssl {args[0]} failed with status {result.returncode}")


def make_authority(openssl, directory):
    """The CA, the TSA certificate and the `openssl ts` configuration in DIR."""
    run_openssl(openssl, [
        "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
        "-subj", "/CN=KORVANTHELM test time-stamping CA", "-keyout", "ca.key", "-out", "ca.pem",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign"], directory)
    run_openssl(openssl, [
        "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj",
        "/CN=KORVANTHELM test time-stamping authority", "-keyout", "tsa.key", "-out", "tsa.csr"],
        directory)
    with open(os.path.join(directory, "tsa.ext"), "w", encoding="ascii") as ext:
        ext.write("basicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=critical,timeStamping\n")
    run_openssl(openssl, [
        "x509", "-req", "-in", "tsa.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-set_serial", "2", "-days", "2", "-sha256", "-extfile", "tsa.ext", "-out", "tsa.pem"],
        directory)
    # The same CA's certificate for a key without the timeStamping usage.
    run_openssl(openssl, [
        "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj",
        "/CN=KORVANTHELM test certificate without timeStamping", "-keyout", "plain.key",
        "-out", "plain.csr"], directory)
    with open(os.path.join(directory, "plain.ext"), "w", encoding="ascii") as ext:
        ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n")
    run_openssl(openssl, [
        "x509", "-req", "-in", "plain.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-set_serial", "3", "-days", "2", "-sha256", "-extfile", "plain.ext", "-out",
        "plain.pem"], directory)
    with open(os.path.join(directory, "tsa.cnf"), "w", encoding="ascii") as cnf:
        cnf.write(f"""[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
dir = {directory}
serial = $dir/serial
crypto_device = builtin
signer_cert = $dir/tsa.pem
certs = $dir/ca.pem
signer_key = $dir/tsa.key
signer_digest = sha256
default_policy = {POLICY}
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")
    with open(os.path.join(directory, "serial"), "w", encoding="ascii") as serial:
        serial.write("01\n")


def der_length(size):
    if size < 0x80:
        return bytes([size])
    octets = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def der_sequence(*parts):
    body = b"".join(parts)
    return b"\x30" + der_length(len(body)) + body


# PKIStatusInfo { status granted (0) }, and a rejection (2) with no token.
GRANTED = der_sequence(b"\x02\x01\x00")
REJECTION = der_sequence(der_sequence(b"\x02\x01\x02"))


# The code signer's key may be encrypted with the signing tests' password.
PASSWORD = (["-passin", "env:KORVANTHELM_SIGN_PASSWORD"]
            if "KORVANTHELM_SIGN_PASSWORD" in os.environ else [])


def resign(server, reply, cert, key, extra=(), dated=None):
    """The reply's TSTInfo signed again with CERT and KEY, as a reply; with
    DATED (14 digits), its genTime made that time first."""
    directory = server.directory
    number = server.answered
    token = os.path.join(directory, f"token-{number}.der")
    info = os.path.join(directory, f"tstinfo-{number}.der")
    signed = os.path.join(directory, f"resigned-{number}.der")
    original = os.path.join(directory, f"original-{number}.tsr")
    with open(original, "wb") as out:
        out.write(reply)
    run_openssl(server.openssl, ["ts", "-reply", "-in", original, "-token_out", "-out", token],
                directory)
    run_openssl(server.openssl, ["cms", "-verify", "-noverify", "-binary", "-inform", "DER",
                                 "-in", token, "-out", info], directory)
    run_openssl(server.openssl, ["cms", "-sign", "-binary", "-nodetach", "-nosmimecap",
                                 "-md", "sha256", "-econtent_type", "id-smime-ct-TSTInfo",
                                 "-outform", "DER", "-in", info, "-signer", cert, "-inkey", key,
                                 "-out", signed] + PASSWORD + list(extra), directory)
    if dated is not None:
        with open(info, "rb") as info_in:
            content = info_in.read()
        at = content.find(b"\x18\x0f")
        if at < 0:
            raise SystemExit("no genTime of 15 characters in the TSTInfo")
        with open(info, "wb") as info_out:
            info_out.write(content[:at + 2] + dated.encode("ascii") + content[at + 16:])
        run_openssl(server.openssl, ["cms", "-sign", "-binary", "-nodetach", "-nosmimecap",
                                     "-md", "sha256", "-econtent_type", "id-smime-ct-TSTInfo",
                                     "-outform", "DER", "-in", info, "-signer", cert,
                                     "-inkey", key, "-out", signed] + list(extra), directory)
    with open(signed, "rb") as token_in:
        return der_sequence(GRANTED, token_in.read())


def altered_time(reply):
    """The reply with one digit of its genTime (the first GeneralizedTime) changed."""
    at = reply.find(b"\x18\x0f")
    if at < 0:
        at = reply.find(b"\x18\x13")
    if at < 0:
        raise SystemExit("no genTime in the reply")
    digit = at + 2 + 3  # the year's last digit
    changed = bytearray(reply)
    changed[digit] = ord("0") + (reply[digit] - ord("0") + 1) % 10
    return bytes(changed)


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "KorvanthelmTestTSA/1"

    def do_POST(self):  # pylint: disable=invalid-name
        if self.headers.get("Content-Type", "").split(";")[0].strip() != \
                "application/timestamp-query":
            self.send_error(415, "expected application/timestamp-query")
            return
        try:
            size = int(self.headers.get("Content-Length", ""))
        except ValueError:
            self.send_error(411, "a length is needed")
            return
        if size <= 0 or size > MAX_QUERY_SIZE:
            self.send_error(413, "query too large")
            return
        query = self.rfile.read(size)
        self.server.answered += 1
        number = self.server.answered
        directory = self.server.directory
        # One authority serves every kind: POST /KIND asks for that one.
        asked = self.path.strip("/")
        hostile = asked if asked in HOSTILE else self.server.hostile
        if hostile == "silent":
            # Holds the connection open and says nothing, until it is stopped.
            time.sleep(self.server.lifetime)
            return
        query_file = os.path.join(directory, f"query-{number}.tsq")
        reply_file = os.path.join(directory, f"reply-{number}.tsr")
        with open(query_file, "wb") as out:
            out.write(query)
        if hostile == "wrong-imprint":
            # Another digest than the client's, in a query of the authority's own.
            run_openssl(self.server.openssl, [
                "ts", "-query", "-digest", "11" * 32, "-sha256", "-cert", "-no_nonce",
                "-out", query_file], directory)
        if hostile == "last-byte-imprint":
            # The client's own digest (OCTET STRING of 32: 04 20 ...) with its
            # last byte changed: a check of the first bytes alone passes it.
            at = query.find(b"\x04\x20")
            changed = bytearray(query)
            changed[at + 2 + 31] ^= 0x01
            with open(query_file, "wb") as out:
                out.write(bytes(changed))
        result = subprocess.run(
            [self.server.openssl, "ts", "-reply", "-config", os.path.join(directory, "tsa.cnf"),
             "-queryfile", query_file, "-out", reply_file],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
        if result.returncode != 0:
            sys.stderr.write(result.stdout.decode(errors="replace"))
            self.send_error(500, "openssl ts -reply failed")
            return
        with open(reply_file, "rb") as reply_in:
            reply = reply_in.read()
        if self.server.broken:
            reply = reply[:len(reply) // 2]
        elif hostile == "altered-time":
            reply = altered_time(reply)
        elif hostile == "no-certificate":
            reply = resign(self.server, reply, "tsa.pem", "tsa.key", ["-nocerts"])
        elif hostile == "no-usage":
            reply = resign(self.server, reply, "plain.pem", "plain.key")
        elif hostile == "signer-key":
            reply = resign(self.server, reply, self.server.signer_cert, self.server.signer_key)
        elif hostile == "wrong-time":
            reply = resign(self.server, reply, "tsa.pem", "tsa.key", dated="20991231235959")
        elif hostile == "garbage":
            reply = b"HTTP/1.0 200 OK? no: " + os.urandom(200)
        elif hostile == "status-2":
            reply = REJECTION
        with open(reply_file, "wb") as reply_out:
            reply_out.write(reply)
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, format, *args):  # pylint: disable=redefined-builtin
        sys.stderr.write("tsa: " + (format % args) + "\n")


def stop(_signal, _frame):
    raise SystemExit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--openssl", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lifetime", type=int, default=120)
    parser.add_argument("--broken-replies", action="store_true")
    parser.add_argument("--hostile", choices=HOSTILE)
    parser.add_argument("--signer-cert")
    parser.add_argument("--signer-key")
    options = parser.parse_args()
    directory = os.path.abspath(options.dir)
    os.makedirs(directory, exist_ok=True)
    make_authority(options.openssl, directory)

    # Port 0: the system picks a free one; loopback only, nothing else can ask.
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.openssl = options.openssl
    server.directory = directory
    server.broken = options.broken_replies
    server.hostile = options.hostile
    server.lifetime = options.lifetime
    server.signer_cert = options.signer_cert and os.path.abspath(options.signer_cert)
    server.signer_key = options.signer_key and os.path.abspath(options.signer_key)
    server.answered = 0
    for signal_number in (signal.SIGTERM, signal.SIGINT, signal.SIGALRM):
        signal.signal(signal_number, stop)
    signal.alarm(options.lifetime)
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == "__main__":
    main()

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
                               [--broken-replies]

DIR receives ca.pem (what a verifier trusts, e.g. osslsigncode's -TSA-CAfile)
and, for every request answered, reply-N.tsr, the reply as sent.
--broken-replies answers every query with a reply cut in half, HTTP status
200: a server that seems to work and does not.
"""

import argparse
import http.server
import os
import signal
import subprocess
import sys

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
        query_file = os.path.join(directory, f"query-{number}.tsq")
        reply_file = os.path.join(directory, f"reply-{number}.tsr")
        with open(query_file, "wb") as out:
            out.write(query)
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
    options = parser.parse_args()
    directory = os.path.abspath(options.dir)
    os.makedirs(directory, exist_ok=True)
    make_authority(options.openssl, directory)

    # Port 0: the system picks a free one; loopback only, nothing else can ask.
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.openssl = options.openssl
    server.directory = directory
    server.broken = options.broken_replies
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

#!/usr/bin/env python3
"""Signs self-extractors as their users do, with osslsigncode and a throwaway self-signed
code-signing certificate made on the spot (never kept), so that the tests can check that a
signed archive still opens and that a tampered one does not.

As a module: Signer(folder) makes the keys; signer.sign(kind, src, dst) signs with one of
KINDS; signer.verify(path) answers whether osslsigncode verifies it.
As a command: signing.py FOLDER KIND IN OUT [KIND IN OUT ...]   (exit 1 when a signing fails)
              signing.py FOLDER verify FILE                       (exit 0 when it verifies)

Kinds: "pem" (certificate and key as PEM files, SHA-256), "pfx" (a PKCS#12 file with a
password), "dual" (SHA-1, then a nested SHA-256 signature, as old and new Windows need),
"timestamped" (SHA-256 countersigned by a time-stamping authority on 127.0.0.1 that answers
RFC 3161 requests through openssl ts; osslsigncode 2.5, Debian 12's, has no built-in one).
"""
import http.server
import os
import subprocess
import sys
import threading

KINDS = ("pem", "pfx", "dual", "timestamped")
PFX_PASSWORD = "zqv-test"

TSA_CONFIG = """[ tsa ]
default_tsa = zqv_tsa
[ zqv_tsa ]
serial = {dir}/tsa-serial
crypto_device = builtin
signer_cert = {dir}/tsa.pem
signer_key = {dir}/tsa-key.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def run(*args):
    r = subprocess.run(list(args), capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"{args[0]} {args[1]} failed ({r.returncode}): {(r.stdout + r.stderr).strip()[-800:]}")
    return r.stdout


class Signer:
    def __init__(self, folder):
        self.dir = os.path.abspath(folder)
        os.makedirs(self.dir, exist_ok=True)
        self.cert, self.key = self.file("signer.pem"), self.file("signer-key.pem")
        self.pfx = self.file("signer.pfx")
        self.tsa_cert, self.tsa_key = self.file("tsa.pem"), self.file("tsa-key.pem")
        if not os.path.exists(self.pfx):
            self._make_keys()

    def file(self, name):
        return os.path.join(self.dir, name)

    def _make_keys(self):
        def self_signed(cert, key, subject, usage):
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                "-days", "30", "-subj", subject, "-addext", usage)
        self_signed(self.cert, self.key, "/CN=ZQV test signer (throwaway)", "extendedKeyUsage=codeSigning")
        self_signed(self.tsa_cert, self.tsa_key, "/CN=ZQV test time-stamping authority (throwaway)",
                    "extendedKeyUsage=critical,timeStamping")
        with open(self.file("tsa-serial"), "w") as f:
            f.write("01\n")
        with open(self.file("tsa.cnf"), "w") as f:
            f.write(TSA_CONFIG.format(dir=self.dir))
        run("openssl", "pkcs12", "-export", "-inkey", self.key, "-in", self.cert, "-out", self.pfx,
            "-passout", "pass:" + PFX_PASSWORD)

    def _osslsigncode_sign(self, src, dst, *options):
        if os.path.exists(dst):
            os.remove(dst)  # osslsigncode will not write over a file
        run("osslsigncode", "sign", *options, "-in", src, "-out", dst)

    def sign(self, kind, src, dst):
        pem = ("-certs", self.cert, "-key", self.key)
        if kind == "pem":
            self._osslsigncode_sign(src, dst, *pem, "-h", "sha256")
        elif kind == "pfx":
            self._osslsigncode_sign(src, dst, "-pkcs12", self.pfx, "-pass", PFX_PASSWORD, "-h", "sha256")
        elif kind == "dual":
            first = dst + ".sha1"
            self._osslsigncode_sign(src, first, *pem, "-h", "sha1")
            self._osslsigncode_sign(first, dst, "-nest", *pem, "-h", "sha256")
            os.remove(first)
        elif kind == "timestamped":
            with TimestampAuthority(self) as url:
                self._osslsigncode_sign(src, dst, *pem, "-h", "sha256", "-ts", url)
        else:
            raise ValueError(f"unknown kind of signature {kind!r} (known: {', '.join(KINDS)})")
        return dst

    def verify(self, path):
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", self.cert, "-TSA-CAfile", self.tsa_cert,
                            "-in", path], capture_output=True, text=True)
        return r.returncode == 0


class TimestampAuthority:
    """An RFC 3161 time-stamping authority on 127.0.0.1 for the duration of a with block."""

    def __init__(self, signer):
        self.signer = signer

    def __enter__(self):
        signer = self.signer

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = signer.file("tsa-query.der")
                with open(query, "wb") as f:
                    f.write(self.rfile.read(int(self.headers.get("Content-Length", 0))))
                reply = subprocess.run(["openssl", "ts", "-reply", "-config", signer.file("tsa.cnf"),
                                        "-queryfile", query, "-out", "/dev/stdout"], capture_output=True)
                self.send_response(200 if reply.returncode == 0 else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply.stdout)))
                self.end_headers()
                self.wfile.write(reply.stdout)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return f"http://127.0.0.1:{self.server.server_port}/"

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def main(argv):
    if len(argv) == 3 and argv[1] == "verify":
        return 0 if Signer(argv[0]).verify(argv[2]) else 1
    if len(argv) < 4 or (len(argv) - 1) % 3:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    signer = Signer(argv[0])
    for i in range(1, len(argv), 3):
        signer.sign(*argv[i:i + 3])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

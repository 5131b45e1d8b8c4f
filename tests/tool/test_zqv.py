#!/usr/bin/env python3
"""Command-line tests of zqv: build->extract round trips, the header it writes, corrupt and
hostile archives, overwrite policy, a full disk. Run: test_zqv.py ZQV VECTORS_DIR [unittest args].

With ZQV_WINDOWS set, ZQV runs zqv.exe under Wine (wine-zqv.sh): the cases only Linux can stage
are skipped, each saying why, messages name paths with backslashes and give Windows' reasons, and
the Windows group compares zqv.exe with the Linux zqv that ZQV_LINUX names."""
import contextlib
import hashlib
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hostile"))
import cases  # noqa: E402  the hostile-archive table shared with the stub's test
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "signing"))
import signing  # noqa: E402  osslsigncode with a throwaway certificate

ZQV = VECTORS = None
HEADER_OFFSET, HEADER_SIZE = 95232, 832
BODY_OFFSET = HEADER_OFFSET + HEADER_SIZE
CIPHERS = {"blowfish": (0, 8), "des": (1, 8), "3des": (2, 8), "aes128": (3, 16), "aes256": (4, 16)}


WINDOWS = bool(os.environ.get("ZQV_WINDOWS"))
SEP = "\\" if WINDOWS else "/"  # what zqv puts between a folder and a name it adds
# The system's reasons as Wine's Windows words them.
WINDOWS_REASONS = {"No space left on device": "Disk full", "Read-only file system": "Access denied"}


def reason(text):
    return WINDOWS_REASONS.get(text, text) if WINDOWS else text


def linux_only(why):
    return unittest.skipIf(WINDOWS, "Linux only: " + why)


def wine_major():
    out = subprocess.run([os.environ["ZQV_WINE"], "--version"], capture_output=True, text=True).stdout
    return int(out.split("-")[1].split(".")[0]) if out.startswith("wine-") else 0


# Wine 8 (Debian 12's) shows a Unix symbolic link to a program as the folder or file it points
# to, with no reparse point, so nothing in Windows' view tells a link inside the destination from
# a folder; zqv.exe refuses reparse points, which Wine 8 cannot make.
NO_REPARSE_POINTS = WINDOWS and wine_major() <= 8
needs_reparse_points = unittest.skipIf(NO_REPARSE_POINTS, "Wine 8 shows a symbolic link as a plain folder, "
                                       "never as a reparse point")


def windows_path(path):
    """A Linux path as Wine's programs name it (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@contextlib.contextmanager
def held_open(path):
    """Holds `path` open as a running program does: on Linux under zqv's lock (flock); under Wine
    by a Windows program, cmd waiting for a line with the file open for appending."""
    if not WINDOWS:
        import fcntl
        with open(path, "rb") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield
        return
    env = dict(os.environ)
    p = subprocess.Popen([os.environ["ZQV_WINE"], "cmd", "/c", "echo held& set /p x=>>" + windows_path(path)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    try:
        # cmd opens the file for the command that follows the echo, long before any zqv.exe
        # started after this line has begun.
        assert p.stdout.readline().strip() == b"held"
        yield
    finally:
        p.communicate(b"\n")


def digest_line(data):
    return b"SHA-1: " + b"".join(b"%03d" % b for b in hashlib.sha1(data).digest())


class ZqvCase(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.addCleanup(self._dir.cleanup)  # after later cleanups, such as unmounting
        self.tmp = self._dir.name
        self.stub = self.path("stub.exe")
        self.write(self.stub, bytes(HEADER_OFFSET))  # a stand-in stub: HeaderOffset zero bytes

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def run_zqv(self, *args, stdin=None, preexec=None):
        return subprocess.run([ZQV, *args], input=stdin, capture_output=True, preexec_fn=preexec)

    def build(self, data, password=b"pw", cipher="aes256", extra=(), name="in.bin"):
        src = self.write(self.path("src", name), data)
        out = self.path("out.exe")
        pw = self.write(self.path("pw.txt"), password + b"\n")
        r = self.run_zqv("build", src, "-o", out, "--stub", self.stub, "--cipher", cipher, "--password-file", pw, *extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        return out

    def extract(self, archive, password=b"pw", dest="dest", extra=()):
        pw = self.write(self.path("pw-x.txt"), password + b"\n")
        return self.run_zqv("extract", archive, "-C", self.path(dest), "--password-file", pw, "-q", *extra)

    def assertFails(self, result, code, message):
        self.assertEqual(result.returncode, code, result.stderr)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertIn(message, lines[0])

    def dest_files(self, dest="dest"):
        root = self.path(dest)
        found = []
        for base, _, files in os.walk(root):
            found += [os.path.relpath(os.path.join(base, f), root) for f in files]
        return sorted(found)


class RoundTrip(ZqvCase):
    def test_every_cipher_length_and_password(self):
        passwords = [b"", b"x" * 79, "p\u00e4ss w\u00f6rd \u20ac\u00ff".encode()]
        for cipher, (selector, block) in CIPHERS.items():
            for length in (0, 1, block - 1, block, block + 1, 1 << 20):
                for password in passwords:
                    with self.subTest(cipher=cipher, length=length, password=password):
                        data = os.urandom(length)
                        archive = self.build(data, password, cipher)
                        blob = self.read(archive)
                        self.assertEqual(len(blob), BODY_OFFSET + (length // block + 2) * block)
                        self.assertEqual(blob[HEADER_OFFSET + 721], selector)
                        r = self.extract(archive, password, dest="d")
                        self.assertEqual(r.returncode, 0, r.stderr)
                        self.assertEqual(self.read(self.path("d", "in.bin")), data)
                        os.remove(self.path("d", "in.bin"))

    def test_sample_archives_from_an_independent_builder(self):
        root = os.path.join(VECTORS, "archives")
        with open(os.path.join(root, "MANIFEST.txt")) as manifest:
            rows = [l.split("|") for l in manifest if not l.startswith("#")]
        self.assertEqual(len(rows), 5)
        for name, _, password, plain, _ in (map(str.strip, r) for r in rows):
            with self.subTest(archive=name):
                dest = "v-" + name
                r = self.extract(os.path.join(root, name), password.encode(), dest=dest)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.read(self.path(dest, plain)), self.read(os.path.join(root, plain)))
                t = self.run_zqv("test", os.path.join(root, name), "--password-file", self.path("pw-x.txt"))
                self.assertEqual(t.returncode, 0, t.stderr)

    def test_name_with_folder_creates_missing_folders(self):
        archive = self.build(b"abc", extra=("--name", "sub\\deeper\\a.txt"))
        r = self.extract(archive, dest="missing/parent")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read(self.path("missing", "parent", "sub", "deeper", "a.txt")), b"abc")


    def test_every_cpu_path_extracts_the_same_bytes(self):
        data = os.urandom(70000)
        archive = self.build(data, cipher="aes128")
        for cpu in ("portable", "aesni", "shani", "native"):
            env = dict(os.environ, ZQV_CPU=cpu)
            pw = self.write(self.path("pw-x.txt"), b"pw\n")
            r = subprocess.run([ZQV, "extract", archive, "-C", self.path("d-" + cpu), "-q", "--password-file", pw],
                               capture_output=True, env=env)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(self.read(self.path("d-" + cpu, "in.bin")), data)
        r = subprocess.run([ZQV, "info", archive], capture_output=True, env=dict(os.environ, ZQV_CPU="fast"))
        self.assertFails(r, 2, "ZQV_CPU=fast")


class HeaderWritten(ZqvCase):
    """The header zqv build writes, read back at fixed offsets, independently of the format code."""

    def test_fields_at_their_offsets(self):
        data = b"abc"
        archive = self.build(data, cipher="3des", extra=(
            "--name", "n\u00e9.txt", "--dest", "C:\\Setup", "--mode", "skip", "--title", "T",
            "--run-after", "setup.inf", "--hide-mode", "--auto-start"))
        blob = self.read(archive)
        self.assertEqual(blob[:HEADER_OFFSET], self.read(self.stub))
        h = blob[HEADER_OFFSET:BODY_OFFSET]

        def text(offset, capacity):
            n = h[offset]
            self.assertEqual(h[offset + 1 + n:offset + 1 + capacity], bytes(capacity - n), "zero fill")
            return h[offset + 1:offset + 1 + n]

        self.assertEqual(h[0:4], b"\x03ZQV")
        self.assertEqual(text(4, 255), "n\u00e9.txt".encode("cp1252"))
        self.assertEqual(h[260], 2)
        self.assertEqual(text(261, 255), b"C:\\Setup")
        self.assertEqual(h[517], 1)
        self.assertEqual(text(518, 100), b"T")
        self.assertEqual(text(619, 100), b"setup.inf")
        self.assertEqual(h[720], 1)
        self.assertEqual(h[721], 2)
        self.assertEqual(text(722, 100), digest_line(data))
        self.assertEqual(text(722, 100), b"SHA-1: 169153062054071006129106186062037113120080194108156208216157")
        self.assertEqual(h[823], 1)
        self.assertEqual(h[824:832], bytes(8))

    def test_defaults(self):
        h = self.read(self.build(b"x"))[HEADER_OFFSET:BODY_OFFSET]
        self.assertEqual((h[4], h[5:11]), (6, b"in.bin"))
        self.assertEqual((h[260], h[261], h[517], h[518], h[619], h[720], h[721], h[823]), (0, 0, 2, 0, 0, 0, 4, 0))
        h = self.read(self.build(b"x", extra=("--dest-temp",)))[HEADER_OFFSET:BODY_OFFSET]
        self.assertEqual((h[260], h[261]), (1, 0))

    def test_seed_makes_the_same_archive_again(self):
        for cipher in ("blowfish", "des", "3des", "aes128", "aes256"):
            with self.subTest(cipher=cipher):
                made = [self.read(self.build(b"same bytes" * 9, cipher=cipher, extra=("--seed", seed)))
                        for seed in ("4000000000", "4000000000", "17")]
                self.assertEqual(made[0], made[1])
                # The seed makes the chaining block, and that block changes every block after it.
                self.assertNotEqual(made[0][BODY_OFFSET:], made[2][BODY_OFFSET:])
                self.assertEqual(made[0][:BODY_OFFSET], made[2][:BODY_OFFSET])
                self.assertEqual(self.extract(self.path("out.exe"), dest=cipher).returncode, 0)
                self.assertEqual(self.read(self.path(cipher, "in.bin")), b"same bytes" * 9)
        for bad in ("-1", "4294967296", "soon"):
            r = self.run_zqv("build", self.path("src", "in.bin"), "-o", self.path("bad.exe"), "--seed", bad)
            self.assertEqual(r.returncode, 2, bad)
            self.assertIn(b"--seed", r.stderr)

    def test_full_capacity_texts_and_refusals(self):
        h = self.read(self.build(b"x", extra=("--name", "n" * 255, "--title", "t" * 100)))[HEADER_OFFSET:]
        self.assertEqual(h[4:260], b"\xff" + b"n" * 255)
        self.assertEqual(h[518:619], b"\x64" + b"t" * 100)
        src = self.write(self.path("src", "f"), b"x")
        pw = self.write(self.path("pw.txt"), b"pw\n")
        out = self.path("never.exe")
        base = ("build", src, "-o", out, "--stub", self.stub, "--password-file", pw)
        for args, message in [
            (("--name", "n" * 256), "output name: 256 characters, at most 255 fit"),
            (("--title", "t" * 101), "--title: 101 characters, at most 100 fit"),
            (("--run-after", "r" * 101), "--run-after: 101 characters, at most 100 fit"),
            (("--dest", "d" * 256), "--dest: 256 characters, at most 255 fit"),
            (("--title", "\u4e2d"), "not representable in code page WINDOWS-1252"),
            (("--name", "..\\x"), "climbs out of the destination folder"),
            (("--codepage", "no-such-page"), "no such code page"),
        ]:
            with self.subTest(args=args):
                self.assertFails(self.run_zqv(*base, *args), 2 if "code page" in message and "no such" in message else 1, message)
                self.assertFalse(os.path.exists(out))
        long_pw = self.write(self.path("long.txt"), b"p" * 80)
        self.assertFails(self.run_zqv(*base[:-1], long_pw), 1, "at most 79")
        self.assertEqual(os.listdir(self.tmp).count("never.exe"), 0)

    def test_stub_must_be_exactly_header_offset_bytes(self):
        self.write(self.stub, bytes(HEADER_OFFSET - 1))
        src = self.write(self.path("src", "f"), b"x")
        pw = self.write(self.path("pw.txt"), b"pw\n")
        r = self.run_zqv("build", src, "-o", self.path("o.exe"), "--stub", self.stub, "--password-file", pw)
        self.assertFails(r, 1, "the stub is 95231 bytes; a stub must be exactly 95232 bytes")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["pw.txt", "src", "stub.exe"])

    def test_password_from_stdin_and_usage_errors(self):
        src = self.write(self.path("src", "f"), b"data")
        out = self.path("o.exe")
        r = self.run_zqv("build", src, "-o", out, "--stub", self.stub, "--password-file", "-", stdin=b"s3cret\r\nignored\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.run_zqv("test", out, "--password-file", "-", stdin=b"s3cret")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.run_zqv("build", src).returncode, 2)
        self.assertEqual(self.run_zqv("build", src, "-o", out, "--cipher", "rot13").returncode, 2)
        self.assertEqual(self.run_zqv("build", src, "-o", out, "--dest", "x", "--dest-temp").returncode, 2)
        self.assertEqual(self.run_zqv("extract", out, "--skip", "--overwrite").returncode, 2)
        self.assertEqual(self.run_zqv("--version").returncode, 0)
        for command in ("build", "info", "test", "extract"):
            self.assertEqual(self.run_zqv(command, "--help").returncode, 0)


class Corruption(ZqvCase):
    def corrupt(self, blob):
        archive = self.write(self.path("bad.exe"), blob)
        return self.extract(archive)

    def test_table(self):
        good = self.read(self.build(b"the plaintext " * 10, cipher="des"))
        not_zqv = "not a ZQV self-extractor"
        rows = [
            ("bare stub", good[:HEADER_OFFSET], 1, "nothing follows the stub"),
            ("wrong magic", good[:HEADER_OFFSET + 1] + b"ZQX" + good[HEADER_OFFSET + 4:], 1, not_zqv),
            ("length byte 4", good[:HEADER_OFFSET] + b"\x04" + good[HEADER_OFFSET + 1:], 1, not_zqv),
            ("cut inside the magic", good[:HEADER_OFFSET + 3], 1, not_zqv),
            ("cut after the magic", good[:HEADER_OFFSET + 4], 1,
             "Invalid file format: the encrypted body is 0 bytes, shorter than two 8-byte blocks"),
            ("body of 15 bytes", good[:BODY_OFFSET + 15], 1,
             "Invalid file format: the encrypted body is 15 bytes, shorter than two 8-byte blocks"),
            ("selector 5", good[:HEADER_OFFSET + 721] + b"\x05" + good[HEADER_OFFSET + 722:], 1,
             "unknown cipher selector 5"),
            ("selector 255", good[:HEADER_OFFSET + 721] + b"\xff" + good[HEADER_OFFSET + 722:], 1,
             "unknown cipher selector 255"),
            ("flipped body byte", good[:BODY_OFFSET + 20] + bytes([good[BODY_OFFSET + 20] ^ 1]) + good[BODY_OFFSET + 21:],
             3, "wrong password"),
        ]
        for what, blob, code, message in rows:
            with self.subTest(what):
                self.assertFails(self.corrupt(blob), code, message)
                self.assertEqual(self.dest_files(), [])

    def test_count_byte_above_block_is_a_wrong_password(self):
        # Under a wrong key the tail's count byte is random, above 8 in 247 of 256 cases; twenty
        # wrong passwords all but surely hit one. Each must end as a wrong password, nothing kept.
        good = self.build(b"x" * 100, cipher="blowfish")
        for i in range(20):
            self.assertFails(self.extract(good, b"wrong%d" % i), 3, "wrong password")
            self.assertEqual(self.dest_files(), [])

    def test_selector_5_with_empty_digest_gives_an_empty_file(self):
        blob = bytearray(self.read(self.build(b"")))
        blob[HEADER_OFFSET + 721] = 5
        r = self.corrupt(bytes(blob))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read(self.path("dest", "in.bin")), b"")

    def test_info_reports_magic_and_sizes(self):
        good = self.build(b"y" * 33, cipher="aes128")
        r = self.run_zqv("info", "--json", good)
        self.assertEqual(r.returncode, 0, r.stderr)
        import json
        info = json.loads(r.stdout)
        self.assertEqual((info["magic_ok"], info["cipher"], info["body_size"]), (True, 3, 64))
        self.assertEqual((info["plain_size_min"], info["plain_size_max"]), (32, 47))
        self.assertEqual(info["digest_line"], digest_line(b"y" * 33).decode())
        bare = self.write(self.path("bare.exe"), bytes(HEADER_OFFSET))
        r = self.run_zqv("info", "--json", bare)
        self.assertEqual(r.returncode, 1)
        self.assertFalse(json.loads(r.stdout)["magic_ok"])


class Hostile(ZqvCase):
    """The hostile-archive table shared with the stub's test (tests/hostile/cases.py)."""

    def hostile(self, row):
        src = self.write(self.path("src", cases.NAME), cases.PLAIN)
        good = self.path("good.exe")
        pw = self.write(self.path("pw.txt"), cases.PASSWORD.encode() + b"\n")
        r = self.run_zqv("build", src, "-o", good, "--stub", self.stub, "--cipher", row.cipher, "--password-file", pw)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.write(self.path("hostile.exe"), bytes(row.mutate(bytearray(self.read(good)))))

    def outside_dest(self):
        return sorted(f for f in os.listdir(self.tmp) if f not in ("dest", "src", "stub.exe", "good.exe",
                                                                  "hostile.exe", "pw.txt", "pw-x.txt"))

    def test_table(self):
        for row in cases.ROWS:
            with self.subTest(row=row.id):
                keep = self.write(self.path("dest", cases.KEEP), cases.KEEP_TEXT.encode())
                r = self.extract(self.hostile(row), cases.PASSWORD.encode(), extra=("--overwrite",))
                code, detail = row.tool
                if code == 0:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(self.read(self.path("dest", detail)), cases.PLAIN)
                    self.assertEqual(self.dest_files(), sorted([cases.KEEP, detail]))
                else:
                    self.assertFails(r, code, detail)
                    self.assertEqual(self.dest_files(), [cases.KEEP])
                self.assertEqual(self.read(keep), cases.KEEP_TEXT.encode())
                self.assertEqual(self.outside_dest(), [])
                shutil.rmtree(self.path("dest"))

    def test_dotdot_inside_the_destination_is_fine(self):
        row = cases.Row("inside", "", cases.named(b"a\\..\\b.txt"), None, None)
        r = self.extract(self.hostile(row), cases.PASSWORD.encode())
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.dest_files(), ["b.txt"])

    def test_above_4_gib_the_body_is_read_at_64_bit_offsets(self):
        # A sparse plaintext: zeros past 4 GiB, then a marker, so that the digest covers bytes
        # the extractor can only reach at offsets beyond 32 bits.
        src = self.path("src", "big.bin")
        os.makedirs(os.path.dirname(src), exist_ok=True)
        with open(src, "wb") as f:
            f.truncate((4 << 30) + 4096)
            f.seek((4 << 30) + 4000)
            f.write(b"the end of a file above 4 GiB")
        archive = self.build_from(src, cipher="aes256")
        self.assertGreater(os.path.getsize(archive), 4 << 30)
        os.remove(src)
        r = self.extract(archive, extra=("--overwrite",))
        self.assertEqual(r.returncode, 0, r.stderr)
        out = self.path("dest", "big.bin")
        self.assertEqual(os.path.getsize(out), (4 << 30) + 4096)
        with open(out, "rb") as f:
            f.seek((4 << 30) + 4000)
            self.assertEqual(f.read(29), b"the end of a file above 4 GiB")

    def build_from(self, src, cipher):
        out = self.path("big.exe")
        pw = self.write(self.path("pw.txt"), b"pw\n")
        r = self.run_zqv("build", src, "-o", out, "--stub", self.stub, "--cipher", cipher, "--password-file", pw)
        self.assertEqual(r.returncode, 0, r.stderr)
        return out


class Links(ZqvCase):
    """Extraction never leaves the destination through a symbolic link inside it."""

    def archive(self, name):
        blob = bytearray(self.read(self.build(b"hello", password=cases.PASSWORD.encode(), name="h.txt")))
        return self.write(self.path("linked.exe"), bytes(cases.named(name)(blob)))

    @needs_reparse_points
    def test_link_in_the_folder_part_is_refused(self):
        os.makedirs(self.path("elsewhere"))
        os.makedirs(self.path("o2"))
        os.symlink(self.path("elsewhere"), self.path("o2", "sub"))
        for name in (b"sub\\h.txt", b"sub\\deeper\\h.txt"):
            with self.subTest(name=name):
                r = self.extract(self.archive(name), cases.PASSWORD.encode(), dest="o2")
                self.assertFails(r, 1, "o2" + SEP + "sub: cannot extract: a symbolic link stands where the archive "
                                 "names a folder")
                self.assertEqual(os.listdir(self.path("elsewhere")), [])
                self.assertEqual(os.listdir(self.path("o2")), ["sub"])

    @needs_reparse_points
    def test_link_deeper_down_is_refused_and_made_folders_removed(self):
        os.makedirs(self.path("elsewhere"))
        os.makedirs(self.path("o2", "a"))
        os.symlink(self.path("elsewhere"), self.path("o2", "a", "b"))
        r = self.extract(self.archive(b"a\\b\\h.txt"), cases.PASSWORD.encode(), dest="o2")
        self.assertFails(r, 1, "a symbolic link stands where the archive names a folder")
        self.assertEqual(os.listdir(self.path("elsewhere")), [])

    def test_destination_given_as_a_link_is_the_users_choice(self):
        os.makedirs(self.path("real"))
        os.symlink(self.path("real"), self.path("chosen"))
        r = self.extract(self.archive(b"sub\\h.txt"), cases.PASSWORD.encode(), dest="chosen")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read(self.path("real", "sub", "h.txt")), b"hello")

    def test_link_as_the_file_itself_is_replaced_not_followed(self):
        victim = self.write(self.path("victim.txt"), b"not yours")
        os.makedirs(self.path("dest"))
        os.symlink(victim, self.path("dest", "h.txt"))
        r = self.extract(self.archive(b"h.txt"), cases.PASSWORD.encode(), extra=("--overwrite",))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.islink(self.path("dest", "h.txt")))
        self.assertEqual(self.read(self.path("dest", "h.txt")), b"hello")
        self.assertEqual(self.read(victim), b"not yours")

    @linux_only("the folder is swapped by a Linux process, which the share modes Wine keeps for zqv.exe "
                "do not stop (on Windows the held folder cannot be renamed)")
    def test_folder_swapped_for_a_link_while_the_file_is_written(self):
        # The folder is held open from the start: once the temporary file stands in it, the
        # folder is renamed away and a link to another folder put in its place. The file must
        # land in the folder that was opened (now renamed), never through the link.
        big = os.urandom(48 << 20)
        blob = bytearray(self.read(self.build(big, password=cases.PASSWORD.encode(), name="h.txt")))
        row = cases.Row("swap", "", cases.named(b"sub\\h.txt"), None, None)
        archive = self.write(self.path("swap.exe"), bytes(row.mutate(blob)))
        os.makedirs(self.path("o2", "sub"))
        os.makedirs(self.path("elsewhere"))
        pw = self.write(self.path("pw-x.txt"), cases.PASSWORD.encode() + b"\n")
        env = dict(os.environ, ZQV_CPU="portable")  # slower, so that the swap lands mid-write
        p = subprocess.Popen([ZQV, "extract", archive, "-C", self.path("o2"), "--password-file", pw, "-q"],
                             stderr=subprocess.PIPE, env=env)
        swapped = False
        while p.poll() is None and not swapped:
            if any(f.startswith(".zqv-tmp-") for f in os.listdir(self.path("o2", "sub"))):
                os.rename(self.path("o2", "sub"), self.path("o2", "moved"))
                os.symlink(self.path("elsewhere"), self.path("o2", "sub"))
                swapped = True
        p.communicate()
        self.assertEqual(p.returncode, 0)
        self.assertEqual(os.listdir(self.path("elsewhere")), [])
        if swapped:
            self.assertEqual(self.read(self.path("o2", "moved", "h.txt")), big)
        else:
            self.skipTest("the extraction ended before the swap could be made")


class Faults(ZqvCase):
    """Interrupts, a truncated archive, a read-only folder, a full file system: a clear message,
    its exit code, no partial or temporary file, the old file intact."""

    def no_leftovers(self, folder):
        return [f for f in os.listdir(folder) if f.startswith(".zqv-tmp-")]

    def big_archive(self, mib=64, cipher="aes256"):
        return self.build(os.urandom(mib << 20), cipher=cipher)

    def wait_for_temp(self, folder, process):
        while process.poll() is None:
            if os.path.isdir(folder) and self.no_leftovers(folder):
                return True
        return False

    @linux_only("strace fails Linux's system calls")
    def test_failing_system_calls(self):
        # strace fails chosen calls: a size that cannot be read is an error, never an empty file;
        # without threads the work is done on the main thread, with the same bytes.
        data = os.urandom(70000)
        src = self.write(self.path("src", "in.bin"), data)
        pw = self.write(self.path("pw.txt"), b"pw\n")
        out = self.path("out.exe")
        build = ("build", src, "-o", out, "--stub", self.stub, "--password-file", pw)
        stats = "fstat,newfstatat,statx"
        no_threads = "-e", "inject=clone,clone3:error=EAGAIN"
        rows = [  # (what, strace options, zqv arguments, exit code, message or None)
            ("the input's stat fails", ("-P", src, "-e", f"trace={stats}", "-e", f"inject={stats}:error=EIO"),
             build, 1, "in.bin: cannot read: Input/output error"),
            # The open's folder check and build's stat answer; then the size's fstat fails.
            ("the input's size cannot be read", ("-P", src, "-e", f"trace={stats}", "-e",
                                                 f"inject={stats}:error=EIO:when=3+"),
             build, 1, "in.bin: cannot read its size: Input/output error"),
            ("build without threads", no_threads, build, 0, None),
            ("test without threads", no_threads, ("test", out, "--password-file", pw), 0, None),
            ("extract without threads", no_threads, ("extract", out, "-C", self.path("dest"), "--password-file",
                                                     pw, "-q"), 0, None),
        ]
        # LeakSanitizer, in the sanitizer build, cannot run under ptrace and would fail every run.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        for what, options, args, code, message in rows:
            with self.subTest(what):
                r = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", *options, ZQV, *args],
                                   capture_output=True, env=env)
                if message:
                    self.assertFails(r, code, message)
                else:
                    self.assertEqual(r.returncode, code, r.stderr)
                self.assertEqual(self.no_leftovers(self.tmp), [])
        self.assertEqual(self.read(self.path("dest", "in.bin")), data)

    def test_interrupt_in_extract_and_build(self):
        # Under Wine SIGINT reaches zqv.exe as Ctrl+C, whose exit code STATUS_CONTROL_C_EXIT Wine
        # hands on as its low byte; SIGTERM ends it as TerminateProcess does, with no handler run.
        signals = (signal.SIGINT,) if WINDOWS else (signal.SIGINT, signal.SIGTERM)
        archive = self.big_archive()
        existing = self.write(self.path("dest", "in.bin"), b"old")
        pw = self.write(self.path("pw-x.txt"), b"pw\n")
        env = dict(os.environ, ZQV_CPU="portable")
        for sig in signals:
            ended_by = 0xC000013A & 0xFF if WINDOWS else -sig
            with self.subTest(command="extract", signal=sig):
                p = subprocess.Popen([ZQV, "extract", archive, "-C", self.path("dest"), "--overwrite", "-q",
                                      "--password-file", pw], stderr=subprocess.PIPE, env=env)
                started = self.wait_for_temp(self.path("dest"), p)
                p.send_signal(sig)
                p.communicate()
                if not started:
                    self.skipTest("extraction ended before it could be interrupted")
                self.assertEqual(p.returncode, ended_by)
                self.assertEqual(self.read(existing), b"old")
                self.assertEqual(self.no_leftovers(self.path("dest")), [])
            with self.subTest(command="build", signal=sig):
                out = self.path("built", "new.exe")
                os.makedirs(self.path("built"), exist_ok=True)
                p = subprocess.Popen([ZQV, "build", self.path("src", "in.bin"), "-o", out, "--stub", self.stub,
                                      "--password-file", pw], stderr=subprocess.PIPE, env=env)
                started = self.wait_for_temp(self.path("built"), p)
                p.send_signal(sig)
                p.communicate()
                if not started:
                    self.skipTest("the build ended before it could be interrupted")
                self.assertEqual(p.returncode, ended_by)
                self.assertEqual(os.listdir(self.path("built")), [])

    def test_archive_truncated_while_extracting(self):
        archive = self.big_archive()
        existing = self.write(self.path("dest", "in.bin"), b"old")
        pw = self.write(self.path("pw-x.txt"), b"pw\n")
        p = subprocess.Popen([ZQV, "extract", archive, "-C", self.path("dest"), "--overwrite", "-q",
                              "--password-file", pw], stderr=subprocess.PIPE, env=dict(os.environ, ZQV_CPU="portable"))
        started = self.wait_for_temp(self.path("dest"), p)
        os.truncate(archive, BODY_OFFSET + 4096 + 5)
        _, err = p.communicate()
        if not started:
            self.skipTest("extraction ended before the archive could be cut")
        # Cut mid-way the body decrypts short: its digest fails, or its layout does.
        self.assertIn(p.returncode, (1, 3), err)
        self.assertEqual(len(err.decode().splitlines()), 1, err)
        self.assertEqual(self.read(existing), b"old")
        self.assertEqual(self.no_leftovers(self.path("dest")), [])

    def test_read_only_destination(self):
        if os.geteuid() == 0:
            # root writes anyway; a read-only bind is not to be had without mounting, so the
            # folder's mode is checked as another user would meet it where that is possible.
            self.skipTest("root ignores folder permissions")
        archive = self.build(b"data")
        self.write(self.path("dest", "in.bin"), b"old")
        os.chmod(self.path("dest"), 0o555)
        try:
            r = self.extract(archive, extra=("--overwrite",))
            self.assertFails(r, 1, "cannot create a temporary file: Permission denied")
            self.assertEqual(self.read(self.path("dest", "in.bin")), b"old")
        finally:
            os.chmod(self.path("dest"), 0o755)

    def test_read_only_file_system(self):
        mount = self.mount_tmpfs("ro", size="1m", options="ro")
        archive = self.build(b"data")
        r = self.extract(archive, dest=os.path.relpath(mount, self.tmp))
        self.assertFails(r, 1, "cannot create a temporary file: " + reason("Read-only file system"))
        self.assertEqual(os.listdir(mount), [])

    def test_full_file_system(self):
        mount = self.mount_tmpfs("full", size="4m")
        archive = self.big_archive(mib=8)
        existing = self.write(os.path.join(mount, "in.bin"), b"old")
        r = self.extract(archive, dest=os.path.relpath(mount, self.tmp), extra=("--overwrite",))
        self.assertFails(r, 1, "in.bin: cannot write: " + reason("No space left on device"))
        self.assertEqual(self.read(existing), b"old")
        self.assertEqual(sorted(os.listdir(mount)), ["in.bin"])

    def mount_tmpfs(self, name, size, options=""):
        target = self.path(name)
        os.makedirs(target)
        opts = "size=" + size + ("," + options if options else "")
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", opts, "zqv-test", target], capture_output=True)
        if r.returncode != 0:
            self.skipTest("mounting a tmpfs is refused here: " + r.stderr.decode().strip())
        self.addCleanup(subprocess.run, ["umount", target])
        return target


class NothingLost(ZqvCase):
    def test_stale_temporaries_are_removed_and_running_ones_kept(self):
        # A temporary whose lock can be taken was left by a killed zqv; one still locked is being
        # written by a running zqv; names outside the pattern are the user's.
        archive = self.build(b"data")
        src = self.path("src", "in.bin")
        for command, folder, run in (
                ("extract", "dest", lambda: self.run_zqv("extract", archive, "-C", self.path("dest"),
                                                         "--password-file", self.path("pw.txt"))),
                ("build", "out", lambda: self.run_zqv("build", src, "-o", self.path("out", "new.exe"), "--stub",
                                                      self.stub, "--password-file", self.path("pw.txt")))):
            with self.subTest(command):
                stale = self.write(self.path(folder, ".zqv-tmp-0123abcd"), b"left by a killed run")
                held = self.write(self.path(folder, ".zqv-tmp-89abcdef"), b"being written")
                others = [".zqv-tmp-0123ABCD", ".zqv-tmp-0123abc", ".zqv-tmp-0123abcde", "zqv-tmp-0123abcd"]
                for name in others:
                    self.write(self.path(folder, name), b"the user's")
                with held_open(held):
                    r = run()
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr.decode().splitlines(),
                                 [f"zqv: removed {self.path(folder)}{SEP}.zqv-tmp-0123abcd (20 bytes), a temporary file "
                                  "left by a zqv run that was stopped"])
                self.assertFalse(os.path.exists(stale))
                made = "in.bin" if command == "extract" else "new.exe"
                self.assertEqual(sorted(os.listdir(self.path(folder))), sorted(others + [".zqv-tmp-89abcdef", made]))

    def test_existing_file_kept_after_wrong_password(self):
        archive = self.build(b"new contents")
        existing = self.write(self.path("dest", "in.bin"), b"old contents")
        r = self.extract(archive, b"wrong", extra=("--overwrite",))
        self.assertFails(r, 3, "wrong password")
        self.assertEqual(self.read(existing), b"old contents")
        self.assertEqual(self.dest_files(), ["in.bin"])

    def test_overwrite_policy(self):
        archive = self.build(b"new")  # header default: confirm
        existing = self.write(self.path("dest", "in.bin"), b"old")
        self.assertFails(self.extract(archive), 1, "without a terminal to confirm")
        self.assertEqual(self.extract(archive, extra=("--skip",)).returncode, 0)
        self.assertEqual(self.read(existing), b"old")
        self.assertEqual(self.extract(archive, extra=("--overwrite",)).returncode, 0)
        self.assertEqual(self.read(existing), b"new")
        skip = self.build(b"newer", extra=("--mode", "skip"))
        self.assertEqual(self.extract(skip).returncode, 0)
        self.assertEqual(self.read(existing), b"new")
        over = self.build(b"newest", extra=("--mode", "overwrite"))
        self.assertEqual(self.extract(over).returncode, 0)
        self.assertEqual(self.read(existing), b"newest")

    @linux_only("RLIMIT_FSIZE is POSIX's; Wine reports the file it caps as no Windows error (a general "
                "failure), and a full disk is the Faults group's full file system")
    def test_full_disk_is_an_io_error(self):
        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

        # An output the file may never grow to fails, refused at its reservation where the file
        # system reserves, else mid-way; one whose whole blocks fit but whose last few bytes do
        # not fails in the last, partly filled stretch, stored after the body was read.
        for size in (3 << 20, (1 << 20) + 5):
            archive = self.build(os.urandom(size))
            existing = self.write(self.path("dest", "in.bin"), b"old")
            r = self.run_zqv("extract", archive, "-C", self.path("dest"), "--overwrite", "-q",
                             "--password-file", self.write(self.path("pw-x.txt"), b"pw"), preexec=limit)
            self.assertFails(r, 1, "in.bin: cannot write: File too large")
            self.assertEqual(self.read(existing), b"old")
            self.assertEqual(self.dest_files(), ["in.bin"])
        # The builder likewise leaves nothing behind.
        src = self.write(self.path("src", "big"), os.urandom(2 << 20))
        out = self.path("big.exe")
        r = self.run_zqv("build", src, "-o", out, "--stub", self.stub, "--password-file", self.path("pw-x.txt"),
                         preexec=limit)
        self.assertFails(r, 1, "big.exe: cannot write: File too large")
        self.assertFalse(os.path.exists(out))
        self.assertEqual([f for f in os.listdir(self.tmp) if f.startswith(".zqv")], [])

    def fsyncs(self, *args):
        """Runs zqv under strace and returns its exit code and how many fsync and fdatasync
        calls it made."""
        if not shutil.which("strace"):
            self.skipTest("strace is not installed")
        log = self.path("strace.log")
        r = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", "trace=fsync,fdatasync", ZQV, *args],
                           capture_output=True)
        if r.returncode != 0 and b"ptrace" in r.stderr:
            self.skipTest("strace cannot trace here: " + r.stderr.decode().strip())
        with open(log) as f:
            return r.returncode, sum(1 for line in f if "fsync(" in line or "fdatasync(" in line)

    def test_a_replaced_file_is_synced_a_new_one_only_with_sync(self):
        # Replacing: the new file before the rename, the folder after it, so that a crash keeps
        # one of the two. A free name: no wait for the disk unless --sync. Windows flushes no
        # folder: the file is flushed (FlushFileBuffers, one fsync under Wine) and moved through
        # to the disk.
        synced = 1 if WINDOWS else 2
        archive = self.build(b"contents")
        pw = self.write(self.path("pw-x.txt"), b"pw\n")
        extract = ("extract", archive, "-C", self.path("dest"), "-q", "--overwrite", "--password-file", pw)
        self.assertEqual(self.fsyncs(*extract), (0, 0))
        self.assertEqual(self.read(self.path("dest", "in.bin")), b"contents")
        self.assertEqual(self.fsyncs(*extract), (0, synced))
        os.remove(self.path("dest", "in.bin"))
        self.assertEqual(self.fsyncs(*extract, "--sync"), (0, synced))
        # A link standing at the name is replaced too, so it counts as something to keep (Wine 8
        # shows a dangling link as nothing at all).
        os.remove(self.path("dest", "in.bin"))
        os.symlink("nowhere", self.path("dest", "in.bin"))
        self.assertEqual(self.fsyncs(*extract), (0, 0 if NO_REPARSE_POINTS else synced))

        src = self.path("src", "in.bin")
        build = ("build", src, "-o", self.path("new.exe"), "--stub", self.stub, "--password-file", pw)
        self.assertEqual(self.fsyncs(*build), (0, 0))
        self.assertEqual(self.fsyncs(*build), (0, synced))
        os.remove(self.path("new.exe"))
        self.assertEqual(self.fsyncs(*build, "--sync"), (0, synced))
        self.assertEqual(self.extract(self.path("new.exe"), extra=("--overwrite",)).returncode, 0)


class Signed(ZqvCase):
    """Archives signed as their users sign them (osslsigncode) open as before; the signature's
    certificate table is never decrypted, and a byte changed after signing fails both checks.
    Needs the real stub, whose PE header a signer writes to: ZQV_REAL_STUB names it."""

    @classmethod
    def setUpClass(cls):
        cls.real_stub = os.environ.get("ZQV_REAL_STUB")
        if cls.real_stub is None:
            raise unittest.SkipTest("ZQV_REAL_STUB is not set")
        if not os.path.isfile(cls.real_stub):
            raise RuntimeError(f"{cls.real_stub} is missing: cmake --build --preset stub")
        cls._keys = tempfile.TemporaryDirectory()
        cls.signer = signing.Signer(cls._keys.name)

    @classmethod
    def tearDownClass(cls):
        cls._keys.cleanup()

    def setUp(self):
        super().setUp()
        shutil.copyfile(self.real_stub, self.stub)

    def info(self, archive):
        import json
        r = self.run_zqv("info", "--json", archive)
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    def test_every_cipher_and_kind_of_signature(self):
        rows = [(cipher, "pem") for cipher in CIPHERS] + [("aes256", "pfx"), ("3des", "dual"), ("blowfish", "timestamped")]
        for i, (cipher, kind) in enumerate(rows):
            with self.subTest(cipher=cipher, kind=kind):
                data = os.urandom(1000 + 37 * i)
                archive = self.build(data, cipher=cipher)
                unsigned_size = os.path.getsize(archive)
                signed = self.signer.sign(kind, archive, self.path("signed.exe"))
                self.assertTrue(self.signer.verify(signed))
                info = self.info(signed)
                table_size = os.path.getsize(signed) - unsigned_size
                self.assertEqual(info["signature"], {"present": True, "table_offset": unsigned_size,
                                                     "table_size": table_size, "checked": False})
                self.assertEqual(info["body_size"], unsigned_size - BODY_OFFSET)
                self.assertEqual(self.run_zqv("test", signed, "--password-file", self.path("pw.txt")).returncode, 0)
                r = self.extract(signed)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.read(self.path("dest", "in.bin")), data)
                shutil.rmtree(self.path("dest"))

                blob = bytearray(self.read(signed))
                blob[BODY_OFFSET + 100] ^= 1
                tampered = self.write(self.path("tampered.exe"), bytes(blob))
                self.assertFalse(self.signer.verify(tampered))
                self.assertFails(self.run_zqv("test", tampered, "--password-file", self.path("pw.txt")), 3,
                                 "wrong password")
                self.assertFails(self.extract(tampered), 3, "wrong password")
                self.assertEqual(self.dest_files(), [])

    def test_security_entries_no_signer_writes_are_ignored(self):
        # Each file behaves exactly as the same file with a zero entry: its body read to the end.
        good = self.read(self.build(b"the plaintext " * 50, cipher="des"))
        pe = struct.unpack_from("<I", good, 0x3C)[0]
        entry = pe + 24 + 96 + 4 * 8
        self.assertEqual(good[entry:entry + 8], bytes(8), "an unsigned archive has no Security entry")
        n = len(good)
        rows = [  # (what, bytes appended, table offset, table size, exit code of both)
            ("misaligned", 16, n + 4, 12, 3),
            ("not ending at the end of the file", 16, n, 8, 3),
            ("starting inside the header", 16, HEADER_OFFSET + 8, n + 16 - HEADER_OFFSET - 8, 3),
            ("starting inside the stub", 0, 4096, n - 4096, 0),
            ("pointing past the end", 16, n, 64, 3),
            ("pointing past the end of an unsigned archive", 0, n, 64, 0),
            # Bytes short of a whole block past the body are no block: both read as the archive.
            ("size under 8", 4, n, 4, 0),
        ]
        pw = self.path("pw.txt")
        for what, extra, offset, size, code in rows:
            with self.subTest(what):
                blob = bytearray(good + bytes(range(1, extra + 1)))
                plain = self.write(self.path("zero-entry.exe"), bytes(blob))
                struct.pack_into("<II", blob, entry, offset, size)
                odd = self.write(self.path("odd-entry.exe"), bytes(blob))
                self.assertFalse(self.info(odd)["signature"]["present"])
                self.assertEqual(self.info(odd)["body_size"], self.info(plain)["body_size"])
                expected = self.run_zqv("test", plain, "--password-file", pw)
                got = self.run_zqv("test", odd, "--password-file", pw)
                self.assertEqual((got.returncode, got.stderr.replace(b"odd-entry", b"zero-entry")),
                                 (expected.returncode, expected.stderr))
                self.assertEqual(expected.returncode, code, expected.stderr)

    def test_archives_are_whole_multiples_of_8_bytes(self):
        # A signer pads the file to a multiple of 8 before its table; an archive needs no padding,
        # so the body it signs is exactly the body zqv wrote.
        for cipher, (_, block) in CIPHERS.items():
            for length in (0, 1, 7, 8, 9, 15, 16, 17, 4097):
                with self.subTest(cipher=cipher, length=length):
                    size = os.path.getsize(self.build(os.urandom(length), cipher=cipher))
                    self.assertEqual(size, BODY_OFFSET + (length // block + 2) * block)
                    self.assertEqual(size % 8, 0)


@unittest.skipUnless(WINDOWS, "zqv.exe is not under test (ZQV_WINDOWS unset)")
class Windows(ZqvCase):
    """zqv.exe against the Linux zqv, and what only Windows has: wide names, a file held open."""

    def test_seeded_archives_are_the_linux_tools_and_each_opens_the_others(self):
        linux = os.environ["ZQV_LINUX"]
        texts = ("--name", "r\u00e9sum\u00e9 \u20ac.txt", "--title", "Gr\u00fc\u00dfe", "--dest", "C:\\Setup")
        for cipher in CIPHERS:
            for length in (0, 1, 70001):
                with self.subTest(cipher=cipher, length=length):
                    data = os.urandom(length)
                    windows = self.build(data, cipher=cipher, extra=("--seed", "123456", *texts))
                    pw = self.path("pw.txt")
                    made = self.path("linux.exe")
                    r = subprocess.run([linux, "build", self.path("src", "in.bin"), "-o", made, "--stub", self.stub,
                                        "--cipher", cipher, "--password-file", pw, "--seed", "123456", *texts],
                                       capture_output=True)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(self.read(windows), self.read(made))
                    # Each tool extracts the other's, under the name as each system spells it.
                    r = self.extract(made, dest="w")
                    self.assertEqual(r.returncode, 0, r.stderr)
                    r = subprocess.run([linux, "extract", windows, "-C", self.path("l"), "-q", "--password-file", pw],
                                       capture_output=True)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    for dest in ("w", "l"):
                        self.assertEqual(self.read(self.path(dest, "r\u00e9sum\u00e9 \u20ac.txt")), data)
                        shutil.rmtree(self.path(dest))

    def test_code_pages_by_their_linux_names_match_iconv(self):
        # The same header from Windows' code page tables as from iconv's, for names the Linux
        # tool takes, and the same text read back.
        linux = os.environ["ZQV_LINUX"]
        import json
        rows = [("CP1251", "\u043e\u0442\u0447\u0451\u0442.txt"), ("1250", "za\u017c\u00f3\u0142\u0107.txt"),
                ("ISO-8859-2", "\u0142\u00f3d\u017a.txt"), ("KOI8-R", "\u043f\u0440\u0438\u0432\u0435\u0442.txt"),
                ("IBM437", "\u00c7\u00fc\u00e9\u03a3.txt"), ("windows-1253", "\u03b1\u03b2\u03b3.txt")]
        for codepage, name in rows:
            with self.subTest(codepage=codepage):
                extra = ("--seed", "7", "--codepage", codepage, "--name", name, "--title", name[:-4])
                windows = self.read(self.build(b"text", extra=extra))
                r = subprocess.run([linux, "build", self.path("src", "in.bin"), "-o", self.path("linux.exe"), "--stub",
                                    self.stub, "--password-file", self.path("pw.txt"), *extra], capture_output=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(windows, self.read(self.path("linux.exe")))
                r = self.run_zqv("info", "--json", "--codepage", codepage, self.path("linux.exe"))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(json.loads(r.stdout)["output_name"], name)

    def test_names_outside_the_ansi_code_page(self):
        # Paths in scripts no ANSI code page holds all of, for the input, the archive, the
        # password file and the destination: only the wide calls reach them.
        data = os.urandom(5000)
        src = self.write(self.path("\u6e90-\u03a9", "\u30c7\u30fc\u30bf-\u00e4.bin"), data)
        pw = self.write(self.path("\u043f\u0430\u0440\u043e\u043b\u044c", "pw.txt"), b"pw\n")
        archive = self.path("\u6e90-\u03a9", "\u51fa\u529b.exe")
        r = self.run_zqv("build", src, "-o", archive, "--stub", self.stub, "--password-file", pw,
                         "--name", "sub\\\u00e4.txt")
        self.assertEqual(r.returncode, 0, r.stderr)
        dest = self.path("\u76ee\u7684\u5730-\u00df")
        r = self.run_zqv("extract", archive, "-C", dest, "--password-file", pw)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read(os.path.join(dest, "sub", "\u00e4.txt")), data)
        self.assertIn(("%s: extracted %s%ssub%s\u00e4.txt" % (archive, dest, SEP, SEP)).encode(), r.stdout)
        r = self.run_zqv("info", "--json", archive)
        self.assertEqual(r.returncode, 0, r.stderr)
        import json
        self.assertEqual(json.loads(r.stdout)["archive"], archive)
        # A name the archive's code page cannot hold is refused, as on Linux.
        r = self.run_zqv("build", src, "-o", self.path("never.exe"), "--stub", self.stub, "--password-file", pw,
                         "--name", "\u30c7.bin")
        self.assertFails(r, 1, "not representable in code page WINDOWS-1252")

    def test_a_file_held_open_is_not_replaced(self):
        # A program that holds the output open keeps it: the move into place fails, the old file
        # stays whole and no temporary is left.
        archive = self.build(b"new contents")
        existing = self.write(self.path("dest", "in.bin"), b"old contents")
        with held_open(existing):
            r = self.extract(archive, extra=("--overwrite",))
        self.assertFails(r, 1, "in.bin: cannot rename into place: ")
        self.assertEqual(self.read(existing), b"old contents")
        self.assertEqual(self.dest_files(), ["in.bin"])
        self.assertEqual([f for f in os.listdir(self.path("dest")) if f.startswith(".zqv")], [])

    def test_the_stub_beside_zqv_exe_is_found(self):
        folder = self.path("release")
        os.makedirs(folder)
        shutil.copy(os.environ["ZQV_EXE"], folder)
        self.write(os.path.join(folder, "zqvsfx.exe"), bytes(HEADER_OFFSET))
        env = dict(os.environ, ZQV_EXE=os.path.join(folder, "zqv.exe"))
        env.pop("ZQV_STUB", None)
        r = subprocess.run([ZQV, "--version"], capture_output=True, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"zqvsfx.exe (beside zqv.exe, 95232 bytes)", r.stdout)


if __name__ == "__main__":
    ZQV, VECTORS = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])

#!/usr/bin/env python3
"""Hostile archives: the rows that zqv's test and the stub's test under Wine share.

Every row starts from a good archive of PLAIN (password PASSWORD, output name NAME, cipher
CIPHER unless the row names one) and changes it. Each row says what zqv extract must do with
it and what the stub must do with it. In both, nothing may appear outside the destination and
the file KEEP already there must stay as it was.

As a program it writes what the stub's test runs:
  cases.py mutate ROW ARCHIVE        applies ROW's change to ARCHIVE in place
  cases.py scenarios FOLDER          writes one scenario file per row for the Wine harness
"""
import os
import sys
from dataclasses import dataclass, field

HEADER_OFFSET, HEADER_SIZE = 95232, 832
BODY_OFFSET = HEADER_OFFSET + HEADER_SIZE
PLAIN = b"payload of a hostile archive"
PASSWORD = "secret"
NAME = "payload.txt"
KEEP, KEEP_TEXT = "keep.txt", "old contents"
CIPHERS = {"blowfish": 8, "des": 8, "3des": 8, "aes128": 16, "aes256": 16}

# The header's fields: (offset, size); texts are a length byte and the capacity after it.
OUTPUT_NAME, DEST_MODE, DEST_DIR, TITLE, RUN_AFTER, CIPHER, DIGEST = (
    (4, 256), (260, 1), (261, 256), (518, 101), (619, 101), (721, 1), (722, 101))
TEXTS = (OUTPUT_NAME, DEST_DIR, TITLE, RUN_AFTER, DIGEST)


def put(blob, field_, data):
    offset, size = field_
    assert len(data) <= size
    blob[HEADER_OFFSET + offset:HEADER_OFFSET + offset + len(data)] = data


def name_field(name):
    return bytes([len(name)]) + name + bytes(255 - len(name))


@dataclass
class Row:
    id: str
    what: str
    mutate: object  # (bytearray) -> bytearray
    tool: tuple  # (exit code, text the message holds, or the name extracted for exit 0)
    # What the stub shows after its main dialog's OK (None: it never gets that far):
    #   ("refused", text)     an error box with the text, before the password is asked; exit 1
    #   ("error", pattern)    an error box after the password; exit 1
    #   ("wrong", None)       "Wrong password.", the dialog again (closed by the test)
    #   ("extracted", name)   exit 0, the file `name` holds PLAIN
    #   ("not-archive", None) the not-an-archive box before any dialog
    stub: tuple
    cipher: str = "aes256"


def named(name):
    return lambda blob: (put(blob, OUTPUT_NAME, name_field(name)), blob)[1]


def with_body(length):
    return lambda blob: blob[:BODY_OFFSET + length]


def refused(name, why):
    return ("refused", 'The output name "%s" %s.' % (name.decode("latin-1"), why))


def refused_name(row_id, what, name, why):
    """A row whose stored name zqv and the stub both refuse for the same reason."""
    return Row(row_id, what, named(name), (1, why), refused(name, why))


def all_ff(blob):
    blob[HEADER_OFFSET:HEADER_OFFSET + HEADER_SIZE] = b"\xff" * HEADER_SIZE
    return blob


def texts_unfilled(blob):
    for offset, size in TEXTS:
        put(blob, (offset, size), b"\xff" + b"A" * (size - 1))
    return blob


def selector(value):
    return lambda blob: (put(blob, CIPHER, bytes([value])), blob)[1]


def dest_mode_255(blob):
    put(blob, DEST_MODE, b"\xff")
    return blob


def count_above_block(blob):
    # The last byte of the tail block decrypts to garbage, read as the count: any count above
    # the block size must fail the digest, not read past the block.
    blob[-1] ^= 0x5A
    return blob


ROWS = [
    Row("header-all-ff", "a header of all 0xFF bytes", all_ff,
        (1, "no archive header magic"), ("not-archive", None)),
    Row("texts-255-unfilled", "every text's length byte 255, no zero fill", texts_unfilled,
        (3, "wrong password"), ("error", "*Cannot create file*")),
    Row("selector-5", "cipher selector 5", selector(5), (1, "unknown cipher selector 5"), ("wrong", None)),
    Row("selector-255", "cipher selector 255", selector(255), (1, "unknown cipher selector 255"), ("wrong", None)),
    Row("destination-mode-255", "destination mode 255: the stored folder", dest_mode_255,
        (0, NAME), ("extracted", NAME)),
    Row("name-255", "a 255-character name", named(b"n" * 251 + b".txt"), (0, "n" * 251 + ".txt"),
        ("extracted", "n" * 251 + ".txt")),
    refused_name("name-dotdot", "a name climbing out with ..", b"..\\x.txt",
                 "climbs out of the destination folder"),
    refused_name("name-dotdot-deep", "a name climbing out after a folder", b"a\\..\\..\\x.txt",
                 "climbs out of the destination folder"),
    refused_name("name-drive", "a drive letter", b"C:\\x.txt", "holds a colon (a drive or a stream)"),
    refused_name("name-drive-relative", "a drive-relative name", b"C:x.txt", "holds a colon (a drive or a stream)"),
    refused_name("name-stream", "an alternate data stream", b"x.txt:hidden", "holds a colon (a drive or a stream)"),
    refused_name("name-absolute", "a leading backslash", b"\\x.txt", "is an absolute path"),
    refused_name("name-con", "the device CON", b"CON", "names a device"),
    refused_name("name-nul-ext", "the device NUL with an extension", b"nul.txt", "names a device"),
    refused_name("name-com1", "the device COM1 in a folder", b"sub\\com1", "names a device"),
    refused_name("name-lpt1-ext", "the device LPT1 with an extension", b"LPT1.log", "names a device"),
    refused_name("name-device-folder", "a device as a folder", b"aux\\x.txt", "names a device"),
    Row("name-trailing-dot", "a trailing dot, dropped as Windows drops it", named(b"payload.txt."),
        (0, NAME), ("extracted", NAME)),
    Row("name-trailing-space", "trailing spaces, dropped as Windows drops them", named(b"payload.txt  "),
        (0, NAME), ("extracted", NAME)),
    Row("name-folder-trailing-dot", "a folder with a trailing dot", named(b"sub.\\payload.txt"),
        (0, "sub/" + NAME), ("extracted", "sub\\" + NAME)),
    Row("name-control", "a control character", named(b"pay\tload.txt"), (1, "holds a character"),
        ("error", "*Cannot create file*")),
    Row("name-wildcard", "a wildcard", named(b"pay*load.txt"), (1, "holds a character"),
        ("error", "*Cannot create file*")),
    Row("count-above-block", "a count byte above the block size", count_above_block,
        (3, "wrong password"), ("wrong", None)),
    Row("cut-inside-header", "the file ends inside the header, after the magic",
        lambda blob: blob[:HEADER_OFFSET + 100], (1, "Invalid file format"),
        ("error", "*Invalid file format.*")),
]
for cipher_name, block in CIPHERS.items():
    for length in sorted({0, 1, block - 1, block, 2 * block - 1}):
        ROWS.append(Row("body-%s-%d" % (cipher_name, length), "a %s body of %d bytes" % (cipher_name, length),
                        with_body(length), (1, "Invalid file format"), ("error", "*Invalid file format.*"),
                        cipher=cipher_name))

BY_ID = {row.id: row for row in ROWS}
assert len(BY_ID) == len(ROWS)


def escape(text):
    """A scenario argument: % and | are the harness's own characters."""
    return text.replace("%", "%%").replace("|", "%p")


def scenario(row):
    lines = ["# " + row.what,
             "@ text src/%s '%s'" % (NAME, PLAIN.decode()),
             '@ build src/%s a.exe --cipher %s --dest "$WCASE\\\\out" --mode overwrite' % (NAME, row.cipher),
             "@ python3 %s mutate %s a.exe" % (os.path.abspath(__file__), row.id),
             "mkdir %C\\out",
             "write %%C\\out\\%s|%s" % (KEEP, KEEP_TEXT),
             "start a.exe"]
    kind, detail = row.stub
    if kind == "not-archive":
        lines += ["msgbox box|Kestrix|This is not Kestrix ZQV SFX. Please download the file again.",
                  "click 1", "exit 0"]
    else:
        lines += ["window main|*", "click 1"]
        if kind == "refused":
            lines += ["msgbox box|Application Error|Exception EInOutError in module a.exe at *.%%r%%n%s%%r%%n"
                      % escape(detail), "click 1", "exit 1"]
        else:
            lines += ["window pw|Enter password:", "settext 101|" + PASSWORD, "click 1"]
            if kind == "error":
                lines += ["msgbox box|Application Error|%s" % detail, "click 1", "exit 1"]
            elif kind == "wrong":
                lines += ["msgbox box|Kestrix|Wrong password.", "click 1", "gone box", "use main", "close",
                          "exit 0"]
            elif kind == "extracted":
                lines.append("exit 0")
                # The harness opens files by paths of at most MAX_PATH characters; a longer one is
                # checked by the folder's listing alone.
                if len(detail) < 150:
                    lines.append("file-text %%C\\out\\%s|%s" % (detail, escape(PLAIN.decode())))
    lines.append("file-text %%C\\out\\%s|%s" % (KEEP, KEEP_TEXT))
    if kind == "extracted":
        top = detail.split("\\")[0]
        lines.append("folder %%C\\out|%s" % ",".join(sorted({KEEP, top})))
    else:
        lines.append("folder %%C\\out|%s" % KEEP)
    lines.append("no-file %C\\x.txt")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) == 4 and argv[1] == "mutate":
        with open(argv[3], "rb") as f:
            blob = bytearray(f.read())
        blob = BY_ID[argv[2]].mutate(blob)
        with open(argv[3], "wb") as f:
            f.write(blob)
    elif len(argv) == 3 and argv[1] == "scenarios":
        os.makedirs(argv[2], exist_ok=True)
        for row in ROWS:
            with open(os.path.join(argv[2], row.id + ".zqs"), "w") as f:
                f.write(scenario(row))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/env python3
"""Writes the page as one self-contained index.html: the style, the page's script, the worker's
source (code pages, the WebAssembly module and its binary as base64, the shared logic, the
worker) and the stub as base64, under a Content-Security-Policy that allows exactly these
inline scripts and style by their SHA-256 digests and forbids every connection. One file, so
that it works saved to disk and opened from there as well as served.

usage: assemble.py OUTPUT --template index.html --style style.css --stub zqvsfx.exe
                   --wasm zqv_web.wasm --page-js A.js ... --worker-js B.js ..."""
import argparse
import base64
import hashlib
import os
import re

STUB_SIZE = 95232


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def inline_safe(text, what):
    # Text inside <script> ends at the first "</script"; none of ours may hold one.
    if "</script" in text.lower() or "<!--" in text:
        text = text.replace("</script", "<\\/script").replace("<!--", "<\\!--")
        if "</script" in text.lower():
            raise SystemExit(f"assemble: {what} holds '</script'")
    return text


def digest(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode() + "'"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("output")
    ap.add_argument("--template", required=True)
    ap.add_argument("--style", required=True)
    ap.add_argument("--stub", required=True)
    ap.add_argument("--wasm", required=True)
    ap.add_argument("--page-js", nargs="+", required=True)
    ap.add_argument("--worker-js", nargs="+", required=True)
    a = ap.parse_args()

    stub = open(a.stub, "rb").read()
    if len(stub) != STUB_SIZE:
        raise SystemExit(f"assemble: {a.stub} is {len(stub)} bytes; the stub must be {STUB_SIZE}")
    style = read(a.style)
    script = inline_safe("\n".join(read(p) for p in a.page_js), "the page's script")
    # The module's binary, handed to it by the worker rather than fetched: no connection at all.
    wasm = "const kZqvWasmBase64 = '%s';\n" % base64.b64encode(open(a.wasm, "rb").read()).decode()
    worker = inline_safe(wasm + "\n".join(read(p) for p in a.worker_js), "the worker's script")
    csp = "; ".join([
        "default-src 'none'",
        f"script-src {digest(script)} 'wasm-unsafe-eval'",
        "worker-src blob:",
        f"style-src {digest(style)}",
        "img-src data:",
        "connect-src 'none'",
        "form-action 'none'",
        "base-uri 'none'",
    ])
    page = read(a.template)
    values = {"@CSP@": csp, "@STYLE@": style, "@WORKER@": worker,
              "@STUB@": base64.b64encode(stub).decode(), "@SCRIPT@": script}
    for key in values:
        if page.count(key) != 1:
            raise SystemExit(f"assemble: {a.template} must hold {key} once")
    # One pass, so that nothing inserted is taken for a placeholder.
    page = re.sub("|".join(values), lambda m: values[m.group(0)], page)
    os.makedirs(os.path.dirname(os.path.abspath(a.output)), exist_ok=True)
    tmp = a.output + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(page)
    os.replace(tmp, a.output)


if __name__ == "__main__":
    main()

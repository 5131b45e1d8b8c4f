// The page's workers: opens and makes archives with the WebAssembly module (createZqvModule, its
// binary in kZqvWasmBase64) and the shared logic (ZqvCore), all placed before this file. The
// chosen File is read in fixed chunks with FileReaderSync; the output is kept as Blob parts,
// sealed every few MiB, which the browser may keep out of the worker's memory.
//
// The page starts three: the one that does the work, a reader that reads the file for it, and a
// hasher, each joined to the first by a MessagePort. When
// opening, the first posts each sealed part to the hasher, which reads it back from the Blob and
// hashes it while the first decrypts on: the digest is of exactly the bytes offered for saving,
// and what waits for hashing is Blob parts, never copies in memory.
'use strict';

const kSealBytes = 4 << 20;

// The File read in the chunks asked for, the next chunk read ahead while this one is worked on.
function fileSource(file) {
  const fetch = (offset, count) => file.slice(offset, offset + count).arrayBuffer().then((b) => new Uint8Array(b));
  let ahead = null;
  return {
    size: file.size,
    read(offset, count) {
      const bytes = ahead && ahead.offset === offset && ahead.count === count ? ahead.bytes : fetch(offset, count);
      const next = offset + count;
      ahead = next < file.size ? { offset: next, count, bytes: fetch(next, count) } : null;
      return bytes;
    },
  };
}

// Chunks gathered into Blob parts; `onSealed(part)` sees each part as it is sealed.
function blobSink(onSealed = null) {
  const parts = [];
  let pending = [], pendingBytes = 0;
  const seal = () => {
    if (pending.length) {
      const part = new Blob(pending);
      parts.push(part);
      if (onSealed) onSealed(part);
    }
    pending = [];
    pendingBytes = 0;
  };
  return {
    write(bytes) {
      pending.push(bytes);
      pendingBytes += bytes.length;
      if (pendingBytes >= kSealBytes) seal();
    },
    blob(type) {
      seal();
      return new Blob(parts, { type });
    },
  };
}

const session = ZqvCore.createSession(createZqvModule, ZqvCodepages, {
  wasmBinary: Uint8Array.from(atob(kZqvWasmBase64), (c) => c.charCodeAt(0)),
}).then((zqv) => { zqv.warmUp(); return zqv; });
const progress = (done, total) => postMessage({ type: 'progress', done, total });

// The File read by the reader worker through `port`, up to kReadAhead chunks ahead of the one
// asked for: a read there blocks only that worker, and each chunk arrives here as one transferred
// buffer, without a copy, while the module works on the one before.
const kReadAhead = 3;
let sourceCount = 0;
function readerSource(file, port) {
  // Answers to an earlier source's reads still on their way are told apart by this number.
  const id = ++sourceCount;
  const asked = new Map();    // offset -> { promise, count }: asked for, not yet taken by read()
  const arriving = new Map(); // offset -> resolve: asked for, not yet answered
  port.onmessage = (event) => {
    const { source, offset, buffer, error } = event.data;
    if (source !== id) return;
    const resolve = arriving.get(offset);
    arriving.delete(offset);
    if (resolve) resolve(error ? Promise.reject(new Error(error)) : new Uint8Array(buffer));
  };
  const ask = (offset, count) => {
    if (offset >= file.size || asked.has(offset) || arriving.has(offset)) return;
    const promise = new Promise((resolve) => arriving.set(offset, resolve));
    asked.set(offset, { promise, count });
    port.postMessage({ cmd: 'read', source: id, file, offset, count });
  };
  return {
    size: file.size,
    read(offset, count) {
      ask(offset, count);
      for (let k = 1; k <= kReadAhead; ++k) ask(offset + k * count, count);
      const request = asked.get(offset);
      asked.delete(offset);
      if (!request) return Promise.resolve(new Uint8Array(0));
      // A chunk asked for with another count (never, in the module's sequential reads) is cut
      // or read again.
      return request.count >= count ? request.promise
        : request.promise.then(() => file.slice(offset, offset + count).arrayBuffer()).then((b) => new Uint8Array(b));
    },
  };
}

function serveReads(port) {
  const reader = new FileReaderSync();
  port.onmessage = (event) => {
    const { source, file, offset, count } = event.data;
    try {
      const buffer = reader.readAsArrayBuffer(file.slice(offset, offset + count));
      port.postMessage({ source, offset, buffer }, [buffer]);
    } catch (e) {
      port.postMessage({ source, offset, error: e.message || String(e) });
    }
  };
}

// ---- The hasher's side ----------------------------------------------------------------------------

function serveHashes(port, zqv) {
  const reader = new FileReaderSync();
  port.onmessage = (event) => {
    const m = event.data;
    try {
      if (m.cmd === 'start') zqv.sha1Start();
      else if (m.cmd === 'add') zqv.sha1Add(new Uint8Array(reader.readAsArrayBuffer(m.part)));
      else if (m.cmd === 'finish') port.postMessage({ digest: zqv.sha1Finish() });
    } catch (e) {
      port.postMessage({ error: e.message || String(e) });
    }
  };
}

// ---- The working side ---------------------------------------------------------------------------

let hasher = null;  // { port, resolve: the waiting hasherAnswer's }
let readerPort = null;

function joinHasher(port) {
  hasher = { port };
  port.onmessage = (event) => {
    const resolve = hasher.resolve;
    hasher.resolve = null;
    if (resolve) resolve(event.data);
  };
}

function hasherAnswer() {
  return new Promise((resolve) => { hasher.resolve = resolve; });
}

// The source a run reads its file from: through the reader worker when there is one.
const runSource = (file) => (readerPort ? readerSource(file, readerPort) : fileSource(file));

async function open(zqv, m) {
  const started = performance.now();
  const source = runSource(m.file);
  if (!hasher) {
    const sink = blobSink();
    const r = await zqv.open(source, sink, m.password, m.codepage, progress);
    return finishOpen(r.result === 'match', r, sink, started);
  }
  hasher.port.postMessage({ cmd: 'start' });
  const sink = blobSink((part) => hasher.port.postMessage({ cmd: 'add', part }));
  const r = await zqv.open(source, sink, m.password, m.codepage, progress, true);
  const blob = sink.blob('application/octet-stream');  // seals and posts the last part
  postMessage({ type: 'verifying' });
  const answer = hasherAnswer();
  hasher.port.postMessage({ cmd: 'finish' });
  const { digest, error } = await answer;
  if (error) throw new Error(`The output could not be hashed: ${error}`);
  return finishOpen(zqv.digestMatches(digest), r, { blob: () => blob }, started);
}

function finishOpen(match, r, sink, started) {
  if (r.result === 'wrong' || !match) return { type: 'wrong' };
  const seconds = (performance.now() - started) / 1000;
  return { type: 'opened', info: r.info, blob: sink.blob('application/octet-stream'), seconds, bytes: r.info.bodySize };
}

// Jobs one after another: the module is suspended while it waits for a read and must not be
// entered by the next message meanwhile.
let queue = Promise.resolve();
onmessage = (event) => { queue = queue.then(() => handle(event.data)); };

async function handle(m) {
  try {
    const zqv = await session;
    if (m.cmd === 'serve-hashes') {
      serveHashes(m.port, zqv);
    } else if (m.cmd === 'use-hasher') {
      joinHasher(m.port);
    } else if (m.cmd === 'serve-reads') {
      serveReads(m.port);
    } else if (m.cmd === 'use-reader') {
      readerPort = m.port;
    } else if (m.cmd === 'inspect') {
      postMessage({ type: 'inspected', info: await zqv.inspect(fileSource(m.file), m.codepage) });
    } else if (m.cmd === 'open') {
      postMessage(await open(zqv, m));
    } else if (m.cmd === 'make') {
      const sink = blobSink();
      const started = performance.now();
      const header = await zqv.make(runSource(m.file), sink, m.options, progress);
      const seconds = (performance.now() - started) / 1000;
      postMessage({ type: 'made', header, body: sink.blob(), seconds, bytes: m.file.size });
    }
  } catch (e) {
    postMessage({ type: e instanceof ZqvCore.Refusal ? 'refused' : 'failed', text: e.message || String(e) });
  }
}

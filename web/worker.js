// The page's workers: opens and makes archives with the WebAssembly module (createZqvModule, its
// binary in kZqvWasmBase64) and the shared logic (ZqvCore), all placed before this file.
//
// The page starts one worker that does the work and, each joined to it by a MessagePort, a few
// decrypters. Opening, the first reads the body in windows and hands each to a decrypter; they
// decrypt side by side (a CBC block decrypts from the ciphertext alone) and hand the buffers
// back, plaintext in place. It hashes the plaintexts in order and streams them into the Blob
// offered for saving, so the digest is of exactly the bytes saved. Making, it reads, encrypts and
// streams out alone (CBC encryption is one chain).
//
// How bytes move decides the speed: the File is read through one byte stream, not a reader per
// chunk (FileReaderSync, Blob.arrayBuffer or a stream per window each cost the browser more than
// the decryption), and the output goes to the browser's blob storage through one stream (a Blob
// made of each part costs as much again). Each new buffer costs a page fault per 4 KiB it holds,
// so a read is made into a buffer used again wherever its bytes do not travel on.
'use strict';

// Fills `buffer` (an ArrayBuffer) from byte `from` to `count` from `reader`, a byte stream's
// reader; answers the buffer (the same memory: the one given is handed over with each read) and
// the count it holds.
async function fill(reader, buffer, from, count) {
  let done = from;
  while (done < count) {
    const r = await reader.read(new Uint8Array(buffer, done, count - done));
    if (r.value) buffer = r.value.buffer;
    if (r.done) break;
    done += r.value.length;
  }
  return { buffer, count: done };
}

// The paths the page forces in place of the ones the browser offers (its "#force=" switch), for
// the tests: "copying-reader".
const forced = new Set();
// How the last file was read: "byte-stream" or "copying"; the answers tell the page.
let reads = '';

// A reader of `blob`'s bytes into the buffers given with each read, as a byte stream's reader in
// "byob" mode reads them. Where the browser's Blob streams are no byte streams (WebKit's are not)
// or the page forces it, the chunks of a default reader are copied in instead.
function byteReader(blob) {
  if (!forced.has('copying-reader')) {
    try {
      const reader = blob.stream().getReader({ mode: 'byob' });
      reads = 'byte-stream';
      return reader;
    } catch (e) {
      if (!(e instanceof TypeError)) throw e;
    }
  }
  const reader = blob.stream().getReader();
  reads = 'copying';
  let pending = new Uint8Array(0);  // what the last chunk holds beyond the last read
  return {
    async read(view) {
      if (!pending.length) {
        const r = await reader.read();
        if (r.done) return { value: new Uint8Array(view.buffer, view.byteOffset, 0), done: true };
        pending = r.value;
      }
      const n = Math.min(view.length, pending.length);
      view.set(pending.subarray(0, n));
      pending = pending.subarray(n);
      return { value: new Uint8Array(view.buffer, view.byteOffset, n), done: false };
    },
    cancel() { return reader.cancel(); },
  };
}

// The File as a source of chunks: one byte stream followed from the position asked first, a new
// one wherever a read goes elsewhere. The bytes answered are good until the next read.
function streamSource(file) {
  let reader = null, position = -1, buffer = new ArrayBuffer(0);
  return {
    size: file.size,
    // Ends the stream early, so that the browser stops reading ahead for it.
    close() {
      if (reader) reader.cancel().catch(() => {});
      reader = null;
      position = -1;
    },
    async read(offset, count) {
      if (offset !== position) {
        if (reader) reader.cancel().catch(() => {});
        reader = byteReader(file.slice(offset));
        position = offset;
      }
      if (buffer.byteLength < count) buffer = new ArrayBuffer(count);
      const r = await fill(reader, buffer, 0, count);
      buffer = r.buffer;
      position += r.count;
      return new Uint8Array(buffer, 0, r.count);
    },
  };
}

// The output, streamed into one Blob the browser stores where it keeps large data. A write
// waits while the browser is behind, so what is queued here stays bounded.
function streamSink(type = '') {
  const { readable, writable } = new TransformStream({}, { highWaterMark: 4 }, { highWaterMark: 4 });
  const blob = new Response(readable, { headers: { 'Content-Type': type } }).blob();
  const writer = writable.getWriter();
  return {
    async write(bytes) {
      await writer.ready;
      writer.write(bytes).catch(() => {});  // a failed stream fails the next write or the close
    },
    async blob() {
      await writer.close();
      return blob;
    },
  };
}

const session = ZqvCore.createSession(createZqvModule, ZqvCodepages, {
  wasmBinary: Uint8Array.from(atob(kZqvWasmBase64), (c) => c.charCodeAt(0)),
}).then((zqv) => { zqv.warmUp(); return zqv; });
const progress = (done, total) => postMessage({ type: 'progress', done, total });

// ---- A decrypter's side -------------------------------------------------------------------------

// Decrypts the windows of the body it is handed and hands each back with its plaintext in place.
function serveWindows(port, zqv) {
  let run = null;  // { id, cipher, password }
  port.onmessage = (event) => {
    const m = event.data;
    if (m.cmd === 'start') {
      run = m;
      return;
    }
    try {
      const bytes = new Uint8Array(m.buffer);
      const plain = zqv.decryptWindow(run.cipher, run.password, bytes, m.last);
      bytes.set(plain);
      port.postMessage({ id: run.id, index: m.index, buffer: m.buffer, length: plain.length }, [m.buffer]);
    } catch (e) {
      port.postMessage({ id: run.id, index: m.index, error: e.message || String(e),
                         refusal: e instanceof ZqvCore.Refusal });
    }
  };
}

// ---- The working side ---------------------------------------------------------------------------

const decrypters = [];  // { port, busy: windows sent and not yet answered }

// Windows of kWindowBytes, up to kWindowsAhead per decrypter on their way: each decrypter has the
// next one at hand when it answers, and what is read ahead stays bounded.
const kWindowBytes = 1 << 20;
const kWindowsAhead = 2;
let runCount = 0;

// The windows' bytes in order, read from one byte stream of the File (a stream per window costs
// the browser more than the decryption); a window begins with the blocks the one before ended
// with, kept from it. Each window is read into a buffer of its own, which goes on to a decrypter
// and then into the output. close() ends the stream early.
function windowReader(file, windows) {
  const reader = windows.length ? byteReader(file.slice(windows[0].offset)) : null;
  let carry = new Uint8Array(0);
  let next = 0;
  const read = async () => {
    const w = windows[next++];
    const buffer = new ArrayBuffer(w.count);
    new Uint8Array(buffer).set(carry);
    const r = await fill(reader, buffer, carry.length, w.count);
    if (r.count !== w.count) throw new Error('The file changed while it was read.');
    const following = windows[next];
    if (following) carry = new Uint8Array(r.buffer, following.offset - w.offset).slice();
    return r.buffer;
  };
  read.close = () => { if (reader) reader.cancel().catch(() => {}); };
  return read;
}

// Decrypts the body of `file` in windows spread over the decrypters; `onPlain(plain, window)`
// takes their plaintexts in order (and may answer a promise, awaited before the next).
async function decryptInWindows(file, windows, run, onPlain) {
  const read = windowReader(file, windows);
  const answers = [];  // per window sent: { promise, resolve, reject }
  let sent = 0;
  // Each window to the decrypter with the fewest on their way.
  const topUp = async (taken) => {
    while (sent < windows.length && sent < taken + kWindowsAhead * decrypters.length) {
      const d = decrypters.reduce((a, b) => (b.busy < a.busy ? b : a));
      if (d.busy >= kWindowsAhead) break;
      const index = sent++;
      const answer = {};
      answer.promise = new Promise((resolve, reject) => Object.assign(answer, { resolve, reject }));
      answer.promise.catch(() => {});  // raised where it is awaited
      answers[index] = answer;
      ++d.busy;
      const buffer = await read();
      d.port.postMessage({ cmd: 'window', index, buffer, last: windows[index].last }, [buffer]);
    }
  };
  for (const d of decrypters) {
    d.busy = 0;
    d.port.postMessage({ cmd: 'start', ...run });
    d.port.onmessage = (event) => {
      const a = event.data;
      if (a.id !== run.id) return;  // an answer to a run that failed
      --d.busy;
      if (a.error) answers[a.index].reject(a.refusal ? new ZqvCore.Refusal(a.error) : new Error(a.error));
      else answers[a.index].resolve(new Uint8Array(a.buffer, 0, a.length));
    };
  }
  try {
    for (let taken = 0; taken < windows.length; ++taken) {
      await topUp(taken);
      const plain = await answers[taken].promise;
      answers[taken] = null;
      await onPlain(plain, windows[taken]);
    }
  } finally {
    read.close();
  }
}

// The header of `m.file`, read and shown (Session.inspect); only its bytes are read.
async function inspect(zqv, m) {
  const source = streamSource(m.file);
  try {
    return await zqv.inspect(source, m.codepage);
  } finally {
    source.close();
  }
}

async function open(zqv, m) {
  const started = performance.now();
  const info = await inspect(zqv, m);
  if (info.problem) throw new ZqvCore.Refusal(info.problem);
  const password = zqv.passwordBytes(m.password, m.codepage);
  const windows = zqv.bodyWindows(info, kWindowBytes);
  const bodyStart = info.fileSize - info.bodySize;
  const sink = streamSink('application/octet-stream');
  let reported = 0;
  zqv.sha1Start();
  await decryptInWindows(m.file, windows, { id: ++runCount, cipher: info.cipher, password }, (plain, w) => {
    zqv.sha1Add(plain);
    const now = performance.now();
    if (now - reported >= 100 || w.last) {
      reported = now;
      progress(w.offset + w.count - bodyStart, info.bodySize);
    }
    return sink.write(plain);
  });
  const blob = await sink.blob();
  if (!zqv.digestMatches(zqv.sha1Finish())) return { type: 'wrong' };
  const seconds = (performance.now() - started) / 1000;
  return { type: 'opened', info, blob, seconds, bytes: info.bodySize, reads };
}

// Jobs one after another: the module is suspended while it waits for a read and must not be
// entered by the next message meanwhile.
let queue = Promise.resolve();
onmessage = (event) => { queue = queue.then(() => handle(event.data)); };

async function handle(m) {
  try {
    const zqv = await session;
    if (m.cmd === 'force') {
      for (const path of m.paths) forced.add(path);
    } else if (m.cmd === 'serve-windows') {
      serveWindows(m.port, zqv);
    } else if (m.cmd === 'use-decrypter') {
      decrypters.push({ port: m.port, busy: 0 });
    } else if (m.cmd === 'inspect') {
      postMessage({ type: 'inspected', info: await inspect(zqv, m) });
    } else if (m.cmd === 'open') {
      postMessage(await open(zqv, m));
    } else if (m.cmd === 'make') {
      const sink = streamSink();
      const started = performance.now();
      const header = await zqv.make(streamSource(m.file), sink, m.options, progress);
      const body = await sink.blob();
      const seconds = (performance.now() - started) / 1000;
      postMessage({ type: 'made', header, body, seconds, bytes: m.file.size, reads });
    }
  } catch (e) {
    postMessage({ type: e instanceof ZqvCore.Refusal ? 'refused' : 'failed', text: e.message || String(e) });
  }
}

// The page's workers: opens and makes archives with the WebAssembly module (createZqvModule, its
// binary in kZqvWasmBase64) and the shared logic (ZqvCore), all placed before this file.
//
// The page starts one worker that does the work and, beside it, a few decrypters and a hasher,
// whose messages to and from it the page hands on (see relayPort). Opening, the first reads the
// body in windows and hands each to a decrypter; they decrypt side by side (a CBC block decrypts
// from the ciphertext alone) and hand the plaintexts back. The hasher takes the plaintexts in
// order, hashes them and stores them (a file of the browser's own file system, a Blob, or a file
// the user picked, which takes the plaintext only once its digest is found good), so the digest
// is of exactly the bytes saved.
// Making, the first reads, encrypts and streams out (CBC encryption is one chain) while the
// hasher hashes copies of the plaintext beside it. AES runs on the browser's own AES-CBC where it
// has one (ZqvCore), the other ciphers and SHA-1 on the module.
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
// the tests: "copying-reader", "page-reads".
const forced = new Set();
// How the last file was read: "byte-stream", "copying" or "page" (the page read it, copying);
// the answers tell the page.
let reads = '';
// Whether the page reads files for this worker: where the browser lets a worker read no Blob at
// all (WebKit's, in a page opened from disk: every read fails as unreadable, even of a Blob the
// worker made), or the page forces it. Settled by the page's first message ('setup').
let pageReads = false;

// A default reader of `blob` whose chunks the page reads and hands over (see pageReads). The
// answers come in through onmessage ahead of the queue of jobs, which is waiting on them.
const pageChunks = new Map();  // read id → { resolve, reject } of the chunk asked for
let pageReadCount = 0;
function pageReader(blob) {
  const id = ++pageReadCount;
  postMessage({ type: 'read', id, blob });
  return {
    read: () => new Promise((resolve, reject) => {
      pageChunks.set(id, { resolve, reject });
      postMessage({ type: 'read-next', id });
    }),
    cancel() {
      pageChunks.delete(id);
      postMessage({ type: 'read-cancel', id });
      return Promise.resolve();
    },
  };
}

function takeChunk(m) {
  const asked = pageChunks.get(m.id);
  pageChunks.delete(m.id);
  if (!asked) return;
  if (m.error) asked.reject(new Error(m.error));
  else asked.resolve({ done: m.done, value: m.value });
}

// A reader of `blob`'s bytes into the buffers given with each read, as a byte stream's reader in
// "byob" mode reads them. Where the browser's Blob streams are no byte streams (WebKit's are not)
// or the page forces it, the chunks of a default reader are copied in instead; where the page
// reads for the worker, the chunks come from the page.
function byteReader(blob) {
  if (!pageReads && !forced.has('copying-reader')) {
    try {
      const reader = blob.stream().getReader({ mode: 'byob' });
      reads = 'byte-stream';
      return reader;
    } catch (e) {
      if (!(e instanceof TypeError)) throw e;
    }
  }
  const reader = pageReads ? pageReader(blob) : blob.stream().getReader();
  reads = pageReads ? 'page' : 'copying';
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

// The output, streamed into Blobs the browser stores where it keeps large data, one per segment
// of kBlobSegmentBytes, joined into one Blob at the end: WebKit keeps a streamed Blob in memory as
// one buffer and ends a page whose buffer passes 2 GiB. A write waits while the browser is
// behind, so what is queued here stays bounded.
const kBlobSegmentBytes = 256 * 1048576;
function blobSink(type = '') {
  const segments = [];
  let segment = null, held = 0;
  const open = () => {
    const { readable, writable } = new TransformStream({}, { highWaterMark: 4 }, { highWaterMark: 4 });
    return { blob: new Response(readable).blob(), writer: writable.getWriter() };
  };
  const close = async () => {
    await segment.writer.close();
    segments.push(await segment.blob);
    segment = null;
  };
  return {
    kind: 'blob',
    async write(bytes) {
      if (segment && held + bytes.length > kBlobSegmentBytes) await close();
      if (!segment) { segment = open(); held = 0; }
      held += bytes.length;
      await segment.writer.ready;
      segment.writer.write(bytes).catch(() => {});  // a failed stream fails the next write or the close
    },
    // The whole output, with `head` (Blobs or bytes) before it.
    async output(head = []) {
      if (segment) await close();
      heldOutput = new Blob([...head, ...segments], { type });
      return heldOutput;
    },
    abort() { if (segment) segment.writer.abort().catch(() => {}); segment = null; },
  };
}

// The last output Blob this worker made, held until it makes the next. Firefox can collect a
// worker's Blob made from a stream once the worker drops it, and the page's copy of it then
// reads as empty: a save of no bytes. Holding it costs no memory, the bytes are the browser's.
let heldOutput = null;

// The output written to a file of the browser's own file system (the origin private file
// system), named by the page, through a sync access handle: straight to disk in the writes it is
// given, starting at byte `start`; output() closes it and answers the File the browser backs with
// that disk file, which the page offers without reading it. writeAt() places what goes before
// `start` (a made archive's stub and header, known last).
async function diskSink(name, start = 0) {
  const folder = await navigator.storage.getDirectory();
  const handle = await folder.getFileHandle(name, { create: true });
  const access = await handle.createSyncAccessHandle();
  let position = start, closed = false;
  const writeAt = (bytes, at) => {
    try {
      for (let done = 0; done < bytes.length;) {
        const n = access.write(bytes.subarray(done), { at: at + done });
        if (!(n > 0)) throw new Error('the browser wrote nothing');
        done += n;
      }
    } catch (e) {
      if (e && e.name === 'QuotaExceededError')
        throw new Error('The browser refused the output more room: its storage for this page is full.');
      throw e;
    }
  };
  const close = () => { if (!closed) { closed = true; access.close(); } };
  try {
    access.truncate(0);
  } catch (e) {
    close();
    throw e;
  }
  return {
    kind: 'disk',
    write(bytes) {
      writeAt(bytes, position);
      position += bytes.length;
    },
    writeAt,
    async output() {
      access.flush();
      close();
      return handle.getFile();
    },
    abort() { try { close(); } catch (e) { /* closed with the worker */ } },
  };
}

// The output written to a file the user picked (showSaveFilePicker's handle, posted by the page),
// piece by piece as it comes, through the handle's writable stream. The browser writes such a
// stream to a file of its own beside the target and puts it in the target's place only when the
// stream is closed: output() closes it, which the hasher does only once the digest has been found
// good ('commit'); abort() discards what was written and leaves the target as it was, and answers
// whether the browser confirmed it.
// Up to kPickedWritesAhead writes are left on their way while the next pieces are hashed: the
// stream's own queue holds one, and waiting on each write alone kept hashing and writing apart.
const kPickedWritesAhead = 4;
async function pickedSink(handle) {
  const writer = (await handle.createWritable()).getWriter();
  const writes = [];
  return {
    kind: 'picked',
    commits: true,
    async write(bytes) {
      const written = writer.write(bytes);
      written.catch(() => {});  // raised where it is awaited, or by the close
      writes.push(written);
      if (writes.length > kPickedWritesAhead) await writes.shift();
    },
    async output() {
      await writer.close();
      return null;
    },
    abort() { return writer.abort().then(() => true, () => false); },
  };
}

// The sink `store` asks for: { kind: 'disk', name } (the browser's file system, or a Blob where a
// worker cannot have it), { kind: 'picked', handle } (a file the user picked), { kind: 'blob' },
// or null for none.
async function outputSink(store, type = '', start = 0) {
  if (!store) return null;
  if (store.kind === 'picked') return pickedSink(store.handle);
  if (store.kind === 'disk') {
    try {
      return await diskSink(store.name, start);
    } catch (e) {
      if (store.only) throw e;
    }
  }
  return blobSink(type);
}

const session = ZqvCore.createSession(createZqvModule, ZqvCodepages, {
  wasmBinary: Uint8Array.from(atob(kZqvWasmBase64), (c) => c.charCodeAt(0)),
}).then((zqv) => { zqv.warmUp(); return zqv; });
const progress = (done, total) => postMessage({ type: 'progress', done, total });

// ---- A decrypter's side -------------------------------------------------------------------------

// Whether a decrypter frees the platform AES's answer at once, by transferring it to no length.
// Gecko collects those answers only seldom: opening 1 GiB, they piled up to about 200 MiB in the
// decrypters, and freed so, to nothing. Blink collects them well by itself, but keeps the memory
// of one transferred so: opening 1 GiB then held 1 GiB, still held after the open had ended.
// Nothing a page can test tells the two apart, so it goes by the engine's name.
const kFreeAnswers = typeof ArrayBuffer.prototype.transfer === 'function' && / Firefox\//.test(navigator.userAgent);

// Decrypts the windows of the body it is handed and hands back each one's plaintext, in the
// window's own buffer. Answers the handler of the messages to it.
function serveWindows(port) {
  let run = null;  // { id, cipher, password, key: the platform's AES key (a promise), or null }
  return async (m) => {
    const zqv = await session;
    if (m.cmd === 'start') {
      run = { ...m, key: zqv.aesKey(m.cipher, m.password) };
      run.key.catch(() => {});  // raised by the windows that await it
      return;
    }
    const { id, cipher, password } = run;
    try {
      const bytes = new Uint8Array(m.buffer, 0, m.length);
      const key = await run.key;
      // The window's buffer is the one that goes round; the platform's AES answers in memory of
      // its own, copied in and then dropped (see kFreeAnswers).
      const plain = key ? await zqv.decryptWindowAes(key, cipher, bytes, m.last)
        : zqv.decryptWindow(cipher, password, bytes, m.last);
      const length = plain.length;
      bytes.set(plain);
      if (key && kFreeAnswers) plain.buffer.transfer(0);
      port.postMessage({ id, index: m.index, buffer: m.buffer, offset: 0, length }, [m.buffer]);
    } catch (e) {
      port.postMessage({ id, index: m.index, error: e.message || String(e), refusal: e instanceof ZqvCore.Refusal });
    }
  };
}

// ---- The hasher's side --------------------------------------------------------------------------

// The sink of the hasher's run, which the page may also abort ('abort-output', when it cancels).
let hasherSink = null;

// Hashes the pieces it is handed, in order, and when asked stores them too (outputSink); answers
// each piece when it is done with it, and the digest (and the output) at the end. A sink that
// commits (a picked file) is closed only when the working worker has checked the digest and says
// so ('commit'); 'abort' discards it, and answers whether that was confirmed. A run with `hash`
// false only stores: the browser's own floor for the output path (bench/web-open). Answers the
// handler of the messages to it; the page's 'abort-output' is taken at once, ahead of the queue.
function serveHashing(port) {
  let hash = true;
  let queue = Promise.resolve();
  const handle = async (m) => {
    const zqv = await session;
    try {
      if (m.cmd === 'begin') {
        if (hasherSink) hasherSink.abort();
        hasherSink = null;
        hash = m.hash !== false;
        zqv.sha1Start();
        hasherSink = await outputSink(m.store, m.type);
      } else if (m.cmd === 'abort') {
        const was = hasherSink;
        hasherSink = null;
        heldOutput = null;  // a wrong password's output is not kept
        const aborted = was ? (await was.abort()) !== false : true;
        port.postMessage({ id: m.id, aborted });
      } else if (m.cmd === 'commit') {
        const was = hasherSink;
        hasherSink = null;
        await was.output();
        port.postMessage({ id: m.id, committed: true });
      } else if (m.cmd === 'piece') {
        const bytes = new Uint8Array(m.buffer, m.offset, m.length);
        if (hash) zqv.sha1Add(bytes);
        if (hasherSink && hasherSink.kind !== 'disk') {  // written as it goes, the buffer with it
          await hasherSink.write(bytes);
          port.postMessage({ id: m.id, took: true });
        } else {
          if (hasherSink) hasherSink.write(bytes);  // copied to the file at once
          port.postMessage({ id: m.id, took: true, spare: m.buffer }, [m.buffer]);  // to be used again
        }
      } else if (m.cmd === 'end') {
        const digest = zqv.sha1Finish();
        const kind = hasherSink ? hasherSink.kind : '';
        const output = hasherSink && !hasherSink.commits ? await hasherSink.output() : null;
        if (!(hasherSink && hasherSink.commits)) hasherSink = null;
        port.postMessage({ id: m.id, digest, output, kind });
      }
    } catch (e) {
      port.postMessage({ id: m.id, error: e.message || String(e) });
    }
  };
  return (m) => {
    if (m.cmd === 'abort-output') return abortOutput();
    queue = queue.then(() => handle(m));
  };
}

// The page cancels: a picked file's writing is discarded before the page ends this worker.
async function abortOutput() {
  const was = hasherSink;
  hasherSink = null;
  if (was && was.kind === 'picked') await was.abort().catch(() => {});
  postMessage({ type: 'output-aborted' });
}

// ---- The working side ---------------------------------------------------------------------------

// The decrypters' and the hasher's messages go through the page, which hands each one on with the
// buffers it carries: Firefox 153 copies a buffer sent on a MessagePort between two workers through
// a thread of its own, at about 280 MiB/s there and back, and moves one sent to or from the page
// without a copy. A relay port stands in for a MessagePort to helper `to` (a number: the
// decrypter; 'hasher').
const relayPorts = new Map();
function relayPort(to) {
  const port = {
    onmessage: null,
    postMessage(data, transfer = []) { postMessage({ type: 'relay', to, data }, transfer); },
  };
  relayPorts.set(to, port);
  return port;
}
function relayed(m) {
  const port = relayPorts.get(m.from);
  if (port && port.onmessage) port.onmessage({ data: m.data });
}

const decrypters = [];  // { port, busy: windows sent and not yet answered }
let hasherPort = null;
let hashCount = 0;
// Pieces handed to the hasher and not yet hashed (and stored) at most: what waits stays bounded.
const kPiecesAhead = 4;

// One run of the hasher: add(bytes) hands the piece over (its buffer is transferred) and waits
// while the hasher is behind; end() answers { digest, output, kind }; commit() closes an output
// that commits (a picked file) once its digest was found good; abort() ends a run that failed or
// whose digest does not match, discarding its output, and answers whether the hasher confirmed
// it. With `store` (see outputSink), the pieces are stored too; with `hash` false they are only
// stored.
function hashing(store, type = '', hash = true) {
  const id = ++hashCount;
  let ahead = 0, resume = null, ended = null, failure = null, committed = null, aborted = null;
  hasherPort.onmessage = (event) => {
    const a = event.data;
    if (a.id !== id) return;
    if (a.error) failure = failure || new Error(a.error);
    if (a.spare) keepSpare(a.spare);
    if (a.took || a.error) {
      --ahead;
      if (resume && (ahead < kPiecesAhead || failure)) { resume(); resume = null; }
    }
    if (a.digest && ended) ended.resolve(a);
    if (a.error && ended) ended.reject(failure);
    if (a.committed && committed) committed.resolve();
    if (a.error && committed) committed.reject(new Error(a.error));
    if (a.aborted !== undefined && aborted) aborted(a.aborted);
  };
  hasherPort.postMessage({ cmd: 'begin', id, store, type, hash });
  return {
    async add(bytes) {
      if (failure) throw failure;
      ++ahead;
      hasherPort.postMessage({ cmd: 'piece', id, buffer: bytes.buffer, offset: bytes.byteOffset, length: bytes.length },
                             [bytes.buffer]);
      if (ahead >= kPiecesAhead) await new Promise((resolve) => { resume = resolve; });
      if (failure) throw failure;
    },
    end() {
      return new Promise((resolve, reject) => {
        ended = { resolve, reject };
        if (failure) return reject(failure);
        hasherPort.postMessage({ cmd: 'end', id });
      });
    },
    commit() {
      return new Promise((resolve, reject) => {
        committed = { resolve, reject };
        hasherPort.postMessage({ cmd: 'commit', id });
      });
    },
    abort() {
      hasherPort.postMessage({ cmd: 'abort', id });
      return new Promise((resolve) => { aborted = resolve; });
    },
  };
}

// Windows of kWindowBytes, up to kWindowsAhead per decrypter on their way: each decrypter has the
// next one at hand when it answers, and what is read ahead stays bounded. Half a MiB: in both
// Chromium 156 and Firefox 153 a Web Cryptography call on a little under 1 MiB runs at about
// 2 GB/s and on 1 MiB at under 200 MB/s, since memory that large is mapped afresh for each call.
const kWindowBytes = 1 << 19;
const kWindowsAhead = 2;
let runCount = 0;

// Buffers handed back by the decrypters (the browser's AES leaves its input free) and by the
// hasher (the copies it hashed while making), used again: a new ArrayBuffer costs the browser
// about as much per byte as reading it.
// At most kSpareBuffers are kept: the decrypters and the hasher each hand back one per window,
// and what a window does not take must not pile up over a long run.
const spareBuffers = [];
const kSpareBuffers = 8;
function keepSpare(buffer) {
  if (spareBuffers.length < kSpareBuffers) spareBuffers.push(buffer);
}
function windowBuffer(size) {
  while (spareBuffers.length) {
    const buffer = spareBuffers.pop();
    if (buffer.byteLength >= size) return buffer;
  }
  return new ArrayBuffer(size);
}

// The windows' bytes in order, read from one byte stream of the File (a stream per window costs
// the browser more than the decryption); a window begins with the blocks the one before ended
// with, kept from it. Each window is read into a buffer (of at least its size) that goes on to a
// decrypter. The stream ends with the last window, where the body ends: a signer's certificate
// table after it is not read. close() ends the stream early.
function windowReader(file, windows) {
  const end = windows.length ? windows[windows.length - 1].offset + windows[windows.length - 1].count : 0;
  const reader = windows.length ? byteReader(file.slice(windows[0].offset, end)) : null;
  let carry = new Uint8Array(0);
  let next = 0;
  const read = async () => {
    const w = windows[next++];
    const buffer = windowBuffer(w.count);
    new Uint8Array(buffer).set(carry);
    const r = await fill(reader, buffer, carry.length, w.count);
    if (r.count !== w.count) throw new Error('The file changed while it was read.');
    const following = windows[next];
    if (following) carry = new Uint8Array(r.buffer, 0, w.count).slice(following.offset - w.offset);
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
      d.port.postMessage({ cmd: 'window', index, buffer, length: windows[index].count, last: windows[index].last },
                         [buffer]);
    }
  };
  for (const d of decrypters) {
    d.busy = 0;
    d.port.postMessage({ cmd: 'start', ...run });
    d.port.onmessage = (event) => {
      const a = event.data;
      if (a.id !== run.id) return;  // an answer to a run that failed
      --d.busy;
      if (a.spare) keepSpare(a.spare);
      if (a.error) answers[a.index].reject(a.refusal ? new ZqvCore.Refusal(a.error) : new Error(a.error));
      else answers[a.index].resolve(new Uint8Array(a.buffer, a.offset, a.length));
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
  const hashed = hashing(m.store, 'application/octet-stream');
  const picked = m.store && m.store.kind === 'picked';
  let reported = 0, size = 0;
  try {
    await decryptInWindows(m.file, windows, { id: ++runCount, cipher: info.cipher, password }, (plain, w) => {
      const now = performance.now();
      if (now - reported >= 100 || w.last) {
        reported = now;
        progress(w.offset + w.count - info.bodyStart, info.bodySize);
      }
      size += plain.length;
      return hashed.add(plain);
    });
  } catch (e) {
    // A picked file is discarded before the failure is told: the page then says it was not saved.
    const aborted = hashed.abort();
    if (picked) e.untrusted = !(await aborted);
    throw e;
  }
  let digest, output, kind;
  try {
    ({ digest, output, kind } = await hashed.end());
  } catch (e) {
    const aborted = hashed.abort();
    if (picked) e.untrusted = !(await aborted);
    throw e;
  }
  if (!zqv.digestMatches(digest)) {
    const aborted = await hashed.abort();
    return { type: 'wrong', output: kind, untrusted: picked && !aborted };
  }
  // The picked file takes the plaintext's place only now, its digest found good.
  if (kind === 'picked') await hashed.commit();
  const seconds = (performance.now() - started) / 1000;
  return { type: 'opened', info, file: output, size, output: kind, seconds, bytes: info.bodySize, reads,
           aes: zqv.aesRunsOn(info.cipher) };
}

// Makes the archive into the output m.store asks for (see outputSink): the stub (m.stub), the
// header and the body. On a file the body is written first, after room for the stub and the
// header, which are written last (the header's digest line is known only then).
async function make(zqv, m) {
  const type = 'application/vnd.microsoft.portable-executable';
  const sink = await outputSink(m.store, type, m.stub.length + zqv.headerSize());
  const started = performance.now();
  // AES bodies are hashed beside the encryption, from copies (the source's buffer is used again).
  let hashed = null;
  const hasher = {
    start() { hashed = hashing(null); },
    add(bytes) {
      const copy = new Uint8Array(windowBuffer(bytes.length), 0, bytes.length);
      copy.set(bytes);
      return hashed.add(copy);
    },
    async finish() { return (await hashed.end()).digest; },
  };
  let file;
  try {
    const header = await zqv.make(streamSource(m.file), sink, m.options, progress, hasher);
    if (sink.kind === 'disk') {
      sink.writeAt(m.stub, 0);
      sink.writeAt(header, m.stub.length);
      file = await sink.output();
    } else {
      file = await sink.output([m.stub, header]);
    }
  } catch (e) {
    sink.abort();
    throw e;
  }
  const seconds = (performance.now() - started) / 1000;
  return { type: 'made', file, output: sink.kind, seconds, bytes: m.file.size, reads,
           aes: zqv.aesRunsOn(m.options.cipher) };
}

// The browser's own floor for the output path m.store asks for: the file read as an open reads
// the body (one byte stream, windows of kWindowBytes) and stored as an open stores its output
// (handed to the hasher worker, which writes it), with nothing decrypted or hashed.
async function floor(zqv, m) {
  const started = performance.now();
  const reader = byteReader(m.file);
  const stored = hashing(m.store, 'application/octet-stream', false);
  try {
    for (;;) {
      const r = await fill(reader, windowBuffer(kWindowBytes), 0, kWindowBytes);
      if (r.count > 0) await stored.add(new Uint8Array(r.buffer, 0, r.count));
      if (r.count < kWindowBytes) break;
    }
  } catch (e) {
    stored.abort();
    throw e;
  }
  const { output, kind } = await stored.end();
  const seconds = (performance.now() - started) / 1000;
  return { type: 'floor', file: output, output: kind, seconds, bytes: m.file.size, reads };
}

// Jobs one after another: the module is suspended while it waits for a read and must not be
// entered by the next message meanwhile. A decrypter or the hasher, once told what it serves,
// takes every later message there, in order.
let queue = Promise.resolve();
let served = null;
onmessage = (event) => {
  const m = event.data;
  if (m.cmd === 'chunk') return takeChunk(m);
  if (m.cmd === 'relay') return relayed(m);
  if (served) return served(m);
  if (m.cmd === 'serve-windows') served = serveWindows(self);
  else if (m.cmd === 'serve-hashing') served = serveHashing(self);
  else queue = queue.then(() => handle(m));
};

async function handle(m) {
  try {
    const zqv = await session;
    if (m.cmd === 'setup') {
      for (const path of m.forced) forced.add(path);
      zqv.usePlatformAes(!forced.has('module-aes'));
      pageReads = forced.has('page-reads') ||
        await new Blob([new Uint8Array(1)]).arrayBuffer().then(() => false, () => true);
    } else if (m.cmd === 'helpers') {
      for (let k = 0; k < m.decrypters; ++k) decrypters.push({ port: relayPort(k), busy: 0 });
      hasherPort = relayPort('hasher');
    } else if (m.cmd === 'inspect') {
      postMessage({ type: 'inspected', info: await inspect(zqv, m) });
    } else if (m.cmd === 'open') {
      postMessage(await open(zqv, m));
    } else if (m.cmd === 'make') {
      postMessage(await make(zqv, m));
    } else if (m.cmd === 'floor') {
      postMessage(await floor(zqv, m));
    }
  } catch (e) {
    postMessage({ type: e instanceof ZqvCore.Refusal ? 'refused' : 'failed', text: e.message || String(e),
                  untrusted: e.untrusted });
  }
}

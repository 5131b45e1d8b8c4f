// Opening and making archives with the WebAssembly module, shared by the page's worker and the
// Node runner (zqv-node.js). The input is a source ({ size, read(offset, count) }: bytes, or a
// promise of them, good until the next read, in chunks the module asks for) and the output goes
// to a sink (write(bytes) keeps each chunk it is given; it may answer a promise, awaited before
// the module goes on), so that nothing here holds more than one chunk.
// One call at a time: the module is suspended while a read is awaited and must not be entered
// meanwhile.
'use strict';

// The module's answers (web/ZqvWeb.cpp).
const kArchiveOk = 0, kNotAnArchive = 1, kUnknownCipher = 2, kEmptyOutput = 3, kBodyTooShort = 4;
const kRunMatch = 0, kRunMismatch = 1, kRunInvalid = 2;
const kFieldName = 0, kFieldDestination = 1, kFieldTitle = 2, kFieldRunAfter = 3;

// The self-extractor's own messages.
const kNotArchiveText = 'This is not Kestrix ZQV SFX. Please download the file again.';
const kWrongPasswordText = 'Wrong password.';
const kInvalidFormatText = 'Invalid file format';

const kCiphers = ['Blowfish', 'DES', 'Triple-DES', 'AES-128', 'AES-256'];
const kOverwriteModes = ['overwrite', 'skip', 'confirm'];
const kDestinationModes = ['current folder when empty', 'temporary folder', 'as stored'];
const kReportMilliseconds = 100;

// A refusal of the user's input, shown as it stands.
class Refusal extends Error {}

// AES bodies go through the platform's Web Cryptography API (crypto.subtle's AES-CBC, which uses
// the processor's AES instructions) where it has one: browsers in a secure context (a page from
// disk or from 127.0.0.1 is one) and Node. Its AES-CBC always pads: a window decrypts with one
// more block appended whose plaintext is a whole padding block, and encrypting drops the block
// it appends. The module's own AES runs where the platform has none.
const kAesBlock = 16;
const kPaddingBlock = new Uint8Array(kAesBlock).fill(kAesBlock);
// The plaintext bytes a make encrypts per call of the platform's cipher: half a MiB, since the
// browsers map memory of 1 MiB afresh for each call and run several times slower there.
const kMakeWindowBytes = 1 << 19;

function platformSubtle() {
  if (globalThis.crypto && globalThis.crypto.subtle) return globalThis.crypto.subtle;
  // Node 18 (Debian 12's) offers the API only as the crypto module's webcrypto.
  if (typeof process === 'object' && typeof require === 'function') {
    const webcrypto = require('crypto').webcrypto;
    return (webcrypto && webcrypto.subtle) || null;
  }
  return null;
}

// The AES blocks of `data` up to its last `room` bytes decrypted in CBC mode from the chaining
// block `iv`, without padding; the padding block goes into the room (one block) when there is
// one, else into a copy.
async function decryptUnpadded(subtle, key, iv, data, room) {
  const length = data.length - room;
  if (length === 0) return new Uint8Array(0);
  // The block whose decryption under the last ciphertext block is a whole padding block.
  const last = data.subarray(length - kAesBlock, length);
  const padding = new Uint8Array(await subtle.encrypt({ name: 'AES-CBC', iv: last }, key, kPaddingBlock), 0, kAesBlock);
  let padded = data;
  if (room < kAesBlock) {
    padded = new Uint8Array(length + kAesBlock);
    padded.set(data.subarray(0, length));
  }
  padded.set(padding, length);
  return new Uint8Array(await subtle.decrypt({ name: 'AES-CBC', iv }, key, padded.subarray(0, length + kAesBlock)));
}

// Where the module's reads and writes go during one run.
let run = null;

// `settings` go to the module as they stand (the worker gives it its binary as wasmBinary).
function createSession(createZqvModule, codepages, settings = {}) {
  return createZqvModule({
    ...settings,
    // An exception must not unwind through the module's frames: a failed read reads as
    // nothing (which ends the run) and is raised once the module has returned.
    async readInput(offset, pointer, count) {
      try {
        const bytes = await run.source.read(offset, count);
        zqv.HEAPU8.set(bytes.subarray(0, count), pointer);
        run.progress(offset + bytes.length);
        return Math.min(bytes.length, count);
      } catch (e) {
        run.error = run.error || e;
        return 0;
      }
    },
    async writeOutput(pointer, count) {
      try {
        await run.sink.write(zqv.HEAPU8.slice(pointer, pointer + count));
        return count;
      } catch (e) {
        run.error = run.error || e;
        return 0;
      }
    },
  }).then((m) => { zqv = m; return new Session(codepages); });
}
let zqv = null;

// `bytes` in the module's memory with a terminating zero; the caller frees it.
function copyIn(bytes) {
  const pointer = zqv._malloc(bytes.length + 1);
  zqv.HEAPU8.set(bytes, pointer);
  zqv.HEAPU8[pointer + bytes.length] = 0;
  return pointer;
}

// A call of the module that may suspend in a read; its answer, once it has returned.
function call(name, args) {
  return zqv.ccall(name, 'number', args.map(() => 'number'), args, { async: true });
}

function withBuffer(size, use) {
  const pointer = zqv._malloc(size);
  try { return use(pointer); } finally { zqv._free(pointer); }
}

class Session {
  constructor(codepages) {
    this.cp = codepages;
    this.subtle = platformSubtle();
  }

  // Whether AES runs on the platform's cipher (when it has one) or always on the module's; the
  // page's "#force=module-aes" turns it off for the tests.
  usePlatformAes(on) { this.subtle = on ? platformSubtle() : null; }
  // Where a cipher's AES runs, for the tests: "platform" or "module"; "" for the other ciphers
  // (AES is the format's only cipher of 16-byte blocks).
  aesRunsOn(cipher) {
    if (zqv._zqv_block_size(cipher) !== kAesBlock) return '';
    return this.subtle ? 'platform' : 'module';
  }

  // `text` in the code page, or a Refusal naming the first character it cannot hold.
  encode(text, codepage, what) {
    const r = this.cp.encode(text, codepage);
    if (r.bytes) return r.bytes;
    const c = r.character.codePointAt(0).toString(16).toUpperCase().padStart(4, '0');
    throw new Refusal(`${what}: the character “${r.character}” (U+${c}) cannot be written in ` +
                      `${this.cp.label(codepage)}.`);
  }

  // The password as the self-extractor takes it: in the code page, at most 79 bytes (the
  // format's limit, as the module gives it).
  passwordBytes(password, codepage) {
    if (password.includes('\0')) throw new Refusal('Password: it cannot hold the character U+0000.');
    const bytes = this.encode(password, codepage, 'Password');
    const most = zqv._zqv_max_password();
    if (bytes.length > most)
      throw new Refusal(`Password: ${bytes.length} characters; the self-extractor takes at most ${most}.`);
    return bytes;
  }

  // Where the header starts in a self-extractor: the stub's length; and the header's length.
  headerOffset() { return zqv._zqv_header_offset(); }
  headerSize() { return zqv._zqv_header_size(); }

  decodeAt(pointer, length, codepage) {
    return this.cp.decode(zqv.HEAPU8.subarray(pointer, pointer + length), codepage);
  }

  // Copies the source's header into the module (bytes past the end read as zero, as the stub
  // reads them), and its first bytes, from which the module finds a signer's certificate table
  // and so where the body ends; answers what the page shows of it. `info.bodyStart` and
  // `info.bodyEnd` bound the body: a certificate table after it is never read as body.
  async inspect(source, codepage) {
    const offset = zqv._zqv_header_offset(), size = zqv._zqv_header_size();
    const header = zqv._zqv_header();
    // The file's first bytes, where the module looks for the stub's PE header. (What a read
    // answers is good until the next read only: a byte stream takes its memory back.)
    let headSize = 0;
    if (source.size > 0) {
      const bytes = await source.read(0, Math.min(zqv._zqv_pe_head_size(), source.size));
      headSize = Math.min(bytes.length, zqv._zqv_pe_head_size());
      zqv.HEAPU8.set(bytes.subarray(0, headSize), zqv._zqv_pe_head());
    }
    zqv.HEAPU8.fill(0, header, header + size);
    if (source.size > offset) {
      const bytes = (await source.read(offset, size)).subarray(0, size);
      zqv.HEAPU8.fill(0, header, header + size);
      zqv.HEAPU8.set(bytes, header);
    }
    const check = zqv._zqv_check_archive(source.size, headSize);
    const info = { check, fileSize: source.size, bodyStart: offset + size, bodyEnd: zqv._zqv_body_end(),
                   signatureSize: zqv._zqv_signature_size() };
    if (check === kNotAnArchive) return { ...info, problem: kNotArchiveText };
    withBuffer(260, (text) => {
      const field = (which) => this.decodeAt(text, zqv._zqv_field(which, text), codepage);
      info.storedName = field(kFieldName);
      const n = zqv._zqv_download_name(text);
      if (n >= 0) info.downloadName = this.decodeAt(text, n, codepage);
      else info.nameFault = zqv.UTF8ToString(zqv._zqv_name_fault_text(-n));
      info.title = field(kFieldTitle);
      info.destination = field(kFieldDestination);
      info.runAfter = field(kFieldRunAfter);
    });
    const at = (o) => zqv._zqv_byte(o);
    info.destinationMode = kDestinationModes[Math.min(at(260), 2)];
    info.overwriteMode = kOverwriteModes[at(517)] || 'overwrite (unlisted value)';
    info.hideOverwrite = at(720) === 1;
    info.cipher = at(721);
    info.cipherName = zqv.UTF8ToString(zqv._zqv_cipher_name(info.cipher));
    info.autoStart = at(823) === 1;
    info.bodySize = Math.max(0, info.bodyEnd - info.bodyStart);
    withBuffer(16, (range) => {
      if (zqv._zqv_plain_size_range(info.bodySize, range))
        info.sizeRange = [zqv.HEAPF64[range >> 3], zqv.HEAPF64[(range >> 3) + 1]];
    });
    if (check === kUnknownCipher)
      info.problem = `Unknown cipher selector ${info.cipher}: the self-extractor answers every password with “${kWrongPasswordText}”`;
    else if (check === kBodyTooShort) info.problem = kInvalidFormatText;
    else if (info.nameFault) info.problem = `The stored name “${info.storedName}” ${info.nameFault}; it is not offered.`;
    return info;
  }

  // Decrypts the source's body (to the body's end, not the file's) into the sink and checks its
  // digest. Answers { result: 'match', info } or { result: 'wrong' } or a Refusal.
  // `onProgress(done, total)` follows the body.
  async open(source, sink, password, codepage, onProgress) {
    const info = await this.inspect(source, codepage);
    if (info.problem) throw new Refusal(info.problem);
    const pw = copyIn(this.passwordBytes(password, codepage));
    try {
      const result = await this.running(source, sink, info.bodyStart, info.bodyEnd, onProgress,
                                        () => call('zqv_open', [pw]));
      if (result === kRunInvalid) throw new Refusal(zqv.UTF8ToString(zqv._zqv_last_error()) || kInvalidFormatText);
      if (result === kRunMismatch) return { result: 'wrong', info };
      if (result !== kRunMatch) throw new Error('The output could not be stored.');
      return { result: 'match', info };
    } finally {
      zqv._free(pw);
    }
  }

  // The body of the archive last inspected (`info` from inspect), cut into windows of about
  // `bytes` each that decryptWindow decrypts apart, in any order and in several instances: in
  // order, [{ offset, count, last }] read from the file. Each starts one block before its first
  // block (the one that chains it) and all but the last end one block after their last; the last
  // ends where the body ends, before a signer's certificate table.
  bodyWindows(info, bytes) {
    const block = zqv._zqv_block_size(info.cipher);
    if (block === 0) return [];  // an unknown cipher with the empty file's digest: no output
    const start = info.bodyStart;
    const blocks = Math.floor(info.bodySize / block) - 1;  // after the chaining block, tail block included
    const step = Math.max(1, Math.floor(bytes / block));
    const windows = [];
    for (let first = 0; first < blocks; first += step) {
      const offset = start + first * block;
      const last = first + step >= blocks;
      windows.push({ offset, count: last ? info.bodyEnd - offset : (step + 2) * block, last });
    }
    return windows;
  }

  // The plaintext of one of bodyWindows' windows (its bytes as read) under the password's bytes
  // (passwordBytes): a view of the module's memory, good until the next call.
  decryptWindow(cipher, password, bytes, last) {
    if (!this.windowBuffer || this.windowBuffer.size < bytes.length) {
      if (this.windowBuffer) zqv._free(this.windowBuffer.pointer);
      this.windowBuffer = { pointer: zqv._malloc(bytes.length), size: bytes.length };
    }
    const { pointer } = this.windowBuffer;
    if (!pointer) throw new Error('The module has no room for a window of the body.');
    zqv.HEAPU8.set(bytes, pointer);
    const pw = copyIn(password);
    const n = zqv._zqv_decrypt_window(cipher, pw, pointer, bytes.length, last ? 1 : 0);
    zqv.HEAPU8.fill(0, pw, pw + password.length);
    zqv._free(pw);
    if (n < 0) throw new Refusal(kInvalidFormatText);
    return zqv.HEAPU8.subarray(pointer, pointer + n);
  }

  // The platform's key for an AES archive under the password's bytes (passwordBytes), imported
  // as not extractable; null for other ciphers or where AES runs on the module's code.
  async aesKey(cipher, password) {
    if (!this.subtle) return null;
    const raw = withBuffer(32, (key) => {
      const pw = copyIn(password);
      const n = zqv._zqv_aes_key(cipher, pw, key);
      zqv.HEAPU8.fill(0, pw, pw + password.length);
      zqv._free(pw);
      const bytes = zqv.HEAPU8.slice(key, key + n);
      zqv.HEAPU8.fill(0, key, key + 32);
      return bytes;
    });
    if (raw.length === 0) return null;
    try {
      return await this.subtle.importKey('raw', raw, 'AES-CBC', false, ['encrypt', 'decrypt']);
    } finally {
      raw.fill(0);
    }
  }

  // decryptWindow for AES on the platform's cipher under `key` (aesKey): the same plaintext, in
  // memory of its own. The window's bytes are overwritten. The module reads the tail block's
  // count byte.
  async decryptWindowAes(key, cipher, bytes, last) {
    const size = bytes.length;
    if (size < 2 * kAesBlock || (!last && size % kAesBlock !== 0)) throw new Refusal(kInvalidFormatText);
    // A window but the last ends with the block after its own, whose place takes the padding
    // block; the last ends with the tail block (bytes past the last whole block are not read).
    const end = last ? size - (size % kAesBlock) : size;
    const plain = await decryptUnpadded(this.subtle, key, bytes.slice(0, kAesBlock), bytes.subarray(kAesBlock, end),
                                        last ? 0 : kAesBlock);
    if (!last) return plain;
    const kept = withBuffer(kAesBlock, (block) => {
      zqv.HEAPU8.set(plain.subarray(plain.length - kAesBlock), block);
      return zqv._zqv_tail_length(cipher, block);
    });
    return plain.subarray(0, plain.length - kAesBlock + kept);
  }

  // Whether `digest` (20 bytes) is the one the header of the last opened archive names.
  digestMatches(digest) {
    return withBuffer(20, (pointer) => {
      zqv.HEAPU8.set(digest, pointer);
      return zqv._zqv_digest_matches(pointer) === kRunMatch;
    });
  }

  // Gets the engine's optimised code of the ciphers and SHA-1 ready (a few dozen ms).
  warmUp() { zqv._zqv_warm_up(); }

  // SHA-1 over pieces given in order, for the worker that hashes what the decrypters hand back.
  sha1Start() { zqv._zqv_sha1_start(); }
  sha1Add(bytes) {
    const piece = 1 << 20;
    withBuffer(piece, (pointer) => {
      for (let at = 0; at < bytes.length; at += piece) {
        const part = bytes.subarray(at, at + piece);
        zqv.HEAPU8.set(part, pointer);
        zqv._zqv_sha1_add(pointer, part.length);
      }
    });
  }
  sha1Finish() {
    return withBuffer(20, (pointer) => {
      zqv._zqv_sha1_finish(pointer);
      return zqv.HEAPU8.slice(pointer, pointer + 20);
    });
  }

  // Stores a text field as zqv build does; refuses what the code page or the field cannot hold.
  storeText(field, text, codepage, what) {
    const bytes = this.encode(text, codepage, what);
    const room = zqv._zqv_field_room(field);
    if (bytes.length > room) throw new Refusal(`${what}: ${bytes.length} characters, at most ${room} fit.`);
    const pointer = copyIn(bytes);
    const ok = zqv._zqv_make_text(field, pointer, bytes.length);
    zqv._free(pointer);
    if (!ok) throw new Refusal(`${what}: too long.`);
    return bytes;
  }

  // Encrypts the source into the sink as an archive body and answers the 832-byte header.
  // `m`: name, title, destinationMode (0 current, 1 temporary, 2 folder), destination,
  // overwriteMode (0 overwrite, 1 skip, 2 confirm), runAfter, hideOverwrite, autoStart, cipher
  // (0..4), password, codepage, and seed (null: the clock; a number: every timer reading of the
  // chaining block, as zqv build under a clock fixed to that many milliseconds). AES bodies are
  // hashed by `hasher` ({ start, add(bytes), finish() answering the digest }; the module's SHA-1
  // when none), so that a caller can hash beside the encryption.
  async make(source, sink, m, onProgress, hasher = null) {
    const cp = m.codepage;
    zqv._zqv_make_start();
    const name = this.storeText(kFieldName, m.name, cp, 'Stored name');
    const fault = withBuffer(name.length + 1, (path) => {
      const pointer = copyIn(name);
      const f = zqv._zqv_name_fault(pointer, name.length, path);
      zqv._free(pointer);
      return f;
    });
    if (fault !== 0)
      throw new Refusal(`Stored name: “${m.name}” ${zqv.UTF8ToString(zqv._zqv_name_fault_text(fault))}.`);
    if (m.destinationMode === 2) this.storeText(kFieldDestination, m.destination, cp, 'Destination folder');
    this.storeText(kFieldTitle, m.title, cp, 'Title');
    this.storeText(kFieldRunAfter, m.runAfter, cp, 'Run after');
    if (!(m.cipher >= 0 && m.cipher < kCiphers.length)) throw new Refusal('Unknown cipher.');
    const password = this.passwordBytes(m.password, cp);
    const seed = m.seed === null ? -1 : m.seed;
    const key = await this.aesKey(m.cipher, password);
    if (key) {
      zqv._zqv_make_settings(m.cipher, m.destinationMode, m.overwriteMode, m.hideOverwrite ? 1 : 0, m.autoStart ? 1 : 0);
      await this.encryptAes(key, m.cipher, this.chainingBlock(m.cipher, password, seed), source, sink, onProgress,
                            hasher || this.moduleHasher());
    } else {
      const pw = copyIn(password);
      try {
        const result = await this.running(source, sink, 0, source.size, onProgress, () =>
          call('zqv_make', [m.cipher, m.destinationMode, m.overwriteMode, m.hideOverwrite ? 1 : 0,
                            m.autoStart ? 1 : 0, pw, source.size, seed]));
        if (result !== kRunMatch) throw new Error('The file could not be read to its end.');
      } finally {
        zqv._free(pw);
      }
    }
    const header = zqv._zqv_header();
    return zqv.HEAPU8.slice(header, header + zqv._zqv_header_size());
  }

  // The chaining block a new body under the password's bytes starts with, from the seed (-1: the clock).
  chainingBlock(cipher, password, seed) {
    return withBuffer(kAesBlock, (block) => {
      const pw = copyIn(password);
      const n = zqv._zqv_chaining_block(cipher, pw, seed, block);
      zqv.HEAPU8.fill(0, pw, pw + password.length);
      zqv._free(pw);
      return zqv.HEAPU8.slice(block, block + n);
    });
  }

  // The module's SHA-1, as a hasher for make: start(), add(bytes), finish() answering the digest.
  moduleHasher() {
    return { start: () => this.sha1Start(), add: (bytes) => this.sha1Add(bytes), finish: () => this.sha1Finish() };
  }

  // The tail block before encryption of a plaintext ending with `rest` (fewer bytes than a block).
  tailBlock(cipher, rest) {
    return withBuffer(2 * kAesBlock, (pointer) => {
      zqv.HEAPU8.set(rest, pointer);
      zqv._zqv_tail_block(cipher, pointer, rest.length, pointer + kAesBlock);
      return zqv.HEAPU8.slice(pointer + kAesBlock, pointer + 2 * kAesBlock);
    });
  }

  // The body of the source's bytes under `key` on the platform's AES, after `chain` (the chaining
  // block), into the sink, window by window: each window's plaintext goes to the hasher before
  // it is encrypted, and the last window ends with the tail block the module lays out. Sets the
  // header's digest line. The platform encrypts a window while the next is read and handed to the
  // hasher and the one before is stored: only the encryption itself is a chain.
  async encryptAes(key, cipher, chain, source, sink, onProgress, hasher) {
    const size = source.size;
    const whole = size - (size % kAesBlock);
    await hasher.start();
    await sink.write(chain);
    // The next window's plaintext, read and hashed, as the platform takes it, and whether it is
    // the last. The platform copies a window at the call: the next read starts right after it and
    // goes on while the window before is stored.
    let offset = 0;
    const next = async () => {
      const last = whole - offset <= kMakeWindowBytes;
      const count = last ? size - offset : kMakeWindowBytes;
      const read = count ? await source.read(offset, count) : new Uint8Array(0);
      if (read.length < count) throw new Error('The file could not be read to its end.');
      const plain = read.subarray(0, count);
      await hasher.add(plain);
      offset += count;
      if (!last) return { data: plain, last };
      // The whole blocks left, then the tail block the module lays out from the rest.
      const rest = count - (size - whole);
      const data = new Uint8Array(rest + kAesBlock);
      data.set(plain.subarray(0, rest));
      data.set(this.tailBlock(cipher, plain.subarray(rest)), rest);
      return { data, last };
    };
    const encrypt = ({ data }) => {
      const length = data.length;  // the source's next read may take its buffer back meanwhile
      return this.subtle.encrypt({ name: 'AES-CBC', iv: chain }, key, data)
        .then((answer) => new Uint8Array(answer, 0, length));
    };
    const started = (promise) => {
      promise.catch(() => {});  // raised where it is awaited
      return promise;
    };
    const first = await next();
    let encrypting = started(encrypt(first));
    let reading = first.last ? null : started(next());
    for (;;) {
      const following = reading && await reading;
      const encrypted = await encrypting;
      chain = encrypted.slice(encrypted.length - kAesBlock);
      if (following) {
        encrypting = started(encrypt(following));
        reading = following.last ? null : started(next());
      }
      await sink.write(encrypted);
      if (onProgress) onProgress(offset, size);
      if (!following) break;
    }
    const digest = await hasher.finish();
    withBuffer(20, (pointer) => {
      zqv.HEAPU8.set(digest, pointer);
      zqv._zqv_make_digest(pointer);
    });
  }

  async running(source, sink, start, end, onProgress, body) {
    let last = 0;
    run = {
      source, sink, error: null,
      progress(position) {
        const now = Date.now();
        if (onProgress && (now - last >= kReportMilliseconds || position >= end)) {
          last = now;
          onProgress(position - start, end - start);
        }
      },
    };
    try {
      const result = await body();
      if (run.error) throw new Error(`The file could not be read or stored: ${run.error.message || run.error}`);
      return result;
    } finally {
      run = null;
    }
  }
}

const ZqvCore = { createSession, Refusal, kCiphers, kNotArchiveText, kWrongPasswordText,
                  kInvalidFormatText };
if (typeof module === 'object') module.exports = ZqvCore;

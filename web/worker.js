// The page's worker: opens and makes archives with the WebAssembly module (createZqvModule,
// placed before this file), reading the chosen File in fixed chunks with FileReaderSync and
// keeping the output as Blob parts, so that memory stays bounded but for the output itself.
'use strict';

// Output gathered in memory before it is sealed into one Blob, which the browser may then keep
// on disk.
const kSealBytes = 32 << 20;
const kReportMilliseconds = 100;

let zqv = null;
let job = null;

class Job {
  constructor(file, start, end) {
    this.file = file;
    this.start = start;  // the part of the file the progress bar measures
    this.end = end;
    this.reader = new FileReaderSync();
    this.parts = [];
    this.pending = [];
    this.pendingBytes = 0;
    this.readError = null;
    this.lastReport = 0;
  }
  read(offset, pointer, count) {
    try {
      const bytes = new Uint8Array(this.reader.readAsArrayBuffer(this.file.slice(offset, offset + count)));
      zqv.HEAPU8.set(bytes, pointer);
      this.report(offset + bytes.length);
      return bytes.length;
    } catch (e) {
      this.readError = e;
      return 0;
    }
  }
  write(pointer, count) {
    this.pending.push(zqv.HEAPU8.slice(pointer, pointer + count));
    this.pendingBytes += count;
    if (this.pendingBytes >= kSealBytes) this.seal();
    return count;
  }
  seal() {
    if (this.pending.length) this.parts.push(new Blob(this.pending));
    this.pending = [];
    this.pendingBytes = 0;
  }
  blob() {
    this.seal();
    return new Blob(this.parts, { type: 'application/octet-stream' });
  }
  report(position) {
    const now = Date.now();
    if (now - this.lastReport < kReportMilliseconds && position < this.end) return;
    this.lastReport = now;
    postMessage({ type: 'progress', done: position - this.start, total: this.end - this.start });
  }
}

const ready = createZqvModule({
  readInput: (offset, pointer, count) => job.read(offset, pointer, count),
  writeOutput: (pointer, count) => job.write(pointer, count),
}).then((m) => { zqv = m; });

// ---- Texts between the page's Unicode and the archive's code page -------------------------------

// A code-page string of `length` bytes at `pointer`, in Unicode.
function decodeAt(pointer, length, codepage) {
  return ZqvCodepages.decode(zqv.HEAPU8.subarray(pointer, pointer + length), codepage);
}

// `bytes` in wasm memory with a terminating zero; the caller frees it.
function copyIn(bytes) {
  const pointer = zqv._malloc(bytes.length + 1);
  zqv.HEAPU8.set(bytes, pointer);
  zqv.HEAPU8[pointer + bytes.length] = 0;
  return pointer;
}

class Refusal extends Error {}

// `text` in the code page, or a Refusal naming the first character it cannot hold.
function encodeOrRefuse(text, codepage, what) {
  const r = ZqvCodepages.encode(text, codepage);
  if (r.bytes) return r.bytes;
  throw new Refusal(`${what}: the character “${r.character}” cannot be written in code page ` +
                    `${ZqvCodepages.label(codepage)}.`);
}

// The password as the self-extractor takes it: in the code page, at most 79 bytes.
const kMaxPassword = 79;
function passwordBytes(password, codepage) {
  if (password.includes('\0')) throw new Refusal('Password: it cannot hold the character U+0000.');
  const bytes = encodeOrRefuse(password, codepage, 'Password');
  if (bytes.length > kMaxPassword)
    throw new Refusal(`Password: ${bytes.length} characters; the self-extractor takes at most ${kMaxPassword}.`);
  return bytes;
}

// ---- Opening ------------------------------------------------------------------------------------

const kFieldName = 0, kFieldDestination = 1, kFieldTitle = 2, kFieldRunAfter = 3;
const kOverwriteModes = ['overwrite', 'skip', 'confirm'];

// Copies the file's header into the module (bytes past the file's end read as zero, as the stub
// reads them) and answers what the page shows of it.
function loadHeader(file, codepage) {
  const offset = zqv._zqv_header_offset(), size = zqv._zqv_header_size();
  const header = zqv._zqv_header();
  zqv.HEAPU8.fill(0, header, header + size);
  if (file.size > offset) {
    const bytes = new Uint8Array(new FileReaderSync().readAsArrayBuffer(file.slice(offset, offset + size)));
    zqv.HEAPU8.set(bytes, header);
  }
  const check = zqv._zqv_check_archive(file.size);
  const info = { check, fileSize: file.size };
  if (check === 1) return info;
  const text = zqv._malloc(260);
  const field = (which) => decodeAt(text, zqv._zqv_field(which, text), codepage);
  info.storedName = field(kFieldName);
  const n = zqv._zqv_download_name(text);
  if (n >= 0) info.downloadName = decodeAt(text, n, codepage);
  else info.nameFault = zqv.UTF8ToString(zqv._zqv_name_fault_text(-n));
  info.title = field(kFieldTitle);
  info.destination = field(kFieldDestination);
  info.runAfter = field(kFieldRunAfter);
  zqv._free(text);
  const at = (o) => zqv._zqv_byte(o);
  info.destinationMode = at(260);
  const mode = at(517);
  info.overwriteMode = kOverwriteModes[mode] || 'overwrite (unlisted value)';
  info.hideOverwrite = at(720) === 1;
  info.cipher = at(721);
  info.cipherName = zqv.UTF8ToString(zqv._zqv_cipher_name(info.cipher));
  info.autoStart = at(823) === 1;
  info.bodySize = Math.max(0, file.size - offset - size);
  const range = zqv._malloc(16);
  if (zqv._zqv_plain_size_range(info.bodySize, range)) {
    info.sizeRange = [zqv.HEAPF64[range >> 3], zqv.HEAPF64[(range >> 3) + 1]];
  }
  zqv._free(range);
  return info;
}

function open(file, password, codepage) {
  const info = loadHeader(file, codepage);
  if (info.check !== 0 && info.check !== 3) return { type: 'opened', info, result: 'refused' };
  const pw = copyIn(passwordBytes(password, codepage));
  job = new Job(file, zqv._zqv_header_offset() + zqv._zqv_header_size(), file.size);
  const started = performance.now();
  const result = zqv._zqv_open(pw, file.size);
  const seconds = (performance.now() - started) / 1000;
  zqv._free(pw);
  const finished = job;
  job = null;
  if (finished.readError) return { type: 'failed', text: `The file could not be read: ${finished.readError.message}` };
  if (result === 2) return { type: 'opened', info, result: 'invalid', text: zqv.UTF8ToString(zqv._zqv_last_error()) };
  if (result === 1) return { type: 'opened', info, result: 'wrong' };
  if (result !== 0) return { type: 'failed', text: 'The output could not be stored.' };
  return { type: 'opened', info, result: 'match', blob: finished.blob(), seconds, bytes: info.bodySize };
}

// ---- Making -------------------------------------------------------------------------------------

const kFieldLimits = { [kFieldName]: 255, [kFieldDestination]: 255, [kFieldTitle]: 100, [kFieldRunAfter]: 100 };

function storeText(field, text, codepage, what) {
  const bytes = encodeOrRefuse(text, codepage, what);
  if (bytes.length > kFieldLimits[field])
    throw new Refusal(`${what}: ${bytes.length} characters, at most ${kFieldLimits[field]} fit.`);
  const pointer = copyIn(bytes);
  const ok = zqv._zqv_make_text(field, pointer, bytes.length);
  zqv._free(pointer);
  if (!ok) throw new Refusal(`${what}: too long.`);
  return bytes;
}

function make(m) {
  const cp = m.codepage;
  zqv._zqv_make_start();
  const name = storeText(kFieldName, m.name, cp, 'Stored name');
  const pointer = copyIn(name);
  const path = zqv._malloc(name.length + 1);
  const fault = zqv._zqv_name_fault(pointer, name.length, path);
  zqv._free(pointer);
  zqv._free(path);
  if (fault !== 0) throw new Refusal(`Stored name: ${zqv.UTF8ToString(zqv._zqv_name_fault_text(fault))}.`);
  if (m.destinationMode === 2) storeText(kFieldDestination, m.destination, cp, 'Destination folder');
  storeText(kFieldTitle, m.title, cp, 'Title');
  storeText(kFieldRunAfter, m.runAfter, cp, 'Run after');
  const pw = copyIn(passwordBytes(m.password, cp));
  job = new Job(m.file, 0, m.file.size);
  const started = performance.now();
  const result = zqv._zqv_make(m.cipher, m.destinationMode, m.overwriteMode, m.hideOverwrite ? 1 : 0,
                               m.autoStart ? 1 : 0, pw, m.file.size, m.seed === null ? -1 : m.seed);
  const seconds = (performance.now() - started) / 1000;
  zqv._free(pw);
  const finished = job;
  job = null;
  if (finished.readError) return { type: 'failed', text: `The file could not be read: ${finished.readError.message}` };
  if (result !== 0) return { type: 'failed', text: 'The file changed while it was read.' };
  const header = zqv.HEAPU8.slice(zqv._zqv_header(), zqv._zqv_header() + zqv._zqv_header_size());
  return { type: 'made', blob: new Blob([header, finished.blob()]), seconds, bytes: m.file.size };
}

onmessage = async (event) => {
  await ready;
  const m = event.data;
  try {
    if (m.cmd === 'inspect') postMessage({ type: 'inspected', info: loadHeader(m.file, m.codepage) });
    else if (m.cmd === 'open') postMessage(open(m.file, m.password, m.codepage));
    else if (m.cmd === 'make') postMessage(make(m));
  } catch (e) {
    job = null;
    postMessage({ type: e instanceof Refusal ? 'refused' : 'failed', text: e.message });
  }
};

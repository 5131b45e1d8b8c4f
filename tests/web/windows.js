// The page's shared decryption against zqv: archives zqv build made, for every cipher and for
// sizes about the block boundaries, decrypted window by window with the page's module (in a
// shuffled order, as the decrypters may answer) for several window sizes, must give exactly the
// file zqv was given; AES windows the same on the platform's cipher (Node's Web Cryptography
// API, as the page's where the browser has it). A window cut short must be refused, not
// decrypted. Signed archives (tests/signing/signing.py) give back the file too, by windows and
// through zqv-node.js: their body ends where the certificate table begins, and a byte changed
// after signing is a wrong password. And made: the same files made into archives by the shared
// code, on the platform's AES and on the module's, must be byte for byte what zqv build writes
// under the same seed.
//   node windows.js MODULE_DIR ZQV WORK
'use strict';
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

const [dir, zqvTool, work] = process.argv.slice(2);
const core = require(path.join(__dirname, '..', '..', 'web', 'zqv-core.js'));
const kPassword = 'open sesame';

function fileSource(file) {
  const bytes = fs.readFileSync(file);
  return { size: bytes.length, read: (offset, count) => bytes.subarray(offset, offset + count) };
}

// A fixed shuffle, so that a failure repeats.
function shuffled(n, seed) {
  const order = [...Array(n).keys()];
  for (let i = n - 1; i > 0; --i) {
    seed = (seed * 1103515245 + 12345) >>> 0;
    const j = seed % (i + 1);
    [order[i], order[j]] = [order[j], order[i]];
  }
  return order;
}

async function main() {
  const zqv = await core.createSession(require(path.resolve(dir, 'zqv_web.js')), require(path.resolve(dir, 'codepages.js')),
                                       { wasmBinary: fs.readFileSync(path.resolve(dir, 'zqv_web.wasm')) });
  fs.mkdirSync(work, { recursive: true });
  const password = zqv.passwordBytes(kPassword, '1252');
  let checked = 0;
  for (const [cipher, block] of [['blowfish', 8], ['des', 8], ['3des', 8], ['aes128', 16], ['aes256', 16]]) {
    for (const size of [0, 1, block - 1, block, block + 1, 5 * block + 3, 3000, 70000]) {
      const plain = Buffer.alloc(size);
      for (let i = 0; i < size; ++i) plain[i] = (i * 131 + size) & 255;
      const input = path.join(work, `plain-${size}.bin`);
      const archive = path.join(work, `${cipher}-${size}.exe`);
      fs.writeFileSync(input, plain);
      execFileSync(zqvTool, ['build', input, '-o', archive, '--cipher', cipher, '--password-file', '-'],
                   { input: `${kPassword}\n`, stdio: ['pipe', 'ignore', 'inherit'] });
      const source = fileSource(archive);
      const info = await zqv.inspect(source, '1252');
      assert.ok(!info.problem, info.problem);
      assert.deepStrictEqual([info.bodyEnd, info.signatureSize], [source.size, 0], `${cipher}: unsigned, to the end`);
      // One block a window, a few blocks, a size that is no multiple of the block, and the page's.
      for (const windowBytes of [1, 2 * block, 3 * block + 5, 1 << 20]) {
        const windows = zqv.bodyWindows(info, windowBytes);
        const parts = new Array(windows.length);
        const platformParts = new Array(windows.length);
        const key = await zqv.aesKey(info.cipher, password);
        assert.strictEqual(key !== null, cipher.startsWith('aes'), `${cipher}: a platform key only for AES`);
        for (const i of shuffled(windows.length, size + windowBytes)) {
          const w = windows[i];
          parts[i] = Buffer.from(zqv.decryptWindow(info.cipher, password, source.read(w.offset, w.count), w.last));
          // (a copy: the platform's AES overwrites the window)
          if (key) platformParts[i] = Buffer.from(await zqv.decryptWindowAes(key, info.cipher, Buffer.from(source.read(w.offset, w.count)), w.last));
        }
        const what = `${cipher}, ${size} bytes, windows of ${windowBytes}`;
        assert.ok(Buffer.concat(parts).equals(plain), `${what}: the windows do not give the file`);
        if (key) assert.ok(Buffer.concat(platformParts).equals(plain), `${what}: the platform's AES windows do not give the file`);
        if (windows.length > 1) {
          const w = windows[0];
          assert.throws(() => zqv.decryptWindow(info.cipher, password, source.read(w.offset, w.count - 1), false),
                        core.Refusal, `${what}: a window cut short was decrypted`);
          if (key) {
            await assert.rejects(zqv.decryptWindowAes(key, info.cipher, Buffer.from(source.read(w.offset, w.count - 1)), false),
                                 core.Refusal, `${what}: a window cut short was decrypted on the platform's AES`);
          }
        }
        ++checked;
      }
    }
  }
  console.log(`windows.js: ${checked} archives decrypted in windows, each as zqv made it`);

  // Signed: the body ends at the certificate table, by windows (the page's way) and in one run
  // (zqv_open, zqv-node.js's way); a body byte changed after signing is a wrong password.
  let signed = 0;
  const signRows = [['aes256', 'pem', 70001], ['3des', 'dual', 3000], ['des', 'pem', 9]];
  const signArgs = [];
  for (const [cipher, kind, size] of signRows) {
    const plain = Buffer.alloc(size);
    for (let i = 0; i < size; ++i) plain[i] = (i * 29 + 3) & 255;
    fs.writeFileSync(path.join(work, `signed-${cipher}.bin`), plain);
    execFileSync(zqvTool, ['build', path.join(work, `signed-${cipher}.bin`), '-o', path.join(work, `unsigned-${cipher}.exe`),
                           '--cipher', cipher, '--password-file', '-'],
                 { input: `${kPassword}\n`, stdio: ['pipe', 'ignore', 'inherit'] });
    signArgs.push(kind, path.join(work, `unsigned-${cipher}.exe`), path.join(work, `signed-${cipher}.exe`));
  }
  execFileSync('python3', [path.join(__dirname, '..', 'signing', 'signing.py'), path.join(work, 'keys'), ...signArgs],
               { stdio: ['ignore', 'ignore', 'inherit'] });
  const collect = () => { const parts = []; return { parts, write: (b) => { parts.push(Buffer.from(b)); } }; };
  for (const [cipher, kind] of signRows) {
    const plain = fs.readFileSync(path.join(work, `signed-${cipher}.bin`));
    const unsignedSize = fs.statSync(path.join(work, `unsigned-${cipher}.exe`)).size;
    const archive = path.join(work, `signed-${cipher}.exe`);
    const source = fileSource(archive);
    const what = `${cipher} signed (${kind})`;
    const info = await zqv.inspect(source, '1252');
    assert.ok(!info.problem, `${what}: ${info.problem}`);
    assert.ok(source.size > unsignedSize, `${what}: the signer appended nothing`);
    assert.deepStrictEqual([info.bodyEnd, info.signatureSize], [unsignedSize, source.size - unsignedSize], what);
    assert.ok(info.sizeRange[0] <= plain.length && plain.length <= info.sizeRange[1], `${what}: size range ${info.sizeRange}`);
    const key = await zqv.aesKey(info.cipher, password);
    for (const windowBytes of [1, 1 << 19]) {
      const windows = zqv.bodyWindows(info, windowBytes);
      const last = windows[windows.length - 1];
      assert.strictEqual(last.offset + last.count, unsignedSize, `${what}: the last window passes the body`);
      const parts = windows.map((w) => Buffer.from(zqv.decryptWindow(info.cipher, password, source.read(w.offset, w.count), w.last)));
      assert.ok(Buffer.concat(parts).equals(plain), `${what}, windows of ${windowBytes}: not the file`);
      if (key) {
        const platformParts = [];
        for (const w of windows)
          platformParts.push(Buffer.from(await zqv.decryptWindowAes(key, info.cipher, Buffer.from(source.read(w.offset, w.count)), w.last)));
        assert.ok(Buffer.concat(platformParts).equals(plain), `${what}, windows of ${windowBytes}: not the file on the platform's AES`);
      }
    }
    const whole = collect();
    const r = await zqv.open(source, whole, kPassword, '1252');
    assert.strictEqual(r.result, 'match', `${what}: not opened`);
    assert.ok(Buffer.concat(whole.parts).equals(plain), `${what}: opened, but not the file`);
    const tampered = Buffer.from(fs.readFileSync(archive));
    tampered[info.bodyStart + Math.floor(info.bodySize / 2)] ^= 1;  // a ciphertext block, not the chaining one
    const t = collect();
    const bad = { size: tampered.length, read: (offset, count) => tampered.subarray(offset, offset + count) };
    assert.strictEqual((await zqv.open(bad, t, kPassword, '1252')).result, 'wrong', `${what}: a changed body byte opened`);
    ++signed;
  }
  // The Node runner, as a person runs it.
  const out = path.join(work, 'signed-node.out');
  execFileSync(process.execPath, [path.join(__dirname, '..', '..', 'web', 'zqv-node.js'), 'open',
                                  path.join(work, 'signed-aes256.exe'), kPassword, out],
               { env: { ...process.env, ZQV_WEB_MODULE_DIR: path.resolve(dir) }, stdio: ['ignore', 'ignore', 'inherit'] });
  assert.ok(fs.readFileSync(out).equals(fs.readFileSync(path.join(work, 'signed-aes256.bin'))), 'zqv-node.js: not the file');
  console.log(`windows.js: ${signed} signed archives opened to the certificate table, and by zqv-node.js`);

  // Made by the shared code, on the platform's AES where it applies and on the module's.
  let made = 0;
  const options = { name: 'made\\file.bin', title: 'Made', destinationMode: 2, destination: 'C:\\Out',
                    overwriteMode: 1, runAfter: '', hideOverwrite: true, autoStart: false,
                    password: kPassword, codepage: '1252', seed: 123456789 };
  for (const [cipher, selector] of [['blowfish', 0], ['des', 1], ['3des', 2], ['aes128', 3], ['aes256', 4]]) {
    // Up to the platform window and past it, so that the last window is cut in each way.
    for (const size of [0, 1, 15, 16, 17, 3000, (1 << 20) - 5, (1 << 20), (1 << 20) + 16, (2 << 20) + 7]) {
      const plain = Buffer.alloc(size);
      for (let i = 0; i < size; ++i) plain[i] = (i * 7 + size * 13) & 255;
      const input = path.join(work, 'make-plain.bin');
      const expected = path.join(work, `make-${cipher}-${size}.exe`);
      fs.writeFileSync(input, plain);
      execFileSync(zqvTool, ['build', input, '-o', expected, '--cipher', cipher, '--name', options.name,
                             '--title', options.title, '--dest', options.destination, '--mode', 'skip',
                             '--hide-mode', '--seed', String(options.seed), '--password-file', '-'],
                   { input: `${kPassword}\n`, stdio: ['pipe', 'ignore', 'inherit'] });
      const want = fs.readFileSync(expected).subarray(zqv.headerOffset());
      for (const platform of selector >= 3 ? [true, false] : [false]) {
        zqv.usePlatformAes(platform);
        const parts = [];
        const header = await zqv.make(fileSource(input), { write: (bytes) => { parts.push(Buffer.from(bytes)); } },
                                      { ...options, cipher: selector });
        const got = Buffer.concat([Buffer.from(header), ...parts]);
        assert.ok(got.equals(want), `${cipher}, ${size} bytes, made on the ${platform ? "platform's" : "module's"} cipher: not zqv build's archive`);
        ++made;
      }
      zqv.usePlatformAes(true);
    }
  }
  console.log(`windows.js: ${made} archives made, each byte for byte zqv build's`);

  // The module's SHA-1 against FIPS 180's examples and Node's own, over lengths about the
  // 64-byte block and pieces that cut blocks anywhere: single bytes, less than a block, whole
  // runs of blocks, and runs of blocks with a few bytes over.
  const sha1 = (pieces) => {
    zqv.sha1Start();
    for (const piece of pieces) zqv.sha1Add(piece);
    return Buffer.from(zqv.sha1Finish()).toString('hex');
  };
  assert.strictEqual(sha1([Buffer.from('abc')]), 'a9993e364706816aba3e25717850c26c9cd0d89d');
  assert.strictEqual(sha1([Buffer.from('abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq')]),
                     '84983e441c3bd26ebaae4aa1f95129e5e54670f1');
  assert.strictEqual(sha1([Buffer.alloc(1000000, 'a')]), '34aa973cd4c4daa4f61eeb2bdbad27316534016f');
  let hashed = 0;
  for (const size of [0, 1, 55, 56, 63, 64, 65, 127, 128, 1000, 65536 + 17, (1 << 20) + 3]) {
    const bytes = Buffer.alloc(size);
    for (let i = 0; i < size; ++i) bytes[i] = (i * 251 + 7) & 255;
    const expected = require('crypto').createHash('sha1').update(bytes).digest('hex');
    for (const cut of [size, 1, 63, 100, 5 * 64, 7 * 64 + 9]) {
      const pieces = [];
      for (let at = 0; at < size; at += cut) pieces.push(bytes.subarray(at, at + cut));
      assert.strictEqual(sha1(pieces), expected, `SHA-1 of ${size} bytes in pieces of ${cut}`);
      ++hashed;
    }
  }
  console.log(`windows.js: SHA-1 as FIPS 180 and Node's own give it, ${hashed} ways`);
}

main().catch((e) => {
  console.error(`windows.js: ${e.message}`);
  process.exit(1);
});

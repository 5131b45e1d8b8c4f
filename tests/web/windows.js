// The page's shared decryption against zqv: archives zqv build made, for every cipher and for
// sizes about the block boundaries, decrypted window by window with the page's module (in a
// shuffled order, as the decrypters may answer) for several window sizes, must give exactly the
// file zqv was given. A window cut short must be refused, not decrypted.
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
      // One block a window, a few blocks, a size that is no multiple of the block, and the page's.
      for (const windowBytes of [1, 2 * block, 3 * block + 5, 1 << 20]) {
        const windows = zqv.bodyWindows(info, windowBytes);
        const parts = new Array(windows.length);
        for (const i of shuffled(windows.length, size + windowBytes)) {
          const w = windows[i];
          parts[i] = Buffer.from(zqv.decryptWindow(info.cipher, password, source.read(w.offset, w.count), w.last));
        }
        const what = `${cipher}, ${size} bytes, windows of ${windowBytes}`;
        assert.ok(Buffer.concat(parts).equals(plain), `${what}: the windows do not give the file`);
        if (windows.length > 1) {
          const w = windows[0];
          assert.throws(() => zqv.decryptWindow(info.cipher, password, source.read(w.offset, w.count - 1), false),
                        core.Refusal, `${what}: a window cut short was decrypted`);
        }
        ++checked;
      }
    }
  }
  console.log(`windows.js: ${checked} archives decrypted in windows, each as zqv made it`);
}

main().catch((e) => {
  console.error(`windows.js: ${e.message}`);
  process.exit(1);
});

// SPDX-License-Identifier: GPL-2.0-or-later
// web/identity.cjs on images that demo_tool nds-image makes, cuts and that
// this test spoils, whole and pushed in pieces; web/checksums.cjs against
// Python's zlib and hashlib, and its list against sha1sum -c.
// Usage: node web_identity_test.js DEMO_TOOL
'use strict';
const assert = require('assert');
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { readIdentity, createIdentityReader, crc16Modbus } = require('../web/identity.cjs');
const { createChecksums, sha1sumList } = require('../web/checksums.cjs');

const [demoTool] = process.argv.slice(2);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'unlzon-identity-'));
let made = 0;
const nds = (size, ...options) => {
  const file = path.join(work, `image${made++}`);
  execFileSync(demoTool, ['nds-image', String(size), '7', file, ...options]);
  return fs.readFileSync(file);
};
const spoil = (image, at, bytes) =>
  Buffer.concat([image.subarray(0, at), Buffer.from(bytes), image.subarray(at + bytes.length)]);

// Each palette entry with its RGBA worked out by hand (5 bits to 8: 16 -> 132).
const COLOURS = [[0x7fff, [0, 0, 0, 0]], [0x001f, [255, 0, 0, 255]], [0x03e0, [0, 255, 0, 255]],
  [0x7c00, [0, 0, 255, 255]], [0xffff, [255, 255, 255, 255]], [0x0000, [0, 0, 0, 255]],
  [0x0010, [132, 0, 0, 255]], [0x0201, [8, 132, 0, 255]], [0x294a, [82, 82, 82, 255]]];
const iconFile = path.join(work, 'icon');
const icon = Uint8Array.from({ length: 1024 }, (_, i) => ((i * 7) ^ (i >> 5) ^ (i >> 8)) % COLOURS.length);
fs.writeFileSync(iconFile, icon);
const titles = (...list) => list.flatMap((title) => ['--banner-title', title]);
const full = nds('16K', '--title', 'HELLO WORLD', '--code', 'ABCJ', '--maker', '01', '--icon', iconFile,
  '--palette', COLOURS.map(([colour]) => colour.toString(16)).join(','),
  ...titles('en=Hello\nWorld\nMaker', 'ja=こんにちは', 'fr=Bonjour\n\nÉditeur'));
const three = { ja: ['こんにちは'], en: ['Hello', 'World', 'Maker'], fr: ['Bonjour', '', 'Éditeur'] };
const eight = titles('en=Hi', 'zh=中文', 'ko=한국어 🎮');
const header = { title: 'HELLO WORLD', code: 'ABCJ', maker: '01', headerChecksumOk: true };
const banner = (version, checksumOk, titles, chosenLanguage) => ({ version, checksumOk, titles, chosenLanguage });
const none = { headerChecksumOk: null, banner: null };

// [name, image, languages, what the identity must say (banner: its fields here, or null)]
const rows = [
  ['the browser\'s language', full, ['constructor', 42, 'FR-ca', 'en'],
    { ...header, banner: banner(1, true, three, 'fr'), displayTitle: 'Bonjour — Éditeur' }],
  ['English where the banner lacks the language', full, ['de-DE'],
    { banner: banner(1, true, three, 'en'), displayTitle: 'Hello — World — Maker' }],
  ['English with no language', full, undefined, { banner: banner(1, true, three, 'en') }],
  ['the header\'s title with no English', nds('8K', '--title', 'ONLY JA', ...titles('ja=日本')), ['en'],
    { banner: banner(1, true, { ja: ['日本'] }, null), displayTitle: 'ONLY JA' }],
  ['version 1 has no Chinese or Korean', nds('8K', ...eight), ['zh-Hant-TW', 'ko'],
    { banner: banner(1, true, { en: ['Hi'] }, 'en') }],
  ['version 2 has Chinese, no Korean', nds('8K', '--banner-version', '2', ...eight), ['ko', 'zh'],
    { banner: banner(2, true, { en: ['Hi'], zh: ['中文'] }, 'zh') }],
  ['version 3 has Korean', nds('8K', '--banner-version', '3', ...eight), ['ko'],
    { banner: banner(3, true, { en: ['Hi'], zh: ['中文'], ko: ['한국어 🎮'] }, 'ko') }],
  ['a version 3 banner cut after Chinese', nds(0x1940, '--banner-version', '3', ...eight), ['ko'],
    { banner: banner(3, true, { en: ['Hi'], zh: ['中文'] }, 'en') }],
  ['a wrong header checksum', nds('8K', '--title', 'T', '--bad-header-checksum'), [],
    { title: 'T', headerChecksumOk: false, banner: banner(1, true, {}, null) }],
  ['a wrong banner checksum', nds('8K', '--bad-banner-checksum'), [],
    { headerChecksumOk: true, banner: banner(1, false, {}, null) }],
  ['no banner', nds('8K', '--title', 'NONE', '--no-banner'), ['en'],
    { headerChecksumOk: true, banner: null, displayTitle: 'NONE' }],
  ['a banner just within the image', nds(0x1840), [], { banner: banner(1, true, {}, null) }],
  ['a banner one byte cut', nds(0x183f), [], { headerChecksumOk: true, banner: null }],
  ['a banner beyond the image', nds('8K', '--banner-at', '0x2000'), [], { banner: null }],
  ['a banner offset near 4 GiB', nds('8K', '--banner-at', '0xfffff800'), [], { banner: null }],
  ['an image one byte short of a header', nds(0x15f, '--title', 'ABCDEFGHIJKL', '--code', 'AB'), [],
    { title: 'ABCDEFGHIJKL', code: 'AB', maker: '', ...none }],
  ['an image cut in the title', nds(5, '--title', 'ABCDEFG'), [],
    { title: 'ABCDE', code: '', ...none, displayTitle: 'ABCDE' }],
  ['an empty image', Buffer.alloc(0), ['en'], { title: '', code: '', maker: '', ...none, displayTitle: '' }],
  ['a title that is not ASCII', nds(0x200, '--title', 'é!', '--no-banner'), [], { title: '\ufffd\ufffd!' }],
  // A lone high surrogate in the French title, and a lone low one in the English.
  ['a title that is not UTF-16', spoil(full, 0x1440, [0x00, 0xd8, 0x41, 0x00]), ['fr'],
    { banner: banner(1, false, { ja: three.ja, en: three.en }, 'en') }],
  ['no valid English', spoil(spoil(full, 0x1440, [0, 0xd8]), 0x1340, [0, 0xdc]), ['fr'],
    { banner: banner(1, false, { ja: three.ja }, null), displayTitle: 'HELLO WORLD' }],
];
let passed = 0;
const check = (name, test) => {
  test();
  passed++;
  console.log(`ok ${passed} ${name}`);
};
// The fields of `got` that `want` names, and those of its banner.
const fields = (got, want) => Object.fromEntries(Object.keys(want).map((key) => [key, got[key]]));
const pick = (got, want) => ({
  ...fields(got, want),
  ...('banner' in want && { banner: got.banner && want.banner ? fields(got.banner, want.banner) : got.banner }),
});
// Pushed in pieces of these sizes, the image reads as it does whole.
const pieces = [1, 7, 0x6b, 0x6c, 0x15f, 4096];
const inPieces = (image, size, languages) => {
  const reader = createIdentityReader();
  for (let at = 0; at < image.length; at += size) {
    reader.push(image.subarray(at, at + size));
    reader.push(new Uint8Array(0));
  }
  return reader.read(languages);
};
for (const [name, image, languages, want] of rows) {
  check(name, () => {
    const got = readIdentity(image, languages);
    assert.deepStrictEqual(pick(got, want), want);
    assert.strictEqual(got.banner?.iconRgba.length ?? 4096, 4096);
    for (const size of pieces) {
      assert.deepStrictEqual(inPieces(image, size, languages), got, `in pieces of ${size}`);
    }
  });
}

check('the icon\'s pixels', () => {
  const { iconRgba } = readIdentity(full, []).banner;
  const want = new Uint8ClampedArray(4096);
  icon.forEach((index, pixel) => want.set(COLOURS[index][1], 4 * pixel));
  assert.deepStrictEqual(iconRgba, want);
});
check('only the bytes given', () => {
  const first = (length) => readIdentity(full.subarray(0, length), ['fr'], full.length);
  assert.deepStrictEqual(pick(first(0x160), { ...header, banner: null }), { ...header, banner: null });
  assert.deepStrictEqual(first(0x1840), readIdentity(full, ['fr']));
});
check('random bytes, and banners over the header', () => {
  for (let seed = 1; seed <= 40; seed++) {
    const file = path.join(work, 'random');
    execFileSync(demoTool, ['image', String(0x1000 + 97 * seed), String(seed), file]);
    const image = fs.readFileSync(file);
    const offset = [0x100, 0x20, 0x15e, 0x800][seed % 4];
    for (const spoilt of [image, spoil(image, 0x68, [offset, offset >> 8, 0, 0])]) {
      const got = readIdentity(spoilt, ['ja', 'zh']);
      assert.strictEqual(typeof got.displayTitle, 'string');
      assert.deepStrictEqual(inPieces(spoilt, 1 + seed * 37, ['ja', 'zh']), got);
    }
  }
});
check('CRC-16/MODBUS check values', () => {
  assert.strictEqual(crc16Modbus(Buffer.from('123456789')), 0x4b37);
  assert.strictEqual(crc16Modbus(new Uint8Array(0)), 0xffff);
});

(async () => {
  const image = path.join(work, 'checked');
  execFileSync(demoTool, ['image', '5M', '3', image]);
  const inputs = [['empty', Buffer.alloc(0)], ['123456789', Buffer.from('123456789')],
    ['5 MiB', fs.readFileSync(image)]];
  for (const [name, bytes] of inputs) {
    fs.writeFileSync(image, bytes);
    const want = JSON.parse(execFileSync('python3', ['-c', `import hashlib, json, sys, zlib
data = open(sys.argv[1], 'rb').read()
print(json.dumps({'crc32': '%08x' % zlib.crc32(data), 'md5': hashlib.md5(data).hexdigest(),
                  'sha1': hashlib.sha1(data).hexdigest()}))`, image]));
    for (const size of [1 << 22, 4093, 1]) {
      if (size === 1 && bytes.length > 1 << 16) {
        continue;
      }
      const sums = await createChecksums();
      for (let at = 0; at < bytes.length; at += size) {
        sums.update(bytes.subarray(at, at + size));
        sums.update(new Uint8Array(0));
      }
      check(`checksums of ${name} in pieces of ${size}`, () => assert.deepStrictEqual(sums.digest(), want));
    }
  }
  check('sha1sum -c reads the list back', () => {
    const names = ['demos/sub/x.bin.nds', 'a b.nds', 'back\\slash.nds', 'line\nfeed.nds', 'carriage\rreturn.nds',
      ' lead', '*star', 'ünï.nds'];
    const root = path.join(work, 'zip');
    const crypto = require('crypto');
    const entries = names.map((name, n) => {
      fs.mkdirSync(path.dirname(path.join(root, name)), { recursive: true });
      fs.writeFileSync(path.join(root, name), String(n));
      return { path: name, sha1: crypto.createHash('sha1').update(String(n)).digest('hex') };
    });
    fs.writeFileSync(path.join(root, 'unlzon-images.sha1'), sha1sumList(entries));
    const said = execFileSync('sha1sum', ['-c', '--strict', 'unlzon-images.sha1'], { cwd: root, encoding: 'utf8' });
    assert.strictEqual(said.split('\n').filter((line) => line.endsWith(': OK')).length, names.length);
  });
  fs.rmSync(work, { recursive: true });
  console.log(`${passed} passed, 0 failed`);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});

// SPDX-License-Identifier: GPL-2.0-or-later
// The page in headless chromium, through its choosers and DevTools drag
// events: each container of the suite's end-to-end cases gives the native
// program's lines, status and image; a dropped folder (a subfolder, awkward
// names, broken demos, a zip inside) and a chosen zip give, for each demo, what
// `unlzon PATH` gives from the folder that holds it; a batch of 50 dropped
// demos, and every zip the page makes, read back by unzip -t and Python's
// zipfile, with its unlzon-images.sha1 checked by sha1sum -c; each image's
// checksums against Python's zlib and hashlib, and what the page reads of
// the headers and banners that demo_tool nds-image writes (titles, codes,
// checksums, the icon's pixels); the texts' contrast in both colour schemes;
// and nothing goes to a network meanwhile.
//
//   node web/test.mjs --page build-web/unlzon.html --native build \
//       [--chromium /usr/bin/chromium] [--screenshot web/screenshot.png]
//
// --native names a native build: its demo_tool makes the demos, and its
// unlzon, run on the same files, gives what the page must show.
import { spawnSync, execFileSync } from 'node:child_process';
import { isDeepStrictEqual } from 'node:util';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync, existsSync } from 'node:fs';
import { createHash } from 'node:crypto';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { parseArgs } from 'node:util';
import { openPage, foreignRequests, unpack, drop, done } from './browser.mjs';

const { values: options } = parseArgs({ options: {
  page: { type: 'string' }, native: { type: 'string' },
  chromium: { type: 'string', default: '/usr/bin/chromium' }, screenshot: { type: 'string' } } });
options.native = resolve(options.native ?? 'build');
const work = mkdtempSync(join(tmpdir(), 'unlzon-page-test-'));
const failures = [];
const expect = (actual, expected, what) => isDeepStrictEqual(actual, expected)
  || failures.push(`${what}:\n  page:   ${JSON.stringify(actual)}\n  native: ${JSON.stringify(expected)}`);

const demoTool = (...args) => execFileSync(join(options.native, 'demo_tool'), args);
let made = 0;
function image(size, seed) {
  const path = join(work, `image-${made++}`);
  demoTool('image', String(size), String(seed), path);
  return readFileSync(path);
}
function pack(bytes, ...flags) {
  const path = join(work, `image-${made++}`);
  writeFileSync(path, bytes);
  demoTool('pack', ...flags, path, path + '.bin');
  return readFileSync(path + '.bin');
}
const MAGIC = Buffer.from([0x4c, 0x5a, 0x4f, 0x6e, 0x00, 0x2f, 0xf1, 0x71]);
const be32 = (n) => { const b = Buffer.alloc(4); b.writeUInt32BE(n); return b; };
const container = (outSize, payload) => Buffer.concat([MAGIC, be32(outSize), be32(payload.length), payload]);

// The containers of tests/cli_test.cc's table, and two larger demos.
const sample = image(50000, 11);
const good = pack(sample);
const stream = good.subarray(16);
const out = sample.length;
const endMarker = pack(Buffer.alloc(0)).subarray(16);
const flipped = Buffer.from(good);
flipped[7] ^= 0xff;
const claims4GiB = container(0x100, Buffer.from([1, 2, 3, 4]));
claims4GiB[12] = 0xff;
const cases = [
  ['démo (1).bin', good],
  ['not a demo.bin', flipped],
  ['cut short.bin', container(out, stream.subarray(0, stream.length >> 1))],
  ['trailing bytes.bin', Buffer.concat([good, Buffer.from([0xde, 0xad, 0xbe, 0xef])])],
  ['padded with zeros.bin', container(out + 4096, stream)],
  ['empty image.bin', container(0, endMarker)],
  ['larger than declared.bin', container(out - 1, stream)],
  ['bytes after the end marker.bin', container(out, Buffer.concat([stream, Buffer.alloc(1)]))],
  ['empty payload.bin', container(16, Buffer.alloc(0))],
  ['shorter than a header.bin', MAGIC],
  ['empty file.bin', Buffer.alloc(0)],
  ['payload truncated.bin', good.subarray(0, -1)],
  ['claims a 4 GiB payload.bin', claims4GiB],
  // Natively a 4 GiB image is a sparse file; a browser cannot hold one, and
  // the native program under a 1 GiB address-space limit shows what it must.
  ['declares 4 GiB.bin', container(0xffffffff, endMarker), 1 << 20],
  ['1 MiB, LZO1X-999.bin', pack(image(1 << 20, 5), '--best')],
  ['4 MiB.bin', pack(image(4 << 20, 7))],
];

// The native program as a shell runs `unlzon PATH` from the folder `root`.
const lines = (text, stream) => (text === '' ? [] : text.replace(/\n$/, '').split('\n').map((t) => [stream, t]));
function nativeRun(root, path, limitKiB) {
  const run = spawnSync('sh', ['-c', `${limitKiB ? `ulimit -v ${limitKiB} && ` : ''}exec "$0" "$1"`,
    join(options.native, 'unlzon'), path], { cwd: root, encoding: 'utf8' });
  const imagePath = join(root, path + '.nds');
  return { status: String(run.status), image: existsSync(imagePath) ? readFileSync(imagePath) : null,
    lines: [...lines(run.stdout, 'out'), ...lines(run.stderr, 'err')] };
}
// Writes `tree` ({path: bytes}) below `root`.
function writeTree(root, tree) {
  for (const [path, bytes] of Object.entries(tree)) {
    mkdirSync(dirname(join(root, path)), { recursive: true });
    writeFileSync(join(root, path), bytes);
  }
}
// A zip made by Python's zipfile of `tree` ({name: bytes}), deflated, each
// entry under its name exactly as given.
function zipOf(tree) {
  const path = join(work, `zip-${made++}.zip`);
  const names = Object.keys(tree);
  names.forEach((name, i) => writeFileSync(`${path}.${i}`, tree[name]));
  execFileSync('python3', ['-c', `import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    for i, name in enumerate(sys.argv[2:]):
        z.writestr(name, open(f'{sys.argv[1]}.{i}', 'rb').read())`, path, ...names]);
  return readFileSync(path);
}
const sha = (bytes) => createHash('sha256').update(bytes).digest('hex');
// A zip the page made, as unzip -t and Python's zipfile read it: every
// entry's name and the SHA-256 of its bytes, after both checked the CRC-32s.
function readZip(path, what) {
  expect(spawnSync('unzip', ['-tq', path]).status, 0, `${what}: unzip -t`);
  const listed = spawnSync('python3', ['-c', `import hashlib, json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
print(json.dumps({'bad': bad, 'entries': [[i.filename, hashlib.sha256(z.read(i)).hexdigest()] for i in z.infolist()]}))`,
  path], { encoding: 'utf8' });
  const { bad, entries } = JSON.parse(listed.stdout || '{"bad": "no output", "entries": []}');
  expect(bad, null, `${what}: Python's testzip`);
  // Every image's SHA-1 in the list, which holds each image once.
  const unzipped = mkdtempSync(join(work, 'unzipped-'));
  execFileSync('unzip', ['-q', path, '-d', unzipped]);
  const check = spawnSync('sha1sum', ['-c', '--strict', 'unlzon-images.sha1'], { cwd: unzipped, encoding: 'utf8' });
  expect([check.status, check.stderr], [0, ''], `${what}: sha1sum -c unlzon-images.sha1`);
  const images = entries.filter(([name]) => name !== 'unlzon-images.sha1');
  expect(check.stdout.split('\n').filter((line) => line.endsWith(': OK')).length, images.length,
    `${what}: images in unlzon-images.sha1`);
  expect(entries.at(-1)?.[0], 'unlzon-images.sha1', `${what}: the list of sums, last`);
  return images;
}
// Each file's [CRC-32, MD5, SHA-1] as Python's zlib and hashlib give them.
function pythonSums(buffers) {
  const paths = buffers.map((bytes) => {
    const path = join(work, `sums-${made++}`);
    writeFileSync(path, bytes);
    return path;
  });
  return JSON.parse(execFileSync('python3', ['-c', `import hashlib, json, sys, zlib
sums = []
for path in sys.argv[1:]:
    data = open(path, 'rb').read()
    sums.append([format(zlib.crc32(data), '08x'), hashlib.md5(data).hexdigest(), hashlib.sha1(data).hexdigest()])
print(json.dumps(sums))`, ...paths], { encoding: 'utf8' }));
}

// What the page shows for each demo, in the list's order.
const shownResults = (page) => page.$$eval('#files .file', (items) => items.map((item) => ({
  name: item.dataset.name, status: item.dataset.status,
  lines: [...item.querySelectorAll('pre > span')].map((s) => [s.className, s.textContent.replace(/\n$/, '')]),
  link: item.querySelector('a[download]')?.getAttribute('download') ?? null,
  words: item.querySelector('.advice')?.textContent ?? null })));
const bannerLines = async (page) => (await page.$eval('#banner', (b) => b.textContent)).split('\n').map((t) => ['out', t]);
// Each shown result against the native run of the same path.
async function compare(page, shown, want, what) {
  const banner = await bannerLines(page);
  for (const result of shown) {
    const native = want.get(result.name);
    if (!native) {
      failures.push(`${what}: ${result.name} is shown, but is no demo of the test`);
      continue;
    }
    expect([result.status, banner.concat(result.lines)], [native.status, native.lines], `${what}: ${result.name}: status and lines`);
    expect(result.link, native.image ? result.name.split('/').pop() + '.nds' : null, `${what}: ${result.name}: download link`);
    if (!native.image && !(result.words && !/-1|returned/.test(result.words))) {
      failures.push(`${what}: ${result.name}: no plain words on the failure: ${result.words}`);
    }
  }
}

// The containers, each given as a file through the file chooser.
const native = join(work, 'native');
const given = join(work, 'given');
mkdirSync(native);
mkdirSync(given);
const expected = new Map(cases.map(([name, bytes, limitKiB]) => {
  writeFileSync(join(native, name), bytes);
  writeFileSync(join(given, name), bytes);
  return [name, nativeRun(native, name, limitKiB)];
}));

// Images with a header and a banner, as demo_tool nds-image writes them, and
// what the page must say of each: [path in the folder below, size,
// nds-image's options, data-code, data-title, the header's checksum, the
// banner]. The browser's language is English.
const COLOURS = [[0x7fff, [0, 0, 0, 0]], [0x001f, [255, 0, 0, 255]], [0x03e0, [0, 255, 0, 255]],
  [0x7c00, [0, 0, 255, 255]], [0x0010, [132, 0, 0, 255]], [0x294a, [82, 82, 82, 255]]];
const iconFile = join(work, 'icon');
const icon = Uint8Array.from({ length: 1024 }, (_, i) => ((i * 7) ^ (i >> 5) ^ (i >> 8)) % COLOURS.length);
writeFileSync(iconFile, icon);
const titles = (...list) => list.flatMap((title) => ['--banner-title', title]);
const identified = [
  ['demos/good.bin', 40000, ['--title', 'HELLO WORLD', '--code', 'ABCJ', '--maker', '01', '--icon', iconFile,
    '--palette', COLOURS.map(([colour]) => colour.toString(16)).join(','), ...titles('en=Hello\nWorld\nMaker', 'fr=Bonjour', 'ja=こんにちは')],
  'ABCJ', 'Hello — World — Maker', 'holds', 'version 1, checksum holds'],
  ['demos/sub/good.bin', 30000, ['--title', 'ONLY JA', '--code', 'JPNJ', '--banner-version', '3', ...titles('ja=日本', 'ko=한국어')],
    'JPNJ', 'ONLY JA', 'holds', 'version 3, checksum holds'],
  ['demos/A.bin', 30000, ['--title', 'SPOILT', '--code', 'BADE', '--bad-header-checksum', '--bad-banner-checksum',
    ...titles('en=Spoilt')], 'BADE', 'Spoilt', 'does not hold', 'version 1, checksum does not hold'],
  ['demos/sub/no banner.bin', 30000, ['--title', 'NO BANNER', '--code', 'NOBE', '--no-banner'],
    'NOBE', 'NO BANNER', 'holds', 'no banner'],
  ['demos/sub/cut banner.bin', 0x1800, ['--title', 'CUT', '--code', 'CUTE', ...titles('en=Cut')],
    'CUTE', 'CUT', 'holds', 'no banner'],
];
const ndsDemo = ([, size, flags], seed) => {
  const path = join(work, `image-${made++}`);
  demoTool('nds-image', String(size), String(seed), path, ...flags);
  return pack(readFileSync(path));
};

// A folder as users have it: a subfolder, names in other cases and with
// characters Windows refuses, broken demos, files that are no demo, the
// same name in two cases and in two folders, and a zip inside; its images
// those above, others with a title and code of their own, and random bytes.
const PALETTE = COLOURS.map(([colour]) => colour.toString(16)).join(',');
function demo(seed, size = 20000 + seed * 1000) {
  const iconOf = join(work, `icon-${seed}`);
  writeFileSync(iconOf, Uint8Array.from({ length: 1024 }, (_, i) => (((i >> 5) - 16) ** 2 + ((i & 31) - 16) ** 2 < 14 * 14
    ? 1 + ((seed + (i >> 7)) % (COLOURS.length - 1)) : 0)));
  return ndsDemo([null, size, ['--title', `DEMO ${seed}`, '--code', `D${seed}`, '--icon', iconOf, '--palette', PALETTE,
    ...titles(`en=Demo ${seed}\nThe test's own`)]], seed);
}
const inner = { 'one.bin': demo(21), 'two/Three.BIN': demo(22), 'two/notes.txt': Buffer.from('no demo') };
const folder = {
  'demos/good.bin': demo(1),
  'demos/A.bin': demo(2),
  'demos/a.bin': pack(image(23000, 3)),
  'demos/sub/good.bin': demo(4),
  'demos/sub/Deeper/UPPER.BIN': demo(5),
  'demos/what? <x>|y.bin': demo(6),
  'demos/con.bin': demo(7),
  'demos/sub/naïve résumé (1).bin': demo(9),
  'demos/broken.bin': flipped,
  'demos/sub/cut short.bin': container(out, stream.subarray(0, stream.length >> 1)),
  'demos/readme.txt': Buffer.from('no demo'),
  ...Object.fromEntries(identified.map((row, i) => [row[0], ndsDemo(row, 40 + i)])),
};
const dropped = join(work, 'dropped');
writeTree(dropped, { ...folder, 'demos/pack.zip': zipOf(inner) });
const folderRoot = join(work, 'native-folder');
writeTree(folderRoot, folder);
writeTree(join(folderRoot, 'demos', 'pack'), inner);
const folderDemos = [...Object.keys(folder), 'demos/pack/one.bin', 'demos/pack/two/Three.BIN']
  .filter((path) => /\.bin$/i.test(path));
const folderWant = new Map(folderDemos.map((path) => [path, nativeRun(folderRoot, path)]));
// The zip's names: the demos' paths, made safe and unique whatever the case.
const folderZip = new Map([
  ['demos/A.bin.nds', 'demos/A.bin'], ['demos/a.bin (2).nds', 'demos/a.bin'],
  ['demos/_con.bin.nds', 'demos/con.bin'],
  ['demos/good.bin.nds', 'demos/good.bin'], ['demos/pack/one.bin.nds', 'demos/pack/one.bin'],
  ['demos/pack/two/Three.BIN.nds', 'demos/pack/two/Three.BIN'],
  ['demos/sub/Deeper/UPPER.BIN.nds', 'demos/sub/Deeper/UPPER.BIN'], ['demos/sub/good.bin.nds', 'demos/sub/good.bin'],
  ['demos/sub/naïve résumé (1).bin.nds', 'demos/sub/naïve résumé (1).bin'],
  ['demos/sub/no banner.bin.nds', 'demos/sub/no banner.bin'], ['demos/sub/cut banner.bin.nds', 'demos/sub/cut banner.bin'],
  ['demos/what_ _x__y.bin.nds', 'demos/what? <x>|y.bin'],
]);
// A zip whose entries stand in one top folder, chosen with the file chooser,
// and the same folder as the folder chooser gives it.
const zipped = { 'zipped/x.bin': demo(31), 'zipped/sub/y.bin': demo(32), 'zipped/sub/bad.bin': MAGIC };
writeFileSync(join(given, 'zipped.zip'), zipOf(zipped));
// And one made to climb out of its folder, with a drive letter and a
// leading "/": its demos stay in a folder named after it.
const hostile = { '../up.bin': demo(33), 'C:\\dos\\x.bin': demo(34), '/abs.bin': demo(35) };
writeFileSync(join(given, 'hostile.zip'), zipOf(hostile));
const hostilePaths = { 'hostile/up.bin': '../up.bin', 'hostile/C:/dos/x.bin': 'C:\\dos\\x.bin', 'hostile/abs.bin': '/abs.bin' };
const zippedRoot = join(work, 'native-zipped');
writeTree(zippedRoot, zipped);
writeTree(zippedRoot, Object.fromEntries(Object.entries(hostilePaths).map(([path, name]) => [path, hostile[name]])));
const zippedWant = new Map([...Object.keys(zipped), ...Object.keys(hostilePaths)]
  .map((path) => [path, nativeRun(zippedRoot, path)]));

async function saveAll(page, nextDownload) {
  await page.waitForSelector('#save-all:not([disabled])');
  await page.click('#save-all');
  // A zip that could not be made says so at once.
  const zip = await Promise.race([nextDownload(), page.waitForFunction(() => /could not be made/
    .test(document.getElementById('progress-text').textContent), { timeout: 0 })
    .then(async () => { throw new Error(await page.$eval('#progress-text', (p) => p.textContent)); })]);
  expect(zip.name, 'unlzon-images.zip', 'name of the zip');
  return zip.path;
}
// Every text's contrast against the background it stands on, in the colour
// scheme the page is now shown in: the lowest ratio and where.
const lowestContrast = (page) => page.evaluate(() => {
  const rgb = (color) => color.match(/[\d.]+/g).map(Number);
  const luminance = ([r, g, b]) => [r, g, b].map((c) => {
    const v = c / 255;
    return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4;
  }).reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
  const background = (element) => {
    for (let e = element; e; e = e.parentElement) {
      const color = rgb(getComputedStyle(e).backgroundColor);
      if (color.length < 4 || color[3] > 0) {
        return color.slice(0, 3);
      }
    }
    return [255, 255, 255];
  };
  let lowest = { ratio: Infinity, what: '' };
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    const element = node.parentElement;
    if (!node.textContent.trim() || !element.checkVisibility() || element.closest('button:disabled')) {
      continue;
    }
    const [a, b] = [luminance(rgb(getComputedStyle(element).color)), luminance(background(element))];
    const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
    if (ratio < lowest.ratio) {
      lowest = { ratio, what: `${element.tagName}.${element.className}: ${node.textContent.trim().slice(0, 40)}` };
    }
  }
  return lowest;
});

// Each unpacked image's checksums against Python's, and for the images of
// `identified` the attributes, what the page says of their checksums, and
// the icon's pixels as the page drew them.
async function checkIdentities(page, want, what) {
  const shown = await page.$$eval('#files .file.unpacked', (items) => Promise.all(items.map(async (item) => {
    const term = (label) => [...item.querySelectorAll('.identity dt')].find((dt) => dt.textContent === label)
      ?.nextElementSibling.textContent ?? null;
    const img = item.querySelector('img.icon');
    let pixels = null;
    if (img) {
      await img.decode();
      const canvas = document.createElement('canvas');
      canvas.width = 32;
      canvas.height = 32;
      const context = canvas.getContext('2d');
      context.drawImage(img, 0, 0);
      pixels = [...context.getImageData(0, 0, 32, 32).data];
    }
    const { name, crc32, md5, sha1, code, title } = item.dataset;
    return { name, sums: [crc32, md5, sha1], code, title, header: term('Header checksum'), banner: term('Banner'), pixels,
      copies: [...item.querySelectorAll('button.copy')].map((b) => b.dataset.copy) };
  })));
  const sums = pythonSums(shown.map(({ name }) => want.get(name).image));
  for (const [i, result] of shown.entries()) {
    expect(result.sums, sums[i], `${what}: ${result.name}: CRC-32, MD5, SHA-1`);
    expect(result.copies, sums[i], `${what}: ${result.name}: what Copy copies`);
    const row = identified.find(([path]) => path === result.name);
    if (row) {
      const [, , , code, title, header, banner] = row;
      expect([result.code, result.title, result.header, result.banner], [code, title, header, banner],
        `${what}: ${result.name}: code, title, header and banner`);
    }
  }
  const full = shown.find(({ name }) => name === identified[0][0]);
  const rgba = [...icon].flatMap((index) => COLOURS[index][1]);
  expect(full?.pixels, rgba, `${what}: ${identified[0][0]}: the icon's pixels`);
}

const { browser, page, requests, nextDownload } = await openPage(options.page,
  { chromium: options.chromium, work, width: 720, height: 880 });
try {
  // The containers, through the file chooser, in the order given.
  await unpack(page, cases.map(([name]) => join(given, name)), cases.length);
  let shown = await shownResults(page);
  expect(shown.map((s) => s.name), cases.map(([name]) => name), 'the files in order');
  await compare(page, shown, expected, 'the containers');
  for (const [index, result] of shown.entries()) {
    const want = expected.get(result.name);
    if (want.image && result.link) {
      await page.$eval(`#files .file:nth-child(${index + 1}) a[download]`, (a) => a.click());
      const saved = await nextDownload();
      expect(saved.name, result.name + '.nds', `${result.name}: downloaded name`);
      expect(readFileSync(saved.path).equals(want.image), true, `${result.name}: downloaded image`);
    }
  }
  // The keyboard reaches the choosers first, then the controls and links;
  // a phone's width (or 200% zoom of 640 px) needs no sideways scrolling.
  const focused = [];
  for (let i = 0; i < 6; i += 1) {
    await page.keyboard.press('Tab');
    focused.push(await page.evaluate(() => document.activeElement.id || document.activeElement.tagName));
  }
  expect(focused, ['pick', 'pick-folder', 'only-failed', 'save-all', 'clear', 'SUMMARY'], 'the first six stops of Tab');
  await page.setViewport({ width: 320, height: 640 });
  expect(await page.evaluate(() => document.documentElement.scrollWidth), 320, 'the page\'s width at 320 px');
  await page.setViewport({ width: 720, height: 880 });
  // Only the failed files, at a click.
  await page.click('#only-failed');
  const visible = await page.$$eval('#files .file', (items) => items.filter((i) => i.checkVisibility()).map((i) => i.dataset.name));
  expect(visible, cases.filter(([name]) => !expected.get(name).image).map(([name]) => name), 'only the failed files');
  await page.click('#only-failed');
  // With every result's details open: the checksums fit 320 px too.
  await page.$$eval('#files details', (all) => all.forEach((d) => { d.open = true; }));
  await page.setViewport({ width: 320, height: 640 });
  expect(await page.evaluate(() => document.documentElement.scrollWidth), 320, 'the page\'s width at 320 px, details open');
  await page.setViewport({ width: 720, height: 880 });
  for (const scheme of ['light', 'dark']) {
    await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme }]);
    const lowest = await lowestContrast(page);
    if (!(lowest.ratio >= 4.5)) {
      failures.push(`${scheme} scheme: contrast ${lowest.ratio.toFixed(2)}:1 below 4.5:1 at ${lowest.what}`);
    }
  }
  await page.emulateMediaFeatures([]);
  await page.$$eval('#files details', (all) => all.forEach((d) => { d.open = false; }));

  // The folder, dropped as Finder or Explorer drops it. On a page opened
  // from disk Chromium lists a dropped folder through its handle, which
  // leaves out names that Windows refuses; the folder chooser takes them.
  const unsafe = (path) => /[<>:"|?*\\]|(^|\/)con\./i.test(path);
  await page.click('#clear');
  const safeDemos = folderDemos.filter((path) => !unsafe(path));
  await drop(page, [join(dropped, 'demos')], safeDemos.length);
  shown = await shownResults(page);
  expect(shown.map((s) => s.name).sort(), [...safeDemos].sort(), 'the dropped folder: its demos');
  await compare(page, shown, folderWant, 'the dropped folder');
  const counted = (paths) => `Done: ${paths.filter((p) => folderWant.get(p).image).length} unpacked, `
    + `${paths.filter((p) => !folderWant.get(p).image).length} failed.`;
  expect(await page.$eval('#progress-text', (p) => p.textContent), counted(safeDemos), 'the dropped folder: the counts');
  if (options.screenshot) {
    await page.click('#files .file[data-name="demos/good.bin"] summary');
    await page.screenshot({ path: options.screenshot, fullPage: true });
  }

  // The same folder through the folder chooser, and its zip.
  await page.click('#clear');
  await (await page.$('#pick-folder')).uploadFile(join(dropped, 'demos'));
  await done(page, folderDemos.length);
  shown = await shownResults(page);
  expect(shown.map((s) => s.name).sort(), [...folderDemos].sort(), 'the chosen folder: its demos');
  await compare(page, shown, folderWant, 'the chosen folder');
  await checkIdentities(page, folderWant, 'the chosen folder');
  const entries = readZip(await saveAll(page, nextDownload), 'the chosen folder\'s zip');
  expect(entries.map(([name]) => name).sort(), [...folderZip.keys()].sort(), 'the chosen folder\'s zip: names');
  for (const [name, hash] of entries) {
    const path = folderZip.get(name);
    expect(hash, path && folderWant.get(path).image ? sha(folderWant.get(path).image) : 'none',
      `the chosen folder's zip: ${name}`);
  }

  // The two zips through the file chooser.
  await page.click('#clear');
  await unpack(page, [join(given, 'zipped.zip'), join(given, 'hostile.zip')], zippedWant.size);
  shown = await shownResults(page);
  expect(shown.map((s) => s.name).sort(), [...zippedWant.keys()].sort(), 'the chosen zips: their demos');
  await compare(page, shown, zippedWant, 'the chosen zips');
  expect(readZip(await saveAll(page, nextDownload), 'the chosen zips\' zip'),
    [['zipped/sub/y.bin', 'zipped/sub/y.bin'], ['zipped/x.bin', 'zipped/x.bin'], ['hostile/C_/dos/x.bin', 'hostile/C:/dos/x.bin'],
      ['hostile/abs.bin', 'hostile/abs.bin'], ['hostile/up.bin', 'hostile/up.bin']]
      .map(([name, path]) => [name + '.nds', sha(zippedWant.get(path).image)]),
    'the chosen zips\' zip: names and bytes');

  // A batch of 50 demos, dropped on the page one by one, and its zip.
  await page.click('#clear');
  const batch = Array.from({ length: 50 }, (_, i) => [`${String(i).padStart(2, '0')}.bin`, image(20000 + i * 3000, i)]);
  for (const [name, bytes] of batch) {
    writeFileSync(join(given, name), pack(bytes));
  }
  await drop(page, batch.map(([name]) => join(given, name)), batch.length);
  const statuses = await page.$$eval('#files .file', (items) => items.map((i) => i.dataset.status));
  expect(statuses, batch.map(() => '0'), 'the batch: statuses');
  expect(readZip(await saveAll(page, nextDownload), 'the batch\'s zip'),
    batch.map(([name, bytes]) => [name + '.nds', sha(bytes)]), 'the batch: names and bytes in the zip');
  expect(foreignRequests(requests), [], 'requests to anywhere but the page itself');
} finally {
  await browser.close();
}
if (failures.length) {
  console.error(failures.join('\n'));
  console.error(`${failures.length} check(s) failed; files kept in ${work}`);
  process.exit(1);
}
rmSync(work, { recursive: true, force: true });
console.log(`page test: ${cases.length} containers, a folder of ${folderDemos.length} demos dropped and chosen, `
  + 'two zips and a batch of 50 as the native program, their zips sound, no request');

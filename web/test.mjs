// SPDX-License-Identifier: GPL-2.0-or-later
// The page in headless chromium, through <input type="file" multiple>: each
// container of the suite's end-to-end cases gives the native program's lines,
// status and image; a batch of 50 demos dropped on it gives a zip of their
// images; and nothing goes to a network meanwhile.
//
//   node web/test.mjs --page build-web/unlzon.html --native build \
//       [--chromium /usr/bin/chromium] [--screenshot web/screenshot.png]
//
// --native names a native build: its demo_tool makes the demos, and its
// unlzon, run on the same files, gives what the page must show.
import { spawnSync, execFileSync } from 'node:child_process';
import { isDeepStrictEqual } from 'node:util';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { parseArgs } from 'node:util';
import { unzipSync } from 'fflate';
import { openPage, foreignRequests, unpack } from './browser.mjs';

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

// The native program on each file, as a shell runs it in the file's folder.
const lines = (text, stream) => (text === '' ? [] : text.replace(/\n$/, '').split('\n').map((t) => [stream, t]));
const native = join(work, 'native');
const given = join(work, 'given');
mkdirSync(native);
mkdirSync(given);
const expected = new Map(cases.map(([name, bytes, limitKiB]) => {
  writeFileSync(join(native, name), bytes);
  writeFileSync(join(given, name), bytes);
  const run = spawnSync('sh', ['-c', `${limitKiB ? `ulimit -v ${limitKiB} && ` : ''}exec "$0" "$1"`,
    join(options.native, 'unlzon'), name], { cwd: native, encoding: 'utf8' });
  const imagePath = join(native, name + '.nds');
  return [name, { status: String(run.status), image: existsSync(imagePath) ? readFileSync(imagePath) : null,
    lines: [...lines(run.stdout, 'out'), ...lines(run.stderr, 'err')] }];
}));

const { browser, page, requests, nextDownload } = await openPage(options.page,
  { chromium: options.chromium, work, width: 720, height: 880 });
try {
  await unpack(page, cases.map(([name]) => join(given, name)), cases.length);
  const banner = (await page.$eval('#banner', (b) => b.textContent)).split('\n').map((t) => ['out', t]);
  const shown = await page.$$eval('#files .file', (items) => items.map((item) => ({
    name: item.dataset.name, status: item.dataset.status,
    lines: [...item.querySelectorAll('pre > span')].map((s) => [s.className, s.textContent.replace(/\n$/, '')]),
    link: item.querySelector('a[download]')?.getAttribute('download') ?? null })));
  expect(shown.map((s) => s.name), cases.map(([name]) => name), 'the files in order');
  for (const [index, result] of shown.entries()) {
    const want = expected.get(result.name);
    expect([result.status, banner.concat(result.lines)], [want.status, want.lines],
      `${result.name}: status and lines`);
    expect(result.link, want.image ? result.name + '.nds' : null, `${result.name}: download link`);
    if (want.image && result.link) {
      await page.$eval(`#files .file:nth-child(${index + 1}) a[download]`, (a) => a.click());
      const saved = await nextDownload();
      expect(saved.name, result.name + '.nds', `${result.name}: downloaded name`);
      expect(readFileSync(saved.path).equals(want.image), true, `${result.name}: downloaded image`);
    }
  }
  if (options.screenshot) {
    await page.screenshot({ path: options.screenshot });
  }
  // The keyboard reaches the file chooser first, then the buttons and links;
  // a phone's width (or 200% zoom of 640 px) needs no sideways scrolling.
  const focused = [];
  for (let i = 0; i < 4; i += 1) {
    await page.keyboard.press('Tab');
    focused.push(await page.evaluate(() => document.activeElement.id || document.activeElement.tagName));
  }
  expect(focused, ['pick', 'save-all', 'clear', 'A'], 'the first four stops of Tab');
  await page.setViewport({ width: 320, height: 640 });
  expect(await page.evaluate(() => document.documentElement.scrollWidth), 320, 'the page\'s width at 320 px');

  // A batch of 50 demos, dropped on the page, and its zip.
  await page.click('#clear');
  const batch = Array.from({ length: 50 }, (_, i) => [`${String(i).padStart(2, '0')}.bin`, image(20000 + i * 3000, i)]);
  for (const [name, bytes] of batch) {
    writeFileSync(join(given, name), pack(bytes));
  }
  await unpack(page, batch.map(([name]) => join(given, name)), batch.length, { drop: true });
  const statuses = await page.$$eval('#files .file', (items) => items.map((i) => i.dataset.status));
  expect(statuses, batch.map(() => '0'), 'the batch: statuses');
  await page.waitForSelector('#save-all:not([disabled])');
  await page.click('#save-all');
  const zip = await nextDownload();
  expect(zip.name, 'unlzon-images.zip', 'the batch: name of the zip');
  const entries = unzipSync(readFileSync(zip.path));
  // Info-ZIP's own check of every entry's CRC-32, which fflate's reader skips.
  expect(spawnSync('unzip', ['-tq', zip.path]).status, 0, 'the batch: unzip -t of the zip');
  expect(Object.keys(entries), batch.map(([name]) => name + '.nds'), 'the batch: names in the zip');
  for (const [name, bytes] of batch) {
    expect(Buffer.from(entries[name + '.nds'] ?? []).equals(bytes), true, `the batch: ${name}.nds in the zip`);
  }
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
console.log(`page test: ${cases.length} containers and a batch of 50 as the native program, no request`);

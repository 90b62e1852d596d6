// SPDX-License-Identifier: GPL-2.0-or-later
// The page in headless chromium, timed and weighed (a benchmark, not a test;
// see bench/README.md):
//   one     a 4 MiB demo handed to the page, until its download link is there
//   batch   200 demos of 1-4 MiB, until every link is there, against the
//           native folder script (examples/unpack-all.sh) on the same demos;
//           and Save all's zip
//   memory  the tab's peak memory for one 256 MiB image
//   largest demos that declare 1 GiB to 4 GiB of image (end marker alone),
//           which of them a tab can hold
//   again   (only when named) the batch's 200 demos four times in one tab,
//           with Clear between: each batch's statuses and time
//   zip64   (only when named) three demos that declare 1.5 GiB each, and
//           Save all's zip of 4.5 GiB, read back by unzip -t and Python's
//           zipfile
//
//   node bench/web_bench.mjs [--page build-web/unlzon.html] [--native build-web/native]
//       [--work bench/work/web] [--rounds 7] [--series one,batch,memory,largest]
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync, readdirSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { cpus, loadavg, release } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { openPage, foreignRequests, unpack } from '../web/browser.mjs';

const { values: options } = parseArgs({ options: {
  page: { type: 'string', default: 'build-web/unlzon.html' },
  native: { type: 'string', default: 'build-web/native' },
  chromium: { type: 'string', default: '/usr/bin/chromium' },
  work: { type: 'string', default: 'bench/work/web' },
  rounds: { type: 'string', default: '7' },
  series: { type: 'string', default: 'one,batch,memory,largest' } } });
const work = resolve(options.work);
const demos = join(work, 'demos');
mkdirSync(demos, { recursive: true });
const series = options.series.split(',');
const MiB = 1 << 20;

// A demo of a synthetic image of `size` bytes, made once and kept.
function demo(name, size, seed) {
  const path = join(demos, name);
  mkdirSync(dirname(path), { recursive: true });
  if (!existsSync(path)) {
    const image = join(work, 'image');
    execFileSync(join(options.native, 'demo_tool'), ['image', String(size), String(seed), image]);
    execFileSync(join(options.native, 'demo_tool'), ['pack', image, path]);
    rmSync(image);
  }
  return path;
}
// A demo of the end-of-stream marker alone that declares `size` bytes.
function declaring(size) {
  const path = join(demos, `declares-${size}.bin`);
  const head = Buffer.alloc(16);
  Buffer.from('LZOn\0\x2f\xf1\x71', 'latin1').copy(head);
  head.writeUInt32BE(size, 8);
  head.writeUInt32BE(3, 12);
  writeFileSync(path, Buffer.concat([head, Buffer.from([0x11, 0, 0])]));
  return path;
}

const median = (values) => [...values].sort((a, b) => a - b)[values.length >> 1];
const seconds = (ms) => (ms / 1000).toFixed(3) + ' s';
const results = [];
function judge(what, value, limit, text) {
  results.push(`  ${value <= limit ? 'met   ' : 'MISSED'}  ${what}: ${text}`);
}

// Records, in the page, when files are handed over, when links appear, when
// every file is done and when the zip is ready.
async function watch(page) {
  await page.evaluate(() => {
    const t = (window.benchTimes = {});
    document.addEventListener('change', () => { t.start = performance.now(); }, true);
    document.addEventListener('click', (e) => { if (e.target.id === 'save-all') t.zipStart = performance.now(); }, true);
    new MutationObserver(() => {
      const now = performance.now();
      if (!t.link && document.querySelector('#files a[download]')) t.link = now;
      const files = document.querySelectorAll('#files .file').length;
      if (!t.done && files > 0 && files === document.querySelectorAll('#files .file[data-status]').length) t.done = now;
      // Every image's checksums on the page, where the page shows them.
      if (t.done && !t.sums && document.querySelectorAll('#files .file.unpacked').length
        === document.querySelectorAll('#files .file.unpacked[data-sha1]').length) t.sums = now;
      if (!t.zip && !document.getElementById('zip-link').hidden) t.zip = now;
    }).observe(document.body, { subtree: true, childList: true, attributes: true });
  });
}
const times = (page) => page.evaluate(() => window.benchTimes);
const reset = (page) => page.evaluate(() => {
  document.getElementById('clear').click();
  for (const key of Object.keys(window.benchTimes)) delete window.benchTimes[key];
});

// The renderer processes of the browser (the page and its worker run in
// one), which chromium starts through its zygote: descendants, not children.
function renderers(browserPid) {
  const parent = new Map();
  const renderer = [];
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      parent.set(pid, readFileSync(`/proc/${pid}/status`, 'utf8').match(/\nPPid:\t(\d+)/)[1]);
      if (readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('--type=renderer')) renderer.push(pid);
    } catch {
      // gone meanwhile
    }
  }
  const descends = (pid) => pid === String(browserPid) || (parent.has(pid) && pid !== '1' && descends(parent.get(pid)));
  return renderer.filter(descends);
}
const kib = (pid, field) => Number(readFileSync(`/proc/${pid}/status`, 'utf8').match(new RegExp(`${field}:\\s+(\\d+)`))[1]);
// Resets the high-water mark of resident memory (Linux: clear_refs 5).
const resetPeak = (pid) => writeFileSync(`/proc/${pid}/clear_refs`, '5');

async function withPage(run) {
  const session = await openPage(resolve(options.page), { chromium: options.chromium, work: join(work, 'browser') });
  try {
    await watch(session.page);
    return await run(session);
  } finally {
    await session.browser.close();
    rmSync(join(work, 'browser'), { recursive: true, force: true });
  }
}

const cpu = execFileSync('lscpu', { encoding: 'utf8' }).match(/Model name:\s*(.*)/)[1];
let chromiumVersion = '';
let requests = [];
console.log(`machine: cpu='${cpu}' cores=${cpus().length} kernel=${release()} load=${loadavg()[0].toFixed(2)}`);

if (series.includes('one')) {
  const path = demo('one-4MiB.bin', 4 * MiB, 0x4c5a);
  await withPage(async ({ browser, page, requests: seen }) => {
    chromiumVersion = await browser.version();
    const rounds = [];
    // A warm-up round first, as bench.py does.
    for (let round = 0; round <= Number(options.rounds); round += 1) {
      await reset(page);
      await unpack(page, [path], 1);
      // The page may list the demo as done before its link is there.
      await page.waitForSelector('#files a[download]');
      const t = await times(page);
      if (round > 0) rounds.push(t.link - t.start);
    }
    requests.push(...seen);
    console.log(`one: 4 MiB demo to its link, ${rounds.length} rounds after a warm-up: median ${seconds(median(rounds))}`
      + ` (range ${seconds(Math.min(...rounds))}-${seconds(Math.max(...rounds))})`);
    judge('one 4 MiB demo', median(rounds), 30, `median ${seconds(median(rounds))} <= 0.030 s`);
  });
}

// The native folder script on `folder`, as a user runs it: the median of
// `rounds` runs, each on a folder with no image in it yet.
function nativeFolder(folder, rounds) {
  const script = join(dirname(fileURLToPath(import.meta.url)), '..', 'examples', 'unpack-all.sh');
  const times = [];
  for (let round = 0; round <= rounds; round += 1) {
    for (const name of readdirSync(folder).filter((n) => n.endsWith('.nds'))) rmSync(join(folder, name));
    const start = performance.now();
    const run = spawnSync('sh', [script, folder], { env: { ...process.env, UNLZON: resolve(options.native, 'unlzon') } });
    if (run.status !== 0) throw new Error(`unpack-all.sh: status ${run.status}: ${run.stderr}`);
    if (round > 0) times.push(performance.now() - start);
  }
  for (const name of readdirSync(folder).filter((n) => n.endsWith('.nds'))) rmSync(join(folder, name));
  return median(times);
}

if (series.includes('batch')) {
  // 200 sizes, one in each of 200 equal slices of 1-4 MiB, in a shuffled order.
  const paths = Array.from({ length: 200 }, (_, i) => {
    const size = MiB + Math.floor(((i * 7 + 3) % 200) * (3 * MiB) / 200);
    return demo(`batch/batch-${String(i).padStart(3, '0')}.bin`, size, 1000 + i);
  });
  const native = nativeFolder(join(demos, 'batch'), 3);
  await withPage(async ({ page, nextDownload, requests: seen }) => {
    await unpack(page, paths, paths.length);
    await page.waitForSelector('#save-all:not([disabled])');
    await page.click('#save-all');
    await page.waitForFunction(() => window.benchTimes.zip, { polling: 'mutation', timeout: 600000 });
    const zip = await nextDownload();
    const t = await times(page);
    requests.push(...seen);
    const links = t.done - t.start;
    const sums = await page.$eval('#files .file.unpacked[data-sha1]', () => true).catch(() => false);
    console.log(`batch: 200 demos of 1-4 MiB: every link ${seconds(links)} (the native folder script: ${seconds(native)},`
      + ` median of 3)${sums ? `, every checksum ${seconds(t.sums - t.start)}` : ''},`
      + ` the zip ${seconds(t.zip - t.zipStart)} (${(readFileSync(zip.path).length / MiB).toFixed(0)} MiB)`);
    judge('batch of 200', links / native, 3, `every link in ${(links / native).toFixed(2)} x the native folder script's time <= 3`);
  });
}

// The tab's peak memory: the renderer's high-water mark of resident memory
// (page, worker, wasm memory, MEMFS and the image's bytes until they are a
// Blob, which the browser process keeps).
async function peakFor(path, imageSize) {
  return withPage(async ({ browser, page, requests: seen }) => {
    const pids = renderers(browser.process().pid);
    pids.forEach(resetPeak);
    const before = Math.max(...pids.map((pid) => kib(pid, 'VmRSS')));
    await unpack(page, [path], 1);
    const t = await times(page);
    const status = await page.$eval('#files .file', (item) => item.dataset.status);
    requests.push(...seen);
    const peak = Math.max(...pids.map((pid) => kib(pid, 'VmHWM'))) * 1024;
    return { status, peak, before: before * 1024, ms: t.done - t.start, ratio: peak / imageSize };
  });
}

if (series.includes('memory')) {
  const size = 256 * MiB;
  const r = await peakFor(demo('memory-256MiB.bin', size, 0x4c5b), size);
  console.log(`memory: 256 MiB image: status ${r.status} in ${seconds(r.ms)}, tab peak ${(r.peak / MiB).toFixed(0)} MiB`
    + ` (${r.ratio.toFixed(2)} x the image; ${(r.before / MiB).toFixed(0)} MiB before)`);
  judge('memory 256 MiB', r.ratio, 3, `peak ${r.ratio.toFixed(2)} x the image <= 3`);
}

if (series.includes('largest')) {
  for (const mib of [1024, 2047, 2048, 4095]) {
    const r = await peakFor(declaring(mib * MiB), mib * MiB);
    console.log(`largest: ${mib} MiB declared: status ${r.status} in ${seconds(r.ms)}, tab peak ${(r.peak / MiB).toFixed(0)} MiB`);
  }
}

if (series.includes('again')) {
  const folder = join(demos, 'batch');
  const paths = readdirSync(folder).filter((name) => name.endsWith('.bin')).sort().map((name) => join(folder, name));
  await withPage(async ({ page, requests: seen }) => {
    for (let round = 1; round <= 4; round += 1) {
      await reset(page);
      await unpack(page, paths, paths.length);
      const t = await times(page);
      const statuses = await page.$$eval('#files .file', (items) => items.map((i) => i.dataset.status));
      console.log(`again: batch ${round} of ${paths.length} demos in one tab: ${statuses.filter((s) => s === '0').length} status 0,`
        + ` ${statuses.filter((s) => s !== '0').length} other, every link ${seconds(t.done - t.start)}`);
      await page.waitForSelector('#clear:not([disabled])');
    }
    requests.push(...seen);
  });
}

if (series.includes('zip64')) {
  const paths = [1, 2, 3].map((n) => {
    const path = declaring(1536 * MiB + n);
    return path;
  });
  await withPage(async ({ page, nextDownload, requests: seen }) => {
    await unpack(page, paths, paths.length);
    const statuses = await page.$$eval('#files .file', (items) => items.map((i) => i.dataset.status));
    await page.waitForSelector('#save-all:not([disabled])');
    await page.click('#save-all');
    await page.waitForFunction(() => window.benchTimes.zip || /could not be made/.test(document.getElementById('progress-text').textContent),
      { polling: 'mutation', timeout: 1800000 });
    const t = await times(page);
    requests.push(...seen);
    if (!t.zip) {
      console.log(`zip64: statuses ${statuses}: ${await page.$eval('#progress-text', (p) => p.textContent)}`);
      return;
    }
    const zip = await nextDownload();
    const unzip = spawnSync('unzip', ['-tq', zip.path], { encoding: 'utf8' });
    const python = spawnSync('python3', ['-c', 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); print(z.testzip(), [i.file_size for i in z.infolist()])', zip.path], { encoding: 'utf8' });
    console.log(`zip64: statuses ${statuses}; the zip ${(statSync(zip.path).size / MiB).toFixed(0)} MiB in ${seconds(t.zip - t.zipStart)};`
      + ` unzip -t status ${unzip.status}; Python: ${python.stdout.trim() || python.stderr.trim()}`);
    rmSync(zip.path);
  });
}

console.log(`chromium ${chromiumVersion}; targets:`);
console.log(results.join('\n'));
const foreign = foreignRequests(requests);
console.log(foreign.length ? `REQUESTS to elsewhere: ${foreign.join(' ')}` : 'no request left the page');

// SPDX-License-Identifier: GPL-2.0-or-later
// The page in the system's chromium, headless, driven through the DevTools
// protocol (puppeteer-core, which downloads no browser): for the page's
// tests, its benchmark and its screenshot.
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

// A fresh profile, and nothing of chromium's own that would go on line.
const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Opens the page (a path) in a new headless chromium whose profile and
// downloads go under the folder `work`. Returns the browser, the page, the
// URL of every request the page and its workers made, and nextDownload(),
// which resolves to the suggested name and the path of the next download
// that completes.
export async function openPage(pagePath, { chromium, work, width = 800, height = 1000 }) {
  const downloads = join(work, 'downloads');
  mkdirSync(downloads, { recursive: true });
  // Pipes, not a debugging port: it also runs where there is no network at
  // all, not even a loopback interface (unshare --net).
  const browser = await puppeteer.launch({
    executablePath: chromium, headless: true, pipe: true,
    args: [...FLAGS, `--user-data-dir=${join(work, 'profile')}`],
    defaultViewport: { width, height },
  });
  const requests = [];
  const record = (event) => requests.push(event.request.url);
  const page = await browser.newPage();
  const session = await page.createCDPSession();
  session.on('Network.requestWillBeSent', record);
  await session.send('Network.enable');
  // puppeteer enables the network domain of each worker before the worker
  // runs, and says so first: no request of a worker goes unseen.
  page.on('workercreated', (worker) => worker.client.on('Network.requestWillBeSent', record));

  const browserSession = await browser.target().createCDPSession();
  await browserSession.send('Browser.setDownloadBehavior',
    { behavior: 'allowAndName', downloadPath: downloads, eventsEnabled: true });
  const names = new Map();
  const waiting = [];
  const done = [];
  browserSession.on('Browser.downloadWillBegin', (e) => names.set(e.guid, e.suggestedFilename));
  browserSession.on('Browser.downloadProgress', (e) => {
    if (e.state === 'completed' || e.state === 'canceled') {
      const result = { name: names.get(e.guid), path: join(downloads, e.guid), state: e.state };
      (waiting.shift() ?? ((r) => done.push(r)))(result);
    }
  });
  const nextDownload = () => (done.length ? Promise.resolve(done.shift())
    : new Promise((resolve) => waiting.push(resolve)));

  await page.goto(pathToFileURL(pagePath).href);
  return { browser, page, requests, nextDownload };
}

// The requests that went anywhere but to the page itself, its blobs and its
// data: URLs.
export function foreignRequests(requests) {
  return requests.filter((url) => !/^(file|blob|data):/.test(url));
}

// Waits until `total` demos of the list are done, or until the page says it
// is done with fewer.
export const done = (page, total, timeout = 600000) => page.waitForFunction((n) => {
  const text = document.getElementById('progress-text').textContent;
  return document.querySelectorAll('#files .file[data-status]').length >= n
    || (text.startsWith('Done:') && !text.includes('Looking'));
}, { timeout, polling: 'mutation' }, total);

// Drops the files or folders at `paths` on the page, through DevTools' drag
// events as Explorer or Finder drops them, and waits until `total` demos of
// the list are done.
export async function drop(page, paths, total, { timeout = 600000 } = {}) {
  const session = await page.createCDPSession();
  const data = { items: [], files: paths, dragOperationsMask: 1 };
  for (const type of ['dragEnter', 'dragOver', 'drop']) {
    await session.send('Input.dispatchDragEvent', { type, x: 10, y: 10, data });
  }
  await session.detach();
  await done(page, total, timeout);
}

// Hands the files to the page's <input type="file" multiple>, or drops them
// on the page, and waits until `total` demos of the list are done.
export async function unpack(page, paths, total, { drop: dropped = false, timeout = 600000 } = {}) {
  if (dropped) {
    await drop(page, paths, total, { timeout });
    return;
  }
  const input = await page.$('#pick');
  await input.uploadFile(...paths);
  await done(page, total, timeout);
}

// SPDX-License-Identifier: GPL-2.0-or-later
// Builds the page: one HTML file that holds its script, the program worker's
// script (the program's module with its WebAssembly inline, hash-wasm,
// web/checksums.cjs, web/identity.cjs, web/worker.js), the zip worker's
// (zip.js, web/checksums.cjs, web/zip-worker.js) and the licence lines, so
// that it needs nothing beside it.
//
//   node web/build.mjs --module build-web/unlzon.js --version V \
//       --lzo-version 2.10 --lzo-source "Debian's source package lzo2 2.10-2" \
//       --out build-web/unlzon.html [--node-modules web/node_modules]
import { readFileSync, writeFileSync, renameSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

const here = dirname(fileURLToPath(import.meta.url));
const { values: options } = parseArgs({
  options: {
    module: { type: 'string' },
    version: { type: 'string' },
    'lzo-version': { type: 'string' },
    'lzo-source': { type: 'string' },
    out: { type: 'string' },
    'node-modules': { type: 'string', default: join(here, 'node_modules') },
  },
});
for (const name of ['module', 'version', 'lzo-version', 'lzo-source', 'out']) {
  if (!options[name]) {
    console.error(`build.mjs: --${name} is needed`);
    process.exit(2);
  }
}

const read = (path) => readFileSync(path, 'utf8');
// Each library as the lock file beside this script pins it (a release builds
// from its tarball with the checkout's node_modules): {dir, version}, or the
// build stops.
const lock = JSON.parse(read(join(here, 'package-lock.json')));
function pinnedLibrary(name, title) {
  const dir = join(options['node-modules'], ...name.split('/'));
  const pinned = lock.packages[`node_modules/${name}`]?.version;
  let version;
  try {
    version = JSON.parse(read(join(dir, 'package.json'))).version;
  } catch {
    console.error(`build.mjs: no ${title} in ${options['node-modules']}: run \`npm ci --prefix web\` (scripts/setup --web)`);
    process.exit(1);
  }
  if (version !== pinned) {
    console.error(`build.mjs: ${title} ${version} in ${options['node-modules']}, but the lock file pins ${pinned}: run \`npm ci --prefix web\``);
    process.exit(1);
  }
  return { dir, version };
}
// zip.js's classic-script bundle without codecs of its own, since the page
// stores and the browser inflates; of hash-wasm, the three hashes the page
// shows, each of which adds itself to the global hashwasm.
const zipLib = pinnedLibrary('@zip.js/zip.js', 'zip.js');
const hashLib = pinnedLibrary('hash-wasm', 'hash-wasm');
const zipjs = read(join(zipLib.dir, 'dist', 'zip-core.min.js'));
const hashwasm = ['crc32', 'md5', 'sha1'].map((name) => read(join(hashLib.dir, 'dist', `${name}.umd.min.js`)));
const escapeHtml = (text) => text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');

// A JavaScript string literal that cannot end the script element it stands in.
const literal = (parts) => JSON.stringify(parts.join('\n;\n')).replace(/</g, '\\u003c');
const script = `const WORKER_SOURCE = ${literal([read(options.module), ...hashwasm, read(join(here, 'checksums.cjs')),
  read(join(here, 'identity.cjs')), read(join(here, 'worker.js'))])};\n`
  + `const ZIP_WORKER_SOURCE = ${literal([zipjs, read(join(here, 'checksums.cjs')), read(join(here, 'zip-worker.js'))])};\n`
  + read(join(here, 'page.js'));

const fields = {
  VERSION: escapeHtml(options.version),
  LZO_VERSION: escapeHtml(options['lzo-version']),
  LZO_SOURCE: escapeHtml(options['lzo-source']),
  ZIPJS_VERSION: escapeHtml(zipLib.version),
  ZIPJS_LICENSE: escapeHtml(read(join(zipLib.dir, 'LICENSE')).trim()),
  HASHWASM_VERSION: escapeHtml(hashLib.version),
  HASHWASM_LICENSE: escapeHtml(read(join(hashLib.dir, 'LICENSE')).trim()),
  PAGE_SCRIPT: script,
};
const page = read(join(here, 'unlzon.html')).replace(/@([A-Z_]+)@/g, (whole, name) => {
  if (!(name in fields)) {
    throw new Error(`build.mjs: unknown field ${whole} in unlzon.html`);
  }
  return fields[name];
});
writeFileSync(options.out + '.partial', page);
renameSync(options.out + '.partial', options.out);

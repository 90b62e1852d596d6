// SPDX-License-Identifier: GPL-2.0-or-later
// Builds the page: one HTML file that holds its script, the program worker's
// script (the program's module with its WebAssembly inline, web/worker.js),
// the zip worker's (zip.js, web/zip-worker.js) and the licence lines, so that
// it needs nothing beside it.
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
// zip.js as the lock file beside this script pins it (a release builds from
// its tarball with the checkout's node_modules): its classic-script bundle
// without codecs of its own, since the page stores and the browser inflates.
const zipDir = join(options['node-modules'], '@zip.js', 'zip.js');
const pinned = JSON.parse(read(join(here, 'package-lock.json'))).packages['node_modules/@zip.js/zip.js'].version;
let zipjs;
let zipjsVersion;
try {
  zipjs = read(join(zipDir, 'dist', 'zip-core.min.js'));
  zipjsVersion = JSON.parse(read(join(zipDir, 'package.json'))).version;
} catch {
  console.error(`build.mjs: no zip.js in ${options['node-modules']}: run \`npm ci --prefix web\` (scripts/setup --web)`);
  process.exit(1);
}
if (zipjsVersion !== pinned) {
  console.error(`build.mjs: zip.js ${zipjsVersion} in ${options['node-modules']}, but the lock file pins ${pinned}: run \`npm ci --prefix web\``);
  process.exit(1);
}
const escapeHtml = (text) => text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');

// A JavaScript string literal that cannot end the script element it stands in.
const literal = (parts) => JSON.stringify(parts.join('\n;\n')).replace(/</g, '\\u003c');
const script = `const WORKER_SOURCE = ${literal([read(options.module), read(join(here, 'worker.js'))])};\n`
  + `const ZIP_WORKER_SOURCE = ${literal([zipjs, read(join(here, 'zip-worker.js'))])};\n`
  + read(join(here, 'page.js'));

const fields = {
  VERSION: escapeHtml(options.version),
  LZO_VERSION: escapeHtml(options['lzo-version']),
  LZO_SOURCE: escapeHtml(options['lzo-source']),
  ZIPJS_VERSION: escapeHtml(zipjsVersion),
  ZIPJS_LICENSE: escapeHtml(read(join(zipDir, 'LICENSE')).trim()),
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

// SPDX-License-Identifier: GPL-2.0-or-later
// Builds the page: one HTML file that holds its script, the worker's script
// (fflate, the program's module with its WebAssembly inline, web/worker.js)
// and the licence lines, so that it needs nothing beside it.
//
//   node web/build.mjs --module build-web/unlzon.js --version V \
//       --lzo-version 2.10 --lzo-source "Debian's source package lzo2 2.10-2" \
//       --out build-web/unlzon.html
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
  },
});
for (const name of ['module', 'version', 'lzo-version', 'lzo-source', 'out']) {
  if (!options[name]) {
    console.error(`build.mjs: --${name} is needed`);
    process.exit(2);
  }
}

const read = (path) => readFileSync(path, 'utf8');
const fflateDir = join(here, 'node_modules', 'fflate');
let fflate;
try {
  fflate = read(join(fflateDir, 'umd', 'index.js'));
} catch {
  console.error('build.mjs: no fflate in web/node_modules: run `npm ci --prefix web` (scripts/setup --web)');
  process.exit(1);
}
const escapeHtml = (text) => text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');

// A JavaScript string literal that cannot end the script element it stands in.
const workerSource = [fflate, read(options.module), read(join(here, 'worker.js'))].join('\n;\n');
const literal = JSON.stringify(workerSource).replace(/</g, '\\u003c');
const script = `const WORKER_SOURCE = ${literal};\n${read(join(here, 'page.js'))}`;

const fields = {
  VERSION: escapeHtml(options.version),
  LZO_VERSION: escapeHtml(options['lzo-version']),
  LZO_SOURCE: escapeHtml(options['lzo-source']),
  FFLATE_VERSION: escapeHtml(JSON.parse(read(join(fflateDir, 'package.json'))).version),
  FFLATE_LICENSE: escapeHtml(read(join(fflateDir, 'LICENSE')).trim()),
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

// Builds the web remote into one folder: app.js (bundled, minified),
// index.html, style.css and icons/, each with a .gz beside it.
// Usage: node web/build.mjs OUTDIR
import { build } from 'esbuild';
import { mkdir, readdir, readFile, copyFile, writeFile, rm } from 'node:fs/promises';
import { gzipSync, constants } from 'node:zlib';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const outArg = process.argv[2];
if (!outArg) {
  console.error('usage: node web/build.mjs OUTDIR');
  process.exit(2);
}
const out = resolve(outArg);
const staticDir = join(here, 'static');

await rm(out, { recursive: true, force: true });
await mkdir(join(out, 'icons'), { recursive: true });

await build({
  entryPoints: [join(here, 'src/app/main.js')],
  outfile: join(out, 'app.js'),
  bundle: true,
  format: 'esm',
  minify: true,
  target: 'es2020',
  // The bundled libraries' licence notices travel with them.
  legalComments: 'eof',
  charset: 'utf8',
  logLevel: 'warning',
});

const files = ['app.js'];
for (const name of ['index.html', 'style.css']) {
  await copyFile(join(staticDir, name), join(out, name));
  files.push(name);
}
for (const name of (await readdir(join(staticDir, 'icons'))).filter((n) => n.endsWith('.svg')).sort()) {
  await copyFile(join(staticDir, 'icons', name), join(out, 'icons', name));
  files.push(`icons/${name}`);
}

// Node's gzip writes no name and a zero time, so equal input gives equal bytes.
let total = 0;
for (const file of files) {
  const path = join(out, file);
  const gz = gzipSync(await readFile(path), { level: constants.Z_BEST_COMPRESSION });
  await writeFile(path + '.gz', gz);
  total += gz.length;
  if (file === 'app.js') console.log(`app.js: ${gz.length} bytes gzipped`);
}
console.log(`${files.length} files in ${out}: ${total} bytes gzipped in total`);

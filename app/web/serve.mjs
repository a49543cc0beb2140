// A static web server for the site on this machine, to try the page: any
// web server serves the site as well (it is plain files), as long as it
// sends .wasm as application/wasm. Browsers offer WebHID only to secure
// pages, which includes http://localhost, so this server answers on the
// loopback address only. It sends the page's Content-Security-Policy as a
// header, as a site should: index.html carries the same policy in a <meta>
// tag for hosts that send none, but frame-ancestors (no other site may
// frame the page) is only obeyed in a header.
//
//   node app/web/serve.mjs [SITE [PORT]]    (build/web/site, 8080; a free
//                                           port when that one is taken)
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

// The page runs its own scripts, styles and WebAssembly and nothing else.
export const CONTENT_SECURITY_POLICY =
  "default-src 'none'; " +
  "script-src 'self' 'wasm-unsafe-eval'; " +
  "style-src 'self'; " +
  "img-src 'self'; " +
  "connect-src 'self'; " +
  "object-src 'none'; " +
  "base-uri 'none'; " +
  "form-action 'none'; " +
  "frame-ancestors 'none'";

const TYPES = {'.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css',
               '.wasm': 'application/wasm', '.ico': 'image/x-icon', '.png': 'image/png'};

// Serves the files under root on 127.0.0.1 at port (0: any free one);
// resolves to {url, close}.
export async function serve(root, port = 0) {
  root = path.resolve(root);
  const server = http.createServer((request, response) => {
    let name;
    try {
      name = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    } catch {
      response.writeHead(400).end();
      return;
    }
    const file = path.join(root, name.endsWith('/') ? name + 'index.html' : name);
    if (!file.startsWith(root + path.sep) || !fs.statSync(file, {throwIfNoEntry: false})?.isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, {'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
                             'Cache-Control': 'no-cache',
                             'Content-Security-Policy': CONTENT_SECURITY_POLICY});
    fs.createReadStream(file).pipe(response);
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  return {
    url: `http://localhost:${server.address().port}/`,
    close: () => new Promise(resolve => server.close(resolve)),
  };
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const root = process.argv[2] || 'build/web/site';
  const port = Number(process.argv[3] || 8080);
  if (!fs.existsSync(path.join(root, 'index.html'))) {
    console.error(`serve: no site in ${root} (scripts/build web makes it)`);
    process.exit(1);
  }
  const site = await serve(root, port).catch(() => serve(root, 0));
  console.log(`The site is served at ${site.url}`);
  console.log(`  against the emulated unit: ${site.url}?demo`);
  console.log(`  against a real unit (Chrome, Edge or another Chromium-based browser): ${site.url}`);
  console.log('Ctrl+C ends it.');
}

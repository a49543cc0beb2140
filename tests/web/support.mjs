// What the web tests and measurements share: the site served on localhost,
// Debian's chromium driven by puppeteer-core, the native tovrix-emulate.
import {execFile} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import puppeteer from 'puppeteer-core';

export const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const site = process.env.TOVRIX_SITE || path.join(top, 'build/web/site');
export const nativeEmulate =
    process.env.TOVRIX_EMULATE || path.join(top, 'build/werror/tools/emulate/tovrix-emulate');
export const makeImage =
    process.env.TOVRIX_MAKE_IMAGE || path.join(top, 'build/werror/tools/make-image/tovrix-make-image');

const TYPES = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
               '.wasm': 'application/wasm', '.ico': 'image/x-icon'};

// Serves the site's files on 127.0.0.1; resolves to {url, close}.
export async function serveSite(root = site) {
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    const file = path.join(root, name === '/' ? 'index.html' : name);
    if (!file.startsWith(root + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, {'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream'});
    fs.createReadStream(file).pipe(response);
  });
  await new Promise(resolve => server.listen(0, '127.0.0.1', resolve));
  return {
    url: `http://localhost:${server.address().port}/`,
    close: () => new Promise(resolve => server.close(resolve)),
  };
}

// Debian's chromium, headless, on a fresh profile, with nothing reaching
// out to the network.
export async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tovrix-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.TOVRIX_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-features=Translate,MediaRouter', '--window-size=900,700'],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    fs.rmSync(profile, {recursive: true, force: true});
  };
  return browser;
}

// A page that reports what goes wrong on it.
export async function openPage(browser, url, {before} = {}) {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', error => errors.push(error.message));
  if (before) await page.evaluateOnNewDocument(before);
  await page.goto(url);
  page.errors = errors;
  return page;
}

// Runs the native tovrix-emulate in dir; resolves to {status, stdout, stderr}.
export function runNative(args, dir) {
  return new Promise(resolve => {
    execFile(nativeEmulate, args, {cwd: dir, maxBuffer: 1 << 30, encoding: 'latin1'},
             (error, stdout, stderr) => resolve({status: error ? error.code : 0, stdout, stderr}));
  });
}

export function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'tovrix-web-'));
}

// The sample image, as the native tool makes it.
export function sampleImage() {
  const dir = tempDir();
  const file = path.join(dir, 'sample.hex');
  return new Promise((resolve, reject) => {
    execFile(makeImage, ['sample', file], error => {
      if (error) return reject(error);
      const bytes = fs.readFileSync(file);
      fs.rmSync(dir, {recursive: true, force: true});
      resolve(bytes);
    });
  });
}

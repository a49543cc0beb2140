// The web page's figures (scripts/bench-web): the size of every file of the
// site and of the whole site, raw and gzipped (gzip -9, as a server may send
// them), the page's time from the start of its
// load to ready (the engine compiled and running), and the engine's time
// per image line in the browser beside native: tovrixEmulate (the page's
// test build, build/web/test-site) and the native
// tovrix-emulate on the same 1 MB image against a unit whose memory takes
// all of it, each the best of RUNS (5) runs, its transcript made (native: a
// whole process writing to /dev/null).
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';

import {launchBrowser, makeImage, nativeEmulate, openEmulatePage, openPage, serveSite, site, tempDir, testSite}
  from './support.mjs';

const runs = Number(process.env.RUNS || 5);
const args = ['--memory', '800:FFFFF'];
const best = list => Math.min(...list);
const median = list => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];

const sizeLine = (name, raw, gzipped) =>
  `${name.padEnd(16)} ${String(raw).padStart(8)} bytes, gzip ${String(gzipped).padStart(7)} bytes`;
const total = {raw: 0, gzipped: 0};
for (const name of fs.readdirSync(site).sort()) {
  const bytes = fs.readFileSync(path.join(site, name));
  const gzipped = zlib.gzipSync(bytes, {level: 9}).length;
  total.raw += bytes.length;
  total.gzipped += gzipped;
  console.log(sizeLine(name, bytes.length, gzipped));
}
console.log(sizeLine('the whole site', total.raw, total.gzipped));

const dir = tempDir();
const image = path.join(dir, 'TOVRIXPRO.HEX');
execFileSync(makeImage, ['filled', String(1 << 20), image]);
const bytes = fs.readFileSync(image);
const lines = bytes.toString('latin1').split('\n').length - 1;

// The native runs write to /dev/null, as the browser's text stays in memory.
const nativeText = execFileSync(nativeEmulate, args, {cwd: dir, maxBuffer: 1 << 30, encoding: 'latin1'});
const nativeTimes = [];
const devNull = fs.openSync('/dev/null', 'w');
for (let i = 0; i < runs; i++) {
  const started = process.hrtime.bigint();
  execFileSync(nativeEmulate, args, {cwd: dir, stdio: ['ignore', devNull, 'inherit']});
  nativeTimes.push(Number(process.hrtime.bigint() - started) / 1e6);
}
fs.closeSync(devNull);
fs.rmSync(dir, {recursive: true, force: true});

const server = await serveSite();
const testServer = await serveSite(testSite);
const browser = await launchBrowser();
try {
  const readyTimes = [];
  for (let i = 0; i < runs; i++) {
    const page = await openPage(browser, server.url);
    await page.waitForFunction(() => document.body.dataset.state === 'ready');
    readyTimes.push(await page.evaluate(() => window.tovrixReadyMs));
    await page.close();
  }
  console.log(`page load to ready: median ${median(readyTimes).toFixed(0)} ms, best ${best(readyTimes).toFixed(0)} ms (${runs} loads)`);

  const page = await openEmulatePage(browser, testServer);
  const result = await page.evaluate(async (args, bytes, runs) => {
    const image = Uint8Array.from(atob(bytes), c => c.charCodeAt(0));
    const times = [];
    let text = '';
    for (let i = 0; i < runs; i++) {
      const started = performance.now();
      text = await window.tovrixEmulate(args, image);
      times.push(performance.now() - started);
    }
    return {times, length: text.length, tail: text.slice(-200)};
  }, args, bytes.toString('base64'), runs);
  await page.close();
  if (result.length !== nativeText.length || !nativeText.endsWith(result.tail)) {
    // The tests compare whole transcripts; here only a quick look.
    throw new Error('the browser gave another transcript than the native tool');
  }
  const web = best(result.times), native = best(nativeTimes);
  console.log(`update of a 1 MB image (${lines} lines), best of ${runs}:`);
  console.log(`  browser (tovrixEmulate)  ${web.toFixed(1).padStart(8)} ms  ${(web * 1e6 / lines).toFixed(0).padStart(6)} ns/line`);
  console.log(`  native (tovrix-emulate)  ${native.toFixed(1).padStart(8)} ms  ${(native * 1e6 / lines).toFixed(0).padStart(6)} ns/line`);
  console.log(`  browser / native         ${(web / native).toFixed(2).padStart(8)} x`);
} finally {
  await browser.close();
  await server.close();
  await testServer.close();
}

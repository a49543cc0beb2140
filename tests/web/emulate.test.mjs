// tovrixEmulate in the browser against the native tovrix-emulate, case by
// case: the same options and image give byte for byte the same transcript
// (and the same refusal of bad options).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {after, afterEach, before, test} from 'node:test';

import {launchBrowser, noViolations, openEmulatePage, runNative, sampleImage, serveSite, tempDir, testSite}
  from './support.mjs';

let server, browser, page, sample;

before(async () => {
  sample = await sampleImage();
  server = await serveSite(testSite);
  browser = await launchBrowser();
  page = await openEmulatePage(browser, server);
});

after(async () => {
  await browser?.close();
  await server?.close();
});

// The engine needs nothing the page's Content-Security-Policy refuses.
afterEach(noViolations);

// Images made from the sample: its lines with other line ends, one line
// spoilt, and images that are no HEX at all.
const lines = () => sample.toString('latin1').split('\r\n').filter(Boolean);
const join = (list, end = '\r\n') => Buffer.from(list.map(line => line + end).join(''), 'latin1');
const images = {
  sample: () => sample,
  lf: () => join(lines(), '\n'),
  cr: () => join(lines(), '\r'),
  badChecksum: () => join(lines().map((line, i) => (i === 5 ? line.slice(0, -1) + (line.endsWith('0') ? '1' : '0') : line))),
  emptyLineAfterEnd: () => Buffer.concat([sample, Buffer.from('\r\n')]),
  empty: () => Buffer.alloc(0),
  binary: () => Buffer.from([0x7F, 0x45, 0x4C, 0x46, 0xFF, 0xFE, 0x00, 0x0A, 0x80]),
  none: () => null,
};

const cases = [
  ['the whole update', [], 'sample'],
  ['other devices around the unit', ['--before', '46D:C52B:1201,1234:5678:1', '--after', '1:2:3'], 'sample'],
  ['no unit', ['--no-unit', '--before', '1:2:3'], 'sample'],
  ['refused report caps', ['--caps', '64,64,1'], 'sample'],
  ['memory holding the whole image', ['--memory', '0:FFFFF', '--version', '0'], 'sample'],
  ['wrong QUERY reply', ['--query', '0238020100040000'], 'sample'],
  ['silent first QUERY', ['--silent-query'], 'sample'],
  ['erase with waits', ['--erase-waits', '3'], 'sample'],
  ['no reply after the erase', ['--erase-waits', '11'], 'sample'],
  ['a write fails', ['--fail-write', '7'], 'sample'],
  ['Esc, Yes while writing', ['--esc', '3:yes'], 'sample'],
  ['Esc, No, then the window closed', ['--esc', '2:no', '--close', '2'], 'sample'],
  ['closed in the erase wait', ['--erase-waits', '1', '--close', '1'], 'sample'],
  ['LF line ends', [], 'lf'],
  ['CR line ends', [], 'cr'],
  ['a bad checksum', [], 'badChecksum'],
  ['an empty line after the end', [], 'emptyLineAfterEnd'],
  ['an empty image', [], 'empty'],
  ['bytes that are no text', [], 'binary'],
  ['no image file', [], 'none'],
  ['an image named that is not there', ['--image', 'elsewhere.hex'], 'sample'],
  ['an unknown option', ['--frobnicate'], 'sample'],
  ['a bad option value', ['--caps', '65,65'], 'sample'],
];

for (const [name, args, imageName] of cases) {
  test(`tovrixEmulate: ${name}`, async () => {
    const image = images[imageName]();
    const dir = tempDir();
    if (image) fs.writeFileSync(path.join(dir, 'TOVRIXPRO.HEX'), image);
    const native = await runNative(args, dir);
    fs.rmSync(dir, {recursive: true, force: true});

    const browserRun = await page.evaluate(async (args, bytes) => {
      try {
        return {stdout: await window.tovrixEmulate(args, bytes && new Uint8Array(bytes))};
      } catch (error) {
        return {status: error.status, error: error.message};
      }
    }, args, image && [...image]);

    if (native.status === 2) {
      assert.deepEqual(browserRun, {status: 2, error: native.stderr.trimEnd()});
    } else {
      assert.ok(native.stdout.length > 0);
      assert.equal(browserRun.stdout, native.stdout);
    }
  });
}

test('tovrixEmulate: --real has no unit to reach in the browser', async () => {
  const error = await page.evaluate(() => window.tovrixEmulate(['--real'], null).catch(e => e.message));
  assert.equal(error, 'tovrix-emulate: --real: this build has no HID platform');
});

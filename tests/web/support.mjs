// What the web tests and measurements share: the site served on localhost,
// Debian's chromium driven by puppeteer-core, the native tovrix-emulate.
import assert from 'node:assert/strict';
import {execFile} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import puppeteer from 'puppeteer-core';

import {serve} from '../../app/web/serve.mjs';
import {chromiumCollections, installFakeHid, unitDescriptor} from './fake_hid.js';

export const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
// Paths from the environment are taken from the repository's top.
const given = (name, fallback) => path.resolve(top, process.env[name] || fallback);
export const site = given('TOVRIX_SITE', 'build/web/site');
// The page's test build: the engine with tovrixEmulate, on emulate.html.
export const testSite = given('TOVRIX_TEST_SITE', 'build/web/test-site');
export const nativeEmulate = given('TOVRIX_EMULATE', 'build/werror/tools/emulate/tovrix-emulate');
export const makeImage = given('TOVRIX_MAKE_IMAGE', 'build/werror/tools/make-image/tovrix-make-image');

// Serves the site on localhost, as scripts/demo --web does; resolves to {url, close}.
export const serveSite = (root = site) => serve(root);

// A page of the test build where window.tovrixEmulate runs tovrix-emulate
// in the engine (tests/web/emulate.js), ready; server serves testSite.
export async function openEmulatePage(browser, server) {
  const page = await openPage(browser, server.url + 'emulate.html');
  await page.waitForFunction(() => document.body.dataset.state === 'ready');
  return page;
}

// Debian's chromium, headless, on a fresh profile, with nothing reaching
// out to the network. executable: the browser's program (TOVRIX_CHROMIUM
// or Debian's launcher); timeout: how long it may take to start (ms);
// dumpio: the browser's own output goes to this process's; args: more of
// its options.
export async function launchBrowser({executable, timeout = 30000, dumpio = false, args = []} = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tovrix-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: executable || process.env.TOVRIX_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    timeout,
    dumpio,
    protocolTimeout: Math.max(180000, timeout),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-features=Translate,MediaRouter',
           // A name for this machine that is not localhost: an insecure origin.
           '--host-resolver-rules=MAP tovrix.test 127.0.0.1', ...args],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    fs.rmSync(profile, {recursive: true, force: true});
  };
  return browser;
}

// What the pages' Content-Security-Policy refused since the last take:
// each test ends with none (noViolations).
const violations = [];
export function takeViolations() {
  return violations.splice(0);
}
export function noViolations() {
  assert.deepEqual(takeViolations(), [], 'the Content-Security-Policy refused something');
}

// A page that keeps the errors thrown on it, and what its
// Content-Security-Policy refused (securitypolicyviolation: those go to
// takeViolations too); before: a function (or [function, argument]) run in
// the page before its own scripts; timeout: how long its loading and what
// is awaited on it may take (ms).
export async function openPage(browser, url, {before, timeout} = {}) {
  const page = await browser.newPage();
  if (timeout) page.setDefaultTimeout(timeout);
  const errors = [];
  page.on('pageerror', error => errors.push(error.message));
  await page.exposeFunction('tovrixTestViolation', text => {
    violations.push(text);
    errors.push(`Content-Security-Policy: ${text}`);
  });
  await page.evaluateOnNewDocument(() => {
    document.addEventListener('securitypolicyviolation', event => {
      window.tovrixTestViolation(`${event.effectiveDirective} refused ${event.blockedURI || 'inline'}` +
                                 ` (${event.sourceFile || document.URL}:${event.lineNumber})`);
    });
  });
  if (before) await page.evaluateOnNewDocument(...[].concat(before));
  await page.goto(url);
  page.errors = errors;
  return page;
}

// What openPage runs first for units behind the stand-in for WebHID
// (fake_hid.js): options as installFakeHid takes them, and reportCount, the
// units' data bytes a report (64), which gives their collections as
// Chromium describes them.
export function fakeHid({reportCount = 64, ...options} = {}) {
  return [installFakeHid, {collections: chromiumCollections(unitDescriptor(reportCount)), ...options}];
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

// What a window shows for a transcript of tovrix-emulate: the log text (a
// line end after each line), the last caption, the boxes in turn
// ([kind, text]), the reports sent (hex) and how it ended.
export function windowOf(transcript) {
  const shown = {log: '', title: 'TovrixPro Update (Olvane Inc)', boxes: [], sent: [], end: ''};
  for (const line of transcript.split('\n')) {
    const space = line.indexOf(' ');
    const keyword = space < 0 ? line : line.slice(0, space);
    const text = space < 0 ? '' : line.slice(space + 1);
    if (keyword === 'log') shown.log += text + '\n';
    else if (keyword === 'logpart') shown.log += text;
    else if (keyword === 'caption') shown.title = text;
    else if (keyword === 'send') shown.sent.push(text);
    else if (keyword === 'box') {
      const [, kind, rest] = text.match(/^(critical|question) (.*)$/);
      shown.boxes.push([kind, kind === 'question' ? rest.replace(/ -> (yes|no)$/, '') : rest]);
    } else if (keyword === 'end' || keyword === 'exit') shown.end = keyword;
  }
  return shown;
}

// Answers the page's boxes until the update has returned (idle) or the
// program has ended: OK to every critical box, the next of answers ('yes'
// or 'no') to each question. Resolves to the boxes seen, [kind, text].
// timeout: how long each of them may take to come (ms); polling: how often
// the page is looked at (puppeteer's: 'raf' or milliseconds).
//
// A box open when it starts is answered, whatever boxes came before it (a
// test may have waited for it to open). After that, a box that the engine
// shows right after the last one is closed may open again before a look at
// the page sees it closed: a box is the next one only when the page has
// counted more boxes than when the last one was answered.
export async function answerBoxes(page, answers = [], {timeout = 60000, polling = 'raf'} = {}) {
  const boxes = [];
  let answered = -1;  // the page's count of boxes when the last one was answered
  for (;;) {
    const handle = await page.waitForFunction(answered => {
      const {state, boxes} = document.body.dataset;
      if (document.getElementById('box').open && Number(boxes) > answered) return 'box';
      return state === 'idle' || state === 'ended' ? state : false;
    }, {timeout, polling}, answered);
    if ((await handle.jsonValue()) !== 'box') return boxes;
    const box = await page.evaluate(() => [document.getElementById('box').dataset.kind,
                                           document.getElementById('box-text').textContent,
                                           Number(document.body.dataset.boxes)]);
    answered = box.pop();
    boxes.push(box);
    await page.click(box[0] === 'critical' ? '#box-ok' : `#box-${answers.shift()}`);
  }
}

// What the page shows now.
export function pageShows(page) {
  return page.evaluate(() => ({
    log: document.getElementById('log').value,
    title: document.title,
    heading: document.getElementById('caption').textContent,
    state: document.body.dataset.state,
    exit: document.body.dataset.exit,
    hid: window.fakeHid ? {...window.fakeHid} : null,
  }));
}

// The web page against the kernel's real HID device: scripts/vm/init starts
// this in the test VM's guest, in the host's root, for the web-* cases. It
// serves the site on the guest's loopback, starts Chromium once and runs
// the page's steps, each on a fresh page, as the guest's cases ask for
// them, against the unit that the guest has plugged in (a managed policy
// lets the page use it without the chooser, as a unit allowed before).
//
//   node tests/web/vm-driver.mjs CONTROL CASES SITE PORT CHROMIUM
//
// CONTROL/ready comes once the browser has started (CONTROL/failed, with
// the reason, if it did not); from then on each step is one line "STEP
// CASE [IMAGE]" in the file CONTROL/command, taken one at a time, until
// "quit".
// A step leaves its results in CASES/CASE and ends with CASES/CASE/STEP.done:
// "ok", or what went wrong (what it waited for, and for how long).
//
//   open     a fresh page, the image file IMAGE given; waits until the
//            button offers the unit ("Update the TovrixPro"):
//            page.collections (the unit's HIDDevice.collections, as JSON)
//   run      presses it and answers every box with OK until the update has
//            returned (idle) or the program has ended: page.text (the log's
//            text), page.boxes (a line "KIND TEXT" a box), page.state
//            ("STATE EXIT", - for no exit status), page.errors,
//            page.progress (every 5 s: the milliseconds since the button
//            and the page's title)
//   restart  "Start again" on the ended page, until it is ready again:
//            page.restart (the button's text)
//   offered  waits until the page offers a unit again: page.offered
//   close    closes the case's page
import fs from 'node:fs';
import path from 'node:path';
import {setTimeout as sleep} from 'node:timers/promises';

import {serve} from '../../app/web/serve.mjs';
import {answerBoxes, launchBrowser, openPage, pageShows} from './support.mjs';

const [control, cases, site, port, chromium] = process.argv.slice(2);
const OFFER = 'Update the TovrixPro';
// Chromium took about a minute to start in the guest; the rest is slow
// there too (the emulated machine is shared with the unit and the kernel).
const START_MS = 300000;
const WAIT_MS = 240000;
const UPDATE_MS = 600000;
// How often the page is looked at: often enough, without taking the
// emulated machine's time from the update.
const POLL_MS = 200;
const PROGRESS_MS = 5000;

const pages = new Map();
let url;
let browser;

const button = page => page.evaluate(() => document.getElementById('start').textContent);

// Waits until test(arg) holds in the page; fails naming what was awaited,
// for how long, and how the page stood then.
async function awaitIn(page, what, test, arg, timeout = WAIT_MS) {
  try {
    await page.waitForFunction(test, {timeout, polling: POLL_MS}, arg);
  } catch (error) {
    const now = await page.evaluate(() => `state ${document.body.dataset.state}, ` +
                                          `button "${document.getElementById('start').textContent}"`)
      .catch(e => e.message);
    throw new Error(`waited ${timeout / 1000} s for ${what} (${now}): ${error.message}`);
  }
}

const offered = page => awaitIn(page, `the button to offer the unit ("${OFFER}")`,
                                text => document.getElementById('start').textContent === text, OFFER);
const ready = page => awaitIn(page, 'the page to be ready', () => document.body.dataset.state === 'ready');

const steps = {
  async open(name, dir, image) {
    if (!image) throw new Error('open needs the image file');
    const started = Date.now();
    const times = [];
    const took = what => times.push(`${what} ${Date.now() - started}`);
    const page = await openPage(browser, url, {timeout: WAIT_MS});
    pages.set(name, page);
    took('loaded');
    await ready(page);
    took('ready');
    await (await page.$('#file')).uploadFile(image);
    await awaitIn(page, 'the image to be taken', () => !document.getElementById('start').disabled);
    took('image');
    await offered(page);
    took('offered');
    fs.writeFileSync(path.join(dir, 'page.open-ms'), `${times.join(', ')}\n`);
    fs.writeFileSync(path.join(dir, 'page.collections'), `${await page.evaluate(async () => {
      // Every attribute, as found on the objects' prototypes.
      const plain = value => {
        if (Array.isArray(value)) return value.map(plain);
        if (value === null || typeof value !== 'object') return value;
        const copy = {};
        for (const key in value) if (typeof value[key] !== 'function') copy[key] = plain(value[key]);
        return copy;
      };
      const [unit] = await navigator.hid.getDevices();
      return JSON.stringify(plain(unit ? unit.collections : null));
    })}\n`);
  },

  async run(name, dir) {
    const page = pages.get(name);
    // The caption (with the progress) every few seconds: where the time went.
    const started = Date.now();
    const progress = [];
    const sample = setInterval(() => {
      page.evaluate(() => document.title).then(title => progress.push(`${Date.now() - started} ${title}\n`),
                                                () => {});
    }, PROGRESS_MS);
    await page.click('#start');
    const boxes = await answerBoxes(page, [], {timeout: UPDATE_MS, polling: POLL_MS})
      .finally(() => clearInterval(sample));
    fs.writeFileSync(path.join(dir, 'page.progress'), progress.join(''));
    const shown = await pageShows(page);
    fs.writeFileSync(path.join(dir, 'page.text'), shown.log);
    fs.writeFileSync(path.join(dir, 'page.boxes'), boxes.map(([kind, text]) => `${kind} ${text}\n`).join(''));
    fs.writeFileSync(path.join(dir, 'page.state'), `${shown.state} ${shown.exit ?? '-'}\n`);
    fs.writeFileSync(path.join(dir, 'page.errors'), page.errors.map(e => `${e}\n`).join(''));
  },

  async restart(name, dir) {
    const page = pages.get(name);
    await Promise.all([page.waitForNavigation(), page.click('#ended a')]);
    await ready(page);
    fs.writeFileSync(path.join(dir, 'page.restart'), `${await button(page)}\n`);
  },

  async offered(name, dir) {
    const page = pages.get(name);
    await offered(page);
    fs.writeFileSync(path.join(dir, 'page.offered'), `${await button(page)}\n`);
  },

  async close(name) {
    await pages.get(name)?.close();
    pages.delete(name);
  },
};

// The next line of CONTROL/command, once there is one.
async function nextCommand() {
  const file = path.join(control, 'command');
  for (;;) {
    let text = null;
    try {
      text = fs.readFileSync(file, 'utf8');
      fs.unlinkSync(file);
    } catch {
      text = null;
    }
    if (text !== null) return text.trim();
    await sleep(100);
  }
}

const server = await serve(site, Number(port));
url = server.url;
try {
  // Every page of the site in one renderer process, kept by a page of the
  // demo (which uses no WebHID) from the start: starting a renderer and
  // compiling the engine cost the emulated machine tens of seconds, once.
  browser = await launchBrowser({executable: chromium, timeout: START_MS, dumpio: true,
                                 args: ['--process-per-site']});
  const keeper = await openPage(browser, `${url}?demo`, {timeout: START_MS});
  await keeper.waitForFunction(() => document.body.dataset.state === 'ready', {polling: POLL_MS});
} catch (error) {
  fs.writeFileSync(path.join(control, 'failed'), `the browser did not start: ${error.message}\n`);
  await server.close();
  process.exit(1);
}
fs.writeFileSync(path.join(control, 'ready'), `${url}\n`);

for (;;) {
  const command = await nextCommand();
  if (command === 'quit') break;
  const [step, name, image] = command.split(' ');
  const dir = path.join(cases, name || '');
  let outcome = 'ok';
  try {
    if (!steps[step] || !name) throw new Error(`no such step: ${command}`);
    if (step !== 'open' && !pages.has(name)) throw new Error(`no page for ${name}`);
    await steps[step](name, dir, image);
  } catch (error) {
    outcome = `failed: ${error.message}`;
  }
  fs.mkdirSync(dir, {recursive: true});
  fs.writeFileSync(path.join(dir, `${step}.done`), `${outcome}\n`);
}
await browser.close();
await server.close();

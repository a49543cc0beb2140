// The page's whole flow in the browser: an image chosen (or dropped), the
// button, the device chooser or a unit allowed before, the update against a
// stand-in for WebHID (fake_hid.js), read back from the page: the log, the
// title and heading, the boxes, the reports the unit got. Where the native
// tovrix-emulate can play the same unit, the page must show what its
// transcript says.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {after, afterEach, before, test} from 'node:test';

import {answerBoxes, fakeHid, launchBrowser, noViolations, openPage, pageShows, runNative, sampleImage, serveSite,
        site, tempDir, testSite, top, windowOf} from './support.mjs';

let server, browser, sample, work;

before(async () => {
  sample = await sampleImage();
  work = tempDir();
  server = await serveSite();
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.close();
  fs.rmSync(work, {recursive: true, force: true});
});

// The page's own code needs nothing its Content-Security-Policy refuses.
afterEach(noViolations);

async function nativeWindow(args, image) {
  const dir = tempDir();
  fs.writeFileSync(path.join(dir, 'TOVRIXPRO.HEX'), image);
  const run = await runNative(args, dir);
  fs.rmSync(dir, {recursive: true, force: true});
  return windowOf(run.stdout);
}

// Opens the page with the fake units, gives it the image (through the file
// chooser, or dropped on the page) and presses the button (or another).
async function startUpdate({fake = {}, image = sample, name = 'firmware 2.1.hex', drop = false, url = '',
                            button = '#start'}) {
  const page = await openPage(browser, server.url + url, {before: fakeHid(fake)});
  await page.waitForFunction(() => document.body.dataset.state === 'ready');
  await giveImage(page, {image, name, drop});
  await page.click(button);
  return page;
}

async function giveImage(page, {image = sample, name = 'firmware 2.1.hex', drop = false} = {}) {
  if (drop) {
    await page.evaluate((bytes, name) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(bytes)], name));
      document.getElementById('log').dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true}));
    }, [...image], name);
  } else {
    const file = path.join(work, name);
    fs.writeFileSync(file, image);
    await (await page.$('#file')).uploadFile(file);
  }
  await page.waitForFunction(() => !document.getElementById('start').disabled);
}

async function pressEsc(page) {
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => document.body.dataset.state === 'ended' || document.getElementById('box').open);
}

// Flows whose whole outcome the native tool gives: the fake unit and the
// native options describe the same unit (WebHID tells no version: 0).
const matched = [
  {name: 'the whole update', native: ['--version', '0'], state: 'idle'},
  {name: 'the image dropped on the page', drop: true, native: ['--version', '0'], state: 'idle'},
  {name: 'a unit allowed before, without the chooser', fake: {allowed: 1}, native: ['--version', '0'],
   state: 'idle', used: ['allowed0']},
  {name: 'a unit allowed before, another one chosen', fake: {allowed: 1}, button: '#other',
   native: ['--version', '0'], state: 'idle'},
  {name: 'two units allowed before: the chooser', fake: {allowed: 2}, native: ['--version', '0'], state: 'idle'},
  {name: 'no unit chosen in the device chooser', fake: {chosen: 'none'}, native: ['--no-unit'], state: 'idle'},
  {name: 'a unit with 63-byte reports is refused', fake: {reportCount: 62},
   native: ['--version', '0', '--caps', '63,63,1'], state: 'idle'},
  {name: 'no answer to QUERY', fake: {silentQuery: true}, native: ['--version', '0', '--silent-query'],
   state: 'ended', exit: '1'},
  {name: 'the unit unplugged while writing', fake: {unplugAt: 30}, native: ['--version', '0', '--fail-write', '30'],
   state: 'ended', exit: '1'},
  {name: 'the unit unplugged while writing, the write left pending', fake: {unplugAt: 30, unplugHangs: true},
   native: ['--version', '0', '--fail-write', '30'], state: 'ended', exit: '1'},
  {name: 'a bad line in the image', image: 'bad', native: [], state: 'ended', exit: '1', used: []},
];

for (const flow of matched) {
  test(`page: ${flow.name}`, async () => {
    const image = flow.image === 'bad' ? Buffer.from(sample.toString('latin1').replace(/\r\n:10/, '\r\n:1G'), 'latin1')
                                       : sample;
    const expected = await nativeWindow(flow.native, image);
    const page = await startUpdate({fake: flow.fake, image, drop: flow.drop, button: flow.button});
    const boxes = await answerBoxes(page);
    const shown = await pageShows(page);
    await page.close();

    assert.equal(shown.log, expected.log);
    assert.equal(shown.title, expected.title);
    assert.equal(shown.heading, expected.title);
    assert.deepEqual(boxes, expected.boxes);
    assert.deepEqual(shown.hid.sent, expected.sent);
    assert.equal(shown.state, flow.state);
    assert.equal(shown.exit, flow.exit);
    // The chooser, filtered to the unit, unless the one unit allowed before is taken.
    const used = flow.used || (flow.fake?.chosen === 'none' ? [] : ['chosen']);
    const chooser = !(flow.fake?.allowed === 1 && !flow.button);
    assert.deepEqual(shown.hid.used, used);
    assert.equal(shown.hid.requests, chooser ? 1 : 0);
    if (chooser) assert.deepEqual(shown.hid.filters, [{vendorId: 0x04D8, productId: 0x003C}]);
    assert.deepEqual(page.errors, []);
    // The unit stays open while the page stays as the window does; the
    // program's end releases it.
    assert.equal(shown.hid.opens - shown.hid.closes, flow.state === 'idle' && used.length ? 1 : 0);
  });
}

test('page: Esc after the update ends the program at once and closes the unit', async () => {
  const page = await startUpdate({});
  await answerBoxes(page);
  await page.screenshot({path: path.join(top, 'build/web/page.png')});  // the README's picture
  await pressEsc(page);
  const shown = await pageShows(page);
  assert.equal(shown.state, 'ended');
  assert.equal(shown.exit, '0');
  assert.deepEqual([shown.hid.opens, shown.hid.closes], [1, 1]);
  await page.close();
});

test('page: Esc while writing asks; No goes on, Yes ends the update with the unit closed', async () => {
  const whole = await nativeWindow(['--version', '0'], sample);
  const page = await startUpdate({fake: {escAt: [200, 600]}});
  const boxes = await answerBoxes(page, ['no', 'yes']);
  const shown = await pageShows(page);
  await page.close();
  const question = ['question', 'Exit TovrixPro Update - Are you sure'];
  assert.deepEqual(boxes, [question, question]);
  assert.equal(shown.state, 'ended');
  assert.equal(shown.exit, '1');  // stopped: the unit was not updated
  assert.deepEqual([shown.hid.opens, shown.hid.closes], [1, 1]);
  // The writing went on after No, and stopped after Yes at the next line,
  // before its report.
  assert.equal(shown.hid.sent.length, 600);
  assert.deepEqual(shown.hid.sent, whole.sent.slice(0, shown.hid.sent.length));
  assert.ok(whole.log.startsWith(shown.log));
});

test('page: a refused unit stays open; Esc then asks first', async () => {
  const page = await startUpdate({fake: {reportCount: 62}});
  await answerBoxes(page);
  await pressEsc(page);
  const boxes = await answerBoxes(page, ['yes']);
  // Yes closes the box at once, the page ends once the unit is closed: it
  // may still be idle when the box has gone.
  await page.waitForFunction(() => document.body.dataset.state === 'ended').catch(() => {});
  const shown = await pageShows(page);
  await page.close();
  assert.deepEqual(boxes, [['question', 'Exit TovrixPro Update - Are you sure']]);
  assert.deepEqual([shown.state, shown.exit, shown.hid.closes], ['ended', '1', 1]);
});

// A unit that cannot be opened (another program or tab holds it), chosen or
// allowed before: named in the log.
for (const allowed of [0, 1]) {
  test(`page: a unit that cannot be opened is named in the log (${allowed ? 'allowed before' : 'chosen'})`,
       async () => {
         const notFound = await nativeWindow(['--no-unit'], sample);
         const page = await startUpdate({fake: {openError: 'Access denied.', allowed}});
         await answerBoxes(page);
         const shown = await pageShows(page);
         await page.close();
         const [first, ...rest] = notFound.log.split('\n');
         assert.equal(shown.log, [first, 'TovrixPro found at webhid:0 (TovrixPro), but it cannot be opened: Access denied.',
                                  ...rest].join('\n'));
         assert.equal(shown.hid.requests, 1 - allowed);
       });
}

// What the button offers as units allowed before come and go: at load,
// after one is pulled out, after one is plugged in (a unit that resets into
// its boot loader again comes back as a new device).
test('page: units allowed before are offered as they come and go', async () => {
  const page = await openPage(browser, server.url, {before: fakeHid({allowed: 1})});
  await page.waitForFunction(() => document.body.dataset.state === 'ready');
  const offer = () => page.evaluate(() => ({
    start: document.getElementById('start').textContent,
    other: !document.getElementById('other').hidden,
    note: document.getElementById('allowed').hidden ? '' : document.getElementById('allowed').textContent,
  }));
  const none = {start: 'Connect to TovrixPro and update', other: false, note: ''};
  const one = {start: 'Update the TovrixPro', other: true, note: 'A TovrixPro that this page may use is plugged in.'};
  const two = {start: 'Connect to TovrixPro and update', other: false,
               note: '2 TovrixPro units that this page may use are plugged in: choose the one to update.'};
  const seen = [await offer()];
  for (const step of ['unplug:allowed0', 'plug', 'plug', 'unplug:allowed1']) {
    const before = JSON.stringify(await offer());
    await page.evaluate(step => {
      const [verb, name] = step.split(':');
      window.fakeHid[verb](name);
    }, step);
    await page.waitForFunction(before => JSON.stringify({
      start: document.getElementById('start').textContent,
      other: !document.getElementById('other').hidden,
      note: document.getElementById('allowed').hidden ? '' : document.getElementById('allowed').textContent,
    }) !== before, {}, before);
    seen.push(await offer());
  }
  assert.deepEqual(seen, [one, none, one, two, one]);
  // The unit that came back is the one updated, without the chooser.
  await giveImage(page);
  await page.click('#start');
  await answerBoxes(page);
  const shown = await pageShows(page);
  await page.close();
  assert.deepEqual([shown.state, shown.hid.used, shown.hid.requests], ['idle', ['allowed2'], 0]);
});

// A click right after an unplug, while the browser's answer to
// getDevices() is still on its way, takes only a unit that is still there;
// an answer asked for before the unplug and given after it counts for
// nothing. The steps: unplug NAME, plug (a unit comes: connect), answer
// (the oldest held answer given), click (the button, with the image).
const unplugRaces = [
  {name: 'the one unit allowed pulled out: the chooser', allowed: 1, steps: ['unplug:allowed0', 'click'],
   used: ['chosen'], requests: 1},
  {name: 'one of two pulled out: the other, without the chooser', allowed: 2, steps: ['unplug:allowed1', 'click'],
   used: ['allowed0'], requests: 0},
  {name: 'an answer from before the unplug given after it', allowed: 1,
   steps: ['plug', 'unplug:allowed1', 'answer', 'click'], used: ['allowed0'], requests: 0},
  {name: 'every answer given late, in turn', allowed: 2,
   steps: ['unplug:allowed0', 'plug', 'unplug:allowed2', 'answer', 'answer', 'click'], used: ['allowed1'], requests: 0},
];

for (const race of unplugRaces) {
  test(`page: after an unplug, ${race.name}`, async () => {
    const page = await openPage(browser, server.url, {before: fakeHid({allowed: race.allowed})});
    await page.waitForFunction(() => document.body.dataset.state === 'ready');
    await giveImage(page);
    await page.evaluate(() => window.fakeHid.holdDevices(true));
    for (const step of race.steps) {
      const [verb, name] = step.split(':');
      if (verb === 'click') {
        assert.ok(await page.evaluate(() => window.fakeHid.heldDevices()) > 0, 'an answer is still on its way');
        await page.click('#start');
      } else {
        // A task after the step: the page has done all it does with it at once.
        await page.evaluate((verb, name) => new Promise(resolve => {
          if (verb === 'answer') window.fakeHid.answerDevices();
          else window.fakeHid[verb](name);
          setTimeout(resolve, 0);
        }), verb, name);
      }
    }
    await page.evaluate(() => {
      window.fakeHid.holdDevices(false);
      while (window.fakeHid.answerDevices() > 0);
    });
    await answerBoxes(page);
    const shown = await pageShows(page);
    await page.close();
    assert.deepEqual([shown.state, shown.hid.used, shown.hid.requests], ['idle', race.used, race.requests]);
    assert.deepEqual(page.errors, []);
  });
}

test('page: ?demo updates the emulated unit with the sample image, in real time', async () => {
  // The demo's unit erases in 1.2 s: two waits of 500 ms go by first.
  const expected = await nativeWindow(['--erase-waits', '2'], sample);
  const page = await openPage(browser, server.url + '?demo');
  await page.waitForFunction(() => document.body.dataset.state === 'ready');
  await page.click('#sample');
  const started = Date.now();
  await page.click('#start');
  const boxes = await answerBoxes(page);
  const took = Date.now() - started;
  const shown = await pageShows(page);
  await page.close();
  assert.deepEqual(boxes, []);
  assert.equal(shown.log, expected.log);
  assert.equal(shown.title, expected.title);
  // Not faster than the unit: 1.2 s of erase and 1 ms a report.
  assert.ok(took >= 1200 + expected.sent.length - 50, `${took} ms`);
});

// Images the page refuses, by their boxes, which name the user's file: with
// no data for the unit (before ERASE: only QUERY reached it), or cut short
// (the sample's first 100 lines: the unit untouched). Both end the program
// with status 1.
const firstLines = (text, count) => text.split('\n').slice(0, count).map(line => line + '\n').join('');
const refused = [
  {name: 'a 0-byte image', image: () => Buffer.alloc(0), queries: 1,
   box: 'The image has no data inside the unit\'s memory ($400 to $57FF): nothing was erased'},
  {name: 'an image with no data inside the memory', image: () => Buffer.from(':00000001FF\r\n'), queries: 1,
   box: 'The image has no data inside the unit\'s memory ($400 to $57FF): nothing was erased'},
  {name: 'an image cut short', image: () => Buffer.from(firstLines(sample.toString('latin1'), 100), 'latin1'),
   queries: 0, box: 'The image firmware 2.1.hex does not end with an end-of-file record, so it may be cut ' +
                    'short: nothing was sent to the unit'},
];

for (const c of refused) {
  for (const demo of [false, true]) {
    test(`page: ${c.name} is refused${demo ? ' (demo)' : ''}`, async () => {
      const page = await startUpdate({image: c.image(), url: demo ? '?demo' : ''});
      const boxes = await answerBoxes(page);
      const shown = await pageShows(page);
      await page.close();
      assert.deepEqual(boxes, [['critical', c.box]]);
      assert.deepEqual([shown.state, shown.exit], ['ended', '1']);
      if (!demo) assert.equal(shown.hid.sent.length, c.queries);
    });
  }
}

// The numbered steps of the first screen: choose, plug in (not in the
// demo), start; a list, so that the numbers follow what is shown.
for (const demo of [false, true]) {
  test(`page: the first screen's steps${demo ? ' (demo)' : ''}`, async () => {
    const page = await openPage(browser, server.url + (demo ? '?demo' : ''), {before: fakeHid()});
    await page.waitForFunction(() => document.body.dataset.state === 'ready');
    const steps = await page.evaluate(() => [...document.querySelectorAll('#choose li')]
      .filter(li => getComputedStyle(li).display === 'list-item')
      .map(li => li.closest('ol') !== null && li.textContent.trim().split(/[:;]/)[0]));
    await page.close();
    assert.deepEqual(steps, [
      'Choose the new firmware (an Intel HEX file), or drop it on this page',
      ...(demo ? [] : ['Plug the unit in with its UP button held']),
      'Start the update',
    ]);
  });
}

// Where the browser has no WebHID, the page says so, points to the desktop
// program (where the site has it) and the demo, and the demo still works.
const unsupported = [
  {name: 'no WebHID', url: '', hideHid: true, shows: '#no-webhid', state: 'unsupported'},
  {name: 'an insecure origin', url: 'insecure', shows: '#insecure', state: 'unsupported'},
  {name: 'the demo without WebHID', url: '?demo', hideHid: true, state: 'ready'},
];

for (const c of unsupported) {
  test(`page: ${c.name}`, async () => {
    // tovrix.test is mapped to this machine: a plain http: origin that is not localhost.
    const url = c.url === 'insecure' ? server.url.replace('localhost', 'tovrix.test') : server.url + c.url;
    const page = await openPage(browser, url, {
      before: c.hideHid ? () => { delete Navigator.prototype.hid; } : undefined,
    });
    await page.waitForFunction(() => !['loading'].includes(document.body.dataset.state));
    const seen = await page.evaluate(() => ({
      state: document.body.dataset.state,
      visible: [...document.querySelectorAll('#unsupported > p[id]')].filter(p => !p.hidden).map(p => `#${p.id}`),
      links: [...document.querySelectorAll('#unsupported a')].map(a => a.getAttribute('href')),
      choose: !document.getElementById('choose').hidden,
    }));
    await page.close();
    assert.equal(seen.state, c.state);
    if (c.shows) {
      // No downloads/ on this server: no link to it.
      assert.deepEqual(seen.visible, [c.shows]);
      assert.deepEqual(seen.links, ['downloads/', '?demo']);
      assert.equal(seen.choose, false);
    } else {
      assert.equal(seen.choose, true);
    }
  });
}

// tovrix-emulate in the engine is the tests' own: the page users get has no
// way to it, in its scripts or its engine; the page's test build has.
test('page: no tovrixEmulate in the site, only in its test build', async () => {
  const page = await openPage(browser, server.url, {before: fakeHid()});
  await page.waitForFunction(() => document.body.dataset.state === 'ready');
  const type = await page.evaluate(() => typeof window.tovrixEmulate);
  await page.close();
  assert.equal(type, 'undefined');
  const glue = dir => fs.readFileSync(path.join(dir, 'tovrix.js'), 'latin1');
  assert.match(glue(site), /_tovrix_run\b/);
  assert.doesNotMatch(glue(site), /tovrix_?emulate/i);
  assert.deepEqual(fs.readdirSync(site).filter(name => /emulate/i.test(name)), []);
  assert.match(glue(testSite), /_tovrix_emulate_arg\b/);
});

// A site that has the desktop programs at downloads/ links to them.
test('page: the link to the desktop programs where the site has them', async () => {
  const root = tempDir();
  fs.cpSync(site, root, {recursive: true});
  fs.mkdirSync(path.join(root, 'downloads'));
  fs.writeFileSync(path.join(root, 'downloads', 'index.html'), '<!doctype html><title>Downloads</title>');
  const withDownloads = await serveSite(root);
  try {
    const page = await openPage(browser, withDownloads.url, {before: () => { delete Navigator.prototype.hid; }});
    await page.waitForFunction(() => document.body.dataset.state === 'unsupported');
    const visible = await page.evaluate(() => [...document.querySelectorAll('#unsupported > p[id]')]
      .filter(p => !p.hidden).map(p => `#${p.id}`));
    await page.close();
    assert.deepEqual(visible, ['#no-webhid', '#desktop']);
  } finally {
    await withDownloads.close();
    fs.rmSync(root, {recursive: true, force: true});
  }
});

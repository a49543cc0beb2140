// The bridge's input reports and waits (webhid.js, createHidBridge) over a
// stand-in device, without a browser: at most 32 unread reports are kept,
// the oldest dropped first, and a wait on a device that has gone fails at
// once, not at its time limit.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {afterEach, test} from 'node:test';
import {fileURLToPath} from 'node:url';
import vm from 'node:vm';

const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const source = fs.readFileSync(path.join(top, 'app/web/webhid.js'), 'utf8');
const HID_WAIT_TIMEOUT = 258;
const HID_WAIT_FAILED = -1;

// The bridge's timers: those left at the end of a test are cleared, so that
// a wait that was not ended keeps nothing running.
const timers = new Set();
const bridgeTimers = {
  setTimeout: (f, ms) => {
    const timer = setTimeout(() => {
      timers.delete(timer);
      f();
    }, ms);
    timers.add(timer);
    return timer;
  },
  clearTimeout: timer => {
    timers.delete(timer);
    clearTimeout(timer);
  },
};
afterEach(() => {
  for (const timer of timers) clearTimeout(timer);
  timers.clear();
});

// The bridge over one device, open; input(n) makes the device send a report
// whose one data byte is n, unplug() takes it away (navigator.hid's
// disconnect).
async function openBridge() {
  const listeners = {device: {}, hid: {}};
  const device = {
    vendorId: 0x04D8, productId: 0x003C, productName: 'TovrixPro', collections: [], opened: false,
    async open() { this.opened = true; },
    async close() { this.opened = false; },
    async sendReport() {},
    addEventListener: (type, listener) => { listeners.device[type] = listener; },
    removeEventListener: () => {},
  };
  const hid = {addEventListener: (type, listener) => { listeners.hid[type] = listener; }};
  const context = {navigator: {hid}, ...bridgeTimers};
  const {createHidBridge} = vm.runInNewContext(`${source}\n({createHidBridge});`, context);
  const bridge = createHidBridge([device]);
  assert.equal(await bridge.open(0), 1);
  return {
    bridge,
    input: n => listeners.device.inputreport({reportId: 0, data: new DataView(Uint8Array.of(n).buffer)}),
    unplug: () => listeners.hid.disconnect({device}),
  };
}

for (const sent of [1, 31, 32, 33, 40]) {
  test(`bridge: ${sent} reports unread, the last ${Math.min(sent, 32)} are kept`, async () => {
    const {bridge, input} = await openBridge();
    for (let n = 1; n <= sent; n++) input(n);
    const kept = Math.min(sent, 32);
    const got = [];
    for (let i = 0; i < kept; i++) got.push(Array.from(await bridge.wait(0, 0)));
    assert.deepEqual(got, Array.from({length: kept}, (_, i) => [0, sent - kept + 1 + i]));
    assert.equal(await bridge.wait(0, 0), HID_WAIT_TIMEOUT);
  });
}

for (const when of ['before the wait', 'during the wait']) {
  test(`bridge: a device unplugged ${when} fails the wait at once`, async () => {
    const {bridge, unplug} = await openBridge();
    if (when === 'before the wait') unplug();
    const waiting = bridge.wait(0, 60000);
    if (when === 'during the wait') unplug();
    const soon = promise =>
      Promise.race([promise, new Promise(resolve => setTimeout(() => resolve('still waiting after 200 ms'), 200))]);
    assert.equal(await soon(waiting), HID_WAIT_FAILED);
    assert.equal(await soon(bridge.wait(0, 60000)), HID_WAIT_FAILED, 'the next wait');
  });
}

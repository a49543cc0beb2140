// The page's bridge to WebHID: what the engine's WebHidApi (app/web/web_hid.cpp)
// calls as Module.tovrixHid, over the HIDDevice objects that the user chose.
//
// Devices are numbered in the chooser's order. open() opens the device in
// the browser and from then on keeps its input reports in a queue of at
// most 32, the oldest dropped first, as the platform's HID driver does;
// wait() takes the oldest, or waits for the next until its time is up.
// A device that is closed, or unplugged, fails every wait at once, and a
// report being sent to a device that is unplugged fails then, whether or
// not the browser ever settles that send.
'use strict';

// Results of wait() besides a report: as the engine's kWaitTimeout, and a failure.
const HID_WAIT_TIMEOUT = 258;
const HID_WAIT_FAILED = -1;
const HID_QUEUE_LIMIT = 32;

// The report lengths (report ID byte included, the longest report of each
// kind) and the input value capabilities of a device, from the report
// items WebHID lists, as the platform's HID driver counts them for the
// same descriptor. The browser lists an item in its own collection and
// again in every collection around it, so the top-level collections alone
// hold each item once. Data, Variable items of more than one bit give one
// capability per usage or usage range, as far as their fields go; constant
// padding, arrays, one-bit fields (buttons) and items without fields give
// none. WebHID tells only the bounds of a range, not the single usages
// beside it: such an item counts as the range alone.
function hidCaps(device) {
  const bits = {input: new Map(), output: new Map()};
  let valueCaps = 0;
  const add = (map, report) => {
    for (const item of report.items || []) {
      map.set(report.reportId, (map.get(report.reportId) || 0) + item.reportSize * item.reportCount);
    }
  };
  const itemValueCaps = item => {
    if (item.isConstant || item.isArray || item.reportSize <= 1 || item.reportCount === 0) return 0;
    if (item.isRange) return 1;
    const usages = (item.usages || []).length;
    return usages === 0 ? 1 : Math.min(usages, item.reportCount);
  };
  for (const collection of device.collections || []) {
    for (const report of collection.inputReports || []) {
      add(bits.input, report);
      for (const item of report.items || []) valueCaps += itemValueCaps(item);
    }
    for (const report of collection.outputReports || []) add(bits.output, report);
  }
  const longest = map => Math.min(65535, Math.max(0, ...[...map.values()].map(b => Math.ceil(b / 8) + 1)));
  return {input: longest(bits.input), output: longest(bits.output), valueCaps: Math.min(valueCaps, 65535)};
}

function createHidBridge(devices) {
  const states = devices.map(device => {
    const state = {device, open: false, gone: false, queue: [], waiter: null, openError: '', listener: null};
    state.unplugged = new Promise(resolve => { state.markGone = resolve; });
    return state;
  });

  const settle = (state, result) => {
    if (!state.waiter) return false;
    const waiter = state.waiter;
    state.waiter = null;
    waiter(result);
    return true;
  };

  const onDisconnect = event => {
    for (const state of states) {
      if (state.device !== event.device) continue;
      state.gone = true;
      state.markGone(0);
      settle(state, HID_WAIT_FAILED);
    }
  };
  if (navigator.hid) navigator.hid.addEventListener('disconnect', onDisconnect);

  return {
    count: () => states.length,
    ids: i => (states[i].device.vendorId << 16) | states[i].device.productId,
    name: i => states[i].device.productName || '',
    openError: i => states[i].openError,
    caps: i => hidCaps(states[i].device),

    async open(i) {
      const state = states[i];
      try {
        if (!state.device.opened) await state.device.open();
      } catch (error) {
        state.openError = (error && error.message) || String(error);
        return 0;
      }
      state.open = true;
      state.queue = [];
      state.listener = event => {
        const report = new Uint8Array(1 + event.data.byteLength);
        report[0] = event.reportId;
        report.set(new Uint8Array(event.data.buffer, event.data.byteOffset, event.data.byteLength), 1);
        if (settle(state, report)) return;
        state.queue.push(report);
        if (state.queue.length > HID_QUEUE_LIMIT) state.queue.shift();
      };
      state.device.addEventListener('inputreport', state.listener);
      return 1;
    },

    send(i, report) {
      const state = states[i];
      if (!state.open || state.gone) return Promise.resolve(0);
      const sent = (async () => {
        await state.device.sendReport(report[0], report.subarray(1));
        return 1;
      })().catch(() => 0);
      return Promise.race([sent, state.unplugged]);
    },

    wait(i, timeoutMs) {
      const state = states[i];
      if (state.queue.length > 0) return Promise.resolve(state.queue.shift());
      if (!state.open || state.gone) return Promise.resolve(HID_WAIT_FAILED);
      return new Promise(resolve => {
        const timer = setTimeout(() => settle(state, HID_WAIT_TIMEOUT), timeoutMs);
        state.waiter = result => {
          clearTimeout(timer);
          resolve(result);
        };
      });
    },

    async close(i) {
      const state = states[i];
      if (!state.open) return 0;
      state.open = false;
      state.queue = [];
      state.device.removeEventListener('inputreport', state.listener);
      settle(state, HID_WAIT_FAILED);
      try {
        await state.device.close();
      } catch (error) {
        return 0;
      }
      return 1;
    },

    // The page is going away: close what is open, without waiting.
    closeAll() {
      for (const state of states) {
        if (!state.open) continue;
        state.open = false;
        settle(state, HID_WAIT_FAILED);
        state.device.close().catch(() => {});
      }
    },
  };
}

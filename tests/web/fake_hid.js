// A stand-in for navigator.hid, put into the page before it loads
// (page.evaluateOnNewDocument(installFakeHid, options)): TovrixPro units in
// update mode behind WebHID's interface, answering as the unit does. A unit
// answers QUERY with its memory bounds (400:57FF), once the erase is over
// when it follows ERASE. window.fakeHid counts what the units are sent and
// plugs units in and out.
//
// options:
//   collections   the units' HIDDevice.collections (chromiumCollections of
//                 the unit's descriptor: tests/web/support.mjs fills it in)
//   allowed       how many units the page may already use are plugged in
//                 at load: getDevices() gives them (0)
//   chosen        'unit' (the device chooser returns a unit of its own) or
//                 'none'
//   silentQuery   no answer to the first QUERY
//   eraseMs       how long the erase takes (300)
//   openError     open() fails with this message
//   escAt         [N, ...]: Esc is pressed as the N-th report arrives
//   unplugAt      the unit is unplugged as the N-th report is sent: that
//                 report fails, or with unplugHangs never settles
//   holdDevices   getDevices() answers only when told to (answerDevices):
//                 each answer is the units as they were when it was asked,
//                 as the browser's answer that was on its way
//
// window.fakeHid: sent (every report, hex), opens, closes, requests (device
// chooser calls), filters (the chooser's), used (the names of the units
// opened, in turn: 'allowed0', 'allowed1', ..., 'chosen'), plug() (a unit
// the page may use comes in: connect), unplug(name) (it goes:
// disconnect), holdDevices(on) (getDevices() answers held back from now on,
// or not), heldDevices() (how many are held), answerDevices() (the oldest
// held answer is given; returns how many are still held).
export function installFakeHid(options) {
  const config = {chosen: 'unit', allowed: 0, eraseMs: 300, escAt: [], ...options};
  const state = {sent: [], opens: 0, closes: 0, requests: 0, used: []};
  window.fakeHid = state;
  const hex = bytes => Array.from(bytes, b => b.toString(16).toUpperCase().padStart(2, '0')).join('');
  const listeners = {hid: {}};
  const on = (table, type, listener) => (table[type] = table[type] || []).push(listener);
  const off = (table, type, listener) => {
    table[type] = (table[type] || []).filter(l => l !== listener);
  };
  const fire = (table, type, event) => (table[type] || []).forEach(l => l(event));
  const dataBytes = config.collections[0].inputReports[0].items.reduce((n, i) => n + i.reportSize * i.reportCount, 0) / 8;

  function makeUnit(name) {
    const own = {};
    let opened = false;
    let gone = false;
    let queries = 0;
    let eraseEnds = 0;
    const unit = {
      vendorId: 0x04D8, productId: 0x003C, productName: 'TovrixPro',
      collections: config.collections,
      get opened() { return opened; },
      get gone() { return gone; },
      async open() {
        if (config.openError || gone) throw new DOMException(config.openError || 'Failed to open the device.', 'NotAllowedError');
        if (opened) throw new DOMException('The device is already open.', 'InvalidStateError');
        opened = true;
        state.opens++;
        state.used.push(name);
      },
      async close() {
        opened = false;
        state.closes++;
      },
      sendReport(reportId, data) {
        if (!opened || gone) return Promise.reject(new DOMException('Failed to write the report.', 'NotAllowedError'));
        if (config.unplugAt === state.sent.length + 1) {
          unplug(name);
          return config.unplugHangs ? new Promise(() => {})
                                    : Promise.reject(new DOMException('Failed to write the report.', 'NetworkError'));
        }
        const bytes = new Uint8Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
        state.sent.push(hex([reportId, ...bytes]));
        if (config.escAt.includes(state.sent.length)) {
          document.dispatchEvent(new KeyboardEvent('keydown', {key: 'Escape', bubbles: true}));
        }
        if (bytes[0] === 0x04) eraseEnds = performance.now() + config.eraseMs;
        if (bytes[0] === 0x02 && !(++queries === 1 && config.silentQuery)) {
          const reply = new Uint8Array(dataBytes);
          reply.set([0x02, 56, 2, 1, 0x00, 0x04, 0, 0, 0xFF, 0x57, 0, 0, 0xFF]);
          setTimeout(() => {
            if (opened && !gone) fire(own, 'inputreport', {reportId: 0, data: new DataView(reply.buffer)});
          }, Math.max(0, eraseEnds - performance.now()));
        }
        return Promise.resolve();
      },
      addEventListener: (type, listener) => on(own, type, listener),
      removeEventListener: (type, listener) => off(own, type, listener),
      markGone() { gone = true; },
    };
    return unit;
  }

  // The units plugged in that the page may use, by name.
  const allowed = new Map();
  let plugged = 0;
  const plug = () => {
    const name = `allowed${plugged++}`;
    const unit = makeUnit(name);
    allowed.set(name, unit);
    return unit;
  };
  for (let i = 0; i < config.allowed; i++) plug();
  let chosenUnit = null;
  const unplug = name => {
    const unit = name === 'chosen' ? chosenUnit : allowed.get(name);
    if (!unit || unit.gone) return;
    unit.markGone();
    allowed.delete(name);
    fire(listeners.hid, 'disconnect', {device: unit});
  };
  state.plug = () => fire(listeners.hid, 'connect', {device: plug()});
  state.unplug = unplug;
  let holding = Boolean(config.holdDevices);
  const held = [];
  state.holdDevices = on => { holding = on; };
  state.heldDevices = () => held.length;
  state.answerDevices = () => {
    const answer = held.shift();
    if (answer) answer();
    return held.length;
  };

  const hid = {
    async requestDevice({filters}) {
      state.requests++;
      state.filters = filters;
      if (config.chosen !== 'unit') return [];
      chosenUnit = chosenUnit || makeUnit('chosen');
      return [chosenUnit];
    },
    getDevices() {
      const answer = [...allowed.values()];
      if (!holding) return Promise.resolve(answer);
      return new Promise(resolve => held.push(() => resolve(answer)));
    },
    addEventListener: (type, listener) => on(listeners.hid, type, listener),
    removeEventListener: (type, listener) => off(listeners.hid, type, listener),
  };
  Object.defineProperty(Navigator.prototype, 'hid', {get: () => hid, configurable: true});
}

// The unit's report descriptor with reports of n bytes, as the test VM's
// gadget unit has it: vendor page 0xFF00, usage 1, one application
// collection with usages 1..n as n input bytes and n output bytes (data,
// variable, absolute), values 0..255.
export function unitDescriptor(n = 64) {
  return [0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x19, 0x01, 0x29, n, 0x15, 0x00, 0x26, 0xFF, 0x00,
          0x75, 0x08, 0x95, n, 0x81, 0x02, 0x19, 0x01, 0x29, n, 0x91, 0x02, 0xC0];
}

// What Chromium's WebHID lists as HIDDevice.collections for a report
// descriptor, as Chromium reads it. Every Input, Output and Feature item
// becomes one HIDReportItem in the report of the current Report ID (0
// without Report IDs), both in its own collection and in every collection
// around it; items outside any collection are dropped. An item whose Usage
// Minimum and Usage Maximum differ is a range and lists only those two
// (isRange, usageMinimum, usageMaximum), any other lists its Usages
// (usages). Usages of up to 16 bits take the current Usage Page as their
// upper half. Push and Pop save and restore the global items except the
// Report ID; a collection takes its first Usage. Reports come in the order
// their IDs first appear.
export function chromiumCollections(bytes) {
  const top = [];
  const stack = [];
  let globals = {usagePage: 0, logicalMinimum: 0, logicalMaximum: 0, physicalMinimum: 0, physicalMaximum: 0,
                 unitExponent: 0, unit: 0, reportSize: 0, reportCount: 0};
  let local = null;
  const resetLocal = () => { local = {usages: [], usageMinimum: 0, usageMaximum: 0}; };
  resetLocal();
  let current = null;
  let reportId = 0;
  const signed = (value, size) => (size === 1 ? (value << 24) >> 24 : size === 2 ? (value << 16) >> 16 : value | 0);
  const withPage = usage => (usage > 0xFFFF ? usage : ((globals.usagePage << 16) | usage) >>> 0);
  const unitSystems = {0: 'none', 1: 'si-linear', 2: 'si-rotation', 3: 'english-linear', 4: 'english-rotation',
                       15: 'vendor-defined'};
  const kinds = {0x8: 'inputReports', 0x9: 'outputReports', 0xB: 'featureReports'};

  const reportItem = flags => {
    const bit = n => (flags & (1 << n)) !== 0;
    const isRange = local.usageMinimum !== local.usageMaximum;
    const item = {
      isAbsolute: !bit(2), isArray: !bit(1), isBufferedBytes: bit(8), isConstant: bit(0), isLinear: !bit(4),
      isRange, isVolatile: bit(7), hasNull: bit(6), hasPreferredState: !bit(5), wrap: bit(3),
      reportSize: globals.reportSize, reportCount: globals.reportCount,
      unitExponent: (globals.unitExponent & 0xF) > 8 ? (globals.unitExponent & 0xF) - 16 : globals.unitExponent & 0xF,
      unitSystem: unitSystems[globals.unit & 0xF] || 'reserved',
      logicalMinimum: globals.logicalMinimum, logicalMaximum: globals.logicalMaximum,
      physicalMinimum: globals.physicalMinimum, physicalMaximum: globals.physicalMaximum,
    };
    if (isRange) Object.assign(item, {usageMinimum: local.usageMinimum, usageMaximum: local.usageMaximum});
    else item.usages = [...local.usages];
    return item;
  };

  for (let pos = 0; pos < bytes.length;) {
    const prefix = bytes[pos];
    if (prefix === 0xFE) {  // a long item: skipped
      pos += 3 + (bytes[pos + 1] || 0);
      continue;
    }
    const size = [0, 1, 2, 4][prefix & 3];
    let value = 0;
    for (let i = 0; i < size; i++) value += (bytes[pos + 1 + i] || 0) * 2 ** (8 * i);
    pos += 1 + size;
    const type = (prefix >> 2) & 3;
    const tag = prefix >> 4;
    if (type === 0) {
      if (tag === 0xA) {
        const usage = local.usages[0] || 0;
        const collection = {usagePage: usage >>> 16 || globals.usagePage, usage: usage & 0xFFFF, type: value,
                            children: [], parent: current,
                            reports: {inputReports: new Map(), outputReports: new Map(), featureReports: new Map()}};
        (current ? current.children : top).push(collection);
        current = collection;
      } else if (tag === 0xC) {
        if (current) current = current.parent;
      } else if (kinds[tag]) {
        for (let c = current; c; c = c.parent) {
          const reports = c.reports[kinds[tag]];
          if (!reports.has(reportId)) reports.set(reportId, []);
          reports.get(reportId).push(reportItem(value));
        }
      }
      resetLocal();
    } else if (type === 1) {
      switch (tag) {
        case 0x0: globals.usagePage = value; break;
        case 0x1: globals.logicalMinimum = signed(value, size); break;
        case 0x2: globals.logicalMaximum = signed(value, size); break;
        case 0x3: globals.physicalMinimum = signed(value, size); break;
        case 0x4: globals.physicalMaximum = signed(value, size); break;
        case 0x5: globals.unitExponent = value; break;
        case 0x6: globals.unit = value; break;
        case 0x7: globals.reportSize = value; break;
        case 0x8: if (current) reportId = value; break;
        case 0x9: globals.reportCount = value; break;
        case 0xA: stack.push({...globals}); break;
        case 0xB: if (stack.length) globals = stack.pop(); break;
        default: break;
      }
    } else if (type === 2) {
      if (tag === 0x0) local.usages.push(withPage(value));
      else if (tag === 0x1) local.usageMinimum = withPage(value);
      else if (tag === 0x2) local.usageMaximum = withPage(value);
    }
  }

  const plain = collection => ({
    usagePage: collection.usagePage, usage: collection.usage, type: collection.type,
    children: collection.children.map(plain),
    ...Object.fromEntries(Object.entries(collection.reports).map(([kind, reports]) =>
      [kind, [...reports].map(([id, items]) => ({reportId: id, items}))])),
  });
  return top.map(plain);
}

// A stand-in for navigator.hid, put into the page before it loads
// (page.evaluateOnNewDocument(installFakeHid, options)): a TovrixPro in
// update mode behind WebHID's interface, answering as the unit does. It
// answers QUERY with its memory bounds (400:57FF), once the erase is over
// when it follows ERASE, and counts what it is sent in window.fakeHid.
//
// options:
//   chosen        'unit' (the device chooser returns the unit) or 'none'
//   reportCount   the unit's data bytes a report (64)
//   silentQuery   no answer to the first QUERY
//   eraseMs       how long the erase takes (300)
//   openError     open() fails with this message
//   escAt         [N, ...]: Esc is pressed as the N-th report arrives
//   unplugAt      the unit is unplugged as the N-th report is sent: that
//                 report fails
export function installFakeHid(options) {
  const config = {chosen: 'unit', reportCount: 64, eraseMs: 300, escAt: [], ...options};
  const state = {sent: [], opens: 0, closes: 0, requests: 0, opened: false};
  window.fakeHid = state;
  const hex = bytes => Array.from(bytes, b => b.toString(16).toUpperCase().padStart(2, '0')).join('');
  const listeners = {hid: {}, device: {}};
  const on = (table, type, listener) => (table[type] = table[type] || []).push(listener);
  const off = (table, type, listener) => {
    table[type] = (table[type] || []).filter(l => l !== listener);
  };
  const fire = (table, type, event) => (table[type] || []).forEach(l => l(event));

  const item = {reportSize: 8, reportCount: config.reportCount, usages: [0xFF000001], isArray: false,
                isConstant: false, isRange: false};
  const report = {reportId: 0, items: [item]};
  let queries = 0;
  let eraseEnds = 0;
  let gone = false;

  const unit = {
    vendorId: 0x04D8, productId: 0x003C, productName: 'TovrixPro',
    collections: [{usagePage: 0xFF00, usage: 1, type: 1, children: [], inputReports: [report],
                   outputReports: [report], featureReports: []}],
    get opened() { return state.opened; },
    async open() {
      if (config.openError) throw new DOMException(config.openError, 'NotAllowedError');
      if (state.opened) throw new DOMException('The device is already open.', 'InvalidStateError');
      state.opened = true;
      state.opens++;
    },
    async close() {
      state.opened = false;
      state.closes++;
    },
    async sendReport(reportId, data) {
      if (!state.opened || gone) throw new DOMException('Failed to write the report.', 'NotAllowedError');
      if (config.unplugAt === state.sent.length + 1) {
        gone = true;
        fire(listeners.hid, 'disconnect', {device: unit});
        throw new DOMException('Failed to write the report.', 'NetworkError');
      }
      const bytes = new Uint8Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
      state.sent.push(hex([reportId, ...bytes]));
      if (config.escAt.includes(state.sent.length)) {
        document.dispatchEvent(new KeyboardEvent('keydown', {key: 'Escape', bubbles: true}));
      }
      if (bytes[0] === 0x04) eraseEnds = performance.now() + config.eraseMs;
      if (bytes[0] === 0x02 && !(++queries === 1 && config.silentQuery)) {
        const reply = new Uint8Array(config.reportCount);
        reply.set([0x02, 56, 2, 1, 0x00, 0x04, 0, 0, 0xFF, 0x57, 0, 0, 0xFF]);
        setTimeout(() => {
          if (state.opened && !gone) fire(listeners.device, 'inputreport', {reportId: 0, data: new DataView(reply.buffer)});
        }, Math.max(0, eraseEnds - performance.now()));
      }
    },
    addEventListener: (type, listener) => on(listeners.device, type, listener),
    removeEventListener: (type, listener) => off(listeners.device, type, listener),
  };

  const hid = {
    async requestDevice({filters}) {
      state.requests++;
      state.filters = filters;
      return config.chosen === 'unit' ? [unit] : [];
    },
    async getDevices() { return []; },
    addEventListener: (type, listener) => on(listeners.hid, type, listener),
    removeEventListener: (type, listener) => off(listeners.hid, type, listener),
  };
  Object.defineProperty(Navigator.prototype, 'hid', {get: () => hid, configurable: true});
}

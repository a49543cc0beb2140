// The bridge's report lengths and input value capabilities (webhid.js,
// hidCaps) from the collections that Chromium lists for a report
// descriptor (fake_hid.js, chromiumCollections): the same figures as the
// platform's HID driver gives for that descriptor (and the Linux backend,
// hid/linux/report_descriptor.h), without a browser.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {test} from 'node:test';
import vm from 'node:vm';

import {chromiumCollections, unitDescriptor} from './fake_hid.js';
import {top} from './support.mjs';

const {hidCaps} = vm.runInNewContext(
  `${fs.readFileSync(path.join(top, 'app/web/webhid.js'), 'utf8')}\n({hidCaps});`, {});

// Descriptors beside the unit's, in bytes: vendor page 0xFF00, usage 1 and
// an application collection around the items.
const app = items => [0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, ...items, 0xC0];
const cases = [
  ['the unit', unitDescriptor(64), [65, 65, 1]],
  ['the unit with 63-byte reports', unitDescriptor(63), [64, 64, 1]],
  // The same items inside a logical collection: Chromium lists them in both.
  ['the unit\'s items in a nested collection',
   app([0x09, 0x02, 0xA1, 0x02, ...unitDescriptor(64).slice(7, -1), 0xC0]), [65, 65, 1]],
  ['two input reports with report IDs, the longest counts',
   app([0x85, 0x01, 0x19, 0x01, 0x29, 0x08, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02,
        0x85, 0x02, 0x19, 0x01, 0x29, 0x3F, 0x95, 0x3F, 0x81, 0x02]), [64, 0, 2]],
  ['one usage a field, as far as the fields go',
   app([0x09, 0x01, 0x09, 0x02, 0x09, 0x03, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02]), [3, 0, 2]],
  ['buttons, constant padding and an array give none',
   app([0x05, 0x09, 0x19, 0x01, 0x29, 0x08, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x75, 0x08, 0x95, 0x01,
        0x81, 0x03, 0x06, 0x00, 0xFF, 0x09, 0x05, 0x75, 0x08, 0x95, 0x01, 0x81, 0x00]), [4, 0, 0]],
  ['a value item without fields gives none',
   app([0x19, 0x01, 0x29, 0x40, 0x75, 0x08, 0x95, 0x00, 0x81, 0x02, 0x95, 0x40, 0x81, 0x02]), [65, 0, 1]],
];

for (const [name, descriptor, [input, output, valueCaps]] of cases) {
  test(`caps: ${name}`, () => {
    assert.deepEqual({...hidCaps({collections: chromiumCollections(descriptor)})}, {input, output, valueCaps});
  });
}

test('caps: the unit\'s collections as Chromium lists them', () => {
  const [collection] = chromiumCollections(unitDescriptor(64));
  const item = {isAbsolute: true, isArray: false, isBufferedBytes: false, isConstant: false, isLinear: true,
                isRange: true, isVolatile: false, hasNull: false, hasPreferredState: true, wrap: false,
                reportSize: 8, reportCount: 64, unitExponent: 0, unitSystem: 'none',
                logicalMinimum: 0, logicalMaximum: 255, physicalMinimum: 0, physicalMaximum: 0,
                usageMinimum: 0xFF000001, usageMaximum: 0xFF000040};
  assert.deepEqual(collection, {usagePage: 0xFF00, usage: 1, type: 1, children: [],
                                inputReports: [{reportId: 0, items: [item]}],
                                outputReports: [{reportId: 0, items: [item]}], featureReports: []});
});

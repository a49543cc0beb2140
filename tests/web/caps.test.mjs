// The bridge's report lengths and input value capabilities (webhid.js,
// hidCaps) from the collections that Chromium lists for a report
// descriptor (fake_hid.js, chromiumCollections): the same figures as the
// platform's HID driver gives for that descriptor (and the Linux backend,
// hid/linux/report_descriptor.h, for the same table), without a browser.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {test} from 'node:test';
import vm from 'node:vm';

import {chromiumCollections, unitDescriptor} from './fake_hid.js';
import {top} from './support.mjs';

const {hidCaps} = vm.runInNewContext(
  `${fs.readFileSync(path.join(top, 'app/web/webhid.js'), 'utf8')}\n({hidCaps});`, {});

// The descriptors of the table that the Linux backend's tests share
// (tests/hid/linux/report_descriptor_test.cpp): the browser and the desktop
// tool must count the same for each.
const {descriptors} = JSON.parse(fs.readFileSync(path.join(top, 'tests/support/descriptor_caps.json'), 'utf8'));
assert.ok(descriptors.length > 10);

for (const {name, bytes, input, output, valueCaps} of descriptors) {
  test(`caps: ${name}`, () => {
    const descriptor = bytes.split(' ').map(byte => parseInt(byte, 16));
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

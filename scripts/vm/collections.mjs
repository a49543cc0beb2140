// Prints, as JSON, the collections that the web tests' stand-in for WebHID
// (tests/web/fake_hid.js) gives for the unit's report descriptor with
// reports of BYTES bytes: what Chromium must give for the kernel's device.
//
//   node scripts/vm/collections.mjs BYTES
import {chromiumCollections, unitDescriptor} from "../../tests/web/fake_hid.js";

const bytes = Number(process.argv[2]);
process.stdout.write(JSON.stringify(chromiumCollections(unitDescriptor(bytes))) + "\n");

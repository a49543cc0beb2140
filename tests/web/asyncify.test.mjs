// The build's check of the functions that can wait (app/web/check_asyncify.py)
// on a small module as wasm-dis prints one: each way a call can reach an
// import that waits, beside the same call reaching one that does not.
import assert from 'node:assert/strict';
import {execFileSync, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {test} from 'node:test';

import {tempDir, top} from './support.mjs';

const check = path.join(top, 'app/web/check_asyncify.py');
const glue = 'var asmLibraryArg={"a":__asyncjs__wait_for,"b":_emscripten_sleep,"c":invoke_vi,"d":page_log};';
// Table: 1 $quiet, 2 $waits. A vtable at 1024: $quiet, then $waits.
const wat = String.raw`(module
 (type $i32_=>_none (func (param i32)))
 (type $i32_=>_i32 (func (param i32) (result i32)))
 (import "a" "a" (func $wait (param i32)))
 (import "a" "b" (func $sleep (param i32)))
 (import "a" "c" (func $invoke_vi (param i32 i32)))
 (import "a" "d" (func $log (param i32)))
 (memory $0 1)
 (data (i32.const 1024) "\01\00\00\00\02\00\00\00")
 (table $0 3 3 funcref)
 (elem (i32.const 1) $quiet $waits)
 (func $waits (param $0 i32) (call $wait (local.get $0)))
 (func $quiet (param $0 i32) (call $log (local.get $0)))
 (func $sleeps (call $sleep (i32.const 5)))
 (func $direct (call $waits (i32.const 0)))
 (func $logs (call $quiet (i32.const 0)))
 (func $invokes_waits (call $invoke_vi (i32.const 2) (i32.const 0)))
 (func $invokes_quiet (call $invoke_vi (i32.const 1) (i32.const 0)))
 (func $make (param $0 i32) (i32.store (local.get $0) (i32.const 1024)))
 (func $virtual_waits (param $0 i32)
  (call_indirect (type $i32_=>_none) (local.get $0) (i32.load offset=4 (i32.load (local.get $0)))))
 (func $virtual_quiet (param $0 i32)
  (call_indirect (type $i32_=>_none) (local.get $0) (i32.load (i32.load (local.get $0)))))
 (func $held (param $0 i32) (local $1 i32)
  (local.set $1 (i32.load offset=4 (i32.load (local.get $0))))
  (call_indirect (type $i32_=>_none) (local.get $0) (local.get $1)))
 (func $shared (param $0 i32) (param $1 i32) (call_indirect (type $i32_=>_none) (local.get $0) (local.get $1)))
 (func $passes_waits (call $shared (i32.const 0) (i32.const 2)))
 (func $pointer (param $0 i32) (param $1 i32)
  (call_indirect (type $i32_=>_none) (local.get $0) (i32.add (local.get $1) (i32.const 0))))
 (func $pointer_other_type (param $0 i32) (param $1 i32)
  (drop (call_indirect (type $i32_=>_i32) (local.get $0) (i32.add (local.get $1) (i32.const 0)))))
)`;

// The functions that can wait, and how.
const waiting = [
  ['waits', 'calls an EM_ASYNC_JS import'],
  ['sleeps', 'calls emscripten_sleep'],
  ['direct', 'calls a function that waits'],
  ['invokes_waits', 'calls it through invoke_*'],
  ['virtual_waits', 'calls it through its vtable slot'],
  ['held', 'calls the vtable slot it put into a local'],
  ['shared', 'calls a pointer its caller passes'],
  ['passes_waits', 'passes that pointer'],
  ['pointer', 'calls a pointer of the type of a function whose address is taken'],
];

function run(list, ...extra) {
  const dir = tempDir();
  const files = {wat: path.join(dir, 'e.wat'), js: path.join(dir, 'e.js'), list: path.join(dir, 'list.txt'),
                 out: path.join(dir, 'names.rsp')};
  fs.writeFileSync(files.wat, wat);
  fs.writeFileSync(files.js, glue);
  fs.writeFileSync(files.list, list);
  const result = spawnSync('python3', [check, files.wat, files.js, files.list, files.out, ...extra], {encoding: 'utf8'});
  const read = file => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : null);
  const outcome = {status: result.status, stderr: result.stderr, list: read(files.list), out: read(files.out)};
  fs.rmSync(dir, {recursive: true, force: true});
  return outcome;
}

const names = waiting.map(([name]) => name).sort();

test('asyncify check: the functions that can wait, and none else', () => {
  const written = run('# the list\n', '--write');
  assert.equal(written.status, 0, written.stderr);
  assert.deepEqual(written.list.split('\n').filter(Boolean), ['# the list', ...names]);
});

test('asyncify check: the list as it should be passes and gives the linker its names', () => {
  const passed = run(`# the list\n${names.join('\n')}\n`);
  assert.equal(passed.status, 0, passed.stderr);
  assert.equal(passed.out, names.map(name => `${name}\n`).join(''));
});

// One left out (the engine would break where it waits through it), one
// listed that cannot wait: each fails the build by name.
for (const [name, how] of waiting) {
  test(`asyncify check: fails when ${name} is left out (it ${how})`, () => {
    const failed = run(names.filter(n => n !== name).join('\n') + '\nquiet\n');
    assert.equal(failed.status, 1);
    assert.match(failed.stderr, new RegExp(`can wait, not listed: ${name}\\n`));
    assert.match(failed.stderr, /listed, cannot wait: quiet\n/);
    assert.equal(failed.out, null);
  });
}

test('asyncify check: wasm-dis prints the engine as the check reads it', () => {
  // The form the check parses is Binaryen's: a module made from this text
  // and printed again keeps its calls.
  const dir = tempDir();
  try {
    fs.writeFileSync(path.join(dir, 'e.wat'), wat);
    execFileSync('wasm-as', ['-g', path.join(dir, 'e.wat'), '-o', path.join(dir, 'e.wasm')]);
    const printed = execFileSync('wasm-dis', [path.join(dir, 'e.wasm')], {encoding: 'utf8'});
    fs.writeFileSync(path.join(dir, 'e.wat'), printed);
    fs.writeFileSync(path.join(dir, 'e.js'), glue);
    fs.writeFileSync(path.join(dir, 'list.txt'), '');
    execFileSync('python3', [check, path.join(dir, 'e.wat'), path.join(dir, 'e.js'), path.join(dir, 'list.txt'),
                             '-', '--write']);
    assert.deepEqual(fs.readFileSync(path.join(dir, 'list.txt'), 'utf8').split('\n').filter(Boolean), names);
  } finally {
    fs.rmSync(dir, {recursive: true, force: true});
  }
});

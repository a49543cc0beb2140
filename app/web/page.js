// The page: TovrixPro Update in the browser.
//
// The window of the desktop tool, adapted to a browser: its caption is the
// page's title and heading, its log a read-only text area, its boxes modal
// dialogs. A browser cannot read a file by name and asks for a device only
// after a user's gesture, so the page first takes the image (a file chooser
// or a file dropped on the page, any name) and then offers one button; the
// update then runs in the engine (tovrix.js, tovrix.wasm) exactly as in the
// window.
//
// The button. A unit (USB 04D8:003C) that the user let this page use
// before, and that is plugged in, is updated at once: the button reads
// "Update the TovrixPro", and another button opens the browser's device
// chooser to take another unit. With no such unit, or with several (the
// page cannot tell them apart, so the user picks one), the button opens the
// chooser. The page asks the browser for those units at load and whenever
// one is plugged in or pulled out, so a unit that comes back (it resets
// into its boot loader again) is offered again.
//
// With ?demo the update runs against the emulated unit in real time, and
// the page offers the sample image too.
//
// The state of the page is in document.body.dataset.state: loading,
// unsupported (no WebHID), ready, running (the update), idle (the update
// has returned and the log stays, as the window does), ended (the program
// has ended: data-exit holds its exit status). data-boxes counts the boxes
// shown so far.
'use strict';

(() => {
  const UNIT_FILTER = {vendorId: 0x04D8, productId: 0x003C};
  const ESC = 27;
  const FRAME_MS = 16;
  const SESSION_DIR = '/session';
  const IMAGE_PATH = SESSION_DIR + '/TOVRIXPRO.HEX';

  const demo = new URLSearchParams(location.search).has('demo');
  const $ = id => document.getElementById(id);
  const body = document.body;

  let engine = null;       // the Emscripten module, once loaded
  let image = null;        // {name, bytes} chosen by the user; bytes null when unreadable
  let useSample = false;   // the demo's sample image instead
  let bridge = null;       // the WebHID bridge of the devices chosen
  let allowed = [];        // units plugged in that this page may use (getDevices)
  let lookups = 0;         // look-ups for them so far: only the latest answer counts
  let pendingLog = '';
  let lastYield = 0;
  let keyBusy = false;
  const keys = [];         // Esc presses waiting for the next event pump

  const setState = state => { body.dataset.state = state; };

  // --- The window's parts -------------------------------------------------

  function flushLog() {
    if (!pendingLog) return;
    const log = $('log');
    const atEnd = log.scrollHeight - log.scrollTop - log.clientHeight <= 2;
    const end = log.value.length;
    log.setRangeText(pendingLog, end, end, 'preserve');
    pendingLog = '';
    if (atEnd) log.scrollTop = log.scrollHeight;
  }

  // A modal box titled "TovrixPro Update": critical with OK, or the
  // question with Yes (the default) and No. Resolves to 'ok', 'yes' or
  // 'no'; Esc answers OK or No.
  function box(kind, text) {
    return new Promise(resolve => {
      const dialog = $('box');
      dialog.dataset.kind = kind;
      $('box-text').textContent = text;
      $('box-ok').hidden = kind !== 'critical';
      $('box-yes').hidden = $('box-no').hidden = kind === 'critical';
      dialog.returnValue = '';
      dialog.addEventListener('close', () => {
        resolve(dialog.returnValue || (kind === 'critical' ? 'ok' : 'no'));
      }, {once: true});
      dialog.showModal();
      body.dataset.boxes = String(Number(body.dataset.boxes || 0) + 1);
      (kind === 'critical' ? $('box-ok') : $('box-yes')).focus();
    });
  }

  const yieldToBrowser = (() => {
    // A message task: unlike timers, not slowed down when they follow each other.
    const channel = new MessageChannel();
    const waiting = [];
    channel.port1.onmessage = () => waiting.shift()();
    return () => new Promise(resolve => {
      waiting.push(resolve);
      channel.port2.postMessage(0);
    });
  })();

  // What the engine calls (app/web/web_window.cpp).
  const page = {
    caption(text) {
      document.title = text;
      $('caption').textContent = text;
    },
    log(text, newline) {
      pendingLog += newline ? text + '\n' : text;
    },
    show() {
      flushLog();
      $('window').hidden = false;
      $('log').focus();
    },
    async critical(text) {
      flushLog();
      await box('critical', text);
    },
    async question(text) {
      flushLog();
      return (await box('question', text)) === 'yes';
    },
    async pump() {
      const now = performance.now();
      if (now - lastYield < FRAME_MS) return;
      flushLog();
      await yieldToBrowser();
      lastYield = performance.now();
    },
    nextKey: () => keys.shift() || 0,
    // The program has ended: what it held open goes with it, as with a
    // process that ends.
    end(status) {
      flushLog();
      if (bridge) bridge.closeAll();
      body.dataset.exit = String(status);
      setState('ended');
      $('ended').hidden = false;
    },
  };

  // --- Choosing the image and the unit -----------------------------------

  async function takeFile(file) {
    if (!file || body.dataset.state !== 'ready') return;
    let bytes = null;
    try {
      bytes = new Uint8Array(await file.arrayBuffer());
    } catch (error) {
      bytes = null;  // unreadable: the engine says it cannot find the file
    }
    image = {name: file.name, bytes};
    useSample = false;
    $('chosen').textContent = bytes
      ? `Image: ${file.name} (${bytes.length} bytes)`
      : `Image: ${file.name} (cannot be read)`;
    $('start').disabled = $('other').disabled = false;
  }

  function chooseSample() {
    if (body.dataset.state !== 'ready') return;
    useSample = true;
    image = null;
    $('chosen').textContent = 'Image: the sample image';
    $('start').disabled = $('other').disabled = false;
  }

  const isUnit = device => device.vendorId === UNIT_FILTER.vendorId && device.productId === UNIT_FILTER.productId;

  // The button's text and the other button, for the units allowed now.
  function showAllowed() {
    if (demo) return;
    const one = allowed.length === 1;
    $('start').textContent = one ? 'Update the TovrixPro' : 'Connect to TovrixPro and update';
    $('other').hidden = !one;
    $('allowed').hidden = allowed.length === 0;
    $('allowed').textContent = one
      ? 'A TovrixPro that this page may use is plugged in.'
      : `${allowed.length} TovrixPro units that this page may use are plugged in: choose the one to update.`;
  }

  // Asks the browser which units this page may use without its chooser.
  async function lookForAllowed() {
    const lookup = ++lookups;
    let devices = [];
    try {
      devices = await navigator.hid.getDevices();
    } catch (error) {
      devices = [];
    }
    if (lookup !== lookups) return;  // a newer look-up is under way
    allowed = devices.filter(isUnit);
    showAllowed();
  }

  function onUnplugged(event) {
    // Gone at once, before the browser's list says so: a click now must not take it.
    allowed = allowed.filter(device => device !== event.device);
    showAllowed();
    lookForAllowed();
  }

  // The button (choose false, one unit allowed: that unit), or the chooser.
  async function start(choose) {
    if (body.dataset.state !== 'ready' || (!image && !useSample)) return;
    setState('choosing');
    let devices = [];
    if (!demo) {
      if (!choose && allowed.length === 1) {
        devices = allowed.slice();
      } else {
        try {
          devices = await navigator.hid.requestDevice({filters: [UNIT_FILTER]});
        } catch (error) {
          devices = [];  // nothing chosen: the update finds no unit
        }
      }
      bridge = createHidBridge(devices);
      engine.tovrixHid = bridge;
    }
    await run();
  }

  async function run() {
    const FS = engine.FS;
    if (!FS.analyzePath(SESSION_DIR).exists) FS.mkdir(SESSION_DIR);
    if (useSample) {
      withCString(IMAGE_PATH, path => engine._tovrix_write_sample(path));
    } else if (image.bytes) {
      FS.writeFile(IMAGE_PATH, image.bytes);
    }
    $('choose').hidden = true;
    setState('running');
    lastYield = performance.now();
    // The boxes name the user's file, not the page's own path for it.
    const shown = useSample ? 'TOVRIXPRO.HEX' : image.name;
    const ended = await engine.ccall('tovrix_run', 'number', ['number', 'string', 'string'],
                                     [demo ? 1 : 0, IMAGE_PATH, shown], {async: true});
    flushLog();
    if (!ended) setState('idle');
  }

  // After the update, Esc goes to the log's key handler at once; during it,
  // at the next event pump. A dialog takes its own keys.
  async function onKey(event) {
    if (event.key !== 'Escape' || event.repeat || $('box').open) return;
    // The key is the log's: the question it may bring up must not take
    // this same key press as its own answer.
    event.preventDefault();
    const state = body.dataset.state;
    if (state === 'running') {
      keys.push(ESC);
    } else if (state === 'idle' && !keyBusy) {
      keyBusy = true;
      try {
        await engine.ccall('tovrix_key', null, ['number'], [ESC], {async: true});
      } finally {
        keyBusy = false;
      }
      flushLog();
    }
  }

  function withCString(text, use) {
    const size = engine.lengthBytesUTF8(text) + 1;
    const pointer = engine._malloc(size);
    try {
      engine.stringToUTF8(text, pointer, size);
      return use(pointer);
    } finally {
      engine._free(pointer);
    }
  }

  const loaded = createTovrix({tovrixPage: page, tovrixHid: null}).then(module => {
    engine = module;
    return module;
  });

  // --- Start ----------------------------------------------------------------

  // The link to the desktop programs, where the site has them.
  async function offerDownloads() {
    try {
      const answer = await fetch($('downloads').href, {method: 'HEAD', cache: 'no-store'});
      $('desktop').hidden = !answer.ok;
    } catch (error) {
      $('desktop').hidden = true;
    }
  }

  async function showUnsupported() {
    $('unsupported').hidden = false;
    $('insecure').hidden = window.isSecureContext;
    $('no-webhid').hidden = !window.isSecureContext;
    await offerDownloads();
    setState('unsupported');
  }

  async function main() {
    setState('loading');
    if (demo) {
      $('sample').hidden = false;
      $('start').textContent = 'Update the emulated TovrixPro';
      $('demo-note').hidden = false;
      $('plug').hidden = true;
    }
    if (!demo && !('hid' in navigator)) {
      await showUnsupported();
      await loaded;  // a page whose engine does not load says so
      return;
    }
    $('choose').hidden = false;
    $('file').addEventListener('change', event => takeFile(event.target.files[0]));
    $('sample').addEventListener('click', chooseSample);
    $('start').addEventListener('click', () => start(false));
    $('other').addEventListener('click', () => start(true));
    let looked = null;
    if (!demo) {
      navigator.hid.addEventListener('connect', lookForAllowed);
      navigator.hid.addEventListener('disconnect', onUnplugged);
      looked = lookForAllowed();
    }
    document.addEventListener('dragover', event => {
      event.preventDefault();
      if (body.dataset.state === 'ready') $('choose').classList.add('dropping');
    });
    document.addEventListener('dragleave', () => $('choose').classList.remove('dropping'));
    document.addEventListener('drop', event => {
      event.preventDefault();
      $('choose').classList.remove('dropping');
      takeFile(event.dataTransfer && event.dataTransfer.files[0]);
    });
    document.addEventListener('keydown', onKey);
    window.addEventListener('pagehide', () => {
      if (bridge) bridge.closeAll();
    });
    await loaded;
    await looked;  // ready with the button as it will be
    window.tovrixReadyMs = performance.now();
    setState('ready');
  }

  main().catch(error => {
    $('failed').hidden = false;
    $('failed').textContent = `The page could not start: ${error && error.message ? error.message : error}`;
    setState('failed');
  });
})();

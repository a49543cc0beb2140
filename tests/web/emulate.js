// tovrix-emulate in the engine, on the page's test build (emulate.html).
//
// window.tovrixEmulate(args, imageBytes) runs tovrix-emulate in the engine:
// args an array of its options, imageBytes a Uint8Array (TOVRIXPRO.HEX in
// its current directory) or null for no file. It resolves to exactly what
// tovrix-emulate prints, and rejects with its error line (error.status 2)
// where tovrix-emulate refuses its options. document.body.dataset.state is
// ready once the engine runs.
'use strict';

(() => {
  let engine = null;
  let runs = 0;
  const loaded = createTovrix({tovrixPage: null, tovrixHid: null}).then(module => {
    engine = module;
    document.body.dataset.state = 'ready';
    return module;
  });

  window.tovrixEmulate = async (args, imageBytes) => {
    if (!Array.isArray(args)) throw new TypeError('tovrixEmulate: args must be an array of options');
    if (imageBytes != null && !(imageBytes instanceof Uint8Array)) {
      throw new TypeError('tovrixEmulate: imageBytes must be a Uint8Array or null');
    }
    await loaded;
    const FS = engine.FS;
    const dir = `/emulate-${++runs}`;
    const previous = FS.cwd();
    FS.mkdir(dir);
    FS.chdir(dir);
    try {
      if (imageBytes) FS.writeFile('TOVRIXPRO.HEX', imageBytes);
      for (const arg of args) engine.ccall('tovrix_emulate_arg', null, ['string'], [String(arg)]);
      const status = engine._tovrix_emulate();
      const text = engine.UTF8ToString(engine._tovrix_emulate_output());
      if (status === 2) {
        const error = new Error(text.replace(/\n$/, ''));
        error.status = 2;
        throw error;
      }
      return text;
    } finally {
      FS.chdir(previous);
      for (const name of FS.readdir(dir)) {
        if (name !== '.' && name !== '..') FS.unlink(`${dir}/${name}`);
      }
      FS.rmdir(dir);
    }
  };
})();

// minify.cjs IN OUT: the engine's JavaScript glue (Emscripten's tovrix.js)
// minified with terser: names within it shortened, code that nothing
// reaches dropped. The page reaches it only through createTovrix and the
// module object it resolves to, whose members keep their names.
'use strict';
const fs = require('fs');
const {minify} = require('terser');

const [input, output] = process.argv.slice(2);
minify(fs.readFileSync(input, 'utf8'), {ecma: 2020, compress: {passes: 2}, mangle: true})
  .then(result => fs.writeFileSync(output, result.code))
  .catch(error => {
    console.error(`minify.cjs: ${input}: ${error.message}`);
    process.exit(1);
  });

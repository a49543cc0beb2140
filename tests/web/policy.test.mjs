// The page under its Content-Security-Policy: sent by the demo's server
// and carried by the page itself, it refuses (and the tests see) whatever
// is not the page's own script, style or WebAssembly, and no other site
// can frame the page. Every test of the page ends with no refusal
// (noViolations): the page's own code needs nothing the policy refuses.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {after, afterEach, before, test} from 'node:test';

import {CONTENT_SECURITY_POLICY} from '../../app/web/serve.mjs';
import {launchBrowser, noViolations, openPage, serveSite, site, takeViolations} from './support.mjs';

let server, browser;

before(async () => {
  server = await serveSite();
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.close();
});

afterEach(noViolations);

test('policy: in a header from the server, and in the page but for frame-ancestors', async () => {
  const response = await fetch(server.url);
  assert.equal(response.headers.get('content-security-policy'), CONTENT_SECURITY_POLICY);
  const html = fs.readFileSync(path.join(site, 'index.html'), 'utf8');
  const meta = html.match(/<meta http-equiv="Content-Security-Policy" content="([^"]*)">/);
  assert.ok(meta, 'no policy in index.html');
  // A <meta> policy is not obeyed for frame-ancestors; it comes before
  // anything it governs.
  assert.equal(`${meta[1]}; frame-ancestors 'none'`, CONTENT_SECURITY_POLICY);
  assert.ok(meta.index < html.search(/<link rel="stylesheet"|<script/));
  assert.doesNotMatch(html, /<script>|<style|\sstyle=|\son[a-z]+=/);
});

// The tests see what the policy refuses: an inline script and a style
// attribute (the forms that slip into a page most easily) are refused,
// reported, and have no effect.
const refused = [
  ['an inline script', 'script-src-elem', () => {
    const script = document.createElement('script');
    script.textContent = 'window.ran = true;';
    document.head.append(script);
  }],
  ['a style attribute', 'style-src-attr', () => {
    document.getElementById('caption').setAttribute('style', 'color: red');
  }],
];

for (const [what, directive, attempt] of refused) {
  test(`policy: ${what} is refused and reported`, async () => {
    const page = await openPage(browser, server.url);
    await page.waitForFunction(() => document.body.dataset.state !== 'loading');
    await page.evaluate(attempt);
    // Reports come as events, once for each policy: the header's and the page's.
    const deadline = Date.now() + 5000;
    while (page.errors.length < 2 && Date.now() < deadline) await new Promise(resolve => setTimeout(resolve, 20));
    const ran = await page.evaluate(() => window.ran === true ||
                                          getComputedStyle(document.getElementById('caption')).color === 'rgb(255, 0, 0)');
    await page.close();
    const seen = takeViolations();
    assert.equal(ran, false);
    assert.equal(seen.length, 2, seen.join('\n'));
    for (const text of seen) assert.match(text, new RegExp(`^${directive} refused `));
  });
}

test('policy: no other page can frame the page', async () => {
  const page = await browser.newPage();
  await page.setContent(`<iframe src="${server.url}"></iframe>`);  // resolves once the frame has loaded
  const framed = await Promise.all(page.frames().slice(1).map(
    frame => frame.evaluate(() => document.getElementById('caption') !== null).catch(() => false)));
  await page.close();
  assert.deepEqual(framed, [false]);
});

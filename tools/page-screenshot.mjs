// Saves a picture of a page, as Debian's chromium shows it at 1280x800 (the whole page), with
// the playwright-core that tests/browser/ installs (tests/browser/install.sh):
//
//   node tools/page-screenshot.mjs URL OUT.png [SELECTOR]
//
// SELECTOR: what must be on the page first (at most 10 s; the picture is taken either way, and
// the exit code says whether it came).
import { createRequire } from 'node:module';
import fs from 'node:fs';
import path from 'node:path';

const require = createRequire(new URL('../tests/browser/package.json', import.meta.url));
const { chromium } = require('playwright-core');
const [url, out, selector] = process.argv.slice(2);
if (!url || !out) {
  console.error('usage: node tools/page-screenshot.mjs URL OUT.png [SELECTOR]');
  process.exit(2);
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
let found = true;
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  await page.goto(url);
  if (selector) {
    found = await page.locator(selector).first().waitFor({ timeout: 10_000 }).then(() => true, () => false);
  }
  fs.mkdirSync(path.dirname(path.resolve(out)), { recursive: true });
  await page.screenshot({ path: out, fullPage: true });
} finally {
  await browser.close();
}
if (!found) console.error(`page-screenshot: ${selector} did not show on ${url.replace(/token=\w+/, 'token=…')} within 10 s`);
process.exit(found ? 0 : 1);

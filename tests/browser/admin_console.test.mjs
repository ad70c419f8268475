// The operator's console in Debian's chromium: log in with the token, see the players online
// (a name that is markup shows as text), ban one and see them go from the list to the bans.
//
//   node admin_console.test.mjs URL TOKEN MARKED-NAME
//
// admin_test.py's "console" case starts the server and the players and runs this. Every wait
// has a bound: the page polls its lists every 3 s, so 15 s is five chances.
import { chromium } from 'playwright-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [url, token, marked] = process.argv.slice(2);
const WAIT = 15000;
const profile = mkdtempSync(join(tmpdir(), 'console-test-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const problems = [];
try {
  const page = context.pages()[0] ?? await context.newPage();
  // Anything the page loads from elsewhere, or that its policy blocks, is a fault.
  page.on('request', (request) => {
    if (!request.url().startsWith(url)) problems.push('asked for ' + request.url());
  });
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push('console: ' + message.text());
  });
  page.on('pageerror', (error) => problems.push('page error: ' + error.message));
  await page.goto(url);
  await page.fill('#token', token);
  await page.click('#login button');
  const players = page.locator('#players tbody tr');
  const row = (name) => players.filter({ has: page.getByRole('cell', { name, exact: true }) });
  await row('Ada').waitFor({ timeout: WAIT });
  await row(marked).waitFor({ timeout: WAIT });
  if (await page.locator('#x, #y').count() !== 0) problems.push('a lobby text became markup');
  // The token lives in the page's memory only.
  const stored = await page.evaluate(() => JSON.stringify(localStorage) + JSON.stringify(sessionStorage) + document.cookie);
  if (stored.includes(token)) problems.push('the token was stored: ' + stored);
  await row('Ada').getByRole('button', { name: 'Ban' }).click();
  await page.fill('#ban-reason', 'console test');
  await page.click('#ban-confirm');
  await row('Ada').waitFor({ state: 'detached', timeout: WAIT });
  await page.locator('#bans tbody tr', { hasText: 'console test' }).waitFor({ timeout: WAIT });
  if (!(await page.locator('#audit tbody').innerText()).includes('ban')) problems.push('no ban in the audit log');
} catch (error) {
  problems.push(String(error));
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}
if (problems.length) {
  console.error(problems.join('\n'));
  process.exit(1);
}
console.log('passed: logged in, saw the players, banned Ada and saw her go');

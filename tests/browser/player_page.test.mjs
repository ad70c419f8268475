// The player's page that meetpoint serves (--ui), in Debian's chromium: two players on one
// rallylobby sign up, sign in, chat, and see each other's game instance, its votes and results;
// the same results when meetpoint is the lobby; a table of requests and sign-ups the page must
// refuse; and the page of the Windows meetpoint, under Wine, reached from chromium on Linux.
//
//   RALLYLINK_BIN=build/linux/bin node --test-name-pattern=NAME player_page.test.mjs
//   (with MEETPOINT_EXE=.../meetpoint.exe and WINE_RUN=.../wine-run.sh for the Windows case)
//
// Every wait has a bound (WAIT ms, or the time a Wine start takes); everything started is
// stopped at the end.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const BIN = process.env.RALLYLINK_BIN;
const WINDOWS_MEETPOINT = process.env.MEETPOINT_EXE;
const WINE_RUN = process.env.WINE_RUN;
const WAIT = 10_000;        // anything to start, arrive or show
const WINE_WAIT = 60_000;   // a Wine prefix starting for the first time
const PASSWORD = 'correct horse battery';
// A name that resolves to this machine, as a site rebinding its name would (Host check).
const REBOUND = 'rebound.test';

async function until(what, check, ms = WAIT) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`${what}: not within ${ms} ms`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// The programs of one test run, in a private folder, and the browser.
class Lab {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'player-page-'));
    this.procs = [];
    this.ca = this.file('cert.pem');
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
      '-nodes', '-days', '1', '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1',
      '-keyout', this.file('key.pem'), '-out', this.ca], { stdio: 'ignore' });
  }

  file(name) { return path.join(this.dir, name); }

  spawn(name, command, args) {
    const log = this.file(name + '.log');
    const proc = spawn(command, args, { stdio: ['ignore', fs.openSync(log, 'w'), 'inherit'], cwd: this.dir });
    proc.output = () => fs.readFileSync(log, 'latin1');
    this.procs.push(proc);
    return proc;
  }

  // A rallylobby with its store in name.db, on a free port or the port given (a restart).
  async server(name, options = [], port = 0) {
    const portFile = this.file(name + '.port');
    fs.rmSync(portFile, { force: true });
    const proc = this.spawn(name, BIN + '/rallylobby', ['--store', this.file(name + '.db'), '--name', name,
      '--listen', '127.0.0.1:' + port, '--port-file', portFile, '--cert', this.ca, '--key', this.file('key.pem'), ...options]);
    proc.port = await until(name + ' listening', () => fs.existsSync(portFile) && fs.readFileSync(portFile, 'utf8'));
    return proc;
  }

  // A meetpoint relaying to the server, with its page and no player: the page signs in. On
  // Windows (under Wine) the files are named through Wine's drive Z:. Without a server,
  // meetpoint is the lobby, and hands out instances from 7.
  async meetpoint(name, server, windows = false) {
    const z = (f) => (windows ? 'Z:' + f.replaceAll('/', '\\') : f);
    const portFile = this.file(name + '.game-port');
    const args = ['--ui', '127.0.0.1:0', '--gap', '0', '--port-file', z(portFile),
      ...(server ? ['--lobby-ca', z(this.ca), '--lobby', 'localhost:' + server.port] : ['--first-giid', '7'])];
    const proc = windows ? this.spawn(name, WINE_RUN, [WINDOWS_MEETPOINT, ...args])
      : this.spawn(name, BIN + '/meetpoint', args);
    const wait = windows ? WINE_WAIT : WAIT;
    proc.url = await until(name + "'s page address", () => (proc.output().match(/^== page at (\S+)/m) || [])[1], wait);
    proc.gamePort = +(await until(name + "'s game port", () => fs.existsSync(portFile) && fs.readFileSync(portFile, 'utf8'), wait));
    return proc;
  }

  async stop(proc) {
    if (proc.exitCode === null && proc.signalCode === null) {
      const gone = new Promise((r) => proc.once('exit', r));
      proc.kill();
      await gone;
    }
  }

  async close() {
    for (const proc of this.procs.reverse()) await this.stop(proc);
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// A scripted game on meetpoint's game port: requests as the library frames them, and the
// events that come back.
class Game {
  constructor(port) {
    this.events = [];
    this.buffer = Buffer.alloc(0);
    this.socket = net.connect(port, '127.0.0.1');
    this.socket.on('data', (data) => {
      this.buffer = Buffer.concat([this.buffer, data]);
      while (this.buffer.length >= 4 && this.buffer.length >= this.buffer.readUInt32LE(0)) {
        const n = this.buffer.readUInt32LE(0);
        const p = this.buffer.subarray(4, n);
        this.events.push({ type: p[0], giid: p.length >= 5 ? p.readUInt32LE(1) : 0, value: p.length >= 9 ? p.readUInt32LE(5) : 0 });
        this.buffer = this.buffer.subarray(n);
      }
    });
    this.request(0x01, [1, 0]);  // Initialise
  }

  // fields: numbers, sent as 32-bit words, or arrays of bytes.
  request(type, ...fields) {
    const body = Buffer.concat(fields.map((f) => (typeof f === 'number' ? u32(f) : Buffer.from(f))));
    this.socket.write(Buffer.concat([u32(5 + body.length), Buffer.from([type]), body]));
  }

  startInstance() { this.request(0x06); }
  join(giid) { this.request(0x0a, giid); }
  vote(giid, vote) { this.request(0x08, giid, [vote]); }
  results(giid, scores, vote, players) { this.request(0x07, giid, scores.length, scores, [vote], players); }

  event(type, what) { return until(what, () => this.events.find((e) => e.type === type)); }
  close() { this.socket.destroy(); }
}

function u32(n) {
  const b = Buffer.alloc(4);
  b.writeUInt32LE(n);
  return b;
}

let lab;
let browser;
before(async () => {
  lab = new Lab();
  // playwright gives every launch a new, empty profile folder (--user-data-dir) of its own.
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--host-resolver-rules=MAP ${REBOUND} 127.0.0.1`],
  });
});
after(async () => {
  await browser?.close();
  await lab?.close();
});

// A page of its own browser context (a player of their own), with every dialog counted.
async function open(url) {
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
  page.dialogs = [];
  page.on('dialog', (dialog) => { page.dialogs.push(dialog.message()); dialog.dismiss(); });
  await page.goto(url);
  return page;
}

async function shows(page, selector, text) {
  await page.locator(selector, { hasText: text }).first().waitFor({ timeout: WAIT });
}

async function signIn(page, player, password, create) {
  await page.locator('#signin').waitFor({ timeout: WAIT });
  await page.fill('#signin-player', player);
  await page.fill('#signin-password', password);
  await page.click(create ? '#signup-button' : '#signin-button');
}

async function say(page, text) {
  await page.fill('#chat-text', text);
  await page.press('#chat-text', 'Enter');
}

// Ada and Bram, each with a meetpoint (Ada's the Windows one, under Wine, when asked), sign up,
// chat, and play an instance that Ada's game starts. (Signing in is the refusals' test.)
async function twoPlayers(adaOnWindows) {
  const server = await lab.server('open-lobby', ['--open-registration']);
  const ada = await lab.meetpoint('ada', server, adaOnWindows);
  const bram = await lab.meetpoint('bram', server);
  const pages = [await open(ada.url), await open(bram.url)];
  const [pa, pb] = pages;
  await signIn(pa, 'Ada', PASSWORD, true);
  await signIn(pb, 'Bram', PASSWORD, true);
  await shows(pa, '#me', 'Ada · 1000');
  await shows(pb, '#me', 'Bram · 1000');
  await shows(pa, '#link', 'Online at');
  await shows(pb, '#players', 'Ada');

  await say(pa, 'ready, Bram?');
  await shows(pb, '#chat-lines li', 'Ada:ready, Bram?');
  const hostile = '<img src=x onerror=alert(1)>';
  await say(pb, hostile);
  await shows(pa, '#chat-lines li', 'Bram:' + hostile);
  assert.equal(await pa.locator('#chat-lines li .text').last().textContent(), hostile);
  assert.equal(await pa.locator('#chat-lines img').count(), 0, 'the chat line became an element');

  const games = [new Game(ada.gamePort), new Game(bram.gamePort)];
  games[0].startInstance();
  const giid = (await games[0].event(0x20, "Ada's NewGameInstance")).giid;
  const card = `#instances li[data-giid="${giid}"]`;
  await shows(pb, card, 'started by Ada');
  await shows(pa, '#game-lines', 'NewGameInstance GiID=' + giid);
  games[1].join(giid);
  assert.equal((await games[1].event(0x23, "Bram's NewGameJoin")).value, 1);
  await shows(pa, card, 'Members: Ada, Bram');
  games[0].vote(giid, 3);
  await shows(pb, card, 'Ada voted excellent');
  for (const game of games) game.results(giid, [2, 1], 1, 2);
  for (const page of pages) {
    await shows(page, card + ' .results tr', /^Ada\s*1010$/);
    await shows(page, card + ' .results tr', /^Bram\s*990$/);
  }
  await shows(pb, '#ratings tr', /^1\s*Ada\s*1010$/);
  await shows(pb, '#me', 'Bram · 990');

  // The server goes away and comes back: both pages say so, and the players are back in.
  await lab.stop(server);
  for (const page of pages) await shows(page, '#link.lost', 'lost');
  await lab.server('open-lobby', ['--open-registration'], server.port);
  for (const page of pages) await shows(page, '#link.online', 'Online at');
  await shows(pb, '#game-state', 'Connected');
  games.forEach((g) => g.close());
  await shows(pa, '#game-state', 'Not connected');
  assert.deepEqual([...pa.dialogs, ...pb.dialogs], [], 'a dialog opened');
}

test('two players sign up, sign in, chat and play', { skip: !BIN }, () => twoPlayers(false));

test("meetpoint's own lobby: the page follows the game's instance to its results", { skip: !BIN }, async () => {
  const own = await lab.meetpoint('own', null);
  const page = await open(own.url);
  const game = new Game(own.gamePort);
  game.startInstance();
  const giid = (await game.event(0x20, 'NewGameInstance')).giid;
  game.results(giid, [2, 1], 1, 2);
  await shows(page, `#instances li[data-giid="${giid}"] .results tr`, /^Ada\s*1010$/);
});

test("the Windows meetpoint's page, under Wine", { skip: !(BIN && WINDOWS_MEETPOINT && WINE_RUN) },
  () => twoPlayers(true));

// Raw HTTP, for requests a browser would not send as they are.
function request(port, text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => socket.end(text));
    let answer = '';
    socket.on('data', (d) => { answer += d; });
    socket.on('end', () => resolve(answer));
    socket.on('error', reject);
    socket.setTimeout(WAIT, () => reject(new Error('no answer')));
  });
}

test('the page refuses what is not its own', { skip: !BIN }, async () => {
  const lobby = await lab.server('refusals', ['--open-registration']);
  const first = await lab.meetpoint('refusals-first', lobby);
  const url = new URL(first.url);
  const token = url.searchParams.get('token');
  const host = url.host;
  const port = +url.port;

  // A site of another origin, which the player happens to visit while the page is open.
  const site = http.createServer((_, res) => res.end('<!doctype html><title>elsewhere</title>'));
  await new Promise((r) => site.listen(0, '127.0.0.1', r));
  const elsewhere = await open(`http://127.0.0.1:${site.address().port}/`);
  const rebound = await open('about:blank');

  // Which request gets which status is page_test's table; these are what a browser sends.
  const http403 = /^HTTP\/1\.1 403/;
  const rows = [
    ['no token', () => request(port, `GET / HTTP/1.1\r\nHost: ${host}\r\n\r\n`), http403],
    ['a foreign Host (a rebound name)', async () => `HTTP/1.1 ${(await rebound.goto(`http://${REBOUND}:${port}/?token=${token}`)).status()}`, http403],
    ['a foreign Origin opening the WebSocket', () => elsewhere.evaluate((target) => new Promise((resolve) => {
      const ws = new WebSocket(target);
      ws.onopen = () => resolve('opened');
      ws.onclose = () => resolve('refused');
    }), `ws://${host}/ws?token=${token}`), /^refused$/],
    ['a foreign Origin posting', () => request(port, `POST /?token=${token} HTTP/1.1\r\nHost: ${host}\r\nOrigin: http://evil.example\r\nContent-Length: 0\r\n\r\n`), http403],
    ['a malformed request', () => request(port, `GET / HTTP/1.1\r\nHost ${host}\r\n\r\n`), /^HTTP\/1\.1 400/],
  ];
  for (const [what, ask, expected] of rows) assert.match(await ask(), expected, what);
  site.close();
  // The page listens on loopback only: any other address ends meetpoint before it serves.
  for (const address of ['0.0.0.0:0', '192.0.2.1:0', '[::]:0']) {
    const proc = lab.spawn('refusals-any', BIN + '/meetpoint', ['--ui', address]);
    const code = await new Promise((r) => proc.once('exit', r));
    assert.equal(code, 2, address);
    assert.doesNotMatch(proc.output(), /page at/, address);
  }

  // Sign-ups and sign-ins the lobby refuses (its rules are lobby_test.py's): the page shows
  // the rule's sentence, and nobody is signed in.
  const cleo = await open(first.url);
  await signIn(cleo, 'Cleo', PASSWORD, true);
  await shows(cleo, '#me', 'Cleo');
  const page = await open((await lab.meetpoint('refusals-second', lobby)).url);
  const refused = [
    ['a name taken, in another case', 'cLEO', PASSWORD, 'name-taken'],
    ['a short password', 'Dana', 'short', 'password-rules'],
    ['a wrong password', 'Cleo', 'not the password', 'bad-login', false],
  ];
  for (const [what, player, password, rule, create = true] of refused) {
    await signIn(page, player, password, create);
    await until(what, () => page.locator(`#notice[data-rule="${rule}"]`).isVisible());
    assert.notEqual(await page.locator('#notice').textContent(), '', what);
    assert.equal(await page.locator('#me').textContent(), '', what);
  }
  // After all of these, the right password signs in, whatever the case typed; the page shows
  // the name as stored.
  await signIn(page, 'cleo', PASSWORD, false);
  await shows(page, '#me', 'Cleo · 1000');
});

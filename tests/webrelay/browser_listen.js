#!/usr/bin/env node
// The listener page's "Listen in your browser" in headless Chromium (Debian's, driven by the
// playwright-core that scripts/setup installs in tests/browser): the real server in playback
// mode feeds the web relay through a listener request, scripts/web serves the pages and
// passes /listen.ogg on to the relay, and the page's player must play past 3 s without error.
//
// Usage: browser_listen.js --bindir DIR --source DIR --artifacts DIR
// Exit status 77 (skipped) when chromium, lighttpd or playwright-core is missing.
// Addresses: 127.0.9.5 (relay upstream and HTTP, and the web server on port 8080).
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const net = require('net');
const { spawn, execFileSync } = require('child_process');

function option(name) {
  const i = process.argv.indexOf('--' + name);
  if (i < 0 || i + 1 >= process.argv.length) throw new Error(`missing --${name}`);
  return path.resolve(process.argv[i + 1]);
}
const bindir = option('bindir');
const source = option('source');
const artifacts = option('artifacts');
const addr = '127.0.9.5';

function skip(why) {
  console.log(`SKIP: ${why}`);
  process.exit(77);
}
let chromium;
try {
  ({ chromium } = require(path.join(source, 'tests', 'browser', 'node_modules', 'playwright-core')));
} catch (e) {
  skip('playwright-core is not installed in tests/browser (run scripts/setup)');
}
if (!fs.existsSync('/usr/bin/chromium')) skip('/usr/bin/chromium is missing');
try { execFileSync('sh', ['-c', 'command -v lighttpd']); } catch (e) { skip('lighttpd is missing'); }

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const children = [];
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kpx-webrelay-browser-'));

// Each child leads a process group of its own, so that all of it can be ended.
function start(name, exe, args, cwd) {
  const child = spawn(exe, args, { cwd, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  const proc = { name, child, out: '', err: '', exited: false };
  child.stdout.on('data', (d) => { proc.out += d.toString('latin1'); });
  child.stderr.on('data', (d) => { proc.err += d.toString('latin1'); });
  child.on('exit', () => { proc.exited = true; });
  children.push(proc);
  return proc;
}

async function waitfor(what, pred, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await pred()) return;
    await sleep(100);
  }
  throw new Error(`timed out waiting for ${what}`);
}

function check(cond, message) {
  if (!cond) throw new Error('check failed: ' + message);
  console.log('ok - ' + message);
}

const accepts = (port) => new Promise((resolve) => {
  const s = net.connect({ host: addr, port }, () => { s.destroy(); resolve(true); });
  s.on('error', () => resolve(false));
});

async function main() {
  fs.mkdirSync(path.join(dir, 'reports'));
  fs.writeFileSync(path.join(dir, 'kpx.conf'), [
    `inputdevice = ${source}/server/programme.ul`, 'live = no', `commandfile = ${dir}/commands`,
    `repdir = ${dir}/reports`, `successhtml = ${source}/web/success.html`,
    `errorhtml = ${source}/web/error.html`].join('\n') + '\n');
  const relay = start('webrelay', path.join(bindir, 'webrelay'), ['--listen', `${addr}:8000`, addr], dir);
  const server = start('server', path.join(bindir, 'server'), [path.join(dir, 'kpx.conf')], dir);
  await waitfor('the server', () => server.err.includes('Waiting for connections'), 15000);
  await waitfor('the web relay', () => relay.err.includes('Use a WWW-browser'), 15000);
  fs.writeFileSync(path.join(dir, 'commands'), `${addr}\n`);
  await waitfor('the relay\'s upstream', () => relay.err.includes('SERVER MODE'), 15000);
  start('web', path.join(source, 'scripts', 'web'),
        ['--address', addr, '--port', '8080', '--bindir', bindir, '--webrelay', `${addr}:8000`,
         '--commandfile', path.join(dir, 'commands'), '--repdir', path.join(dir, 'reports'),
         '--statedir', path.join(dir, 'web-state')], dir);
  await waitfor('lighttpd', () => accepts(8080), 15000);

  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--autoplay-policy=no-user-gesture-required'],
  });
  try {
    const page = await browser.newPage();
    await page.goto(`http://${addr}:8080/`);
    await Promise.all([page.waitForNavigation(), page.click('#listen')]);
    check(page.url().startsWith(`http://${addr}:8080/listen.html`), 'the listener page leads to the player');
    await page.click('#play');
    const st = () => page.evaluate(() => window.kpxlisten.state());
    await waitfor('the page to play', async () => (await st()).playingat > 0, 30000);
    const first = await st();
    check(first.playingat - first.pressed < 3000,
          `plays ${(first.playingat - first.pressed).toFixed(0)} ms after play is pressed (${first.mode})`);
    await sleep(3000);
    const state = await st();
    check(state.errors.length === 0 && state.mode !== 'none', `still playing after 3 s with no error`);
    const lag = await page.textContent('#lag');
    check(/^About \d+\.\d s behind live \(/.test(lag), `the page says how far behind live it plays: "${lag}"`);
    const status = JSON.parse(await (await page.request.get(`http://${addr}:8080/status.json`)).text());
    check(status.listeners === 1 && status.upstream === true, 'the relay counts the browser, upstream connected');
    fs.mkdirSync(artifacts, { recursive: true });
    await page.screenshot({ path: path.join(artifacts, 'webrelay-listen.png'), fullPage: true });
  } finally {
    await browser.close();
  }
}

function cleanup() {
  for (const p of children) {
    try { process.kill(-p.child.pid, 'SIGKILL'); } catch (e) { /* already gone */ }
  }
}

main().then(async () => {
  cleanup();
  await waitfor('the children to end', () => children.every((p) => p.exited), 5000).catch(() => {});
  fs.rmSync(dir, { recursive: true, force: true });
  console.log('PASS webrelay browser');
  process.exit(0);
}, async (e) => {
  console.error(`FAIL webrelay browser: ${e.message}`);
  for (const p of children) console.error(`--- ${p.name} ---\n${p.out.slice(-2000)}\n${p.err.slice(-2000)}`);
  cleanup();
  await waitfor('the children to end', () => children.every((p) => p.exited), 5000).catch(() => {});
  fs.rmSync(dir, { recursive: true, force: true });
  process.exit(1);
});

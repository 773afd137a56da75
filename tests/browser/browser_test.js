#!/usr/bin/env node
// The KPX web pages in a real browser (Debian's chromium, headless, driven by playwright-core):
// lighttpd started by scripts/web, the real server in playback mode, the real client under
// alsa-oss with its sound captured into a file.
//
//   listener: a listener submits the listener page with the client's address; the answer page
//             must be the success report and the client must then receive and play audio.
//   forward:  a relay (a stand-in receiver) is connected through the broadcaster page to a
//             server that takes one peer only; a listener submitting the listener page is then
//             sent by the forwarder page to the relay's own page, also served by lighttpd.
//   status:   the same forward with two places, then the status page, reached by the listener
//             page's link: on air, the listener count, the relay's page as a link, and no
//             listener's or relay's address.
//
// Usage: browser_test.js --scenario listener|forward|status --bindir DIR --source DIR --artifacts DIR
// Addresses: 127.0.5.1/.2 web servers, 127.0.5.20 client, 127.0.5.31 relay, 127.0.5.32 listener;
// status: 127.0.8.40 web server, 127.0.8.41 relay, 127.0.8.42 and .43 listeners.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const net = require('net');
const { spawn } = require('child_process');

function option(name, fallback) {
  const i = process.argv.indexOf('--' + name);
  if (i >= 0 && i + 1 < process.argv.length) return process.argv[i + 1];
  if (fallback !== undefined) return fallback;
  throw new Error(`missing --${name}`);
}

const scenario = option('scenario');
const bindir = path.resolve(option('bindir'));
const source = path.resolve(option('source'));
const artifacts = path.resolve(option('artifacts'));

let chromium;
try {
  ({ chromium } = require(path.join(__dirname, 'node_modules', 'playwright-core')));
} catch (e) {
  console.error('playwright-core is not installed in tests/browser: run scripts/setup');
  process.exit(1);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const children = [];
const cleanups = []; // browser and relay, closed first
const dirs = [];     // removed last, after every child has ended

// A child process with its output collected.
function start(name, exe, args, opts = {}) {
  const child = spawn(exe, args, { cwd: opts.cwd, env: { ...process.env, ...(opts.env || {}) },
                                   stdio: ['ignore', 'pipe', 'pipe'] });
  const proc = { name, child, out: '', err: '', exited: null };
  child.stdout.on('data', (d) => { proc.out += d.toString('latin1'); });
  child.stderr.on('data', (d) => { proc.err += d.toString('latin1'); });
  child.on('exit', (code, signal) => { proc.exited = { code, signal }; });
  children.push(proc);
  return proc;
}

async function waitfor(what, pred, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await pred()) return;
    await sleep(50);
  }
  throw new Error(`timed out waiting for ${what}`);
}

function check(cond, message) {
  if (!cond) throw new Error('check failed: ' + message);
  console.log('ok - ' + message);
}

// Waits until host:port accepts connections.
function accepts(host, port) {
  return new Promise((resolve) => {
    const s = net.connect({ host, port }, () => { s.destroy(); resolve(true); });
    s.on('error', () => resolve(false));
  });
}

function tempdir(prefix) {
  const d = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  dirs.push(d);
  return d;
}

// The real server in playback mode on the embedded programme, in its own directory.
async function startserver(dir, extra = []) {
  const conf = [
    `inputdevice = ${source}/server/programme.ul`,
    'live = no',
    `commandfile = ${dir}/commands`,
    `repdir = ${dir}/reports`,
    `successhtml = ${source}/web/success.html`,
    `errorhtml = ${source}/web/error.html`,
    ...extra,
  ].join('\n') + '\n';
  fs.mkdirSync(path.join(dir, 'reports'));
  fs.writeFileSync(path.join(dir, 'kpx.conf'), conf);
  const server = start('server', path.join(bindir, 'server'), [path.join(dir, 'kpx.conf')], { cwd: dir });
  await waitfor('the server to be ready', () => server.err.includes('Waiting for connections'), 15000);
  return server;
}

// lighttpd through scripts/web, serving `docroot`, with the server's paths for the gateways.
async function startweb(address, port, docroot, dir, extra = []) {
  const web = start('web', path.join(source, 'scripts', 'web'),
                    ['--address', address, '--port', String(port), '--docroot', docroot,
                     '--bindir', bindir, '--commandfile', path.join(dir, 'commands'),
                     '--repdir', path.join(dir, 'reports'), '--statedir', path.join(dir, 'web-state'),
                     ...extra]);
  await waitfor('lighttpd to accept connections', () => accepts(address, port), 15000);
  return web;
}

async function openbrowser() {
  const profile = tempdir('kpx-chromium-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  cleanups.unshift(() => context.close().catch(() => {}));
  return context;
}

async function screenshot(page, name) {
  fs.mkdirSync(artifacts, { recursive: true });
  const file = path.join(artifacts, name);
  await page.screenshot({ path: file, fullPage: true });
  console.log(`screenshot: ${file}`);
}

async function listenerscenario() {
  const dir = tempdir('kpx-browser-listener-');
  const clientaddr = '127.0.5.20';

  // The client first, as the page tells the listener; its sound goes into heard.ul.
  const home = path.join(dir, 'home');
  fs.mkdirSync(home);
  const heard = path.join(home, 'heard.ul');
  fs.writeFileSync(path.join(home, '.asoundrc'),
    'pcm.!default {\n  type asym\n  playback.pcm {\n    type file\n    slave.pcm "null"\n' +
    `    file "|cat >>'${heard}'"\n    format "raw"\n  }\n  capture.pcm "null"\n}\n`);
  // alsa-oss preloaded directly: its aoss wrapper gives up on machines without /proc/asound.
  const client = start('client', path.join(bindir, 'client'), [clientaddr],
                       { cwd: home, env: { HOME: home, LD_PRELOAD: 'libaoss.so.0',
                               // A sanitizer build wants its runtime first; alsa-oss comes first here.
                               ASAN_OPTIONS: 'verify_asan_link_order=0' } });
  await waitfor('the client to wait for a server', () => client.out.includes('Use your WWW-browser'), 15000);

  const server = await startserver(dir);
  await startweb('127.0.5.1', 8080, path.join(source, 'web'), dir);

  const context = await openbrowser();
  const page = await context.newPage();
  await page.goto('http://127.0.5.1:8080/');
  check((await page.title()) === 'KPX: listen to the broadcast', 'the listener page is served');
  check((await page.textContent('.first')).includes('First start the KPX client program'),
        'the page tells the listener to start the client first');
  await page.fill('#clientname', clientaddr);
  await Promise.all([page.waitForNavigation(), page.click('#connect-address')]);

  check(page.url() === 'http://127.0.5.1:8080/cgi-bin/lconnect', 'the answer comes from lconnect');
  check((await page.title()) === 'KPX: connected', 'the answer page is the success report');
  check((await page.textContent('.outcome')).trim() === 'Connection established. Enjoy KPX!',
        'the success report says the connection is made');
  await screenshot(page, 'browser-listener-success.png');
  check(!fs.existsSync(path.join(dir, 'reports', `${clientaddr}.html`)), 'the HTML report was taken');
  check(fs.readFileSync(path.join(dir, 'reports', `${clientaddr}.txt`), 'latin1') ===
        `${clientaddr}: Connection established. Enjoy KPX!\n`, 'the text report stays');

  await waitfor('the client to report listening', () => client.out.includes('The audience is listening to KPX'), 10000);
  check(true, 'the client prints "The audience is listening to KPX"');
  await waitfor('the client to play audio', () => fs.existsSync(heard) && fs.statSync(heard).size >= 10 * 1600, 20000);
  const played = fs.statSync(heard).size;
  check(played >= 10 * 1600, `the client played ${played} bytes of audio (at least 10 packets)`);
  check(!client.out.includes('Corrupt package!'), 'no corrupt packet arrived');
  check(server.err.includes(clientaddr), 'the server logged the connection to the client');
}

// A receiver on address:9998 that keeps reading what the server sends (a relay or a listener
// stand-in); `bytes()` tells how much arrived.
async function receiver(address) {
  let bytes = 0;
  const server = net.createServer((sock) => { sock.on('data', (d) => { bytes += d.length; }); sock.on('error', () => {}); });
  await new Promise((resolve, reject) => { server.once('error', reject); server.listen(9998, address, resolve); });
  cleanups.unshift(() => new Promise((r) => server.close(() => r())));
  // Only the open connections keep close() from returning.
  const sockets = new Set();
  server.on('connection', (s) => { sockets.add(s); s.on('close', () => sockets.delete(s)); });
  cleanups.unshift(() => { for (const s of sockets) s.destroy(); });
  return { bytes: () => bytes };
}

async function forwardscenario(web = '127.0.5.2', relayaddr = '127.0.5.31', late = '127.0.5.32',
                               places = 1, dir = tempdir('kpx-browser-forward-'), webextra = []) {
  const relayurl = `http://${web}:8080/relay.html`;

  // The relay: a receiver on port 9998 that keeps reading what the server sends.
  const relay = await receiver(relayaddr);

  // The pages, plus a page of the relay's own served by the same lighttpd.
  const docroot = path.join(dir, 'docroot');
  fs.mkdirSync(docroot);
  for (const f of ['index.html', 'broadcast.html', 'kpx.css'])
    fs.copyFileSync(path.join(source, 'web', f), path.join(docroot, f));
  fs.writeFileSync(path.join(docroot, 'relay.html'),
    '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>KPX relay</title>' +
    '<link rel="stylesheet" href="/kpx.css"></head>\n<body><header><h1>KPX</h1></header>' +
    '<main><p id="relay">This is the relay broadcaster\'s listener page.</p></main></body></html>\n');

  // The relay's pages are served by this site, not by the relay's own host: named as its pages' site.
  const server = await startserver(dir, [`maxclients = ${places}`, `relayurls = http://${web}:8080/`, ...(webextra.length ? [`statusfile = ${dir}/status.json`] : [])]);
  await startweb(web, 8080, docroot, dir, webextra);
  const context = await openbrowser();
  const page = await context.newPage();

  // The relay asks through the broadcaster page and takes one of the server's places.
  await page.goto(`http://${web}:8080/broadcast.html`);
  await page.fill('#clientname', relayaddr);
  await page.fill('#clienturl', relayurl);
  await page.fill('#bcasturl', `http://${web}:8080/broadcast.html`);
  await Promise.all([page.waitForNavigation(), page.click('#send')]);
  check((await page.title()) === 'KPX: connected', 'the relay is connected through the broadcaster page');
  await screenshot(page, 'browser-relay-connected.png');
  await waitfor('the relay to receive the stream', () => relay.bytes() >= 330, 10000);
  check(server.err.includes('Adding the following broadcaster'), 'the server lists the relay');
  return { page, server, relayurl, late, docroot };
}

async function forwardlate({ page, server, relayurl, late }) {
  // A listener now is sent on to the relay's page.
  await page.goto(relayurl.replace('relay.html', ''));
  await page.fill('#clientname', late);
  await page.click('#connect-address');
  await page.waitForURL(relayurl, { timeout: 15000 });
  check(page.url() === relayurl, 'the browser is redirected to the relay\'s page');
  check((await page.textContent('#relay')).includes('relay broadcaster'), 'the relay\'s page is shown');
  await screenshot(page, 'browser-forwarded-to-relay.png');
  check(server.err.includes('Generating FORWARDER HTML'), 'the server wrote the forwarder page');
}

async function statusscenario() {
  const dir = tempdir('kpx-browser-status-');
  const web = '127.0.8.40';
  const s = await forwardscenario(web, '127.0.8.41', '127.0.8.43', 2, dir,
                                  ['--statusfile', path.join(dir, 'status.json')]);
  // A listener takes the second place; the next one is forwarded to the relay.
  const listener = await receiver('127.0.8.42');
  await s.page.goto(`http://${web}:8080/`);
  await s.page.fill('#clientname', '127.0.8.42');
  await Promise.all([s.page.waitForNavigation(), s.page.click('#connect-address')]);
  check((await s.page.title()) === 'KPX: connected', 'a listener takes the second place');
  await waitfor('the listener to receive the stream', () => listener.bytes() >= 330, 10000);
  await forwardlate(s);

  // The status page, through the listener page's link.
  const page = s.page;
  await page.goto(`http://${web}:8080/`);
  await Promise.all([page.waitForNavigation(), page.click('#status')]);
  check(page.url() === `http://${web}:8080/cgi-bin/status`, 'the listener page links to the status page');
  check((await page.title()) === 'KPX: status', 'the status page is served');
  check((await page.textContent('#onair')).startsWith('On air since'), 'it says the broadcast is on air');
  check((await page.textContent('#listeners')) === '2' && (await page.textContent('#maxclients')) === '2',
        'it shows two listeners of at most two');
  const links = await page.$$eval('#relays a', (as) => as.map((a) => a.href));
  check(links.length === 1 && links[0] === s.relayurl, `it links the relay's listener page (${links})`);
  const html = await page.content();
  for (const a of ['127.0.8.41', '127.0.8.42', '127.0.8.43'])
    check(!html.includes(a), `it shows no address of a peer (${a})`);
  await screenshot(page, 'browser-status.png');
  await page.click('#relays a');
  await page.waitForURL(s.relayurl);
  check((await page.textContent('#relay')).includes('relay broadcaster'), 'the relay link leads to its page');
}

async function main() {
  if (scenario === 'listener') await listenerscenario();
  else if (scenario === 'forward') await forwardlate(await forwardscenario());
  else if (scenario === 'status') await statusscenario();
  else throw new Error(`unknown scenario ${scenario}`);
}

async function cleanup() {
  for (const c of cleanups.splice(0)) {
    try { await c(); } catch (e) { /* keep cleaning */ }
  }
  for (const p of children) if (p.exited === null) p.child.kill('SIGTERM');
  await waitfor('children to end', () => children.every((p) => p.exited !== null), 5000)
    .catch(() => { for (const p of children) if (p.exited === null) p.child.kill('SIGKILL'); });
  await waitfor('children to be gone', () => children.every((p) => p.exited !== null), 5000).catch(() => {});
  for (const d of dirs) fs.rmSync(d, { recursive: true, force: true });
}

main().then(async () => {
  await cleanup();
  console.log(`PASS ${scenario}`);
  process.exit(0);
}, async (e) => {
  console.error(`FAIL ${scenario}: ${e.message}`);
  for (const p of children) {
    console.error(`--- ${p.name} stdout ---\n${p.out.slice(-3000)}\n--- ${p.name} stderr ---\n${p.err.slice(-3000)}`);
  }
  await cleanup();
  process.exit(1);
});

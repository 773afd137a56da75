// A browser listening to a live broadcast, measured by what it sounds: the web relay fed at
// real pace by this process (one KPX packet per 200 ms on its upstream port, each packet a
// tone or silence after a fixed pseudo-random pattern), scripts/web (lighttpd) serving the
// pages and passing the streams on, and a private PulseAudio server whose null sink is the
// browser's sound card. The sink's monitor is recorded (parec), and the lag behind live is
// found by cross-correlating the recording's loudness with the pattern as it was sent: the
// time from a packet reaching the relay to its sound leaving the browser.
//
// Used by tests/webrelay/browser_listen.js (one scenario per browser) and by
// bench/browser/browser-bench (the figures).
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const net = require('net');
const { spawn, execFileSync } = require('child_process');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const now = () => performance.timeOrigin + performance.now();   // ms, wall clock

const RATE = 8000;       // recording sample rate
const BIN = 10;          // ms per loudness bin
const SLOT = 200;        // ms per packet

function have(cmd) {
  try { execFileSync('sh', ['-c', `command -v ${cmd}`], { stdio: 'ignore' }); return true; } catch (e) { return false; }
}

// Why this machine cannot run `browser` ('chromium', 'firefox', or 'ffmpeg' for a media player
// alone), or null.
function missing(source, browser) {
  const mods = path.join(source, 'tests', 'browser', 'node_modules');
  if (browser === 'chromium') {
    if (!fs.existsSync(path.join(mods, 'playwright-core'))) return 'playwright-core is not installed in tests/browser (run scripts/setup)';
    if (!fs.existsSync('/usr/bin/chromium')) return '/usr/bin/chromium is missing';
  } else if (browser === 'firefox') {
    if (!fs.existsSync(path.join(mods, 'puppeteer-core'))) return 'puppeteer-core is not installed in tests/browser (run scripts/setup)';
    if (!fs.existsSync('/usr/bin/firefox-esr')) return '/usr/bin/firefox-esr is missing';
  }
  for (const cmd of ['lighttpd', 'pulseaudio', 'parec', 'ffmpeg']) if (!have(cmd)) return `${cmd} is missing (run scripts/setup)`;
  return null;
}

// Why the listen page's HLS path through scripts/cache cannot run here, or null.
function missinghls(source) {
  if (!fs.existsSync(path.join(source, 'web', 'node_modules', 'hls.js', 'dist', 'hls.min.js'))) return 'hls.js is not installed in web/ (run scripts/setup)';
  if (!have('nginx') && !fs.existsSync('/usr/sbin/nginx')) return 'nginx is missing (run scripts/setup)';
  return null;
}

// Pseudo-random on/off pattern, the same on every run.
function pattern(n) {
  const p = [];
  let x = 0x2545f491;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    p.push((x >>> 7) & 1);
  }
  return p;
}

class Live {
  // https: the site is served over HTTPS (a certificate made here) at the name kpx.test,
  // which the browser maps to `addr`. `cache`: the web server passes the relay on through
  // scripts/cache (nginx) on port 8090.
  constructor({ bindir, source, addr, relayargs = [], https = false, cache = false }) {
    Object.assign(this, { bindir, source, addr, relayargs, https, cache });
    this.origin = https ? 'https://kpx.test:8080' : `http://${addr}:8080`;
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kpx-livelisten-'));
    this.children = [];
    this.sent = [];        // { t: wall ms, on: 0/1 } per packet sent
    this.bins = [];        // loudness per BIN ms of the recording
    this.rec0 = Infinity;  // wall ms of the recording's first sample
    this.pattern = pattern(100000);
  }

  start(name, exe, args, env) {
    const child = spawn(exe, args, { cwd: this.dir, detached: true, stdio: ['ignore', 'pipe', 'pipe'],
                                     env: { ...process.env, ...env } });
    const proc = { name, child, out: '', err: '', exited: false };
    child.stdout.on('data', (d) => { if (name !== 'parec') proc.out = (proc.out + d.toString('latin1')).slice(-20000); });
    child.stderr.on('data', (d) => { proc.err = (proc.err + d.toString('latin1')).slice(-20000); });
    child.on('exit', () => { proc.exited = true; });
    this.children.push(proc);
    return proc;
  }

  async waitfor(what, pred, ms) {
    const end = Date.now() + ms;
    while (Date.now() < end) {
      if (await pred()) return;
      await sleep(50);
    }
    throw new Error(`timed out waiting for ${what}`);
  }

  accepts(port) {
    return new Promise((resolve) => {
      const s = net.connect({ host: this.addr, port }, () => { s.destroy(); resolve(true); });
      s.on('error', () => resolve(false));
    });
  }

  // The sound card, the relay with its paced upstream, the web server and the recorder.
  async up() {
    const d = this.dir;
    this.pulse = { HOME: d, XDG_RUNTIME_DIR: d, PULSE_RUNTIME_PATH: path.join(d, 'pulse'),
                   PULSE_STATE_PATH: path.join(d, 'pulse'), PULSE_SERVER: `unix:${d}/pulse.sock` };
    this.start('pulseaudio', 'pulseaudio',
               ['-n', '--daemonize=no', '--exit-idle-time=-1', '--use-pid-file=no', '--disable-shm=yes',
                '-L', 'module-null-sink sink_name=out rate=48000 channels=1',
                '-L', `module-native-protocol-unix socket=${d}/pulse.sock auth-anonymous=1`], this.pulse);
    await this.waitfor('pulseaudio', () => fs.existsSync(`${d}/pulse.sock`), 10000);

    // The two packets: 200 ms of a 500 Hz tone, 200 ms of silence.
    const ul = Buffer.alloc(3200);
    for (let i = 0; i < 1600; i++) ul[i] = linear2ulaw(Math.round(12000 * Math.sin(2 * Math.PI * 500 * i / RATE)));
    ul.fill(0xff, 1600);
    fs.writeFileSync(path.join(d, 'marks.ul'), ul);
    execFileSync(path.join(this.bindir, 'encodefile'), [path.join(d, 'marks.ul'), path.join(d, 'marks.gsm')]);
    const gsm = fs.readFileSync(path.join(d, 'marks.gsm'));
    this.packets = [gsm.subarray(gsm.length / 2), gsm.subarray(0, gsm.length / 2)];   // [off, on]

    await this.startrelay();
    fs.mkdirSync(path.join(d, 'reports'));
    const tls = [];
    if (this.https) {
      execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
                               '-nodes', '-days', '2', '-subj', '/CN=kpx.test', '-addext', 'subjectAltName=DNS:kpx.test',
                               '-keyout', path.join(d, 'key.pem'), '-out', path.join(d, 'cert.pem')], { stdio: 'ignore' });
      tls.push('--cert', path.join(d, 'cert.pem'), '--key', path.join(d, 'key.pem'));
    }
    let relay = `${this.addr}:8000`;
    if (this.cache) {
      this.cachedir = path.join(d, 'cache');
      this.start('cache', path.join(this.source, 'scripts', 'cache'),
                 ['--origin', relay, '--listen', `${this.addr}:8090`, '--statedir', this.cachedir]);
      await this.waitfor('the cache', () => this.accepts(8090), 15000);
      relay = `${this.addr}:8090`;
    }
    this.start('web', path.join(this.source, 'scripts', 'web'),
               ['--address', this.addr, '--port', '8080', '--bindir', this.bindir, '--webrelay', relay,
                '--commandfile', path.join(d, 'commands'), '--repdir', path.join(d, 'reports'),
                '--statedir', path.join(d, 'web-state'), ...tls]);
    await this.waitfor('lighttpd', () => this.accepts(8080), 15000);
    this.record();
  }

  // The web relay, fed by the upstream.
  async startrelay() {
    this.relay = this.start('webrelay', path.join(this.bindir, 'webrelay'),
                            [...this.relayargs, '--listen', `${this.addr}:8000`, this.addr]);
    await this.waitfor('the web relay', () => this.relay.err.includes('CLIENT MODE'), 15000);
    await this.connect();
  }

  // The web relay ends, its upstream link with it; startrelay() brings both back.
  async relaydown() {
    this.disconnect();
    try { process.kill(-this.relay.child.pid, 'SIGKILL'); } catch (e) { /* already gone */ }
    await this.waitfor('the web relay to end', () => this.relay.exited, 5000);
  }

  // The upstream: one packet per 200 ms on the wall clock, for as long as it is connected.
  async connect() {
    await this.waitfor('the relay\'s upstream port', () => this.accepts(9998), 15000);
    const sock = net.connect({ host: this.addr, port: 9998 });
    await new Promise((resolve, reject) => { sock.once('connect', resolve); sock.once('error', reject); });
    sock.on('error', () => {});
    this.sock = sock;
    const t0 = now();
    let k = 0;
    const tick = () => {
      if (this.sock !== sock) return;
      const t = now(), i = this.sent.length;
      const on = this.pattern[i];
      sock.write(this.packets[on]);
      this.sent.push({ t, on });
      k++;
      this.timer = setTimeout(tick, Math.max(0, t0 + k * SLOT - now()));
    };
    tick();
  }

  // Ends the upstream link (the relay hears no more until the next connect()).
  disconnect() {
    clearTimeout(this.timer);
    if (this.sock) this.sock.destroy();
    this.sock = null;
  }

  record() {
    const p = this.start('parec', 'parec', ['-d', 'out.monitor', '--raw', '--format=s16le', `--rate=${RATE}`,
                                            '--channels=1', '--latency-msec=10'], this.pulse);
    let samples = 0, acc = 0, n = 0, carry = Buffer.alloc(0);
    const per = RATE * BIN / 1000;
    p.child.stdout.on('data', (d) => {
      // The first sample was sounded no later than this chunk's arrival less its length.
      this.rec0 = Math.min(this.rec0, now() - ((samples + (carry.length + d.length) / 2) / RATE) * 1000);
      const b = Buffer.concat([carry, d]);
      const whole = b.length & ~1;
      for (let i = 0; i < whole; i += 2) {
        const v = b.readInt16LE(i);
        acc += v * v;
        if (++n === per) { this.bins.push(Math.sqrt(acc / per)); acc = 0; n = 0; }
      }
      samples += whole / 2;
      carry = b.subarray(whole);
    });
  }

  // Lag (ms) of the sound recorded over the last `windowms` behind what was sent, by
  // cross-correlation, with the correlation's strength (0..1); null when nothing was heard.
  lag(windowms = 6000, maxlag = 25000) {
    const end = this.bins.length, len = Math.floor(windowms / BIN);
    if (end < len || !this.sent.length) return null;
    const peak = Math.max(...this.bins.slice(end - len, end));
    if (peak < 300) return null;
    const rec = this.bins.slice(end - len, end).map((v) => (v > peak * 0.25 ? 1 : 0));
    const recstart = this.rec0 + (end - len) * BIN;      // wall ms of rec[0]
    // What was sent, per bin, on the wall clock.
    const s0 = this.sent[0].t;
    const sentbins = new Int8Array(Math.ceil((this.sent[this.sent.length - 1].t + SLOT - s0) / BIN) + 1).fill(-1);
    for (const p of this.sent) {
      const a = Math.round((p.t - s0) / BIN);
      for (let j = 0; j < SLOT / BIN && a + j < sentbins.length; j++) sentbins[a + j] = p.on;
    }
    let best = -2, bestlag = null;
    for (let L = 0; L <= maxlag; L += BIN) {
      const first = Math.round((recstart - L - s0) / BIN);
      let agree = 0, count = 0;
      for (let i = 0; i < len; i++) {
        const j = first + i;
        if (j < 0 || j >= sentbins.length || sentbins[j] < 0) continue;
        count++;
        if (sentbins[j] === rec[i]) agree++;
      }
      if (count < len * 0.8) continue;
      const score = (2 * agree - count) / count;   // 1: the same, 0: unrelated
      if (score > best) { best = score; bestlag = L; }
    }
    return bestlag === null ? null : { ms: bestlag, score: best };
  }

  // `site`: a name the browser resolves to this address (not a secure context, unlike the
  // address itself).
  async browser(kind, site = null) {
    const profile = fs.mkdtempSync(path.join(this.dir, `${kind}-profile-`));
    const env = { ...process.env, ...this.pulse, HOME: profile };
    const mods = path.join(this.source, 'tests', 'browser', 'node_modules');
    if (kind === 'chromium') {
      const { chromium } = require(path.join(mods, 'playwright-core'));
      const browser = await chromium.launch({
        executablePath: '/usr/bin/chromium', headless: true, env, ignoreDefaultArgs: ['--mute-audio'],
        args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
               ...(this.https ? [`--host-resolver-rules=MAP kpx.test ${this.addr}`, '--ignore-certificate-errors'] : []),
               ...(site ? [`--host-resolver-rules=MAP ${site} ${this.addr}`] : [])],
      });
      return { browser, newpage: () => browser.newPage(), close: () => browser.close() };
    }
    process.env.PUPPETEER_SKIP_DOWNLOAD = '1';
    const puppeteer = require(path.join(mods, 'puppeteer-core'));
    let exe = '/usr/bin/firefox-esr';
    if (this.https) {
      // Firefox has no resolver rules: it runs in a mount namespace of its own whose /etc/hosts
      // names kpx.test (root only), and takes the test's certificate as it is.
      const hosts = path.join(this.dir, 'hosts');
      fs.writeFileSync(hosts, `${this.addr} kpx.test\n` + fs.readFileSync('/etc/hosts', 'latin1'));
      exe = path.join(this.dir, 'firefox-hosts');
      fs.writeFileSync(exe, `#!/bin/sh\nexec unshare -m sh -c 'mount --bind "$0" /etc/hosts && exec /usr/bin/firefox-esr "$@"' '${hosts}' "$@"\n`);
      fs.chmodSync(exe, 0o755);
    }
    const browser = await puppeteer.launch({
      browser: 'firefox', executablePath: exe, headless: true, userDataDir: profile, acceptInsecureCerts: this.https,
      env: { ...env, MOZ_HEADLESS: '1' },
      extraPrefsFirefox: { 'media.autoplay.default': 0, 'browser.shell.checkDefaultBrowser': false,
                           ...(site ? { 'network.dns.forceResolve': this.addr } : {}) },
    });
    return { browser, newpage: () => browser.newPage(), close: () => browser.close() };
  }

  // Opens the listen page, presses play; returns the page once it plays, and the time it took.
  async play(b, query = '', site = null) {
    const page = await b.newpage();
    await page.goto(site ? `http://${site}:8080/listen.html${query}` : `${this.origin}/listen.html${query}`);
    await page.click('#play');
    const st = () => page.evaluate(() => window.kpxlisten.state());
    await this.waitfor('the page to play', async () => (await st()).playingat > 0, 30000);
    const s = await st();
    return { page, state: st, startms: s.playingat - s.pressed, mode: s.mode };
  }

  // The lag (ms) once it holds still: the median of `n` readings a second apart, each with a
  // strong correlation, taken within `n` + 12 s (the first need the window's worth of sound);
  // null when there were fewer.
  async steady(n = 5, windowms = 6000) {
    const got = [];
    for (let i = 0; i < n + 12 && got.length < n; i++) {
      await sleep(1000);
      const l = this.lag(windowms);
      if (l && l.score > 0.8) got.push(l.ms);
    }
    if (got.length < n) return null;
    got.sort((a, b) => a - b);
    return got[Math.floor(got.length / 2)];
  }

  // A 10 s upstream loss (or `ms`), then the return; the relay fills the gap with silence.
  async loss(ms = 10000) {
    this.disconnect();
    await sleep(ms);
    await this.connect();
  }

  // A media player playing `mount` into the sound card: ffmpeg, reading the stream as it comes
  // and sounding it at the pace of the output, as a player does.
  player(mount) {
    return this.start('ffmpeg', 'ffmpeg', ['-nostdin', '-v', 'error', '-i', `http://${this.addr}:8080${mount}`,
                                           '-ac', '1', '-f', 'pulse', 'kpx'], this.pulse);
  }

  async down() {
    this.disconnect();
    for (const p of this.children) {
      try { process.kill(-p.child.pid, 'SIGKILL'); } catch (e) { /* already gone */ }
    }
    await this.waitfor('the children to end', () => this.children.every((p) => p.exited), 5000).catch(() => {});
    fs.rmSync(this.dir, { recursive: true, force: true });
  }

  tail() {
    return this.children.filter((p) => p.name !== 'parec')
      .map((p) => `--- ${p.name} ---\n${p.out.slice(-1500)}\n${p.err.slice(-1500)}`).join('\n');
  }
}

// G.711 u-law of a 16-bit sample.
function linear2ulaw(s) {
  const BIAS = 0x84, CLIP = 32635;
  const sign = s < 0 ? 0x80 : 0;
  let v = Math.min(Math.abs(s), CLIP) + BIAS;
  let exp = 7;
  for (let mask = 0x4000; (v & mask) === 0 && exp > 0; mask >>= 1) exp--;
  const mant = (v >> (exp + 3)) & 0x0f;
  return ~(sign | (exp << 4) | mant) & 0xff;
}

// A command-line option's value (--name VALUE); a missing one is an error.
function option(name) {
  const i = process.argv.indexOf('--' + name);
  if (i < 0 || i + 1 >= process.argv.length) throw new Error(`missing --${name}`);
  return process.argv[i + 1];
}

function check(cond, message) {
  if (!cond) throw new Error('check failed: ' + message);
  console.log('ok - ' + message);
}

module.exports = { Live, missing, missinghls, sleep, option, check };

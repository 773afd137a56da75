#!/usr/bin/env node
// A live broadcast heard through the web relay, measured by what comes out of the sound card
// (tests/browser/livelisten.js: the relay fed at real pace, scripts/web, a private PulseAudio
// whose null sink is recorded and cross-correlated with what was fed).
//
//   --player chromium | firefox   the listen page's own player in that browser: it plays within
//                                 3 s of play() and under 3 s behind live, the page's lag figure
//                                 within 0.5 s of the measured one, the relay counts it; Chromium
//                                 also lives through a 10 s upstream loss (Ogg/Opus)
//   --player chromium|firefox --https  the same page at https://kpx.test:8080/ (a name, not a
//                                 loopback address): a secure context, its own player within
//                                 2 s, under 1.5 s behind live
//   --player mp3                  a media player (ffmpeg into the sound card) on /listen.mp3
//                                 through a 10 s upstream loss
//   --player chromium-hls | firefox-hls  the listen page at a site name over plain HTTP (no
//                                 secure context, so no WebCodecs), the relay behind
//                                 scripts/cache: it plays Low-Latency HLS through hls.js within
//                                 3 s of play() and under 3 s behind live, its lag figure within
//                                 0.5 s of the measured one; Chromium also through a 10 s
//                                 upstream loss
// A loss must leave no lasting extra lag (under 0.5 s). The figures are the benchmark's
// (bench/browser/browser-bench); the bounds here are generous.
//
// Usage: browser_listen.js --player P --address A --bindir DIR --source DIR --artifacts DIR
// Exit status 77 (skipped) when a browser, driver or tool is missing.
'use strict';

const fs = require('fs');
const path = require('path');

const { Live, missing, missinghls, sleep, option, check } = require(path.join(__dirname, '..', 'browser', 'livelisten.js'));
const player = option('player');
const https = process.argv.includes('--https');
const addr = option('address');
const bindir = path.resolve(option('bindir'));
const source = path.resolve(option('source'));
const artifacts = path.resolve(option('artifacts'));

const viahls = player.endsWith('-hls');
const kind = player.replace(/-hls$/, '');
const why = missing(source, player === 'mp3' ? 'ffmpeg' : kind) || (viahls && missinghls(source)) ||
  (https && kind === 'firefox' && process.getuid() !== 0 ? 'Firefox at a name needs root (a mount namespace for /etc/hosts)' : '');
if (why) {
  console.log(`SKIP: ${why}`);
  process.exit(77);
}


// The lag before and after a 10 s upstream loss; the return must not leave it longer.
// `settle` ms after the return for the player to take the new sound (a player far behind
// live first plays out what it holds).
async function through_loss(live, before, settle, state = async () => '') {
  await live.loss(10000);
  await sleep(settle);
  const after = await live.steady();
  const last = live.lag();
  check(after !== null, `heard again after the upstream loss (${after} ms behind; last reading ` +
        `${last && `${last.ms} ms, score ${last.score.toFixed(2)}`}${await state()})`);
  check(after - before < 500, `no lasting extra lag after a 10 s loss: ${before} ms before, ${after} ms after`);
}

async function browser(live) {
  const b = await live.browser(player);
  try {
    const p = await live.play(b);
    if (https) {
      check(p.page.url().startsWith('https://kpx.test:8080/'), `the page is at ${p.page.url()}`);
      check(await p.page.evaluate(() => window.isSecureContext), 'the page is a secure context');
    }
    const startlimit = https ? 2000 : 3000, laglimit = https ? 1500 : 3000;
    check(p.startms < startlimit, `plays ${p.startms.toFixed(0)} ms after play() (${p.mode})`);
    check(p.mode === 'decoder', 'the page plays the stream itself');
    const truth = await live.steady();
    const said = (await p.state()).lag;
    check(truth !== null && truth < laglimit, `${truth} ms behind live, measured from the recording`);
    check(said !== null && Math.abs(said * 1000 - truth) < 500, `the page says ${said && said.toFixed(2)} s behind live`);
    const status = await (await fetch(`http://${addr}:8000/status.json`)).json();
    check(status.listeners === 1 && status.upstream === true, 'the relay counts the browser, upstream connected');
    fs.mkdirSync(artifacts, { recursive: true });
    await p.page.screenshot({ path: path.join(artifacts, `webrelay-listen-${player}${https ? '-https' : ''}.png`), fullPage: true });
    if (player === 'chromium' && !https) await through_loss(live, truth, 8000, async () => `; page ${JSON.stringify(await p.state())}`);
  } finally {
    await b.close();
  }
}

const SITE = 'kpx.test';

async function hlsbrowser(live) {
  const b = await live.browser(kind, SITE);
  try {
    const p = await live.play(b, '', SITE);
    const s = await p.state();
    check(p.startms < 3000, `plays ${p.startms.toFixed(0)} ms after play() (${p.mode}, ${s.format})`);
    check(!(await p.page.evaluate(() => window.isSecureContext)), `http://${SITE}:8080/ is no secure context`);
    check(p.mode === 'hls' && s.format.includes('hls.js'), 'the page plays Low-Latency HLS through hls.js');
    const truth = await live.steady();
    const st = await p.state();
    const said = st.lag;
    check(truth !== null && truth < 3000, `${truth} ms behind live, measured from the recording`);
    check(said !== null && Math.abs(said * 1000 - truth) < 500, `the page says ${said && said.toFixed(2)} s behind live`);
    check(st.errors.length === 0, `no player errors (${st.errors.join(', ')})`);
    // Everything came through the cache: the relay was asked for each part at most twice.
    const log = fs.readFileSync(path.join(live.cachedir, 'access.log'), 'latin1').trim().split('\n');
    const asked = new Map();
    for (const line of log) {
      const [uri, , , upstream] = line.split(' ');
      if (/^\/listen\/[0-9.]+\.ts$/.test(uri) && upstream !== '-') asked.set(uri, (asked.get(uri) || 0) + 1);
    }
    check(asked.size > 10 && Math.max(...asked.values()) <= 2, `through the cache: ${asked.size} parts and segments from the relay, each asked for at most twice`);
    fs.mkdirSync(artifacts, { recursive: true });
    await p.page.screenshot({ path: path.join(artifacts, `webrelay-listen-${player}.png`), fullPage: true });
    if (kind === 'chromium') await through_loss(live, truth, 8000, async () => `; page ${JSON.stringify(await p.state())}`);
  } finally {
    await b.close();
  }
}

async function mp3(live) {
  live.player('/listen.mp3');
  const before = await live.steady(8);
  check(before !== null && before < 25000, `a media player on /listen.mp3 plays ${before} ms behind live`);
  // Its buffer is played out first: the new sound reaches the window that long after the return.
  await through_loss(live, before, before + 8000);
}

async function main() {
  const live = new Live({ bindir, source, addr, https, cache: viahls });
  try {
    await live.up();
    await (player === 'mp3' ? mp3(live) : viahls ? hlsbrowser(live) : browser(live));
  } catch (e) {
    console.error(live.tail());
    throw e;
  } finally {
    await live.down();
  }
}

main().then(() => {
  console.log(`PASS webrelay ${player}${https ? ' https' : ''}`);
  process.exit(0);
}, (e) => {
  console.error(`FAIL webrelay ${player}: ${e.message}`);
  process.exit(1);
});

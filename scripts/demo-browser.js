#!/usr/bin/env node
// The demo's browser listener: headless Chromium (driven by the playwright-core that
// scripts/setup installs in tests/browser) opens a site's /listen.html and plays it until the
// stop file appears or SIGTERM comes, then reports how long it played.
//
// Usage: demo-browser.js URL PROFILE-DIR STOP-FILE [CHROMIUM-OPTION...]
// Standard output, one line each:
//   playing               the page has started to play (its own player or the <audio> element)
//   lag TEXT              the page's own figure of how far behind live it plays
//   result TIME WALL ERRORS  TIME is the seconds since the page started to play, by the page's
//                         clock, WALL the seconds of real time since this driver saw it playing
//                         (0.0 both when it never did); ERRORS is "none" or the errors the page
//                         met (decoder, stream or media element), comma-separated
//   fault TEXT            the browser could not be started or the page not played
// Exit status: 0 with a result line, 1 after a fault, 3 when playwright-core is missing.
// SIGINT is ignored: Ctrl-C reaches the demo's whole process group, and the demo stops us.
'use strict';

const fs = require('fs');
const path = require('path');

const [url, profile, stopfile, ...extra] = process.argv.slice(2);
if (!url || !profile || !stopfile) {
  console.error('usage: demo-browser.js URL PROFILE-DIR STOP-FILE');
  process.exit(2);
}
let chromium;
try {
  ({ chromium } = require(path.join(__dirname, '..', 'tests', 'browser', 'node_modules', 'playwright-core')));
} catch (e) {
  console.log('fault playwright-core is not installed in tests/browser (run scripts/setup)');
  process.exit(3);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
let stopping = false;
process.on('SIGINT', () => {});
process.on('SIGTERM', () => { stopping = true; });

async function main() {
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    handleSIGINT: false, handleSIGTERM: false, handleSIGHUP: false,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--autoplay-policy=no-user-gesture-required', ...extra],
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    await page.goto(url);
    await page.click('#play');
    // The page plays by itself (WebCodecs and Web Audio) or with its <audio> element; either
    // way it says since when it plays and what went wrong.
    const state = () => page.evaluate(() => {
      const s = window.kpxlisten.state();
      const time = s.playingat ? (performance.now() - s.playingat) / 1000 : 0;
      return { time, errors: s.errors, lag: document.getElementById('lag').textContent };
    });
    let since = 0, s;
    while (!stopping && !fs.existsSync(stopfile)) {
      s = await state();
      if (!since && s.time > 0) {
        since = Date.now();
        console.log('playing');
      }
      await sleep(100);
    }
    s = await state();
    console.log(`lag ${s.lag}`);
    const wall = since ? (Date.now() - since) / 1000 : 0;
    console.log(`result ${s.time.toFixed(1)} ${wall.toFixed(1)} ${s.errors.length ? s.errors.join(',') : 'none'}`);
  } finally {
    await context.close();
  }
}

main().then(() => process.exit(0), (e) => {
  console.log(`fault ${String(e.message).split('\n')[0]}`);
  process.exit(1);
});

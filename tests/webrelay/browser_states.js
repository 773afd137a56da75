#!/usr/bin/env node
// What the listen page says when something is wrong, in Chromium (tests/browser/livelisten.js:
// the relay fed at real pace, scripts/web, a private sound card). One page plays; each row of
// the table breaks something, waits for what the page must say, mends it and waits for the
// page to play again by itself.
//
// Usage: browser_states.js --address A --bindir DIR --source DIR
// Exit status 77 (skipped) when the browser, driver or a tool is missing.
'use strict';

const path = require('path');

const { Live, missing, sleep, option, check } = require(path.join(__dirname, '..', 'browser', 'livelisten.js'));
const addr = option('address');
const bindir = path.resolve(option('bindir'));
const source = path.resolve(option('source'));

const why = missing(source, 'chromium');
if (why) {
  console.log(`SKIP: ${why}`);
  process.exit(77);
}


// break: what goes wrong; says: what the page shows then (lag line or problem line); mend:
// the repair; backms: how soon after it is done (the relay answers, fed) the page plays again.
const cases = [
  { name: 'no upstream', brk: (live) => live.disconnect(), says: 'Off air', mend: (live) => live.connect(), backms: 3000 },
  { name: 'the web relay down, then back', brk: (live) => live.relaydown(),
    says: 'The broadcast cannot be reached just now; trying again…', mend: (live) => live.startrelay(), backms: 3000 },
];

async function main() {
  const live = new Live({ bindir, source, addr });
  try {
    await live.up();
    const b = await live.browser('chromium');
    try {
      const p = await live.play(b);
      const text = () => p.page.evaluate(() => document.getElementById('lag').textContent + ' | ' +
        (document.getElementById('problem').hidden ? '' : document.getElementById('problem').textContent));
      const why = async () => {
        let relay = 'no answer';
        try { relay = await (await fetch(`http://${addr}:8000/status.json`)).text(); } catch (e) { /* down */ }
        return `the page says: ${await text()}; its state: ${JSON.stringify(await p.state())}; the relay: ${relay}`;
      };
      const playing = async () => /^About [0-9.]+ s behind live/.test(await text());
      await live.waitfor('the page to show its lag', playing, 10000);
      for (const c of cases) {
        await c.brk(live);
        await live.waitfor(`"${c.says}" (${c.name})`, async () => (await text()).includes(c.says), 10000)
          .catch(async (e) => { throw new Error(`${e.message}; ${await why()}`); });
        check(true, `${c.name}: the page says "${c.says}"`);
        const cannot = (await text()).includes('cannot play');
        check(!cannot, `${c.name}: the page does not say the browser cannot play`);
        await sleep(4000);   // long enough for the page to be waiting between its tries
        const still = await text();
        check(still.includes(c.says) && !(await playing()), `${c.name}: 4 s later it still says so: ${still}`);
        await c.mend(live);   // done once the relay answers and is fed again
        const t0 = Date.now();
        await live.waitfor(`the page to play again (${c.name})`, playing, 15000)
          .catch(async (e) => { throw new Error(`${e.message}; ${await why()}`); });
        const ms = Date.now() - t0;
        check(ms < c.backms, `${c.name}: plays again by itself ${ms} ms after the repair: ${await text()}`);
      }
      // The status page shows the browsers of the web relay (this one) beside the server's.
      const sp = await b.newpage();
      await sp.goto(`${live.origin}/cgi-bin/status`);
      await live.waitfor('the status page to show the web relay\'s browsers', () =>
        sp.evaluate(() => !document.getElementById('webrelay').hidden), 5000);
      const said = await sp.evaluate(() => document.getElementById('webrelay').textContent);
      check(/^Browsers listening through the web relay: 1 /.test(said), `the status page: "${said}"`);
      // Each page on a phone-sized screen: nothing wider than it, the card and the footer
      // clear of both edges; the icon browsers ask for is there.
      for (const url of ['/', '/listen.html', '/broadcast.html', '/cgi-bin/status']) {
        const phone = await b.browser.newPage({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
        await phone.goto(live.origin + url);
        const m = await phone.evaluate(() => {
          const box = (sel) => document.querySelector(sel).getBoundingClientRect();
          return { scroll: document.documentElement.scrollWidth, width: innerWidth,
                   main: [box('main').left, innerWidth - box('main').right],
                   footer: [box('footer').left, innerWidth - box('footer').right],
                   links: [...document.querySelectorAll('footer a')].map((a) => a.getBoundingClientRect().left) };
        });
        check(m.width === 390 && m.scroll <= m.width && Math.min(...m.main) >= 8 && Math.min(...m.footer) >= 8 &&
              m.links.every((x) => x >= 12), `${url} at 390x844: ${JSON.stringify(m)}`);
        await phone.close();
      }
      const icon = await fetch(`http://${addr}:8080/favicon.ico`);
      check(icon.status === 200 && /^image\//.test(icon.headers.get('content-type')),
            `/favicon.ico: ${icon.status} ${icon.headers.get('content-type')}`);
    } finally {
      await b.close();
    }
  } catch (e) {
    console.error(live.tail());
    throw e;
  } finally {
    await live.down();
  }
}

main().then(() => {
  console.log('PASS listen page states');
  process.exit(0);
}, (e) => {
  console.error(`FAIL listen page states: ${e.message}`);
  process.exit(1);
});

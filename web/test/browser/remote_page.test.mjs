// The web remote page in headless Chromium against a real tarveld: pairing
// from the link, trackpad gestures, typing and the gamepad reach the host's
// event record.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import { sleep, startHost, until } from '../support/host.mjs';

const repo = new URL('../../..', import.meta.url).pathname;
const artifacts = path.resolve(repo, process.env.TARVEL_ARTIFACTS ?? 'build/web-artifacts');
const dist = process.env.TARVEL_WEB_DIST;
const wait = { timeout: 15000 };

// Mac virtual key codes and event kinds the host's recording sink writes.
const keyCode = { c: 0x08, backspace: 0x33, left: 0x7b };
const controlFlag = 0x40000;
const mouse = { moved: 5, leftDown: 1, leftUp: 2, rightDown: 3, rightUp: 4 };
const scrollPhase = { began: 1, changed: 2, ended: 4 }, momentum = { begin: 1, end: 3 };
const ops = (records, op) => records.filter((e) => e.op === op);
const mouseTypes = (records) => ops(records, 'mouse').map((e) => e.type);

// TARVEL_WEB_DIST (a `build.mjs` output) puts the page's current sources in
// place of the copy built into the daemon, keeping the daemon's headers.
async function serveFrom(page, host) {
  await page.setRequestInterception(true);
  page.on('request', async (request) => {
    const url = new URL(request.url());
    const file = path.join(path.resolve(dist), url.pathname === '/' ? 'index.html' : url.pathname);
    if (url.port !== String(host.webPort) || !fs.existsSync(file)) return request.continue();
    // One connection per look: idle keep-alive sockets would count against the host's pending limit.
    const served = await new Promise((resolve, reject) => http.get(url, { agent: false, timeout: 5000 })
      .on('response', (res) => { res.resume(); resolve(res.headers); }).on('error', reject)
      .on('timeout', function () { this.destroy(new Error('timed out')); }));
    const dropped = /^(content-(length|encoding)|etag|connection)$/i;
    const headers = Object.fromEntries(Object.entries(served).filter(([k]) => !dropped.test(k)));
    await request.respond({ status: 200, headers, body: fs.readFileSync(file) });
  });
}

test('the web remote pairs from its link and drives the host', { timeout: 120000 }, async (t) => {
  const host = await startHost();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvel-chromium-'));
  let browser = null;
  try {
    browser = await puppeteer.launch({ executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium', headless: true,
      userDataDir: profile, protocolTimeout: 20000, timeout: 20000,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync',
        // A page answered by interception counts as public, and may not then reach loopback.
        ...(dist ? ['--disable-features=LocalNetworkAccessChecks'] : [])] });
    const page = await browser.newPage();
    await page.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    page.setDefaultTimeout(wait.timeout);
    const pageErrors = [];
    page.on('pageerror', (e) => pageErrors.push(e.message));
    const cdp = await page.createCDPSession();
    if (dist) await serveFrom(page, host);
    fs.mkdirSync(artifacts, { recursive: true });
    const link = new URL((await until(() => host.line('Web remote: '), { what: 'the web remote address' })).trim());
    link.hostname = '127.0.0.1';

    const centre = async (selector) => {
      const box = await (await page.waitForSelector(selector, wait)).boundingBox();
      return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
    };
    const touches = (type, points) =>
      cdp.send('Input.dispatchTouchEvent', { type, touchPoints: points.map(([x, y], id) => ({ x, y, id })) });
    // Fingers down at `points`, moved `steps` times by `by` (a [dx, dy] per finger), rested, lifted.
    const stroke = async (points, by, steps, { pauseMs = 16, restMs = 0 } = {}) => {
      await touches('touchStart', points);
      for (let i = 1; i <= steps; i++) {
        await touches('touchMove', points.map(([x, y], f) => [x + i * by[f][0], y + i * by[f][1]]));
        await sleep(pauseMs);
      }
      if (restMs) await sleep(restMs);
      await touches('touchEnd', []);
    };
    const twoFingers = (x, y) => [[x - 30, y], [x + 30, y]];
    // The host's records from now on.
    const fromNow = () => {
      const mark = host.records().length;
      const get = () => host.records().slice(mark);
      return { get, wait: (done, what) => host.waitForRecords((r) => done(r.slice(mark)), what) };
    };

    await t.test('a wrong typed code is refused with a way to try again', async () => {
      await page.goto(new URL('/', link).href, { waitUntil: 'load', ...wait });
      await page.type('#pair-code', String((Number(host.code) + 1) % 1000000).padStart(6, '0'));
      await page.click('#pair-submit');
      await page.waitForSelector('#pair-error:not([hidden])', wait);
      assert.match(await page.$eval('#pair-error', (e) => e.textContent), /\S/);
      assert.equal(await page.$eval('#pair-submit', (e) => e.textContent), 'Try Again');
      assert.equal(await page.$eval('#main', (e) => e.hidden), true);
    });

    await t.test('pairing from the link shows the host and clears the address bar', async () => {
      await page.goto('about:blank'); // from '/' the link would only change the fragment
      await page.goto(link.href, { waitUntil: 'load', ...wait });
      await page.waitForSelector('#state-dot.connected', wait);
      await page.waitForSelector('#sheet:not([hidden])', wait);
      const expected = createHash('sha256').update(Buffer.from(host.publicKey, 'hex')).digest('hex').slice(0, 16);
      assert.equal(await page.$eval('#sheet-fp', (e) => e.textContent.replace(/\s/g, '')), expected);
      assert.equal(await page.evaluate(() => location.hash), '');
      await page.click('#sheet-close');
    });

    await t.test('one finger moves the pointer, a tap clicks, two fingers scroll, flick, pinch and right-click', async () => {
      const pad = await centre('#trackpad');
      // Each gesture starts beyond the tap-and-drag window of the one before.
      const next = async () => { await sleep(300); return fromNow(); };
      let rec = fromNow();
      await stroke([[pad.x - 100, pad.y]], [[20, 4]], 10);
      const moves = await rec.wait((r) => {
        const m = ops(r, 'mouse').filter((e) => e.type === mouse.moved);
        return m.reduce((s, e) => s + e.dx, 0) > 200 && m;
      }, 'pointer moves to the right');
      assert.ok(moves.every((e) => e.dx >= 0), 'moved against the finger');
      assert.ok(moves.at(-1).y > moves[0].y - moves[0].dy, 'moved up instead of down');
      assert.ok(!mouseTypes(rec.get()).includes(mouse.leftDown), 'a drag clicked');
      await page.screenshot({ path: path.join(artifacts, 'trackpad.png') });

      rec = await next();
      await page.touchscreen.tap(pad.x, pad.y);
      await rec.wait((r) => [mouse.leftDown, mouse.leftUp].every((type) => mouseTypes(r).includes(type)), 'a left click');

      rec = await next();
      // Fingers rest before lifting: no momentum.
      await stroke(twoFingers(pad.x, pad.y - 80), [[0, 15], [0, 15]], 8, { restMs: 150 });
      const scrolls = await rec.wait((r, s = ops(r, 'scroll')) => s.some((e) => e.phase === scrollPhase.ended) && s,
        'a two-finger scroll');
      assert.equal(scrolls[0].phase, scrollPhase.began);
      const changed = scrolls.filter((e) => e.phase === scrollPhase.changed);
      assert.ok(changed.reduce((s, e) => s + e.wheel1, 0) > 50, 'fingers down should scroll by their travel');
      assert.ok(changed.every((e) => e.wheel2 === 0));
      assert.deepEqual(ops(rec.get(), 'mouse'), [], 'scrolling moved or clicked');

      // A flick keeps scrolling after the lift, and a touch stops it.
      rec = await next();
      await stroke(twoFingers(pad.x, pad.y + 60), [[0, -25], [0, -25]], 6, { pauseMs: 10 });
      const momentumIn = (phase) => (r) => ops(r, 'scroll').some((e) => e.momentumPhase === phase);
      await rec.wait(momentumIn(momentum.begin), 'momentum after a flick');
      await stroke([[pad.x, pad.y]], [], 0);
      await rec.wait(momentumIn(momentum.end), 'momentum stopped by a touch');
      const momentumSteps = ops(rec.get(), 'scroll').filter((e) => e.momentumPhase);
      assert.ok(momentumSteps.slice(0, -1).every((e) => e.wheel1 < 0), 'momentum turned against the flick');

      // Fingers spreading apart zoom in.
      rec = await next();
      await stroke(twoFingers(pad.x, pad.y), [[-12, 0], [12, 0]], 8);
      const zooms = await rec.wait((r) => ops(r, 'gesture').length >= 3 && ops(r, 'gesture'), 'pinch zoom gestures');
      assert.ok(zooms.every((e) => e.zoom > 0), 'spreading fingers zoomed out');
      assert.ok(!rec.get().some((e) => e.op === 'scroll' || e.op === 'mouse'), 'a pinch scrolled or clicked');

      rec = await next();
      await stroke(twoFingers(pad.x, pad.y), [], 0, { restMs: 40 });
      await rec.wait((r) => mouseTypes(r).join() === [mouse.rightDown, mouse.rightUp].join(),
        'a right click from a two-finger tap');
    });

    await t.test('typing sends text, autocorrect becomes Backspaces, a sticky Ctrl makes a chord', async () => {
      await page.click('.tabs [data-view="keyboard"]');
      await page.focus('#kb-input');
      const typed = (r) => ops(r, 'text').map((e) => e.text).join('');
      let rec = fromNow();
      await page.keyboard.type('tarvel', { delay: 20 });
      await rec.wait((r) => typed(r) === 'tarvel', 'the typed word');

      // An autocorrection replaces the last word the way a soft keyboard does.
      rec = fromNow();
      await page.keyboard.type(' teh', { delay: 20 });
      await page.evaluate(() => {
        const field = document.getElementById('kb-input');
        field.value = field.value.replace(/teh$/, 'the ');
        field.dispatchEvent(new InputEvent('input', { inputType: 'insertReplacementText', bubbles: true }));
      });
      await rec.wait((r) => ops(r, 'text').some((e) => e.text === 'he '), 'the correction');
      const after = rec.get();
      assert.equal(ops(after, 'key').filter((e) => e.keyCode === keyCode.backspace && e.down).length, 2);
      assert.equal(typed(after), ' tehhe ');

      rec = fromNow();
      await page.click('.mod[data-mod="2"]');
      await page.keyboard.type('c');
      const chord = await rec.wait((r) => ops(r, 'key').find((e) => e.keyCode === keyCode.c && e.down), 'Ctrl+C');
      assert.ok(chord.flags & controlFlag, 'C went without Control');
      assert.deepEqual(ops(rec.get(), 'text'), [], 'the chord was typed as text');
      assert.equal(await page.$eval('.mod[data-mod="2"]', (e) => e.classList.contains('once')), false, 'one-shot Ctrl stayed on');
      assert.equal(await page.$eval('#kb-input', (e) => e.value.endsWith('c')), false);
    });

    await t.test('gamepad buttons press and release mapped keys, several at once', async () => {
      await page.click('.tabs [data-view="gamepad"]');
      const a = await centre('[data-button="a"]');
      const stick = await centre('[data-stick="left"]');
      const rec = fromNow();
      await touches('touchStart', [[a.x, a.y]]);
      await touches('touchStart', [[a.x, a.y], [stick.x, stick.y - 60]]);
      const downs = (r) => ops(r, 'key').filter((e) => e.down);
      const pressed = await rec.wait((r) => downs(r).length >= 2 && downs(r), 'keys of A and the stick');
      await page.screenshot({ path: path.join(artifacts, 'gamepad.png') });
      await touches('touchEnd', []);
      await rec.wait((r) => pressed.every((p) => ops(r, 'key').some((e) => e.keyCode === p.keyCode && !e.down)),
        'every pad key released');
    });

    await t.test('a held button and a repeating key are let go when another tab comes to the front', async () => {
      const elsewhere = async () => {
        const other = await browser.newPage();
        await other.bringToFront();
        return async () => { await page.bringToFront(); await other.close(); };
      };
      // A mouse, unlike a touch, is not cancelled when the tab goes.
      const hold = async (selector) => {
        const { x, y } = await centre(selector);
        const rec = fromNow();
        await page.mouse.move(x, y);
        await page.mouse.down();
        return rec;
      };
      await page.click('.tabs [data-view="trackpad"]');
      let rec = await hold('#tp-left');
      await rec.wait((r) => mouseTypes(r).includes(mouse.leftDown), 'Left held');
      let back = await elsewhere();
      await rec.wait((r) => mouseTypes(r).includes(mouse.leftUp), 'Left let go');
      await back();
      await page.mouse.up();

      await page.click('.tabs [data-view="keyboard"]');
      const arrow = (r) => ops(r, 'key').filter((e) => e.keyCode === keyCode.left);
      rec = await hold('[data-hid="80"]');
      await rec.wait((r) => arrow(r).some((e) => e.autorepeat), 'the arrow repeating');
      back = await elsewhere();
      await rec.wait((r) => arrow(r).some((e) => !e.down), 'the arrow let go');
      const settled = fromNow();
      await sleep(300);
      await back();
      await page.mouse.up();
      await sleep(200);
      assert.deepEqual(arrow(settled.get()), [], 'the key went on after it was let go');
      assert.equal(await page.$eval('[data-hid="80"]', (e) => e.classList.contains('pressed')), false);
    });

    await t.test('a reload signs in again with the stored identity', async () => {
      await page.reload({ waitUntil: 'load', ...wait });
      await page.waitForSelector('#state-dot.connected', wait);
      assert.equal(await page.$eval('#pairing', (e) => e.hidden), true);
      assert.match(await page.$eval('#host-name', (e) => e.textContent), /\S/);
      await until(async () => /\d+ ms/.test(await page.$eval('#latency', (e) => e.textContent)),
        { timeoutMs: 8000, what: 'a latency figure' });
    });

    assert.deepEqual(pageErrors, []);
  } finally {
    await browser?.close().catch(() => browser.process()?.kill('SIGKILL'));
    await host.stop();
    fs.rmSync(profile, { recursive: true, force: true });
  }
});

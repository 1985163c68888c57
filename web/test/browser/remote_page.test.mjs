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
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';
import { startHost, until } from '../support/host.mjs';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const artifacts = path.resolve(repo, process.env.TARVEL_ARTIFACTS ?? 'build/web-artifacts');
const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const wait = { timeout: 15000 };
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Mac virtual key codes the host's recording sink writes.
const keyCode = { c: 0x08, backspace: 0x33, left: 0x7b };
const controlFlag = 0x40000;
const mouse = { moved: 5, leftDown: 1, leftUp: 2, rightDown: 3, rightUp: 4 };
const scrollPhase = { began: 1, changed: 2, ended: 4 };
const momentum = { begin: 1, end: 3 };

// TARVEL_WEB_DIST (a `build.mjs` output) puts the page's current sources in
// place of the copy built into the daemon, keeping the daemon's headers.
async function serveFrom(dist, page, host) {
  await page.setRequestInterception(true);
  page.on('request', async (request) => {
    const url = new URL(request.url());
    const file = path.join(dist, url.pathname === '/' ? 'index.html' : url.pathname);
    if (url.port !== String(host.webPort) || !fs.existsSync(file)) return request.continue();
    // One connection per look: idle keep-alive sockets would count against the host's pending limit.
    const served = await new Promise((resolve, reject) => http.get(url, { agent: false, timeout: 5000 }, (res) => {
      res.resume();
      resolve(res.headers);
    }).on('error', reject).on('timeout', function () { this.destroy(new Error('timed out')); }));
    const headers = Object.fromEntries(Object.entries(served).filter(([k]) => !/^(content-(length|encoding)|etag|connection)$/i.test(k)));
    await request.respond({ status: 200, headers, body: fs.readFileSync(file) });
  });
}

async function pairingPage(host) {
  const line = await until(() => host.line('Web remote: '), { what: 'the web remote address' });
  const url = new URL(line.trim());
  url.hostname = '127.0.0.1';
  return url.href;
}

const since = (records, mark) => records.slice(mark);

async function centre(page, selector) {
  const box = await (await page.waitForSelector(selector, wait)).boundingBox();
  return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
}

async function touches(cdp, type, points) {
  await cdp.send('Input.dispatchTouchEvent', { type, touchPoints: points.map(([x, y], id) => ({ x, y, id })) });
}

test('the web remote pairs from its link and drives the host', { timeout: 120000 }, async (t) => {
  const host = await startHost();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvel-chromium-'));
  let browser = null;
  try {
    browser = await puppeteer.launch({
      executablePath: chromium,
      headless: true,
      userDataDir: profile,
      protocolTimeout: 20000,
      timeout: 20000,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync',
        // A page answered by interception counts as public, and may not then reach loopback.
        ...(process.env.TARVEL_WEB_DIST ? ['--disable-features=LocalNetworkAccessChecks'] : [])],
    });
    const page = await browser.newPage();
    await page.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    page.setDefaultTimeout(wait.timeout);
    const pageErrors = [];
    page.on('pageerror', (e) => pageErrors.push(e.message));
    const cdp = await page.createCDPSession();
    if (process.env.TARVEL_WEB_DIST) await serveFrom(path.resolve(process.env.TARVEL_WEB_DIST), page, host);
    fs.mkdirSync(artifacts, { recursive: true });

    const link = await pairingPage(host);

    await t.test('a wrong typed code is refused with a way to try again', async () => {
      await page.goto(new URL('/', link).href, { waitUntil: 'load', ...wait });
      const wrong = String((Number(host.code) + 1) % 1000000).padStart(6, '0');
      await page.type('#pair-code', wrong);
      await page.click('#pair-submit');
      await page.waitForSelector('#pair-error:not([hidden])', wait);
      assert.match(await page.$eval('#pair-error', (e) => e.textContent), /\S/);
      assert.equal(await page.$eval('#pair-submit', (e) => e.textContent), 'Try Again');
      assert.equal(await page.$eval('#main', (e) => e.hidden), true);
    });

    await t.test('pairing from the link shows the host and clears the address bar', async () => {
      await page.goto('about:blank'); // from '/' the link would only change the fragment
      await page.goto(link, { waitUntil: 'load', ...wait });
      await page.waitForSelector('#state-dot.connected', wait);
      await page.waitForSelector('#sheet:not([hidden])', wait);
      const shown = await page.$eval('#sheet-fp', (e) => e.textContent.replace(/\s/g, ''));
      const expected = createHash('sha256').update(Buffer.from(host.publicKey, 'hex')).digest('hex').slice(0, 16);
      assert.equal(shown, expected);
      assert.equal(await page.evaluate(() => location.hash), '');
      await page.click('#sheet-close');
    });

    await t.test('one finger moves the pointer, a tap clicks, two fingers scroll, flick, pinch and right-click', async () => {
      const pad = await centre(page, '#trackpad');
      let mark = host.records().length;
      await page.touchscreen.touchStart(pad.x - 100, pad.y);
      for (let i = 1; i <= 10; i++) {
        await page.touchscreen.touchMove(pad.x - 100 + i * 20, pad.y + i * 4);
        await sleep(16);
      }
      await page.touchscreen.touchEnd();
      const moves = await host.waitForRecords((r) => {
        const m = since(r, mark).filter((e) => e.op === 'mouse' && e.type === mouse.moved);
        return m.reduce((s, e) => s + e.dx, 0) > 200 && m;
      }, 'pointer moves to the right');
      assert.ok(moves.every((e) => e.dx >= 0), 'moved against the finger');
      assert.ok(moves.at(-1).y > moves[0].y - moves[0].dy, 'moved up instead of down');
      assert.ok(!since(host.records(), mark).some((e) => e.op === 'mouse' && e.type === mouse.leftDown), 'a drag clicked');
      await page.screenshot({ path: path.join(artifacts, 'trackpad.png') });

      await sleep(300); // beyond the tap-and-drag window
      mark = host.records().length;
      await page.touchscreen.tap(pad.x, pad.y);
      await host.waitForRecords((r) => {
        const types = since(r, mark).filter((e) => e.op === 'mouse').map((e) => e.type);
        return types.includes(mouse.leftDown) && types.includes(mouse.leftUp);
      }, 'a left click');

      await sleep(300);
      mark = host.records().length;
      await touches(cdp, 'touchStart', [[pad.x - 30, pad.y - 80], [pad.x + 30, pad.y - 80]]);
      for (let i = 1; i <= 8; i++) {
        await touches(cdp, 'touchMove', [[pad.x - 30, pad.y - 80 + i * 15], [pad.x + 30, pad.y - 80 + i * 15]]);
        await sleep(16);
      }
      await sleep(150); // fingers rest before lifting: no momentum
      await touches(cdp, 'touchEnd', []);
      const scrolls = await host.waitForRecords((r) => {
        const s = since(r, mark).filter((e) => e.op === 'scroll');
        return s.some((e) => e.phase === scrollPhase.ended) && s;
      }, 'a two-finger scroll');
      assert.equal(scrolls[0].phase, scrollPhase.began);
      const changed = scrolls.filter((e) => e.phase === scrollPhase.changed);
      assert.ok(changed.reduce((s, e) => s + e.wheel1, 0) > 50, 'fingers down should scroll by their travel');
      assert.ok(changed.every((e) => e.wheel2 === 0));
      assert.ok(!since(host.records(), mark).some((e) => e.op === 'mouse'), 'scrolling moved or clicked');

      // A flick keeps scrolling after the lift, and a touch stops it.
      await sleep(300);
      mark = host.records().length;
      await touches(cdp, 'touchStart', [[pad.x - 30, pad.y + 60], [pad.x + 30, pad.y + 60]]);
      for (let i = 1; i <= 6; i++) {
        await touches(cdp, 'touchMove', [[pad.x - 30, pad.y + 60 - i * 25], [pad.x + 30, pad.y + 60 - i * 25]]);
        await sleep(10);
      }
      await touches(cdp, 'touchEnd', []);
      await host.waitForRecords((r) => since(r, mark).some((e) => e.op === 'scroll' && e.momentumPhase === momentum.begin),
        'momentum after a flick');
      await touches(cdp, 'touchStart', [[pad.x, pad.y]]);
      await touches(cdp, 'touchEnd', []);
      await host.waitForRecords((r) => since(r, mark).some((e) => e.op === 'scroll' && e.momentumPhase === momentum.end),
        'momentum stopped by a touch');
      const momentumSteps = since(host.records(), mark).filter((e) => e.op === 'scroll' && e.momentumPhase);
      assert.ok(momentumSteps.slice(0, -1).every((e) => e.wheel1 < 0), 'momentum turned against the flick');

      // Fingers spreading apart zoom in.
      await sleep(300);
      mark = host.records().length;
      await touches(cdp, 'touchStart', [[pad.x - 30, pad.y], [pad.x + 30, pad.y]]);
      for (let i = 1; i <= 8; i++) {
        await touches(cdp, 'touchMove', [[pad.x - 30 - i * 12, pad.y], [pad.x + 30 + i * 12, pad.y]]);
        await sleep(16);
      }
      await touches(cdp, 'touchEnd', []);
      const zooms = await host.waitForRecords((r) => {
        const z = since(r, mark).filter((e) => e.op === 'gesture');
        return z.length >= 3 && z;
      }, 'pinch zoom gestures');
      assert.ok(zooms.every((e) => e.zoom > 0), 'spreading fingers zoomed out');
      assert.ok(!since(host.records(), mark).some((e) => e.op === 'scroll' || e.op === 'mouse'), 'a pinch scrolled or clicked');

      await sleep(300);
      mark = host.records().length;
      await touches(cdp, 'touchStart', [[pad.x - 30, pad.y], [pad.x + 30, pad.y]]);
      await sleep(40);
      await touches(cdp, 'touchEnd', []);
      await host.waitForRecords((r) => {
        const types = since(r, mark).filter((e) => e.op === 'mouse').map((e) => e.type);
        return types.join() === [mouse.rightDown, mouse.rightUp].join();
      }, 'a right click from a two-finger tap');
    });

    await t.test('typing sends text, autocorrect becomes Backspaces, a sticky Ctrl makes a chord', async () => {
      await page.click('.tabs [data-view="keyboard"]');
      await page.focus('#kb-input');
      let mark = host.records().length;
      await page.keyboard.type('tarvel', { delay: 20 });
      await host.waitForRecords((r) => since(r, mark).filter((e) => e.op === 'text').map((e) => e.text).join('') === 'tarvel',
        'the typed word');

      // An autocorrection replaces the last word the way a soft keyboard does.
      mark = host.records().length;
      await page.keyboard.type(' teh', { delay: 20 });
      await page.evaluate(() => {
        const field = document.getElementById('kb-input');
        field.value = field.value.replace(/teh$/, 'the ');
        field.dispatchEvent(new InputEvent('input', { inputType: 'insertReplacementText', bubbles: true }));
      });
      await host.waitForRecords((r) => since(r, mark).some((e) => e.op === 'text' && e.text === 'he '), 'the correction');
      const after = since(host.records(), mark);
      const erased = after.filter((e) => e.op === 'key' && e.keyCode === keyCode.backspace && e.down).length;
      assert.equal(erased, 2);
      assert.equal(after.filter((e) => e.op === 'text').map((e) => e.text).join(''), ' tehhe ');

      mark = host.records().length;
      await page.click('.mod[data-mod="2"]');
      await page.keyboard.type('c');
      const chord = await host.waitForRecords((r) => since(r, mark).find((e) => e.op === 'key' && e.keyCode === keyCode.c && e.down),
        'Ctrl+C');
      assert.ok(chord.flags & controlFlag, 'C went without Control');
      assert.ok(!since(host.records(), mark).some((e) => e.op === 'text'), 'the chord was typed as text');
      assert.equal(await page.$eval('.mod[data-mod="2"]', (e) => e.classList.contains('once')), false, 'one-shot Ctrl stayed on');
      assert.equal(await page.$eval('#kb-input', (e) => e.value.endsWith('c')), false);
    });

    await t.test('gamepad buttons press and release mapped keys, several at once', async () => {
      await page.click('.tabs [data-view="gamepad"]');
      const a = await centre(page, '[data-button="a"]');
      const stick = await centre(page, '[data-stick="left"]');
      const mark = host.records().length;
      await touches(cdp, 'touchStart', [[a.x, a.y]]);
      await touches(cdp, 'touchStart', [[a.x, a.y], [stick.x, stick.y - 60]]);
      const pressed = await host.waitForRecords((r) => since(r, mark).filter((e) => e.op === 'key' && e.down).length >= 2
        && since(r, mark).filter((e) => e.op === 'key' && e.down), 'keys of A and the stick');
      await page.screenshot({ path: path.join(artifacts, 'gamepad.png') });
      await touches(cdp, 'touchEnd', []);
      await host.waitForRecords((r) => {
        const keys = since(r, mark).filter((e) => e.op === 'key');
        return pressed.every((p) => keys.some((e) => e.keyCode === p.keyCode && !e.down));
      }, 'every pad key released');
    });

    await t.test('a held button and a repeating key are let go when another tab comes to the front', async () => {
      const elsewhere = async () => {
        const other = await browser.newPage();
        await other.bringToFront();
        return async () => {
          await page.bringToFront();
          await other.close();
        };
      };
      const keyEvents = (r, mark) => since(r, mark).filter((e) => e.op === 'key' && e.keyCode === keyCode.left);

      await page.click('.tabs [data-view="trackpad"]');
      const left = await centre(page, '#tp-left');
      let mark = host.records().length;
      // A mouse, unlike a touch, is not cancelled when the tab goes.
      await page.mouse.move(left.x, left.y);
      await page.mouse.down();
      await host.waitForRecords((r) => since(r, mark).some((e) => e.op === 'mouse' && e.type === mouse.leftDown), 'Left held');
      let back = await elsewhere();
      await host.waitForRecords((r) => since(r, mark).some((e) => e.op === 'mouse' && e.type === mouse.leftUp), 'Left let go');
      await back();
      await page.mouse.up();

      await page.click('.tabs [data-view="keyboard"]');
      const arrow = await centre(page, '[data-hid="80"]');
      mark = host.records().length;
      await page.mouse.move(arrow.x, arrow.y);
      await page.mouse.down();
      await host.waitForRecords((r) => keyEvents(r, mark).some((e) => e.autorepeat), 'the arrow repeating');
      back = await elsewhere();
      await host.waitForRecords((r) => keyEvents(r, mark).some((e) => !e.down), 'the arrow let go');
      const settled = host.records().length;
      await sleep(300);
      await back();
      await page.mouse.up();
      await sleep(200);
      assert.deepEqual(keyEvents(host.records(), settled), [], 'the key went on after it was let go');
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

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { Button, Hat, KeyState, Media, Modifier, PadButton, Phase, Remote, Shortcut, Swipe } from '../../src/protocol/remote.js';
import { memoryStorage, sleep, startHost, until } from '../support/host.mjs';

let host, remote;
let stalled = false; // makes the socket's send buffer look full
before(async () => {
  host = await startHost();
  class Gauged extends WebSocket {
    get bufferedAmount() { return stalled ? 1 << 20 : super.bufferedAmount; }
  }
  remote = new Remote({ url: host.url, storage: memoryStorage(), WebSocketImpl: Gauged });
  await remote.pair(host.code, host.publicKey);
});
after(async () => { remote?.close(); await host?.stop(); });

// What the host recorded for `act`, once `done` says the recording is complete.
async function recorded(act, done) {
  const start = host.records().length;
  assert.notEqual(act(), false, 'sent');
  const fresh = () => host.records().slice(start).filter((r) => r.op !== 'userActivity');
  await until(() => done(fresh()), { what: 'the recorded events' });
  return fresh();
}

const keys = (records) => records.filter((r) => r.op === 'key').map((r) => [r.keyCode, r.down, r.flags]);
const [cmd, ctrl, shift, fn] = [0x100000, 0x40000, 0x20000, 0x800000];

test('pointer: moves, clicks, scrolling and pinch', async () => {
  let r = await recorded(() => remote.move(10.4, -5), (r) => r.length >= 1);
  assert.deepEqual([r[0].op, r[0].type, r[0].dx, r[0].dy], ['mouse', 5, 10, -5]);
  const { x, y } = r[0];

  r = await recorded(() => remote.button(Button.right, true, 2) && remote.button(Button.right, false, 2), (r) => r.length >= 2);
  assert.deepEqual(r.map((e) => [e.type, e.button, e.clickState, e.x, e.y]), [[3, 1, 2, x, y], [4, 1, 2, x, y]]);

  r = await recorded(() => remote.scroll(0, -12, Phase.began) && remote.scroll(3, 0, Phase.changed) && remote.scroll(0, 0, Phase.ended),
    (r) => r.length >= 3);
  assert.deepEqual(r.map((e) => [e.op, e.wheel1, e.wheel2, e.phase]), [['scroll', -12, 0, 1], ['scroll', 0, 3, 2], ['scroll', 0, 0, 4]]);

  r = await recorded(() => remote.pinch(0.2, 1, Phase.began) && remote.pinch(0.3, 1, Phase.changed) && remote.pinch(0, 0, Phase.ended),
    (r) => r.filter((e) => e.op === 'gesture').length >= 2);
  assert.deepEqual(r.filter((e) => e.op === 'gesture').map((e) => Math.round(e.zoom * 100)), [20, 30]);
  assert.ok(keys(r).length > 0 && keys(r).every(([, , flags]) => flags & cmd), 'zooming in taps Command chords');
});

test('keyboard: keys with modifiers, modifier state, shortcuts, swipes and media keys', async () => {
  let r = await recorded(() => remote.key(0x04, KeyState.down, Modifier.shift) && remote.key(0x04, KeyState.repeat, Modifier.shift)
    && remote.key(0x04, KeyState.up, Modifier.shift), (r) => r.length >= 3);
  assert.deepEqual(r.map((e) => [e.keyCode, e.down, e.autorepeat, e.flags & shift]), [[0, true, 0, shift], [0, true, 1, shift], [0, false, 0, shift]]);

  r = await recorded(() => remote.modifiers(Modifier.command | Modifier.shift) && remote.modifiers(0), (r) => keys(r).length >= 4);
  const [leftShift, leftCommand] = [0x38, 0x37];
  assert.deepEqual(keys(r).map(([k, d]) => [k, d]), [[leftShift, true], [leftCommand, true], [leftShift, false], [leftCommand, false]]);

  r = await recorded(() => remote.shortcut(Shortcut.copy), (r) => r.length >= 2);
  assert.deepEqual(keys(r), [[0x08, true, cmd], [0x08, false, cmd]]);

  r = await recorded(() => remote.swipe(Swipe.left), (r) => r.length >= 2);
  assert.deepEqual(keys(r).map(([k, d, f]) => [k, d, f & (ctrl | fn)]), [[0x7b, true, ctrl | fn], [0x7b, false, ctrl | fn]]);

  r = await recorded(() => remote.media(Media.playPause), (r) => r.length >= 2);
  assert.deepEqual(r.map((e) => [e.op, e.keyType, e.down]), [['media', 16, true], ['media', 16, false]]);
});

test('text and clipboard', async () => {
  const text = 'héllo/wörld ✓';
  let r = await recorded(() => remote.text(text), (r) => r.some((e) => e.op === 'text'));
  assert.equal(r.filter((e) => e.op === 'text').map((e) => e.text).join(''), text);
  r = await recorded(() => remote.clipboard('copied', false), (r) => r.length >= 1);
  assert.deepEqual(r, [{ op: 'clipboard', text: 'copied' }]);
  r = await recorded(() => remote.clipboard('pasted', true), (r) => keys(r).length >= 2);
  assert.deepEqual(r[0], { op: 'clipboard', text: 'pasted' });
  assert.deepEqual(keys(r), [[0x09, true, cmd], [0x09, false, cmd]]);
});

test('gamepad through the default mapping: sticks and buttons press keys and release them', async () => {
  const [w, space] = [0x0d, 0x31];
  let r = await recorded(() => remote.pad.setSticks(0, 32767, 0, 0), (r) => keys(r).length >= 1);
  assert.deepEqual(keys(r)[0].slice(0, 2), [w, true]);
  r = await recorded(() => remote.pad.setButtons(PadButton.a, Hat.neutral, 0, 0), (r) => keys(r).length >= 1);
  assert.deepEqual(keys(r)[0].slice(0, 2), [space, true]);
  // Held longer than the host's 1.5 s stale limit: the refreshes keep it held.
  const mark = host.records().length;
  await sleep(1800);
  assert.deepEqual(keys(host.records().slice(mark)).filter((k) => !k[1]), [], 'nothing released while held');
  r = await recorded(() => { remote.pad.setSticks(0, 0, 0, 0); remote.pad.setButtons(0, Hat.neutral, 0, 0); }, (r) => keys(r).length >= 2);
  assert.deepEqual(keys(r).map((k) => k.slice(0, 2)).sort(), [[w, false], [space, false]].sort());
});

test('a stalled socket: moves and scrolls wait and arrive summed, ahead of a key that cannot wait', async () => {
  const mark = host.records().length;
  stalled = true;
  for (let i = 0; i < 5; i++) assert.equal(remote.move(3, 1), true);
  for (let i = 0; i < 3; i++) assert.equal(remote.scroll(0, -4, Phase.none), true);
  await sleep(150);
  assert.deepEqual(host.records().slice(mark).filter((e) => e.op !== 'userActivity'), [], 'sent into a full buffer');
  const r = await recorded(() => remote.key(0x04, KeyState.down) && remote.key(0x04, KeyState.up), (r) => keys(r).length >= 2);
  assert.deepEqual(r.map((e) => [e.op, e.dx ?? e.wheel1, e.dy ?? e.wheel2, e.down]),
    [['mouse', 15, 5, undefined], ['scroll', -12, 0, undefined], ['key', undefined, undefined, true], ['key', undefined, undefined, false]]);

  for (let i = 0; i < 4; i++) remote.move(-2, 0);
  await sleep(100);
  const drained = await recorded(() => { stalled = false; }, (r) => r.length >= 1);
  assert.deepEqual(drained.map((e) => [e.op, e.dx, e.dy]), [['mouse', -8, 0]]);
});

test('held input stays held through silence until released all at once', async () => {
  assert.equal(remote.releaseAll(), false, 'nothing held, nothing to send');
  const mark = host.records().length;
  assert.ok(remote.key(0x04, KeyState.down) && remote.button(Button.left, true, 1));
  await sleep(1800); // longer than the host's 1.5 s dead-man release
  const released = (e) => (e.op === 'key' && !e.down) || (e.op === 'mouse' && e.type === 2);
  assert.deepEqual(host.records().slice(mark).filter(released), [], 'released while held');
  const r = await recorded(() => remote.releaseAll(), (r) => r.length >= 2);
  assert.deepEqual(r.filter((e) => e.op !== 'scroll').map((e) => [e.op, e.type ?? e.keyCode, e.down]), [['mouse', 2, undefined], ['key', 0, false]]);
  assert.equal(remote.releaseAll(), false);
});

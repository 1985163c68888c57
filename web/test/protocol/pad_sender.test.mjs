import assert from 'node:assert/strict';
import { test } from 'node:test';
import { PadSender } from '../../src/protocol/pad_sender.js';

// A clock and timers that move only when told to, feeding a PadSender.
function sender() {
  const sent = [];
  const time = { now: 0, timers: new Map(), nextId: 1, clock: () => time.now };
  time.setTimer = (fn, ms) => { time.timers.set(time.nextId, { at: time.now + ms, fn }); return time.nextId++; };
  time.clearTimer = (id) => time.timers.delete(id);
  time.advance = (ms) => {
    const end = time.now + ms;
    for (let guard = 0; guard < 10000; guard++) {
      const due = [...time.timers].filter(([, x]) => x.at <= end).sort((a, b) => a[1].at - b[1].at)[0];
      if (!due) break;
      time.timers.delete(due[0]);
      time.now = due[1].at;
      due[1].fn();
    }
    time.now = end;
  };
  const pad = new PadSender({ ...time, sink: (kind, state, ack) => sent.push({ kind, ack, at: time.now, ...state }) });
  return { time, sent, pad };
}

test('changes go out at once; only buttons and the hat ask for acknowledgement', () => {
  const { sent, pad } = sender();
  pad.setSticks(1000, 0, 0, 0);
  assert.deepEqual(sent.map((e) => [e.kind, e.ack, e.lx]), [['sticks', false, 1000]]);
  pad.setButtons(0x1, 0, 0, 0);
  pad.setButtons(0x1, 0, 200, 0);
  pad.setButtons(0x1, 3, 200, 0);
  assert.deepEqual(sent.slice(1).map((e) => [e.kind, e.ack, e.buttons, e.hat, e.lt]),
    [['buttons', true, 1, 0, 0], ['buttons', false, 1, 0, 200], ['buttons', true, 1, 3, 200]]);
  sent.length = 0;
  pad.setSticks(1000, 0, 0, 0);
  pad.setButtons(0x1, 3, 200, 0);
  assert.deepEqual(sent, [], 'an update that changes nothing sends nothing');
});

test('a held control is refreshed every 50 ms; neutral is repeated three times, then silence', () => {
  const { time, sent, pad } = sender();
  pad.setSticks(0, 32767, 0, 0);
  sent.length = 0;
  time.advance(1000);
  const ticks = sent.filter((e) => e.kind === 'sticks').map((e) => e.at);
  assert.equal(ticks.length, 20);
  assert.ok(ticks.every((at, i) => at === 50 * (i + 1)));
  assert.ok(sent.every((e) => !e.ack && e.ly === 32767));
  assert.equal(sent.filter((e) => e.kind === 'buttons').length, 20, 'a refresh repeats the whole state');

  sent.length = 0;
  time.advance(20);
  pad.setSticks(0, 0, 0, 0);
  assert.deepEqual(sent.map((e) => e.kind), ['sticks'], 'the return to neutral goes out at once');
  sent.length = 0;
  time.advance(1000);
  assert.equal(sent.length, 6, 'three neutral refreshes of sticks and buttons');
  assert.ok(sent.every((e) => e.ly === 0 && !e.ack));
  assert.equal(time.timers.size, 0, 'the timer stops');
});

test('resetLocal stops the refresh silently and forgets what was sent', () => {
  const { time, sent, pad } = sender();
  pad.setSticks(5, 5, 0, 0);
  pad.setButtons(0x10, 0, 0, 0);
  pad.resetLocal();
  sent.length = 0;
  time.advance(500);
  assert.deepEqual(sent, []);
  pad.setSticks(5, 5, 0, 0);
  pad.setButtons(0x10, 0, 0, 0);
  assert.deepEqual(sent.map((e) => [e.kind, e.ack]), [['sticks', false], ['buttons', true]]);
});

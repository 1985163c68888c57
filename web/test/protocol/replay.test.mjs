import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { Remote, KeyState } from '../../src/protocol/remote.js';
import { SecureChannel } from '../../src/protocol/channel.js';
import { FrameType, decodeFrame, encodeFrame } from '../../src/protocol/frame.js';
import { ClientAuth } from '../../src/protocol/handshake.js';
import { loadHost, loadIdentity } from '../../src/protocol/identity.js';
import { Payload, packet } from '../../src/protocol/input.js';
import { memoryStorage, sleep, startHost, until } from '../support/host.mjs';

let host;
const storage = memoryStorage();
before(async () => {
  host = await startHost();
  const remote = new Remote({ url: host.url, storage });
  await remote.pair(host.code, host.publicKey);
  remote.close();
});
after(async () => { await host?.stop(); });

// An authenticated session driven by hand, frame by frame.
async function rawSession() {
  const ws = new WebSocket(host.url);
  ws.binaryType = 'arraybuffer';
  const inbox = [];
  let closed = false;
  ws.onmessage = (e) => inbox.push(decodeFrame(e.data));
  ws.onclose = () => { closed = true; };
  await until(() => ws.readyState === 1, { what: 'the socket to open' });
  const auth = new ClientAuth({ identity: loadIdentity(storage), deviceName: 'raw', host: loadHost(storage) });
  ws.send(encodeFrame(FrameType.authHello, auth.hello()));
  const { response, sessionKey } = auth.challenge((await until(() => inbox.shift(), { what: 'the challenge' })).body);
  ws.send(encodeFrame(FrameType.authResponse, response));
  const channel = new SecureChannel(sessionKey);
  channel.open(await until(() => inbox.shift(), { what: 'authOK' }));
  // Sealed input packets for HID key 4 (the host's key code 0).
  const key = (seq, state, [opcode, fill] = Payload.key(4, state)) =>
    channel.seal(FrameType.reliableInput, packet({ seq, opcode }, fill));
  return { ws, channel, inbox, key, isClosed: () => closed };
}

const keyDowns = (records) => records.filter((r) => r.op === 'key' && r.keyCode === 0x00 && r.down).length;

test('an input packet whose sequence number was used is performed once, even under a fresh frame counter', async () => {
  const { ws, channel, inbox, key } = await rawSession();
  ws.send(key(1, KeyState.down));
  await host.waitForRecords((r) => keyDowns(r) === 1, 'the key press');
  ws.send(key(1, KeyState.down));
  ws.send(channel.seal(FrameType.ping, new TextEncoder().encode('{"ts":7}')));
  // The host reads in order: the pong means the replay was read; injection may lag a little.
  await until(() => inbox.some((f) => f.type === FrameType.pong), { what: 'the pong' });
  await sleep(200);
  assert.equal(keyDowns(host.records()), 1);
  ws.send(key(2, KeyState.up));
  await host.waitForRecords((r) => r.some((e) => e.op === 'key' && e.keyCode === 0 && !e.down), 'the key release');
  ws.close();
});

test('a sealed frame sent twice is not performed twice and ends the connection', async () => {
  const before = keyDowns(host.records());
  const { ws, key, isClosed } = await rawSession();
  const frame = key(1, KeyState.down);
  ws.send(frame);
  await host.waitForRecords((r) => keyDowns(r) === before + 1, 'the key press');
  ws.send(frame);
  await until(isClosed, { what: 'the host to close the connection' });
  assert.equal(keyDowns(host.records()), before + 1);
});

test('a Remote whose connection drops reconnects on its own with the stored identity', async () => {
  const sockets = [];
  class Recorded extends WebSocket { constructor(url) { super(url); sockets.push(this); } }
  const remote = new Remote({ url: host.url, storage, WebSocketImpl: Recorded });
  const states = [];
  remote.addEventListener('statechange', (e) => states.push(e.detail.state));
  await remote.connect();
  // A garbage frame makes the host drop the session.
  sockets[0].send(encodeFrame(FrameType.ping, new Uint8Array(20)));
  await until(() => states.includes('waiting') && remote.state === 'connected', { timeoutMs: 5000, what: 'a reconnection' });
  assert.equal(sockets.length, 2);
  assert.ok(remote.key(4, KeyState.down) && remote.key(4, KeyState.up));
  remote.close();
  assert.equal(remote.move(1, 1), false, 'no input once closed');
});

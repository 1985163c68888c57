import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { Remote, fingerprintOf, parsePairingFragment } from '../../src/protocol/remote.js';
import { fromHex } from '../../src/protocol/bytes.js';
import { memoryStorage, sleep, startHost, until } from '../support/host.mjs';

let host;
before(async () => { host = await startHost(); });
after(async () => { await host?.stop(); });

const remoteOn = (storage = memoryStorage()) => new Remote({ url: host.url, storage });

test('a pairing link with another host key is refused before the code is proven; the right key pairs', async () => {
  const wrongKey = host.publicKey.replace(/^./, (c) => (c === '0' ? '1' : '0'));
  const impostor = remoteOn();
  await assert.rejects(impostor.pair(host.code, wrongKey), /does not match the pairing link/);
  assert.equal(impostor.state, 'refused');
  assert.equal(impostor.isPaired(), false);
  assert.equal(host.line('Pairing code used'), undefined, 'no confirmation reached the host');

  const remote = remoteOn();
  const hostEvents = [];
  remote.addEventListener('host', (e) => hostEvents.push(e.detail));
  await remote.pair(host.code, host.publicKey); // the same code still works
  assert.equal(remote.state, 'connected');
  assert.ok(remote.isPaired());
  assert.deepEqual(hostEvents, [remote.host]);
  const { hostId, publicKey, fingerprint } = remote.host;
  assert.deepEqual([hostId, publicKey, fingerprint], [host.hostId, host.publicKey, fingerprintOf(fromHex(host.publicKey))]);
  assert.match(host.stderr, new RegExp(`fp=${fingerprint}`), 'the fingerprint the host shows');
  assert.ok((await remote.ping()) >= 0);
  assert.ok(remote.latencyMs >= 0);
  await until(() => host.line('Pairing code used'), { what: 'the host to report the code used' });
  remote.close();
  assert.equal(remote.state, 'idle');
});

test('a wrong or spent code is refused with a clear message', async () => {
  const code = await host.newCode();
  const wrong = String((Number(code) + 1) % 1000000).padStart(6, '0');
  const remote = remoteOn();
  await assert.rejects(remote.pair(wrong, null), { message: 'Wrong pairing code.' });
  assert.equal(remote.state, 'refused');
  assert.equal(remote.message, 'Wrong pairing code.');

  const typed = remoteOn();
  await typed.pair(code, null);
  typed.close();
  await assert.rejects(remoteOn().pair(code, null), { message: 'No pairing code is active on the host.' });
});

test('a stored identity authenticates without a code until the host forgets it', async () => {
  const storage = memoryStorage();
  const first = remoteOn(storage);
  await first.pair(await host.newCode(), host.publicKey);
  first.close();

  const again = remoteOn(storage);
  const states = [];
  again.addEventListener('statechange', (e) => states.push(e.detail.state));
  await again.connect();
  assert.deepEqual(states, ['connecting', 'authenticating', 'connected']);
  assert.match((await host.control('devices')).stdout, /Web remote/);

  // Forgetting the live device ends its session for good.
  const id = JSON.parse(storage.getItem('tarvel.identity')).id;
  assert.equal((await host.control('forget', id)).code, 0);
  await until(() => again.state === 'refused', { what: 'the live session to be refused' });
  assert.match(again.message, /removed this device/);

  const later = remoteOn(storage);
  await assert.rejects(later.connect(), /no longer knows this device/);
  assert.equal(later.state, 'refused');
  await sleep(700);
  assert.equal(later.state, 'refused', 'a refusal is not retried');
});

test('the pairing fragment of the page address', () => {
  const pk = 'AB'.repeat(32);
  assert.deepEqual(parsePairingFragment(`#pair=012345&pk=${pk}`), { code: '012345', publicKey: pk.toLowerCase() });
  for (const bad of ['', '#pair=12345&pk=' + pk, '#pair=012345', `#pair=0123456&pk=${pk}`, `#pair=012345&pk=${pk}0`, '#pair=01234x&pk=' + pk]) {
    assert.equal(parsePairingFragment(bad), null, bad);
  }
});

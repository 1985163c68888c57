// Input-to-record latency of key events: sealed reliableInput frames over the web
// remote's WebSocket beside sealed 36-byte datagrams on the host's UDP port, one
// session, one daemon, one clock.
//   node --experimental-websocket bench/web_input_latency.mjs [EVENTS]
// EVENTS key events (down and up each count) per path, default 2000. TARVELD picks
// the daemon (default build/dev/tools/tarveld).
import { execFileSync, spawn } from 'node:child_process';
import dgram from 'node:dgram';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chacha20poly1305 } from '../web/node_modules/@noble/ciphers/chacha.js';
import { utf8 } from '../web/src/protocol/bytes.js';
import { nonce } from '../web/src/protocol/channel.js';
import { Payload, packet } from '../web/src/protocol/input.js';
import { KeyState, Remote } from '../web/src/protocol/remote.js';
import { memoryStorage, until } from '../web/test/support/host.mjs';

const root = new URL('..', import.meta.url).pathname;
const tarveld = process.env.TARVELD ?? path.join(root, 'build/dev/tools/tarveld');
const events = Number(process.argv[2] ?? 2000);
const warmup = 200;
const hid = 4;
const waitMs = 1000;
const randomPort = () => 20000 + Math.floor(Math.random() * 40000);

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvel-bench-'));
const fifo = path.join(dir, 'record.fifo');
execFileSync('mkfifo', [fifo]);
// Non-blocking, so the open does not wait for the daemon; the pipe handle is polled
// by the event loop like a socket, not read on the thread pool.
const reader = new net.Socket({ fd: fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK), readable: true });
let waiter = null;
let partial = '';
reader.on('data', (chunk) => {
  const at = performance.now();
  const lines = (partial + chunk).split('\n');
  partial = lines.pop();
  for (const line of lines) {
    const record = JSON.parse(line);
    if (record.op === 'key' && waiter && record.down === waiter.down) waiter.resolve(at);
  }
});

const port = randomPort();
const webPort = randomPort();
const child = spawn(tarveld, ['--data-dir', dir, '--sink', `record:${fifo}`, '--dns-sd', 'off',
  '--ports', `${port}-${port}`, '--web-ports', `${webPort}-${webPort}`,
  '--control-socket', path.join(dir, 'control'), '--pair'], { stdio: ['ignore', 'pipe', 'pipe'] });
let out = '';
let exited = false;
child.stdout.on('data', (c) => { out += c; });
child.stderr.on('data', (c) => { out += c; });
child.on('exit', () => { exited = true; });

const remote = new Remote({ url: `ws://127.0.0.1:${webPort}/ws`, storage: memoryStorage() });
const udp = dgram.createSocket('udp4');
let acks = 0;
udp.on('message', (m) => { if (m.length === 28) acks++; });

async function cleanup() {
  remote.close();
  udp.close();
  reader.destroy();
  if (!exited) {
    child.kill('SIGTERM');
    await until(() => exited, { timeoutMs: 3000, what: 'tarveld to stop' }).catch(() => child.kill('SIGKILL'));
  }
  fs.rmSync(dir, { recursive: true, force: true });
}

// One counter for both paths: the Remote draws ++link.seq for every frame, so the
// datagrams take theirs from the same place and the host's replay window only ever
// sees rising numbers whichever way an event arrives.
function sendUDP(key, down) {
  const seq = ++remote._link.seq;
  const [opcode, fill] = Payload.key(hid, down ? KeyState.down : KeyState.up);
  const clear = packet({ seq, opcode }, fill);
  const header = clear.subarray(0, 12);
  const sealed = chacha20poly1305(key, nonce(utf8('CUDP'), seq), header).encrypt(clear.subarray(12));
  const datagram = new Uint8Array(36);
  datagram.set(header);
  datagram.set(sealed, 12);
  udp.send(datagram);
}

// Send one event and time it until its record line arrives; null when none came in time.
function timed(send, down) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => { waiter = null; resolve(null); }, waitMs);
    waiter = { down, resolve: (at) => { clearTimeout(timer); waiter = null; resolve(at - start); } };
    const start = performance.now();
    send(down);
  });
}

const summary = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const q = (p) => s[Math.min(s.length - 1, Math.ceil(p * s.length) - 1)].toFixed(3);
  return `n=${s.length} p50=${q(0.5)} p90=${q(0.9)} p99=${q(0.99)} max=${s.at(-1).toFixed(3)} ms`;
};

function gzippedBundle() {
  const dist = path.join(root, 'build/dev/web/dist');
  if (!fs.existsSync(dist)) return null;
  return fs.readdirSync(dist, { recursive: true }).filter((f) => f.endsWith('.gz'))
    .reduce((n, f) => n + fs.statSync(path.join(dist, f)).size, 0);
}

try {
  await until(() => exited || /Web remote: /.test(out), { timeoutMs: 5000, what: 'tarveld to start' });
  if (exited) throw new Error(`tarveld exited: ${out}`);
  const code = /Pairing link: tarvel:\/\/pair\?\S*code=(\d{6})/.exec(out)?.[1];
  const pk = /Pairing link: tarvel:\/\/pair\?\S*pk=([0-9a-f]{64})/i.exec(out)?.[1];
  if (!code) throw new Error(`no pairing code in: ${out}`);
  await Promise.race([remote.pair(code, pk ?? null),
    new Promise((_, reject) => setTimeout(() => reject(new Error('pairing timed out')), 10000))]);
  const key = remote._link.channel.key;
  await new Promise((resolve) => udp.connect(port, '127.0.0.1', resolve));

  const paths = {
    WS: (down) => remote.key(hid, down ? KeyState.down : KeyState.up),
    UDP: (down) => sendUDP(key, down),
  };
  const samples = { WS: [], UDP: [] };
  const lost = { WS: 0, UDP: 0 };
  // Alternating press by press keeps drift in machine load from favouring either path.
  for (let i = 0; i < warmup + events; i += 2) {
    for (const name of ['WS', 'UDP']) {
      for (const down of [true, false]) {
        const ms = await timed(paths[name], down);
        if (ms === null) lost[name]++;
        else if (i >= warmup) samples[name].push(ms);
      }
    }
    if (lost.WS + lost.UDP > 20) throw new Error(`too many events went unrecorded: ${JSON.stringify(lost)}`);
  }
  for (const name of ['WS', 'UDP']) console.log(`${name.padEnd(3)} ${summary(samples[name])}  lost=${lost[name]}`);
  console.log(`UDP acknowledgements so far: ${acks} (the last may still be on its way)`);
  const gz = gzippedBundle();
  if (gz !== null) console.log(`web remote, gzipped (sum of .gz in build/dev/web/dist): ${gz} bytes`);
} catch (error) {
  console.error(error.message);
  process.exitCode = 1;
} finally {
  await cleanup();
}

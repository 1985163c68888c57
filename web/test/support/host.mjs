// Starts a real tarveld on loopback for a test and stops it (by PID) afterwards.
import { execFile, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

// The build's daemon (ctest sets TARVELD), else the optimised build's.
export const tarveld = process.env.TARVELD
  ?? new URL('../../../build/release/tools/tarveld', import.meta.url).pathname;
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const randomPort = () => 20000 + Math.floor(Math.random() * 40000);

export async function until(check, { timeoutMs = 4000, stepMs = 20, what = 'condition' } = {}) {
  for (const end = Date.now() + timeoutMs; ; await sleep(stepMs)) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
  }
}

// Map-backed Storage.
export function memoryStorage() {
  const map = new Map();
  return { getItem: (k) => map.get(k) ?? null, setItem: (k, v) => map.set(k, String(v)),
    removeItem: (k) => map.delete(k) };
}

class Host {
  constructor(dir, port, webPort) {
    const record = path.join(dir, 'record.jsonl');
    Object.assign(this, { dir, webPort, recordFile: record, url: `ws://127.0.0.1:${webPort}/ws`, lines: [] });
    this.stderr = '';
    this.child = spawn(tarveld, ['--data-dir', dir, '--sink', `record:${record}`, '--dns-sd', 'off', '--pair',
      '--control-socket', path.join(dir, 'control'), '--ports', `${port}-${port}`,
      '--web-ports', `${webPort}-${webPort}`], { stdio: ['ignore', 'pipe', 'pipe'] });
    readline.createInterface({ input: this.child.stdout }).on('line', (l) => this.lines.push(l));
    this.child.stderr.on('data', (chunk) => { this.stderr += chunk; });
    this.child.on('exit', () => { this.exited = true; });
  }

  line(prefix, after = 0) {
    return this.lines.slice(after).findLast((l) => l.startsWith(prefix))?.slice(prefix.length);
  }

  async ready() {
    const webReady = () => /web remote on port \d+/i.test(`${this.lines.join('\n')}\n${this.stderr}`);
    await until(() => this.exited || (this.line('Listening on port ') && this.line('Pairing link: ') && webReady()),
      { what: 'tarveld to start' });
    if (this.exited) throw new Error(`tarveld exited: ${this.stderr}`);
    this.readCode();
  }

  readCode() {
    const link = new URL(this.line('Pairing link: ').replace('tarvel://', 'http://')).searchParams;
    [this.code, this.publicKey, this.hostId] = ['code', 'pk', 'id'].map((k) => link.get(k));
  }

  // SIGUSR1 asks for a fresh code.
  async newCode() {
    const before = this.lines.length;
    this.child.kill('SIGUSR1');
    await until(() => this.line('Pairing link: ', before), { what: 'a new pairing code' });
    this.readCode();
    return this.code;
  }

  records() {
    if (!fs.existsSync(this.recordFile)) return [];
    return fs.readFileSync(this.recordFile, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
  }

  waitForRecords(predicate, what = 'recorded events') {
    return until(() => predicate(this.records()), { what });
  }

  control(...args) {
    return new Promise((resolve) => execFile(tarveld, [...args, '--control-socket', path.join(this.dir, 'control')],
      { timeout: 4000 }, (error, stdout) => resolve({ code: error?.code ?? 0, stdout })));
  }

  async stop() {
    if (!this.exited) {
      this.child.kill('SIGTERM');
      await until(() => this.exited, { what: 'tarveld to stop' }).catch(() => this.child.kill('SIGKILL'));
    }
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// Random ports; a few tries in case one is taken.
export async function startHost() {
  for (let attempt = 0; ; attempt++) {
    const host = new Host(fs.mkdtempSync(path.join(os.tmpdir(), 'tarvel-web-')), randomPort(), randomPort());
    try {
      await host.ready();
      return host;
    } catch (error) {
      await host.stop();
      if (attempt >= 2) throw error;
    }
  }
}

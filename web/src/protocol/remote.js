// The web remote's connection to its host: pairing, authentication, reconnection,
// keep-alive pings and every kind of input, all over one WebSocket.
import { ReconnectBackoff } from './backoff.js';
import { SecureChannel } from './channel.js';
import { FrameType, ProtocolError, decodeFrame, decodeJSON, encodeFrame, encodeJSON } from './frame.js';
import { ClientAuth, ClientPairing, HandshakeError, refusal } from './handshake.js';
import { forgetAll, loadHost, loadIdentity, loadOrCreateIdentity, saveHost } from './identity.js';
import { Payload, Phase, packet } from './input.js';
import { PadSender } from './pad_sender.js';
import { fromHex } from './bytes.js';

export { Phase } from './input.js';
export { fingerprintOf } from './identity.js';
export { parsePairingFragment } from './pairing_link.js';

export const Modifier = Object.freeze({ shift: 1, control: 2, option: 4, command: 8 });
export const KeyState = Object.freeze({ up: 0, down: 1, repeat: 2 });
export const Button = Object.freeze({ left: 1, right: 2, middle: 3 });
export const Swipe = Object.freeze({ up: 1, down: 2, right: 3, left: 4 });
export const Shortcut = Object.freeze({ copy: 1, paste: 2, cut: 3, undo: 4, redo: 5, selectAll: 6, find: 7, lockScreen: 8 });
export const Media = Object.freeze({ volumeUp: 1, volumeDown: 2, mute: 3, playPause: 4, next: 5, previous: 6, brightnessUp: 7, brightnessDown: 8 });
export const PadButton = Object.freeze({
  a: 0x001, b: 0x002, x: 0x004, y: 0x008, leftBumper: 0x010, rightBumper: 0x020,
  leftStick: 0x040, rightStick: 0x080, start: 0x100, back: 0x200, guide: 0x400,
});
export const Hat = Object.freeze({ neutral: 0, north: 1, northEast: 2, east: 3, southEast: 4, south: 5, southWest: 6, west: 7, northWest: 8 });

const handshakeLimitMs = 15000;
const silenceLimitMs = 10000;
const pingIntervalMs = 3000;
// The host releases held keys and buttons after 1.5 s without a frame; Wi-Fi
// jitter must not eat that margin.
const heldPingIntervalMs = 500;
// Above this much unsent data, moves, scrolls and stick updates wait and merge:
// after a stall the host should get where the finger is, not the path it took.
const congestedBytes = 8192;
const drainCheckMs = 20;
const tickMs = 250;
const maxPingsAwaited = 16;

const messages = {
  idle: 'Not connected.',
  noActiveCode: 'No pairing code is active on the host.',
  invalidCode: 'Wrong pairing code.',
  unpaired: 'This host no longer knows this device — pair again.',
  removedByHost: 'The host removed this device — pair again.',
  hostKeyMismatch: 'The host’s key does not match the pairing link.',
  pinnedMismatch: 'This is not the host this device paired with.',
  badMac: 'The host could not prove its identity.',
  badSignature: 'The host could not prove its identity.',
  rejected: 'The host refused the connection.',
  protocol: 'The host sent something this remote cannot read.',
  timeout: 'The host stopped answering.',
  unreachable: 'Cannot reach the host.',
  lost: 'The host closed the connection.',
  gaveUp: 'Gave up reaching the host.',
  notPaired: 'This browser is not paired with a host.',
  closed: 'Disconnected.',
};

class Failure extends Error {
  constructor(kind, refused = false) {
    super(messages[kind] ?? kind);
    this.kind = kind;
    this.refused = refused;
  }
}

// Host refusals and an unauthentic host: retrying would not help.
function failureOf(error, mode) {
  if (error instanceof Failure) return error;
  if (error instanceof HandshakeError) {
    if (error.kind === 'malformed') return new Failure('protocol');
    if (error.kind === 'hostKeyMismatch' && mode === 'auth') return new Failure('pinnedMismatch', true);
    return new Failure(error.kind, true);
  }
  if (error instanceof ProtocolError) return new Failure('protocol');
  return new Failure('protocol');
}

export class Remote extends EventTarget {
  constructor({ url, storage, WebSocketImpl = globalThis.WebSocket, clock = () => performance.now(), deviceName = 'Web remote', deviceModel = 'Browser' }) {
    super();
    Object.assign(this, { url, storage, WebSocketImpl, clock, deviceName, deviceModel });
    this._state = 'idle';
    this._message = messages.idle;
    this._latency = null;
    this._link = null;
    this._retry = null;
    this._wanted = false;
    this._pending = null;
    this._backoff = new ReconnectBackoff();
    this.pad = new PadSender({
      clock,
      // A refresh repeats what was sent, so a newer one supersedes it; a change never waits.
      sink: (kind, s, ack, refresh) => kind === 'sticks'
        ? this._continuous('sticks', { ack }, () => Payload.sticks(s.lx, s.ly, s.rx, s.ry))
        : refresh
          ? this._continuous('buttons', { ack }, () => Payload.buttons(s.buttons, s.hat, s.lt, s.rt))
          : this._input(Payload.buttons(s.buttons, s.hat, s.lt, s.rt), { ack }),
    });
  }

  get state() { return this._state; }
  get message() { return this._message; }
  get host() { return loadHost(this.storage); }
  get latencyMs() { return this._latency; }
  isPaired() { return loadIdentity(this.storage) !== null && loadHost(this.storage) !== null; }

  pair(code, expectedPublicKeyHex = null) {
    this._stop();
    const expectedHostKey = expectedPublicKeyHex === null ? null : fromHex(expectedPublicKeyHex, 32);
    if (expectedPublicKeyHex !== null && !expectedHostKey) return Promise.reject(new Error(messages.hostKeyMismatch));
    if (!/^\d{6}$/.test(String(code))) return Promise.reject(new Error(messages.invalidCode));
    const handshake = new ClientPairing({
      identity: loadOrCreateIdentity(this.storage), deviceName: this.deviceName, deviceModel: this.deviceModel,
      code: String(code), expectedHostKey,
    });
    const promise = this._expect();
    this._open('pair', handshake);
    return promise;
  }

  connect() {
    this._stop();
    if (!this.isPaired()) {
      this._setState('idle', messages.notPaired);
      return Promise.reject(new Error(messages.notPaired));
    }
    this._wanted = true;
    this._backoff.reset();
    const promise = this._expect();
    this._attempt();
    return promise;
  }

  close() {
    this._stop();
    this._setState('idle', messages.closed);
  }

  forget() {
    this.close();
    forgetAll(this.storage);
  }

  ping() {
    const link = this._link;
    if (!link || !link.channel) return Promise.reject(new Error(messages.idle));
    return new Promise((resolve, reject) => {
      const ts = Math.max(Math.floor(this.clock() * 1000), (link.lastTs ?? 0) + 1);
      link.lastTs = ts;
      if (link.pings.size >= maxPingsAwaited) {
        const [oldest, waiter] = link.pings.entries().next().value;
        link.pings.delete(oldest);
        waiter.reject(new Error(messages.timeout));
      }
      link.pings.set(ts, { resolve, reject, sentAt: this.clock() });
      link.lastPing = this.clock();
      this._sealed(link, FrameType.ping, encodeJSON({ ts }));
    });
  }

  move(dx, dy) { return this._continuous('move', {}, (d) => Payload.mouseMove(d.x, d.y), { x: dx, y: dy }); }
  button(button, down, clickCount = 1) {
    const sent = this._input(Payload.mouseButton(button, down, clickCount));
    if (sent) this._hold(`b${button}`, down);
    return sent;
  }
  scroll(sx, sy, phase = Phase.none) {
    // Only deltas merge; a phase boundary is never dropped.
    if (phase === Phase.began || phase === Phase.ended || phase === Phase.cancelled) return this._input(Payload.scroll(sx, sy), { phase });
    return this._continuous(`scroll${phase}`, { phase }, (d) => Payload.scroll(d.x, d.y), { x: sx, y: sy });
  }
  pinch(scaleDelta, velocity, phase) { return this._input(Payload.pinch(scaleDelta, velocity), { phase }); }
  swipe(direction) { return this._input(Payload.swipe(direction)); }
  key(hid, state, modifierMask = 0) {
    const sent = this._input(Payload.key(hid, state), { modifiers: modifierMask });
    if (sent) this._hold(`k${hid}`, state !== KeyState.up);
    return sent;
  }
  modifiers(mask) {
    const sent = this._input(Payload.modifiers(mask));
    if (sent) this._hold('m', mask !== 0);
    return sent;
  }
  shortcut(actionId) { return this._input(Payload.shortcut(actionId)); }
  media(mediaId) { return this._input(Payload.media(mediaId)); }
  // Lets go of every key, button and pad control this remote holds on the host,
  // e.g. when the page is hidden before the fingers lifted. Sends nothing when
  // nothing is held, so an idle page never takes control from another device.
  releaseAll() {
    const link = this._link;
    const padHeld = this.pad.held;
    this.pad.resetLocal();
    if (!link || !link.channel) return false;
    if (link.held.size === 0 && !padHeld) return false;
    link.held.clear();
    return this._input(Payload.resetState());
  }

  text(string) { return this._sealedIfConnected(FrameType.textUTF8, { text: String(string) }); }
  clipboard(text, autoPaste) { return this._sealedIfConnected(FrameType.clipboardSet, { text: String(text), autoPaste: !!autoPaste }); }

  // --- connection machinery ---

  _setState(state, message) {
    if (state === this._state && message === this._message) return;
    this._state = state;
    this._message = message;
    this.dispatchEvent(new CustomEvent('statechange', { detail: { state, message } }));
  }

  _expect() {
    return new Promise((resolve, reject) => { this._pending = { resolve, reject }; });
  }

  _settle(error) {
    const pending = this._pending;
    this._pending = null;
    if (!pending) return;
    if (error) pending.reject(new Error(error.message));
    else pending.resolve();
  }

  _stop() {
    this._wanted = false;
    clearTimeout(this._retry);
    this._retry = null;
    this._closeLink();
    this._settle(new Failure('closed'));
  }

  _attempt() {
    this._retry = null;
    const identity = loadIdentity(this.storage);
    const host = loadHost(this.storage);
    if (!identity || !host) return this._giveUp(new Failure('notPaired'));
    this._open('auth', new ClientAuth({ identity, deviceName: this.deviceName, host }));
  }

  _open(mode, handshake) {
    this._setState(mode === 'pair' ? 'pairing' : 'connecting', mode === 'pair' ? 'Pairing…' : 'Connecting…');
    const link = { mode, handshake, channel: null, seq: 0, pings: new Map(), held: new Set(), pending: new Map(), opened: false };
    this._link = link;
    link.deadline = setTimeout(() => this._fail(link, new Failure('timeout')), handshakeLimitMs);
    let ws;
    try {
      ws = new this.WebSocketImpl(this.url);
      ws.binaryType = 'arraybuffer';
    } catch {
      queueMicrotask(() => this._fail(link, new Failure('unreachable')));
      return;
    }
    link.ws = ws;
    ws.onopen = () => this._guard(link, () => {
      link.opened = true;
      if (mode === 'pair') {
        this._send(link, encodeFrame(FrameType.pairRequest, handshake.request()));
      } else {
        this._setState('authenticating', 'Checking the host…');
        this._send(link, encodeFrame(FrameType.authHello, handshake.hello()));
      }
    });
    ws.onmessage = (event) => this._guard(link, () => this._receive(link, event.data));
    ws.onclose = () => this._guard(link, () => {
      throw new Failure(link.channel ? 'lost' : link.opened ? 'lost' : 'unreachable');
    });
    ws.onerror = () => {};
  }

  // Nothing escapes an event handler: any fault closes the link with its message.
  _guard(link, body) {
    if (this._link !== link) return;
    try {
      body();
    } catch (error) {
      this._fail(link, error);
    }
  }

  _send(link, bytes) {
    link.ws.send(bytes);
    link.lastSent = this.clock();
  }

  _receive(link, data) {
    if (!(data instanceof ArrayBuffer)) throw new ProtocolError('text message');
    const frame = decodeFrame(data);
    link.lastReceived = this.clock();
    if (link.channel) return this._established(link, frame);
    const refused = refusal(frame.type, frame.body);
    if (refused) throw refused;
    const { mode, handshake } = link;
    if (mode === 'pair' && frame.type === FrameType.pairChallenge) {
      this._send(link, encodeFrame(FrameType.pairConfirm, handshake.challenge(frame.body)));
    } else if (mode === 'pair' && frame.type === FrameType.pairComplete) {
      const { host, sessionKey } = handshake.complete(frame.body);
      const record = saveHost(this.storage, host);
      this.dispatchEvent(new CustomEvent('host', { detail: record }));
      this._establish(link, new SecureChannel(sessionKey));
    } else if (mode === 'auth' && frame.type === FrameType.authChallenge && !link.pendingKey) {
      const { response, sessionKey, hostName } = handshake.challenge(frame.body);
      link.pendingKey = sessionKey;
      link.hostName = hostName;
      this._send(link, encodeFrame(FrameType.authResponse, response));
    } else if (mode === 'auth' && frame.type === FrameType.authOK && link.pendingKey) {
      const channel = new SecureChannel(link.pendingKey);
      try {
        channel.open(frame);
      } catch {
        throw new Failure('badSignature', true);
      }
      const host = this.host;
      if (host && link.hostName !== host.name) saveHost(this.storage, { ...host, name: link.hostName });
      this._establish(link, channel);
    } else {
      throw new ProtocolError('unexpected frame');
    }
  }

  _establish(link, channel) {
    clearTimeout(link.deadline);
    link.handshake = null;
    link.channel = channel;
    link.lastPing = this.clock();
    link.ticker = setInterval(() => this._guard(link, () => this._tick(link)), tickMs);
    this._wanted = true;
    this._backoff.reset();
    this._setState('connected', `Connected to ${this.host?.name ?? 'the host'}.`);
    this._settle(null);
  }

  _established(link, frame) {
    const plain = link.channel.open(frame);
    if (frame.type === FrameType.unpairedByHost) throw new Failure('removedByHost', true);
    if (frame.type !== FrameType.pong) return;
    let ts;
    try {
      ts = decodeJSON(plain, { ts: 'uint' }).ts;
    } catch {
      return; // only answers to our own pings count
    }
    const waiter = link.pings.get(ts);
    if (!waiter) return;
    link.pings.delete(ts);
    this._latency = Math.max(0, this.clock() - waiter.sentAt);
    this.dispatchEvent(new CustomEvent('latency', { detail: { ms: this._latency } }));
    waiter.resolve(this._latency);
  }

  _tick(link) {
    const now = this.clock();
    if (now - link.lastReceived > silenceLimitMs) throw new Failure('timeout');
    const held = link.held.size > 0 && now - link.lastSent >= heldPingIntervalMs;
    if (held || now - link.lastPing >= pingIntervalMs) this.ping().catch(() => {});
  }

  _fail(link, error) {
    if (this._link !== link) return;
    const failure = failureOf(error, link.mode);
    const wasEstablished = !!link.channel;
    this._closeLink();
    if (failure.refused || (link.mode === 'pair' && !wasEstablished)) {
      this._wanted = false;
      this._setState(failure.refused ? 'refused' : 'idle', failure.message);
      this._settle(failure);
      return;
    }
    if (!this._wanted) return this._giveUp(failure);
    const delay = this._backoff.next(this.clock() / 1000, Math.random() * 2 - 1);
    if (delay === null) return this._giveUp(new Failure('gaveUp'));
    this._setState('waiting', `${failure.message} Retrying in ${Math.max(1, Math.round(delay))} s…`);
    this._retry = setTimeout(() => this._attempt(), delay * 1000);
  }

  _giveUp(failure) {
    this._wanted = false;
    this._setState('idle', failure.message);
    this._settle(failure);
  }

  _closeLink() {
    const link = this._link;
    if (!link) return;
    this._link = null;
    clearTimeout(link.deadline);
    clearInterval(link.ticker);
    clearTimeout(link.drain);
    this.pad.resetLocal();
    for (const waiter of link.pings.values()) waiter.reject(new Error(messages.closed));
    if (link.ws) {
      link.ws.onopen = link.ws.onmessage = link.ws.onclose = null;
      try {
        link.ws.close();
      } catch {}
    }
  }

  _hold(id, down) {
    const held = this._link?.held;
    if (down) held?.add(id);
    else held?.delete(id);
  }

  _sealed(link, type, plaintext) {
    this._send(link, link.channel.seal(type, plaintext));
  }

  _sealedIfConnected(type, body) {
    const link = this._link;
    if (!link || !link.channel) return false;
    try {
      this._flush(link);
      this._sealed(link, type, encodeJSON(body));
      return true;
    } catch (error) {
      if (error instanceof ProtocolError) return false; // too large for one frame
      this._fail(link, error);
      return false;
    }
  }

  _input([opcode, fill], options = {}) {
    const link = this._link;
    if (!link || !link.channel) return false;
    try {
      this._flush(link);
      this._sendInput(link, opcode, fill, options);
      return true;
    } catch (error) {
      this._fail(link, error);
      return false;
    }
  }

  _sendInput(link, opcode, fill, options) {
    this._sealed(link, FrameType.reliableInput, packet({ seq: ++link.seq, opcode, ...options }, fill));
  }

  // A packet the next one supersedes: sent at once while the socket keeps up,
  // else it waits, adding its delta to the one waiting under the same key
  // (a stick position just replaces it).
  _continuous(key, options, make, delta = null) {
    const link = this._link;
    if (!link || !link.channel) return false;
    if (link.pending.size === 0 && !this._congested(link)) return this._input(make(delta), options);
    const waiting = link.pending.get(key);
    const sum = waiting && delta ? { x: waiting.sum.x + delta.x, y: waiting.sum.y + delta.y } : delta;
    link.pending.delete(key); // re-inserted last, behind what waited before it
    link.pending.set(key, { payload: make(sum), options, sum });
    this._awaitDrain(link);
    return true;
  }

  _congested(link) {
    return (link.ws.bufferedAmount ?? 0) > congestedBytes;
  }

  _awaitDrain(link) {
    if (link.drain) return;
    link.drain = setTimeout(() => this._guard(link, () => {
      link.drain = null;
      if (this._congested(link)) return this._awaitDrain(link);
      this._flush(link);
    }), drainCheckMs);
  }

  // Anything else goes out after what waited, so the order on the host holds.
  _flush(link) {
    if (link.pending.size === 0) return;
    const waiting = [...link.pending.values()];
    link.pending.clear();
    for (const { payload: [opcode, fill], options } of waiting) this._sendInput(link, opcode, fill, options);
  }
}

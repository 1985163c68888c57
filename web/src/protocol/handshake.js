// Client halves of the pairing and authentication handshakes.
import { ed25519, x25519 } from '@noble/curves/ed25519.js';
import { hkdf } from '@noble/hashes/hkdf.js';
import { hmac } from '@noble/hashes/hmac.js';
import { sha256 } from '@noble/hashes/sha2.js';
import { concat, equalBytes, fromHex, randomBytes, toHex, utf8 } from './bytes.js';
import { FrameType, ProtocolError, decodeJSON, encodeJSON } from './frame.js';

// kind: malformed | noActiveCode | invalidCode | unpaired | rejected | badMac | badSignature | hostKeyMismatch
export class HandshakeError extends Error {
  constructor(kind, reason = kind) {
    super(reason);
    this.kind = kind;
  }
}

const malformed = () => new HandshakeError('malformed');

// A refusal frame read as the error it stands for, or null for any other frame.
export function refusal(type, body) {
  if (type === FrameType.errUnpaired) return new HandshakeError('unpaired');
  if (type !== FrameType.pairReject) return null;
  let reason = 'rejected';
  try {
    reason = decodeJSON(body, { reason: 'string' }).reason;
  } catch {}
  if (reason === 'no_active_code') return new HandshakeError('noActiveCode');
  if (reason === 'invalid_code') return new HandshakeError('invalidCode');
  return new HandshakeError('rejected', reason);
}

function decode(body, schema) {
  try {
    return decodeJSON(body, schema);
  } catch (e) {
    if (e instanceof ProtocolError) throw malformed();
    throw e;
  }
}

function hexField(text, count) {
  const bytes = fromHex(text, count);
  if (!bytes) throw malformed();
  return bytes;
}

function dh(hostX, secret) {
  try {
    return x25519.getSharedSecret(secret, hostX);
  } catch {
    throw malformed();
  }
}

export function verify(signature, message, publicKey) {
  try {
    return ed25519.verify(signature, message, publicKey, { zip215: false });
  } catch {
    return false;
  }
}

export const pairTranscript = (clientId, hostId, clientX, hostX, clientEd, hostEd, clientNonce, hostNonce) =>
  concat(utf8('RC_PAIR_V1'), utf8(clientId), utf8(hostId), clientX, hostX, clientEd, hostEd, clientNonce, hostNonce);

export const authTranscript = (clientId, hostId, clientX, hostX, clientNonce, hostNonce) =>
  concat(utf8('RC_AUTH_V1'), utf8(clientId), utf8(hostId), clientX, hostX, clientNonce, hostNonce);

export function pairKeys(shared, code, transcript) {
  const okm = hkdf(sha256, shared, utf8(code), transcript, 64);
  return { sessionKey: okm.slice(0, 32), authKey: okm.slice(32) };
}

export const confirmMac = (authKey, label, transcript) => hmac(sha256, authKey, concat(utf8(label), transcript));

const osTypes = ['macos', 'windows'];

const endpointFields = { hostId: 'string', hostName: 'string', osType: 'string', lanEndpoints: 'strings', tailscaleEndpoints: 'strings', deviceType: 'string?' };

export class ClientPairing {
  // expectedHostKey: the key from the pairing link, checked before anything proves the code.
  constructor({ identity, deviceName, deviceModel, code, expectedHostKey = null }) {
    Object.assign(this, { identity, deviceName, deviceModel, code, expectedHostKey });
    this.secret = x25519.utils.randomSecretKey();
    this.nonce = randomBytes(16);
    this.state = 'fresh';
  }

  request() {
    this.state = 'requested';
    return encodeJSON({
      clientId: this.identity.id,
      deviceName: this.deviceName,
      deviceModel: this.deviceModel,
      clientX25519PubHex: toHex(x25519.getPublicKey(this.secret)),
      clientEd25519PubHex: toHex(this.identity.publicKey),
      clientNonceHex: toHex(this.nonce),
    });
  }

  challenge(body) {
    if (this.state !== 'requested') throw new HandshakeError('malformed', 'out of order');
    this.state = 'done';
    const c = decode(body, { ...endpointFields, hostX25519PubHex: 'string', hostEd25519PubHex: 'string', hostNonceHex: 'string' });
    const hostX = hexField(c.hostX25519PubHex, 32);
    const hostEd = hexField(c.hostEd25519PubHex, 32);
    const hostNonce = hexField(c.hostNonceHex, 16);
    if (!osTypes.includes(c.osType)) throw malformed();
    if (this.expectedHostKey && !equalBytes(this.expectedHostKey, hostEd)) throw new HandshakeError('hostKeyMismatch');
    this.transcript = pairTranscript(this.identity.id, c.hostId, x25519.getPublicKey(this.secret), hostX,
      this.identity.publicKey, hostEd, this.nonce, hostNonce);
    this.keys = pairKeys(dh(hostX, this.secret), this.code, this.transcript);
    this.host = { hostId: c.hostId, name: c.hostName, publicKey: toHex(hostEd) };
    this.hostEd = hostEd;
    this.state = 'challenged';
    return encodeJSON({
      clientMacHex: toHex(confirmMac(this.keys.authKey, 'CLIENT_CONFIRM', this.transcript)),
      clientSigHex: toHex(this.identity.sign(this.transcript)),
    });
  }

  // The host record to pin and the session key.
  complete(body) {
    if (this.state !== 'challenged') throw new HandshakeError('malformed', 'out of order');
    this.state = 'done';
    const c = decode(body, { hostMacHex: 'string', hostSigHex: 'string', udpPort: 'int' });
    const mac = hexField(c.hostMacHex, 32);
    const sig = hexField(c.hostSigHex, 64);
    if (!equalBytes(mac, confirmMac(this.keys.authKey, 'HOST_CONFIRM', this.transcript))) throw new HandshakeError('badMac');
    if (!verify(sig, this.transcript, this.hostEd)) throw new HandshakeError('badSignature');
    return { host: this.host, sessionKey: this.keys.sessionKey };
  }
}

export class ClientAuth {
  constructor({ identity, deviceName, host }) {
    Object.assign(this, { identity, deviceName, host });
    this.secret = x25519.utils.randomSecretKey();
    this.nonce = randomBytes(16);
    this.state = 'fresh';
  }

  hello() {
    this.state = 'sent';
    return encodeJSON({
      clientId: this.identity.id,
      deviceName: this.deviceName,
      clientX25519PubHex: toHex(x25519.getPublicKey(this.secret)),
      clientNonceHex: toHex(this.nonce),
    });
  }

  // The response body, the session key and the host's current name.
  challenge(body) {
    if (this.state !== 'sent') throw new HandshakeError('malformed', 'out of order');
    this.state = 'done';
    const c = decode(body, { ...endpointFields, hostX25519PubHex: 'string', hostNonceHex: 'string', hostSigHex: 'string', udpPort: 'int' });
    if (c.hostId !== this.host.hostId) throw new HandshakeError('hostKeyMismatch');
    const pinned = fromHex(this.host.publicKey, 32);
    if (!pinned) throw new HandshakeError('hostKeyMismatch');
    const hostX = hexField(c.hostX25519PubHex, 32);
    const hostNonce = hexField(c.hostNonceHex, 16);
    const sig = hexField(c.hostSigHex, 64);
    const clientX = x25519.getPublicKey(this.secret);
    const transcript = authTranscript(this.identity.id, c.hostId, clientX, hostX, this.nonce, hostNonce);
    // Only the key pinned at pairing counts; we sign nothing before the host proved itself.
    if (!verify(sig, transcript, pinned)) throw new HandshakeError('badSignature');
    const sessionKey = hkdf(sha256, dh(hostX, this.secret), concat(this.nonce, hostNonce), transcript, 32);
    return {
      response: encodeJSON({ clientSigHex: toHex(this.identity.sign(transcript)) }),
      sessionKey,
      hostName: c.hostName,
    };
  }
}

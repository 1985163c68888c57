// ChaCha20-Poly1305 sealing of control frames, one counter per direction.
import { chacha20poly1305 } from '@noble/ciphers/chacha.js';
import { utf8, writeU64 } from './bytes.js';
import { ProtocolError, encodeFrame, maxPayloadLen } from './frame.js';

const prefixes = { client: utf8('CTCP'), host: utf8('HTCP') };

export function nonce(prefix, counter) {
  const out = new Uint8Array(12);
  out.set(prefix);
  writeU64(new DataView(out.buffer), 4, counter);
  return out;
}

function aad(type, payloadLen) {
  const out = new Uint8Array(5);
  out[0] = type;
  new DataView(out.buffer).setUint32(1, payloadLen, true);
  return out;
}

export class SecureChannel {
  constructor(key) {
    this.key = key;
    this.sendCounter = 0;
    this.recvCounter = 0;
  }

  // A failed seal uses no counter value.
  seal(type, plaintext) {
    const payloadLen = plaintext.length + 17;
    if (payloadLen > maxPayloadLen) throw new ProtocolError('frame too large');
    const box = chacha20poly1305(this.key, nonce(prefixes.client, this.sendCounter), aad(type, payloadLen));
    const frame = encodeFrame(type, box.encrypt(plaintext));
    this.sendCounter++;
    return frame;
  }

  // TCP order means frame n opens with counter n; a replayed or reordered frame fails.
  open({ type, body }) {
    if (body.length < 16) throw new ProtocolError('a sealed frame failed to open');
    let plain;
    try {
      plain = chacha20poly1305(this.key, nonce(prefixes.host, this.recvCounter), aad(type, body.length + 1)).decrypt(body);
    } catch {
      throw new ProtocolError('a sealed frame failed to open');
    }
    this.recvCounter++;
    return plain;
  }
}

// Control frames (4-byte LE length, type byte, body) and their JSON bodies.
import { fromUtf8, utf8 } from './bytes.js';

export const FrameType = Object.freeze({
  getInfo: 0x10, pairRequest: 0x10, pairChallenge: 0x11, pairConfirm: 0x12, pairComplete: 0x13,
  infoReply: 0x14, pairReject: 0x1f, authHello: 0x20, authChallenge: 0x21, authResponse: 0x22,
  authOK: 0x23, errUnpaired: 0x2f, ping: 0x30, pong: 0x31, textUTF8: 0x32, clipboardSet: 0x33,
  reliableInput: 0x34, unpairedByHost: 0x3f,
});

export const maxPayloadLen = 0x10000;

export class ProtocolError extends Error {}

export function encodeFrame(type, body) {
  const length = body.length + 1;
  if (length > maxPayloadLen) throw new ProtocolError('frame too large');
  const out = new Uint8Array(length + 4);
  new DataView(out.buffer).setUint32(0, length, true);
  out[4] = type;
  out.set(body, 5);
  return out;
}

// One WebSocket message carries exactly one frame, nothing more or less.
export function decodeFrame(message) {
  const bytes = message instanceof Uint8Array ? message : new Uint8Array(message);
  if (bytes.length < 5) throw new ProtocolError('short frame');
  const length = new DataView(bytes.buffer, bytes.byteOffset, 4).getUint32(0, true);
  if (length < 1 || length > maxPayloadLen || length + 4 !== bytes.length) {
    throw new ProtocolError('a message is not exactly one frame');
  }
  return { type: bytes[4], body: bytes.subarray(5) };
}

function sorted(value) {
  if (Array.isArray(value)) return value.map(sorted);
  if (value !== null && typeof value === 'object') {
    const out = {};
    for (const key of Object.keys(value).sort()) if (value[key] !== undefined) out[key] = sorted(value[key]);
    return out;
  }
  return value;
}

// Sorted keys, no whitespace, "/" unescaped: the host's encoding byte for byte.
export const encodeJSON = (value) => utf8(JSON.stringify(sorted(value)));

const checks = {
  string: (v) => typeof v === 'string',
  uint: (v) => Number.isSafeInteger(v) && v >= 0,
  int: (v) => Number.isSafeInteger(v),
  bool: (v) => typeof v === 'boolean',
  strings: (v) => Array.isArray(v) && v.every((s) => typeof s === 'string'),
  'string?': (v) => v === undefined || v === null || typeof v === 'string',
};

// Decodes a JSON object body whose listed keys must have their types; other keys are ignored.
export function decodeJSON(body, schema) {
  let value;
  try {
    value = JSON.parse(fromUtf8(body));
  } catch {
    throw new ProtocolError('a body is not JSON');
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) throw new ProtocolError('a body is not an object');
  for (const [key, kind] of Object.entries(schema)) {
    if (!checks[kind](value[key])) throw new ProtocolError(`bad or missing "${key}"`);
  }
  return value;
}

// This browser's identity and the host it paired with, kept in a Storage-like object.
import { ed25519 } from '@noble/curves/ed25519.js';
import { sha256 } from '@noble/hashes/sha2.js';
import { fromHex, randomBytes, randomUUID, toHex } from './bytes.js';

const identityKey = 'tarvel.identity';
const hostKey = 'tarvel.host';

export const fingerprintOf = (publicKey) => toHex(sha256(publicKey).subarray(0, 8));

function makeIdentity(id, seed) {
  return { id, publicKey: ed25519.getPublicKey(seed), sign: (message) => ed25519.sign(message, seed), seed };
}

function read(storage, key) {
  try {
    return JSON.parse(storage.getItem(key) ?? 'null');
  } catch {
    return null;
  }
}

// A damaged entry is replaced by a new identity, as if there had been none.
export function loadOrCreateIdentity(storage) {
  const saved = read(storage, identityKey);
  const seed = saved && typeof saved.id === 'string' ? fromHex(saved.seed, 32) : null;
  if (seed) return makeIdentity(saved.id, seed);
  const identity = makeIdentity(randomUUID(), randomBytes(32));
  storage.setItem(identityKey, JSON.stringify({ id: identity.id, seed: toHex(identity.seed) }));
  return identity;
}

export function loadIdentity(storage) {
  const saved = read(storage, identityKey);
  const seed = saved && typeof saved.id === 'string' ? fromHex(saved.seed, 32) : null;
  return seed ? makeIdentity(saved.id, seed) : null;
}

// {hostId, name, publicKey (hex), fingerprint} or null.
export function loadHost(storage) {
  const h = read(storage, hostKey);
  if (!h || typeof h.hostId !== 'string' || typeof h.name !== 'string') return null;
  const key = fromHex(h.publicKey, 32);
  return key ? { hostId: h.hostId, name: h.name, publicKey: toHex(key), fingerprint: fingerprintOf(key) } : null;
}

export function saveHost(storage, { hostId, name, publicKey }) {
  const record = { hostId, name, publicKey, fingerprint: fingerprintOf(fromHex(publicKey, 32)) };
  storage.setItem(hostKey, JSON.stringify(record));
  return record;
}

export function forgetAll(storage) {
  storage.removeItem(hostKey);
  storage.removeItem(identityKey);
}

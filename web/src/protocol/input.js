// The 20-byte clear input packet: 12-byte header then an 8-byte payload.
import { writeU64 } from './bytes.js';

export const Opcode = Object.freeze({
  mouseMove: 1, mouseButton: 2, scroll: 3, keyEvent: 4, pinchZoom: 6, threeFingerSwipe: 7,
  shortcutAction: 8, modifierState: 9, mediaKey: 10, gamepadSticks: 11, gamepadButtons: 12, resetState: 15,
});

export const Phase = Object.freeze({ none: 0, began: 1, changed: 2, ended: 3, momentum: 4, cancelled: 5 });

// Continuous streams are superseded by their next packet, so they ask for no acknowledgement.
export function defaultAck(opcode, phase) {
  switch (opcode) {
    case Opcode.mouseMove:
    case Opcode.scroll:
    case Opcode.gamepadSticks:
      return false;
    case Opcode.pinchZoom:
      return phase === Phase.ended;
    default:
      return true;
  }
}

// `fill(view)` writes the payload at offset 12.
export function packet({ seq, opcode, modifiers = 0, phase = Phase.none, ack = defaultAck(opcode, phase) }, fill) {
  const out = new Uint8Array(20);
  const view = new DataView(out.buffer);
  out[0] = 1;
  out[1] = opcode;
  out[2] = modifiers & 0xff;
  out[3] = ((phase & 0x0f) << 4) | (ack ? 1 : 0);
  writeU64(view, 4, seq);
  if (fill) fill(view);
  return out;
}

const P = 12;
const f32 = (x) => (Number.isFinite(x) ? x : 0);
const clampInt = (x, lo, hi) => Math.min(hi, Math.max(lo, Math.round(Number(x) || 0)));

// Payload writers by event; each returns [opcode, fill].
export const Payload = {
  mouseMove: (dx, dy) => [Opcode.mouseMove, (v) => { v.setFloat32(P, f32(dx), true); v.setFloat32(P + 4, f32(dy), true); }],
  mouseButton: (button, down, clickCount) => [Opcode.mouseButton, (v) => {
    v.setUint8(P, clampInt(button, 0, 255));
    v.setUint8(P + 1, down ? 1 : 0);
    v.setUint8(P + 2, clampInt(clickCount, 0, 255));
  }],
  scroll: (sx, sy) => [Opcode.scroll, (v) => { v.setFloat32(P, f32(sx), true); v.setFloat32(P + 4, f32(sy), true); }],
  key: (hid, state) => [Opcode.keyEvent, (v) => { v.setUint16(P, clampInt(hid, 0, 0xffff), true); v.setUint8(P + 2, clampInt(state, 0, 2)); }],
  pinch: (scaleDelta, velocity) => [Opcode.pinchZoom, (v) => { v.setFloat32(P, f32(scaleDelta), true); v.setFloat32(P + 4, f32(velocity), true); }],
  swipe: (direction) => [Opcode.threeFingerSwipe, (v) => v.setUint8(P, clampInt(direction, 0, 255))],
  shortcut: (actionId) => [Opcode.shortcutAction, (v) => v.setUint8(P, clampInt(actionId, 0, 255))],
  modifiers: (mask) => [Opcode.modifierState, (v) => v.setUint8(P, clampInt(mask, 0, 255))],
  media: (mediaId) => [Opcode.mediaKey, (v) => v.setUint8(P, clampInt(mediaId, 0, 255))],
  sticks: (lx, ly, rx, ry) => [Opcode.gamepadSticks, (v) => {
    [lx, ly, rx, ry].forEach((a, i) => v.setInt16(P + 2 * i, clampInt(a, -32768, 32767), true));
  }],
  resetState: () => [Opcode.resetState, null],
  buttons: (buttons, hat, lt, rt) => [Opcode.gamepadButtons, (v) => {
    v.setUint32(P, clampInt(buttons, 0, 0xffffffff), true);
    v.setUint8(P + 4, clampInt(hat, 0, 8));
    v.setUint8(P + 5, clampInt(lt, 0, 255));
    v.setUint8(P + 6, clampInt(rt, 0, 255));
  }],
};

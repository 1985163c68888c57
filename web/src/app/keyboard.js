import { KeyState } from '../protocol/remote.js';

export const HID = { enter: 0x28, escape: 0x29, backspace: 0x2a, tab: 0x2b, space: 0x2c, right: 0x4f, left: 0x50, down: 0x51, up: 0x52 };
const SHIFT = 1;
const DOUBLE_TAP_MS = 350;
const REPEAT_DELAY_MS = 450;
const REPEAT_EVERY_MS = 60;

// Buttons next to the field must not take the focus, or the soft keyboard closes.
function keepFocus(el) {
  for (const t of ['mousedown', 'touchstart']) el.addEventListener(t, (e) => e.preventDefault(), { passive: false });
}

// What the field gained and lost since the last look, assuming the computer's
// caret sits at the end of what was typed: everything after the first
// difference is erased and typed again. Counted in code points, one
// Backspace each.
export function textDiff(before, after) {
  const a = Array.from(before), b = Array.from(after);
  let i = 0;
  while (i < a.length && i < b.length && a[i] === b[i]) i++;
  return { remove: a.length - i, add: b.slice(i).join('') };
}

const PUNCT = { '-': 0x2d, '=': 0x2e, '[': 0x2f, ']': 0x30, '\\': 0x31, ';': 0x33, "'": 0x34, '`': 0x35, ',': 0x36, '.': 0x37, '/': 0x38, ' ': HID.space };

// A character as a key press of a US layout, for chords like Ctrl+C; null when there is no such key.
export function keyForChar(ch) {
  if (/^[a-z]$/.test(ch)) return { hid: 0x04 + ch.charCodeAt(0) - 97, shift: false };
  if (/^[A-Z]$/.test(ch)) return { hid: 0x04 + ch.charCodeAt(0) - 65, shift: true };
  if (/^[1-9]$/.test(ch)) return { hid: 0x1e + ch.charCodeAt(0) - 49, shift: false };
  if (ch === '0') return { hid: 0x27, shift: false };
  return ch in PUNCT ? { hid: PUNCT[ch], shift: false } : null;
}

// Sticky modifiers: a tap holds one for the next key, a double tap locks it.
// Clicks and drags carry them as a modifier state around the button; keys
// carry them in their own mask.
export class Modifiers {
  constructor(remote, buttons) {
    this.remote = remote;
    this.once = 0;
    this.locked = 0;
    this.sent = 0; // what the host holds from press()
    this.lastTap = new Map();
    this.buttons = buttons;
    for (const b of buttons) {
      keepFocus(b);
      b.addEventListener('pointerdown', () => this.tap(Number(b.dataset.mod)));
    }
  }

  get mask() { return this.once | this.locked; }

  tap(bit) {
    const now = performance.now();
    const doubled = now - (this.lastTap.get(bit) || -1e9) < DOUBLE_TAP_MS;
    this.lastTap.set(bit, now);
    if (this.locked & bit) {
      this.locked &= ~bit;
    } else if (this.once & bit) {
      this.once &= ~bit;
      if (doubled) this.locked |= bit;
    } else {
      this.once |= bit;
    }
    this.render();
  }

  consume() {
    if (!this.once) return;
    this.once = 0;
    this.render();
  }

  press() {
    if (this.mask && this.remote.modifiers(this.mask)) this.sent = this.mask;
  }

  release() {
    if (this.sent) this.remote.modifiers(0);
    this.sent = 0;
    this.consume();
  }

  // The host's copy was released some other way; a one-shot modifier is used up.
  forget() {
    this.sent = 0;
    this.consume();
  }

  clear() {
    this.once = this.locked = 0;
    this.render();
  }

  render() {
    for (const b of this.buttons) {
      const bit = Number(b.dataset.mod);
      b.classList.toggle('once', !!(this.once & bit));
      b.classList.toggle('locked', !!(this.locked & bit));
      b.setAttribute('aria-pressed', this.mask & bit ? 'true' : 'false');
    }
  }
}

export class Keyboard {
  constructor({ field, keyButtons, modifiers, remote }) {
    this.field = field;
    this.remote = remote;
    this.mods = modifiers;
    this.shadow = '';
    this.composing = false;
    field.addEventListener('compositionstart', () => { this.composing = true; });
    field.addEventListener('compositionend', () => { this.composing = false; this.sync(); });
    field.addEventListener('input', (e) => { if (!e.isComposing && !this.composing) this.sync(); });
    field.addEventListener('keydown', (e) => this.keydown(e));
    this.forgets = keyButtons.map((b) => this.bindKey(b, Number(b.dataset.hid)));
  }

  tap(hid, mask = this.mods.mask) {
    return this.remote.key(hid, KeyState.down, mask) && this.remote.key(hid, KeyState.up, mask);
  }

  // Stops every held key button without sending; the caller releases all at once.
  cancel() {
    for (const forget of this.forgets) forget();
  }

  keydown(e) {
    if (e.isComposing || this.composing) return;
    const named = { Enter: HID.enter, Escape: HID.escape, Tab: HID.tab, ArrowLeft: HID.left, ArrowRight: HID.right, ArrowUp: HID.up, ArrowDown: HID.down };
    let hid = named[e.key];
    // With an empty field a Backspace changes nothing we could diff.
    if (e.key === 'Backspace' && this.field.value === '') hid = HID.backspace;
    if (hid === undefined) return;
    e.preventDefault();
    this.tap(hid);
    this.mods.consume();
    if (hid === HID.enter) this.reset();
  }

  sync() {
    const value = this.field.value;
    const { remove, add } = textDiff(this.shadow, value);
    let sent = true;
    for (let i = 0; i < remove && sent; i++) sent = this.tap(HID.backspace, 0);
    // What the host did not get must not become the baseline: later
    // Backspaces would erase text that was there before.
    if (!sent) return this.reset();
    if (!add) { this.shadow = value; return; }
    const chord = this.mods.mask && Array.from(add).length === 1 ? keyForChar(add) : null;
    if (chord) {
      // A chord is a key press, not text: it leaves the field as it was.
      this.tap(chord.hid, this.mods.mask | (chord.shift ? SHIFT : 0));
      this.mods.consume();
      this.field.value = value.slice(0, value.length - add.length);
      this.shadow = this.field.value;
      return;
    }
    const lines = add.split(/\r?\n/);
    lines.forEach((line, i) => {
      if (i > 0 && sent) sent = this.tap(HID.enter, 0);
      if (line && sent) sent = this.remote.text(line);
    });
    this.mods.consume();
    if (!sent || lines.length > 1 || value.length > 400) this.reset();
    else this.shadow = value;
  }

  reset() {
    this.field.value = '';
    this.shadow = '';
  }

  bindKey(el, hid) {
    let timer = null, mask = 0, pointer = null;
    const stop = () => {
      clearTimeout(timer);
      timer = null;
    };
    keepFocus(el);
    el.addEventListener('pointerdown', (e) => {
      if (pointer !== null) return;
      pointer = e.pointerId;
      mask = this.mods.mask;
      el.classList.add('pressed');
      this.remote.key(hid, KeyState.down, mask);
      const repeat = () => {
        this.remote.key(hid, KeyState.repeat, mask);
        timer = setTimeout(repeat, REPEAT_EVERY_MS);
      };
      timer = setTimeout(repeat, REPEAT_DELAY_MS);
    });
    const up = (e) => {
      if (e.pointerId !== pointer) return;
      pointer = null;
      stop();
      el.classList.remove('pressed');
      this.remote.key(hid, KeyState.up, mask);
      this.mods.consume();
    };
    el.addEventListener('pointerup', up);
    el.addEventListener('pointercancel', up);
    el.addEventListener('pointerleave', up);
    el.addEventListener('lostpointercapture', up);
    return () => {
      pointer = null;
      stop();
      el.classList.remove('pressed');
    };
  }
}

import { Hat, PadButton } from '../protocol/remote.js';

const DEAD_ZONE = 0.08;
const DPAD_THRESHOLD = 0.3;

export function axis(f) {
  const v = Math.min(1, Math.max(-1, f)) * 32767;
  return Math.sign(v) * Math.round(Math.abs(v));
}

// A touch offset (screen y down) within a stick of the given radius, as
// stick values in -1..1 with y up, past a dead zone.
export function stickVector(dx, dy, radius) {
  const len = Math.hypot(dx, dy);
  if (len === 0) return [0, 0];
  const m = Math.min(1, len / Math.max(1, radius));
  if (m <= DEAD_ZONE) return [0, 0];
  const k = (m - DEAD_ZONE) / (1 - DEAD_ZONE);
  return [(dx / len) * k, (-dy / len) * k];
}

// Hat 1..8 clockwise from north, 0 near the centre; y up.
export function eightWay(x, y, threshold) {
  if (Math.hypot(x, y) < threshold) return 0;
  let angle = (Math.atan2(x, y) * 180) / Math.PI;
  if (angle < 0) angle += 360;
  return (Math.floor((angle + 22.5) / 45) % 8) + 1;
}

const HAT_PARTS = {
  up: [Hat.north, Hat.northEast, Hat.northWest], right: [Hat.northEast, Hat.east, Hat.southEast],
  down: [Hat.southEast, Hat.south, Hat.southWest], left: [Hat.southWest, Hat.west, Hat.northWest],
};

// Every control follows its own pointer, so several can be held at once.
// Returns a function that lets go of the pointer without a lift.
function track(el, onMove, onEnd) {
  let id = null;
  el.addEventListener('pointerdown', (e) => {
    e.preventDefault();
    if (id !== null) return;
    id = e.pointerId;
    try { el.setPointerCapture(id); } catch { /* gone */ }
    onMove(e);
  });
  el.addEventListener('pointermove', (e) => { if (e.pointerId === id) onMove(e); });
  const end = (e) => {
    if (e.pointerId !== id) return;
    id = null;
    onEnd();
  };
  el.addEventListener('pointerup', end);
  el.addEventListener('pointercancel', end);
  el.addEventListener('lostpointercapture', end);
  el.addEventListener('contextmenu', (e) => e.preventDefault());
  return () => { id = null; };
}

export class Gamepad {
  constructor(root, remote) {
    this.remote = remote;
    this.buttons = 0;
    this.hat = 0;
    this.lt = 0;
    this.rt = 0;
    this.sticks = { left: [0, 0], right: [0, 0] };
    this.resets = [];

    for (const el of root.querySelectorAll('[data-button]')) {
      const bit = PadButton[el.dataset.button];
      this.control(el, () => this.setBit(bit, true), () => this.setBit(bit, false));
    }
    for (const el of root.querySelectorAll('[data-trigger]')) {
      const which = el.dataset.trigger;
      this.control(el, () => this.setTrigger(which, 255), () => this.setTrigger(which, 0));
    }
    for (const el of root.querySelectorAll('[data-stick]')) this.stick(el, el.dataset.stick);
    this.dpad(root.querySelector('.dpad'));
  }

  control(el, down, up) {
    const release = () => {
      if (!el.classList.contains('pressed')) return;
      el.classList.remove('pressed');
      up();
    };
    const drop = track(el, () => { if (!el.classList.contains('pressed')) { el.classList.add('pressed'); down(); } }, release);
    this.resets.push(() => { drop(); release(); });
  }

  stick(el, which) {
    const knob = el.querySelector('.knob');
    const place = (x, y) => { knob.style.transform = x || y ? `translate(${x}px, ${y}px)` : ''; };
    const release = () => {
      el.classList.remove('active');
      place(0, 0);
      this.setStick(which, 0, 0);
    };
    const drop = track(el, (e) => {
      const r = el.getBoundingClientRect();
      const radius = r.width * 0.36;
      let dx = e.clientX - (r.left + r.width / 2), dy = e.clientY - (r.top + r.height / 2);
      const len = Math.hypot(dx, dy);
      if (len > radius) { dx *= radius / len; dy *= radius / len; }
      el.classList.add('active');
      place(dx, dy);
      const [x, y] = stickVector(dx, dy, radius);
      this.setStick(which, axis(x), axis(y));
    }, release);
    this.resets.push(() => { drop(); release(); });
  }

  dpad(el) {
    const parts = Object.entries(HAT_PARTS).map(([name, hats]) => [el.querySelector('.' + name), hats]);
    const show = (hat) => { for (const [part, hats] of parts) part.classList.toggle('on', hats.includes(hat)); };
    const set = (hat) => { show(hat); if (hat !== this.hat) { this.hat = hat; this.sendButtons(); } };
    const drop = track(el, (e) => {
      const r = el.getBoundingClientRect();
      const x = (e.clientX - (r.left + r.width / 2)) / (r.width / 2);
      const y = -(e.clientY - (r.top + r.height / 2)) / (r.height / 2);
      set(eightWay(x, y, DPAD_THRESHOLD));
    }, () => set(Hat.neutral));
    this.resets.push(() => { drop(); set(Hat.neutral); });
  }

  setBit(bit, on) {
    const next = on ? this.buttons | bit : this.buttons & ~bit;
    if (next === this.buttons) return;
    this.buttons = next;
    if (navigator.vibrate && on) navigator.vibrate(8);
    this.sendButtons();
  }

  setTrigger(which, value) {
    if (this[which] === value) return;
    this[which] = value;
    this.sendButtons();
  }

  setStick(which, x, y) {
    const s = this.sticks[which];
    if (s[0] === x && s[1] === y) return;
    this.sticks[which] = [x, y];
    const { left: [lx, ly], right: [rx, ry] } = this.sticks;
    this.remote.pad.setSticks(lx, ly, rx, ry);
  }

  sendButtons() {
    this.remote.pad.setButtons(this.buttons, this.hat, this.lt, this.rt);
  }

  // Lets go of everything, e.g. when the view is left with fingers still down:
  // one neutral state, never a control at a time, which would send the others
  // as fresh presses to a pad that was just reset.
  releaseAll() {
    this.buttons = 0;
    this.hat = Hat.neutral;
    this.lt = 0;
    this.rt = 0;
    this.sticks = { left: [0, 0], right: [0, 0] };
    for (const r of this.resets) r();
    this.sendButtons();
    this.remote.pad.setSticks(0, 0, 0, 0);
  }
}

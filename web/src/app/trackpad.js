import { Button, Phase, Swipe } from '../protocol/remote.js';

const TAP_MS = 250;          // a touch shorter than this, that barely moved, is a tap
const TAP_SLOP = 10;         // CSS px a tap may wander
const DRAG_AFTER_TAP_MS = 250;
const PINCH_SLOP = 24;       // distance change that makes two fingers a pinch
const SCROLL_SLOP = 6;
const SWIPE_DISTANCE = 50;
const SCROLL_GAIN = 2;
const VELOCITY_WINDOW_MS = 80;
const MOMENTUM_START = 0.25; // px/ms of the fingers at lift
const MOMENTUM_TICK_MS = 16;
const MOMENTUM_MIN = 0.04;   // px/ms below which momentum stops
const MOMENTUM_MAX_MS = 3000;

// Pointer gain grows with finger speed, like a laptop trackpad: slow strokes
// stay precise, quick flicks cross the screen.
export function pointerGain(speed) {
  const t = Math.min(1, Math.max(0, (speed - 0.1) / 1.3));
  return 1.4 * (1 + 2.6 * t * t * (3 - 2 * t));
}

// Sub-pixel remainders are kept here: the host rounds every delta to whole pixels.
class Accumulator {
  x = 0; y = 0;
  add(dx, dy) {
    this.x += dx; this.y += dy;
    const ix = Math.trunc(this.x), iy = Math.trunc(this.y);
    this.x -= ix; this.y -= iy;
    return [ix, iy];
  }
  reset() { this.x = 0; this.y = 0; }
}

export function swipeDirection(dx, dy) {
  if (Math.abs(dy) >= Math.abs(dx)) return dy < 0 ? Swipe.up : Swipe.down;
  return dx > 0 ? Swipe.right : Swipe.left;
}

export class Trackpad {
  constructor(el, remote, modifiers) {
    this.el = el;
    this.remote = remote;
    this.mods = modifiers;
    this.pointers = new Map();
    this.mode = 'idle';
    this.moveAcc = new Accumulator();
    this.scrollAcc = new Accumulator();
    this.speed = 0;
    this.lastTapUp = -1e9;
    this.dragging = false;
    this.momentum = null;
    for (const t of ['pointerdown', 'pointermove', 'pointerup', 'pointercancel']) {
      el.addEventListener(t, (e) => this[t](e));
    }
    // Without its capture a finger's lift may never be seen.
    el.addEventListener('lostpointercapture', (e) => this.lift(e, true));
    el.addEventListener('contextmenu', (e) => e.preventDefault());
    const wheel = new Accumulator();
    el.addEventListener('wheel', (e) => {
      e.preventDefault();
      const unit = e.deltaMode === 1 ? 16 : e.deltaMode === 2 ? 400 : 1;
      const [ix, iy] = wheel.add(-e.deltaX * unit, -e.deltaY * unit);
      if (ix || iy) this.remote.scroll(ix, iy, Phase.none);
    }, { passive: false });
  }

  centroid() {
    let x = 0, y = 0;
    for (const p of this.pointers.values()) { x += p.x; y += p.y; }
    const n = this.pointers.size || 1;
    return { x: x / n, y: y / n };
  }

  spread() {
    const [a, b] = [...this.pointers.values()];
    return b ? Math.hypot(a.x - b.x, a.y - b.y) : 0;
  }

  pointerdown(e) {
    if (e.pointerType === 'mouse' && e.button !== 0) {
      if (e.button === 2) this.click(Button.right, 1);
      return;
    }
    e.preventDefault();
    const caught = this.stopMomentum();
    try { this.el.setPointerCapture(e.pointerId); } catch { /* already released */ }
    this.pointers.set(e.pointerId, { x: e.clientX, y: e.clientY, sx: e.clientX, sy: e.clientY, t: e.timeStamp });
    const n = this.pointers.size;
    if (n === 1) {
      this.start = e.timeStamp;
      this.moved = false;
      this.maxPointers = 1;
      this.afterTap = e.timeStamp - this.lastTapUp < DRAG_AFTER_TAP_MS;
      this.catching = caught; // a touch that stops the momentum is no click
      this.speed = 0;
      this.moveAcc.reset();
      this.mode = 'one';
    } else if (this.dragging || this.mode === 'lifting') {
      // Extra fingers during a drag or after a gesture are ignored.
    } else if (n === 2) {
      this.maxPointers = 2;
      this.mode = 'two';
      this.twoStart = this.centroid();
      this.twoSpread = this.spread();
      this.scale = 1;
      this.scrollAcc.reset();
      this.trail = [];
    } else if (n === 3) {
      this.endTwo(false);
      this.maxPointers = 3;
      this.mode = 'three';
      this.threeStart = this.centroid();
    }
  }

  pointermove(e) {
    const p = this.pointers.get(e.pointerId);
    if (!p) return;
    e.preventDefault();
    const before = this.centroid();
    const dx = e.clientX - p.x, dy = e.clientY - p.y;
    // A first move right after touch-down would otherwise look infinitely fast.
    const dt = Math.max(8, e.timeStamp - p.t);
    p.x = e.clientX; p.y = e.clientY; p.t = e.timeStamp;
    if (Math.hypot(p.x - p.sx, p.y - p.sy) > TAP_SLOP) this.moved = true;

    if (this.mode === 'one') {
      this.speed = 0.6 * this.speed + 0.4 * (Math.hypot(dx, dy) / dt);
      const g = pointerGain(this.speed);
      if (this.afterTap && !this.dragging && e.timeStamp - this.start < 1000) {
        // Touching again right after a tap: a drag once it moves, a double
        // click if it lifts first; until then the motion waits, so the
        // button goes down where the tap was.
        this.moveAcc.x += dx * g;
        this.moveAcc.y += dy * g;
        if (!this.moved) return;
        this.dragging = true;
        this.mods.press();
        this.remote.button(Button.left, true, 1);
        const [ix, iy] = this.moveAcc.add(0, 0);
        if (ix || iy) this.remote.move(ix, iy);
        return;
      }
      const [ix, iy] = this.moveAcc.add(dx * g, dy * g);
      if (ix || iy) this.remote.move(ix, iy);
    } else if (this.mode === 'two' || this.mode === 'scroll' || this.mode === 'pinch') {
      this.twoMove(before, dt);
    } else if (this.mode === 'three') {
      const c = this.centroid();
      const sx = c.x - this.threeStart.x, sy = c.y - this.threeStart.y;
      if (Math.hypot(sx, sy) > SWIPE_DISTANCE) {
        this.remote.swipe(swipeDirection(sx, sy));
        this.mode = 'lifting';
      }
    }
  }

  twoMove(before, dt) {
    const c = this.centroid();
    // Only the finger that moved reports; the centroid moves by half its step.
    const cx = c.x - before.x, cy = c.y - before.y;
    if (this.mode === 'two') {
      const dist = this.spread();
      if (Math.abs(dist - this.twoSpread) > PINCH_SLOP) {
        this.mode = 'pinch';
        this.pinchBase = dist;
        this.lastScale = 1;
        this.remote.pinch(0, 0, Phase.began);
      } else if (Math.hypot(c.x - this.twoStart.x, c.y - this.twoStart.y) > SCROLL_SLOP) {
        this.mode = 'scroll';
        this.remote.scroll(0, 0, Phase.began);
      }
      return;
    }
    if (this.mode === 'scroll') {
      this.trail.push({ t: performance.now(), x: c.x, y: c.y });
      if (this.trail.length > 12) this.trail.shift();
      const [ix, iy] = this.scrollAcc.add(cx * SCROLL_GAIN, cy * SCROLL_GAIN);
      if (ix || iy) this.remote.scroll(ix, iy, Phase.changed);
    } else {
      const scale = this.spread() / (this.pinchBase || 1);
      const delta = scale - this.lastScale;
      if (Math.abs(delta) >= 0.005) {
        this.lastScale = scale;
        this.remote.pinch(delta, (delta / dt) * 1000, Phase.changed);
      }
    }
  }

  pointerup(e) { this.lift(e, false); }
  pointercancel(e) { this.lift(e, true); }

  lift(e, cancelled) {
    if (!this.pointers.delete(e.pointerId)) return;
    const now = e.timeStamp;
    const quick = now - this.start < TAP_MS;
    if (this.mode === 'one' && this.pointers.size === 0) {
      if (this.dragging) {
        this.dragging = false;
        this.remote.button(Button.left, false, 1);
        this.mods.release();
      } else if (!this.moved && quick && !cancelled && !this.catching) {
        this.click(Button.left, this.afterTap ? 2 : 1);
        this.lastTapUp = now;
      }
    } else if (this.mode === 'two') {
      if (!this.moved && quick && !cancelled && this.maxPointers === 2) this.click(Button.right, 1);
      this.mode = 'lifting';
    } else if (this.mode === 'scroll' || this.mode === 'pinch') {
      this.endTwo(!cancelled);
      this.mode = 'lifting';
    } else if (this.mode === 'three') {
      this.mode = 'lifting';
    }
    if (this.pointers.size === 0) this.mode = 'idle';
  }

  endTwo(withMomentum) {
    if (this.mode === 'pinch') {
      this.remote.pinch(0, 0, Phase.ended);
    } else if (this.mode === 'scroll') {
      this.remote.scroll(0, 0, Phase.ended);
      const v = this.liftVelocity();
      if (withMomentum && Math.hypot(v.x, v.y) > MOMENTUM_START) this.startMomentum(v);
    }
  }

  // Centroid speed over the last moments before lifting; fingers that
  // rested before they lifted have none.
  liftVelocity() {
    const now = performance.now();
    const recent = this.trail.filter((p) => now - p.t <= VELOCITY_WINDOW_MS);
    if (recent.length < 2) return { x: 0, y: 0 };
    const a = recent[0], b = recent[recent.length - 1];
    const dt = Math.max(8, now - a.t);
    return { x: (b.x - a.x) / dt, y: (b.y - a.y) / dt };
  }

  click(button, count) {
    this.mods.press();
    this.remote.button(button, true, count);
    this.remote.button(button, false, count);
    this.mods.release();
  }

  startMomentum(v) {
    let vx = v.x * SCROLL_GAIN, vy = v.y * SCROLL_GAIN;
    const began = performance.now();
    let last = began;
    const tick = () => {
      const now = performance.now();
      const dt = now - last;
      last = now;
      const decay = Math.pow(0.95, dt / MOMENTUM_TICK_MS);
      vx *= decay; vy *= decay;
      if (Math.hypot(vx, vy) < MOMENTUM_MIN || now - began > MOMENTUM_MAX_MS) {
        this.stopMomentum();
        return;
      }
      const [ix, iy] = this.scrollAcc.add(vx * dt, vy * dt);
      if (ix || iy) this.remote.scroll(ix, iy, Phase.momentum);
      this.momentum = setTimeout(tick, MOMENTUM_TICK_MS);
    };
    this.scrollAcc.reset();
    this.momentum = setTimeout(tick, MOMENTUM_TICK_MS);
  }

  // Forgets every finger; the caller releases held buttons all at once, but a
  // scroll or zoom under way is ended here, held or not.
  cancel() {
    this.stopMomentum();
    if (this.mode === 'scroll' || this.mode === 'pinch') this.endTwo(false);
    this.pointers.clear();
    this.dragging = false;
    this.mode = 'idle';
  }

  stopMomentum() {
    if (this.momentum === null) return false;
    clearTimeout(this.momentum);
    this.momentum = null;
    this.remote.scroll(0, 0, Phase.ended);
    return true;
  }
}

// The two buttons under the trackpad: held while touched, so they also drag.
// Returns a function that forgets the hold without sending.
export function bindMouseButton(el, remote, button, modifiers) {
  let held = null;
  el.addEventListener('pointerdown', (e) => {
    e.preventDefault();
    if (held !== null) return;
    held = e.pointerId;
    try { el.setPointerCapture(e.pointerId); } catch { /* gone */ }
    el.classList.add('pressed');
    modifiers.press();
    remote.button(button, true, 1);
  });
  const up = (e) => {
    if (e.pointerId !== held) return;
    held = null;
    el.classList.remove('pressed');
    remote.button(button, false, 1);
    modifiers.release();
  };
  el.addEventListener('pointerup', up);
  el.addEventListener('pointercancel', up);
  el.addEventListener('lostpointercapture', up);
  el.addEventListener('contextmenu', (e) => e.preventDefault());
  return () => {
    held = null;
    el.classList.remove('pressed');
  };
}

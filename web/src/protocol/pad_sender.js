// Sends the virtual gamepad's state: changes at once, a 50 ms refresh while off
// neutral (the host resets a pad silent for 1.5 s), three neutral repeats, then silence.
export const refreshMs = 50;
export const tailRefreshes = 3;

const neutral = Object.freeze({ lx: 0, ly: 0, rx: 0, ry: 0, buttons: 0, hat: 0, lt: 0, rt: 0 });
const isNeutral = (s) => Object.keys(neutral).every((k) => s[k] === 0);

export class PadSender {
  // sink(kind: 'sticks' | 'buttons', state, ack, refresh)
  // Timers are wrapped: browsers refuse setTimeout called with another `this`.
  constructor({ sink, clock = () => performance.now(),
    setTimer = (run, ms) => setTimeout(run, ms), clearTimer = (timer) => clearTimeout(timer) }) {
    Object.assign(this, { sink, clock, setTimer, clearTimer });
    this.resetLocal();
  }

  get held() {
    return !isNeutral(this.state);
  }

  get current() {
    return { ...this.state };
  }

  setSticks(lx, ly, rx, ry) {
    this.update({ lx, ly, rx, ry });
  }

  setButtons(buttons, hat = 0, lt = 0, rt = 0) {
    this.update({ buttons, hat, lt, rt });
  }

  update(changes) {
    const s = Object.assign(this.state, changes);
    // Before anything was sent the host holds a neutral pad.
    const sentSticks = this.sentSticks ?? neutral;
    const sentButtons = this.sentButtons ?? neutral;
    const sticksChanged = s.lx !== sentSticks.lx || s.ly !== sentSticks.ly || s.rx !== sentSticks.rx || s.ry !== sentSticks.ry;
    const buttonsChanged = s.buttons !== sentButtons.buttons || s.hat !== sentButtons.hat;
    const triggersChanged = s.lt !== sentButtons.lt || s.rt !== sentButtons.rt;
    if (sticksChanged) this.sentSticks = { ...s };
    if (buttonsChanged || triggersChanged) this.sentButtons = { ...s };
    if (!isNeutral(s)) this.tail = tailRefreshes;
    if (!isNeutral(s) || this.tail >= 1) this.ensureTimer();
    if (sticksChanged) this.sink('sticks', { ...s }, false);
    // Only buttons and the hat are worth acknowledgement traffic.
    if (buttonsChanged || triggersChanged) this.sink('buttons', { ...s }, buttonsChanged);
  }

  // Forgets everything, sends nothing.
  resetLocal() {
    this.state = { ...neutral };
    this.sentSticks = null;
    this.sentButtons = null;
    this.tail = 0;
    if (this.timer !== undefined && this.timer !== null) this.clearTimer(this.timer);
    this.timer = null;
  }

  ensureTimer() {
    if (this.timer !== null) return;
    this.due = this.clock() + refreshMs;
    this.schedule();
  }

  // Ticks keep a fixed rhythm from the first one, whatever the timer's lateness.
  schedule() {
    this.timer = this.setTimer(() => this.refresh(), Math.max(0, this.due - this.clock()));
  }

  refresh() {
    this.timer = null;
    if (!isNeutral(this.state)) {
      this.tail = tailRefreshes;
    } else if (this.tail < 1) {
      return;
    } else {
      this.tail--;
    }
    const copy = { ...this.state };
    this.due = Math.max(this.due + refreshMs, this.clock());
    this.schedule();
    // A sink that cannot send (no connection) ends the refresh.
    if (this.sink('sticks', copy, false, true) === false) return this.resetLocal();
    this.sink('buttons', copy, false, true);
  }
}

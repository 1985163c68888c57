// Delays between reconnection attempts: fast for a minute, then slower with jitter, none after ten.
export class ReconnectBackoff {
  constructor() {
    this.reset();
  }

  reset() {
    this.delay = 0.5;
    this.startedAt = null;
  }

  // Seconds before the next attempt, or null to stop; `now` in seconds, jitter in -1..1.
  next(now, jitter) {
    if (this.startedAt === null) this.startedAt = now;
    const elapsed = now - this.startedAt;
    if (elapsed >= 600) return null;
    const current = this.delay;
    const slow = elapsed >= 60;
    this.delay = Math.min(slow ? 30 : 5, 1.7 * current);
    if (!slow) return current;
    const spread = Number.isFinite(jitter) ? Math.min(1, Math.max(-1, jitter)) : 0;
    return Math.min(current, 30) * (1 + 0.2 * spread);
  }
}

import { Button, Remote, parsePairingFragment } from '../protocol/remote.js';
import { Trackpad, bindMouseButton } from './trackpad.js';
import { Keyboard, Modifiers } from './keyboard.js';
import { setupShortcuts } from './shortcuts.js';
import { Gamepad } from './gamepad.js';

const $ = (id) => document.getElementById(id);

// Private browsing may refuse localStorage; the remote then lives for this visit only.
function pickStorage() {
  try {
    const k = '__tarvel_probe';
    localStorage.setItem(k, '1');
    localStorage.removeItem(k);
    return localStorage;
  } catch {
    const m = new Map();
    return { getItem: (k) => (m.has(k) ? m.get(k) : null), setItem: (k, v) => m.set(k, String(v)), removeItem: (k) => m.delete(k) };
  }
}

const storage = pickStorage();
const remote = new Remote({ url: `ws://${location.host}/ws`, storage });

function show(screen) {
  $('pairing').hidden = screen !== 'pairing';
  $('main').hidden = screen !== 'main';
}

// --- Pairing ---------------------------------------------------------------

let fragmentKey = null; // host key from the link, kept while its code is retried

function pairingError(text) {
  const el = $('pair-error');
  el.textContent = text;
  el.hidden = !text;
}

async function pair(code, publicKey) {
  pairingError('');
  $('pair-status').textContent = 'Pairing…';
  $('pair-submit').disabled = true;
  try {
    await remote.pair(code, publicKey);
    $('pair-status').textContent = '';
    $('pair-code').value = '';
    fragmentKey = null;
    enterMain();
    openSheet('Paired');
  } catch (err) {
    $('pair-status').textContent = '';
    pairingError((err && err.message) || 'Pairing failed.');
    $('pair-submit').textContent = 'Try Again';
  } finally {
    $('pair-submit').disabled = false;
  }
}

$('pair-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const code = $('pair-code').value.replace(/\D/g, '');
  if (code.length !== 6) {
    pairingError('The code has six digits.');
    return;
  }
  pair(code, fragmentKey && fragmentKey.code === code ? fragmentKey.publicKey : null);
});

$('pair-code').addEventListener('input', (e) => {
  const digits = e.target.value.replace(/\D/g, '').slice(0, 6);
  e.target.value = digits.length > 3 ? `${digits.slice(0, 3)} ${digits.slice(3)}` : digits;
  pairingError('');
});

function showPairing() {
  remote.close();
  show('pairing');
  $('pair-submit').textContent = 'Pair';
  $('pair-code').focus();
}

// --- Main screen -----------------------------------------------------------

const BUSY = { connecting: 1, pairing: 1, authenticating: 1, waiting: 1 };

function renderState() {
  const state = remote.state;
  const host = remote.host;
  $('host-name').textContent = (host && host.name) || 'Tarvel';
  const dot = $('state-dot');
  dot.className = 'dot ' + (state === 'connected' ? 'connected' : state === 'refused' ? 'refused' : BUSY[state] ? 'busy' : '');
  const notice = $('notice');
  notice.hidden = state === 'connected';
  notice.classList.toggle('refused', state === 'refused');
  $('notice-text').textContent = remote.message || (state === 'idle' ? 'Not connected.' : '');
  $('notice-retry').hidden = !(state === 'refused' || state === 'idle');
  $('notice-pair').hidden = state !== 'refused';
  renderLatency();
}

function renderLatency() {
  const ms = remote.latencyMs;
  $('latency').textContent = remote.state === 'connected' && ms != null ? `${Math.round(ms)} ms` : '';
}

remote.addEventListener('statechange', renderState);
remote.addEventListener('latency', renderLatency);
remote.addEventListener('host', renderState);

$('notice-retry').addEventListener('click', () => { remote.connect().catch(() => {}); });
// A refusal may come from anyone on the network: the stored pairing stays
// until a new one replaces it (only the info sheet forgets).
$('notice-pair').addEventListener('click', () => showPairing());

let gamepad = null;
let current = null;

function selectView(name) {
  if (current === name) return;
  if (current === 'gamepad' && gamepad) gamepad.releaseAll();
  current = name;
  for (const v of document.querySelectorAll('.view')) v.hidden = v.id !== `view-${name}`;
  for (const t of document.querySelectorAll('.tabs button')) t.setAttribute('aria-selected', String(t.dataset.view === name));
  storage.setItem('tarvel.view', name);
  if (name === 'keyboard') $('kb-input').focus();
  else document.activeElement?.blur?.();
}

let mainReady = false;
function enterMain() {
  show('main');
  if (!mainReady) {
    mainReady = true;
    const modifiers = new Modifiers(remote, [...document.querySelectorAll('.mod')]);
    const trackpad = new Trackpad($('trackpad'), remote, modifiers);
    const buttons = [bindMouseButton($('tp-left'), remote, Button.left, modifiers),
      bindMouseButton($('tp-right'), remote, Button.right, modifiers)];
    const keyboard = new Keyboard({ field: $('kb-input'), keyButtons: [...document.querySelectorAll('[data-hid]')], modifiers, remote });
    setupShortcuts({
      remote, shortcutBox: $('shortcut-buttons'), mediaBox: $('media-buttons'),
      clipText: $('clip-text'), clipPaste: $('clip-paste'), clipSend: $('clip-send'), clipStatus: $('clip-status'),
    });
    gamepad = new Gamepad($('view-gamepad'), remote);
    for (const t of document.querySelectorAll('.tabs button')) t.addEventListener('click', () => selectView(t.dataset.view));
    // A hidden or unfocused page may never see its fingers lift, and its
    // timers would keep a held key repeating.
    const releaseEverything = () => {
      trackpad.cancel();
      for (const forget of buttons) forget();
      keyboard.cancel();
      modifiers.forget();
      remote.releaseAll();
      gamepad.releaseAll(); // neutral, as the pad already is after the reset: nothing more is sent
    };
    document.addEventListener('visibilitychange', () => { if (document.hidden) releaseEverything(); });
    window.addEventListener('pagehide', () => releaseEverything());
    window.addEventListener('blur', () => releaseEverything());
    // Text sent into a connection that was already dead never arrived: a new
    // session starts from an empty field, so Backspaces cannot erase older text.
    remote.addEventListener('statechange', () => { if (remote.state === 'connected') keyboard.reset(); });
    selectView(['trackpad', 'keyboard', 'shortcuts', 'gamepad'].includes(storage.getItem('tarvel.view')) ? storage.getItem('tarvel.view') : 'trackpad');
  }
  renderState();
}

// --- Info sheet ------------------------------------------------------------

function openSheet(title) {
  const host = remote.host || {};
  $('sheet-title').textContent = title;
  $('sheet-host').textContent = host.name || '—';
  $('sheet-fp').textContent = (host.fingerprint || '').replace(/(.{4})(?=.)/g, '$1 ') || '—';
  $('sheet-addr').textContent = location.host;
  $('sheet').hidden = false;
}

$('host-button').addEventListener('click', () => openSheet('This Computer'));
$('sheet-close').addEventListener('click', () => { $('sheet').hidden = true; });
$('sheet').addEventListener('click', (e) => { if (e.target === $('sheet')) $('sheet').hidden = true; });
$('sheet-forget').addEventListener('click', () => {
  $('sheet').hidden = true;
  remote.forget();
  showPairing();
});

// --- Start -----------------------------------------------------------------

const fragment = parsePairingFragment(location.hash);
if (fragment) {
  // The code is single-use and the key is no secret, but neither belongs in history.
  history.replaceState(null, '', location.pathname + location.search);
  fragmentKey = fragment;
  show('pairing');
  $('pair-code').value = `${fragment.code.slice(0, 3)} ${fragment.code.slice(3)}`;
  pair(fragment.code, fragment.publicKey);
} else if (remote.isPaired()) {
  enterMain();
  remote.connect().catch(() => {});
} else {
  showPairing();
}

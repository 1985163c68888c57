import { Media, Shortcut, Swipe } from '../protocol/remote.js';

const SHORTCUTS = [[Shortcut.copy, 'Copy'], [Shortcut.paste, 'Paste'], [Shortcut.cut, 'Cut'], [Shortcut.undo, 'Undo'],
  [Shortcut.redo, 'Redo'], [Shortcut.selectAll, 'Select All'], [Shortcut.find, 'Find'], [Shortcut.lockScreen, 'Lock Screen']];
const MEDIA = [[Media.playPause, 'Play / Pause'], [Media.previous, 'Previous'], [Media.next, 'Next'], [Media.mute, 'Mute'],
  [Media.volumeDown, 'Volume −'], [Media.volumeUp, 'Volume +'], [Media.brightnessDown, 'Brightness −'], [Media.brightnessUp, 'Brightness +']];
const SWIPES = [[Swipe.left, 'Swipe ←'], [Swipe.right, 'Swipe →'], [Swipe.up, 'Swipe ↑'], [Swipe.down, 'Swipe ↓']];

function fill(container, items, send) {
  for (const [id, label] of items) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = label;
    b.addEventListener('click', () => send(id));
    container.append(b);
  }
}

export function setupShortcuts({ remote, shortcutBox, mediaBox, clipText, clipPaste, clipSend, clipStatus }) {
  fill(shortcutBox, SHORTCUTS, (id) => remote.shortcut(id));
  fill(shortcutBox, SWIPES, (id) => remote.swipe(id));
  fill(mediaBox, MEDIA, (id) => remote.media(id));
  let clear = null;
  clipSend.addEventListener('click', () => {
    const text = clipText.value;
    if (!text) return;
    const sent = remote.clipboard(text, clipPaste.checked);
    clipStatus.textContent = sent ? (clipPaste.checked ? 'Sent and pasted.' : 'Sent to the clipboard.') : 'Not connected: nothing was sent.';
    clearTimeout(clear);
    clear = setTimeout(() => { clipStatus.textContent = ''; }, 3000);
  });
}

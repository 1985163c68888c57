// The keyboard view's field diffing, run without a browser against a model of
// the computer's text: a Backspace the host gets erases its last character.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { HID, Keyboard } from '../../src/app/keyboard.js';
import { KeyState } from '../../src/protocol/remote.js';

function setup() {
  const computer = { text: 'kept', online: true };
  const remote = {
    key(hid, state) {
      const erase = computer.online && hid === HID.backspace && state === KeyState.down;
      if (erase) computer.text = computer.text.slice(0, -1);
      return computer.online;
    },
    text(s) {
      if (computer.online) computer.text += s;
      return computer.online;
    },
  };
  const handlers = {};
  const field = { value: '', addEventListener: (type, fn) => { handlers[type] = fn; } };
  new Keyboard({ field, keyButtons: [], modifiers: { mask: 0, consume() {} }, remote });
  const edit = (value) => { field.value = value; handlers.input({ isComposing: false }); };
  return { computer, field, edit };
}

test('typing while offline never moves what later Backspaces erase on the computer', () => {
  const { computer, field, edit } = setup();
  edit('ab');
  assert.equal(computer.text, 'keptab');

  computer.online = false;
  edit('abhello');
  computer.online = true;
  // The user deletes what they see of the offline word, then types on.
  edit(field.value.slice(0, Math.max(0, field.value.length - 5)));
  edit(`${field.value}!`);
  assert.ok(computer.text.startsWith('keptab'), `erased text typed before: ${computer.text}`);
  assert.ok(computer.text.endsWith(field.value), `the field no longer mirrors the computer: ${computer.text} / ${field.value}`);
});

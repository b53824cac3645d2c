// Keyboard shortcuts, listed in an overlay shown with '?'. None fires while
// the user types in a field.
'use strict';

const shortcuts = [
  { keys: ['1', 's'], text: 'Source view', run: () => setView('source') },
  { keys: ['2', 'm'], text: 'Matte view', run: () => setView('matte') },
  { keys: ['3', 'r'], text: 'Result view', run: () => setView('result') },
  { keys: ['4', 't'], text: 'Status view', run: () => setView('status') },
  { keys: ['f'], text: 'Fit the frame in the window', run: () => fit() },
  { keys: ['0'], text: 'Zoom 1:1 (one image pixel per screen pixel)', run: () => $('actual').click() },
  { keys: ['w'], text: 'Wipe between the source (or snapshot) and the view', run: () => toggleWipe() },
  { keys: ['b'], text: 'A/B: the chosen snapshot against the current settings', run: () => toggleAB() },
  { keys: [' '], label: 'Space', text: 'Play or pause the loop range', run: () => togglePlay() },
  { keys: ['i'], text: 'Loop from the current frame', run: () => markLoop('in') },
  { keys: ['o'], text: 'Loop to the current frame', run: () => markLoop('out') },
  { keys: ['arrowleft'], label: '\u2190', text: 'Previous frame', run: () => stepFrame(-1) },
  { keys: ['arrowright'], label: '\u2192', text: 'Next frame', run: () => stepFrame(1) },
  { keys: ['ctrl+z'], label: 'Ctrl+Z', text: 'Undo', run: () => historyStep('undo') },
  { keys: ['ctrl+shift+z', 'ctrl+y'], label: 'Ctrl+Shift+Z, Ctrl+Y', text: 'Redo', run: () => historyStep('redo') },
  { keys: ['ctrl+s'], label: 'Ctrl+S', text: 'Save the settings', run: () => $('save').click() },
  { keys: ['?'], text: 'Show or hide this list', run: () => toggleKeys() },
];

// The key of an event as the table names it ('ctrl+shift+z', 'w', ' ').
function keyName(event) {
  const key = event.key.length === 1 ? event.key.toLowerCase() : event.key.toLowerCase();
  if (key === '?') return '?';
  const ctrl = event.ctrlKey || event.metaKey;
  return `${ctrl ? 'ctrl+' : ''}${ctrl && event.shiftKey ? 'shift+' : ''}${key}`;
}

// Whether the key goes to a field being typed in (text, numbers, lists),
// where it must do what the field does; a slider keeps its own keys.
function typing(target, name) {
  if (!(target instanceof Element)) return false;
  if (target.isContentEditable || target.tagName === 'TEXTAREA' || target.tagName === 'SELECT') return true;
  if (target.tagName !== 'INPUT') return false;
  if (target.type === 'range') return /^(arrow|home|end|page)/.test(name);
  return !['checkbox', 'button', 'color'].includes(target.type);
}

function toggleKeys(show) {
  const overlay = $('keys');
  overlay.hidden = show === undefined ? !overlay.hidden : !show;
}

function buildKeyTable() {
  const table = $('keyTable');
  for (const shortcut of shortcuts) {
    const row = table.insertRow();
    const keys = row.insertCell();
    keys.className = 'key';
    keys.textContent = shortcut.label || shortcut.keys.map((key) => key.toUpperCase()).join(' or ');
    row.insertCell().textContent = shortcut.text;
  }
}

function stepFrame(delta) {
  if (!page.state || page.state.frames.count < 2) return;
  const index = Math.min(page.state.frames.count - 1, Math.max(0, page.frameIndex + delta));
  showFrameIndex(index);
}

document.addEventListener('keydown', (event) => {
  const name = keyName(event);
  if (event.altKey || typing(event.target, name)) return;
  if (event.key === 'Escape') {
    toggleKeys(false);
    return;
  }
  const shortcut = shortcuts.find((candidate) => candidate.keys.includes(name));
  if (!shortcut || !page.state) return;
  event.preventDefault();
  shortcut.run();
});

buildKeyTable();
$('keysButton').addEventListener('click', () => toggleKeys());
$('keys').addEventListener('click', () => toggleKeys(false));

// Undo and redo: the server keeps every state of the session (values, picks,
// screen setups, finishing); the page asks it to step back or forward and
// shows the state it gets.
'use strict';

// Waits until the changes already sent have been answered, so that a step
// never overtakes them.
async function settledChanges() {
  while (page.busy || page.pending.size > 0) await new Promise((resolve) => setTimeout(resolve, 15));
}

// Restores the state before ('undo') or after ('redo') the shown one.
async function historyStep(which) {
  try {
    await settledChanges();
    page.dragging = null;
    const state = await api('POST', `/api/${which}`, {});
    applyState(state);
    page.note = '';
    if (!state.changed) say(`nothing to ${which}`);
    renderFull();
  } catch (error) {
    say(error.message, true);
  }
}

page.onState.push((state) => {
  $('undo').disabled = state.history.undo === 0;
  $('redo').disabled = state.history.redo === 0;
  $('undo').title = `Undo (Ctrl+Z): ${state.history.undo} step${state.history.undo === 1 ? '' : 's'}`;
  $('redo').title = `Redo (Ctrl+Shift+Z or Ctrl+Y): ${state.history.redo} step${state.history.redo === 1 ? '' : 's'}`;
});

$('undo').addEventListener('click', () => historyStep('undo'));
$('redo').addEventListener('click', () => historyStep('redo'));

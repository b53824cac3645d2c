// Comparing: a wipe between the source and the view (left and right of a
// divider that can be dragged, at the same zoom and pan), and named snapshots
// of the settings shown against the current ones (A/B), or in the wipe.
'use strict';

const compare = {
  wipe: false,
  at: 0.5,          // the divider, as a share of the frame's width
  snapshot: '',     // the chosen snapshot's index ('' for none)
  showA: false,     // the main view shows the snapshot (A) instead of the current settings (B)
  leftUrl: null,
};

function placeDivider() {
  const divider = $('divider');
  divider.hidden = !compare.wipe;
  $('wipeImage').hidden = !compare.wipe;
  if (!compare.wipe || !page.state) return;
  const x = page.panX + compare.at * page.state.width * page.zoom;
  divider.style.left = `${x}px`;
  $('wipeImage').style.clipPath = `inset(0 ${(1 - compare.at) * 100}% 0 0)`;
}

function sideLabels() {
  const name = compare.snapshot === '' ? '' : page.state.snapshots[Number(compare.snapshot)];
  $('divider').querySelector('.left').textContent = name ? `A: ${name}` : 'source';
  $('divider').querySelector('.right').textContent = compare.showA && name ? `A: ${name}` : `${page.view}`;
  const label = $('abLabel');
  label.hidden = compare.snapshot === '' || compare.wipe;
  label.textContent = compare.showA ? `A: ${name}` : 'B: current';
  label.classList.toggle('a', compare.showA);
}

// The left side of the wipe for the view just fetched: the snapshot's render
// of the same view when one is chosen, the source otherwise; same size and frame.
async function loadLeft({ view, size, frame, query }) {
  // Which settings the main view shows: a snapshot's number (A), or '' (B).
  const shows = /&snapshot=(\d+)/.exec(query);
  $('shown').dataset.snapshot = shows ? shows[1] : '';
  if (!compare.wipe) return;
  const snapshot = compare.snapshot === '' ? '' : `&snapshot=${compare.snapshot}`;
  const left = snapshot ? view : 'source';
  const extra = snapshot ? page.viewQuery.filter((query) => query !== snapshotQuery).map((query) => query(left)).join('') : '';
  const response = await fetch(`/api/view?view=${left}&frame=${frame}&size=${size}${snapshot}${extra}`,
                               { headers: { 'X-Veskar-Token': token } });
  if (!response.ok) throw new Error(`wipe: ${(await response.json().catch(() => ({}))).error || response.status}`);
  const url = URL.createObjectURL(await response.blob());
  const image = $('wipeImage');
  if (!await loadInto(image, url)) {
    URL.revokeObjectURL(url);
    return;
  }
  if (compare.leftUrl) URL.revokeObjectURL(compare.leftUrl);
  compare.leftUrl = url;
  Object.assign(image.dataset, { view: left, size, frame: String(frame), snapshot: compare.snapshot });
  sideLabels();
}

function snapshotQuery() {
  return compare.showA && compare.snapshot !== '' ? `&snapshot=${compare.snapshot}` : '';
}

function toggleWipe(on) {
  compare.wipe = on === undefined ? !compare.wipe : on;
  $('wipe').classList.toggle('on', compare.wipe);
  const image = $('wipeImage');
  image.width = page.state.width;
  image.height = page.state.height;
  placeDivider();
  renderFull();
}

function toggleAB() {
  if (compare.snapshot === '') {
    say('take or choose a snapshot to compare with', true);
    return;
  }
  compare.showA = !compare.showA;
  $('ab').classList.toggle('on', compare.showA);
  sideLabels();
  renderFull();
}

function chooseSnapshot(index) {
  compare.snapshot = index;
  if (index === '') compare.showA = false;
  $('ab').classList.toggle('on', compare.showA);
  for (const id of ['ab', 'restoreSnapshot', 'deleteSnapshot']) $(id).disabled = index === '';
  sideLabels();
  renderFull();
}

function listSnapshots(state) {
  const select = $('snapshots');
  const chosen = compare.snapshot;
  select.replaceChildren(new Option(state.snapshots.length ? 'compare with...' : 'no snapshots', ''));
  state.snapshots.forEach((name, index) => select.add(new Option(name, String(index))));
  select.disabled = state.snapshots.length === 0;
  select.value = chosen !== '' && Number(chosen) < state.snapshots.length ? chosen : '';
  if (select.value !== chosen) chooseSnapshot(select.value);
}

async function takeSnapshot() {
  const field = $('snapshotName');
  const name = field.value.trim() || `Snapshot ${page.state.snapshots.length + 1}`;
  try {
    await settledChanges();
    const state = await api('POST', '/api/snapshot', { name });
    applyState(state);
    field.value = '';
    $('snapshots').value = String(state.snapshot);
    chooseSnapshot(String(state.snapshot));
    say(`kept the settings as "${name}"`);
  } catch (error) {
    say(error.message, true);
  }
}

async function snapshotAction(path, done) {
  try {
    await settledChanges();
    const index = Number(compare.snapshot);
    const name = page.state.snapshots[index];
    const state = await api('POST', path, { index });
    if (path.endsWith('delete')) chooseSnapshot('');
    applyState(state);
    say(done(name));
    renderFull();
  } catch (error) {
    say(error.message, true);
  }
}

function dragDivider() {
  const divider = $('divider');
  divider.addEventListener('pointerdown', (event) => {
    event.stopPropagation();
    divider.setPointerCapture(event.pointerId);
    const move = (moved) => {
      const box = $('viewer').getBoundingClientRect();
      const x = (moved.clientX - box.left - page.panX) / (page.zoom * page.state.width);
      compare.at = Math.min(1, Math.max(0, x));
      placeDivider();
    };
    const up = () => {
      divider.removeEventListener('pointermove', move);
      divider.removeEventListener('pointerup', up);
    };
    divider.addEventListener('pointermove', move);
    divider.addEventListener('pointerup', up);
  });
}

page.onState.push(listSnapshots);
page.onPlace.push(placeDivider);
page.onShown.push(loadLeft);
page.viewQuery.push(snapshotQuery);
dragDivider();
$('wipe').addEventListener('click', () => toggleWipe());
$('snapshot').addEventListener('click', takeSnapshot);
$('snapshots').addEventListener('change', () => chooseSnapshot($('snapshots').value));
$('ab').addEventListener('click', toggleAB);
$('restoreSnapshot').addEventListener('click', () => snapshotAction('/api/snapshot/restore', (name) => `restored "${name}" (undo takes it back)`));
$('deleteSnapshot').addEventListener('click', () => snapshotAction('/api/snapshot/delete', (name) => `forgot "${name}"`));

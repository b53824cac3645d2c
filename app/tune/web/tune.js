// The tuning page: the keyer's controls, built from the control table the
// server reads off the loaded plug-in, and the frame keyed with them.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);

const page = {
  state: null,        // the server's last state
  view: 'result',
  frameIndex: 0,
  zoom: 1, panX: 0, panY: 0, fitted: true,
  pending: new Map(), // control changes not yet sent, latest last
  wantFull: false,    // a full-size render is due once the changes are in
  busy: false,
  shownUrl: null,
  note: '',           // what the last screen setup found or where Save wrote, said beside the render times
  dragging: null,     // the control whose slider is moving: its changes are one undo step
  stepStarts: false,  // the pending changes start a new undo step
  // Hooks of the workspace's scripts (history.js, compare.js, ...):
  onStart: [],        // async (state): after the first state, before the first view
  onState: [],        // (state): after every state
  viewQuery: [],      // (view) => '' or '&name=value...': more of a view request
  onShown: [],        // async ({ view, size, frame, query }): a view is being shown
  onPlace: [],        // (): the frame moved or zoomed
};

// ---- talking to the server ----

async function api(method, path, body) {
  const init = { method, headers: { 'X-Veskar-Token': token } };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(path, init);
  const data = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(data.error || `${path}: HTTP ${response.status}`);
  return data;
}

function say(text, isError) {
  const message = $('message');
  message.textContent = text;
  message.title = text;
  message.classList.toggle('error', Boolean(isError));
}

// The frame at an index of the session's frames, which the server sends as
// runs of consecutive frames ([first, last], in order).
function frameAt(index) {
  for (const [first, last] of page.state.frames.runs) {
    if (index <= last - first) return first + index;
    index -= last - first + 1;
  }
  return page.state.frames.last;
}

function indexOfFrame(frame) {
  let index = 0;
  for (const [first, last] of page.state.frames.runs) {
    if (frame >= first && frame <= last) return index + frame - first;
    index += last - first + 1;
  }
  return 0;
}

function currentFrame() {
  return frameAt(page.frameIndex);
}

// Shows `url` in `image`: true once it is loaded, false when a later call for
// the same image replaced it first (playback and a change can both be showing).
function loadInto(image, url) {
  return new Promise((resolve, reject) => {
    if (image.cancelLoad) image.cancelLoad();
    image.cancelLoad = () => resolve(false);
    image.onload = () => { image.cancelLoad = null; resolve(true); };
    image.onerror = () => { image.cancelLoad = null; reject(new Error('the view could not be decoded')); };
    image.src = url;
  });
}

// Fetches one view of the current frame and shows it. A newer request makes
// the server drop an older one still waiting (409), which is not an error.
async function showView(size) {
  const frame = currentFrame();
  const view = page.view;
  const started = performance.now();
  const ticket = page.viewTicket = (page.viewTicket || 0) + 1;
  const extra = page.viewQuery.map((query) => query(view)).join('');
  const response = await fetch(`/api/view?view=${view}&frame=${frame}&size=${size}${extra}`,
                               { headers: { 'X-Veskar-Token': token } });
  if (response.status === 409) return false;
  if (!response.ok) {
    const data = await response.json().catch(() => ({}));
    throw new Error(data.error || `view: HTTP ${response.status}`);
  }
  const revision = response.headers.get('X-Veskar-Revision');
  // A keyed view tells whether its key keys anything; the source view keeps
  // what the last keyed one said.
  if (view !== 'source') {
    const warning = response.headers.get('X-Veskar-Warning') || '';
    $('warning').textContent = warning;
    $('warning').hidden = warning === '';
  }
  const blob = await response.blob();
  // A view asked for later (playback paused, a full frame after a proxy) is
  // never replaced by one that arrives after it.
  if (ticket !== page.viewTicket) return false;
  const url = URL.createObjectURL(blob);
  const image = $('shown');
  if (!await loadInto(image, url)) {
    URL.revokeObjectURL(url);
    return false;
  }
  await Promise.all(page.onShown.map((hook) => hook({ view, size, frame, query: extra })));
  if (page.shownUrl) URL.revokeObjectURL(page.shownUrl);
  page.shownUrl = url;
  Object.assign(image.dataset, { view, size, frame: String(frame), revision });
  const ms = Math.round(performance.now() - started);
  const shownText = `${size === 'proxy' ? 'proxy' : 'full'} ${image.naturalWidth} x ${image.naturalHeight}, ${ms} ms`;
  say(page.note ? `${page.note} | ${shownText}` : shownText);
  return true;
}

// Sends the queued control changes one request at a time, showing a proxy
// between them while a slider moves and the full frame when it is let go.
async function pump() {
  if (page.busy) return;
  page.busy = true;
  document.body.dataset.busy = 'true';
  try {
    while (page.pending.size > 0 || page.wantFull) {
      if (page.pending.size > 0) {
        const set = [...page.pending].map(([id, value]) => ({ id, value }));
        const merge = !page.stepStarts;
        page.pending.clear();
        page.stepStarts = false;
        applyState(await api('POST', '/api/set', { set, merge }));
        if (page.pending.size > 0) continue;  // newer changes already wait
        if (!page.wantFull) await showView('proxy');
      } else {
        page.wantFull = false;
        await showView('full');
      }
    }
  } catch (error) {
    page.pending.clear();
    page.wantFull = false;
    say(error.message, true);
    applyState(await api('GET', '/api/state').catch(() => page.state));
  } finally {
    page.busy = false;
    document.body.dataset.busy = 'false';
  }
}

function change(id, value, final) {
  page.note = '';
  // A slider's drag, from its first move to its release, is one undo step.
  if (page.dragging !== id) page.stepStarts = true;
  page.dragging = final ? null : id;
  page.pending.delete(id);
  page.pending.set(id, value);
  if (final) page.wantFull = true;
  pump();
}

function renderFull() {
  page.wantFull = true;
  pump();
}

// ---- controls, built from the table ----

const controlRows = new Map();  // id -> { row, update(value) }

function numberText(value) {
  return Number.isInteger(value) ? String(value) : String(Number(value.toPrecision(6)));
}

// A row of the panel for `control`, with its caption (a label where the row
// has a field of its own, a plain caption otherwise).
function rowFor(control, className, captionTag = 'label') {
  const row = document.createElement('div');
  row.className = `control ${className}`;
  const caption = document.createElement(captionTag);
  if (captionTag !== 'label') caption.className = 'caption';
  caption.textContent = control.caption;
  caption.title = control.id;
  row.append(caption);
  return { row, caption };
}

function sliderRow(control) {
  const { row } = rowFor(control, 'slider');
  const range = document.createElement('input');
  range.type = 'range';
  range.min = control.lower;
  range.max = control.upper;
  range.step = (control.upper - control.lower) / 1000;
  range.setAttribute('aria-label', control.caption);
  const number = document.createElement('input');
  number.type = 'number';
  number.min = control.lower;
  number.max = control.upper;
  number.step = 'any';
  number.setAttribute('aria-label', control.caption + ' value');
  range.addEventListener('input', () => {
    number.value = numberText(Number(range.value));
    change(control.id, Number(range.value), false);
  });
  range.addEventListener('change', () => change(control.id, Number(range.value), true));
  number.addEventListener('change', () => {
    const value = Number(number.value);
    if (number.value === '' || !Number.isFinite(value) || value < control.lower || value > control.upper) {
      say(`${control.caption}: enter a number from ${control.lower} to ${control.upper}`, true);
      number.value = numberText(Number(range.value));
      return;
    }
    range.value = value;
    change(control.id, value, true);
  });
  row.append(range, number);
  return {
    row,
    update(value) {
      if (document.activeElement !== number) number.value = numberText(value);
      if (document.activeElement !== range) range.value = value;
    },
  };
}

function comboRow(control) {
  const { row } = rowFor(control, 'combo');
  const select = document.createElement('select');
  select.setAttribute('aria-label', control.caption);
  control.entries.forEach((entry, index) => select.add(new Option(entry, String(index))));
  select.addEventListener('change', () => change(control.id, Number(select.value), true));
  row.append(select);
  return { row, update(value) { select.value = String(value); } };
}

function checkboxRow(control) {
  const { row, caption } = rowFor(control, 'checkbox');
  const box = document.createElement('input');
  box.type = 'checkbox';
  box.id = `control-${control.id}`;
  caption.htmlFor = box.id;
  box.addEventListener('change', () => change(control.id, box.checked ? 1 : 0, true));
  row.append(box);
  return { row, update(value) { box.checked = value === 1; } };
}

function multiButtonRow(control) {
  const { row } = rowFor(control, 'multibutton', 'span');
  const buttons = document.createElement('div');
  buttons.className = 'buttons';
  const all = control.entries.map((entry, index) => {
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = entry;
    button.addEventListener('click', () => change(control.id, index, true));
    buttons.append(button);
    return button;
  });
  row.append(buttons);
  return { row, update(value) { all.forEach((button, index) => button.classList.toggle('on', index === value)); } };
}

function textRow(control, className, text) {
  const { row } = rowFor(control, className, 'span');
  if (text !== undefined) {
    const file = document.createElement('span');
    file.className = 'file';
    file.textContent = text;
    row.append(file);
  }
  return { row, update() {} };
}

function toHex(value) {
  const byte = Math.round(Math.min(1, Math.max(0, value)) * 255);
  return byte.toString(16).padStart(2, '0');
}

// The colour channels of one compound control, under its caption with a
// swatch of the colour.
function colourGroup(controls) {
  const group = document.createElement('div');
  group.className = 'group';
  const title = document.createElement('div');
  title.className = 'title';
  const caption = controls.find((c) => c.groupCaption);
  const name = document.createElement('span');
  name.textContent = caption ? caption.groupCaption : '';
  const chip = document.createElement('span');
  chip.className = 'chip';
  title.append(name, chip);
  group.append(title);
  const ids = controls.map((c) => c.id);
  const updateChip = () => {
    const values = ids.map((id) => page.state.controls.find((c) => c.id === id).value);
    chip.style.background = '#' + values.map(toHex).join('');
  };
  return { group, updateChip };
}

function buildControls(state) {
  const panel = $('controls');
  panel.replaceChildren();
  controlRows.clear();
  const groups = new Map();
  for (const control of state.controls) {
    let made;
    switch (control.kind) {
      case 'Slider': case 'Color': made = sliderRow(control); break;
      case 'Combo': made = comboRow(control); break;
      case 'Checkbox': made = checkboxRow(control); break;
      case 'MultiButton': made = multiButtonRow(control); break;
      case 'Image':
        made = textRow(control, 'image',
                       control.id === 'Image' ? state.plate : (state.keyImage || (control.id === 'KeyImage' ? 'none' : '')));
        break;
      default: made = textRow(control, 'label'); break;
    }
    made.row.dataset.control = control.id;
    made.row.dataset.kind = control.kind;
    if (control.group !== undefined) {
      if (!groups.has(control.group)) {
        const members = state.controls.filter((c) => c.group === control.group);
        const built = colourGroup(members);
        groups.set(control.group, built);
        panel.append(built.group);
      }
      groups.get(control.group).group.append(made.row);
      const { updateChip } = groups.get(control.group);
      const inner = made.update;
      made.update = (value) => { inner(value); updateChip(); };
    } else {
      panel.append(made.row);
    }
    controlRows.set(control.id, made);
  }
}

// The host-side finishing run on the keyed frame, in a section of its own;
// its values go through the same set requests, by ids "finish.NAME".
function buildFinishing(state) {
  const section = document.createElement('div');
  section.className = 'group finishing';
  const title = document.createElement('div');
  title.className = 'title';
  title.textContent = 'Finishing';
  section.append(title);
  for (const control of state.finishing.controls) {
    const made = control.kind === 'Checkbox' ? checkboxRow(control) : sliderRow(control);
    made.row.dataset.control = control.id;
    section.append(made.row);
    controlRows.set(control.id, made);
  }
  const shapes = state.finishing.garbage + state.finishing.holdout;
  if (shapes > 0) {
    const note = document.createElement('div');
    note.className = 'control label';
    note.textContent = `Garbage ${state.finishing.garbage}, holdout ${state.finishing.holdout} ` +
                       '(from the command line or settings file)';
    section.append(note);
  }
  $('controls').append(section);
}

function applyState(state) {
  const first = page.state === null;
  page.state = state;
  if (first) {
    buildControls(state);
    buildFinishing(state);
  }
  for (const control of [...state.controls, ...state.finishing.controls]) {
    const made = controlRows.get(control.id);
    if (!made) continue;
    made.row.hidden = !control.visible;
    if (typeof control.value === 'number') made.update(control.value);
  }
  document.body.dataset.revision = String(state.revision);
  for (const hook of page.onState) hook(state);
  $('save').disabled = !state.canSave;
  $('save').title = state.canSave ? `Write the settings to ${state.savePath}`
                                  : state.saveOff || 'Start veskar tune with --save FILE to save';
  samplesChanged(state);
}

// ---- viewing: views, zoom, pan, frames ----

function placeStage() {
  const stage = $('stage');
  stage.style.transform = `translate(${page.panX}px, ${page.panY}px) scale(${page.zoom})`;
  $('shown').classList.toggle('pixels', page.zoom >= 2);
  $('zoomText').textContent = `${Math.round(page.zoom * 100)}%`;
  for (const hook of page.onPlace) hook();
}

function fit() {
  const viewer = $('viewer').getBoundingClientRect();
  const { width, height } = page.state;
  page.zoom = Math.min(viewer.width / width, viewer.height / height);
  page.panX = (viewer.width - width * page.zoom) / 2;
  page.panY = (viewer.height - height * page.zoom) / 2;
  page.fitted = true;
  placeStage();
}

function zoomAround(factor, x, y) {
  const zoom = Math.min(32, Math.max(0.05, page.zoom * factor));
  page.panX = x - (x - page.panX) * (zoom / page.zoom);
  page.panY = y - (y - page.panY) * (zoom / page.zoom);
  page.zoom = zoom;
  page.fitted = false;
  placeStage();
}

// The plate pixel under a point of the viewer, or null outside the plate.
function platePixel(x, y) {
  const px = Math.floor((x - page.panX) / page.zoom);
  const py = Math.floor((y - page.panY) / page.zoom);
  if (px < 0 || py < 0 || px >= page.state.width || py >= page.state.height) return null;
  return { x: px, y: py };
}

function setView(view) {
  page.view = view;
  for (const button of document.querySelectorAll('#views button')) {
    button.classList.toggle('on', button.dataset.view === view);
  }
  $('legend').hidden = view !== 'status';
  setBackground();
  renderFull();
}

function setBackground() {
  const viewer = $('viewer');
  // An image of the plate's folder is laid under the result by the server.
  const checker = page.view === 'result' && $('background').value === 'checker';
  viewer.classList.toggle('checker', checker);
  viewer.style.backgroundColor = page.view === 'result' && !checker ? $('backgroundColour').value : '';
}

function setupViewer() {
  const viewer = $('viewer');
  const rectangle = $('rectangle');
  let drag = null;
  viewer.addEventListener('wheel', (event) => {
    event.preventDefault();
    const box = viewer.getBoundingClientRect();
    zoomAround(Math.exp(-event.deltaY * 0.0015), event.clientX - box.left, event.clientY - box.top);
  }, { passive: false });
  viewer.addEventListener('pointerdown', (event) => {
    if (event.button !== 0) return;
    const box = viewer.getBoundingClientRect();
    // Shift, Ctrl and Alt draw sample regions (sampling.js); a plain drag pans.
    const kind = regionKind(event);
    drag = { x: event.clientX - box.left, y: event.clientY - box.top, panX: page.panX, panY: page.panY,
             moved: false, screen: kind !== '', kind };
    viewer.setPointerCapture(event.pointerId);
  });
  viewer.addEventListener('pointermove', (event) => {
    const box = viewer.getBoundingClientRect();
    const x = event.clientX - box.left;
    const y = event.clientY - box.top;
    if (!drag) {
      pointerOver(x, y);
      return;
    }
    drag.moved = drag.moved || Math.abs(x - drag.x) + Math.abs(y - drag.y) > 3;
    if (!drag.moved) return;
    if (drag.screen) {
      rectangle.hidden = false;
      rectangle.dataset.kind = drag.kind;
      rectangle.style.left = `${Math.min(x, drag.x)}px`;
      rectangle.style.top = `${Math.min(y, drag.y)}px`;
      rectangle.style.width = `${Math.abs(x - drag.x)}px`;
      rectangle.style.height = `${Math.abs(y - drag.y)}px`;
    } else {
      viewer.classList.add('panning');
      page.panX = drag.panX + x - drag.x;
      page.panY = drag.panY + y - drag.y;
      page.fitted = false;
      placeStage();
    }
  });
  viewer.addEventListener('pointerup', async (event) => {
    if (!drag) return;
    const box = viewer.getBoundingClientRect();
    const x = event.clientX - box.left;
    const y = event.clientY - box.top;
    const ended = drag;
    drag = null;
    viewer.classList.remove('panning');
    rectangle.hidden = true;
    if (!ended.moved) {
      // With a shape being drawn, a click is one of its points (shapes.js).
      if (!shapeClick(x, y)) await pick(x, y);
    } else if (ended.screen) {
      await regionDrawn(ended.kind, ended.x, ended.y, x, y);
    }
  });
  $('fit').addEventListener('click', fit);
  $('actual').addEventListener('click', () => {
    const box = viewer.getBoundingClientRect();
    zoomAround(1 / page.zoom, box.width / 2, box.height / 2);
  });
  // The viewer changes size with the window and with the bars around it.
  new ResizeObserver(() => { if (page.fitted) fit(); }).observe(viewer);
}

async function pick(x, y) {
  const pixel = platePixel(x, y);
  if (!pixel) return;
  page.note = '';
  try {
    applyState(await api('POST', '/api/pick', { frame: currentFrame(), x: pixel.x, y: pixel.y }));
    say(`key colour picked at ${pixel.x}, ${pixel.y}`);
    renderFull();
  } catch (error) {
    say(error.message, true);
  }
}

// The plate pixels a rectangle dragged between two points of the viewer
// covers, cut to the plate; null when it misses the plate.
function plateRectangle(x0, y0, x1, y1) {
  const left = Math.floor((Math.min(x0, x1) - page.panX) / page.zoom);
  const top = Math.floor((Math.min(y0, y1) - page.panY) / page.zoom);
  const right = Math.floor((Math.max(x0, x1) - page.panX) / page.zoom);
  const bottom = Math.floor((Math.max(y0, y1) - page.panY) / page.zoom);
  const x = Math.max(0, left);
  const y = Math.max(0, top);
  const width = Math.min(page.state.width - 1, right) - x + 1;
  const height = Math.min(page.state.height - 1, bottom) - y + 1;
  return width > 0 && height > 0 ? { x, y, width, height } : null;
}

function setupFrames(state) {
  if (state.frames.count < 2) return;
  const slider = $('frame');
  $('frameBar').hidden = false;
  slider.max = String(state.frames.count - 1);
  const label = () => { $('frameText').textContent = String(frameAt(Number(slider.value))); };
  label();
  slider.addEventListener('input', () => { page.frameIndex = Number(slider.value); label(); });
  slider.addEventListener('change', () => { page.frameIndex = Number(slider.value); renderFull(); });
}

async function save() {
  try {
    const saved = await api('POST', '/api/save', {});
    // Kept beside the render times until the next change, so that a view
    // that arrives just after the save does not wipe the confirmation.
    page.note = `saved ${saved.path}`;
    say(page.note);
    const command = $('command');
    command.textContent = saved.command;
    command.hidden = false;
  } catch (error) {
    say(error.message, true);
  }
}

async function start() {
  for (const button of document.querySelectorAll('#views button')) {
    button.addEventListener('click', () => setView(button.dataset.view));
  }
  $('background').addEventListener('change', setBackground);
  $('backgroundColour').addEventListener('input', () => {
    $('background').value = 'colour';
    setBackground();
  });
  $('save').addEventListener('click', save);
  try {
    const state = await api('GET', '/api/state');
    applyState(state);
    $('plate').textContent = state.plate + (state.keyImage ? `  (key image ${state.keyImage})` : '');
    page.frameIndex = indexOfFrame(state.frame);
    setupFrames(state);
    setupViewer();
    $('shown').width = state.width;
    $('shown').height = state.height;
    fit();
    for (const hook of page.onStart) await hook(state);
    setView('result');
  } catch (error) {
    say(error.message, true);
  }
}

// After the workspace's scripts (loaded after this one) have set their hooks.
document.addEventListener('DOMContentLoaded', start);

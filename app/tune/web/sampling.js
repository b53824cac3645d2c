// Sample regions on the frame: Shift-drag adds screen, Ctrl-drag (or
// Shift-drag with Subject on) adds subject, Alt-drag cuts regions out. The
// server pools every region into one setup, as `veskar render --screen A
// --screen B --subject C` does. The regions are drawn over the frame and
// listed in the Samples panel, each with its own remove button; beside them,
// the readout of the pixel under the cursor. Loaded before tune.js, whose
// viewer calls regionKind, regionDrawn, pointerOver and samplesChanged.
'use strict';

const svgNs = 'http://www.w3.org/2000/svg';

const sampling = {
  subjectMode: false,
  overlay: null,      // the SVG drawn over the frame, in plate pixels
  probeWanted: null,  // the pixel the readout should show next
  probeBusy: false,
  probeTimer: 0,
};

// What a drag with these keys draws: 'screen', 'subject', 'remove', or ''
// (a pan).
function regionKind(event) {
  if (event.altKey) return 'remove';
  if (event.ctrlKey || event.metaKey) return 'subject';
  if (event.shiftKey) return sampling.subjectMode ? 'subject' : 'screen';
  return '';
}

// Sends one change of the regions; the server sets the key up again.
async function changeSamples(body) {
  try {
    const state = await api('POST', '/api/samples', { frame: currentFrame(), ...body });
    applyState(state);
    const found = state.screen;
    page.note = found.rect ? `screen ${found.rect}: ${[found.summary, ...found.notes].join('; ')}` : found.summary;
    say(page.note);
    renderFull();
  } catch (error) {
    say(error.message, true);
  }
}

// A drag between two points of the viewer has ended.
async function regionDrawn(kind, x0, y0, x1, y1) {
  if (!page.state.canScreen) {
    say('setting the screen from a rectangle is not available in this version', true);
    return;
  }
  const rect = plateRectangle(x0, y0, x1, y1);
  if (!rect) {
    say('the rectangle lies outside the frame: drag over screen pixels', true);
    return;
  }
  await changeSamples(kind === 'remove' ? { subtract: rect } : { add: { kind, ...rect } });
}

function svgElement(name, attributes) {
  const element = document.createElementNS(svgNs, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, String(value));
  return element;
}

// The SVG over the frame: it lies in #stage, so it pans and zooms with it.
function overlay() {
  if (!sampling.overlay) {
    const { width, height } = page.state;
    sampling.overlay = svgElement('svg', { id: 'samplesOverlay', viewBox: `0 0 ${width} ${height}`,
                                           width, height });
    $('stage').append(sampling.overlay);
  }
  return sampling.overlay;
}

function drawRegions(samples) {
  const svg = overlay();
  for (const old of svg.querySelectorAll('.region')) old.remove();
  for (const kind of ['screen', 'subject']) {
    for (const [x, y, width, height] of samples[kind]) {
      svg.append(svgElement('rect', { class: `region ${kind}`, x, y, width, height }));
    }
  }
}

// One row of a list in the panel: its text and a button that removes it.
function listRow(text, title, remove) {
  const row = document.createElement('li');
  const label = document.createElement('span');
  label.textContent = text;
  const button = document.createElement('button');
  button.type = 'button';
  button.className = 'remove';
  button.textContent = '\u00d7';
  button.title = title;
  button.addEventListener('click', remove);
  row.append(label, button);
  return row;
}

function panelSection(id, title) {
  let section = $(id);
  if (!section) {
    section = document.createElement('div');
    section.id = id;
    section.className = 'group samples';
    const heading = document.createElement('div');
    heading.className = 'title';
    heading.textContent = title;
    section.append(heading);
  }
  return section;
}

function buildSamplesPanel() {
  const section = panelSection('samplesPanel', 'Samples');
  const modes = document.createElement('div');
  modes.className = 'modes';
  const subject = document.createElement('button');
  subject.type = 'button';
  subject.id = 'subjectMode';
  subject.textContent = 'Shift-drag adds subject';
  subject.title = 'Shift-drag adds screen samples; with this on, subject samples (as Ctrl-drag does)';
  subject.addEventListener('click', () => {
    sampling.subjectMode = !sampling.subjectMode;
    subject.classList.toggle('on', sampling.subjectMode);
  });
  modes.append(subject);
  const help = document.createElement('div');
  help.className = 'help';
  help.textContent = 'Shift-drag: screen. Ctrl-drag: subject. Alt-drag: cut regions out.';
  const list = document.createElement('ul');
  list.id = 'regionList';
  const readout = document.createElement('div');
  readout.id = 'readout';
  readout.textContent = 'Point at the frame to read a pixel.';
  section.append(modes, help, list, readout);
  $('controls').prepend(section);
}

function listRegions(samples) {
  const list = $('regionList');
  list.replaceChildren();
  for (const kind of ['screen', 'subject']) {
    samples[kind].forEach((rect, index) => {
      const row = listRow(`${kind} ${rect.join(',')}`, `Remove this ${kind} sample`,
                          () => changeSamples({ remove: { kind, index } }));
      row.dataset.kind = kind;
      list.append(row);
    });
  }
}

// Called by applyState with every state the server sends.
function samplesChanged(state) {
  if (!$('samplesPanel')) buildSamplesPanel();
  drawRegions(state.samples);
  listRegions(state.samples);
  if (typeof shapesChanged === 'function') shapesChanged(state);
  if (typeof histogramWanted === 'function') histogramWanted();
}

// ---- the readout of the pixel under the cursor ----

function numbers(values, digits = 4) {
  return values.map((v) => (v === null ? 'nan' : Number(v).toFixed(digits))).join(' ');
}

function showReadout(data) {
  const rows = [
    [`pixel ${data.x}, ${data.y}`, ''],
    ['source RGBA', numbers(data.source)],
    [`${data.space} ${data.channels.join(' ')}`, numbers(data.working)],
    ['matte', numbers([data.matte])],
    ['output RGBA', numbers(data.output)],
  ];
  const readout = $('readout');
  readout.replaceChildren(...rows.map(([name, value]) => {
    const row = document.createElement('div');
    const label = document.createElement('span');
    label.textContent = name;
    const text = document.createElement('code');
    text.textContent = value;
    row.append(label, text);
    return row;
  }));
  readout.dataset.x = String(data.x);
  readout.dataset.y = String(data.y);
}

async function probeNext() {
  sampling.probeBusy = true;
  try {
    while (sampling.probeWanted) {
      const { x, y } = sampling.probeWanted;
      sampling.probeWanted = null;
      showReadout(await api('GET', `/api/probe?frame=${currentFrame()}&x=${x}&y=${y}`));
    }
  } catch (error) {
    $('readout').textContent = error.message;
  } finally {
    sampling.probeBusy = false;
  }
}

// The pointer moved over the viewer without a button held: the readout
// follows it, one request at a time and not for every small move.
function pointerOver(x, y) {
  const pixel = platePixel(x, y);
  if (!pixel) return;
  sampling.probeWanted = pixel;
  clearTimeout(sampling.probeTimer);
  sampling.probeTimer = setTimeout(() => { if (!sampling.probeBusy) probeNext(); }, 80);
}

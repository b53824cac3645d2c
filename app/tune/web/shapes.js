// Garbage and holdout polygons drawn on the frame: with Garbage or Holdout
// on, each click adds a point; a click on the first point or Enter closes
// the shape, Escape drops it. The server runs them in the finishing, as
// `--garbage x1,y1,...` and `--holdout` do, and Save writes them with it.
// Loaded before tune.js, whose viewer calls shapeClick; sampling.js calls
// shapesChanged.
'use strict';

const shapes = {
  mode: '',      // 'garbage', 'holdout', or '' (a click picks the key colour)
  points: [],    // the shape being drawn, in plate pixels
};

// A click closes the shape when it lands this near its first point, in
// screen pixels.
const closeDistance = 8;

function plateMode(mode) {
  shapes.mode = shapes.mode === mode ? '' : mode;
  shapes.points = [];
  for (const button of document.querySelectorAll('#shapeModes button')) {
    button.classList.toggle('on', button.dataset.mode === shapes.mode);
  }
  drawDrawing();
  say(shapes.mode ? `click points of a ${shapes.mode} shape; Enter or a click on the first point closes it` : '');
}

function drawDrawing() {
  const svg = overlay();
  for (const old of svg.querySelectorAll('.drawing')) old.remove();
  if (shapes.points.length === 0) return;
  const points = shapes.points.map(([x, y]) => `${x},${y}`).join(' ');
  svg.append(svgElement('polyline', { class: `drawing ${shapes.mode}`, points }));
  const [x, y] = shapes.points[0];
  svg.append(svgElement('circle', { class: 'drawing first', cx: x, cy: y, r: 3 / page.zoom }));
}

async function closeShape() {
  const points = shapes.points;
  const kind = shapes.mode;
  shapes.points = [];
  drawDrawing();
  if (points.length < 3) {
    say('a shape needs at least 3 points', true);
    return;
  }
  try {
    applyState(await api('POST', '/api/shapes', { add: { kind, points: points.flat() } }));
    say(`${kind} shape of ${points.length} points added`);
    renderFull();
  } catch (error) {
    say(error.message, true);
  }
}

// A click (no drag) on the viewer at (x, y): true when it drew a point.
function shapeClick(x, y) {
  if (!shapes.mode) return false;
  // Corners and half pixels: a shape's edge falls where a hand puts it.
  const point = [Math.round(((x - page.panX) / page.zoom) * 2) / 2,
                 Math.round(((y - page.panY) / page.zoom) * 2) / 2];
  if (shapes.points.length >= 3) {
    const [fx, fy] = shapes.points[0];
    const dx = (fx - point[0]) * page.zoom;
    const dy = (fy - point[1]) * page.zoom;
    if (Math.hypot(dx, dy) <= closeDistance) {
      closeShape();
      return true;
    }
  }
  shapes.points.push(point);
  drawDrawing();
  return true;
}

function buildShapesPanel() {
  const section = $('samplesPanel');
  const modes = document.createElement('div');
  modes.id = 'shapeModes';
  modes.className = 'modes';
  for (const mode of ['garbage', 'holdout']) {
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.mode = mode;
    button.textContent = mode === 'garbage' ? 'Draw garbage' : 'Draw holdout';
    button.title = mode === 'garbage' ? 'Click points of a shape keyed clear whatever its colour'
                                      : 'Click points of a shape kept opaque whatever its colour';
    button.addEventListener('click', () => plateMode(mode));
    modes.append(button);
  }
  const list = document.createElement('ul');
  list.id = 'shapeList';
  section.insertBefore(list, $('readout'));
  section.insertBefore(modes, list);
  $('viewer').addEventListener('keydown', (event) => {
    if (!shapes.mode) return;
    if (event.key === 'Enter') closeShape();
    if (event.key === 'Escape') {
      shapes.points = [];
      drawDrawing();
    }
  });
}

async function removeShape(kind, index) {
  try {
    applyState(await api('POST', '/api/shapes', { remove: { kind, index } }));
    renderFull();
  } catch (error) {
    say(error.message, true);
  }
}

function shapesChanged(state) {
  if (!$('shapeModes')) buildShapesPanel();
  const svg = overlay();
  for (const old of svg.querySelectorAll('.shape')) old.remove();
  const list = $('shapeList');
  list.replaceChildren();
  for (const kind of ['garbage', 'holdout']) {
    state.samples[kind].forEach((shape, index) => {
      if (shape.points) {
        const points = shape.points.map((p) => p.join(',')).join(' ');
        svg.append(svgElement('polygon', { class: `shape ${kind}`, points }));
      }
      const text = shape.points ? `${kind}: ${shape.points.length} points` : `${kind}: ${shape.file}`;
      const row = listRow(text, `Remove this ${kind} shape`, () => removeShape(kind, index));
      row.dataset.kind = kind;
      list.append(row);
    });
  }
}

// Histograms of the working space's three channels: the frame's values in
// grey, the screen samples' in green, and the channel's key window over
// them (Value + Min to Value + Max, the distance's zero dashed). Dragging a
// window edge sets Min or Max through the same set requests as the sliders.
// sampling.js calls histogramWanted whenever the state changes.
'use strict';

const histogram = {
  data: null,      // the server's last histograms
  busy: false,
  wanted: false,
  drag: null,      // { channel, edge: 'min'|'max', value } while an edge moves
};

const histogramHeight = 64;
// An edge is grabbed within this many screen pixels.
const edgeReach = 6;

function histogramPanel() {
  let section = $('histogramPanel');
  if (section) return section;
  section = document.createElement('div');
  section.id = 'histogramPanel';
  section.className = 'group histograms';
  const title = document.createElement('div');
  title.className = 'title';
  title.textContent = 'Histograms';
  section.append(title);
  for (let channel = 0; channel < 3; ++channel) {
    const canvas = document.createElement('canvas');
    canvas.className = 'histogram';
    canvas.dataset.channel = String(channel);
    canvas.height = histogramHeight;
    setupEdgeDrag(canvas, channel);
    section.append(canvas);
  }
  $('samplesPanel').after(section);
  window.addEventListener('resize', drawHistograms);
  return section;
}

// Where value `v` of a channel lies across a canvas `width` pixels wide.
function xOf(channel, v, width) {
  return ((v - channel.low) / (channel.high - channel.low)) * width;
}

function valueAt(channel, x, width) {
  return channel.low + (x / width) * (channel.high - channel.low);
}

// The window's edges of `channel`, with an edge being dragged where it is.
function edges(channel, index) {
  const base = channel.value.value;
  const drag = histogram.drag && histogram.drag.channel === index ? histogram.drag : null;
  const min = drag && drag.edge === 'min' ? drag.value : channel.min.value;
  const max = drag && drag.edge === 'max' ? drag.value : channel.max.value;
  return { start: base + min, end: base + max, centre: base + min + ((max - min) * (max - min)) / 2 };
}

function drawBins(context, bins, colour, width) {
  const most = Math.max(1, ...bins);
  context.fillStyle = colour;
  const barWidth = width / bins.length;
  bins.forEach((count, bin) => {
    // Square roots: a screen of a million pixels leaves a subject of a few
    // thousand visible beside it.
    const height = Math.sqrt(count / most) * (histogramHeight - 14);
    context.fillRect(bin * barWidth, histogramHeight - height, Math.max(1, barWidth - 0.5), height);
  });
}

function drawChannel(canvas, channel, index) {
  const width = canvas.clientWidth || 300;
  canvas.width = width;
  const context = canvas.getContext('2d');
  context.clearRect(0, 0, width, histogramHeight);
  context.fillStyle = '#111214';
  context.fillRect(0, 0, width, histogramHeight);
  drawBins(context, channel.frame, 'rgba(190, 190, 190, 0.55)', width);
  drawBins(context, channel.screen, 'rgba(80, 220, 120, 0.75)', width);
  const { start, end, centre } = edges(channel, index);
  const a = xOf(channel, start, width);
  const b = xOf(channel, end, width);
  context.fillStyle = 'rgba(255, 213, 74, 0.12)';
  context.fillRect(Math.min(a, b), 0, Math.abs(b - a), histogramHeight);
  context.strokeStyle = '#ffd54a';
  context.lineWidth = 2;
  for (const x of [a, b]) {
    context.beginPath();
    context.moveTo(x, 0);
    context.lineTo(x, histogramHeight);
    context.stroke();
  }
  context.setLineDash([3, 3]);
  context.strokeStyle = '#ffffff';
  context.lineWidth = 1;
  const c = xOf(channel, centre, width);
  context.beginPath();
  context.moveTo(c, 0);
  context.lineTo(c, histogramHeight);
  context.stroke();
  context.setLineDash([]);
  context.fillStyle = '#d9dade';
  const against = histogram.data.againstKeyImage ? ' \u2212 key image + Value' : '';
  context.fillText(`${histogram.data.space} ${channel.name}${against}`, 4, 11);
  Object.assign(canvas.dataset, { minX: String(a), maxX: String(b), min: channel.min.id, max: channel.max.id });
}

function drawHistograms() {
  if (!histogram.data) return;
  const canvases = histogramPanel().querySelectorAll('canvas');
  histogram.data.channels.forEach((channel, index) => drawChannel(canvases[index], channel, index));
}

async function fetchHistograms() {
  histogram.busy = true;
  try {
    while (histogram.wanted) {
      histogram.wanted = false;
      const data = await api('GET', `/api/histogram?frame=${currentFrame()}`);
      // An edge being dragged keeps the scale it was grabbed on.
      if (!histogram.drag) {
        histogram.data = data;
        drawHistograms();
        document.body.dataset.histogramRevision = String(data.revision);
      }
    }
  } catch (error) {
    say(error.message, true);
  } finally {
    histogram.busy = false;
  }
}

function histogramWanted() {
  histogram.wanted = true;
  if (!histogram.busy) fetchHistograms();
}

function setupEdgeDrag(canvas, index) {
  const pointerX = (event) => event.clientX - canvas.getBoundingClientRect().left;
  canvas.addEventListener('pointerdown', (event) => {
    if (!histogram.data || event.button !== 0) return;
    const channel = histogram.data.channels[index];
    const x = pointerX(event);
    const width = canvas.clientWidth;
    const { start, end } = edges(channel, index);
    const toMin = Math.abs(x - xOf(channel, start, width));
    const toMax = Math.abs(x - xOf(channel, end, width));
    if (Math.min(toMin, toMax) > edgeReach) return;
    const edge = toMin <= toMax ? 'min' : 'max';
    histogram.drag = { channel: index, edge, value: channel[edge].value };
    canvas.setPointerCapture(event.pointerId);
  });
  const move = (event, final) => {
    const drag = histogram.drag;
    if (!drag || drag.channel !== index) return;
    const channel = histogram.data.channels[index];
    const control = channel[drag.edge];
    const value = valueAt(channel, pointerX(event), canvas.clientWidth) - channel.value.value;
    drag.value = Math.min(control.upper, Math.max(control.lower, value));
    drawChannel(canvas, channel, index);
    if (final) histogram.drag = null;
    // The same path as the slider: proxies while it moves, the frame when let go.
    change(control.id, drag.value, final);
  };
  canvas.addEventListener('pointermove', (event) => move(event, false));
  canvas.addEventListener('pointerup', (event) => move(event, true));
}

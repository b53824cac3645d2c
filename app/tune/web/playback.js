// Playback of a sequence at proxy size over a loop range (in and out points
// on the frame bar). The next frame is asked for once the last one is shown,
// so requests never pile up behind a slow render.
'use strict';

const playback = { playing: false, in: 0, out: 0 };

function showFrameIndex(index) {
  page.frameIndex = index;
  $('frame').value = String(index);
  $('frameText').textContent = String(frameAt(index));
  renderFull();
}

function loopText() {
  $('loopText').textContent = `loop ${frameAt(playback.in)}-${frameAt(playback.out)}`;
  // The loop range drawn on the frame bar's track.
  const count = Math.max(1, page.state.frames.count - 1);
  const from = (playback.in / count) * 100;
  const to = (playback.out / count) * 100;
  $('frame').style.background =
    `linear-gradient(to right, transparent ${from}%, rgba(87, 166, 255, 0.35) ${from}%, ` +
    `rgba(87, 166, 255, 0.35) ${to}%, transparent ${to}%)`;
}

function markLoop(end) {
  if (!page.state || page.state.frames.count < 2) return;
  if (end === 'in') {
    playback.in = page.frameIndex;
    playback.out = Math.max(playback.out, playback.in);
  } else {
    playback.out = page.frameIndex;
    playback.in = Math.min(playback.in, playback.out);
  }
  loopText();
}

async function play() {
  while (playback.playing) {
    const inRange = page.frameIndex >= playback.in && page.frameIndex < playback.out;
    const next = inRange ? page.frameIndex + 1 : playback.in;
    page.frameIndex = next;
    $('frame').value = String(next);
    $('frameText').textContent = String(frameAt(next));
    try {
      // Changes of the values wait their turn: a frame is shown between them.
      while (page.busy) await new Promise((resolve) => setTimeout(resolve, 10));
      await showView('proxy');
    } catch (error) {
      say(error.message, true);
      togglePlay(false);
    }
  }
}

function togglePlay(on) {
  if (!page.state || page.state.frames.count < 2) return;
  const playing = on === undefined ? !playback.playing : on;
  if (playing === playback.playing) return;
  playback.playing = playing;
  $('play').textContent = playing ? 'Pause' : 'Play';
  $('play').classList.toggle('on', playing);
  document.body.dataset.playing = String(playing);
  if (playing) {
    play();
  } else {
    renderFull();  // the frame it stopped on, at full size
  }
}

page.onStart.push((state) => {
  if (state.frames.count < 2) return;
  $('playback').hidden = false;
  playback.in = 0;
  playback.out = state.frames.count - 1;
  loopText();
  $('frame').addEventListener('input', () => togglePlay(false));
});

$('play').addEventListener('click', () => togglePlay());
$('markIn').addEventListener('click', () => markLoop('in'));
$('markOut').addEventListener('click', () => markLoop('out'));

// The tuning page as a workspace, in Debian's chromium: undo and redo give
// back the very pixels, shortcuts, the wipe and A/B, the result over a
// background image, and playback of a loop range.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { copyFileSync, rmSync, writeFileSync } from 'node:fs';
import path from 'node:path';

import { makePlate, startTune, run, launch, settled, settledAfter, revision, screenPoint, differing } from './support.mjs';

// The RGBA bytes of an image element of the page, read off a canvas.
async function pixelsOf(page, selector = '#shown') {
  return page.evaluate((wanted) => {
    const image = document.querySelector(wanted);
    const canvas = document.createElement('canvas');
    canvas.width = image.naturalWidth;
    canvas.height = image.naturalHeight;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    context.drawImage(image, 0, 0);
    return Array.from(context.getImageData(0, 0, canvas.width, canvas.height).data);
  }, selector);
}

// The RGBA bytes of a view as the server sends it (query text after '?').
async function viewPixels(page, query) {
  return page.evaluate(async (text) => {
    const token = new URLSearchParams(location.search).get('token');
    const response = await fetch(`/api/view?${text}`, { headers: { 'X-Veskar-Token': token } });
    const bitmap = await createImageBitmap(await response.blob());
    const canvas = document.createElement('canvas');
    canvas.width = bitmap.width;
    canvas.height = bitmap.height;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    context.drawImage(bitmap, 0, 0);
    return Array.from(context.getImageData(0, 0, canvas.width, canvas.height).data);
  }, query);
}

// The RGBA bytes of a rectangle of the screen as chromium draws it.
async function screenPixels(page, clip) {
  const png = (await page.screenshot({ clip })).toString('base64');
  return page.evaluate(async (base64) => {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const bitmap = await createImageBitmap(new Blob([bytes], { type: 'image/png' }));
    const canvas = document.createElement('canvas');
    canvas.width = bitmap.width;
    canvas.height = bitmap.height;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    context.drawImage(bitmap, 0, 0);
    return Array.from(context.getImageData(0, 0, canvas.width, canvas.height).data);
  }, png);
}

// The 8-bit values of an image file's pixels, `channels` of each, in order.
function fileValues(file, channels) {
  const values = run('oiiotool', ['--dumpdata', '--info', '-v', file], { maxBuffer: 64 << 20 }).split('\n')
    .filter((line) => line.trim().startsWith('Pixel ('))
    .map((line) => line.split(':')[1].trim().split(/\s+/).slice(0, channels).map(Number));
  assert.equal(values.length, 320 * 180, file);
  return values;
}

// Opens the page of `veskar tune ARGS` and runs `body(page)`; the page must
// report no errors on the way.
async function onPage(args, body) {
  const tune = await startTune(args);
  const { context, userData } = await launch(1400);
  const problems = [];
  try {
    const page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (error) => problems.push(error.message));
    page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
    await page.goto(tune.url);
    await settled(page, 'result');
    await body(page);
    assert.deepEqual(problems, [], 'the page reported no errors');
  } finally {
    await context.close();
    await tune.stop();
    rmSync(userData, { recursive: true, force: true });
  }
}

test('undo and redo give back the pixels of every kind of change', async () => {
  const { folder, plate, settings } = makePlate();
  try {
    await onPage([plate, '--settings', settings], async (page) => {
      const shown = [await pixelsOf(page)];
      const changes = {
        'a slider drag': async () => {
          const slider = page.locator('[data-control="GammaAlpha"] input[type=range]');
          await slider.scrollIntoViewIfNeeded();
          const box = await slider.boundingBox();
          const middle = box.x + 8 + 0.25 * (box.width - 16);  // the thumb, at 1 of 0 to 4
          await page.mouse.move(middle, box.y + box.height / 2);
          await page.mouse.down();
          for (let step = 1; step <= 5; ++step) await page.mouse.move(middle - step * 3, box.y + box.height / 2);
          await page.mouse.up();
        },
        'a pick': async () => {
          const point = await screenPoint(page, 160, 90);
          await page.mouse.click(point.x, point.y);
        },
        'a finishing option': () => page.locator('[data-control="finish.unmix"] input').click(),
        'a screen drag': async () => {
          const from = await screenPoint(page, 6, 5);
          const to = await screenPoint(page, 45, 34);
          await page.keyboard.down('Shift');
          await page.mouse.move(from.x, from.y);
          await page.mouse.down();
          await page.mouse.move(to.x, to.y, { steps: 5 });
          await page.mouse.up();
          await page.keyboard.up('Shift');
        },
      };
      for (const [name, make] of Object.entries(changes)) {
        const before = await revision(page);
        await make();
        await settledAfter(page, before);
        shown.push(await pixelsOf(page));
        assert.ok(differing(shown.at(-2), shown.at(-1)) > 0, `${name} changed the result`);
      }
      const names = Object.keys(changes);
      await page.locator('#viewer').focus();
      for (let step = names.length; step > 0; --step) {
        const before = await revision(page);
        if (step === 1) await page.locator('#undo').click(); else await page.keyboard.press('Control+z');
        await settledAfter(page, before);
        assert.equal(differing(await pixelsOf(page), shown[step - 1]), 0, `undo of ${names[step - 1]}`);
      }
      assert.ok(await page.locator('#undo').isDisabled(), 'nothing more to undo');
      for (let step = 1; step <= names.length; ++step) {
        const before = await revision(page);
        await page.keyboard.press(step % 2 ? 'Control+Shift+Z' : 'Control+y');
        await settledAfter(page, before);
        assert.equal(differing(await pixelsOf(page), shown[step]), 0, `redo of ${names[step - 1]}`);
      }
      assert.ok(await page.locator('#redo').isDisabled(), 'nothing more to redo');
    });
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

test('shortcuts switch views and zoom, list themselves, and wait while typing', async () => {
  const { folder, plate, settings } = makePlate();
  try {
    await onPage([plate, '--settings', settings], async (page) => {
      await page.keyboard.press('2');
      await settled(page, 'matte');
      await page.keyboard.press('s');
      await settled(page, 'source');
      await page.keyboard.press('0');
      assert.equal(await page.locator('#zoomText').textContent(), '100%');
      await page.keyboard.press('f');
      assert.notEqual(await page.locator('#zoomText').textContent(), '100%');

      await page.locator('#snapshotName').fill('');
      await page.locator('#snapshotName').type('3 w?');
      assert.equal(await page.locator('#snapshotName').inputValue(), '3 w?');
      assert.equal(await page.evaluate(() => document.getElementById('shown').dataset.view), 'source');
      assert.ok(await page.locator('#keys').isHidden(), 'typing ? in a field shows no list');
      assert.ok(await page.locator('#divider').isHidden(), 'typing w in a field starts no wipe');

      await page.locator('#viewer').focus();
      await page.keyboard.press('?');
      assert.ok(await page.locator('#keys').isVisible(), '? shows the list');
      const listed = await page.locator('#keyTable').textContent();
      for (const text of ['Undo', 'Redo', 'Fit', 'Wipe', 'Play', 'Matte view']) assert.match(listed, new RegExp(text));
      await page.keyboard.press('Escape');
      assert.ok(await page.locator('#keys').isHidden());
      await page.locator('#keysButton').click();
      assert.ok(await page.locator('#keys').isVisible(), 'the ? button shows the list');
    });
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

test('the result over a background image, the wipe and A/B show the right pixels', async () => {
  const { folder, plate, settings } = makePlate();
  const background = path.join(folder, 'back.png');
  run('oiiotool', ['--pattern', 'fill:topleft=0.9,0.2,0.1:topright=0.1,0.8,0.2:bottomleft=0.2,0.1,0.9:' +
                   'bottomright=1,1,0.2', '320x180', '3', '-d', 'uint8', '-o', background]);
  try {
    await onPage([plate, '--settings', settings, '--background', background], async (page) => {
      assert.equal(await page.locator('#background').inputValue(), 'file:back.png');
      const laid = await pixelsOf(page);
      // The result without a background and the background, as 8-bit values
      // of their files (a canvas would premultiply the result's colour).
      const resultFile = path.join(folder, 'result.png');
      writeFileSync(resultFile, Buffer.from(await page.evaluate(async () => {
        const token = new URLSearchParams(location.search).get('token');
        const response = await fetch('/api/view?view=result&size=full&frame=0', { headers: { 'X-Veskar-Token': token } });
        const bytes = new Uint8Array(await response.arrayBuffer());
        let text = '';
        for (const byte of bytes) text += String.fromCharCode(byte);
        return btoa(text);
      }), 'base64'));
      const straight = fileValues(resultFile, 4).flat();
      const ground = fileValues(background, 3);
      let partly = 0;
      for (let pixel = 0; pixel < 320 * 180; ++pixel) {
        const alpha = straight[pixel * 4 + 3];
        partly += alpha > 0 && alpha < 255 ? 1 : 0;
        for (let c = 0; c < 3; ++c) {
          const expected = (straight[pixel * 4 + c] * alpha + ground[pixel][c] * (255 - alpha)) / 255;
          assert.ok(Math.abs(laid[pixel * 4 + c] - expected) <= 0.5,
                    `pixel ${pixel} channel ${c}: ${laid[pixel * 4 + c]}, composite ${expected}`);
        }
      }
      assert.ok(partly > 0, 'the composite was checked where the result is partly keyed');

      // A snapshot, then a change: B shows the change, A the snapshot.
      await page.locator('#snapshotName').fill('sample');
      await page.locator('#snapshot').click();
      await page.waitForFunction(() => document.getElementById('snapshots').value === '0');
      await settled(page);
      const before = await revision(page);
      await page.locator('[data-control="OffAlpha"] input[type=number]').fill('0.4');
      await page.locator('[data-control="OffAlpha"] input[type=number]').press('Enter');
      await settledAfter(page, before);
      const current = await pixelsOf(page);
      assert.ok(differing(current, laid) > 0, 'the change shows');
      await page.locator('#viewer').focus();
      await page.keyboard.press('b');
      await page.waitForSelector('#shown[data-snapshot="0"]');
      await settled(page);
      assert.equal(await page.locator('#abLabel').textContent(), 'A: sample');
      assert.equal(differing(await pixelsOf(page), laid), 0, 'A shows the snapshot');
      await page.keyboard.press('b');
      await page.waitForSelector('#shown[data-snapshot=""]');
      await settled(page);
      assert.equal(differing(await pixelsOf(page), current), 0, 'B shows the current settings');

      // The wipe at 1:1: left of the divider the source, right of it the
      // result over the background, pixel for pixel.
      await page.locator('#snapshots').selectOption('');
      await page.keyboard.press('w');
      await page.waitForFunction(() => document.getElementById('wipeImage').dataset.view === 'source');
      await settled(page);
      await page.evaluate(() => {
        page.zoom = 1;
        page.panX = 20;
        page.panY = 20;
        placeStage();
      });
      const viewer = await page.locator('#viewer').boundingBox();
      const screen = await screenPixels(page, { x: viewer.x + 20, y: viewer.y + 20, width: 320, height: 180 });
      const source = await viewPixels(page, 'view=source&size=full&frame=0');
      let compared = 0;
      for (let y = 40; y < 180; ++y) {
        for (let x = 0; x < 320; ++x) {
          if (x >= 150 && x < 170) continue;  // the divider
          const expected = x < 160 ? source : current;
          for (let c = 0; c < 3; ++c) {
            const at = (y * 320 + x) * 4 + c;
            assert.equal(screen[at], expected[at], `${x < 160 ? 'source' : 'result'} at ${x},${y}`);
          }
          ++compared;
        }
      }
      assert.ok(compared > 40000);
      assert.ok(differing(source, current) > 1000, 'the two sides differ');

      // Dragged to a quarter of the frame, the divider shows the result from
      // there (where the source showed before), and picks nothing.
      const unpicked = await revision(page);
      const divider = await page.locator('#divider').boundingBox();
      await page.mouse.move(divider.x + divider.width / 2, divider.y + 100);
      await page.mouse.down();
      await page.mouse.move(viewer.x + 20 + 80, divider.y + 100, { steps: 4 });
      await page.mouse.up();
      const moved = await screenPixels(page, { x: viewer.x + 20, y: viewer.y + 20, width: 320, height: 180 });
      let changedSide = 0;
      for (let y = 40; y < 180; ++y) {
        for (let x = 90; x < 150; ++x) {
          const at = (y * 320 + x) * 4;
          assert.deepEqual(moved.slice(at, at + 3), current.slice(at, at + 3), `result at ${x},${y} after the drag`);
          changedSide += screen[at] !== moved[at] ? 1 : 0;
        }
      }
      assert.ok(changedSide > 100, 'the drag moved the divider over differing pixels');
      assert.equal(await revision(page), unpicked, 'dragging the divider picks no colour');
    });
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

test('playback visits the loop range in order and loops', async () => {
  const { folder, plate } = makePlate();
  for (let frame = 1001; frame <= 1005; ++frame) copyFileSync(plate, path.join(folder, `seq.${frame}.png`));
  try {
    await onPage([path.join(folder, 'seq.####.png'), '--frames', '1001-1005'], async (page) => {
      assert.ok(await page.locator('#playback').isVisible());
      await page.locator('#viewer').focus();
      await page.keyboard.press('ArrowRight');
      await page.keyboard.press('i');
      await page.keyboard.press('ArrowRight');
      await page.keyboard.press('ArrowRight');
      await page.keyboard.press('o');
      assert.equal(await page.locator('#loopText').textContent(), 'loop 1002-1004');
      // The frame the keys above went to, shown at full size: no view is
      // loading when playback starts.
      await settled(page);
      await page.evaluate(() => {
        window.shownFrames = [];
        new MutationObserver(() => {
          const image = document.getElementById('shown');
          if (image.dataset.size === 'proxy') window.shownFrames.push(Number(image.dataset.frame));
        }).observe(document.getElementById('shown'), { attributes: true, attributeFilter: ['data-frame'] });
      });
      // One view request at a time: the next frame is asked for once the
      // last one is shown, so none wait in a queue.
      // Only requests seen starting count: one that ended unseen took the
      // count below zero and hid every later request.
      const inFlight = new Set();
      let most = 0;
      const started = (request) => {
        if (!request.url().includes('/api/view')) return;
        inFlight.add(request);
        most = Math.max(most, inFlight.size);
      };
      const ended = (request) => { inFlight.delete(request); };
      page.on('request', started);
      page.on('requestfinished', ended);
      page.on('requestfailed', ended);
      await page.keyboard.press(' ');
      await page.waitForFunction(() => window.shownFrames.length >= 10, null, { timeout: 30000 });
      // Counted while playing: pausing asks for the full frame while the
      // last proxy may still load, by design.
      const mostWhilePlaying = most;
      await page.keyboard.press(' ');
      assert.equal(mostWhilePlaying, 1, 'playback asked for one frame at a time');
      await settled(page);
      const frames = await page.evaluate(() => window.shownFrames);
      assert.equal(frames[0], 1002, 'playback starts at the in point');
      for (let i = 1; i < frames.length; ++i) {
        const next = frames[i - 1] === 1004 ? 1002 : frames[i - 1] + 1;
        assert.equal(frames[i], next, `frame ${i} of ${frames.join(' ')}`);
      }
      assert.equal(await page.locator('#play').textContent(), 'Play');
    });
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

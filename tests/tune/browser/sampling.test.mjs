// The tuning page's sample regions, drawn shapes, readout and histograms in
// Debian's chromium, checked against what `veskar render` does with the same
// rectangles and polygons.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, rmSync } from 'node:fs';
import path from 'node:path';

import { makePlate, startTune, veskar, run, launch, settled, settledAfter, revision, screenPoint,
  save, shownFile, shownGrey, sameImages } from './support.mjs';

// A drag from the centre of plate pixel (x0, y0) to that of (x1, y1) with
// `key` held, and the page settled on what it changed.
async function dragWith(page, key, [x0, y0], [x1, y1]) {
  const from = await screenPoint(page, x0, y0);
  const to = await screenPoint(page, x1, y1);
  const before = await revision(page);
  await page.keyboard.down(key);
  await page.mouse.move(from.x, from.y);
  await page.mouse.down();
  await page.mouse.move(to.x, to.y, { steps: 5 });
  await page.mouse.up();
  await page.keyboard.up(key);
  await settledAfter(page, before);
}

const regionRows = (page) => page.locator('#regionList li span').allTextContents();

// A fresh `veskar tune` of the sample plate WITHOUT its settings (the space
// is the setup's to choose), saving to a file of its own.
async function onOpenPage(body) {
  const files = makePlate();
  files.saved = path.join(files.folder, 'saved.setting');
  const tune = await startTune([files.plate, '--save', files.saved]);
  const { context, userData } = await launch();
  const problems = [];
  try {
    const page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (error) => problems.push(error.message));
    page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
    await page.goto(tune.url);
    await settled(page, 'result');
    await body(page, files);
    assert.deepEqual(problems, [], 'the page reported no errors');
  } finally {
    await context.close();
    await tune.stop();
    rmSync(userData, { recursive: true, force: true });
    rmSync(files.folder, { recursive: true, force: true });
  }
}

test('sample regions: added, pooled, cut and removed as --screen and --subject take them',
     () => onOpenPage(async (page, { folder, plate, saved }) => {
  await dragWith(page, 'Shift', [6, 5], [45, 34]);
  assert.match(await page.locator('#message').textContent(),
               /^screen 6,5,40,30: 1200 screen pixels; .*Colorspace \S+ chosen for these samples/);
  await dragWith(page, 'Shift', [260, 20], [299, 59]);
  await dragWith(page, 'Control', [120, 140], [179, 169]);
  assert.deepEqual(await regionRows(page), ['screen 6,5,40,30', 'screen 260,20,40,40', 'subject 120,140,60,30']);
  assert.equal(await page.locator('#samplesOverlay rect.region.screen').count(), 2);
  assert.equal(await page.locator('#samplesOverlay rect.region.subject').count(), 1);

  // Saved, the values are those of the command line with the same regions.
  await save(page);
  const cli = path.join(folder, 'cli.setting');
  run(veskar, ['render', plate, '--screen', '6,5,40,30', '--screen', '260,20,40,40', '--subject', '120,140,60,30',
               '-o', path.join(folder, 'cli.png'), '--save-settings', cli]);
  assert.equal(readFileSync(saved, 'utf8'), readFileSync(cli, 'utf8'));

  // Alt-drag across the second screen region keeps what lies beside the cut.
  await dragWith(page, 'Alt', [250, 40], [319, 179]);
  assert.deepEqual(await regionRows(page), ['screen 6,5,40,30', 'screen 260,20,40,20', 'subject 120,140,60,30']);
  // Each row's button removes its region.
  const before = await revision(page);
  await page.locator('#regionList li', { hasText: 'subject' }).locator('button').click();
  await settledAfter(page, before);
  assert.deepEqual(await regionRows(page), ['screen 6,5,40,30', 'screen 260,20,40,20']);
}));

test('the readout names the pixel under the cursor', () => onOpenPage(async (page) => {
  await dragWith(page, 'Shift', [6, 5], [45, 34]);
  const point = await screenPoint(page, 150, 150);
  await page.mouse.move(point.x, point.y);
  await page.waitForFunction(() => document.getElementById('readout').dataset.x === '150');
  const text = await page.locator('#readout').textContent();
  assert.match(text, /pixel 150, 150/);
  assert.match(text, /source RGBA(\s*-?\d\.\d{4}){4}/);
  assert.match(text, /(RGB|HSV|YXy|YUV|YCbCr) \S+ \S+ \S+(\s*-?\d\.\d{4}){3}/);
  // The subject's body is kept: its matte and output alpha are 1.
  assert.match(text, /matte\s*1\.0000/);
  assert.match(text, /output RGBA(\s*-?\d\.\d{4}){3}\s*1\.0000/);
}));

test('garbage and holdout polygons drawn on the page render the same with the saved settings',
     () => onOpenPage(async (page, { folder, saved }) => {
  await dragWith(page, 'Shift', [6, 5], [45, 34]);
  // The setup's long message stays within the window: a page wider than it
  // is narrowed, and the picture refitted, when a shorter message follows.
  assert.ok((await page.locator('#message').textContent()).length > 200);
  assert.equal(await page.evaluate(() => document.getElementById('viewer').getBoundingClientRect().right),
               await page.evaluate(() => window.innerWidth));
  await page.locator('#shapeModes button[data-mode="garbage"]').click();
  const corners = [[200, 30], [250, 30], [250, 120], [200, 120]];
  for (const [x, y] of corners) {
    const point = await screenPoint(page, x, y);
    await page.mouse.click(point.x, point.y);
  }
  assert.equal(await page.locator('#samplesOverlay polyline.drawing').count(), 1, 'the shape is drawn as it grows');
  const before = await revision(page);
  const first = await screenPoint(page, ...corners[0]);
  await page.mouse.click(first.x, first.y);
  await settledAfter(page, before);
  assert.deepEqual(await page.locator('#shapeList li').allTextContents(), ['garbage: 4 points×']);
  assert.equal(await page.locator('#samplesOverlay polygon.shape.garbage').count(), 1);

  // A holdout closed with Enter; the drawing mode stays on until its button is pressed again.
  await page.locator('#shapeModes button[data-mode="holdout"]').click();
  for (const [x, y] of [[20, 100], [60, 100], [40, 140]]) {
    const point = await screenPoint(page, x, y);
    await page.mouse.click(point.x, point.y);
  }
  const beforeHoldout = await revision(page);
  await page.keyboard.press('Enter');
  await settledAfter(page, beforeHoldout);
  assert.deepEqual(await page.locator('#shapeList li span').allTextContents(),
                   ['garbage: 4 points', 'holdout: 3 points']);

  const command = await save(page);
  const text = readFileSync(saved, 'utf8');
  assert.match(text, /\t\tGarbage = \{ "200\.5,30\.5,250\.5,30\.5,250\.5,120\.5,200\.5,120\.5", \},/);
  assert.match(text, /\t\tHoldout = \{ "20\.5,100\.5,60\.5,100\.5,40\.5,140\.5", \},/);
  run('sh', ['-c', command], { env: { ...process.env, PATH: `${path.dirname(veskar)}:${process.env.PATH}` } });
  await settled(page, 'result');
  const shown = path.join(folder, 'shown-garbage.png');
  await shownFile(page, shown);
  assert.ok(sameImages(shown, command.split(' -o ')[1]), 'the result shown is what veskar render writes');
}));

test('dragging a window edge on a histogram sets Max and changes the matte', () => onOpenPage(async (page) => {
  await dragWith(page, 'Shift', [6, 5], [45, 34]);
  await page.locator('#views button[data-view="matte"]').click();
  await settled(page, 'matte');
  await page.waitForFunction(() => document.body.dataset.histogramRevision === document.body.dataset.revision);
  const canvas = page.locator('canvas.histogram[data-channel="1"]');
  const { maxX, max } = await canvas.evaluate((element) => ({ maxX: Number(element.dataset.maxX),
                                                               max: element.dataset.max }));
  const control = page.locator(`[data-control="${max}"] input[type=number]`);
  const kept = Number(await control.inputValue());
  const matte = await shownGrey(page);
  const box = await canvas.boundingBox();
  const before = await revision(page);
  await page.mouse.move(box.x + maxX, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + maxX - 40, box.y + box.height / 2, { steps: 6 });
  await page.mouse.up();
  await settledAfter(page, before);
  const moved = Number(await control.inputValue());
  assert.ok(moved < kept, `${max} went from ${kept} to ${moved}`);
  const after = await shownGrey(page);
  assert.ok(after.some((value, i) => value !== matte[i]), 'the matte changed');
}));

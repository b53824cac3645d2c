// The tuning page end to end in Debian's chromium: veskar tune serves a small
// plate, the page is driven as a user drives it, and what it shows is checked
// against what `veskar render` writes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, rmSync } from 'node:fs';
import path from 'node:path';

import { makePlate, startTune, controlTable, veskar, run, launch, settled, settledAfter, revision,
  save, screenPoint, differing, shownFile, shownGrey, sameImages } from './support.mjs';

// Opens the page of a fresh `veskar tune` of a copy of the sample plate, with
// its settings and a save path, shows the result and runs `body(page, files)`;
// the page must report no errors on the way.
async function onTunePage(body) {
  const files = makePlate();
  files.saved = path.join(files.folder, 'saved.setting');
  const tune = await startTune([files.plate, '--settings', files.settings, '--save', files.saved]);
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

test('veskar tune in chromium', (t) => onTunePage(async (page, { folder, plate, settings, saved }) => {
  await t.test('every control of the table is there with its caption and kind', async () => {
    const rows = controlTable().filter((row) => row.kind !== 'Output');
    assert.ok(rows.length >= 31, `veskar controls listed ${rows.length} rows`);
    for (const row of rows) {
      const control = page.locator(`[data-control="${row.id}"]`);
      assert.equal(await control.count(), 1, `control ${row.id}`);
      assert.equal(await control.getAttribute('data-kind'), row.kind, `kind of ${row.id}`);
      const caption = await control.locator(':scope > label, :scope > .caption').textContent();
      assert.equal(caption, row.caption, `caption of ${row.id}`);
    }
    const entries = await page.locator('[data-control="Colorspace"] option').allTextContents();
    assert.deepEqual(entries, ['RGB', 'HSV', 'YXy', 'YUV', 'YCbCr']);
  });

  await t.test('the Channel buttons show the sliders of one channel', async () => {
    const before = await revision(page);
    await page.locator('[data-control="Channel"] button', { hasText: '0' }).click();
    await settledAfter(page, before);
    for (const id of ['ValueRed', 'MiRedn', 'MaxRed']) {
      assert.ok(await page.locator(`[data-control="${id}"]`).isVisible(), `${id} shown`);
    }
    for (const id of ['ValueGreen', 'MinGreen', 'MaxGreen', 'ValueBlue', 'MinBlue', 'MaxBlue']) {
      assert.ok(!(await page.locator(`[data-control="${id}"]`).isVisible()), `${id} hidden`);
    }
    const back = await revision(page);
    await page.locator('[data-control="Channel"] button', { hasText: '1' }).click();
    await settledAfter(page, back);
    assert.ok(await page.locator('[data-control="MaxGreen"]').isVisible());
    assert.ok(!(await page.locator('[data-control="MaxRed"]').isVisible()));
  });

  await t.test('a key that keys everything is named on the page', async () => {
    // The sample's settings key the sample: nothing to say.
    const warning = page.locator('#warning');
    assert.ok(await warning.isHidden(), 'no warning for a working key');
    const gain = page.locator('[data-control="MultAlpha"] input[type=number]');
    const kept = await gain.inputValue();
    let before = await revision(page);
    await gain.fill('0');
    await gain.press('Enter');
    await settledAfter(page, before);
    assert.ok(await warning.isVisible(), 'the warning shows');
    assert.match(await warning.textContent(),
                 /^the matte is opaque on only 0\.00% of this frame: it keys everything; .* a Shift-drag over the screen$/);
    before = await revision(page);
    await gain.fill(kept);
    await gain.press('Enter');
    await settledAfter(page, before);
    assert.ok(await warning.isHidden(), 'the warning goes with its cause');
  });

  await t.test('a click picks the key colour as --pick does', async () => {
    const point = await screenPoint(page, 12, 9);
    const before = await revision(page);
    await page.mouse.click(point.x, point.y);
    await settledAfter(page, before);
    await save(page);
    const cli = path.join(folder, 'pick.setting');
    run(veskar, ['render', plate, '--settings', settings, '--pick', '12,9', '-o', path.join(folder, 'pick.png'),
                 '--save-settings', cli]);
    assert.equal(readFileSync(saved, 'utf8'), readFileSync(cli, 'utf8'));
  });

  await t.test('Colorspace and a Max slider change the matte', async () => {
    await page.locator('#views button[data-view="matte"]').click();
    await settled(page, 'matte');
    const first = await shownGrey(page);

    let before = await revision(page);
    await page.locator('[data-control="Colorspace"] select').selectOption({ label: 'HSV' });
    await settledAfter(page, before);
    const hsv = await shownGrey(page);
    assert.ok(differing(first, hsv) > first.length / 100, 'the matte changed with the colour space');

    // Drag the visible Max slider to the right: proxies while it moves,
    // the full frame when it is let go.
    const slider = page.locator('[data-control="MaxGreen"] input[type=range]');
    const box = await slider.boundingBox();
    const value = Number(await slider.inputValue());
    const startX = box.x + 8 + (value + 1) / 2 * (box.width - 16);
    before = await revision(page);
    await page.mouse.move(startX, box.y + box.height / 2);
    await page.mouse.down();
    for (let step = 1; step <= 6; ++step) {
      await page.mouse.move(Math.min(box.x + box.width - 2, startX + step * 10), box.y + box.height / 2);
    }
    await page.waitForSelector('#shown[data-size="proxy"]', { timeout: 30000 });
    await page.mouse.up();
    await settledAfter(page, before);
    assert.ok(Number(await slider.inputValue()) > value, 'the slider moved');
    const moved = await shownGrey(page);
    assert.ok(differing(hsv, moved) > 0, 'the matte changed with Max');
  });

  await t.test('Save writes settings that render the bits the page shows', async () => {
    const before = readFileSync(saved, 'utf8');
    const command = await save(page);
    assert.notEqual(readFileSync(saved, 'utf8'), before, 'the later changes were saved');
    assert.match(command, /^veskar render \S+ --settings \S+ -o \S+$/);
    assert.ok(command.includes(`--settings ${saved}`));
    // Run the command as shown, with this build's veskar.
    run('sh', ['-c', command], { env: { ...process.env, PATH: `${path.dirname(veskar)}:${process.env.PATH}` } });
    const keyed = command.split(' -o ')[1];

    await settled(page, 'matte');
    const matte = path.join(folder, 'shown-matte.png');
    await shownFile(page, matte);
    const keyedAlpha = path.join(folder, 'keyed-alpha.png');
    run('oiiotool', [keyed, '--ch', 'A', '-o', keyedAlpha]);
    assert.ok(sameImages(matte, keyedAlpha), 'the matte shown is the alpha veskar render writes');

    await page.locator('#views button[data-view="result"]').click();
    await settled(page, 'result');
    const result = path.join(folder, 'shown-result.png');
    await shownFile(page, result);
    assert.ok(sameImages(result, keyed), 'the result shown is the image veskar render writes');
  });

  await t.test('the status view shows three flat colours', async () => {
    await page.locator('#views button[data-view="status"]').click();
    await settled(page, 'status');
    assert.ok(await page.locator('#legend').isVisible());
    const levels = new Set(await shownGrey(page));
    assert.ok(levels.size >= 2 && levels.size <= 3, `grey levels of the status view: ${[...levels]}`);
  });

  await t.test('the Finishing section finishes the frame shown and Save keeps it', async () => {
    assert.equal(await page.locator('.finishing .title').textContent(), 'Finishing');
    await page.locator('#views button[data-view="matte"]').click();
    await settled(page, 'matte');
    const plain = await shownGrey(page);
    let before = await revision(page);
    await page.locator('[data-control="finish.unmix"] input[type=checkbox]').check();
    await settledAfter(page, before);
    before = await revision(page);
    const soften = page.locator('[data-control="finish.soften"] input[type=number]');
    await soften.fill('1.5');
    await soften.dispatchEvent('change');
    await settledAfter(page, before);
    await settled(page, 'matte');
    assert.ok(differing(plain, await shownGrey(page)) > 0, 'the softened matte is shown');

    const command = await save(page);
    assert.match(readFileSync(saved, 'utf8'), /\tVeskarFinishing = \{\n\t\tUnmix = true,\n\t\tSoften = 1.5,\n\t\},/);
    run('sh', ['-c', command], { env: { ...process.env, PATH: `${path.dirname(veskar)}:${process.env.PATH}` } });
    await page.locator('#views button[data-view="result"]').click();
    await settled(page, 'result');
    const result = path.join(folder, 'shown-finished.png');
    await shownFile(page, result);
    assert.ok(sameImages(result, command.split(' -o ')[1]), 'the finished result shown is what veskar render writes');
  });
}));

test('Shift-drag on the frame sets the screen as --screen does',
     () => onTunePage(async (page, { folder, plate, settings, saved }) => {
  await page.locator('#views button[data-view="matte"]').click();
  await settled(page, 'matte');
  const first = await shownGrey(page);

  // Drag with Shift held from the centre of plate pixel (6, 5) to that of
  // (45, 34): the rectangle 6,5,40,30 of the screen in the top left corner.
  const from = await screenPoint(page, 6, 5);
  const to = await screenPoint(page, 45, 34);
  const before = await revision(page);
  await page.keyboard.down('Shift');
  await page.mouse.move(from.x, from.y);
  await page.mouse.down();
  for (let step = 1; step <= 5; ++step) {
    await page.mouse.move(from.x + (to.x - from.x) * step / 5, from.y + (to.y - from.y) * step / 5);
  }
  assert.ok(await page.locator('#rectangle').isVisible(), 'the rectangle is drawn while dragging');
  await page.mouse.up();
  await page.keyboard.up('Shift');
  await settledAfter(page, before);
  assert.ok(await page.locator('#rectangle').isHidden(), 'the rectangle goes when the drag ends');
  assert.match(await page.locator('#message').textContent(), /^screen 6,5,40,30: 1200 screen pixels; /);

  // The page shows the new values and the matte they give: the sampled
  // screen keyed clear.
  const matte = await shownGrey(page);
  assert.ok(differing(first, matte) > 0, 'the matte changed');
  let clear = 0;
  for (let y = 5; y < 35; ++y) {
    for (let x = 6; x < 46; ++x) clear += matte[y * 320 + x] === 0 ? 1 : 0;
  }
  assert.ok(clear >= 1200 * 0.99, `${clear} of the 1200 sampled pixels keyed clear`);

  // Saved, the values are those of --screen on the command line, and the
  // matte shown is the alpha veskar render writes with them.
  await save(page);
  const keyed = path.join(folder, 'screen.png');
  const cli = path.join(folder, 'screen.setting');
  run(veskar, ['render', plate, '--settings', settings, '--screen', '6,5,40,30', '-o', keyed,
               '--save-settings', cli]);
  assert.equal(readFileSync(saved, 'utf8'), readFileSync(cli, 'utf8'));
  const shown = path.join(folder, 'shown-matte.png');
  await shownFile(page, shown);
  const keyedAlpha = path.join(folder, 'keyed-alpha.png');
  run('oiiotool', [keyed, '--ch', 'A', '-o', keyedAlpha]);
  assert.ok(sameImages(shown, keyedAlpha), 'the matte shown is the alpha veskar render --screen writes');

  // A drag below the frame misses it: the page says so and changes nothing.
  const unchanged = await revision(page);
  const viewer = await page.locator('#viewer').boundingBox();
  const image = await page.locator('#shown').boundingBox();
  const top = image.y + image.height + 10;
  assert.ok(top + 30 < viewer.y + viewer.height, 'room below the frame');
  await page.keyboard.down('Shift');
  await page.mouse.move(image.x + 10, top);
  await page.mouse.down();
  await page.mouse.move(image.x + 60, top + 30, { steps: 4 });
  await page.mouse.up();
  await page.keyboard.up('Shift');
  await page.waitForFunction(() => document.getElementById('message').classList.contains('error'));
  assert.match(await page.locator('#message').textContent(), /outside the frame/);
  assert.equal(await revision(page), unchanged);
}));

// Makes docs/tune.png: the tuning page keying the instrument plate of the
// shared data folder, with the settings in docs/tune_instrument.setting; and
// docs/images/tune_wipe.png: the same with the wipe between source and result.
//   node tests/tune/browser/screenshot.mjs [DATA_FOLDER]
// With --histogram, docs/images/tune_histogram.png instead: the same plate
// set up from the screen samples --screen auto finds, drawn over it, with
// the histograms and the readout of a pixel of the instrument.
//   node tests/tune/browser/screenshot.mjs --histogram [DATA_FOLDER]
import path from 'node:path';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { chromium } from 'playwright-core';

import { startTune } from './support.mjs';

const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), '../../..');
const histogramMode = process.argv.includes('--histogram');
const data = process.argv.slice(2).find((arg) => !arg.startsWith('--')) || path.resolve(root, '../shared/data');
const plate = path.join(data, 'greenscreen', 'semisynth_instrument_green.png');
const tune = await startTune(histogramMode ? [plate, '--screen', 'auto']
                                           : [plate, '--settings', path.join(root, 'docs', 'tune_instrument.setting')]);
const userData = mkdtempSync(path.join(tmpdir(), 'veskar-chromium-'));
const context = await chromium.launchPersistentContext(userData, {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  viewport: { width: 1360, height: 760 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         '--force-color-profile=srgb'],
});
try {
  const page = context.pages()[0] || await context.newPage();
  await page.goto(tune.url);
  await page.waitForFunction(() => document.getElementById('shown').dataset.size === 'full' &&
                                   document.body.dataset.busy !== 'true');
  if (histogramMode) {
    await page.waitForFunction(() => document.body.dataset.histogramRevision === document.body.dataset.revision);
    // The readout of a pixel of the instrument's body.
    const box = await page.locator('#shown').boundingBox();
    const { width, height } = await page.evaluate(() => ({ width: document.getElementById('shown').width,
                                                            height: document.getElementById('shown').height }));
    await page.mouse.move(box.x + box.width * 300 / width, box.y + box.height * 200 / height);
    await page.waitForFunction(() => document.getElementById('readout').dataset.x !== undefined);
    await page.screenshot({ path: path.join(root, 'docs', 'images', 'tune_histogram.png') });
  } else {
    await page.screenshot({ path: path.join(root, 'docs', 'tune.png') });
    await page.keyboard.press('w');
    await page.waitForFunction(() => document.getElementById('wipeImage').dataset.view === 'source' &&
                                     document.body.dataset.busy !== 'true');
    await page.evaluate(() => {
      compare.at = 0.5;
      placeDivider();
    });
    await page.screenshot({ path: path.join(root, 'docs', 'images', 'tune_wipe.png') });
  }
} finally {
  await context.close();
  await tune.stop();
  rmSync(userData, { recursive: true, force: true });
}

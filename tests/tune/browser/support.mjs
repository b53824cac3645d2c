// Shared by the tuning page's tests: the veskar under test, a small plate
// made from its own sample, and a running `veskar tune`.
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { once } from 'node:events';
import { chromium } from 'playwright-core';

// The veskar binary: $VESKAR, or the build folder's.
export const veskar = process.env.VESKAR ||
  path.resolve(path.dirname(new URL(import.meta.url).pathname), '../../../build/bin/veskar');

export function run(program, args, options = {}) {
  return execFileSync(program, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], ...options });
}

// A 320 x 180 8-bit sRGB PNG plate made once from veskar's sample (its
// values kept, so the sample's settings still key it), and those settings.
let madeSample = null;
function sample() {
  if (!madeSample) {
    const folder = mkdtempSync(path.join(tmpdir(), 'veskar-tune-sample-'));
    run(veskar, ['sample', folder]);
    const plate = path.join(folder, 'plate.png');
    run('oiiotool', [path.join(folder, 'plate.exr'), '--resize', '320x180', '--iscolorspace', 'sRGB',
                     '-d', 'uint8', '-o', plate]);
    madeSample = { folder, plate, settings: path.join(folder, 'sample.setting') };
    process.on('exit', () => rmSync(folder, { recursive: true, force: true }));
  }
  return madeSample;
}

// A fresh folder with a copy of the sample plate and its settings.
export function makePlate() {
  const folder = mkdtempSync(path.join(tmpdir(), 'veskar-tune-'));
  const plate = path.join(folder, 'plate.png');
  const settings = path.join(folder, 'sample.setting');
  copyFileSync(sample().plate, plate);
  copyFileSync(sample().settings, settings);
  return { folder, plate, settings };
}

// Starts `veskar tune` with `args` and resolves to { url, base, token, stop }
// once it prints its address.
export async function startTune(args) {
  const child = spawn(veskar, ['tune', ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  let errors = '';
  child.stderr.on('data', (chunk) => { errors += chunk; });
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`veskar tune printed no address: ${errors}`)), 30000);
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const match = output.match(/open (http:\/\/\S+)/);
      if (match) {
        clearTimeout(timer);
        resolve(match[1]);
      }
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`veskar tune exited with ${code}: ${errors}`));
    });
  });
  const parsed = new URL(url);
  return {
    url,
    base: parsed.origin,
    host: parsed.host,
    port: Number(parsed.port),
    token: parsed.searchParams.get('token'),
    child,
    stderr: () => errors,
    async stop() {
      if (child.exitCode !== null) return child.exitCode;
      child.kill('SIGTERM');
      const [code] = await once(child, 'exit');
      return code;
    },
  };
}

// The control table as `veskar controls` prints it: id, caption and kind of
// every row.
export function controlTable() {
  const rows = [];
  for (const line of run(veskar, ['controls']).split('\n').slice(1)) {
    const match = line.match(/^\d+\s+(\S+)\s+"([^"]*)"\s+(\S+)/);
    if (match) rows.push({ id: match[1], caption: match[2], kind: match[3] });
  }
  return rows;
}

// ---- driving the page in Chromium ----

const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';

export async function launch(width = 1280) {
  const userData = mkdtempSync(path.join(tmpdir(), 'veskar-chromium-'));
  const context = await chromium.launchPersistentContext(userData, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width, height: 800 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--force-color-profile=srgb'],
  });
  return { context, userData };
}

// Waits until the page shows `view` at full size for its latest values.
export async function settled(page, view) {
  await page.waitForFunction((wanted) => {
    const image = document.getElementById('shown');
    return document.body.dataset.busy !== 'true' && image.dataset.size === 'full' &&
           image.dataset.revision === document.body.dataset.revision &&
           (!wanted || image.dataset.view === wanted);
  }, view, { timeout: 30000 });
}

// Waits for the values to change from `before` and the page to show them.
export async function settledAfter(page, before) {
  await page.waitForFunction((old) => document.body.dataset.revision !== old, before, { timeout: 30000 });
  await settled(page);
}

// Clicks Save and waits for its answer; fails with the page's message when
// the save was refused. Returns the command line the page shows.
export async function save(page) {
  await page.evaluate(() => {
    const message = document.getElementById('message');
    message.textContent = '';
    message.classList.remove('error');
  });
  await page.locator('#save').click();
  await page.waitForFunction(() => {
    const message = document.getElementById('message');
    return message.textContent.startsWith('saved') || message.classList.contains('error');
  }, null, { timeout: 30000 });
  assert.match(await page.locator('#message').textContent(), /^saved /);
  return (await page.locator('#command').textContent()).trim();
}

export async function revision(page) {
  return page.evaluate(() => document.body.dataset.revision);
}

// Where plate pixel (x, y) lies on the screen.
export async function screenPoint(page, x, y) {
  const box = await page.locator('#shown').boundingBox();
  const { width, height } = await page.evaluate(() => {
    const image = document.getElementById('shown');
    return { width: image.width, height: image.height };
  });
  return { x: box.x + (x + 0.5) * box.width / width, y: box.y + (y + 0.5) * box.height / height };
}

export function differing(a, b) {
  assert.equal(a.length, b.length);
  let count = 0;
  for (let i = 0; i < a.length; ++i) count += a[i] !== b[i] ? 1 : 0;
  return count;
}

// The bytes of the file the page shows, as it got them from the server.
export async function shownFile(page, file) {
  const base64 = await page.evaluate(async () => {
    const bytes = new Uint8Array(await (await fetch(document.getElementById('shown').src)).arrayBuffer());
    let text = '';
    for (const byte of bytes) text += String.fromCharCode(byte);
    return btoa(text);
  });
  writeFileSync(file, Buffer.from(base64, 'base64'));
}

// The grey levels of the shown image (an opaque view), read off a canvas.
export async function shownGrey(page) {
  return page.evaluate(() => {
    const image = document.getElementById('shown');
    const canvas = document.createElement('canvas');
    canvas.width = image.naturalWidth;
    canvas.height = image.naturalHeight;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    context.drawImage(image, 0, 0);
    const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
    const grey = [];
    for (let i = 0; i < data.length; i += 4) grey.push(data[i]);
    return grey;
  });
}

// Whether two images hold the same pixel values (idiff exits 0 only then).
export function sameImages(a, b) {
  try {
    execFileSync('idiff', ['-fail', '0', '-failpercent', '0', a, b], { stdio: 'pipe' });
    return true;
  } catch {
    return false;
  }
}

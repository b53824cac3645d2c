// Shared by the tuning page's tests: the veskar under test, a small plate
// made from its own sample, and a running `veskar tune`.
import { spawn, execFileSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { once } from 'node:events';

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

// What veskar tune refuses: requests without the token, from other sites or
// host names, and bodies that are malformed, too large or out of range. Each
// refusal is a clear 4xx, and none changes a value or writes a file.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { existsSync, readFileSync, rmSync } from 'node:fs';
import path from 'node:path';
import { spawnSync } from 'node:child_process';

import { makePlate, startTune, veskar } from './support.mjs';

// One raw request, with exactly the headers given (Host included).
function request(tune, { method = 'GET', path: target = '/api/state', headers = {}, body }) {
  return new Promise((resolve, reject) => {
    const sent = http.request({ host: '127.0.0.1', port: tune.port, method, path: target, headers,
                                setHost: false }, (response) => {
      let text = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => { text += chunk; });
      response.on('end', () => resolve({ status: response.statusCode, headers: response.headers, text }));
    });
    sent.on('error', reject);
    if (body !== undefined) sent.write(body);
    sent.end();
  });
}

function good(tune, extra = {}) {
  return { Host: tune.host, 'X-Veskar-Token': tune.token, ...extra };
}

function post(tune, target, body, extra = {}) {
  const length = extra['Transfer-Encoding'] ? {} : { 'Content-Length': Buffer.byteLength(body) };
  return request(tune, { method: 'POST', path: target, body,
                         headers: good(tune, { 'Content-Type': 'application/json', ...length, ...extra }) });
}

async function state(tune) {
  const answer = await request(tune, { headers: good(tune) });
  assert.equal(answer.status, 200);
  return JSON.parse(answer.text);
}

// The local address a listening TCP port is bound to, from /proc/net.
function boundAddress(port) {
  const hex = port.toString(16).toUpperCase().padStart(4, '0');
  for (const line of readFileSync('/proc/net/tcp', 'utf8').split('\n').slice(1)) {
    const fields = line.trim().split(/\s+/);
    if (fields.length > 3 && fields[1].endsWith(`:${hex}`) && fields[3] === '0A') {
      const address = fields[1].split(':')[0];
      return address.match(/../g).reverse().map((byte) => parseInt(byte, 16)).join('.');
    }
  }
  return null;
}

test('veskar tune refuses what it must', async (t) => {
  const { folder, plate } = makePlate();
  const saved = path.join(folder, 'saved.setting');
  const tune = await startTune([plate, '--save', saved]);
  try {
    const initial = await state(tune);

    await t.test('it listens on 127.0.0.1 only', () => {
      assert.equal(boundAddress(tune.port), '127.0.0.1');
      assert.match(tune.url, /^http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}$/);
    });

    await t.test('every request needs the token', async () => {
      const paths = ['/', '/tune.js', '/history.js', '/api/state', '/api/view?view=matte&frame=0&size=full',
                     '/api/backgrounds', '/api/view?view=result&frame=0&size=full&over=plate.png'];
      for (const target of paths) {
        const none = await request(tune, { path: target, headers: { Host: tune.host } });
        assert.equal(none.status, 403, `${target} without a token`);
        assert.match(JSON.parse(none.text).error, /token/);
        const wrong = await request(tune, { path: target,
                                            headers: { Host: tune.host, 'X-Veskar-Token': '0'.repeat(32) } });
        assert.equal(wrong.status, 403, `${target} with a wrong token`);
      }
      const page = await request(tune, { path: `/?token=${tune.token}`, headers: { Host: tune.host } });
      assert.equal(page.status, 200);
      assert.match(page.headers['content-security-policy'], /default-src 'none'/);
      for (const target of ['/api/undo', '/api/redo', '/api/snapshot', '/api/snapshot/restore']) {
        const answer = await post(tune, target, '{}', { 'X-Veskar-Token': '0'.repeat(32) });
        assert.equal(answer.status, 403, `${target} with a wrong token`);
      }
      // Backgrounds are the listed images of the plate's folder, never a path.
      for (const name of ['../plate.png', '/etc/hostname', 'saved.setting', '%2e%2e%2fplate.png']) {
        const answer = await request(tune, { path: `/api/view?view=result&frame=0&size=full&over=${name}`,
                                             headers: good(tune) });
        assert.equal(answer.status, 404, `background ${name}`);
      }
      const wrongSave = await post(tune, '/api/save', '{}', { 'X-Veskar-Token': tune.token.slice(1) + 'x' });
      assert.equal(wrongSave.status, 403);
      assert.ok(!existsSync(saved), 'nothing saved without the token');
    });

    await t.test('Host and Origin must be the address served', async () => {
      for (const host of ['evil.example', `evil.example:${tune.port}`, `127.0.0.2:${tune.port}`,
                          `127.0.0.1:${tune.port + 1}`]) {
        const answer = await request(tune, { headers: { Host: host, 'X-Veskar-Token': tune.token } });
        assert.equal(answer.status, 403, `Host ${host}`);
        assert.match(JSON.parse(answer.text).error, /Host/);
      }
      const named = await request(tune, { headers: good(tune, { Host: `localhost:${tune.port}` }) });
      assert.equal(named.status, 200, 'localhost names the same loopback server');
      for (const origin of ['http://evil.example', `http://evil.example:${tune.port}`, 'null',
                            `https://${tune.host}`]) {
        const answer = await post(tune, '/api/set', JSON.stringify({ set: [{ id: 'FadeRed', value: 0.2 }] }),
                                  { Origin: origin });
        assert.equal(answer.status, 403, `Origin ${origin}`);
      }
      const site = await request(tune, { headers: good(tune, { 'Sec-Fetch-Site': 'cross-site' }) });
      assert.equal(site.status, 403);
      const same = await post(tune, '/api/set', JSON.stringify({ set: [{ id: 'FadeRed', value: 0.5 }] }),
                              { Origin: `http://${tune.host}` });
      assert.equal(same.status, 200, 'the page itself may set values');
    });

    await t.test('bad bodies get a 4xx and change nothing', async () => {
      const before = await state(tune);
      const cases = [
        ['not JSON', '{"set": [', 400, /JSON/],
        ['NaN', '{"set":[{"id":"FadeRed","value":NaN}]}', 400, /JSON/],
        ['infinity', '{"set":[{"id":"FadeRed","value":1e999}]}', 400, /JSON|finite/],
        ['a string value', '{"set":[{"id":"FadeRed","value":"0.3"}]}', 400, /number/],
        ['no set', '{"values":{}}', 400, /set/],
        ['unknown control', '{"set":[{"id":"FadeRedd","value":0.3}]}', 400, /unknown control 'FadeRedd'.*FadeRed/],
        ['a label', '{"set":[{"id":"2019byOmbrell","value":0}]}', 400, /label/],
        ['an image input', '{"set":[{"id":"Image","value":0}]}', 400, /image/],
        ['above the slider', '{"set":[{"id":"FadeRed","value":1.5}]}', 400, /FadeRed: 1\.5.* is outside 0 to 1/],
        ['below the slider', '{"set":[{"id":"GammaAlpha","value":0}]}', 400, /GammaAlpha/],
        ['no entry', '{"set":[{"id":"Colorspace","value":5}]}', 400, /entry/],
        ['between entries', '{"set":[{"id":"Colorspace","value":1.5}]}', 400, /entry/],
        ['checkbox 2', '{"set":[{"id":"InvAlpha","value":2}]}', 400, /checkbox/],
        ['a good change before a bad one',
         '{"set":[{"id":"FadeRed","value":0.9},{"id":"MultAlpha","value":-1}]}', 400, /MultAlpha/],
        ['too many changes', JSON.stringify({ set: Array(65).fill({ id: 'FadeRed', value: 0.1 }) }), 400, /64/],
      ];
      for (const [name, body, status, message] of cases) {
        const answer = await post(tune, '/api/set', body);
        assert.equal(answer.status, status, name);
        assert.match(JSON.parse(answer.text).error, message, name);
      }
      const form = await post(tune, '/api/set', 'set=1', { 'Content-Type': 'application/x-www-form-urlencoded' });
      assert.equal(form.status, 415);
      const huge = await post(tune, '/api/set', JSON.stringify({ set: [{ id: 'FadeRed', value: 0.1 }],
                                                                 pad: 'x'.repeat(1 << 20) }));
      assert.equal(huge.status, 413);
      const chunked = await post(tune, '/api/set', JSON.stringify({ set: [{ id: 'FadeRed', value: 0.1 }] }),
                                 { 'Transfer-Encoding': 'chunked' });
      assert.equal(chunked.status, 411, 'a body without a length is refused before it is read');
      for (const [name, body] of [['outside', '{"frame":0,"x":320,"y":5}'], ['negative', '{"frame":0,"x":-1,"y":5}'],
                                  ['not a frame', '{"frame":7,"x":3,"y":5}'], ['a fraction', '{"frame":0,"x":1.5,"y":5}'],
                                  ['missing', '{"frame":0}']]) {
        const answer = await post(tune, '/api/pick', body);
        assert.equal(answer.status, 400, `pick ${name}`);
      }
      for (const [name, body, message] of [
        ['outside', '{"frame":0,"x":300,"y":5,"width":40,"height":10}', /outside the 320 x 180 frame/],
        ['negative', '{"frame":0,"x":-1,"y":5,"width":10,"height":10}', /outside/],
        ['too small', '{"frame":0,"x":5,"y":5,"width":1,"height":10}', /at least 2 x 2/],
        ['not a frame', '{"frame":7,"x":5,"y":5,"width":10,"height":10}', /not a frame/],
        ['a fraction', '{"frame":0,"x":5,"y":5,"width":10.5,"height":10}', /whole number/],
        ['missing', '{"frame":0,"x":5,"y":5}', /'width' is missing/]]) {
        const answer = await post(tune, '/api/screen', body);
        assert.equal(answer.status, 400, `screen ${name}`);
        assert.match(JSON.parse(answer.text).error, message, `screen ${name}`);
      }
      const screenWithoutToken = await post(tune, '/api/screen', '{"frame":0,"x":5,"y":5,"width":10,"height":10}',
                                            { 'X-Veskar-Token': '0'.repeat(32) });
      assert.equal(screenWithoutToken.status, 403, 'screen with a wrong token');
      for (const query of ['view=alpha&frame=0&size=full', 'view=matte&frame=1&size=full',
                           'view=matte&frame=x&size=full', 'view=matte&frame=0&size=huge']) {
        const answer = await request(tune, { path: `/api/view?${query}`, headers: good(tune) });
        assert.equal(answer.status, 400, query);
      }
      assert.deepEqual(await state(tune), before, 'no value changed');
    });

    await t.test('the page cannot name files', async () => {
      const elsewhere = path.join(folder, 'elsewhere.setting');
      const named = await post(tune, '/api/save', JSON.stringify({ path: elsewhere }));
      assert.equal(named.status, 400);
      assert.ok(!existsSync(elsewhere) && !existsSync(saved));
      for (const target of ['/../../etc/passwd', '/index.html/../../x', '/api/../tune.js.map', '/web/tune.js']) {
        const answer = await request(tune, { path: target, headers: good(tune) });
        assert.equal(answer.status, 404, target);
      }
      const save = await post(tune, '/api/save', '{}');
      assert.equal(save.status, 200);
      assert.equal(JSON.parse(save.text).path, saved);
      assert.ok(existsSync(saved));
    });

    await t.test('the session still works after all that', async () => {
      const now = await state(tune);
      assert.equal(now.controls.length, initial.controls.length);
      const answer = await request(tune, { path: '/api/view?view=matte&frame=0&size=full', headers: good(tune) });
      assert.equal(answer.status, 200);
      assert.equal(answer.headers['content-type'], 'image/png');
    });
  } finally {
    assert.equal(await tune.stop(), 0, 'SIGTERM stops veskar tune cleanly');
    rmSync(folder, { recursive: true, force: true });
  }
});

test('veskar tune refuses a listen address that is a name or every address', () => {
  const { folder, plate } = makePlate();
  try {
    for (const [address, message] of [['localhost', /give a numeric address/], ['0.0.0.0', /names every address of this machine/]]) {
      const result = spawnSync(veskar, ['tune', plate, '--listen', address], { encoding: 'utf8', timeout: 30000 });
      assert.equal(result.status, 2, address);
      assert.match(result.stderr, message);
    }
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

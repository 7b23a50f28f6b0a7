// The bridge script (resources/vtx_external.js) run in a fresh script realm
// with a stand-in for the engine's page channel window.chrome.webview, which
// records what is posted and hands replies to the registered listeners.
//
//   node bridge_script_test.js [path/to/vtx_external.js]
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const vm = require('node:vm');

const scriptPath =
  process.argv[2] || path.join(__dirname, '..', '..', 'resources', 'vtx_external.js');
const bytes = fs.readFileSync(scriptPath);
// Decoded as the host does: the byte-order mark stays, as U+FEFF.
const source = bytes.toString('utf8');

// Every function of window.vtx: path, ID, whether the page's argument object
// is passed on (otherwise a fresh empty object is).
const FUNCTIONS = [
  ['hello', 10001, false],
  ['isRuntime', 10002, false],
  ['dialogs.openFile', 20001, true],
  ['dialogs.saveFile', 20002, true],
  ['files.fileExists', 30001, true],
  ['files.deleteFile', 30002, true],
  ['files.writeTextFile', 30003, true],
  ['files.extractFile', 30004, true],
  ['folders.dirExists', 40001, true],
  ['folders.deleteDir', 40002, true],
  ['folders.getTempDir', 40003, false],
  ['folders.getUserDocumentsDir', 40004, false],
  ['folders.getUserDesktopDir', 40005, false],
  ['folders.getAppExecutableDir', 40006, false],
  ['app.close', 50001, false],
  ['app.inFullscreen', 50002, false],
  ['app.enterFullscreen', 50003, false],
  ['app.exitFullscreen', 50004, false],
  ['window.getStyle', 60001, false],
  ['window.setStyle', 60002, true],
  ['window.getState', 60003, false],
  ['window.setState', 60004, true],
  ['window.getTitle', 60005, false],
  ['window.setTitle', 60006, true],
  ['shell.execute', 70001, true],
  ['shell.explore', 70002, true],
  ['shell.command', 70003, true],
  ['shell.windows', 70004, false],
];

// A page with the script run in it. `posted` holds each message as the host
// reads it (parsed from the JSON the engine makes of it), `raw` that JSON.
function makePage() {
  const listeners = [];
  const page = {posted: [], raw: [], listeners, onPost: null};
  const webview = {
    addEventListener(type, listener) {
      if (type === 'message') listeners.push(listener);
    },
    removeEventListener(type, listener) {
      const at = listeners.indexOf(listener);
      if (type === 'message' && at >= 0) listeners.splice(at, 1);
    },
    postMessage(message) {
      const json = JSON.stringify(message);
      page.raw.push(json);
      page.posted.push(JSON.parse(json));
      if (page.onPost) page.onPost(JSON.parse(json));
    },
  };
  const context = vm.createContext({});
  context.window = context;
  context.chrome = {webview};
  vm.runInContext(source, context, {filename: 'vtx_external.js'});
  page.context = context;
  page.vtx = context.vtx;
  // The engine hands every reply to every listener, as event.data.
  page.reply = (data) => {
    for (const listener of [...listeners]) listener({data});
  };
  page.last = () => page.posted[page.posted.length - 1];
  return page;
}

function resolvePath(object, dotted) {
  const names = dotted.split('.');
  const owner = names.slice(0, -1).reduce((o, name) => o[name], object);
  return {owner, fn: owner[names[names.length - 1]]};
}

// Lets settled promises run their reactions.
const flush = () => new Promise((resolve) => setImmediate(resolve));

// Tracks a promise's outcome without awaiting it.
function track(promise) {
  const state = {settled: false};
  promise.then(
    (value) => Object.assign(state, {settled: true, ok: true, value}),
    (value) => Object.assign(state, {settled: true, ok: false, value}));
  return state;
}

test('resource text: byte-order mark, CR LF lines, a comment block, one statement', () => {
  assert.deepEqual([...bytes.subarray(0, 3)], [0xef, 0xbb, 0xbf]);
  const text = bytes.subarray(3).toString('utf8');
  assert.doesNotMatch(text, /\r(?!\n)|(?<!\r)\n/, 'every line ends in CR LF');
  assert.ok(text.endsWith('\r\n'));
  const match = /^\/\*[\s\S]*?\*\/\r\n/.exec(text);
  assert.ok(match, 'leading comment block');
  const body = text.slice(match[0].length);
  assert.match(body, /^window\.vtx = \{/);
  assert.match(body, /\};\r\n$/);
  // One statement: the only ";" outside braces, strings and comments is the
  // last one.
  let depth = 0;
  let topLevel = 0;
  const code = body.replace(/\/\/[^\r\n]*/g, '').replace(/"(?:[^"\\]|\\.)*"/g, '""');
  for (const c of code) {
    if (c === '{') depth++;
    if (c === '}') depth--;
    if (c === ';' && depth === 0) topLevel++;
  }
  assert.equal(depth, 0);
  assert.equal(topLevel, 1);
});

test('object tree: the groups and their functions in order', () => {
  const {vtx} = makePage();
  assert.deepEqual(Object.keys(vtx), [
    'call', 'hello', 'isRuntime', 'dialogs', 'files', 'folders', 'app', 'window', 'shell',
    'events',
  ]);
  const groups = {};
  for (const [name] of FUNCTIONS) {
    const [group, fn] = name.includes('.') ? name.split('.') : [null, name];
    if (group) (groups[group] = groups[group] || []).push(fn);
  }
  for (const [group, names] of Object.entries(groups)) {
    assert.deepEqual(Object.keys(vtx[group]), names, group);
  }
  assert.deepEqual(Object.keys(vtx.events), ['onCloseQuery']);
});

test('every function posts its ID, a uuid and its data', () => {
  const page = makePage();
  for (const [name, id, takesArgs] of FUNCTIONS) {
    const {owner, fn} = resolvePath(page.vtx, name);
    const args = {probe: name, nested: {list: [1, 'two']}};
    const result = fn.call(owner, args);
    assert.equal(typeof result.then, 'function', `${name} returns a promise`);
    const message = page.last();
    assert.deepEqual(Object.keys(message), ['id', 'uuid', 'data'], name);
    assert.equal(message.id, id, name);
    assert.equal(typeof message.uuid, 'string', name);
    assert.deepEqual(message.data, takesArgs ? args : {}, name);
  }
  assert.equal(page.posted.length, FUNCTIONS.length);
});

test('a function called without its argument object posts no data member', () => {
  const page = makePage();
  page.vtx.files.fileExists();
  assert.equal(page.raw[0].includes('"data"'), false, page.raw[0]);
  page.vtx.call(123, undefined);
  assert.equal(page.raw[1].includes('"data"'), false, page.raw[1]);
});

test('hello and isRuntime need vtx as this; grouped functions do not', () => {
  const page = makePage();
  const hello = page.vtx.hello;
  assert.throws(() => hello(), {name: 'TypeError'});
  const isRuntime = page.vtx.isRuntime;
  assert.throws(() => isRuntime(), {name: 'TypeError'});
  const fileExists = page.vtx.files.fileExists;
  fileExists({filePath: 'index.html'});
  assert.equal(page.last().id, 30001);
  assert.deepEqual(page.last().data, {filePath: 'index.html'});
  // Through window.vtx.call: a replaced call is what they use.
  const calls = [];
  page.vtx.call = (id, args) => calls.push([id, args]);
  page.vtx.shell.windows();
  page.vtx.hello();
  assert.deepEqual(calls.map((c) => c[0]), [70004, 10001]);
});

test('uuid template: each x is the random digit, y is (r AND 3) OR 8', () => {
  const page = makePage();
  const uuidWith = (randoms) => {
    let i = 0;
    vm.runInContext('Math', page.context).random = () => randoms[i++ % randoms.length];
    page.vtx.hello();
    return page.last().uuid;
  };
  assert.equal(uuidWith([0]), '00000000-0000-4000-8000-000000000000');
  assert.equal(uuidWith([0.999999]), 'ffffffff-ffff-4fff-bfff-ffffffffffff');
  // Walk r through 0..15 so that the y place sees every value.
  for (let start = 0; start < 16; start++) {
    const randoms = Array.from({length: 16}, (_, k) => ((start + k) % 16) / 16 + 0.001);
    const uuid = uuidWith(randoms);
    let k = 0;
    const expected = 'xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx'.replace(/[xy]/g, (c) => {
      const r = (start + k++) % 16;
      return (c === 'x' ? r : (r & 3) | 8).toString(16);
    });
    assert.equal(uuid, expected);
  }
});

test('uuids: 36 characters, version 4 layout, lower case, all different', () => {
  const page = makePage();
  const seen = new Set();
  for (let i = 0; i < 2000; i++) {
    page.vtx.hello();
    const uuid = page.last().uuid;
    assert.equal(uuid.length, 36);
    assert.match(uuid, /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/);
    assert.equal(uuid[14], '4');
    assert.ok('89ab'.includes(uuid[19]));
    seen.add(uuid);
  }
  assert.equal(seen.size, 2000);
});

test('replies settle by success, never by result', async () => {
  const page = makePage();
  const cases = [
    {success: true, result: false, ok: true},
    {success: true, result: '', ok: true},
    {success: true, result: ['a', 'b'], ok: true},
    {success: false, result: 'Missing filePath', ok: false},
    {success: false, result: true, ok: false},
    {success: 1, result: 'x', ok: true},
  ];
  for (const c of cases) {
    const state = track(page.vtx.files.fileExists({filePath: 'a'}));
    page.reply({uuid: page.last().uuid, success: c.success, result: c.result});
    await flush();
    assert.equal(state.settled, true, JSON.stringify(c));
    assert.equal(state.ok, c.ok, JSON.stringify(c));
    assert.deepEqual(state.value, c.result);
  }
  assert.equal(page.listeners.length, 0);
});

test('a reply settles only its own call; others keep waiting', async () => {
  const page = makePage();
  const first = track(page.vtx.hello());
  const firstUuid = page.last().uuid;
  const second = track(page.vtx.isRuntime());
  const secondUuid = page.last().uuid;
  assert.notEqual(firstUuid, secondUuid);
  assert.equal(page.listeners.length, 2);

  page.reply({uuid: 'someone-else', success: true, result: 1});
  page.reply(null);  // a message that is no reply at all
  page.reply('plain text');
  page.reply({uuid: secondUuid, success: true, result: true});
  await flush();
  assert.equal(first.settled, false);
  assert.deepEqual(second, {settled: true, ok: true, value: true});
  assert.equal(page.listeners.length, 1);

  page.reply({uuid: firstUuid, success: true, result: '2021.28'});
  page.reply({uuid: firstUuid, success: false, result: 'late duplicate'});
  await flush();
  assert.deepEqual(first, {settled: true, ok: true, value: '2021.28'});
  assert.equal(page.listeners.length, 0);
});

test('the listener is in place before the message leaves', async () => {
  const page = makePage();
  page.onPost = (message) => page.reply({uuid: message.uuid, success: true, result: 'at once'});
  assert.equal(await page.vtx.hello(), 'at once');
});

test('1000 overlapping calls settle with their own results', async () => {
  const page = makePage();
  const calls = [];
  for (let i = 0; i < 1000; i++) calls.push(page.vtx.call(10001, {n: i}));
  assert.equal(page.listeners.length, 1000);
  // Answer in a shuffled order; odd numbers fail.
  const order = page.posted.map((m) => m);
  for (let i = order.length - 1; i > 0; i--) {
    const j = Math.floor(Math.random() * (i + 1));
    [order[i], order[j]] = [order[j], order[i]];
  }
  for (const m of order) {
    page.reply({uuid: m.uuid, success: m.data.n % 2 === 0, result: m.data.n * 3});
  }
  const outcomes = await Promise.allSettled(calls);
  outcomes.forEach((outcome, i) => {
    assert.equal(outcome.status, i % 2 === 0 ? 'fulfilled' : 'rejected', `call ${i}`);
    assert.equal(i % 2 === 0 ? outcome.value : outcome.reason, i * 3, `call ${i}`);
  });
  assert.equal(page.listeners.length, 0);
});

test('onCloseQuery posts app.close and returns nothing; a page may replace it', () => {
  const page = makePage();
  const value = vm.runInContext('vtx.events.onCloseQuery();', page.context);
  assert.equal(value, undefined);
  assert.equal(page.posted.length, 1);
  assert.deepEqual(page.last().id, 50001);
  assert.deepEqual(page.last().data, {});

  vm.runInContext('window.asked = 0; vtx.events.onCloseQuery = function () { asked++; };',
                  page.context);
  vm.runInContext('vtx.events.onCloseQuery();', page.context);
  assert.equal(page.context.asked, 1);
  assert.equal(page.posted.length, 1);
});

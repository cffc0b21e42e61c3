#!/usr/bin/env node
// Checks lumetta.js against lumetta.d.ts: every member of the page library (and of each of its
// module helpers) is declared, and every declared member exists. Where the TypeScript compiler
// is installed, the declarations must also compile, together with a page using them.
'use strict';

const fs = require('fs');
const path = require('path');
const vm = require('vm');
const os = require('os');
const { execFileSync } = require('child_process');

const dir = process.argv[2];
const source = fs.readFileSync(path.join(dir, 'lumetta.js'), 'utf8');
const dts = fs.readFileSync(path.join(dir, 'lumetta.d.ts'), 'utf8');
let failures = 0;
function fail(message) {
  console.error('FAIL: ' + message);
  failures++;
}

// lumetta.js outside Lumetta: no message handlers, so it defines its API and starts nothing.
const window = {
  document: { readyState: 'complete', addEventListener() {} },
  location: { href: 'file:///x/index.html' },
};
window.window = window;
vm.runInNewContext(source, {
  window,
  document: window.document,
  console,
  URL,
  TextDecoder,
  TextEncoder,
  setTimeout,
  clearTimeout,
});
const api = window.Lumetta;
if (!api) {
  console.error('FAIL: lumetta.js defines no window.Lumetta');
  process.exit(1);
}

// Members declared in one interface of the declarations: "name(", "name<", "name:" or "name?:"
// at the interface's first level.
function declaredMembers(interfaceName) {
  const start = dts.indexOf('export interface ' + interfaceName + ' {');
  if (start < 0) return null;
  const members = new Set();
  let depth = 0;
  for (const line of dts.slice(start).split('\n').slice(1)) {
    if (depth === 0 && /^\s*}/.test(line)) break;
    const m = depth === 0 && /^\s{4}(readonly\s+)?([A-Za-z_$][\w$]*)\??\s*[(<:]/.exec(line);
    if (m) members.add(m[2]);
    for (const c of line.replace(/\/\*.*?\*\//g, '').replace(/'[^']*'/g, '')) {
      if (c === '{' || c === '(') depth++;
      if (c === '}' || c === ')') depth--;
    }
  }
  return members;
}

function compare(object, interfaceName, label) {
  const declared = declaredMembers(interfaceName);
  if (!declared) {
    fail('lumetta.d.ts lacks interface ' + interfaceName);
    return;
  }
  const actual = new Set(Object.keys(object));
  for (const name of actual)
    if (!declared.has(name))
      fail(label + '.' + name + ' is exported but not declared in ' + interfaceName);
  for (const name of declared)
    if (!actual.has(name))
      fail(label + '.' + name + ' is declared in ' + interfaceName + ' but not exported');
}

compare(api, 'LumettaApi', 'Lumetta');
// Module helpers: an object member of Lumetta is declared by the interface its member names.
const apiDecl = dts.slice(dts.indexOf('export interface LumettaApi {'));
for (const [name, value] of Object.entries(api)) {
  if (value && typeof value === 'object') {
    const m = new RegExp('^\\s{4}(?:readonly\\s+)?' + name + ':\\s*(\\w+);', 'm').exec(apiDecl);
    if (!m) fail('Lumetta.' + name + ' has no interface type in LumettaApi');
    else compare(value, m[1], 'Lumetta.' + name);
  }
}

// The compiler, where installed: the declarations and a typed use of them compile, and a call
// with an unknown name or a wrong argument count does not.
let tsc = null;
for (const candidate of ['/usr/bin/tsc', '/usr/share/nodejs/typescript/bin/tsc'])
  if (fs.existsSync(candidate)) {
    tsc = candidate;
    break;
  }
if (tsc) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'lumetta-dts-'));
  fs.copyFileSync(path.join(dir, 'lumetta.d.ts'), path.join(work, 'lumetta.d.ts'));
  const good = `import type {} from './lumetta';
async function use() {
    const r = await window.Lumetta.call('$$fs_stat', '/tmp');
    const t: 's' | 'e' = r.type;
    window.Lumetta.on('midi', 'message', (fields) => { const [hex, time]: [string, string] = fields; void hex; void time; });
    void t;
    const ep = (await window.Lumetta.midi.destinations())[0];
    await window.Lumetta.midi.connectOutput(ep);
    const params: Uint8Array = (await window.Lumetta.ir.convert('/a.wav', { onProgress: (p: number) => void p })).bytes;
    const [pid, text] = await window.Lumetta.once('sh', 'stdout', { timeout: 100 });
    const sync = window.Lumetta.callSync('$$util_bytes', 'x');
    void params; void pid; void text; void sync;
}
void use;
`;
  const bad = `import type {} from './lumetta';
window.Lumetta.call('$$no_such');
window.Lumetta.call('$$fs_stat', '/a', 'b', 'c');
window.Lumetta.on('midi', 'nosuchevent', () => {});
window.Lumetta.once('sh', 'nosuchevent');
window.Lumetta.callSync('$$nothing_here');
`;
  function compile(text) {
    fs.writeFileSync(path.join(work, 'page.ts'), text);
    try {
      execFileSync(
        tsc,
        [
          '--noEmit',
          '--strict',
          '--target',
          'es2020',
          '--lib',
          'es2020,dom',
          path.join(work, 'page.ts'),
        ],
        { stdio: 'pipe' },
      );
      return '';
    } catch (e) {
      return String(e.stdout || '') + String(e.stderr || '') || 'failed';
    }
  }
  const goodErrors = compile(good);
  if (goodErrors) fail('a typed page does not compile against lumetta.d.ts:\n' + goodErrors);
  const badErrors = compile(bad);
  const expected = (badErrors.match(/error TS/g) || []).length;
  if (expected < 5)
    fail(
      'mistyped calls compile against lumetta.d.ts (' + expected + ' errors of 5):\n' + badErrors,
    );
  fs.rmSync(work, { recursive: true, force: true });
} else {
  console.log('note: no TypeScript compiler installed; declarations checked by name only');
}

if (failures) process.exit(1);
console.log('lumetta.js and lumetta.d.ts agree');

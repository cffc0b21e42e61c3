// An example editor page built only on the helpers of lumetta.js. Each card runs one feature
// and shows what happened; the outcome of the whole run is kept in the settings under
// "editor-example", where a test (or you, in the console card of the bundled page) can read it.
'use strict';

const report = {};

function card(id) {
  const element = document.getElementById(id);
  return {
    show(text) {
      element.querySelector('.out').textContent = text;
    },
    mark(ok) {
      element.classList.toggle('ok', ok);
      element.classList.toggle('failed', !ok);
    },
  };
}

async function run(id, feature) {
  const c = card(id);
  c.show('…');
  try {
    const detail = await feature(c);
    report[id] = { ok: true, detail };
    c.mark(true);
  } catch (e) {
    report[id] = { ok: false, detail: String((e && e.message) || e) };
    c.show(String((e && e.message) || e));
    c.mark(false);
  }
}

// MIDI: the virtual loopback sends back what it is sent, so a dump request (here the universal
// identity request) comes back as a message event.
async function midiCard(c) {
  const isLoopback = (e) => Object.values(e).some((v) => String(v).includes('Lumetta Loopback'));
  const source = (await Lumetta.midi.sources()).find(isLoopback);
  const destination = (await Lumetta.midi.destinations()).find(isLoopback);
  if (!source || !destination)
    throw new Error('no loopback ports: start Lumetta with --virtual-midi');
  await Lumetta.midi.connectInput(source);
  await Lumetta.midi.connectOutput(destination);
  const request = 'F0 7E 7F 06 01 F7';
  const answer = new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      off();
      reject(new Error('no answer to the dump request'));
    }, 5000);
    const off = Lumetta.midi.onMessage((bytes, timeMs, hex) => {
      if (bytes[0] !== 0xf0) return;
      clearTimeout(timer);
      off();
      resolve({ hex, timeMs, length: bytes.length });
    });
  });
  await Lumetta.midi.send(request);
  const got = await answer;
  c.show('sent ' + request + '\nreceived ' + got.hex + ' at ' + got.timeMs + ' ms');
  return got;
}

async function settingsCard(c) {
  const settings = { patch: document.getElementById('patch-name').value, volume: 0.8 };
  await Lumetta.store.set('editor.settings', JSON.stringify(settings));
  const back = JSON.parse(await Lumetta.store.get('editor.settings'));
  c.show(JSON.stringify(back, null, 1));
  if (back.patch !== settings.patch) throw new Error('the setting did not come back');
  return back;
}

async function folder() {
  const dir = (await Lumetta.fs.path('library')) + 'example-editor/';
  await Lumetta.fs.mkdir(dir);
  return dir;
}

async function fileCard(c) {
  const path = (await folder()) + 'patch.bin';
  const patch = new TextEncoder().encode(document.getElementById('patch-name').value);
  const bytes = new Uint8Array([0x50, 0x41, 0x54, 0x01, patch.length, ...patch, 0x00, 0xff]);
  await Lumetta.fs.writeBytes(path, bytes);
  const back = await Lumetta.fs.readBytes(path);
  const header = await Lumetta.fs.readBytes(path, { offset: 0, length: 4 });
  const info = await Lumetta.fs.stat(path);
  c.show(path + '\n' + back.length + ' bytes, header ' + Array.from(header).join(' '));
  if (back.length !== bytes.length || back.some((b, i) => b !== bytes[i]))
    throw new Error('the file did not read back');
  return { path, length: back.length, size: info.size, header: Array.from(header) };
}

async function shellCard(c) {
  const chunks = [];
  const result = await Lumetta.shell.run(['echo', 'hello from the shell'], {
    onOutput: (t) => chunks.push(t),
  });
  c.show('pid ' + result.pid + '\n' + result.output);
  return { pid: result.pid, output: result.output, chunks: chunks.length };
}

// A short synthetic impulse response (decaying noise, 48 kHz, 16-bit mono) written as a WAV
// file, so the example needs no file of its own.
function syntheticImpulseResponse(frames) {
  const data = new Uint8Array(44 + frames * 2);
  const view = new DataView(data.buffer);
  const text = (at, s) => {
    for (let i = 0; i < s.length; i++) data[at + i] = s.charCodeAt(i);
  };
  text(0, 'RIFF');
  view.setUint32(4, 36 + frames * 2, true);
  text(8, 'WAVE');
  text(12, 'fmt ');
  view.setUint32(16, 16, true);
  view.setUint16(20, 1, true);
  view.setUint16(22, 1, true);
  view.setUint32(24, 48000, true);
  view.setUint32(28, 96000, true);
  view.setUint16(32, 2, true);
  view.setUint16(34, 16, true);
  text(36, 'data');
  view.setUint32(40, frames * 2, true);
  let seed = 12345;
  for (let i = 0; i < frames; i++) {
    seed = (seed * 1103515245 + 12345) >>> 0;
    const noise = (seed / 4294967296) * 2 - 1;
    const value = i === 0 ? 1 : noise * Math.exp(-i / 300) * 0.5;
    view.setInt16(44 + i * 2, Math.round(value * 32767), true);
  }
  return data;
}

async function irCard(c) {
  const path = (await folder()) + 'cabinet.wav';
  await Lumetta.fs.writeBytes(path, syntheticImpulseResponse(4096));
  const bar = document.getElementById('ir-progress');
  const progress = [];
  const result = await Lumetta.ir.convert(path, {
    onProgress: (percent) => {
      progress.push(percent);
      bar.value = percent;
    },
  });
  bar.value = 100;
  const floats = new Float32Array(
    result.bytes.buffer,
    result.bytes.byteOffset,
    result.bytes.length >> 2,
  );
  c.show(
    result.path +
      '\n' +
      floats.length +
      ' parameters; first ' +
      Array.from(floats.slice(0, 3))
        .map((f) => f.toFixed(4))
        .join(', '),
  );
  return { path: result.path, bytes: result.bytes.length, progress: progress.length };
}

async function panelCard(c) {
  const answered = new Promise((resolve) => {
    const off = Lumetta.panel.onMessage((text) => {
      off();
      resolve(text);
    });
  });
  await Lumetta.panel.place({
    x: Math.round(window.innerWidth * 0.62),
    y: 0,
    width: Math.round(window.innerWidth * 0.38),
    height: window.innerHeight,
  });
  await Lumetta.panel.show();
  const outcome = await Lumetta.panel.load('help.html');
  await Lumetta.panel.send('it\'s "quoted"\nand on two lines');
  const answer = await Promise.race([
    answered,
    new Promise((resolve, reject) =>
      setTimeout(() => reject(new Error('the help page did not answer')), 5000),
    ),
  ]);
  c.show('help page ' + outcome + '\nit answered: ' + answer);
  return { outcome, answer };
}

async function runAll() {
  await run('midi', midiCard);
  await run('settings', settingsCard);
  await run('file', fileCard);
  await run('shell', shellCard);
  await run('ir', irCard);
  await run('panel', panelCard);
  await Lumetta.store.set('editor-example', JSON.stringify(report));
}

document.getElementById('run-all').addEventListener('click', () => runAll());
document.getElementById('help').addEventListener('click', () => Lumetta.panel.show());
if (Lumetta.available()) runAll();
else
  document.querySelector('header p').textContent =
    'Open this page in Lumetta: build/lumetta --virtual-midi --page examples/editor/index.html';

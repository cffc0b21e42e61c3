// MIDI panel: sources and destinations with connect switches, a monitor of incoming messages,
// a hex sender, and the midix clients with thru.
(function () {
  'use strict';
  if (!window.LumettaConsole || !window.Lumetta) return;

  const MAX_ROWS = 300;
  const NOTE_NAMES = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B'];
  const SYSTEM_NAMES = {
    0xf1: 'time code',
    0xf2: 'song position',
    0xf3: 'song select',
    0xf6: 'tune request',
    0xfa: 'start',
    0xfb: 'continue',
    0xfc: 'stop',
    0xff: 'system reset',
  };

  const { el } = LumettaConsole;

  function bytesOf(hex) {
    const out = [];
    for (let i = 0; i + 1 < hex.length; i += 2) out.push(parseInt(hex.substr(i, 2), 16));
    return out;
  }

  function noteName(n) {
    return NOTE_NAMES[n % 12] + (Math.floor(n / 12) - 1);
  }

  /** A readable description of one MIDI message given as hex text. */
  function describe(hex) {
    const b = bytesOf(hex);
    if (!b.length) return '';
    const s = b[0],
      ch = (s & 15) + 1;
    switch (s & 0xf0) {
      case 0x80:
        return `note off ${noteName(b[1])} vel ${b[2]} ch ${ch}`;
      case 0x90:
        return b[2] === 0
          ? `note off ${noteName(b[1])} (on, vel 0) ch ${ch}`
          : `note on ${noteName(b[1])} vel ${b[2]} ch ${ch}`;
      case 0xa0:
        return `poly pressure ${noteName(b[1])} ${b[2]} ch ${ch}`;
      case 0xb0:
        return `controller ${b[1]} = ${b[2]} ch ${ch}`;
      case 0xc0:
        return `program ${b[1]} ch ${ch}`;
      case 0xd0:
        return `channel pressure ${b[1]} ch ${ch}`;
      case 0xe0:
        return `pitch bend ${((b[2] << 7) | b[1]) - 8192} ch ${ch}`;
    }
    if (s === 0xf0) return `SysEx, ${b.length} bytes: ` + hex.replace(/(..)/g, '$1 ').trim();
    return SYSTEM_NAMES[s] || 'system ' + hex;
  }

  function endpointLabel(d) {
    return d.MIDIEntityNameKey + ' [' + d.MIDIEndpointUIDKey + ']';
  }

  async function list(fn) {
    const r = await Lumetta.call(fn);
    if (r.type !== 's' || !r.value) return [];
    try {
      return JSON.parse(r.value);
    } catch (e) {
      return [];
    }
  }

  function build(container) {
    // Connections the page made, by UID, so the switches survive a list refresh.
    const inConnected = new Set(),
      outConnected = new Set();
    let sources = [],
      destinations = [];
    let paused = false;
    let midixCount = 0;

    const status = el('div', { className: 'muted small' });
    function note(text, isError) {
      status.textContent = text;
      status.style.color = isError ? 'var(--err)' : '';
    }

    // ---- endpoints --------------------------------------------------------------------------
    const srcBody = el('tbody'),
      dstBody = el('tbody');
    function endpointTable(title, body) {
      return el(
        'div',
        { style: 'flex:1;min-width:280px' },
        el('h3', { textContent: title, className: 'small muted' }),
        LumettaConsole.headedTable(['on', 'name', 'device', 'UID'], body),
      );
    }

    function renderEndpoints(body, items, connected, connectFn, disconnectFn) {
      body.textContent = '';
      if (!items.length) {
        body.append(
          el('tr', {}, el('td', { colSpan: 4, className: 'muted', textContent: 'none' })),
        );
        return;
      }
      for (const d of items) {
        const uid = d.MIDIEndpointUIDKey;
        const box = el('input', { type: 'checkbox', checked: connected.has(uid) });
        box.onchange = async () => {
          const r = await Lumetta.call(box.checked ? connectFn : disconnectFn, JSON.stringify(d));
          if (r.type === 'e') {
            note(r.value, true);
            box.checked = !box.checked;
            return;
          }
          if (box.checked) connected.add(uid);
          else connected.delete(uid);
        };
        body.append(
          el(
            'tr',
            {},
            el('td', {}, box),
            el('td', { textContent: d.MIDIEntityNameKey }),
            el('td', { textContent: d.MIDIDeviceNameKey }),
            el('td', { className: 'mono', textContent: String(uid) }),
          ),
        );
      }
    }

    async function refresh() {
      sources = await list('$$midi_inendpoints');
      destinations = await list('$$midi_outendpoints');
      // Endpoints that went away lost their connection with them.
      for (const uid of [...inConnected])
        if (!sources.some((d) => d.MIDIEndpointUIDKey === uid)) inConnected.delete(uid);
      for (const uid of [...outConnected])
        if (!destinations.some((d) => d.MIDIEndpointUIDKey === uid)) outConnected.delete(uid);
      renderEndpoints(srcBody, sources, inConnected, '$$midi_inconnect', '$$midi_indisconnect');
      renderEndpoints(
        dstBody,
        destinations,
        outConnected,
        '$$midi_outconnect',
        '$$midi_outdisconnect',
      );
      renderMidix();
    }

    function allButton(text, fn, set, items) {
      return el('button', {
        type: 'button',
        textContent: text,
        onclick: async () => {
          await Lumetta.call(fn);
          set.clear();
          if (items) for (const d of items()) set.add(d.MIDIEndpointUIDKey);
          refresh();
        },
      });
    }

    container.append(
      el(
        'div',
        { className: 'row' },
        el('button', { type: 'button', textContent: 'Refresh', onclick: refresh }),
        allButton('Connect all sources', '$$midi_inconnect', inConnected, () => sources),
        allButton('Disconnect all sources', '$$midi_indisconnect', inConnected),
        allButton(
          'Connect all destinations',
          '$$midi_outconnect',
          outConnected,
          () => destinations,
        ),
        allButton('Disconnect all destinations', '$$midi_outdisconnect', outConnected),
        el('button', {
          type: 'button',
          textContent: 'Connection tool',
          onclick: () => Lumetta.call('$$midi_panel'),
        }),
      ),
      el(
        'div',
        { className: 'row', style: 'align-items:flex-start' },
        endpointTable('Sources (input)', srcBody),
        endpointTable('Destinations (output)', dstBody),
      ),
    );

    // ---- sender -----------------------------------------------------------------------------
    const hexInput = el('input', {
      className: 'mono',
      placeholder: 'hex bytes, e.g. 903C64',
      value: '903C64',
    });
    const sendButton = el('button', { type: 'button', className: 'primary', textContent: 'Send' });
    sendButton.onclick = async () => {
      const hex = hexInput.value.replace(/[^0-9a-fA-F]/g, '');
      const r = await Lumetta.call('$$midi_send', hex);
      note(r.type === 'e' ? r.value : `sent ${hex.length >> 1} bytes`, r.type === 'e');
    };
    const presets = el(
      'select',
      {},
      el('option', { value: '', textContent: 'presets' }),
      el('option', { value: '903C64', textContent: 'note on C4' }),
      el('option', { value: '803C00', textContent: 'note off C4' }),
      el('option', { value: 'B07B00', textContent: 'all notes off' }),
      el('option', { value: 'F07E7F0601F7', textContent: 'identity request' }),
    );
    presets.onchange = () => {
      if (presets.value) hexInput.value = presets.value;
      presets.value = '';
    };
    container.append(
      el(
        'div',
        { className: 'row' },
        el('label', {}, 'Send to connected destinations', hexInput),
        presets,
        sendButton,
      ),
    );

    // ---- monitor ----------------------------------------------------------------------------
    const monBody = el('tbody');
    const pause = el('button', { type: 'button', textContent: 'Pause' });
    pause.onclick = () => {
      paused = !paused;
      pause.textContent = paused ? 'Resume' : 'Pause';
    };
    container.append(
      el(
        'div',
        { className: 'row' },
        el('strong', { textContent: 'Monitor' }),
        pause,
        el('button', {
          type: 'button',
          textContent: 'Clear',
          onclick: () => {
            monBody.textContent = '';
          },
        }),
      ),
      LumettaConsole.scrollTable(['time (ms)', 'client', 'message', 'bytes'], monBody, {
        className: 'mono',
      }),
    );

    function monitor(client, hex, time) {
      if (paused) return;
      const bytes = hex.length > 48 ? hex.substr(0, 48) + '…' : hex;
      monBody.prepend(
        el(
          'tr',
          {},
          el('td', { textContent: time }),
          el('td', { textContent: client }),
          el('td', { className: 'fields', textContent: describe(hex) }),
          el('td', { textContent: bytes, title: hex }),
        ),
      );
      while (monBody.childElementCount > MAX_ROWS) monBody.lastElementChild.remove();
    }

    // ---- midix clients ----------------------------------------------------------------------
    const midixBox = el('div');
    // The host makes at most 32 midix clients and refuses a larger count with an "e" result.
    const countInput = el('input', {
      type: 'number',
      min: 1,
      max: 32,
      value: 2,
      style: 'max-width:80px',
    });
    container.append(
      el(
        'div',
        { className: 'row' },
        el('strong', { textContent: 'midix clients' }),
        el('label', { style: 'flex:0' }, 'count', countInput),
        el('button', {
          type: 'button',
          textContent: 'Create',
          onclick: async () => {
            const made = await Lumetta.call('$$midix_client', String(countInput.value));
            if (made.type === 'e') {
              note(made.value, true);
              return;
            }
            // Clients are made once per run; later counts change nothing.
            if (!midixCount) midixCount = Math.max(0, parseInt(countInput.value, 10) || 0);
            renderMidix();
          },
        }),
        el('button', {
          type: 'button',
          textContent: 'Connection tool',
          onclick: () => Lumetta.call('$$midix_panel'),
        }),
      ),
      midixBox,
      status,
    );

    function select(items) {
      const s = el('select', {});
      for (const d of items)
        s.append(el('option', { value: JSON.stringify(d), textContent: endpointLabel(d) }));
      return s;
    }

    function renderMidix() {
      midixBox.textContent = '';
      for (let i = 0; i < midixCount; i++) {
        const cid = String(i);
        const src = select(sources),
          dst = select(destinations);
        const thru = el('input', { type: 'checkbox' });
        thru.onchange = () => Lumetta.call('$$midix_thru', cid, thru.checked ? '1' : '0');
        const hex = el('input', { className: 'mono', value: '903C64', style: 'max-width:160px' });
        const act = (text, fn, arg) =>
          el('button', {
            type: 'button',
            textContent: text,
            onclick: async () => {
              const r = await Lumetta.call(fn, cid, arg());
              if (r.type === 'e') note(r.value, true);
            },
          });
        midixBox.append(
          el(
            'div',
            { className: 'row' },
            el('span', { className: 'mono', textContent: '#' + cid }),
            src,
            act('in', '$$midix_inconnect', () => src.value || null),
            act('in off', '$$midix_indisconnect', () => src.value || null),
            dst,
            act('out', '$$midix_outconnect', () => dst.value || null),
            act('out off', '$$midix_outdisconnect', () => dst.value || null),
            el('label', { style: 'flex-direction:row;align-items:center;flex:0' }, thru, 'thru'),
            hex,
            act('send', '$$midix_send', () => hex.value.replace(/[^0-9a-fA-F]/g, '')),
          ),
        );
      }
    }

    // ---- events -----------------------------------------------------------------------------
    Lumetta.on('midi', 'message', (f) => monitor('midi', f[0], f[1]));
    Lumetta.on('midix', 'message', (f) => monitor('midix #' + f[0], f[1], f[2]));
    Lumetta.on('midi', 'changed', () => refresh());
    Lumetta.on('midi', 'connectfailed', (f) => {
      let uid = '?';
      try {
        uid = JSON.parse(f[0]).MIDIEndpointUIDKey;
      } catch (e) {
        /* shown as ? */
      }
      inConnected.delete(uid);
      outConnected.delete(uid);
      note('connection failed: ' + uid, true);
      refresh();
    });
    Lumetta.on('midix', 'connectfailed', (f) => note(`midix #${f[0]}: connection failed`, true));
    Lumetta.on('midi', 'error', (f) => note('MIDI error ' + f[0], true));
    Lumetta.on('midix', 'error', (f) => note(`midix #${f[0]}: MIDI error ${f[1]}`, true));

    refresh();
  }

  LumettaConsole.addPanel({ id: 'midi', title: 'MIDI', build });
  if (LumettaConsole.addFunctions) {
    LumettaConsole.addFunctions([
      '$$midi_inendpoints',
      '$$midi_outendpoints',
      '$$midi_inconnect',
      '$$midi_indisconnect',
      '$$midi_outconnect',
      '$$midi_outdisconnect',
      '$$midi_send',
      '$$midi_panel',
      '$$midix_client',
      '$$midix_inendpoints',
      '$$midix_outendpoints',
      '$$midix_inconnect',
      '$$midix_indisconnect',
      '$$midix_outconnect',
      '$$midix_outdisconnect',
      '$$midix_send',
      '$$midix_thru',
      '$$midix_panel',
      '$$tgif_buffer',
      '$$tgif_param',
      '$$tgif_send',
      '$$tgif_thru',
    ]);
  }
})();

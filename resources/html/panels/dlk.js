// Device link panel: search for devices (or paste a dictionary that lumetta-devsim printed),
// connect and disconnect, the link's time-outs and input mode, MIDI to and from the device,
// and the meters and positions of the device's status record.
(function () {
  'use strict';
  if (!window.LumettaConsole || !window.Lumetta) return;

  const MAX_ROWS = 300;
  const { el, button } = LumettaConsole;

  /** A meter bar for a peak in dB (-60 dB at the left end). */
  function meter() {
    const bar = el('progress', { max: 60, value: 0, style: 'width:160px' });
    const text = el('span', {
      className: 'mono small',
      style: 'min-width:64px;display:inline-block',
    });
    return {
      node: el('span', {}, bar, ' ', text),
      set(db) {
        bar.value = Math.max(0, Math.min(60, 60 + db));
        text.textContent = db <= -120 ? '-inf dB' : db + ' dB';
      },
    };
  }

  function build(container) {
    const found = new Map(); // UID -> dictionary, for this search
    let poll = null;

    const status = el('div', { className: 'muted small' });
    function note(text, isError) {
      status.textContent = text;
      status.style.color = isError ? 'var(--err)' : '';
    }
    const state = el('span', { className: 'status off', textContent: 'not connected' });
    function setState(text, on) {
      state.textContent = text;
      state.className = 'status ' + (on ? 'on' : 'off');
    }

    // ---- discovery --------------------------------------------------------------------------
    const foundBody = el('tbody');
    function renderFound() {
      foundBody.textContent = '';
      if (!found.size) {
        foundBody.append(
          el('tr', {}, el('td', { colSpan: 6, className: 'muted', textContent: 'none yet' })),
        );
        return;
      }
      for (const d of found.values()) {
        foundBody.append(
          el(
            'tr',
            {},
            el('td', { textContent: d.DLKDeviceNameKey }),
            el('td', { className: 'mono', textContent: d.DLKDeviceUIDKey }),
            el('td', {
              className: 'mono',
              textContent: d.DLKDeviceAddressKey + ':' + d.DLKDevicePortNoKey,
            }),
            el('td', { textContent: d.DLKDeviceManufacturerKey + ' ' + d.DLKDeviceVersionKey }),
            el('td', {
              className: 'mono',
              textContent: [d.DLKDeviceCapsKey, d.DLKDeviceImageKey, d.DLKDeviceStatusKey].join(
                ' / ',
              ),
            }),
            el(
              'td',
              {},
              button('Connect', () => connect(d)),
            ),
          ),
        );
      }
    }
    container.append(
      el(
        'div',
        { className: 'row' },
        button('Search', async () => {
          found.clear();
          renderFound();
          await Lumetta.call('$$dlk_discovery');
          note('announced on every network interface; devices answer within a second');
        }),
        el('span', {
          className: 'muted small',
          textContent:
            'Searching broadcasts on the local network. Without hardware, run lumetta-devsim and paste the line it prints below.',
        }),
      ),
      LumettaConsole.scrollTable(
        ['name', 'UID', 'address', 'maker, version', 'caps / image / status', ''],
        foundBody,
      ),
    );

    // ---- connection -------------------------------------------------------------------------
    const dictionary = el('input', {
      className: 'mono',
      placeholder: '{"DLKDeviceAddressKey":"127.0.0.1","DLKDevicePortNoKey":…}',
      size: 60,
    });
    async function connect(d) {
      setState('connecting…', false);
      await Lumetta.call('$$dlk_connect', typeof d === 'string' ? d : JSON.stringify(d));
    }
    const connectTimeout = el('input', { type: 'number', min: 0, style: 'max-width:80px' });
    const keepAlive = el('input', { type: 'number', min: 0, max: 255, style: 'max-width:80px' });
    const inputMode = el('input', { type: 'number', value: 0, style: 'max-width:80px' });
    async function readTimeouts() {
      connectTimeout.value = (await Lumetta.call('$$dlk_timeout')).value;
      keepAlive.value = (await Lumetta.call('$$dlk_keepalive')).value;
    }
    container.append(
      el(
        'div',
        { className: 'row' },
        state,
        el('label', {}, 'Device dictionary', dictionary),
        button('Connect', () => connect(dictionary.value.trim())),
        button('Disconnect', async () => {
          await Lumetta.call('$$dlk_disconnect');
          setState('not connected', false);
          note('disconnected');
        }),
      ),
      el(
        'div',
        { className: 'row' },
        el('label', { style: 'flex:0' }, 'connect time-out (s)', connectTimeout),
        button('Set', async () => {
          connectTimeout.value = (
            await Lumetta.call('$$dlk_timeout', String(connectTimeout.value))
          ).value;
        }),
        el('label', { style: 'flex:0' }, 'keep-alive time-out (s)', keepAlive),
        button('Set', async () => {
          keepAlive.value = (await Lumetta.call('$$dlk_keepalive', String(keepAlive.value))).value;
        }),
        el('label', { style: 'flex:0' }, 'input mode', inputMode),
        button('Send', () => Lumetta.call('$$dlk_inputmode', String(inputMode.value))),
      ),
    );

    // ---- MIDI -------------------------------------------------------------------------------
    const hexInput = el('input', { className: 'mono', value: '903C64', placeholder: 'hex bytes' });
    const monBody = el('tbody');
    container.append(
      el(
        'div',
        { className: 'row' },
        el('label', {}, 'MIDI to the device', hexInput),
        el('button', {
          type: 'button',
          className: 'primary',
          textContent: 'Send',
          onclick: async () => {
            const hex = hexInput.value.replace(/[^0-9a-fA-F]/g, '');
            await Lumetta.call('$$dlk_send', hex);
            note(`sent ${hex.length >> 1} bytes`);
          },
        }),
        button('Clear', () => {
          monBody.textContent = '';
        }),
      ),
      LumettaConsole.scrollTable(['device time (ms)', 'bytes'], monBody, { className: 'mono' }),
    );

    // ---- status record ----------------------------------------------------------------------
    const meters = { outL: meter(), outR: meter(), inL: meter(), inR: meter() };
    const outInfo = el('span', { className: 'mono small' });
    const inInfo = el('span', { className: 'mono small' });
    container.append(
      el(
        'div',
        { className: 'row' },
        el('strong', { textContent: 'Output' }),
        meters.outL.node,
        meters.outR.node,
        outInfo,
      ),
      el(
        'div',
        { className: 'row' },
        el('strong', { textContent: 'Input' }),
        meters.inL.node,
        meters.inR.node,
        inInfo,
      ),
      status,
    );
    function describeStream(s, connected) {
      return (
        `${connected ? 'audio connected' : 'no audio connection'}, status ${s.status}, volume ${s.volume}, ` +
        `${s.currentTime.toFixed(2)} s`
      );
    }
    async function refreshStatus() {
      const r = await Lumetta.call('$$dlk_status');
      if (r.type !== 's') return;
      let s;
      try {
        s = JSON.parse(r.value);
      } catch (e) {
        return;
      }
      meters.outL.set(s.output.peakPowerL);
      meters.outR.set(s.output.peakPowerR);
      meters.inL.set(s.input.peakPowerL);
      meters.inR.set(s.input.peakPowerR);
      outInfo.textContent = describeStream(s.output, s.outputConnected);
      inInfo.textContent = describeStream(s.input, s.inputConnected);
    }
    function polling(on) {
      if (poll) clearInterval(poll);
      poll = on ? setInterval(refreshStatus, 200) : null;
      refreshStatus();
    }

    // ---- events -----------------------------------------------------------------------------
    const deviceName = (f) => {
      try {
        return JSON.parse(f[0]).DLKDeviceNameKey || 'device';
      } catch (e) {
        return 'no device';
      }
    };
    Lumetta.on('dlk', 'found', (f) => {
      try {
        const d = JSON.parse(f[0]);
        found.set(d.DLKDeviceUIDKey, d);
        renderFound();
      } catch (e) {
        note('unreadable device: ' + f[0], true);
      }
    });
    Lumetta.on('dlk', 'connected', (f) => {
      setState('connected: ' + deviceName(f), true);
      polling(true);
      readTimeouts();
    });
    Lumetta.on('dlk', 'connectfailed', (f) => {
      setState('not connected', false);
      polling(false);
      note('connection failed: ' + deviceName(f), true);
    });
    Lumetta.on('dlk', 'closed', (f) => {
      setState('closed', false);
      polling(false);
      note(deviceName(f) + ' closed the link');
    });
    Lumetta.on('dlk', 'error', (f) => {
      setState('error', false);
      polling(false);
      note('link error: ' + deviceName(f), true);
    });
    Lumetta.on('dlk', 'message', (f) => {
      monBody.prepend(
        el(
          'tr',
          {},
          el('td', { textContent: f[1] }),
          el('td', {
            textContent: f[0].length > 64 ? f[0].substr(0, 64) + '…' : f[0],
            title: f[0],
          }),
        ),
      );
      while (monBody.childElementCount > MAX_ROWS) monBody.lastElementChild.remove();
    });

    renderFound();
    readTimeouts();
    polling(false);
    (async () => {
      const r = await Lumetta.call('$$dlk_device');
      if (r.type === 's' && r.value) {
        dictionary.value = r.value.replace(/\s+/g, ' ');
      }
    })();
  }

  LumettaConsole.addPanel({ id: 'dlk', title: 'Devices', build });
  if (LumettaConsole.addFunctions) {
    LumettaConsole.addFunctions([
      '$$dlk_discovery',
      '$$dlk_device',
      '$$dlk_connect',
      '$$dlk_disconnect',
      '$$dlk_send',
      '$$dlk_inputmode',
      '$$dlk_timeout',
      '$$dlk_keepalive',
      '$$dlk_status',
    ]);
  }
})();

// Bluetooth LE panel: scan with an optional service filter, connect and disconnect, discover
// one service, then read, write, write without response and subscribe to its characteristics.
(function () {
  'use strict';
  if (!window.LumettaConsole || !window.Lumetta) return;

  const MAX_LOG = 200;
  const { el } = LumettaConsole;

  function build(container) {
    // identifier -> { name, rssi, state, service, characteristics: [] }
    const peripherals = new Map();

    const status = el('div', { className: 'muted small' });
    function note(text, isError) {
      status.textContent = text;
      status.style.color = isError ? 'var(--err)' : '';
    }

    async function run(fn, a, b) {
      const r = await Lumetta.call(fn, a, b);
      if (r.type === 'e') note(fn + ': ' + r.value, true);
      return r;
    }

    // ---- scanning -----------------------------------------------------------------------------
    const filter = el('input', {
      className: 'mono',
      placeholder: 'service UUIDs, comma separated (empty: all)',
    });
    function filterJSON() {
      const list = filter.value
        .split(',')
        .map((s) => s.trim())
        .filter(Boolean);
      return JSON.stringify(list);
    }

    // ---- peripherals --------------------------------------------------------------------------
    const body = el('tbody');
    const serviceInput = el('input', {
      className: 'mono',
      placeholder: 'service UUID',
      value: '180D',
    });

    function entry(id, name) {
      let p = peripherals.get(id);
      if (!p) {
        p = { name: name || '', rssi: '', state: 'seen', service: '', characteristics: [] };
        peripherals.set(id, p);
      }
      if (name) p.name = name;
      return p;
    }

    function address(id, p, uuid) {
      return JSON.stringify({
        BLEPeripheralKey: id,
        BLEServiceKey: p.service,
        BLECharacteristicKey: uuid,
      });
    }

    function characteristicRow(id, p, uuid) {
      const props = el('span', { className: 'muted small mono' });
      run('$$ble_properties', address(id, p, uuid)).then((r) => {
        if (r.type !== 's') return;
        try {
          const o = JSON.parse(r.value);
          props.textContent = Object.keys(o)
            .filter((k) => o[k])
            .join(' ');
        } catch (e) {
          /* left empty */
        }
      });
      const hex = el('input', { className: 'mono', placeholder: 'hex', style: 'max-width:140px' });
      const notify = el('input', {
        type: 'checkbox',
        onchange: () => run('$$ble_notify', address(id, p, uuid), notify.checked ? '1' : '0'),
      });
      const act = (text, fn, arg) =>
        el('button', {
          type: 'button',
          textContent: text,
          onclick: () => run(fn, address(id, p, uuid), arg ? arg() : undefined),
        });
      return el(
        'div',
        { className: 'row' },
        el('span', { className: 'mono', textContent: uuid }),
        props,
        act('read', '$$ble_read'),
        hex,
        act('write', '$$ble_write', () => hex.value.replace(/[^0-9a-fA-F]/g, '')),
        act('write w/o response', '$$ble_writewithoutresponse', () =>
          hex.value.replace(/[^0-9a-fA-F]/g, ''),
        ),
        el('label', { style: 'flex-direction:row;align-items:center;flex:0' }, notify, 'notify'),
      );
    }

    function render() {
      body.textContent = '';
      if (!peripherals.size) {
        body.append(
          el(
            'tr',
            {},
            el('td', { colSpan: 5, className: 'muted', textContent: 'none yet: start a scan' }),
          ),
        );
        return;
      }
      for (const [id, p] of peripherals) {
        const chars = el('div');
        for (const uuid of p.characteristics) chars.append(characteristicRow(id, p, uuid));
        body.append(
          el(
            'tr',
            {},
            el(
              'td',
              {},
              el('div', { textContent: p.name || '(no name)' }),
              el('div', { className: 'mono small muted', textContent: id }),
            ),
            el('td', { className: 'mono', textContent: String(p.rssi) }),
            el('td', { textContent: p.state }),
            el(
              'td',
              {},
              el('button', {
                type: 'button',
                textContent: 'connect',
                onclick: () => {
                  p.state = 'connecting';
                  run('$$ble_connect', id);
                  render();
                },
              }),
              el('button', {
                type: 'button',
                textContent: 'disconnect',
                onclick: () => run('$$ble_disconnect', id),
              }),
              el('button', {
                type: 'button',
                textContent: 'discover',
                onclick: () => {
                  p.service = serviceInput.value.trim();
                  run('$$ble_discover', id, p.service);
                },
              }),
            ),
            el(
              'td',
              {},
              p.service ? el('div', { className: 'mono small', textContent: p.service }) : '',
              chars,
            ),
          ),
        );
      }
    }

    // ---- value log ----------------------------------------------------------------------------
    const logBody = el('tbody');
    function log(kind, characteristic, value, error) {
      let where = characteristic;
      try {
        const a = JSON.parse(characteristic);
        where =
          a.BLECharacteristicKey +
          ' @ ' +
          ((peripherals.get(a.BLEPeripheralKey) || {}).name || a.BLEPeripheralKey);
      } catch (e) {
        /* shown raw */
      }
      logBody.prepend(
        el(
          'tr',
          {},
          el('td', { textContent: new Date().toLocaleTimeString() }),
          el('td', { textContent: kind }),
          el('td', { className: 'mono', textContent: where }),
          el('td', { className: 'mono', textContent: value }),
          el('td', { textContent: error, style: error ? 'color:var(--err)' : '' }),
        ),
      );
      while (logBody.children.length > MAX_LOG) logBody.lastChild.remove();
    }

    container.append(
      el(
        'div',
        { className: 'row' },
        el('label', {}, 'scan filter', filter),
        el('button', {
          type: 'button',
          className: 'primary',
          textContent: 'scan',
          onclick: () => {
            run('$$ble_scanstart', filterJSON());
            note('scanning…');
          },
        }),
        el('button', {
          type: 'button',
          textContent: 'stop',
          onclick: () => {
            run('$$ble_scanstop');
            note('scan stopped');
          },
        }),
        el('button', {
          type: 'button',
          textContent: 'disconnect all',
          onclick: () => run('$$ble_disconnect'),
        }),
        el('label', {}, 'service to discover', serviceInput),
      ),
      status,
      LumettaConsole.scrollTable(['peripheral', 'RSSI', 'state', '', 'characteristics'], body),
      el('h3', { className: 'small muted', textContent: 'values and writes' }),
      el('div', { className: 'scroll', style: 'max-height:220px' }, el('table', {}, logBody)),
    );

    // ---- events -------------------------------------------------------------------------------
    // Fields are not escaped: a name holding form feeds spans several fields, so it is taken
    // as everything between the fixed fields around it.
    const nameOf = (f, after) => f.slice(1, f.length - after).join('\f');
    Lumetta.on('ble', 'found', (f) => {
      const p = entry(f[0], nameOf(f, 1));
      p.rssi = f[f.length - 1];
      render();
    });
    Lumetta.on('ble', 'connected', (f) => {
      entry(f[0], nameOf(f, 0)).state = 'connected';
      render();
    });
    Lumetta.on('ble', 'connectfailed', (f) => {
      const p = entry(f[0], nameOf(f, 0));
      p.state = 'connection failed';
      note('connection failed: ' + (p.name || f[0]), true);
      render();
    });
    Lumetta.on('ble', 'disconnected', (f) => {
      const p = entry(f[0], nameOf(f, 0));
      p.state = 'disconnected';
      p.characteristics = [];
      render();
    });
    Lumetta.on('ble', 'discovered', (f) => {
      const p = entry(f[0]);
      p.service = f[1];
      try {
        p.characteristics = JSON.parse(f[2]);
      } catch (e) {
        p.characteristics = [];
      }
      render();
    });
    Lumetta.on('ble', 'discoverfailed', (f) =>
      note(
        'discovery failed on ' +
          ((peripherals.get(f[0]) || {}).name || f[0]) +
          (f[1] === '0' ? ': no such service' : ': ' + f[1]),
        true,
      ),
    );
    Lumetta.on('ble', 'changed', (f) => log('value', f[0], f[1], f[2]));
    Lumetta.on('ble', 'write', (f) => log('write', f[0], '', f[1]));
    Lumetta.on('ble', 'unauthorized', () =>
      note('Bluetooth access is not allowed for this user', true),
    );

    render();
  }

  LumettaConsole.addPanel({ id: 'ble', title: 'Bluetooth LE', build });
  if (LumettaConsole.addFunctions) {
    LumettaConsole.addFunctions([
      '$$ble_scanstart',
      '$$ble_scanstop',
      '$$ble_connect',
      '$$ble_disconnect',
      '$$ble_discover',
      '$$ble_properties',
      '$$ble_notify',
      '$$ble_read',
      '$$ble_write',
      '$$ble_writewithoutresponse',
    ]);
  }
})();

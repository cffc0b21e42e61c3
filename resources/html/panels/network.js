// Network panel: HTTP downloads and uploads with progress and cancel, raw TCP connections,
// and the security functions (digests, UUIDs, ciphers).
(function () {
  'use strict';

  const { el, button } = LumettaConsole;

  function textToHex(text) {
    return Array.from(new TextEncoder().encode(text), (b) => b.toString(16).padStart(2, '0'))
      .join('')
      .toUpperCase();
  }

  function hexToText(hex) {
    const bytes = new Uint8Array(hex.length >> 1);
    for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(hex.substr(i * 2, 2), 16);
    return new TextDecoder('utf-8', { fatal: false }).decode(bytes);
  }

  function section(title, ...children) {
    return el('div', { className: 'panel-section' }, el('h3', { textContent: title }), ...children);
  }

  function buildHttp() {
    const url = el('input', { className: 'mono', size: 50, value: 'http://127.0.0.1:8000/' });
    const file = el('input', {
      className: 'mono',
      size: 40,
      placeholder: 'local path (download: optional)',
    });
    const status = el('div', { className: 'muted small' });
    const list = el('tbody');
    const rows = new Map(); // transfer number -> { progress, state }

    function addRow(kind, uid) {
      const progress = el('progress', { max: 1, value: 0 });
      const state = el('span', { className: 'mono', textContent: 'started' });
      const cancel = button('Cancel', () => {
        Lumetta.call('$$http_cancel', uid);
        state.textContent = 'cancelled';
        cancel.disabled = true;
      });
      list.prepend(
        el(
          'tr',
          {},
          el('td', { className: 'mono', textContent: uid }),
          el('td', { textContent: kind }),
          el('td', { className: 'mono', textContent: url.value }),
          el('td', {}, progress),
          el('td', {}, state),
          el('td', {}, cancel),
        ),
      );
      rows.set(uid, { progress, state, cancel });
    }

    async function start(kind) {
      const name = kind === 'download' ? '$$http_download' : '$$http_upload';
      const r = await Lumetta.call(name, url.value, file.value || undefined);
      if (r.type === 'e') {
        status.textContent = name + ': ' + r.value;
        return;
      }
      if (String(r.value) === '4294967295') {
        status.textContent = 'not a valid URL';
        return;
      }
      status.textContent = '';
      addRow(kind, String(r.value));
    }

    Lumetta.on('http', 'progress', (fields) => {
      const row = rows.get(fields[0]);
      if (!row) return;
      const total = Number(fields[1]),
        done = Number(fields[2]);
      if (total > 0) {
        row.progress.max = total;
        row.progress.value = done;
      } else row.progress.removeAttribute('value');
      row.state.textContent = done + (total >= 0 ? ' / ' + total : '') + ' bytes';
    });
    Lumetta.on('http', 'completed', (fields) => {
      const row = rows.get(fields[0]);
      if (!row) return;
      row.state.textContent = 'completed: ' + fields[1];
      row.cancel.disabled = true;
    });
    Lumetta.on('http', 'error', (fields) => {
      const row = rows.get(fields[0]);
      if (!row) return;
      row.state.textContent = 'error';
      row.state.style.color = 'var(--err)';
      row.cancel.disabled = true;
    });

    return section(
      'HTTP transfers',
      el(
        'div',
        { className: 'row' },
        el('label', {}, 'URL', url),
        el('label', {}, 'File', file),
        button('Download', () => start('download')),
        button('Upload', () => start('upload')),
      ),
      status,
      el(
        'table',
        { className: 'mono' },
        el(
          'thead',
          {},
          el(
            'tr',
            {},
            ...['#', 'kind', 'URL', 'progress', 'state', ''].map((h) =>
              el('th', { textContent: h }),
            ),
          ),
        ),
        list,
      ),
    );
  }

  function buildTcp() {
    const address = el('input', { className: 'mono', size: 15, value: '127.0.0.1' });
    const port = el('input', { className: 'mono', size: 6, value: '7' });
    const connection = el('select');
    const message = el('input', { className: 'mono', size: 40, placeholder: 'text to send' });
    const asHex = el('input', { type: 'checkbox' });
    const log = el('pre', {
      className: 'mono',
      style: 'max-height: 260px; overflow: auto; white-space: pre-wrap;',
    });

    function note(text) {
      log.append(text + '\n');
      log.scrollTop = log.scrollHeight;
    }

    async function connect() {
      const r = await Lumetta.call('$$tcpip_connect', address.value, port.value);
      const number = String(r.value);
      if (r.type !== 'd' || number === '-1') {
        note('connect to ' + address.value + ':' + port.value + ' failed');
        return;
      }
      connection.append(
        el('option', {
          value: number,
          textContent: number + ' → ' + address.value + ':' + port.value,
        }),
      );
      connection.value = number;
      note('[' + number + '] connected');
    }

    function send() {
      if (!connection.value) return;
      const hex = asHex.checked ? message.value.replace(/\s+/g, '') : textToHex(message.value);
      Lumetta.call('$$tcpip_write', connection.value, hex);
    }

    Lumetta.on('tcpip', 'read', (fields) => note('[' + fields[0] + '] ' + hexToText(fields[1])));
    Lumetta.on('tcpip', 'closed', (fields) => {
      note('[' + fields[0] + '] closed');
      for (const o of [...connection.options]) if (o.value === fields[0]) o.remove();
    });

    message.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') send();
    });
    return section(
      'TCP connections',
      el(
        'div',
        { className: 'row' },
        el('label', {}, 'Address', address),
        el('label', {}, 'Port', port),
        button('Connect', connect),
      ),
      el(
        'div',
        { className: 'row' },
        connection,
        message,
        el('label', {}, asHex, 'hex'),
        button('Send', send),
        button('Close', () => connection.value && Lumetta.call('$$tcpip_close', connection.value)),
        button('Clear', () => log.replaceChildren()),
      ),
      log,
    );
  }

  function buildSecurity() {
    const input = el('input', {
      className: 'mono',
      size: 50,
      placeholder: 'text, hex, or a path for MD5',
    });
    const key = el('input', {
      className: 'mono',
      size: 50,
      placeholder: 'KEYHEX/IVHEX (absent: the default pair)',
    });
    const output = el('pre', {
      className: 'mono',
      style: 'white-space: pre-wrap; word-break: break-all;',
    });

    async function run(name, a1, a2) {
      const r = await Lumetta.call(name, a1, a2);
      output.textContent =
        name + ' → ' + (r.type === 's' ? (r.value === '' ? '(empty: failed)' : r.value) : r.raw);
      return r;
    }
    const keyArg = () => (key.value === '' ? undefined : key.value);

    return section(
      'Security',
      el('div', { className: 'row' }, el('label', {}, 'Input', input), el('label', {}, 'Key', key)),
      el(
        'div',
        { className: 'row' },
        button('MD5 (hex or path)', () => run('$$security_md5', input.value)),
        button('MD5 of text', () => run('$$security_md5', textToHex(input.value))),
        button('UUID', () => run('$$security_uuidgen')),
        button('Default key/IV', () => run('$$security_kiv')),
        button('Encipher text', () => run('$$security_encipher', input.value)),
        button('Decipher', () =>
          run('$$security_decipher', input.value).then((r) => {
            if (r.type === 's' && r.value) output.textContent += '\n' + JSON.stringify(r.value);
          }),
        ),
      ),
      el(
        'div',
        { className: 'row' },
        button('AES encrypt', () => run('$$security_aesencrypt', input.value, keyArg())),
        button('AES decrypt', () => run('$$security_aesdecrypt', input.value, keyArg())),
        button('3DES encrypt', () => run('$$security_desencrypt', input.value, keyArg())),
        button('3DES decrypt', () => run('$$security_desdecrypt', input.value, keyArg())),
      ),
      output,
    );
  }

  LumettaConsole.addPanel({
    id: 'network',
    title: 'Network',
    build(container) {
      container.append(buildHttp(), buildTcp(), buildSecurity());
    },
  });
})();

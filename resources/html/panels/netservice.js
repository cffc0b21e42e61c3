// Service browser: searches one DNS-SD service type in "local." and lists every instance with
// its IPv4 addresses and port as "netservice" events report them.
(function () {
  'use strict';
  if (!window.LumettaConsole || !window.Lumetta) return;

  const { el } = LumettaConsole;

  function build(container) {
    // name -> { port, addresses: Set }
    const services = new Map();
    let running = false;

    const status = el('div', { className: 'muted small' });
    function note(text, isError) {
      status.textContent = text;
      status.style.color = isError ? 'var(--err)' : '';
    }

    const type = el('input', {
      className: 'mono',
      value: '_http._tcp',
      placeholder: '_service._tcp',
    });
    const body = el('tbody');

    function render() {
      body.textContent = '';
      if (!services.size) {
        body.append(
          el(
            'tr',
            {},
            el('td', {
              colSpan: 3,
              className: 'muted',
              textContent: running ? 'searching…' : 'none',
            }),
          ),
        );
        return;
      }
      const names = Array.from(services.keys()).sort((a, b) => a.localeCompare(b));
      for (const name of names) {
        const s = services.get(name);
        // textContent: names are shown exactly as announced, never as markup.
        body.append(
          el(
            'tr',
            {},
            el('td', { className: 'fields', textContent: name }),
            el('td', { className: 'mono', textContent: Array.from(s.addresses).join(', ') }),
            el('td', { className: 'mono', textContent: String(s.port) }),
          ),
        );
      }
    }

    async function search() {
      const r = await Lumetta.call('$$netservice_search', type.value.trim());
      if (r.type === 'b' && r.value === '1') {
        services.clear();
        running = true;
        note('searching for ' + type.value.trim() + ' in local.');
      } else if (r.type === 'b') {
        note('a search is already running; stop it first', true);
      } else {
        note(r.value || 'search failed', true);
      }
      render();
    }

    async function stop() {
      await Lumetta.call('$$netservice_stop');
    }

    container.append(
      el(
        'div',
        { className: 'row' },
        el('label', {}, 'service type', type),
        el('button', {
          type: 'button',
          className: 'primary',
          textContent: 'search',
          onclick: search,
        }),
        el('button', { type: 'button', textContent: 'stop', onclick: stop }),
      ),
      status,
      LumettaConsole.scrollTable(['name', 'IPv4 addresses', 'port'], body),
    );

    Lumetta.on('netservice', 'resolved', (f) => {
      let record;
      try {
        record = JSON.parse(f.join('\f'));
      } catch (e) {
        return;
      }
      const s = services.get(record.name) || { port: record.port, addresses: new Set() };
      s.port = record.port;
      s.addresses.add(record.address);
      services.set(record.name, s);
      render();
    });
    // The name is the last field and may itself hold form feeds: take the rest whole.
    Lumetta.on('netservice', 'lost', (f) => {
      services.delete(f.join('\f'));
      render();
    });
    Lumetta.on('netservice', 'stopped', (f) => {
      running = false;
      if (f[0]) note('search ended with DNS-SD error ' + f[0], true);
      else note('search stopped');
      render();
    });

    render();
  }

  LumettaConsole.addPanel({ id: 'netservice', title: 'Services', build });
  if (LumettaConsole.addFunctions)
    LumettaConsole.addFunctions(['$$netservice_search', '$$netservice_stop']);
})();

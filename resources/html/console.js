// The bridge console: a call panel, a live event log and the module panels.
(function () {
  'use strict';

  const KNOWN = [
    '$$app_ready',
    '$$app_startevent',
    '$$app_getevent',
    '$$app_storage',
    '$$app_storage2',
    '$$app_clipboard',
    '$$app_control',
    '$$app_locate',
    '$$app_dragdrop',
    '$$app_dropfiles',
    '$$app_exit',
    '$$util_bytes',
    '$$util_text',
    '$$store_purchased',
    '$$store_restore',
    '$$notification_token',
    '$$recognizer_start',
  ];
  const panels = [];
  let activePanel = null;

  const LumettaConsole = {
    /** Adds a module panel: { id, title, build(container) }. */
    addPanel(panel) {
      panels.push(panel);
      if (document.readyState !== 'loading') renderTabs();
    },
    /** Creates an element with properties and children: el('td', { className: 'x' }, 'text'). */
    el,
    /** A plain button that runs onClick. */
    button: (label, onClick) =>
      el('button', { type: 'button', textContent: label, onclick: onClick }),
    /** A table with these column headings over `body` (a tbody the panel fills). */
    headedTable,
    /** The same table in a scrolling box. */
    scrollTable: (headings, body, props = {}) =>
      el('div', { className: 'scroll' }, headedTable(headings, body, props)),
    /** Adds names to the function suggestions. */
    addFunctions(names) {
      const list = document.getElementById('known-functions');
      for (const n of names) {
        const o = document.createElement('option');
        o.value = n;
        list && list.appendChild(o);
      }
    },
  };
  window.LumettaConsole = LumettaConsole;

  function headedTable(headings, body, props = {}) {
    return el(
      'table',
      props,
      el('thead', {}, el('tr', {}, ...headings.map((h) => el('th', { textContent: h })))),
      body,
    );
  }

  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    Object.assign(e, props || {});
    for (const c of children) e.append(c);
    return e;
  }

  function renderTabs() {
    const tabs = document.getElementById('panel-tabs');
    const body = document.getElementById('panel-body');
    tabs.textContent = '';
    const empty = body.querySelector('.empty');
    if (!panels.length) {
      if (!empty)
        body.append(el('div', { className: 'empty', textContent: 'Module panels appear here.' }));
      return;
    }
    if (empty) empty.remove();
    for (const p of panels) {
      const b = el('button', { type: 'button', textContent: p.title });
      b.classList.toggle('active', p === activePanel);
      b.onclick = () => show(p);
      tabs.append(b);
    }
    if (!activePanel) show(panels[0]);
  }

  function show(panel) {
    activePanel = panel;
    const body = document.getElementById('panel-body');
    for (const p of panels) {
      if (!p.container) {
        p.container = el('div', { className: 'panel' });
        p.container.hidden = true;
        body.append(p.container);
        try {
          p.build(p.container);
        } catch (e) {
          p.container.textContent = 'This panel failed to start: ' + e;
        }
      }
      p.container.hidden = p !== panel;
    }
    for (const b of document.querySelectorAll('#panel-tabs button'))
      b.classList.toggle('active', b.textContent === panel.title);
  }

  function setupCalls() {
    LumettaConsole.addFunctions(KNOWN);
    const form = document.getElementById('call-form');
    const name = document.getElementById('call-name');
    const arg1 = document.getElementById('call-arg1');
    const arg2 = document.getElementById('call-arg2');
    const channel = document.getElementById('call-channel');
    const tag = document.getElementById('result-tag');
    const value = document.getElementById('result-value');
    const history = document.getElementById('call-history');
    const arg = (input) => (input.value === '' ? null : input.value);

    function showResult(r, ms) {
      tag.textContent = r.type;
      tag.className = 'tag t-' + r.type;
      let text = r.value === undefined ? '(nothing)' : String(r.value);
      if (r.type === 's') {
        try {
          text = JSON.stringify(JSON.parse(r.value), null, 2);
        } catch (e) {
          /* plain text */
        }
      }
      value.textContent = text + (ms !== undefined ? '\n\n' + ms.toFixed(2) + ' ms' : '');
    }

    form.addEventListener('submit', async (ev) => {
      ev.preventDefault();
      const n = name.value.trim();
      const a1 = arg(arg1),
        a2 = arg(arg2);
      const t0 = performance.now();
      try {
        let r;
        switch (channel.value) {
          case 'prompt':
            r = Lumetta.callSync(n, a1, a2);
            break;
          case 'variable':
            r = await Lumetta.callVar(n, a1, a2);
            break;
          case 'xhr':
            r = await Lumetta.callXHR(n, a1, a2);
            break;
          case 'send':
            Lumetta.send(n, a1, a2);
            r = Lumetta.parse('v');
            break;
          default:
            r = await Lumetta.call(n, a1, a2);
        }
        showResult(r, performance.now() - t0);
      } catch (e) {
        showResult({ type: 'e', value: String(e.message || e) });
      }
      const li = el('li', {
        textContent: n + '(' + JSON.stringify(a1) + ', ' + JSON.stringify(a2) + ')',
      });
      li.onclick = () => {
        name.value = n;
        arg1.value = a1 ?? '';
        arg2.value = a2 ?? '';
      };
      history.prepend(li);
      while (history.children.length > 50) history.lastChild.remove();
    });
  }

  function setupEvents() {
    const rows = document.getElementById('event-rows');
    const filter = document.getElementById('event-filter');
    const pause = document.getElementById('event-pause');
    const count = document.getElementById('event-count');
    let paused = false,
      total = 0;
    const matches = (tr) =>
      !filter.value || tr.textContent.toLowerCase().includes(filter.value.toLowerCase());

    Lumetta.on('*', '*', (fields, raw) => {
      total++;
      count.textContent = total + ' events';
      if (paused) return;
      const parts = raw.split('\f');
      const tr = el(
        'tr',
        {},
        el('td', { textContent: String(total) }),
        el('td', { textContent: new Date().toLocaleTimeString() }),
        el('td', { textContent: parts[0] }),
        el('td', { textContent: parts[1] || '' }),
        el('td', {
          className: 'fields',
          textContent: fields.map((f) => JSON.stringify(f)).join('  '),
        }),
      );
      tr.hidden = !matches(tr);
      rows.prepend(tr);
      while (rows.children.length > 500) rows.lastChild.remove();
    });
    filter.addEventListener('input', () => {
      for (const tr of rows.children) tr.hidden = !matches(tr);
    });
    pause.onclick = () => {
      paused = !paused;
      pause.textContent = paused ? 'Resume' : 'Pause';
    };
    document.getElementById('event-clear').onclick = () => {
      rows.textContent = '';
    };
  }

  document.addEventListener('DOMContentLoaded', () => {
    const status = document.getElementById('status');
    if (!window.Lumetta || !Lumetta.available()) {
      status.textContent = 'not running inside Lumetta';
      status.className = 'status off';
    } else {
      status.textContent =
        'connected · prompt ' +
        (window.$$prompt ? 'on' : 'off') +
        ' · xhr port ' +
        (window.$$xhrport || '–');
      status.className = 'status on';
    }
    setupCalls();
    setupEvents();
    renderTabs();
  });
})();

// Secondary panel: a second web page laid over this one. Place it, show or hide it, load a
// page into it and exchange messages with it; its load results and messages arrive as events.
(function () {
  'use strict';

  const { el, button } = LumettaConsole;

  const CODES = { 0: 'finished', 256: 'failed', 257: 'timed out', 258: 'host unreachable' };

  // A page for trying the panel out: it shows what it receives and can answer.
  const DEMO =
    '<!doctype html><html><head><meta charset="utf-8"><title>panel</title>' +
    '<style>body{font:13px sans-serif;margin:8px;background:#fffbe6;border:2px solid #e0b000}' +
    '#log{white-space:pre-wrap;font-family:monospace}</style>' +
    '<script>function onSendMsgToZEV(text){document.getElementById("log").textContent+="<- "+text+"\\n";}' +
    'function reply(){const t=document.getElementById("out").value;' +
    'window.webkit.messageHandlers.sendMsgToZOM.postMessage(t);' +
    'document.getElementById("log").textContent+="-> "+t+"\\n";}</script></head>' +
    '<body><b>Secondary panel</b><br><input id="out" value="hello from the panel">' +
    '<button onclick="reply()">Send to main page</button><div id="log"></div></body></html>';

  // The host puts a message into the panel's script literal onSendMsgToZEV('...') as it is: the
  // page escapes backslashes, quotes and line breaks.
  function forPanel(text) {
    return text
      .replace(/[\\'"]/g, '\\$&')
      .replace(/\n/g, '\\n')
      .replace(/\r/g, '\\r')
      .replace(/\u2028/g, '\\u2028')
      .replace(/\u2029/g, '\\u2029');
  }

  if (LumettaConsole.addFunctions) {
    LumettaConsole.addFunctions([
      '$$zev_viewPositionConfig',
      '$$zev_show',
      '$$zev_hide',
      '$$zev_openPage',
      '$$zev_sendMsgToZEV',
    ]);
  }

  LumettaConsole.addPanel({
    id: 'zev',
    title: 'Secondary panel',
    build(container) {
      const num = (value) =>
        el('input', { type: 'number', value: String(value), style: 'width: 6em' });
      const x = num(20),
        y = num(20),
        width = num(360),
        height = num(240);
      const url = el('input', {
        className: 'mono',
        placeholder: 'http://127.0.0.1:8000/',
        size: 50,
      });
      const message = el('input', { className: 'mono', value: "it's a message", size: 50 });
      const log = el('div', {
        className: 'mono small',
        style: 'max-height: 240px; overflow: auto;',
      });

      function note(text, failed) {
        log.prepend(
          el('div', {
            textContent: new Date().toLocaleTimeString() + '  ' + text,
            style: failed ? 'color: var(--err)' : '',
          }),
        );
      }

      async function call(name, arg) {
        const r = await Lumetta.call(name, arg);
        if (r.type === 'e') note(name + ' failed: ' + r.value, true);
        return r;
      }

      function place() {
        const geometry = {
          x: Number(x.value),
          y: Number(y.value),
          width: Number(width.value),
          height: Number(height.value),
        };
        call('$$zev_viewPositionConfig', JSON.stringify(geometry));
      }

      function open(address) {
        if (!address) return;
        note('loading ' + (address.startsWith('data:') ? 'the demo page' : address));
        call('$$zev_openPage', address);
      }

      Lumetta.on('zev', 'onZevWebViewNotify', (fields) => {
        const code = fields[0];
        note('navigation: ' + code + ' (' + (CODES[code] || 'unknown') + ')', code !== '0');
      });
      Lumetta.on('zev', 'onSendMsgToZOM', (fields) => {
        // The message may itself hold form feeds: it is everything after the event name.
        note('from the panel: ' + fields.join('\f'));
      });

      container.append(
        el(
          'div',
          { className: 'row' },
          el('label', {}, 'x ', x),
          el('label', {}, 'y ', y),
          el('label', {}, 'width ', width),
          el('label', {}, 'height ', height),
          button('Place', place),
          button('Show', () => call('$$zev_show')),
          button('Hide', () => call('$$zev_hide')),
        ),
        el(
          'div',
          { className: 'row' },
          el('label', {}, 'URL ', url),
          button('Open', () => open(url.value.trim())),
          button('Demo page', () =>
            open('data:text/html;charset=utf-8,' + encodeURIComponent(DEMO)),
          ),
        ),
        el(
          'div',
          { className: 'row' },
          el('label', {}, 'Message ', message),
          button('Send', () => {
            note('to the panel: ' + message.value);
            call('$$zev_sendMsgToZEV', forPanel(message.value));
          }),
        ),
        el('div', {
          className: 'muted small',
          textContent:
            'The page calls onSendMsgToZEV(text) in the panel; the panel answers through ' +
            'window.webkit.messageHandlers.sendMsgToZOM. Positions count from the top-left corner of the window content.',
        }),
        log,
      );
    },
  });
})();

// Shell console: runs a command line through /bin/sh and streams its standard output.
(function () {
  'use strict';

  const { el } = LumettaConsole;

  LumettaConsole.addPanel({
    id: 'shell',
    title: 'Shell',
    build(container) {
      const command = el('input', { className: 'mono', value: 'ls -la ~', size: 60 });
      const output = el('pre', {
        className: 'mono',
        style: 'max-height: 420px; overflow: auto; white-space: pre-wrap;',
      });
      const running = el('div', { className: 'muted small' });
      const tasks = new Map(); // process id -> its output element

      function refresh() {
        running.textContent = tasks.size ? 'running: ' + [...tasks.keys()].join(', ') : 'idle';
      }

      async function run() {
        // One word: the whole line goes to the shell as typed, quoting included.
        const r = await Lumetta.call('$$sh_exec', JSON.stringify([command.value]));
        if (r.type === 'e') {
          output.append(
            el('div', { style: 'color: var(--err)', textContent: 'cannot start: ' + r.value }),
          );
          return;
        }
        const pid = String(r.value);
        if (pid === '0') return;
        const block = el('div', {});
        output.append(
          el('div', { className: 'muted', textContent: '$ ' + command.value + '   [' + pid + ']' }),
          block,
        );
        tasks.set(pid, block);
        refresh();
      }

      Lumetta.on('sh', 'stdout', (fields) => {
        const pid = fields[0];
        // The text may itself hold form feeds: it is everything after the id.
        const text = fields.slice(1).join('\f');
        const block = tasks.get(pid);
        if (!block) return;
        if (text === '') {
          tasks.delete(pid);
          block.append(
            el('div', { className: 'muted small', textContent: '[' + pid + ' finished]' }),
          );
          refresh();
        } else {
          block.append(document.createTextNode(text));
        }
        output.scrollTop = output.scrollHeight;
      });

      command.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') run();
      });
      container.append(
        el(
          'div',
          { className: 'row' },
          el('label', {}, 'Command', command),
          el('button', { type: 'button', className: 'primary', textContent: 'Run', onclick: run }),
          el('button', {
            type: 'button',
            textContent: 'Clear',
            onclick: () => output.replaceChildren(),
          }),
        ),
        running,
        output,
      );
      refresh();
    },
  });
})();

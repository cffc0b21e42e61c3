// Impulse-response panel: a WAV file's facts ("wavstat"), and its conversion into the
// instrument's parameter file ("convert") with progress and cancel.
(function () {
  'use strict';

  const { el, button } = LumettaConsole;

  function control(command, args) {
    return Lumetta.call('$$app_control', command + ':' + JSON.stringify(args));
  }

  const FORMATS = { 1: 'PCM', 3: 'IEEE float', 65534: 'extensible' };

  LumettaConsole.addPanel({
    id: 'ir',
    title: 'Impulse response',
    build(container) {
      const path = el('input', {
        className: 'mono',
        placeholder: '/path/to/cabinet.wav',
        size: 60,
      });
      const facts = el('table', { className: 'small' });
      const bar = el('progress', { max: 100, value: 0 });
      const percent = el('span', { className: 'mono small', textContent: '' });
      const status = el('div', { className: 'muted small' });
      const output = el('div', { className: 'mono small' });
      const convert = button('Convert', start);
      const cancel = button('Cancel', () => control('convert', { req: 'cancel' }));
      cancel.disabled = true;
      let poll = null;

      function report(text, failed) {
        status.textContent = text;
        status.style.color = failed ? 'var(--err)' : '';
      }

      function running(on) {
        convert.disabled = on;
        cancel.disabled = !on;
        if (poll) clearInterval(poll);
        poll = on ? setInterval(() => control('convert', { req: 'progress' }), 200) : null;
      }

      function showFacts(d) {
        facts.replaceChildren();
        const rows = [
          ['Format', FORMATS[d.format] || 'tag ' + d.format],
          ['Channels', d.channels],
          ['Bits', d.bits],
          ['Sample rate', d.sampleRate + ' Hz'],
          [
            'Frames',
            d.samples + (d.sampleRate ? ' (' + (d.samples / d.sampleRate).toFixed(3) + ' s)' : ''),
          ],
        ];
        if ('tempo' in d) {
          rows.push(['Tempo', d.tempo + ' BPM']);
          rows.push(['Meter', d.numerator + '/' + d.denominator + ', ' + d.beatCount + ' beats']);
        }
        for (const [k, v] of rows)
          facts.append(
            el('tr', {}, el('th', { textContent: k }), el('td', { textContent: String(v) })),
          );
      }

      function inspect() {
        if (!path.value) return report('Type or paste the path of a WAV file.', true);
        facts.replaceChildren();
        control('wavstat', { path: path.value });
      }

      function start() {
        if (!path.value) return report('Type or paste the path of a WAV file.', true);
        output.textContent = '';
        bar.value = 0;
        percent.textContent = '';
        report('Loading…');
        running(true);
        control('convert', { path: path.value, ch: 0 });
      }

      // Both commands answer with an "app" "command" event: name, then the JSON dictionary.
      Lumetta.on('app', 'command', (fields) => {
        let d;
        try {
          d = JSON.parse(fields[1] || '{}');
        } catch (e) {
          return;
        }
        if (fields[0] === 'wavstat') {
          if (d.result === 1) showFacts(d);
          else report('Not a readable WAV file: ' + path.value, true);
          return;
        }
        if (fields[0] !== 'convert') return;
        if ('progress' in d) {
          bar.value = d.progress;
          percent.textContent = d.progress + ' %';
        } else if (d.load === 'finished') {
          running(false);
          bar.value = 100;
          percent.textContent = '100 %';
          report('Converted.');
          output.textContent = 'Parameter file: ' + d.path;
        } else if (d.cancel === 'aborted') {
          running(false);
          report('Cancelled; no file was written.');
        } else if (d.load === 'busy') {
          report('A conversion is already running.', true);
        } else if (d.load === 'unsupported' || d.load === 'notfound') {
          running(false);
          report(
            'Cannot convert this file (' +
              d.load +
              '): it must be a mono or stereo PCM or float WAV file.',
            true,
          );
        } else if (d.load === 'failed') {
          running(false);
          report(
            'The parameter file could not be written: ' + (d.path || 'no temporary folder'),
            true,
          );
        } else if (d.result === 1) {
          report('Converting…');
        }
      });

      path.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') inspect();
      });
      container.append(
        el('div', { className: 'row' }, path, button('Inspect', inspect), convert, cancel),
        facts,
        el('div', { className: 'row' }, bar, percent),
        status,
        output,
      );
    },
  });
})();

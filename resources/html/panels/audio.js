// Audio panel: the device lists, a player (open, play, pause, stop, locate, speed, volume,
// meters) and a recorder (create, record, pause, stop, volume, meters).
(function () {
  'use strict';

  const { el, button } = LumettaConsole;

  const call = (name, a, b) => Lumetta.call(name, a, b);
  const number = (r) => (r && (r.type === 'f' || r.type === 'd') ? Number(r.value) : 0);

  // A level meter: -60 dB and below is empty, 0 dB full.
  function meter() {
    const bar = el('meter', { min: -60, max: 0, value: -60 });
    bar.style.width = '12em';
    return bar;
  }

  function deviceSelect() {
    return el('select', {}, el('option', { value: '', textContent: '(default device)' }));
  }

  function fillDevices(select, list) {
    const keep = select.value;
    select.replaceChildren(el('option', { value: '', textContent: '(default device)' }));
    for (const d of list) {
      const label =
        d.AudioDeviceNameKey +
        ' — ' +
        d.AudioDeviceChannelsKey +
        ' ch, ' +
        d.AudioDeviceSampleRateKey +
        ' Hz, ' +
        d.AudioDeviceBitDepthKey +
        ' bit' +
        (d.AudioDeviceCurrentKey ? ' (system default)' : '');
      select.append(el('option', { value: d.AudioDeviceUIDKey, textContent: label }));
    }
    select.value = keep;
    if (select.value !== keep) select.value = '';
  }

  const STATUS = { 0: 'stopped', 1: 'running', 2: 'paused' };

  LumettaConsole.addPanel({
    id: 'audio',
    title: 'Audio',
    build(container) {
      const log = el('div', { className: 'mono small muted' });
      const say = (text) => {
        log.textContent = text;
      };

      // ---- devices ----
      const outputs = deviceSelect();
      const inputs = deviceSelect();
      async function refreshDevices() {
        const o = await call('$$audio_outputs');
        const i = await call('$$audio_inputs');
        try {
          fillDevices(outputs, o.type === 's' ? JSON.parse(o.value) : []);
          fillDevices(inputs, i.type === 's' ? JSON.parse(i.value) : []);
        } catch (e) {
          say('Device list unreadable: ' + e);
        }
      }
      Lumetta.on('audio', 'changed', () => {
        say("The system's devices changed.");
        refreshDevices();
      });

      // ---- player ----
      const file = el('input', {
        className: 'mono',
        placeholder: 'song.wav (in Documents)',
        size: 30,
      });
      const at = el('input', { type: 'number', min: 0, step: 0.1, value: 0, style: 'width:6em' });
      const speed = el('input', { type: 'range', min: 0, max: 2, step: 0.05, value: 1 });
      const volume = el('input', { type: 'range', min: 0, max: 1, step: 0.01, value: 1 });
      const playerState = el('span', { className: 'mono small' });
      const playerMeters = [meter(), meter()];
      const useLink = el('input', { type: 'checkbox' });

      outputs.addEventListener('change', () => call('$$player_device', outputs.value));
      speed.addEventListener('input', () => call('$$player_speed', speed.value));
      volume.addEventListener('input', () => call('$$player_volume', volume.value));
      useLink.addEventListener('change', async () => {
        const r = await call('$$player_output', useLink.checked ? '1' : '0');
        if (r.type === 'e') {
          useLink.checked = false;
          say('Link output: ' + r.value);
        }
      });
      async function open() {
        const r = await call('$$player_open', file.value);
        say(
          r.raw === 'b1'
            ? 'Opened ' + file.value
            : 'Cannot open ' + file.value + ' from the documents folder.',
        );
      }
      for (const name of ['stop', 'eof', 'error']) {
        Lumetta.on('player', name, (fields) => say('player ' + name + ' ' + (fields[0] || '')));
      }

      // ---- recorder ----
      const target = el('input', { className: 'mono', placeholder: '/path/to/take.m4a', size: 30 });
      const format = el(
        'select',
        {},
        el('option', { value: '4', textContent: 'WAV 16-bit' }),
        el('option', { value: '0', textContent: 'AAC 256 kbit/s' }),
        el('option', { value: '1', textContent: 'AAC 192 kbit/s' }),
        el('option', { value: '2', textContent: 'AAC 128 kbit/s' }),
        el('option', { value: '3', textContent: 'AAC 64 kbit/s' }),
      );
      const recVolume = el('input', { type: 'range', min: 0, max: 1, step: 0.01, value: 1 });
      const recState = el('span', { className: 'mono small' });
      const recMeters = [meter(), meter()];
      const recLink = el('input', { type: 'checkbox' });

      inputs.addEventListener('change', () => call('$$recorder_device', inputs.value));
      recVolume.addEventListener('input', () => call('$$recorder_volume', recVolume.value));
      recLink.addEventListener('change', async () => {
        const r = await call('$$recorder_input', recLink.checked ? '1' : '0');
        if (r.type === 'e') {
          recLink.checked = false;
          say('Link input: ' + r.value);
        }
      });
      async function create() {
        const r = await call('$$recorder_create', target.value, format.value);
        say(r.raw === 'b1' ? 'Recording into ' + target.value : 'Cannot create ' + target.value);
      }
      for (const name of ['stop', 'error']) {
        Lumetta.on('recorder', name, (fields) => say('recorder ' + name + ' ' + (fields[0] || '')));
      }

      // Meters and clocks, while the panel is shown.
      async function poll() {
        if (!container.isConnected) return;
        const [ps, pt, pl, p0, p1, rs, rt, r0, r1] = await Promise.all([
          call('$$player_status'),
          call('$$player_time'),
          call('$$player_totaltime'),
          call('$$player_peakpower', '0'),
          call('$$player_peakpower', '1'),
          call('$$recorder_status'),
          call('$$recorder_time'),
          call('$$recorder_peakpower', '0'),
          call('$$recorder_peakpower', '1'),
        ]);
        playerState.textContent =
          (STATUS[number(ps)] || '?') +
          ' ' +
          number(pt).toFixed(1) +
          ' / ' +
          number(pl).toFixed(1) +
          ' s';
        playerMeters[0].value = number(p0);
        playerMeters[1].value = number(p1);
        recState.textContent = (STATUS[number(rs)] || '?') + ' ' + number(rt).toFixed(1) + ' s';
        recMeters[0].value = number(r0);
        recMeters[1].value = number(r1);
      }
      const timer = setInterval(() => {
        if (container.isConnected) poll();
      }, 150);
      void timer;

      container.append(
        el('h3', { textContent: 'Devices' }),
        el(
          'div',
          { className: 'row' },
          el('span', { textContent: 'Output ' }),
          outputs,
          button('Refresh', refreshDevices),
        ),
        el('div', { className: 'row' }, el('span', { textContent: 'Input ' }), inputs),
        el('h3', { textContent: 'Player' }),
        el(
          'div',
          { className: 'row' },
          file,
          button('Open', open),
          button('Play', () => call('$$player_play')),
          button('Pause', () => call('$$player_pause')),
          button('Stop', () => call('$$player_stop')),
          el('label', {}, useLink, el('span', { textContent: ' device link' })),
        ),
        el(
          'div',
          { className: 'row' },
          at,
          button('Locate', () => call('$$player_locate', at.value)),
          el('span', { textContent: ' speed ' }),
          speed,
          el('span', { textContent: ' volume ' }),
          volume,
        ),
        el('div', { className: 'row' }, playerMeters[0], playerMeters[1], playerState),
        el('h3', { textContent: 'Recorder' }),
        el(
          'div',
          { className: 'row' },
          target,
          format,
          button('Create', create),
          button('Record', () => call('$$recorder_record')),
          button('Pause', () => call('$$recorder_pause')),
          button('Stop', () => call('$$recorder_stop', '0')),
          el('label', {}, recLink, el('span', { textContent: ' device link' })),
        ),
        el('div', { className: 'row' }, el('span', { textContent: 'volume ' }), recVolume),
        el('div', { className: 'row' }, recMeters[0], recMeters[1], recState),
        log,
      );
      refreshDevices();
    },
  });
})();

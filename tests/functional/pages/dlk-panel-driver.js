// Drives the console's Devices panel the way a user would: open the tab, paste the simulator's
// dictionary, connect, send a note, watch the monitor and the status line, disconnect.
(async function () {
  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  async function until(predicate, ms = 10000) {
    const end = Date.now() + ms;
    while (!predicate()) {
      if (Date.now() > end) return false;
      await sleep(20);
    }
    return true;
  }
  const report = (key, value) => Lumetta.callSync('$$app_storage2', key, JSON.stringify(value));
  try {
    const tabs = () => [...document.querySelectorAll('#panel-tabs button')];
    if (!(await until(() => tabs().some((b) => b.textContent === 'Devices'))))
      throw new Error('no Devices tab');
    tabs()
      .find((b) => b.textContent === 'Devices')
      .click();
    const panel = [...document.querySelectorAll('#panel-body .panel')].find((p) => !p.hidden);
    const dictionary = panel.querySelector('input[placeholder^="{"]');
    const row = dictionary.closest('.row');
    const state = row.querySelector('.status');
    const button = (scope, text) =>
      [...scope.querySelectorAll('button')].find((b) => b.textContent === text);
    const r = {};
    // The panel asks for both time-outs one after the other: wait until each has its answer.
    const timeouts = () =>
      [...panel.querySelectorAll('input[type=number]')].slice(0, 2).map((i) => i.value);
    await until(() => timeouts().every((v) => v !== ''));
    r.timeouts = timeouts();
    dictionary.value = JSON.stringify(window.DEVICES.good);
    button(row, 'Connect').click();
    r.connected = await until(() => state.textContent.startsWith('connected: '));
    r.state = state.textContent;
    const hex = panel.querySelector('input.mono[placeholder="hex bytes"]');
    hex.value = '903C64';
    button(hex.closest('.row'), 'Send').click();
    const monitor = () =>
      [...panel.querySelectorAll('table.mono tbody tr')].map((tr) => tr.children[1].textContent);
    r.echoed = await until(() => monitor().includes('903C64'));
    const info = () =>
      [...panel.querySelectorAll('.row span.mono.small')]
        .map((s) => s.textContent)
        .filter((t) => t.includes('status'));
    r.statusShown = await until(() => info().length === 2);
    r.info = info();
    button(row, 'Disconnect').click();
    r.disconnected = await until(() => state.textContent === 'not connected');
    report('panel', r);
  } catch (e) {
    report('error', String((e && e.stack) || e));
  }
})();

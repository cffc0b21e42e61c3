// Opens every tab of the bundled console the way a user would and reports, per panel, whether
// it built (a panel that throws while building shows "This panel failed to start") and every
// script error the page raised meanwhile.
(function () {
  const errors = [];
  addEventListener('error', (e) => errors.push(String(e.message)));
  addEventListener('unhandledrejection', (e) => errors.push('rejection: ' + e.reason));
  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  const report = (key, value) => Lumetta.callSync('$$app_storage2', key, JSON.stringify(value));
  addEventListener('load', async () => {
    try {
      const panels = {};
      for (const tab of document.querySelectorAll('#panel-tabs button')) {
        tab.click();
        await sleep(200);
        const panel = [...document.querySelectorAll('#panel-body .panel')].find((p) => !p.hidden);
        const text = panel ? panel.textContent : '';
        panels[tab.textContent] =
          !panel || text.includes('failed to start') ? 'failed: ' + text : 'built';
      }
      report('tabs', { panels, errors });
    } catch (e) {
      report('error', String(e));
    }
  });
})();

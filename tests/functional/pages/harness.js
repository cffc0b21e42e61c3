// Page-side helpers for the functional tests: results go to the per-user store, where the
// test reads them.
window.T = {
  report(key, value) {
    const r = Lumetta.callSync('$$app_storage2', key, JSON.stringify(value));
    if (r.type === 'e') throw new Error('cannot report ' + key + ': ' + r.value);
  },
  sleep: (ms) => new Promise((resolve) => setTimeout(resolve, ms)),
  // A time limit here only guards against hanging: far above what any wait should take.
  async until(predicate, ms = 20000) {
    const end = Date.now() + ms;
    while (!predicate()) {
      if (Date.now() > end) return false;
      await T.sleep(20);
    }
    return true;
  },
  fail(e) {
    try { T.report('error', String(e && e.stack || e)); } catch (ignored) { /* nothing more to do */ }
  },
};
window.addEventListener('error', (e) => T.fail(e.message));
window.addEventListener('unhandledrejection', (e) => T.fail(e.reason));

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
  // One call on every channel; each answers "s" and the argument's bytes in hexadecimal.
  async channels() {
    return {
      prompt: Lumetta.callSync('$$util_bytes', 'A').raw,
      message: (await Lumetta.call('$$util_bytes', 'B')).raw,
      variable: (await Lumetta.callVar('$$util_bytes', 'C')).raw,
      xhr: (await Lumetta.callXHR('$$util_bytes', 'D')).raw,
    };
  },
  // Runs a command and waits for its output event: whether events reach this page.
  async hearsEvents() {
    const heard = new Promise((resolve) => Lumetta.on('sh', 'stdout', resolve));
    await Lumetta.call('$$sh_exec', JSON.stringify(['echo', 'heard']));
    return Promise.race([heard.then(() => true), T.sleep(10000).then(() => false)]);
  },
  fail(e) {
    try {
      T.report('error', String((e && e.stack) || e));
    } catch (ignored) {
      /* nothing more to do */
    }
  },
};
window.addEventListener('error', (e) => T.fail(e.message));
window.addEventListener('unhandledrejection', (e) => T.fail(e.reason));

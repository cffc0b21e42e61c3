/*
 * lumetta.js: the page side of the Lumetta bridge.
 *
 *   Lumetta.call(name, arg1, arg2)      -> Promise<Result>   message channel ("lumetta2")
 *   Lumetta.callVar(name, arg1, arg2)   -> Promise<Result>   message channel ("lumetta1"), which
 *                                                            also leaves the result in a page variable
 *   Lumetta.callSync(name, arg1, arg2)  -> Result            prompt channel, synchronous
 *   Lumetta.send(name, arg1, arg2)                           fire and forget ("prompt" handler)
 *   Lumetta.callXHR(name, arg1, arg2)   -> Promise<Result>   loopback HTTP (runs off the main thread)
 *   Lumetta.on(module, event, handler)  -> unsubscribe()     handler(fields, raw); '*' matches any
 *   Lumetta.start()                                          switch event delivery on, declare ready
 *   Lumetta.once(module, event, opts)   -> Promise<fields>   the next such event
 *   Lumetta.functions()                 -> Promise<string[]> the application's function names
 *
 * Module helpers, with readable names and promises; each checks its arguments and rejects a
 * malformed one with a TypeError before anything reaches the application, and rejects a
 * failed call ("e") with an Error carrying the reason:
 *   Lumetta.midi    endpoints, connect, send (hex checked), message events (time in ms)
 *   Lumetta.store   get/set of the page's settings
 *   Lumetta.fs      text and binary (Uint8Array) reads and writes, stat, list
 *   Lumetta.shell   commands as argv arrays, output events, end of output
 *   Lumetta.ir      convert(path, { onProgress }) -> { path, bytes } of the parameter file
 *   Lumetta.panel   the secondary panel: place, show, hide, load, send, messages, codes
 *
 * A Result is { type, value, raw }: type is the tag of the native result ('v' nothing, 'e'
 * error, 's' string, 'b' boolean, 'd' integer, 'f' float), value the decoded value, raw the
 * string as it came. Arguments are strings; null or undefined means "absent".
 */
(function (global) {
  'use strict';

  const FF = '\f';
  const handlers = global.webkit && global.webkit.messageHandlers;
  const listeners = new Map(); // "module\fevent" -> Set of handlers
  let callbackCount = 0;

  function parse(raw) {
    raw = raw == null ? 'v' : String(raw);
    const type = raw.charAt(0) || 'v';
    const text = raw.slice(type === 'b' ? 1 : 1);
    switch (type) {
      case 'b':
        return { type, value: raw === 'b1', raw };
      case 'd':
        return { type, value: Number(text), raw };
      case 'f':
        return { type, value: parseFloat(text), raw };
      case 's':
      case 'e':
        return { type, value: text, raw };
      default:
        return { type: 'v', value: undefined, raw };
    }
  }

  function checkArgs(name, args) {
    if (typeof name !== 'string' || !name)
      throw new TypeError('Lumetta: a function name is required');
    for (const a of args) {
      if (a != null && String(a).indexOf(FF) >= 0)
        throw new TypeError('Lumetta: arguments cannot contain a form feed');
    }
  }

  // Absent trailing arguments are left out, so the native side sees them as absent.
  function fields(args, encode) {
    let out = '';
    let last = args.length - 1;
    while (last >= 0 && args[last] == null) last--;
    for (let i = 0; i <= last; i++) {
      const a = args[i] == null ? '' : String(args[i]);
      out += FF + (encode ? encodeURIComponent(a) : a);
    }
    return out;
  }

  function available() {
    return !!(handlers && handlers.lumetta2);
  }

  // Callback names are recycled: a page-global function per call, added and deleted every
  // time, would keep reshaping the global object.
  const freeCallbacks = [];
  const pending = new Map(); // callback name -> resolve
  function takeCallback(resolve) {
    let cb = freeCallbacks.pop();
    if (!cb) {
      cb = '__lumettaCallback' + ++callbackCount;
      const own = cb;
      global[own] = (raw) => {
        const done = pending.get(own);
        pending.delete(own);
        freeCallbacks.push(own);
        if (done) done(parse(raw));
      };
    }
    pending.set(cb, resolve);
    return cb;
  }

  function post(channel, name, args) {
    return new Promise((resolve, reject) => {
      checkArgs(name, args);
      if (!available()) {
        reject(new Error('Lumetta: not running inside Lumetta'));
        return;
      }
      handlers[channel].postMessage(name + '\t' + takeCallback(resolve) + fields(args, false));
    });
  }

  // The application's function names, asked once. An application without the list answers
  // "v": then every name is let through, as the raw protocol does.
  const LIST = '$$app_functions';
  let knownNames = null; // Set, or false when the application cannot list them
  let namesPromise = null;
  function learnNames(result) {
    if (result.type !== 's') return false;
    try {
      const list = JSON.parse(result.value);
      return Array.isArray(list) ? new Set(list) : false;
    } catch (e) {
      return false;
    }
  }
  function loadNames() {
    if (!namesPromise) {
      namesPromise = post('lumetta2', LIST, []).then((r) => (knownNames = learnNames(r)));
    }
    return namesPromise;
  }
  function checkName(name) {
    if (name !== LIST && knownNames && !knownNames.has(name))
      throw new TypeError('Lumetta: the application has no function ' + name);
  }

  async function viaMessage(channel, name, args) {
    checkArgs(name, args);
    if (available() && name !== LIST) {
      await loadNames();
      checkName(name);
    }
    return post(channel, name, args);
  }

  const Lumetta = {
    parse,
    available,
    call: (name, ...args) => viaMessage('lumetta2', name, args),
    callVar: (name, ...args) => viaMessage('lumetta1', name, args),
    callSync(name, ...args) {
      checkArgs(name, args);
      if (!global.$$prompt) throw new Error('Lumetta: the prompt channel is not available');
      if (knownNames === null && name !== LIST) knownNames = learnNames(Lumetta.callSync(LIST));
      checkName(name);
      return parse(global.prompt(name + fields(args, true)));
    },
    async callXHR(name, ...args) {
      checkArgs(name, args);
      if (!global.$$xhrport || !global.$$xhrtoken)
        throw new Error('Lumetta: the loopback channel is not available');
      if (available() && name !== LIST) {
        await loadNames();
        checkName(name);
      }
      // Absent trailing arguments are left out; a comma inside an argument travels as %2C.
      let last = args.length - 1;
      while (last >= 0 && args[last] == null) last--;
      const query = args
        .slice(0, last + 1)
        .map((a) => encodeURIComponent(a == null ? '' : String(a)))
        .join(',');
      const url =
        'http://127.0.0.1:' +
        global.$$xhrport +
        '/' +
        global.$$xhrtoken +
        '/' +
        name +
        (last >= 0 ? '?' + query : '');
      const response = await fetch(url, { cache: 'no-store' });
      if (!response.ok)
        throw new Error('Lumetta: the loopback call was refused (' + response.status + ')');
      return parse(await response.text());
    },
    send(name, ...args) {
      checkArgs(name, args);
      if (handlers && handlers.prompt) handlers.prompt.postMessage(name + fields(args, true));
    },
    on(module, event, handler) {
      const key = module + FF + event;
      if (!listeners.has(key)) listeners.set(key, new Set());
      listeners.get(key).add(handler);
      return () => listeners.get(key).delete(handler);
    },
    async start() {
      // Both go out at once, in this order, so the host handles them one after the other
      // (delivery is on before the page is ready) with no round trip in between, nor the one
      // that learns the function names (the application has these two): at start-up the
      // host's main thread is busy drawing the window, and every wait for it counts.
      await Promise.all([
        post('lumetta2', '$$app_startevent', ['1']),
        post('lumetta2', '$$app_ready', []),
      ]);
    },
    once(module, event, options = {}) {
      return new Promise((resolve, reject) => {
        const accept = options.filter || (() => true);
        let timer = null;
        const off = Lumetta.on(module, event, (f, raw) => {
          if (!accept(f, raw)) return;
          off();
          if (timer) clearTimeout(timer);
          resolve(f);
        });
        if (options.timeout > 0) {
          timer = setTimeout(() => {
            off();
            reject(
              new Error(
                'Lumetta: no ' + module + ' ' + event + ' event within ' + options.timeout + ' ms',
              ),
            );
          }, options.timeout);
        }
      });
    },
    async functions() {
      await loadNames();
      return knownNames ? Array.from(knownNames) : [];
    },
  };

  /* ---- module helpers ---- */

  // A checking mistake becomes a rejected promise, like every other failure of a helper.
  function rejecting(fn) {
    return function (...args) {
      try {
        return Promise.resolve(fn.apply(this, args));
      } catch (e) {
        return Promise.reject(e);
      }
    };
  }

  function fail(message) {
    throw new TypeError('Lumetta: ' + message);
  }
  function needString(value, what) {
    if (typeof value !== 'string' || value === '') fail(what + ' must be a non-empty string');
    return value;
  }
  function needObject(value, what) {
    if (value == null || typeof value !== 'object' || Array.isArray(value))
      fail(what + ' must be an object');
    return value;
  }
  function needInteger(value, what, min) {
    if (!Number.isInteger(value) || value < min)
      fail(what + ' must be an integer of at least ' + min);
    return value;
  }
  // A call whose "e" answer becomes a rejection; the value otherwise.
  async function value(name, ...args) {
    const r = await Lumetta.call(name, ...args);
    if (r.type === 'e') throw new Error(name + ': ' + (r.value || 'failed'));
    return r.value;
  }
  async function json(name, ...args) {
    const text = await value(name, ...args);
    return JSON.parse(text);
  }

  const HEX = '0123456789ABCDEF';
  function bytesToHex(bytes) {
    let out = '';
    for (const b of bytes) out += HEX[b >> 4] + HEX[b & 15];
    return out;
  }
  function hexToBytes(hex) {
    const out = new Uint8Array(hex.length >> 1);
    for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(i * 2, 2), 16);
    return out;
  }
  // Bytes as a Uint8Array, an array of 0..255, or hex text (pairs of digits, blanks allowed
  // between pairs); anything else is refused rather than sent as zeros.
  function checkedHex(data, what, maxBytes) {
    let hex;
    if (typeof data === 'string') {
      const pairs = data.trim().split(/\s+/).join('');
      if (!/^([0-9A-Fa-f]{2})*$/.test(pairs) || !/^([0-9A-Fa-f]{2}\s*)*$/.test(data.trim()))
        fail(what + ' must be hexadecimal text, two digits per byte: ' + JSON.stringify(data));
      hex = pairs.toUpperCase();
    } else if (data instanceof Uint8Array || Array.isArray(data)) {
      for (const b of data)
        if (!Number.isInteger(b) || b < 0 || b > 255) fail(what + ' must hold bytes 0..255');
      hex = bytesToHex(data);
    } else {
      fail(what + ' must be hexadecimal text, a Uint8Array or an array of bytes');
    }
    if (maxBytes && hex.length / 2 > maxBytes)
      fail(what + ' is longer than ' + maxBytes + ' bytes');
    return hex;
  }
  function endpointArg(endpoint) {
    if (endpoint == null) return null;
    needObject(endpoint, 'an endpoint');
    if (!('MIDIEndpointUIDKey' in endpoint))
      fail('an endpoint must come from sources() or destinations()');
    return JSON.stringify(endpoint);
  }

  Lumetta.midi = {
    sources: () => json('$$midi_inendpoints'),
    destinations: () => json('$$midi_outendpoints'),
    async connectInput(endpoint) {
      await value('$$midi_inconnect', endpointArg(endpoint));
    },
    async disconnectInput(endpoint) {
      await value('$$midi_indisconnect', endpointArg(endpoint));
    },
    async connectOutput(endpoint) {
      await value('$$midi_outconnect', endpointArg(endpoint));
    },
    async disconnectOutput(endpoint) {
      await value('$$midi_outdisconnect', endpointArg(endpoint));
    },
    async send(data) {
      const hex = checkedHex(data, 'MIDI data', 512);
      if (!hex) fail('MIDI data is empty');
      await value('$$midi_send', hex);
    },
    // handler(bytes, timeMs, hex) for every complete message; returns the unsubscriber.
    onMessage(handler) {
      if (typeof handler !== 'function') fail('a handler function is required');
      return Lumetta.on('midi', 'message', (f) =>
        handler(hexToBytes(f[0] || ''), Number(f[1]), f[0] || ''),
      );
    },
    onChange(handler) {
      if (typeof handler !== 'function') fail('a handler function is required');
      return Lumetta.on('midi', 'changed', () => handler());
    },
  };

  Lumetta.store = {
    async get(key) {
      return value('$$app_storage2', needString(key, 'a setting key'));
    },
    async set(key, text) {
      needString(key, 'a setting key');
      if (typeof text !== 'string') fail('a setting value must be a string (use JSON.stringify)');
      await value('$$app_storage2', key, text);
    },
  };

  function readOptions(options) {
    if (options == null) return null;
    needObject(options, 'read options');
    const out = {};
    if (options.offset != null) out.offset = needInteger(options.offset, 'offset', 0);
    if (options.length != null) out.length = needInteger(options.length, 'length', 0);
    return JSON.stringify(out);
  }
  Lumetta.fs = {
    path: (name) => value('$$fs_path', name == null ? null : needString(name, 'a location name')),
    stat: (path) => json('$$fs_stat', needString(path, 'a path')),
    list: (dir) => json('$$fs_contents', needString(dir, 'a directory')),
    readText: (path) => value('$$fs_readString', needString(path, 'a path')),
    async readBytes(path, options) {
      needString(path, 'a path');
      return hexToBytes(await value('$$fs_readData', path, readOptions(options)));
    },
    async writeText(path, text) {
      needString(path, 'a path');
      if (typeof text !== 'string') fail('the text must be a string');
      await value('$$fs_writeString', path, text);
    },
    async writeBytes(path, bytes) {
      needString(path, 'a path');
      await value('$$fs_writeData', path, checkedHex(bytes, 'the bytes', 0));
    },
    async mkdir(path) {
      await value('$$fs_mkdir', needString(path, 'a path'));
    },
    async remove(path) {
      await value('$$fs_unlink', needString(path, 'a path'));
    },
  };

  // $$sh_exec joins its words with blanks for /bin/sh, which splits and interprets them again;
  // quoting each word here makes every word reach the program exactly as given.
  function shellWord(word) {
    return /^[A-Za-z0-9_\/.,:=+@%-]+$/.test(word) ? word : "'" + word.replace(/'/g, "'\\''") + "'";
  }
  function checkedArgv(argv) {
    if (!Array.isArray(argv) || argv.length === 0)
      fail('a command must be a non-empty array of words, e.g. ["ls", "-l"]');
    for (const w of argv)
      if (typeof w !== 'string') fail('every word of a command must be a string');
    if (argv[0] === '') fail("a command's first word must not be empty");
    return JSON.stringify(argv.map(shellWord));
  }
  // Output is buffered by process id from before the call, so nothing that arrives before
  // the id is known is lost.
  Lumetta.shell = {
    // Resolves with { pid, output } when the command has ended; onOutput(text) per chunk.
    run: rejecting((argv, options = {}) => {
      const words = checkedArgv(argv);
      if (options.onOutput != null && typeof options.onOutput !== 'function')
        fail('onOutput must be a function');
      return new Promise((resolve, reject) => {
        const early = [];
        let pid = null;
        let output = '';
        const take = (text) => {
          if (text === '') {
            off();
            resolve({ pid, output });
            return;
          }
          output += text;
          if (options.onOutput) options.onOutput(text);
        };
        const off = Lumetta.on('sh', 'stdout', (f) => {
          if (pid === null) early.push(f);
          else if (Number(f[0]) === pid) take(f[1] || '');
        });
        Lumetta.call('$$sh_exec', words).then(
          (r) => {
            if (r.type !== 'd' || !(r.value > 0)) {
              off();
              reject(new Error('$$sh_exec: the command could not start'));
              return;
            }
            pid = r.value;
            for (const f of early.splice(0)) if (Number(f[0]) === pid) take(f[1] || '');
          },
          (e) => {
            off();
            reject(e);
          },
        );
      });
    }),
    async kill(pid) {
      await value('$$sh_kill', String(needInteger(pid, 'a process id', 1)));
    },
  };

  let converting = false;
  Lumetta.ir = {
    // Resolves with { path, bytes } of the parameter file; onProgress(percent) while it runs.
    convert: rejecting((path, options = {}) => {
      needString(path, 'an impulse-response path');
      if (options.onProgress != null && typeof options.onProgress !== 'function')
        fail('onProgress must be a function');
      const every = options.interval == null ? 250 : needInteger(options.interval, 'interval', 20);
      if (converting)
        return Promise.reject(new Error('Lumetta.ir: a conversion is already running'));
      converting = true;
      return new Promise((resolve, reject) => {
        let timer = null;
        let started = false;
        const done = (error, result) => {
          converting = false;
          off();
          if (timer) clearInterval(timer);
          if (error) reject(error);
          else resolve(result);
        };
        const off = Lumetta.on('app', 'command', (f) => {
          if (f[0] !== 'convert') return;
          let dict;
          try {
            dict = JSON.parse(f[1]);
          } catch (e) {
            return;
          }
          if (dict.load === 'finished') {
            value('$$fs_readData', dict.path).then(
              (hex) => done(null, { path: dict.path, bytes: hexToBytes(hex) }),
              (e) => done(e),
            );
          } else if (dict.cancel === 'aborted') {
            done(new Error('Lumetta.ir: the conversion was cancelled'));
          } else if (dict.progress != null) {
            if (options.onProgress) options.onProgress(dict.progress);
          } else if (!started) {
            started = true;
            if (dict.result !== 1)
              done(
                new Error(
                  'Lumetta.ir: cannot convert ' + path + ' (' + (dict.load || 'refused') + ')',
                ),
              );
            else
              timer = setInterval(
                () => Lumetta.call('$$app_control', 'convert:{"req":"progress"}'),
                every,
              );
          }
        });
        Lumetta.call('$$app_control', 'convert:' + JSON.stringify({ path })).catch((e) => done(e));
      });
    }),
    async cancel() {
      await value('$$app_control', 'convert:{"req":"cancel"}');
    },
  };

  const PANEL_CODES = { 0: 'loaded', 256: 'failed', 257: 'timedout', 258: 'unreachable' };
  // The panel runs onSendMsgToZEV('...') with the text as given: the sender escapes.
  function scriptLiteral(text) {
    return text
      .replace(/\\/g, '\\\\')
      .replace(/'/g, "\\'")
      .replace(/\n/g, '\\n')
      .replace(/\r/g, '\\r')
      .replace(/\u2028/g, '\\u2028')
      .replace(/\u2029/g, '\\u2029');
  }
  Lumetta.panel = {
    codes: PANEL_CODES,
    async place(rect) {
      needObject(rect, "the panel's rectangle");
      for (const k of ['x', 'y', 'width', 'height']) needInteger(rect[k], k, 0);
      await value(
        '$$zev_viewPositionConfig',
        JSON.stringify({ x: rect.x, y: rect.y, width: rect.width, height: rect.height }),
      );
    },
    async show() {
      await value('$$zev_show');
    },
    async hide() {
      await value('$$zev_hide');
    },
    // Resolves with 'loaded'; rejects with an Error whose code is the navigation code.
    async load(url) {
      needString(url, 'an address');
      const absolute = new URL(url, global.location.href).href;
      const outcome = Lumetta.once('zev', 'onZevWebViewNotify');
      await value('$$zev_openPage', absolute);
      const [code] = await outcome;
      const name = PANEL_CODES[code] || 'failed';
      if (name === 'loaded') return name;
      const error = new Error('Lumetta.panel: ' + absolute + ' ' + name + ' (' + code + ')');
      error.code = Number(code);
      throw error;
    },
    async send(text) {
      if (typeof text !== 'string') fail('a panel message must be a string');
      await value('$$zev_sendMsgToZEV', scriptLiteral(text));
    },
    onMessage(handler) {
      if (typeof handler !== 'function') fail('a handler function is required');
      return Lumetta.on('zev', 'onSendMsgToZOM', (f) => handler(f[0] || ''));
    },
  };

  function deliver(key, fieldsOut, raw) {
    const set = listeners.get(key);
    if (!set) return;
    for (const handler of Array.from(set)) {
      try {
        handler(fieldsOut, raw);
      } catch (e) {
        console.error('Lumetta event handler failed', e);
      }
    }
  }

  const $event = global.$event || {};
  $event.dispatch = function (raw) {
    const parts = String(raw).split(FF);
    const module = parts[0] || '';
    const event = parts[1] || '';
    const rest = parts.slice(2);
    deliver(module + FF + event, rest, raw);
    deliver(module + FF + '*', rest, raw);
    deliver('*' + FF + '*', rest, raw);
  };
  global.$event = $event;
  global.Lumetta = Lumetta;

  if (!global.lumettaManualStart && available()) {
    const go = () => Lumetta.start().catch((e) => console.error(e));
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', go);
    else go();
    // Back from the back/forward cache: the view switched delivery off while another
    // document was shown, so switch it on again.
    global.addEventListener('pageshow', (e) => {
      if (e.persisted) go();
    });
  }
})(window);

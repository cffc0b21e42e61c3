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
            case 'b': return { type, value: raw === 'b1', raw };
            case 'd': return { type, value: Number(text), raw };
            case 'f': return { type, value: parseFloat(text), raw };
            case 's':
            case 'e': return { type, value: text, raw };
            default: return { type: 'v', value: undefined, raw };
        }
    }

    function checkArgs(name, args) {
        if (typeof name !== 'string' || !name) throw new TypeError('Lumetta: a function name is required');
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
            cb = '__lumettaCallback' + (++callbackCount);
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

    function viaMessage(channel, name, args) {
        return new Promise((resolve, reject) => {
            checkArgs(name, args);
            if (!available()) {
                reject(new Error('Lumetta: not running inside Lumetta'));
                return;
            }
            handlers[channel].postMessage(name + '\t' + takeCallback(resolve) + fields(args, false));
        });
    }

    const Lumetta = {
        parse,
        available,
        call: (name, ...args) => viaMessage('lumetta2', name, args),
        callVar: (name, ...args) => viaMessage('lumetta1', name, args),
        callSync(name, ...args) {
            checkArgs(name, args);
            if (!global.$$prompt) throw new Error('Lumetta: the prompt channel is not available');
            return parse(global.prompt(name + fields(args, true)));
        },
        async callXHR(name, ...args) {
            checkArgs(name, args);
            if (!global.$$xhrport || !global.$$xhrtoken) throw new Error('Lumetta: the loopback channel is not available');
            // Absent trailing arguments are left out; a comma inside an argument travels as %2C.
            let last = args.length - 1;
            while (last >= 0 && args[last] == null) last--;
            const query = args.slice(0, last + 1).map((a) => encodeURIComponent(a == null ? '' : String(a))).join(',');
            const url = 'http://127.0.0.1:' + global.$$xhrport + '/' + global.$$xhrtoken + '/' +
                name + (last >= 0 ? '?' + query : '');
            const response = await fetch(url, { cache: 'no-store' });
            if (!response.ok) throw new Error('Lumetta: the loopback call was refused (' + response.status + ')');
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
            await Lumetta.call('$$app_startevent', '1');
            await Lumetta.call('$$app_ready');
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
        global.addEventListener('pageshow', (e) => { if (e.persisted) go(); });
    }
})(window);

// File browser panel: locations, volumes, folder listings, item records, reading and writing
// text, opening with the default application, and the native file dialogs.
(function () {
  'use strict';

  const { el, button } = LumettaConsole;

  function formatSize(bytes) {
    if (bytes < 1024) return bytes + ' B';
    if (bytes < 1024 * 1024) return (bytes / 1024).toFixed(1) + ' KiB';
    return (bytes / 1024 / 1024).toFixed(1) + ' MiB';
  }

  function joinPath(dir, name) {
    return dir.endsWith('/') ? dir + name : dir + '/' + name;
  }

  function parentOf(dir) {
    const trimmed = dir.replace(/\/+$/, '');
    const cut = trimmed.lastIndexOf('/');
    return cut <= 0 ? '/' : trimmed.slice(0, cut + 1);
  }

  LumettaConsole.addPanel({
    id: 'files',
    title: 'Files',
    build(container) {
      const status = el('div', { className: 'muted small' });
      const folder = el('input', { className: 'mono', value: '' });
      const exclude = el('input', {
        className: 'mono',
        placeholder: 'leave out extension (wav)',
        size: 12,
      });
      const listing = el('tbody');
      const record = el('pre', { className: 'mono' });
      const editorPath = el('input', { className: 'mono', placeholder: 'file path' });
      const editor = el('textarea', { className: 'mono', rows: 8 });
      const locations = el('div', { className: 'row' });
      const volumes = el('div', { className: 'row' });

      function report(text, failed) {
        status.textContent = text;
        status.style.color = failed ? 'var(--err)' : '';
      }

      async function call(name, a1, a2) {
        const r = await Lumetta.call(name, a1, a2);
        if (r.type === 'e') report(name + ': ' + r.value, true);
        return r;
      }

      async function list(dir) {
        const r = await call('$$fs_contents', dir, exclude.value);
        if (r.type !== 's') return;
        folder.value = dir;
        listing.replaceChildren();
        const entries = JSON.parse(r.value || '[]');
        entries.sort((a, b) => b.directory - a.directory || a.name.localeCompare(b.name));
        for (const entry of entries) {
          const path = joinPath(dir, entry.name);
          const name = el('a', {
            href: '#',
            textContent: entry.name + (entry.directory ? '/' : ''),
          });
          name.onclick = (e) => {
            e.preventDefault();
            if (entry.directory) list(joinPath(dir, entry.name) + '/');
            else openInEditor(path);
          };
          const flags =
            (entry.readable ? 'r' : '-') +
            (entry.writable ? 'w' : '-') +
            (entry.deletable ? '' : ' locked');
          listing.append(
            el(
              'tr',
              {},
              el('td', {}, name),
              el('td', {
                className: 'mono',
                textContent: entry.directory ? '' : formatSize(entry.size),
              }),
              el('td', { className: 'mono', textContent: flags }),
              el(
                'td',
                {},
                button('stat', () => stat(path)),
                button('open', () => Lumetta.call('$$fs_exec', path)),
                button('delete', async () => {
                  if (!confirm('Delete ' + path + '?')) return;
                  const d = await call('$$fs_unlink', path);
                  if (d.type === 's') list(dir);
                }),
              ),
            ),
          );
        }
        report(entries.length + ' items in ' + dir);
      }

      async function stat(path) {
        const r = await call('$$fs_stat', path);
        if (r.type === 's') record.textContent = r.value;
      }

      async function openInEditor(path) {
        editorPath.value = path;
        const r = await call('$$fs_readString', path);
        if (r.type === 's') {
          editor.value = r.value;
          report('read ' + path);
        }
      }

      async function save(append) {
        const r = await call(
          append ? '$$fs_appendString' : '$$fs_writeString',
          editorPath.value,
          editor.value,
        );
        if (r.type === 's') report((append ? 'appended to ' : 'wrote ') + editorPath.value);
      }

      for (const name of [
        'home',
        'documents',
        'music',
        'movies',
        'pictures',
        'downloads',
        'library',
        'temporary',
        'bundle',
      ]) {
        locations.append(
          button(name, async () => {
            const r = await call('$$fs_path', name);
            if (r.type === 's') list(r.value);
          }),
        );
      }

      async function loadVolumes() {
        const r = await call('$$fs_volumes');
        if (r.type !== 's') return;
        volumes.replaceChildren();
        for (const v of JSON.parse(r.value || '[]')) {
          volumes.append(
            el(
              'span',
              {},
              button(v.volume || v.mount, () =>
                list(v.mount.endsWith('/') ? v.mount : v.mount + '/'),
              ),
              v.mount === '/' ? '' : button('eject', () => Lumetta.call('$$fs_unmount', v.mount)),
            ),
          );
        }
      }

      Lumetta.on('fs', '*', (fields, raw) => {
        const parts = raw.split('\f');
        const event = parts[1];
        const path = fields[0] || '';
        if (event === 'openfilename') {
          if (path) openInEditor(path);
          else report('open cancelled');
        } else if (event === 'savefilename') {
          if (path) {
            editorPath.value = path;
            save(false);
          } else report('save cancelled');
        } else if (event === 'choosefolder') {
          if (path) list(path);
          else report('choose folder cancelled');
        } else if (event === 'unmounted') {
          report('ejected ' + path);
          loadVolumes();
        } else if (event === 'unmountfailed') {
          report('could not eject ' + path + ': ' + (fields[1] || ''), true);
        }
      });

      container.append(
        el('h3', { textContent: 'Locations' }),
        locations,
        el('h3', { textContent: 'Volumes' }),
        volumes,
        el(
          'div',
          { className: 'row' },
          el('label', {}, 'Folder', folder),
          exclude,
          button('list', () => list(folder.value)),
          button('up', () => list(parentOf(folder.value))),
          button('new folder', async () => {
            const name = prompt('Folder name');
            if (name && (await call('$$fs_mkdir', joinPath(folder.value, name))).type === 's')
              list(folder.value);
          }),
        ),
        LumettaConsole.headedTable(['Name', 'Size', 'Access', ''], listing),
        record,
        el('h3', { textContent: 'Text file' }),
        el(
          'div',
          { className: 'row' },
          el('label', {}, 'Path', editorPath),
          button('read', () => openInEditor(editorPath.value)),
          button('write', () => save(false)),
          button('append', () => save(true)),
        ),
        editor,
        el('h3', { textContent: 'Dialogs' }),
        el(
          'div',
          { className: 'row' },
          button('open…', () =>
            Lumetta.call('$$fs_openfilename', '["txt","json","md"]', folder.value),
          ),
          button('open any…', () => Lumetta.call('$$fs_openfilenamev2', null)),
          button('save as…', () =>
            Lumetta.call('$$fs_savefilename', editorPath.value || null, 'txt'),
          ),
          button('choose folder…', () => Lumetta.call('$$fs_choosefolder', folder.value)),
        ),
        status,
      );

      loadVolumes();
      call('$$fs_path', 'home').then((r) => {
        if (r.type === 's') list(r.value);
      });
    },
  });
})();

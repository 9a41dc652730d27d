// Backups and files: the settings archive, the key database and the floor
// map, downloaded and uploaded through the gateway's file endpoints.
import { call, download, may, upload } from '../gateway.js';
import { attrs, confirmed, failed, fill, h, run, say, section, status, table } from '../dom.js';

// A row per file: what it is, who may take it, who may replace it.
const FILES = [
  {
    title: 'Settings backup', get: 'settings', file: 'settings.orv', getRight: ['all', 'write'],
    text: 'An archive of every setting of the appliance.',
  },
  {
    title: 'Restore or update', put: 'upload-firmware', putRight: ['all', 'write'],
    text: 'Upload a settings archive or a firmware image; the appliance\'s update script takes it in and may restart the appliance.',
  },
  {
    title: 'Access key database', get: 'db', file: 'access.sqlite', getRight: ['accesskeys', 'read'],
    put: 'upload-db', putRight: ['accesskeys', 'write'], text: 'The keys of the access reader, as one database file.',
  },
  {
    title: 'Floor map', get: 'map', show: true, getRight: [null], put: 'upload-map', putRight: ['all', 'write'],
    accept: 'image/png,image/jpeg,image/gif', text: 'The picture of the premises (PNG, JPEG or GIF).',
  },
];

function allowed([name, level]) {
  return name === null || may(name, level);
}

// Hands a downloaded file to the browser as a download.
function save(blob, name) {
  const url = URL.createObjectURL(blob);
  const a = h('a', { href: url, download: name, hidden: true });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

// The address of the picture shown; the one it replaces is revoked, so that
// the browser keeps one picture's bytes, however often the view is opened.
let shownUrl = null;

// A picture row shows the file in the page (fetched as a download: the key
// stays out of the image's address); the others offer a download.
async function showPicture(row, line, picture) {
  const reply = await download(row.get);
  if (!reply.ok) return say(line, reply.error, 'error');
  if (!reply.blob) return;
  if (shownUrl) URL.revokeObjectURL(shownUrl);
  shownUrl = URL.createObjectURL(reply.blob);
  picture.replaceChildren(h('img', { src: shownUrl, alt: row.title }));
}

function downloadButton(row, line) {
  const fetchIt = async () => {
    const reply = await download(row.get, row.fields);
    if (reply.ok && reply.blob) save(reply.blob, row.file);
    return reply;
  };
  return h('button', { type: 'button', onclick: () => run(line, fetchIt, 'Downloaded.') }, `Download ${row.file}`);
}

function uploadControls(row, line, picture) {
  const input = h('input', { type: 'file', accept: row.accept || null, 'aria-label': `File for ${row.title}` });
  const send = h('button', { type: 'button' }, 'Upload');
  send.addEventListener('click', async () => {
    const file = input.files[0];
    if (!file) return say(line, 'Choose a file first.', 'error');
    const reply = await run(line, () => upload(row.put, file), 'Uploaded.');
    if (reply.ok && row.show) showPicture(row, line, picture);
  });
  return [input, send];
}

export const view = {
  id: 'files',
  title: 'Backup and files',
  shown: () => FILES.some((r) => (r.get && allowed(r.getRight)) || (r.put && allowed(r.putRight))),
  render(main) {
    for (const row of FILES) {
      const canGet = row.get && allowed(row.getRight);
      const canPut = row.put && allowed(row.putRight);
      if (!canGet && !canPut) continue;
      const line = status();
      const picture = h('div', { class: 'picture' });
      if (canGet && row.show) showPicture(row, line, picture);
      main.append(section(row.title, h('p', {}, row.text), picture, h('div', { class: 'actions' },
        canGet && !row.show ? downloadButton(row, line) : null, canPut ? uploadControls(row, line, picture) : null, line)));
    }
    if (may('languages', 'read')) main.append(languages());
    if (may('elements', 'write')) {
      const line = status();
      main.append(section('Save to flash', h('p', {}, 'Makes every service write its settings to the flash memory now.'),
        h('div', { class: 'actions' }, h('button', { type: 'button', onclick: () => run(line, () => call('savetoflash'), 'Saved.') },
          'Save all settings'), line)));
    }
  },
};

// The languages of the console's pages: each a file NAME.xml, downloaded as
// it is, replaced by an upload of a file of the same name, or removed.
function languages() {
  const place = h('div', { class: 'place' }, 'Loading…');
  const line = status();
  const writable = may('languages', 'write');
  const load = async () => {
    const reply = await call('getlanguage');
    const list = reply.nodes.find((n) => n.tagName === 'languages');
    if (!reply.ok && reply.error !== 'no languages installed') return failed(place, reply);
    fill(place, table(['File', ''], (list ? [...list.children].map(attrs) : []).map((l) => [l.filename,
      h('span', { class: 'row-actions' }, downloadButton({ get: 'language', file: l.filename, fields: { filename: l.filename } }, line),
        writable ? confirmed('Delete', () => run(line, () => call('dellanguage', { filename: l.filename }), 'Deleted.').then(load)) : null)]),
    'No languages installed.'));
  };
  load();
  const input = h('input', { type: 'file', name: 'filedata', accept: '.xml,text/xml', 'aria-label': 'Language file' });
  const send = h('button', { type: 'button' }, 'Upload');
  send.addEventListener('click', async () => {
    const file = input.files[0];
    if (!file) return say(line, 'Choose a file first.', 'error');
    const reply = await run(line, () => upload('upload-language', file, { filename: file.name }), 'Uploaded.');
    if (reply.ok) load();
  });
  return section('Languages', h('p', {}, 'The texts of the pages in other languages, one file NAME.xml each.'), place,
    h('div', { class: 'actions' }, writable ? [input, send] : null, line));
}

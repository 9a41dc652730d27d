// The floor map: the uploaded picture of the premises with every placed
// element drawn on it in its state's colour, the states read again as the
// system view reads them. A place is in pixels of the picture. An operator
// with the elements right moves an element by dragging it (from the list
// beside the map, or its mark on the map) or with the arrow keys; the place
// is saved on the appliance and read back from it.
import { call, download, may } from '../gateway.js';
import { fill, h, run, say, section, state, stateKind, status } from '../dom.js';
import { chart } from '../chart.js';
import { readTree, REFRESH_MS } from '../tree.js';

// The place's attributes besides x and y (other floors, views, sizes): kept
// as read and sent back unchanged, so that moving an element changes only
// where it is.
const PLACE = ['fpi', 'gpi', 'cpi', 'width', 'height', 'view', 'size'];
// Things on the premises; notifiers and the appliance's own element are not.
const ON_MAP = ['sensor', 'input', 'output', 'device', 'virtual'];
const ARROWS = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };
const BIG_STEP = 10;  // pixels per arrow key with Shift
const SAVE_AFTER_KEYS_MS = 400;  // a run of arrow keys is saved once
const DRAG_FROM_PX = 4;  // a smaller movement is a click

// What an output's controls send: a row per button. A pulse goes without a
// length, so that the output's own setting applies.
const ACTIONS = [
  { label: 'Switch on', right: 'elements', done: 'Switched on.', send: (id) => call('updateelement', { id, value: '1' }) },
  { label: 'Switch off', right: 'elements', done: 'Switched off.', send: (id) => call('updateelement', { id, value: '0' }) },
  { label: 'Send a pulse', right: 'all', done: 'Pulse sent.', send: (id) => call('sendpulse', { id }) },
];

// The picture shown; the one it replaces is let go (see the files view).
let shownUrl = null;

export const view = {
  id: 'map',
  title: 'Floor map',
  // The map shows elements: accounts that may read them.
  shown: () => may('elements', 'read'),
  render(main, every) {
    const m = {
      movable: may('elements', 'write'),
      line: status(),
      stamp: h('p', { class: 'stamp' }),
      picture: h('div', { class: 'floor-map' }, 'Loading…'),
      list: h('ul', { class: 'floor-list', 'aria-label': 'Elements' }),
      details: h('div', { class: 'place' }),
      img: null,
      elements: new Map(),  // id -> attributes, from the last read of the tree
      places: new Map(),  // id -> attributes, as getelementpos gave them
      moving: new Map(),  // id -> { x, y } while dragged or moved by keys, not yet read back
      timers: new Map(),
      items: new Map(),
      marks: new Map(),
      open: null,  // the element whose controls are shown: { id, facts }
    };
    main.append(section('Floor map', m.stamp, h('div', { class: 'floor' }, m.picture, m.list), h('p', {}, m.line)),
      m.details);
    every(REFRESH_MS, async () => refresh(m, await readTree()));
    start(m);
  },
};

// The places are read once the picture and the elements are known.
async function start(m) {
  const [, tree] = await Promise.all([showPicture(m), readTree()]);
  refresh(m, tree);
  if (m.img) await Promise.all([...m.elements.keys()].map((id) => readPlace(m, id)));
  m.elements.forEach((e) => draw(m, e));
}

async function showPicture(m) {
  const reply = await download('map');
  if (!reply.ok || !reply.blob) {
    return fill(m.picture, h('p', { class: 'empty' }, reply.ok ? 'The appliance gave no picture.' : reply.error),
      may('all', 'write') ? h('p', {}, 'A picture of the premises is uploaded in ', h('a', { href: '#files' }, 'Backup and files'), '.') : null);
  }
  if (shownUrl) URL.revokeObjectURL(shownUrl);
  shownUrl = URL.createObjectURL(reply.blob);
  const img = h('img', { src: shownUrl, alt: 'Floor map', draggable: 'false' });
  fill(m.picture, img);
  try {
    await img.decode();
    m.img = img;
  } catch {
    fill(m.picture, h('p', { class: 'status error' }, 'The floor map on the appliance is not a picture this browser can show.'));
  }
}

async function readPlace(m, id) {
  const reply = await call('getelementpos', { id });
  const element = reply.nodes.find((n) => n.tagName === 'element');
  if (!reply.ok) say(m.line, reply.error, 'error');
  else if (element) m.places.set(id, Object.fromEntries([...element.attributes].map((a) => [a.name, a.value])));
  return reply;
}

// Where an element is: where it is being moved to, else its saved place
// (an element without x and y is not on the map).
function where(m, id) {
  if (m.moving.has(id)) return m.moving.get(id);
  const p = m.places.get(id);
  return p && p.x && p.y ? { x: Number(p.x), y: Number(p.y) } : null;
}

function refresh(m, tree) {
  if (!tree.ok) return say(m.line, tree.error, 'error');
  m.stamp.textContent = `States read at ${new Date().toLocaleTimeString()}; read again every ${REFRESH_MS / 1000} s.`;
  const shown = tree.elements.filter((e) => ON_MAP.includes(e.clas));
  m.elements = new Map(shown.map((e) => [e.id, e]));
  for (const nodes of [m.items, m.marks]) {
    for (const [id, node] of nodes) {
      if (m.elements.has(id)) continue;
      node.remove();
      nodes.delete(id);
    }
  }
  shown.forEach((e) => draw(m, e));
  if (m.open) facts(m);
}

// An element's row in the list and its mark on the map, made once and then
// brought up to date, so that the focus stays where the operator left it.
function draw(m, e) {
  if (!e) return;
  if (!m.items.has(e.id)) m.list.append(item(m, e));
  const row = m.items.get(e.id);
  fill(row.querySelector('.what'), state(e.state), ' ', e.value);
  if (e.clas === 'sensor') fill(row.querySelector('.spark'), chart(e.id, e.name));
  const place = row.querySelector('.put');
  if (place) place.hidden = !m.img || Boolean(where(m, e.id));
  mark(m, e);
}

function item(m, e) {
  const row = h('li', { 'data-element': e.id },
    h('button', { type: 'button', class: 'link', onclick: () => open(m, e.id) }, e.name),
    h('span', { class: 'what' }),
    e.clas === 'sensor' ? h('button', { type: 'button', class: 'spark', title: 'Larger chart', onclick: () => open(m, e.id) }) : null);
  if (m.movable) {
    const put = h('button', { type: 'button', class: 'put' }, 'Place on the map');
    put.addEventListener('click', () => {
      if (!clicked(put) || !m.img) return;
      save(m, e.id, { x: Math.round(m.img.naturalWidth / 2), y: Math.round(m.img.naturalHeight / 2) })
        .then(() => m.marks.get(e.id)?.focus());
    });
    draggable(m, put, e.id);
    row.append(put);
  }
  m.items.set(e.id, row);
  return row;
}

function mark(m, e) {
  const at = m.img && where(m, e.id);
  let node = m.marks.get(e.id);
  if (!at) {
    node?.remove();
    m.marks.delete(e.id);
    return;
  }
  if (!node) {
    node = h('button', { type: 'button', 'data-element': e.id }, h('span', { class: 'label' }));
    node.addEventListener('click', () => clicked(node) && open(m, e.id));
    if (m.movable) {
      draggable(m, node, e.id);
      node.addEventListener('keydown', (event) => nudge(m, e.id, event));
    }
    m.marks.set(e.id, node);
  }
  if (!node.isConnected) m.picture.append(node);
  const name = m.elements.get(e.id)?.name ?? e.name;
  const now = m.elements.get(e.id)?.state ?? e.state;
  // Near the right edge the name goes on the left of the mark, inside the picture.
  const flip = at.x > m.img.naturalWidth * 0.7;
  node.className = `mark ${stateKind(now)}${m.movable ? ' movable' : ''}${flip ? ' flip' : ''}`;
  node.setAttribute('aria-label', `${name}: ${now}${m.movable ? '; arrow keys move it' : ''}`);
  node.querySelector('.label').textContent = name;
  node.style.left = `${(at.x / m.img.naturalWidth) * 100}%`;
  node.style.top = `${(at.y / m.img.naturalHeight) * 100}%`;
}

// The picture's pixel under the pointer, or null off the picture.
function pixel(m, event) {
  const r = m.img.getBoundingClientRect();
  const [dx, dy] = [event.clientX - r.left, event.clientY - r.top];
  if (dx < 0 || dy < 0 || dx > r.width || dy > r.height) return null;
  return inside(m, { x: Math.round((dx * m.img.naturalWidth) / r.width), y: Math.round((dy * m.img.naturalHeight) / r.height) });
}

function inside(m, p) {
  const clamp = (v, most) => Math.min(Math.max(v, 0), most - 1);
  return { x: clamp(p.x, m.img.naturalWidth), y: clamp(p.y, m.img.naturalHeight) };
}

// A press that became a drag is not also a click.
function clicked(node) {
  const was = node.dataset.dragged;
  delete node.dataset.dragged;
  return !was;
}

// Drags with pointer events (mouse, pen and touch alike): the mark follows
// the pointer over the picture; let go on the picture, the place is saved;
// elsewhere, the element goes back to where it was.
function draggable(m, node, id) {
  node.addEventListener('pointerdown', (down) => {
    delete node.dataset.dragged;
    if (!m.img || down.button !== 0) return;
    node.setPointerCapture(down.pointerId);
    let moved = false;
    const move = (event) => {
      moved ||= Math.hypot(event.clientX - down.clientX, event.clientY - down.clientY) >= DRAG_FROM_PX;
      const p = moved && pixel(m, event);
      if (!moved) return;
      if (p) m.moving.set(id, p);
      else m.moving.delete(id);
      draw(m, m.elements.get(id));
    };
    const up = (event) => {
      node.removeEventListener('pointermove', move);
      node.removeEventListener('pointerup', up);
      node.removeEventListener('pointercancel', up);
      if (!moved) return;
      node.dataset.dragged = 'yes';
      const p = event.type === 'pointerup' && pixel(m, event);
      m.moving.delete(id);
      if (p) save(m, id, p);
      else draw(m, m.elements.get(id));
    };
    node.addEventListener('pointermove', move);
    node.addEventListener('pointerup', up);
    node.addEventListener('pointercancel', up);
  });
}

function nudge(m, id, event) {
  const way = ARROWS[event.key];
  const from = where(m, id);
  if (!way || !from) return;
  event.preventDefault();
  const step = event.shiftKey ? BIG_STEP : 1;
  const p = inside(m, { x: from.x + way[0] * step, y: from.y + way[1] * step });
  m.moving.set(id, p);
  draw(m, m.elements.get(id));
  clearTimeout(m.timers.get(id));
  m.timers.set(id, setTimeout(() => save(m, id, p), SAVE_AFTER_KEYS_MS));
}

// Saves a place and shows it as the appliance then gives it back.
async function save(m, id, p) {
  const e = m.elements.get(id);
  m.moving.set(id, p);
  draw(m, e);
  const before = m.places.get(id) || {};
  const kept = Object.fromEntries(PLACE.filter((k) => k in before).map((k) => [k, before[k]]));
  const reply = await run(m.line, () => call('setelementpos', { id, x: p.x, y: p.y, ...kept }));
  if (m.moving.get(id) === p) m.moving.delete(id);
  if (reply.ok && (await readPlace(m, id)).ok) {
    const at = where(m, id);
    say(m.line, at ? `${e.name} is at ${at.x}, ${at.y}.` : `${e.name} is not on the map.`);
  }
  draw(m, m.elements.get(id) || e);
}

// An element's facts, its chart if it is a sensor, and the controls the
// account may use.
function open(m, id) {
  const e = m.elements.get(id);
  const line = status();
  const buttons = e.clas === 'output' ? ACTIONS.filter((a) => may(a.right, 'write')).map((a) =>
    h('button', { type: 'button', onclick: async () => {
      const reply = await run(line, () => a.send(id), a.done);
      if (reply.ok) refresh(m, await readTree());
    } }, a.label)) : [];
  m.open = { id, facts: h('div', { class: 'place' }) };
  fill(m.details, section(e.name, m.open.facts, h('div', { class: 'actions' }, buttons,
    h('button', { type: 'button', onclick: () => { m.open = null; fill(m.details); } }, 'Close'), line)));
  facts(m);
  m.details.querySelector('button').focus();
}

function facts(m) {
  const e = m.elements.get(m.open.id);
  if (!e) return fill(m.open.facts, h('p', { class: 'empty' }, 'This element is no longer on the appliance.'));
  const at = where(m, e.id);
  fill(m.open.facts, h('dl', { class: 'facts' },
    [['Kind', [e.clas, e.type].filter(Boolean).join(' / ')], ['State', state(e.state)], ['Value', e.value],
      ['Place', at ? `${at.x}, ${at.y}` : 'not on the map']].map(([term, value]) => [h('dt', {}, term), h('dd', {}, value)])),
  e.clas === 'sensor' ? h('div', { class: 'scroll' }, chart(e.id, e.name, 'large')) : null);
}

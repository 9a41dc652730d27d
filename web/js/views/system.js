// The system: the appliance's own state and the tree of modules, groups and
// elements, read again every few seconds while the view is open.
import { failed, fill, h, section, state, table, when } from '../dom.js';
import { readTree, REFRESH_MS } from '../tree.js';
// Modules the operator folded stay folded across the refreshes.
const folded = new Set();

export const view = {
  id: 'system',
  title: 'System',
  shown: () => true,
  render(main, every) {
    const facts = h('div', { class: 'place' }, 'Loading…');
    const tree = h('div', { class: 'place' });
    const stamp = h('p', { class: 'stamp' });
    main.append(section('System', facts), section('Modules and elements', stamp, tree));
    const load = () => refresh(facts, tree, stamp);
    load();
    every(REFRESH_MS, load);
  },
};

function hours(n) {
  return n === '4294967295' ? 'unknown' : `${n} h`;
}

function duration(seconds) {
  const s = Number(seconds);
  const d = Math.floor(s / 86400);
  const rest = new Date((s % 86400) * 1000).toISOString().slice(11, 19);
  return d ? `${d} d ${rest}` : rest;
}

async function refresh(facts, tree, stamp) {
  const read = await readTree();
  if (!read.ok) return failed(facts, read);
  const s = read.system;
  const known = ['id', 'state', 'version', 'type', 'time', 'sms', 'optime', 'uptime'];
  const more = Object.entries(s).filter(([name]) => !known.includes(name));
  fill(facts, h('dl', { class: 'facts' },
    [['State', state(s.state)], ['Version', s.version], ['Board', s.type], ['Time', when(s.time)],
      ['Operation time', hours(s.optime)], ['Up for', duration(s.uptime)], ['SMS', s.sms === 'true' ? 'available' : 'not available'],
      ...more].map(([term, value]) => [h('dt', {}, term), h('dd', {}, value)])));

  const { modules, elements, groups } = read;
  stamp.textContent = `Read at ${new Date().toLocaleTimeString()}; read again every ${REFRESH_MS / 1000} s.`;
  if (!modules.length && !elements.length) return failed(tree, { error: 'module is not loaded' });
  const rows = (list) => list.map((e) => [e.name, [e.clas, e.type].filter(Boolean).join(' / '), state(e.state), e.value]);
  const headings = ['Element', 'Kind', 'State', 'Value'];
  fill(tree,
    modules.map((m) => h('details', { class: 'module', open: !folded.has(m.id), 'data-module': m.id,
      ontoggle: (event) => (event.target.open ? folded.delete(m.id) : folded.add(m.id)) },
      h('summary', {}, h('span', { class: 'name' }, m.name), ' ', h('small', {}, m.type), ' ', state(m.state)),
      table(headings, rows(elements.filter((e) => e.module === m.id)), 'No elements.'))),
    elements.some((e) => !modules.some((m) => m.id === e.module))
      ? h('details', { class: 'module', open: true }, h('summary', {}, h('span', { class: 'name' }, 'Appliance')),
        table(headings, rows(elements.filter((e) => !modules.some((m) => m.id === e.module)))))
      : null,
    groups.length ? h('div', { class: 'groups' }, h('h3', {}, 'Groups'), h('ul', {}, groups.map((g) => h('li', {}, g.name)))) : null);
}

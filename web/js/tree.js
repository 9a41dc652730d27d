// The system tree as getmodules gives it: the appliance's own element, then
// its modules, elements and groups. Every view that shows states reads it
// here, so that each read also goes into the sensors' history (charts show
// what this page has read since it opened, whichever view read it).
import { call } from './gateway.js';
import { attrs } from './dom.js';
import { record } from './chart.js';

export const REFRESH_MS = 5000;

// { ok, system, modules, elements, groups } (attribute objects), or a reply
// with the error text.
export async function readTree() {
  const reply = await call('getmodules');
  const system = reply.nodes.find((n) => n.tagName === 'system');
  if (!reply.ok || !system) return reply.ok ? { ok: false, error: 'module is not loaded' } : reply;
  const children = [...system.children];
  const of = (tag) => children.filter((n) => n.tagName === tag).map(attrs);
  const tree = { ok: true, system: attrs(system), modules: of('module'), elements: of('element'), groups: of('group') };
  const now = Date.now();
  for (const e of tree.elements) if (e.clas === 'sensor') record(e.id, e.value, now);
  return tree;
}

// The event log, a page at a time, newest first.
import { call, may } from '../gateway.js';
import { attrs, confirmed, failed, fill, h, run, section, status, table, when } from '../dom.js';

const PAGE = 50;

export const view = {
  id: 'log',
  title: 'Event log',
  shown: () => may('log', 'read'),
  render(main) {
    const place = h('div', { class: 'place' }, 'Loading…');
    const line = status();
    let offset = 0;
    const load = async () => {
      const reply = await call('log', { offset, count: PAGE });
      const log = reply.nodes.find((n) => n.tagName === 'log');
      if (!reply.ok || !log) return failed(place, reply.ok ? { error: 'No log was given.' } : reply);
      const total = Number(log.getAttribute('total')) || 0;
      const entries = [...log.children].map(attrs);
      const pager = h('div', { class: 'actions' },
        h('button', { type: 'button', disabled: offset === 0, onclick: () => { offset = Math.max(0, offset - PAGE); load(); } }, 'Newer'),
        h('span', {}, total ? `${offset + 1}–${offset + entries.length} of ${total}` : ''),
        h('button', { type: 'button', disabled: offset + PAGE >= total, onclick: () => { offset += PAGE; load(); } }, 'Older'));
      fill(place, table(['Time', 'Source', 'Message'], entries.map((e) => [when(e.time), e.type, e.message]),
        'The log is empty.'), pager);
    };
    const span = h('div', { class: 'stamp' });
    call('logdate').then((reply) => {
      const dates = reply.nodes.find((n) => n.tagName === 'datelog');
      if (!reply.ok) return failed(span, reply);
      if (dates && Number(dates.getAttribute('first')) > 0) {
        span.textContent = `The log holds entries from ${when(dates.getAttribute('first'))} to ${when(dates.getAttribute('last'))}.`;
      }
    });
    main.append(section('Event log', span, place, h('div', { class: 'actions' },
      h('button', { type: 'button', onclick: load }, 'Read again'),
      may('log', 'write') ? confirmed('Clear the log', () => run(line, () => call('clearlog'), 'Log cleared.').then(load)) : null,
      line)));
    load();
  },
};

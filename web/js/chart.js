// Sensor values as pictures: what this page has read of each sensor since it
// opened (the last hour at most), drawn as SVG by the console's own code.
// Charts are made with DOM calls only; their colours come from the style
// sheet.

const KEEP_MS = 3600 * 1000;
const NS = 'http://www.w3.org/2000/svg';

// A sensor's readings, oldest first: [{ t (ms), v (number) }].
const history = new Map();

// Keeps a value read at time t; a value that is not a number (a sensor not
// connected) is a gap in what was read, not a zero.
export function record(id, value, t = Date.now()) {
  const v = Number.parseFloat(value);
  if (!Number.isFinite(v)) return;
  const list = history.get(id) || [];
  if (!list.length || list[list.length - 1].t < t) list.push({ t, v });
  while (list[0].t < t - KEEP_MS) list.shift();
  history.set(id, list);
}

function svg(tag, props = {}, ...children) {
  const e = document.createElementNS(NS, tag);
  for (const [key, value] of Object.entries(props)) e.setAttribute(key, value);
  e.append(...children);
  return e;
}

const clock = (t) => new Date(t).toLocaleTimeString();

// Sizes: small beside a sensor's name, large (with its scale and times)
// when the operator asks for it.
const SIZES = {
  small: { width: 120, height: 32, left: 2, bottom: 2, top: 2, dot: 2 },
  large: { width: 560, height: 200, left: 56, bottom: 22, top: 14, dot: 3 },
};

// A chart of the sensor's readings; its label tells the last value in words.
export function chart(id, name, size = 'small') {
  const s = SIZES[size];
  const points = history.get(id) || [];
  const last = points[points.length - 1];
  const label = last ? `${name}: ${last.v} now; ${points.length} reading${points.length === 1 ? '' : 's'} since ${clock(points[0].t)}`
    : `${name}: no value read yet`;
  const box = svg('svg', { class: `chart ${size}`, viewBox: `0 0 ${s.width} ${s.height}`, width: s.width,
    height: s.height, role: 'img', 'aria-label': label }, svg('title', {}, label));
  if (!last) return box;
  const values = points.map((p) => p.v);
  let [low, high] = [Math.min(...values), Math.max(...values)];
  if (low === high) [low, high] = [low - 1, high + 1];
  const first = points[0].t;
  const span = Math.max(last.t - first, 1);
  const x = (t) => (s.left + ((t - first) / span) * (s.width - s.left - 2)).toFixed(1);
  const y = (v) => (s.top + ((high - v) / (high - low)) * (s.height - s.top - s.bottom)).toFixed(1);
  box.append(
    svg('polyline', { class: 'line', points: points.map((p) => `${x(p.t)},${y(p.v)}`).join(' ') }),
    svg('circle', { class: 'dot', cx: x(last.t), cy: y(last.v), r: s.dot }));
  if (size === 'large') {
    const text = (content, props) => svg('text', props, String(content));
    box.append(
      text(Math.max(...values), { x: s.left - 6, y: s.top + 4, 'text-anchor': 'end' }),
      text(Math.min(...values), { x: s.left - 6, y: s.height - s.bottom, 'text-anchor': 'end' }),
      text(clock(first), { x: s.left, y: s.height - 4 }),
      text(clock(last.t), { x: s.width - 2, y: s.height - 4, 'text-anchor': 'end' }),
      text(`now ${last.v}`, { class: 'now', x: s.width - 2, y: s.top - 2, 'text-anchor': 'end' }));
  }
  return box;
}

// The widget host's page: draws the widget's view tree and follows the host's
// event stream (toasts, alerts, status-bar messages, opened URLs). A click on
// a view is a tap on the widget; loading the page or making it visible again
// is a showing. The token travels in a cookie the host set.
'use strict';

const widget = document.getElementById('widget');
const toasts = document.getElementById('toasts');
const alerts = document.getElementById('alerts');
const statusMessage = document.querySelector('#statusbar .message');
const connection = document.getElementById('connection');
let client = 0;

function post(path, body) {
  return fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body || {}),
    credentials: 'same-origin',
  }).catch(() => {});
}

// --- the widget's view --------------------------------------------------------
function place(el, frame) {
  const [x, y, w, h] = frame;
  el.style.left = x + 'px';
  el.style.top = y + 'px';
  el.style.width = w + 'px';
  el.style.height = h + 'px';
}

// A stretchable picture keeps its caps and stretches the column and row after them.
function stretchable(el, image) {
  const probe = new Image();
  probe.onload = () => {
    const w = probe.naturalWidth, h = probe.naturalHeight;
    const l = image.leftCap > 0 && image.leftCap < w ? image.leftCap : 0;
    const r = l ? Math.max(w - l - 1, 0) : 0;
    const t = image.topCap > 0 && image.topCap < h - 1 ? image.topCap : 0;
    const b = t ? Math.max(h - t - 1, 0) : 0;
    el.style.borderImage = `url("${image.url}") ${t} ${r} ${b} ${l} fill / ${t}px ${r}px ${b}px ${l}px stretch`;
    el.dataset.loaded = 'true';
  };
  probe.src = image.url;
}

function titleBox(button, insets, frame, title) {
  // Centred in the frame less the insets, as the platform lays out a title.
  const [top, left, bottom, right] = insets;
  const w = frame[2] - left - right, h = frame[3] - top - bottom;
  title.style.left = left + 'px';
  title.style.width = w + 'px';
  title.style.top = (top + h / 2) + 'px';
  title.style.transform = 'translateY(-50%)';
  button.appendChild(title);
}

function buildView(v, parent) {
  let el;
  if (v.kind === 'button') {
    el = document.createElement('button');
    el.type = 'button';
    el.className = 'wv wv-button';
    el.setAttribute('aria-label', v.title);
    if (v.image) {
      const img = document.createElement('img');
      img.className = 'wv-image';
      img.alt = '';
      img.src = v.image.url;
      el.appendChild(img);
    }
    const title = document.createElement('span');
    title.className = 'wv-title';
    title.textContent = v.title;
    title.style.fontSize = v.font.size + 'px';
    titleBox(el, v.titleInsets, v.frame, title);
  } else {
    el = document.createElement('div');
    el.className = 'wv';
    if (v.kind === 'imageView' && v.image) {
      el.classList.add('wv-imageview');
      if (v.image.leftCap || v.image.topCap) {
        stretchable(el, v.image);
      } else {
        const img = document.createElement('img');
        img.className = 'wv-image';
        img.alt = '';
        img.src = v.image.url;
        el.appendChild(img);
      }
    }
  }
  el.dataset.viewId = String(v.id);
  place(el, v.frame);
  if (v.tappable) el.addEventListener('click', (e) => {
    e.stopPropagation();
    post('/api/click', { view: v.id });
  });
  for (const s of v.subviews) buildView(s, el);
  parent.appendChild(el);
}

function showView(tree) {
  widget.replaceChildren();
  widget.style.height = tree.height + 'px';
  buildView(tree, widget);
}

// --- toasts --------------------------------------------------------------------
function showToast(t) {
  const el = document.createElement('div');
  el.className = 'toast ' + t.position;
  el.textContent = t.text;
  el.dataset.toastId = String(t.id);
  toasts.appendChild(el);
  setTimeout(() => {
    el.classList.add('fading');
    setTimeout(() => el.remove(), 400);
  }, t.durationMs);
}

// Takes every toast down and tells the host once the screen shows none.
function hideToasts(seq) {
  toasts.replaceChildren();
  const ack = () => post('/api/toasts-hidden', { client, seq });
  if (document.hidden) {
    ack();
  } else {
    requestAnimationFrame(() => requestAnimationFrame(ack));
  }
}

// --- alerts --------------------------------------------------------------------
function showAlert(a) {
  const backdrop = document.createElement('div');
  backdrop.className = 'alert-backdrop';
  backdrop.dataset.alertId = String(a.id);
  const box = document.createElement('div');
  box.className = 'alert';
  box.setAttribute('role', 'alertdialog');
  box.dataset.tag = String(a.tag);
  const title = document.createElement('div');
  title.className = 'alert-title';
  title.textContent = a.title;
  const message = document.createElement('div');
  message.className = 'alert-message';
  message.textContent = a.message;
  box.append(title, message);
  for (const s of a.subviews) {
    let el;
    if (s.kind === 'picture') {
      el = document.createElement('img');
      el.className = 'alert-picture';
      el.alt = '截屏';
      el.src = s.url;
    } else {
      el = document.createElement('div');
      el.className = 'alert-label';
      el.textContent = s.text;
      const [r, g, b, alpha] = s.color;
      el.style.color = `rgba(${Math.round(r * 255)}, ${Math.round(g * 255)}, ${Math.round(b * 255)}, ${alpha})`;
      el.style.textAlign = s.alignment || 'left';
      const size = parseFloat((s.font || '').split(' ').pop());
      if (size > 0) el.style.fontSize = size + 'px';
    }
    place(el, s.frame);
    box.appendChild(el);
  }
  const row = document.createElement('div');
  row.className = 'alert-buttons';
  a.buttons.forEach((label, index) => {
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'alert-button' + (index === 0 && a.buttons.length > 1 ? ' cancel' : '');
    b.textContent = label;
    b.addEventListener('click', () => post('/api/alert', { alert: a.id, index }));
    row.appendChild(b);
  });
  box.appendChild(row);
  backdrop.appendChild(box);
  alerts.appendChild(backdrop);
}

function closeAlert(c) {
  const el = alerts.querySelector(`[data-alert-id="${c.id}"]`);
  if (el) el.remove();
}

// --- the status-bar overlay: one message at a time, in order ----------------------
const statusQueue = [];
let statusBusy = false;

function nextStatus() {
  const m = statusQueue.shift();
  if (!m) {
    statusBusy = false;
    return;
  }
  statusBusy = true;
  statusMessage.textContent = m.text;
  statusMessage.className = 'message ' + m.kind + (m.animated ? ' animated' : '');
  requestAnimationFrame(() => statusMessage.classList.add('shown'));
  setTimeout(() => {
    statusMessage.classList.remove('shown');
    setTimeout(nextStatus, m.animated ? 300 : 0);
  }, m.durationMs);
}

function showStatus(m) {
  statusQueue.push(m);
  if (!statusBusy) nextStatus();
}

function showOpened(u) {
  document.getElementById('opened').hidden = false;
  const li = document.createElement('li');
  li.textContent = u.url;
  document.getElementById('opened-list').appendChild(li);
}

// --- the event stream ------------------------------------------------------------
function connect() {
  const events = new EventSource('/events');
  const on = (name, fn) => events.addEventListener(name, (e) => fn(JSON.parse(e.data)));
  on('hello', (h) => {
    client = h.client;
    alerts.replaceChildren();
    connection.dataset.state = 'open';
    connection.textContent = '已连接';
  });
  on('view', showView);
  on('toast', showToast);
  on('hideToasts', (h) => hideToasts(h.seq));
  on('alert', showAlert);
  on('alertClosed', closeAlert);
  on('statusBar', showStatus);
  on('openURL', showOpened);
  on('idleTimer', (i) => { document.body.dataset.idleTimerDisabled = String(i.disabled); });
  events.onerror = () => {
    connection.dataset.state = 'lost';
    connection.textContent = '连接已断开，重试中…';
  };
}

function clock() {
  const now = new Date();
  document.querySelector('#statusbar .clock').textContent =
    String(now.getHours()).padStart(2, '0') + ':' + String(now.getMinutes()).padStart(2, '0');
}

clock();
setInterval(clock, 30000);
connect();
// Loading the page and coming back to it are showings of the widget.
post('/api/appear');
document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible') post('/api/appear');
});

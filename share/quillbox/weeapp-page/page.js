// The widget host's page: draws the widget's view tree and follows the host's
// event stream (toasts, alerts, status-bar messages, opened URLs). A click on
// a view is a tap on the widget; loading the page or making it visible again
// is a showing. The token travels in a cookie the host set.
//
// Every request that fails says so beside the device, with its reason. A host
// that was started again on the same port with its kept token takes the page
// back (the event stream reconnects); one with a new token refuses it (403),
// and the page then says to open the address the host printed.
'use strict';

const widget = document.getElementById('widget');
const toasts = document.getElementById('toasts');
const alerts = document.getElementById('alerts');
const alertStack = document.getElementById('alert-stack');
const alertWaiting = document.getElementById('alert-waiting');
const statusMessage = document.querySelector('#statusbar .message');
const connection = document.getElementById('connection');
const notice = document.getElementById('notice');
let client = 0;
let events = null;
let expired = false;
const RECONNECT_MS = 1000;

// --- the connection and failed requests ------------------------------------------
function setConnection(state, text) {
  connection.dataset.state = state;
  connection.textContent = text;
  document.body.dataset.connection = state;
}

// The host refused this page's token: it was started again with a new one.
function hostRestarted() {
  if (expired) return;
  expired = true;
  if (events) events.close();
  setConnection('expired', '宿主程序已重新启动，本页的令牌已失效：请打开 quillbox-weeapp-host ' +
    '这次启动时打印的地址（' + location.origin + '/?token=…）。');
}

// What a refusal or failure of the host means, in the page's words.
function explain(status) {
  switch (status) {
    case 400: return '请求无效';
    case 403: return '宿主程序拒绝了本页（令牌已失效：宿主程序已重新启动）';
    case 404: return '宿主程序没有找到它';
    case 409: return '这个提示已经回答过了';
    case 503: return '宿主程序忙，10 秒内没有处理';
    default: return '宿主程序答复了错误';
  }
}

function showNotice(text) {
  const now = new Date();
  const time = [now.getHours(), now.getMinutes(), now.getSeconds()]
    .map((n) => String(n).padStart(2, '0')).join(':');
  notice.querySelector('.notice-text').textContent = time + ' ' + text;
  notice.hidden = false;
}
notice.querySelector('.notice-close').addEventListener('click', () => { notice.hidden = true; });

// Posts to the host; a failure is shown with `what` (the person's action) and
// its reason. Gives the response, or null when none came.
async function post(path, body, what) {
  let res;
  try {
    res = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body || {}),
      credentials: 'same-origin',
    });
  } catch (e) {
    showNotice(what + '失败：无法连接宿主程序（' + e.message + '）');
    return null;
  }
  if (!res.ok) {
    const reason = (await res.text().catch(() => '')).trim();
    showNotice(what + '失败：' + explain(res.status) + '（HTTP ' + res.status +
      (reason ? '：' + reason : '') + '）');
    if (res.status === 403) hostRestarted();
  }
  return res;
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
    post('/api/click', { view: v.id }, v.title ? '点按“' + v.title + '”' : '点按视图 ' + v.id);
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
  const ack = () => post('/api/toasts-hidden', { client, seq }, '告知提示条已消失');
  if (document.hidden) {
    ack();
  } else {
    requestAnimationFrame(() => requestAnimationFrame(ack));
  }
}

// --- alerts: one backdrop, the newest on top, the count of those under it ------------
function showAlert(a) {
  const box = document.createElement('div');
  box.className = 'alert';
  box.setAttribute('role', 'alertdialog');
  box.dataset.alertId = String(a.id);
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
  const name = a.title || a.message.trim() || '提示';
  a.buttons.forEach((label, index) => {
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'alert-button' + (index === 0 && a.buttons.length > 1 ? ' cancel' : '');
    b.textContent = label;
    b.addEventListener('click', () =>
      post('/api/alert', { alert: a.id, index }, '回答提示“' + name + '”（' + label + '）'));
    row.appendChild(b);
  });
  box.appendChild(row);
  alertStack.appendChild(box);
  restackAlerts();
}

function closeAlert(c) {
  const el = alertStack.querySelector(`[data-alert-id="${c.id}"]`);
  if (el) el.remove();
  restackAlerts();
}

// Only the newest prompt shows; the others wait under it, counted.
function restackAlerts() {
  const boxes = Array.from(alertStack.children);
  boxes.forEach((box, i) => { box.hidden = i !== boxes.length - 1; });
  const waiting = boxes.length - 1;
  alertWaiting.hidden = waiting < 1;
  alertWaiting.textContent = waiting > 0 ? '还有 ' + waiting + ' 个提示在下面等待' : '';
  alerts.hidden = boxes.length === 0;
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

// --- opened URLs, each with whether the URL opener took it -------------------------
function showOpened(u) {
  document.getElementById('opened').hidden = false;
  const li = document.createElement('li');
  li.dataset.urlId = String(u.id);
  // The opener by its name, not its folder.
  li.dataset.opener = u.opener.split('/').pop();
  const url = document.createElement('span');
  url.className = 'opened-url';
  url.textContent = u.url;
  const state = document.createElement('span');
  state.className = 'opened-state';
  const opener = li.dataset.opener;
  if (u.handedOver) {
    li.dataset.taken = 'pending';
    state.textContent = '已交给 ' + opener + '…';
  } else {
    li.dataset.taken = 'no';
    state.textContent = {
      none: '未交出：没有指定打开程序（--url-opener ""）',
      missing: '未交出：找不到打开程序 ' + opener,
      failed: '未交出：' + opener + ' 无法启动',
    }[u.notHandedOver] || '未交出';
  }
  li.append(url, state);
  document.getElementById('opened-list').appendChild(li);
}

function openerDone(d) {
  const li = document.querySelector(`#opened-list [data-url-id="${d.id}"]`);
  if (!li || li.dataset.taken !== 'pending') return;
  const opener = li.dataset.opener;
  li.dataset.taken = d.exitStatus === 0 ? 'yes' : 'no';
  li.querySelector('.opened-state').textContent = d.exitStatus === 0
    ? opener + ' 已接收'
    : opener + ' 未接收（退出状态 ' + d.exitStatus + '）';
}

// --- the event stream ------------------------------------------------------------
function connect() {
  if (expired) return;
  events = new EventSource('/events');
  const on = (name, fn) => events.addEventListener(name, (e) => fn(JSON.parse(e.data)));
  on('hello', (h) => {
    client = h.client;
    alertStack.replaceChildren();
    restackAlerts();
    setConnection('open', '已连接');
  });
  on('view', showView);
  on('toast', showToast);
  on('hideToasts', (h) => hideToasts(h.seq));
  on('alert', showAlert);
  on('alertClosed', closeAlert);
  on('statusBar', showStatus);
  on('openURL', showOpened);
  on('openURLDone', openerDone);
  on('idleTimer', (i) => { document.body.dataset.idleTimerDisabled = String(i.disabled); });
  events.onerror = () => {
    if (expired) return;
    setConnection('lost', '连接已断开，重试中…');
    // The browser tries again by itself after a cut, but not after a refusal.
    if (events.readyState === EventSource.CLOSED) whyClosed();
  };
}

// The stream was refused: asks the host why, then tries again or gives up.
async function whyClosed() {
  events.close();
  let res = null;
  try {
    res = await fetch('/api/ping', { credentials: 'same-origin', cache: 'no-store' });
  } catch (e) {
    // The host is away again: keep trying.
  }
  if (res && res.status === 403) {
    hostRestarted();
    return;
  }
  if (res && !res.ok) {
    showNotice('事件流失败：' + explain(res.status) + '（HTTP ' + res.status + '）');
  }
  setTimeout(connect, RECONNECT_MS);
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
post('/api/appear', {}, '显示小部件');
document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible') post('/api/appear', {}, '显示小部件');
});

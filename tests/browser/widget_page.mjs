// Drives the widget host's page in Debian's Chromium (headless) with playwright-core.
//
//   node widget_page.mjs FLOW URL SCREENSHOT_DIR
//
// FLOW "capture": sees the four buttons with their titles and pictures and the
// icon, with no failed request on the way; if WIDGET_EXPECT_UPDATE is set,
// shows the page again until the update prompt appears and declines it; clicks
// "截屏存证" twice within the countdown, sees the countdown toast and the
// evidence prompt with its picture and file name, clicks "存证" and sees the
// status-bar messages of the upload; then tries the page under another name
// and a tap from another site.
//
// FLOW "restart": the page stays open while the test restarts the host. It
// prints "step: stop" and reads a line (the host is stopped), sees the page
// lose the connection; prints "step: same-token" and reads a line (the host is
// started again on its port with its kept token), sees the page reconnect and
// a tap work; prints "step: new-token" and reads a line (started with a new
// token), sees the page say the host was restarted and a tap refused with its
// reason.
//
// FLOW "prompts": five captures, each while the prompts of the earlier ones
// are open; one backdrop, the newest prompt on top with the count of those
// waiting; "拍照存证" works meanwhile; then every prompt is answered in turn.
//
// Screenshots go to SCREENSHOT_DIR. Prints one JSON line with what it saw;
// exits non-zero on the first failed step.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const [flow, url, shots] = process.argv.slice(2);
const STEP_MS = 60000;
const TITLES = ['截屏存证', '拍照存证', '录像存证', '录音存证'];
const saw = {};

function check(condition, what) {
  if (!condition) throw new Error('not seen: ' + what);
}

async function pictureLoaded(locator) {
  return locator.evaluate((img) => img.complete && img.naturalWidth > 0);
}

// Lines the test writes to standard input, one at a time.
const input = readline.createInterface({ input: process.stdin })[Symbol.asyncIterator]();
async function step(name) {
  console.log('step: ' + name);
  const line = await input.next();
  check(!line.done, 'the test\'s answer to ' + name);
}

function button(page, title) {
  return page.getByRole('button', { name: title, exact: true });
}

// The widget's strip as a person sees it: four buttons, titles and pictures.
async function seeStrip(page) {
  for (const title of TITLES) {
    const b = button(page, title);
    await b.waitFor();
    check(await b.locator('.wv-title').innerText() === title, 'the title ' + title);
    const picture = b.locator('img.wv-image');
    await picture.evaluate((img) => img.decode());
    check(await pictureLoaded(picture), 'the picture of ' + title);
  }
  await page.locator('.wv-imageview[data-loaded="true"]').waitFor();
}

async function capture(page, context) {
  // Whatever fails while the page loads shows in the console or as a reply of 400 and up.
  const failures = [];
  page.on('console', (m) => { if (m.type() === 'error') failures.push(m.text()); });
  page.on('response', (r) => { if (r.status() >= 400) failures.push(r.status() + ' ' + r.url()); });
  await page.goto(url);
  await page.locator('#connection[data-state="open"]').waitFor();
  await seeStrip(page);
  saw.buttons = TITLES;
  saw.icon = await page.evaluate(async () => {
    const r = await fetch('/favicon.ico');
    return [r.status, r.headers.get('Content-Type')];
  });
  await page.screenshot({ path: path.join(shots, 'widget.png') });

  if (process.env.WIDGET_EXPECT_UPDATE) {
    // The first showing may come before the widget found its container; a
    // second one (the page shown again) then counts and checks.
    const update = page.locator('.alert[data-tag="2"]');
    await page.reload();
    await update.waitFor();
    saw.updateMessage = await update.locator('.alert-message').innerText();
    saw.updateButtons = await update.locator('.alert-button').allInnerTexts();
    await update.getByRole('button', { name: '暂不更新' }).click();
    await update.waitFor({ state: 'detached' });
  }
  saw.loadFailures = failures.slice();

  // Two taps within the countdown: one countdown, one capture. Both are sent
  // in one go, so that a slow machine cannot put the second after the capture.
  const shoot = button(page, '截屏存证');
  await shoot.evaluate((b) => {
    b.click();
    b.click();
  });
  const toast = page.locator('.toast', { hasText: '秒之后开始截屏' });
  await toast.first().waitFor();
  saw.toast = await toast.first().innerText();

  const prompt = page.locator('.alert[data-tag="0"]');
  await prompt.waitFor();
  saw.promptTitle = await prompt.locator('.alert-title').innerText();
  saw.promptButtons = await prompt.locator('.alert-button').allInnerTexts();
  saw.fileName = await prompt.locator('.alert-label').innerText();
  const picture = prompt.locator('img.alert-picture');
  await picture.evaluate((img) => img.decode());
  check(await pictureLoaded(picture), 'the screenshot in the prompt');
  saw.pictureSize = await picture.evaluate((img) => [img.naturalWidth, img.naturalHeight]);
  saw.toastGoneBeforePrompt = await page.locator('.toast').count() === 0;
  saw.pictureBox = await picture.boundingBox();
  await page.screenshot({ path: path.join(shots, 'widget-prompt.png') });

  await prompt.getByRole('button', { name: '存证', exact: true }).click();
  await prompt.waitFor({ state: 'detached' });
  const status = page.locator('#statusbar .message');
  await status.filter({ hasText: '添加 1 个任务到上传队列！' }).waitFor();
  saw.queued = await status.innerText();
  await status.filter({ hasText: '有 1 个任务上传完成!' }).waitFor();
  saw.finished = await status.innerText();
  await button(page, '拍照存证').click();
  const opened = page.locator('#opened-list li[data-taken="yes"]');
  await opened.waitFor();
  saw.opened = [await opened.locator('.opened-url').innerText(),
    await opened.locator('.opened-state').innerText()];
  // The message has slid in before the picture is taken.
  await page.waitForFunction(() => document.getAnimations().every((a) => a.playState !== 'running'));
  await page.screenshot({ path: path.join(shots, 'widget-uploaded.png') });

  // The page under another name (as after DNS rebinding) is refused, token or not.
  const other = await context.newPage();
  const rebound = await other.goto(url.replace('127.0.0.1', 'localhost'));
  saw.reboundStatus = rebound.status();
  // A page of another origin on this machine (another port: cookies do not tell
  // ports apart, so it even holds the token) can't tap the widget: its Origin is
  // foreign (the host logs the refusal).
  const foreign = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end('<!doctype html><title>elsewhere</title>');
  });
  await new Promise((resolve) => foreign.listen(0, '127.0.0.1', resolve));
  await other.goto(`http://127.0.0.1:${foreign.address().port}/`);
  const shootId = await shoot.getAttribute('data-view-id');
  await other.evaluate(([target, view]) => fetch(target, {
    method: 'POST', mode: 'no-cors', credentials: 'include', body: JSON.stringify({ view }),
  }).catch(() => {}), [new URL('/api/click', url).href, Number(shootId)]);
  foreign.close();
}

async function restart(page) {
  const connection = page.locator('#connection');
  await page.goto(url);
  await page.locator('#connection[data-state="open"]').waitFor();
  await seeStrip(page);

  await step('stop');
  await page.locator('#connection[data-state="lost"]').waitFor();
  saw.lost = await connection.innerText();

  // The same port and its kept token: the open page comes back by itself.
  await step('same-token');
  await page.locator('#connection[data-state="open"]').waitFor();
  await button(page, '录像存证').click();
  await page.locator('#opened-list li', { hasText: 'quillbox://saveEvidence/video' }).waitFor();
  saw.noticeAfterReconnect = await page.locator('#notice').isVisible();

  // A new token: the page says what happened and what to do.
  await step('new-token');
  await page.locator('#connection[data-state="expired"]').waitFor();
  saw.expired = await connection.innerText();
  await button(page, '录音存证').click();
  const notice = page.locator('#notice');
  await notice.waitFor();
  saw.notice = await notice.innerText();
  await page.screenshot({ path: path.join(shots, 'widget-restarted.png') });
}

async function prompts(page) {
  await page.goto(url);
  await page.locator('#connection[data-state="open"]').waitFor();
  await seeStrip(page);
  const stack = page.locator('#alert-stack .alert[data-tag="0"]');
  const shown = page.locator('#alert-stack .alert[data-tag="0"]:not([hidden])');
  const waiting = page.locator('#alert-waiting');
  saw.captured = [];
  saw.waiting = [];
  // Each tap comes while the earlier prompts are open: the strip is not covered.
  for (let n = 1; n <= 5; n++) {
    await button(page, '截屏存证').click();
    await page.waitForFunction((count) =>
      document.querySelectorAll('#alert-stack .alert[data-tag="0"]').length === count, n);
    saw.captured.push(await shown.locator('.alert-label').innerText());
    saw.waiting.push(await waiting.isVisible() ? await waiting.innerText() : '');
  }
  await button(page, '拍照存证').click();
  const opened = page.locator('#opened-list li[data-taken="no"]');
  await opened.waitFor();
  saw.notTaken = await opened.locator('.opened-state').innerText();
  saw.shownCount = await shown.count();
  saw.backdrops = await page.locator('.alert-backdrop').count();
  saw.stacked = await stack.count();
  await page.screenshot({ path: path.join(shots, 'widget-prompts.png') });

  // Each in turn, newest first.
  saw.answered = [];
  for (let left = 5; left >= 1; left--) {
    saw.answered.push(await shown.locator('.alert-label').innerText());
    await shown.getByRole('button', { name: '稍后存证' }).click();
    await page.waitForFunction((count) =>
      document.querySelectorAll('#alert-stack .alert[data-tag="0"]').length === count, left - 1);
  }
  saw.alertsHidden = await page.locator('#alerts').isHidden();
}

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qb-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  viewport: { width: 880, height: 820 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(STEP_MS);
  const flows = { capture: () => capture(page, context), restart: () => restart(page),
    prompts: () => prompts(page) };
  check(flows[flow], 'a flow named ' + flow);
  await flows[flow]();
  console.log(JSON.stringify(saw));
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
  process.stdin.destroy();
}

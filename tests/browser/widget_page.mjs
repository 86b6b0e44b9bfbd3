// Drives the widget host's page in Debian's Chromium (headless) with playwright-core.
//
//   node widget_page.mjs URL SCREENSHOT_DIR
//
// Sees the four buttons with their titles and pictures; if WIDGET_EXPECT_UPDATE
// is set, shows the page again until the update prompt appears and declines it;
// clicks "截屏存证" twice within the countdown, sees the countdown toast and the
// evidence prompt with its picture and file name, clicks "存证" and sees the
// status-bar messages of the upload; then tries the page under another name and a
// tap from another site. Screenshots go to SCREENSHOT_DIR. Prints
// one JSON line with what it saw; exits non-zero on the first failed step.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const [url, shots] = process.argv.slice(2);
const STEP_MS = 60000;
const saw = {};

function check(condition, what) {
  if (!condition) throw new Error('not seen: ' + what);
}

async function pictureLoaded(locator) {
  return locator.evaluate((img) => img.complete && img.naturalWidth > 0);
}

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qb-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  viewport: { width: 560, height: 720 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(STEP_MS);
  await page.goto(url);
  await page.locator('#connection[data-state="open"]').waitFor();

  // The strip: four buttons with their titles and pictures.
  const titles = ['截屏存证', '拍照存证', '录像存证', '录音存证'];
  for (const title of titles) {
    const button = page.getByRole('button', { name: title, exact: true });
    await button.waitFor();
    check(await button.locator('.wv-title').innerText() === title, 'the title ' + title);
    const picture = button.locator('img.wv-image');
    await picture.evaluate((img) => img.decode());
    check(await pictureLoaded(picture), 'the picture of ' + title);
  }
  await page.locator('.wv-imageview[data-loaded="true"]').waitFor();
  saw.buttons = titles;
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

  // Two taps within the countdown: one countdown, one capture. Both are sent
  // in one go, so that a slow machine cannot put the second after the capture.
  const shoot = page.getByRole('button', { name: '截屏存证', exact: true });
  await shoot.evaluate((button) => {
    button.click();
    button.click();
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
  console.log(JSON.stringify(saw));
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}

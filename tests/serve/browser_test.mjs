// The page of `ondrelix serve` in Debian's Chromium, headless, with a fake microphone that plays
// a speech file: picks "deep", runs live for a few seconds, converts a file, takes screenshots
// (wide and phone-sized), then checks what the page says when the microphone is refused and
// when the server has gone. Prints what it saw as JSON; the shell test judges it.
//   node browser_test.mjs URL MIC.wav CONVERT.wav OUT_DIR SERVER_PID
// with NODE_MODULES naming the folder that holds playwright-core (scripts/install-deps.sh).
import { writeFileSync } from "node:fs";
import { createRequire } from "node:module";

const { chromium } = createRequire(`${process.env.NODE_MODULES}/`)("playwright-core");

const [url, micFile, convertFile, outDir, serverPid] = process.argv.slice(2);
const seen = {};
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--use-fake-device-for-media-stream", "--use-fake-ui-for-media-stream",
         `--use-file-for-fake-audio-capture=${micFile}`, "--autoplay-policy=no-user-gesture-required",
         "--no-sandbox"],
});
try {
  const page = await browser.newPage({ viewport: { width: 1000, height: 900 } });
  page.on("console", (m) => { if (m.type() === "error") process.stderr.write(`page: ${m.text()}\n`); });
  page.on("pageerror", (e) => process.stderr.write(`page error: ${e}\n`));
  const state = () => page.evaluate(() => {
    const s = window.ondrelix;
    return { sent: s.sent, received: s.received, rate: s.rate, delayMs: s.delayMs, report: s.report,
             error: s.error, converted: s.converted, voice: s.voice };
  });
  await page.goto(url);
  await page.waitForFunction(() => window.ondrelix.voices.length > 0, null, { timeout: 20000 });
  seen.voices = await page.evaluate(() => window.ondrelix.voices);

  // Live as "deep" for five seconds of audio, then stopped: the rest comes back with the report.
  await page.click('button[data-voice="deep"]');
  await page.click("#live");
  await page.waitForFunction(() => window.ondrelix.received > 0, null, { timeout: 20000 });
  await page.waitForFunction(() => window.ondrelix.sent > 5 * window.ondrelix.rate, null, { timeout: 30000 });
  await page.click("#live");
  await page.waitForFunction(() => window.ondrelix.report !== null || window.ondrelix.error !== null,
                             null, { timeout: 15000 });
  seen.live = await state();
  writeFileSync(`${outDir}/live.wav`, Buffer.from(await page.evaluate(() => window.ondrelix.receivedWav()), "base64"));

  // A file through the page.
  await page.setInputFiles("#file", convertFile);
  await page.click("#convert");
  await page.waitForFunction(() => window.ondrelix.converted !== null || window.ondrelix.error !== null,
                             null, { timeout: 60000 });
  seen.convert = await state();
  await page.screenshot({ path: `${outDir}/serve.png`, fullPage: true });

  // A clip uploaded to clone "custom", which becomes the page's voice.
  await page.setInputFiles("#clip", convertFile);
  await page.waitForFunction(() => window.ondrelix.cloned !== null || window.ondrelix.error !== null,
                             null, { timeout: 60000 });
  seen.clone = await page.evaluate(() => ({ voices: window.ondrelix.voices, voice: window.ondrelix.voice,
                                            cloned: window.ondrelix.cloned, error: window.ondrelix.error }));
  await page.setViewportSize({ width: 390, height: 844 });
  seen.phoneOverflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  await page.screenshot({ path: `${outDir}/serve-phone.png`, fullPage: true });

  // A browser that refuses the microphone.
  const refusing = await browser.newPage();
  await refusing.addInitScript(() => {
    navigator.mediaDevices.getUserMedia = () => Promise.reject(new DOMException("refused", "NotAllowedError"));
  });
  await refusing.goto(url);
  await refusing.waitForFunction(() => window.ondrelix.voices.length > 0, null, { timeout: 20000 });
  await refusing.click("#live");
  await refusing.waitForFunction(() => window.ondrelix.error !== null, null, { timeout: 10000 });
  seen.refused = await refusing.evaluate(() => window.ondrelix.error);

  // The server gone.
  process.kill(Number(serverPid), "SIGTERM");
  const alive = () => { try { process.kill(Number(serverPid), 0); return true; } catch (_) { return false; } };
  for (let i = 0; i < 200 && alive(); i++) await new Promise((resolve) => setTimeout(resolve, 50));
  await page.evaluate(() => { window.ondrelix.error = null; });
  await page.click("#convert");
  await page.waitForFunction(() => window.ondrelix.error !== null, null, { timeout: 10000 });
  seen.gone = await page.evaluate(() => window.ondrelix.error);
} catch (e) {
  seen.failure = String(e);
  try {
    seen.status = await browser.contexts()[0].pages()[0].evaluate(() => document.getElementById("status").textContent);
  } catch (_) { /* no page left to ask */ }
} finally {
  await browser.close();
}
console.log(JSON.stringify(seen));

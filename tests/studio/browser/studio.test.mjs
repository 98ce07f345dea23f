// montage-host studio end to end, in headless Chromium driven by Playwright: the gallery,
// a template page's frames against `montage-host render`, its controls, renders
// downloaded and read back with ffprobe, and a plug-in rebuilt under an open page.
//
//   node studio.test.mjs --host BUILD/bin/montage-host --plugins BUILD/plugins
//        --fixtures BUILD/tests/host/fixtures --out BUILD/tests/studio/browser
//
// Exits 77 (skipped) when Chromium is missing; installs the npm packages of this folder
// with `npm ci` when they are not there yet.
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));

function argument(name, fallback) {
  const at = process.argv.indexOf(`--${name}`);
  if (at > 0 && at + 1 < process.argv.length) return process.argv[at + 1];
  if (fallback !== undefined) return fallback;
  console.error(`studio.test.mjs: missing --${name}`);
  process.exit(2);
}

const host = argument("host");
const pluginFolder = argument("plugins");
const fixtures = argument("fixtures");
const out = argument("out");
const ffmpeg = argument("ffmpeg", "ffmpeg");
const ffprobe = argument("ffprobe", "ffprobe");
const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";

if (!fs.existsSync(chromiumPath)) {
  console.log(`SKIPPED: no Chromium at ${chromiumPath}; scripts/install-deps installs it (Debian package chromium)`);
  process.exit(77);
}
if (!fs.existsSync(path.join(here, "node_modules", "playwright-core"))) {
  const install = spawnSync("npm", ["ci", "--no-audit", "--no-fund"], { cwd: here, stdio: "inherit" });
  if (install.status !== 0) {
    console.error("studio.test.mjs: npm ci failed");
    process.exit(1);
  }
}
const { chromium } = await import("playwright-core");
const { test, before, after } = await import("node:test");
const assert = (await import("node:assert/strict")).default;

fs.mkdirSync(out, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "montage-studio-browser-"));
const shots = path.join(out, "screenshots");
fs.mkdirSync(shots, { recursive: true });

// ---- Helpers ----------------------------------------------------------------------------

function run(program, args) {
  const result = spawnSync(program, args, { encoding: "utf8" });
  if (result.status !== 0) throw new Error(`${program} ${args.join(" ")} failed:\n${result.stderr}`);
  return result.stdout;
}

// montage-host studio on a free port, with its own temporary folder.
async function startStudio(pluginPath) {
  const temporary = fs.mkdtempSync(path.join(scratch, "tmp-"));
  const child = spawn(host, ["--timeout", "3", "--plugin-path", pluginPath, "studio", "--port", "0"], {
    env: { ...process.env, TMPDIR: temporary, XDG_CACHE_HOME: path.join(out, "cache") },
    stdio: ["ignore", "pipe", "pipe"],
  });
  let output = "";
  child.stderr.on("data", (data) => process.stderr.write(data));
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the studio printed no address:\n${output}`)), 60000);
    child.stdout.on("data", (data) => {
      output += data;
      const match = output.match(/http:\/\/127\.0\.0\.1:\d+\//);
      if (match) {
        clearTimeout(timer);
        resolve(match[0]);
      }
    });
    child.on("exit", (code) => reject(new Error(`the studio ended with ${code}:\n${output}`)));
  });
  return {
    url,
    temporary,
    // Ctrl-C: it must end with status 0 and leave nothing in its temporary folder.
    async stop() {
      const ended = new Promise((resolve) => child.on("exit", (code, signal) => resolve(code ?? signal)));
      child.kill("SIGINT");
      const code = await ended;
      assert.equal(code, 0, "montage-host studio ends with status 0 on Ctrl-C");
      assert.deepEqual(fs.readdirSync(temporary), [], "the studio leaves no files behind");
    },
  };
}

async function openBrowser(width, height) {
  const profile = fs.mkdtempSync(path.join(scratch, "profile-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width, height },
    acceptDownloads: true,
    args: [
      "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
    ],
  });
  const page = context.pages()[0] || (await context.newPage());
  const problems = [];
  page.on("pageerror", (error) => problems.push(`page error: ${error.message}`));
  page.on("console", (message) => {
    if (message.type() === "error" && /Content Security Policy|Uncaught/.test(message.text())) {
      problems.push(message.text());
    }
  });
  return { context, page, problems };
}

// A screenshot of the top of the page (or of where it is scrolled to), for people to look at.
async function shot(page, name, { top = true } = {}) {
  if (top) await page.evaluate(() => window.scrollTo(0, 0));
  await page.evaluate(() => document.querySelectorAll(".toast").forEach((toast) => toast.remove()));
  await page.screenshot({ path: path.join(shots, `${name}.png`) });
}

async function sessionState(page) {
  return page.evaluate(async () => {
    const id = sessionStorage.getItem("montage-studio-session");
    return (await fetch(`/api/sessions/${id}`)).json();
  });
}

// Seeks with the scrubber and waits until the canvas shows the frame of that time and
// of the session's current version.
async function seek(page, time) {
  await page.locator("#scrubber").evaluate((scrubber, t) => {
    scrubber.value = String(t);
    scrubber.dispatchEvent(new Event("input", { bubbles: true }));
  }, time);
  const { version } = await sessionState(page);
  await page.waitForFunction(
    ([t, v]) => {
      const canvas = document.getElementById("frame");
      return canvas.dataset.time === String(t) && Number(canvas.dataset.version) >= v;
    },
    [time, version],
  );
}

// The canvas's pixels at `points`, and a digest of all of them.
function canvasPixels(page, points) {
  return page.evaluate((wanted) => {
    const canvas = document.getElementById("frame");
    const data = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
    let digest = 0;
    for (let i = 0; i < data.length; i += 97) digest = (digest * 31 + data[i]) >>> 0;
    const at = (x, y) => Array.from(data.slice((y * canvas.width + x) * 4, (y * canvas.width + x) * 4 + 3));
    return { width: canvas.width, height: canvas.height, digest, pixels: wanted.map(({ x, y }) => at(x, y)) };
  }, points);
}

// Places in a PNG where its colour is the same all around (so that JPEG's blocks and
// edges do not matter), spread over the picture, with their colour; decoded by the
// browser.
function uniformPlaces(page, file) {
  const data = `data:image/png;base64,${fs.readFileSync(file).toString("base64")}`;
  return page.evaluate(async (url) => {
    const image = new Image();
    image.src = url;
    await image.decode();
    const canvas = new OffscreenCanvas(image.width, image.height);
    const context = canvas.getContext("2d");
    context.drawImage(image, 0, 0);
    const { data, width, height } = context.getImageData(0, 0, image.width, image.height);
    const pixel = (x, y) => [0, 1, 2].map((c) => data[(y * width + x) * 4 + c]);
    const places = [];
    for (let y = 12; y < height - 12; y += 23) {
      for (let x = 12; x < width - 12; x += 29) {
        const centre = pixel(x, y);
        let uniform = true;
        for (let dy = -6; dy <= 6 && uniform; dy += 2) {
          for (let dx = -6; dx <= 6 && uniform; dx += 2) {
            uniform = pixel(x + dx, y + dy).every((v, c) => Math.abs(v - centre[c]) <= 2);
          }
        }
        if (uniform) places.push({ x, y, rgb: centre });
      }
    }
    return { width, height, places };
  }, data);
}

function solidPicture(name, colour) {
  const file = path.join(scratch, name);
  run(ffmpeg, ["-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", `color=${colour}:s=320x240`, "-frames:v", "1", file]);
  return file;
}

// Puts `from` at `to` as a linker or a copy does: a new file renamed into place.
function replaceFile(from, to) {
  const next = path.join(path.dirname(to), ".next.so");
  fs.copyFileSync(from, next);
  fs.renameSync(next, to);
}

// ---- The studio of the build's plug-ins and the hostile fixtures ----------------------------

const builtTemplates = fs
  .readdirSync(pluginFolder)
  .filter((name) => name.endsWith(".so"))
  .map((name) => name.slice(0, -3))
  .sort();
let studio;
let browser;

before(async () => {
  studio = await startStudio(`${pluginFolder}:${path.join(fixtures, "scan")}`);
  browser = await openBrowser(1280, 800);
  await browser.context.grantPermissions(["clipboard-read", "clipboard-write"], { origin: studio.url.slice(0, -1) });
});

after(async () => {
  await browser?.context.close();
  await studio?.stop();
  assert.deepEqual(browser?.problems ?? [], [], "the page ran without script errors or refused content");
});

test("the gallery lists every built template once and the broken plug-ins with their reasons", async () => {
  const { page } = browser;
  await page.goto(studio.url);
  await page.waitForSelector(".card-preview.ready");
  const names = await page.locator(".card .card-title strong").allTextContents();
  assert.deepEqual([...names].sort(), builtTemplates, "one card per built template, none twice");
  const broken = await page.locator("#broken-list li").evaluateAll((items) =>
    items.map((item) => ({ library: item.querySelector(".lib").textContent, reason: item.querySelector(".reason").textContent })),
  );
  const nullFromCreate = broken.find((entry) => entry.library === "NullFromCreate.so");
  assert.ok(nullFromCreate, `NullFromCreate.so is among the broken: ${JSON.stringify(broken)}`);
  assert.match(nullFromCreate.reason, /CreateEffect returned no effect/);
  for (const library of ["CrashInCreate.so", "HangInCreate.so", "ExitInCreate.so", "ThrowFromCreate.so"]) {
    assert.ok(broken.some((entry) => entry.library === library), `${library} is listed as broken`);
  }
  // The previews move: the strip's position changes.
  const first = await page.locator(".card-preview.ready").first().evaluate((node) => node.style.backgroundPosition);
  await page.waitForTimeout(300);
  const later = await page.locator(".card-preview.ready").first().evaluate((node) => node.style.backgroundPosition);
  assert.notEqual(first, later, "the gallery's previews are animated");
  await page.waitForFunction(() => document.querySelectorAll(".card-preview.ready").length >= 12);
  await shot(page, "gallery-1280x800");
  await page.setViewportSize({ width: 1440, height: 900 });
  await shot(page, "gallery-1440x900");
  await page.locator("#broken").scrollIntoViewIfNeeded();
  await shot(page, "gallery-broken-1440x900", { top: false });
  await page.setViewportSize({ width: 1280, height: 800 });
});

test("a template page shows the frame `montage-host render` writes for that time", async () => {
  const { page } = browser;
  await page.goto(studio.url);
  await page.locator(".card", { hasText: "Brisolen" }).first().click();
  await page.waitForSelector("#t-name:text('Brisolen')");
  await page.selectOption("#size", "640x360");
  await page.locator("#inputs-number").fill("4");
  await page.locator("#inputs-number").dispatchEvent("change");
  await page.waitForFunction(() => document.getElementById("frame").dataset.inputs === "4");

  const pictures = [
    solidPicture("red.png", "0xE6194B"),
    solidPicture("green.png", "0x3CB44B"),
    solidPicture("blue.png", "0x0082C8"),
    solidPicture("yellow.png", "0xFFE119"),
  ];
  await page.setInputFiles("#file-picker", pictures);
  await page.waitForFunction(() => document.querySelectorAll("#media-list li").length === 4);

  const reference = path.join(scratch, "reference");
  run(host, ["--plugin-path", pluginFolder, "render", "Brisolen", "--inputs", "4", "--images", ...pictures,
    "--size", "640x360", "--fps", "10", "--seconds", "2", "--out", reference]);
  for (const frame of [7, 13]) {
    const time = frame / 20;
    await seek(page, time);
    const expected = await uniformPlaces(page, path.join(reference, `frame-${String(frame).padStart(4, "0")}.png`));
    const seen = await canvasPixels(page, expected.places);
    assert.equal(seen.width, 640);
    assert.equal(seen.height, 360);
    const colours = new Set(expected.places.map((place) => place.rgb.join(",")));
    assert.ok(expected.places.length >= 20 && colours.size >= 3, `enough places to compare: ${[...colours]}`);
    expected.places.forEach((place, i) => {
      const difference = Math.max(...place.rgb.map((v, c) => Math.abs(v - seen.pixels[i][c])));
      assert.ok(difference <= 12, `t=${time} (${place.x}, ${place.y}): ${seen.pixels[i]} instead of ${place.rgb}`);
    });
  }
  await shot(page, "template-solid-1280x800");
});

test("the input count changes the frame, play advances time, the timeline marks it", async () => {
  const { page } = browser;
  await seek(page, 0.5);
  const before4 = await canvasPixels(page, []);
  await page.locator("#inputs-number").fill("9");
  await page.locator("#inputs-number").dispatchEvent("change");
  await page.waitForFunction(() => document.getElementById("frame").dataset.inputs === "9");
  await seek(page, 0.5);
  const after9 = await canvasPixels(page, []);
  assert.notEqual(after9.digest, before4.digest, "9 inputs draw another frame than 4");
  const state = await sessionState(page);
  assert.equal(state.settings.inputs, 9);
  const rows = await page.locator("#kf-body tr").count();
  assert.equal(rows, Math.min(300, state.keyFrameCount), "one table row per keyframe");

  // Dragging the first picture after the second swaps them: the frame changes with them.
  const order = (await sessionState(page)).media.map((item) => item.name);
  await page.locator("#media-list li").nth(0).dragTo(page.locator("#media-list li").nth(1), {
    targetPosition: { x: 60, y: 20 },
  });
  await page.waitForFunction(
    (first) => document.querySelector("#media-list li img").alt !== first, order[0]);
  const swapped = (await sessionState(page)).media.map((item) => item.name);
  assert.deepEqual(swapped, [order[1], order[0], ...order.slice(2)]);
  await seek(page, 0.5);
  assert.notEqual((await canvasPixels(page, [])).digest, after9.digest, "reordered pictures draw another frame");

  // The keyframes copy as the core exports them.
  await page.click("#copy-json");
  await page.waitForSelector(".toast:text('Copied')");
  const copied = JSON.parse(await page.evaluate(() => navigator.clipboard.readText()));
  assert.equal(copied.inputCount, 9);
  assert.equal(copied.template, "Brisolen");

  // Play, then pause: time has moved on and the frame with it.
  await seek(page, 0.1);
  await page.click("#play");
  await page.waitForTimeout(700);
  await page.click("#play");
  const time = Number(await page.locator("#scrubber").inputValue());
  assert.ok(time > 0.2, `playing for 0.7 s of a 2 s effect moved time from 0.1 to ${time}`);
  await page.waitForFunction(() => Number(document.getElementById("frame").dataset.time) > 0.15);

  // The marker stands at the time on the chart's time axis.
  await seek(page, 0.35);
  const { timeline } = await sessionState(page);
  const box = await page.locator("#timeline").boundingBox();
  const marker = await page.locator("#timeline-marker").boundingBox();
  const expectedX = box.x + ((timeline.laneLeft + 0.35 * (timeline.laneRight - timeline.laneLeft)) / timeline.width) * box.width;
  assert.ok(Math.abs(marker.x + marker.width / 2 - expectedX) < 1.5, `marker at ${marker.x}, expected ${expectedX}`);
  // Arrow keys step one frame of the effect (fps × seconds frames).
  await page.locator("body").press("ArrowRight");
  const next = (Math.round(0.35 * state.frameSteps) + 1) / state.frameSteps;
  await page.waitForFunction((t) => document.getElementById("frame").dataset.time === String(t), next);
});

// Pictures and a clip with something to look at, for the screenshots of a working page.
function showcaseMedia() {
  const files = [1, 2, 3, 4, 5].map((seed) => {
    const file = path.join(scratch, `gradient-${seed}.png`);
    run(ffmpeg, ["-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", `gradients=s=800x600:seed=${seed}:n=4`,
      "-frames:v", "1", file]);
    return file;
  });
  const fractal = path.join(scratch, "fractal.jpg");
  run(ffmpeg, ["-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "mandelbrot=s=800x600", "-frames:v", "1", fractal]);
  const clip = path.join(scratch, "test-card.mp4");
  run(ffmpeg, ["-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=4",
    "-c:v", "libx264", "-pix_fmt", "yuv420p", clip]);
  return [...files.slice(0, 3), clip, ...files.slice(3), fractal];
}

test("a render downloads as a video of the asked size, frame rate and running time", async () => {
  const { page } = browser;
  await page.click("#media-clear");
  await page.waitForFunction(() => document.querySelectorAll("#media-list li").length === 0);
  await page.setInputFiles("#file-picker", showcaseMedia());
  await page.waitForFunction(() => document.querySelectorAll("#media-list li").length === 7);
  await page.locator("#inputs-number").fill("16");
  await page.locator("#inputs-number").dispatchEvent("change");
  await page.waitForFunction(() => document.getElementById("frame").dataset.inputs === "16");
  await page.selectOption("#size", "960x540");
  await page.waitForFunction(() => document.getElementById("render-summary").textContent.startsWith("960 × 540"));
  await seek(page, 0.42);
  await shot(page, "template-1280x800");
  await page.setViewportSize({ width: 1440, height: 900 });
  await seek(page, 0.58);
  await shot(page, "template-1440x900");
  await page.setViewportSize({ width: 1280, height: 800 });

  await page.selectOption("#fps", "12");
  await page.waitForFunction(() => document.getElementById("render-summary").textContent.includes("12 fps"));

  // A long one is cancelled half-way.
  await page.locator("#seconds").fill("60");
  await page.locator("#seconds").dispatchEvent("change");
  await page.waitForFunction(() => document.getElementById("render-summary").textContent.includes("60 s"));
  await page.click("#format button[data-value='mp4']");
  await page.click("#render");
  await page.waitForFunction(() => {
    const job = document.querySelector("#jobs li.running .job-state");
    return job && parseInt(job.textContent, 10) >= 15;
  });
  await shot(page, "render-running-1280x800");
  await page.click("#jobs li.running button:text('Cancel')");
  await page.waitForSelector("#jobs li.cancelled");

  await page.locator("#seconds").fill("2");
  await page.locator("#seconds").dispatchEvent("change");
  await page.waitForFunction(() => document.getElementById("render-summary").textContent.includes("2 s"));
  await page.click("#render");
  const link = page.locator("#jobs li.done a", { hasText: "Download MP4" }).first();
  await link.waitFor({ timeout: 60000 });
  await shot(page, "render-done-1280x800");
  const [download] = await Promise.all([page.waitForEvent("download"), link.click()]);
  const file = path.join(out, download.suggestedFilename());
  await download.saveAs(file);
  assert.equal(path.basename(file), "Brisolen-960x540.mp4");
  const probe = JSON.parse(run(ffprobe, ["-v", "error", "-show_streams", "-show_format", "-of", "json", file]));
  const video = probe.streams.find((stream) => stream.codec_type === "video");
  assert.equal(video.width, 960);
  assert.equal(video.height, 540);
  assert.equal(video.r_frame_rate, "12/1");
  assert.ok(Math.abs(Number(probe.format.duration) - 2) < 0.05, `duration ${probe.format.duration}`);
});

// ---- A plug-in rebuilt under an open page ----------------------------------------------------

test("a plug-in rebuilt on disk reaches the open page, and a broken one shows its reason", async () => {
  const live = fs.mkdtempSync(path.join(scratch, "live-"));
  const library = path.join(live, "Live.so");
  fs.copyFileSync(path.join(pluginFolder, "Brisolen.so"), library);
  const liveStudio = await startStudio(live);
  const { context, page } = await openBrowser(1280, 800);
  try {
    await page.goto(liveStudio.url);
    await page.locator(".card").first().click();
    await page.waitForSelector("#t-name:text('Brisolen')");
    await seek(page, 0.5);
    const before = await canvasPixels(page, []);
    const keyframes = await page.locator("#kf-body").textContent();

    replaceFile(path.join(pluginFolder, "Darvello.so"), library);
    await page.waitForSelector("#t-name:text('Darvello')", { timeout: 20000 });
    await page.waitForFunction((old) => document.getElementById("kf-body").textContent !== old, keyframes);
    await seek(page, 0.5);
    assert.notEqual((await canvasPixels(page, [])).digest, before.digest, "the new library's frame is shown");

    replaceFile(path.join(fixtures, "scan", "NullFromCreate.so"), library);
    await page.waitForSelector("#frame-error:not([hidden])", { timeout: 20000 });
    assert.match(await page.locator("#frame-error-text").textContent(), /CreateEffect returned no effect/);
    await shot(page, "live-broken-1280x800");

    replaceFile(path.join(pluginFolder, "Brisolen.so"), library);
    await page.waitForSelector("#frame-error", { state: "hidden", timeout: 20000 });
    await page.waitForSelector("#t-name:text('Brisolen')");
  } finally {
    await context.close();
    await liveStudio.stop();
  }
});

after(() => fs.rmSync(scratch, { recursive: true, force: true }));

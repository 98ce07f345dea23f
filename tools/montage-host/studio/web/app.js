// Montage Studio: the page. Two views in one document, chosen by the address's hash:
//   #/          the gallery of templates (and the plug-ins that are broken)
//   #/t/ID      one template: player, timeline, keyframes, settings, media, renders
// Everything the page shows comes from the studio's API; frames are drawn by the server
// with the same renderer as `montage-host render`.
"use strict";

const token = document.querySelector('meta[name="studio-token"]').content;
const $ = (id) => document.getElementById(id);

// ---- Talking to the studio ------------------------------------------------------------

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function api(method, path, body) {
  const options = { method, headers: {} };
  if (method !== "GET") options.headers["X-Studio-Token"] = token;
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  } else if (method !== "GET") {
    options.body = "";
  }
  const response = await fetch(path, options);
  if (!response.ok) throw new ApiError(response.status, (await response.text()).trim() || response.statusText);
  if (response.status === 204) return null;
  const type = response.headers.get("Content-Type") || "";
  return type.startsWith("application/json") ? response.json() : response.text();
}

// ---- Small helpers ----------------------------------------------------------------------

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function toast(text, bad = false) {
  const node = element("div", bad ? "toast bad" : "toast", text);
  $("toasts").append(node);
  setTimeout(() => node.remove(), bad ? 6000 : 3000);
}

function rangeText(info) {
  return info.maxInputs < 0 ? `${info.minInputs}+ inputs` : `${info.minInputs}–${info.maxInputs} inputs`;
}

function sizeText(bytes) {
  const units = ["bytes", "KB", "MB", "GB"];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return `${unit === 0 || value >= 100 ? Math.round(value) : value.toFixed(1)} ${units[unit]}`;
}

// The colour of an input's placeholder card, as the server's renderer picks it.
function placeholderColour(index) {
  const phi = (1 + Math.sqrt(5)) / 2;
  const turns = index * (phi - 1);
  const hue = 6 * (turns - Math.floor(turns));
  const chroma = 0.95 * 0.75;
  const x = chroma * (1 - Math.abs((hue % 2) - 1));
  const m = 0.95 - chroma;
  const [r, g, b] = [[chroma, x, 0], [x, chroma, 0], [0, chroma, x], [0, x, chroma], [x, 0, chroma], [chroma, 0, x]][
    Math.min(5, Math.floor(hue))
  ];
  const byte = (v) => Math.round((v + m) * 255);
  return `rgb(${byte(r)}, ${byte(g)}, ${byte(b)})`;
}

function shortNumber(value) {
  if (typeof value !== "number") return String(value);
  if (Number.isInteger(value)) return String(value);
  return value.toFixed(4).replace(/0+$/, "").replace(/\.$/, "");
}

async function copyText(text) {
  if (navigator.clipboard && window.isSecureContext) {
    await navigator.clipboard.writeText(text);
    return;
  }
  const area = element("textarea");
  area.value = text;
  document.body.append(area);
  area.select();
  document.execCommand("copy");
  area.remove();
}

// ---- The session --------------------------------------------------------------------------
// One per page, kept across reloads of the tab (sessionStorage): it holds the uploads.

const studio = {
  session: null,  // the last state the server sent
  catalog: null,
  view: null,     // "gallery" | "template"
};

async function openSession() {
  const saved = sessionStorage.getItem("montage-studio-session");
  if (saved && /^[0-9a-f]{32}$/.test(saved)) {
    try {
      studio.session = await api("GET", `/api/sessions/${saved}`);
      return;
    } catch (error) {
      if (!(error instanceof ApiError) || error.status !== 404) throw error;
    }
  }
  studio.session = await api("POST", "/api/sessions");
  sessionStorage.setItem("montage-studio-session", studio.session.id);
}

const sessionPath = (rest = "") => `/api/sessions/${studio.session.id}${rest}`;

// Applies a state from the server; redraws what depends on what changed.
function adoptState(state) {
  const before = studio.session;
  studio.session = state;
  if (studio.view !== "template") return;
  const changed = !before || before.version !== state.version || before.settings.template !== state.settings.template;
  showTemplateState(state, changed);
}

async function changeSettings(change) {
  try {
    adoptState(await api("PUT", sessionPath("/settings"), change));
  } catch (error) {
    toast(error.message, true);
    adoptState(await api("GET", sessionPath()));
  }
}

// Asks for the session's state now and then: it keeps the session alive, shows render
// progress and brings in plug-ins rebuilt on disk (their keyframes, or why they fail).
let pollTimer = 0;
async function poll() {
  clearTimeout(pollTimer);
  try {
    const state = await api("GET", sessionPath());
    const generationChanged = studio.session && state.generation !== studio.session.generation;
    if (generationChanged && studio.view === "template" && state.version !== studio.session.version) {
      toast(state.error ? "The plug-in changed and now fails" : "The plug-in changed on disk: reloaded");
    }
    adoptState(state);
    if (generationChanged && studio.view === "gallery") await showGallery();
  } catch (error) {
    if (error instanceof ApiError && error.status === 404) {
      sessionStorage.removeItem("montage-studio-session");
      await openSession();
      await route();
    }
  }
  const rendering = (studio.session?.renders || []).some((job) => job.state === "queued" || job.state === "running");
  pollTimer = setTimeout(poll, rendering ? 400 : 1000);
}

// A closed or left page stops its renders; the session itself ends a little later, so a
// reload takes it up again.
window.addEventListener("pagehide", () => {
  if (!studio.session) return;
  fetch(sessionPath("/leave"), { method: "POST", keepalive: true, headers: { "X-Studio-Token": token }, body: "" });
});

// ---- Routing ------------------------------------------------------------------------------

async function route() {
  const match = location.hash.match(/^#\/t\/([0-9a-f]{16})$/);
  stopPlaying();
  if (match) {
    await showTemplate(match[1]);
  } else {
    await showGallery();
  }
}
window.addEventListener("hashchange", route);

function setCrumbs(parts) {
  const nav = $("crumbs");
  nav.replaceChildren();
  parts.forEach((part, i) => {
    if (i > 0) nav.append(element("span", "sep", "/"));
    if (part.href) {
      const link = element("a", "", part.text);
      link.href = part.href;
      nav.append(link);
    } else {
      nav.append(element("span", "current", part.text));
    }
  });
}

// ---- Gallery ------------------------------------------------------------------------------

const previews = new Map();  // template id -> { url, failed }
let previewTimer = 0;

async function showGallery() {
  studio.view = "gallery";
  $("template-view").hidden = true;
  $("gallery-view").hidden = false;
  document.title = "Montage Studio";
  setCrumbs([{ text: "Templates" }]);
  const catalog = await api("GET", "/api/templates");
  studio.catalog = catalog;
  const count = catalog.templates.length;
  const summary = $("gallery-summary");
  summary.replaceChildren(`${count} template${count === 1 ? "" : "s"} from ${catalog.directories.join(", ")}`);
  if (catalog.failures.length) {
    const link = element("button", "link-button", `${catalog.failures.length} broken plug-in${catalog.failures.length === 1 ? "" : "s"}`);
    link.addEventListener("click", () => $("broken").scrollIntoView({ behavior: "smooth" }));
    summary.append(" · ", link);
  }
  $("topbar-note").textContent = "";
  $("no-templates").hidden = count > 0;
  const warnings = $("gallery-warnings");
  warnings.replaceChildren(...catalog.warnings.map((warning) => element("li", "", warning)));
  warnings.hidden = catalog.warnings.length === 0;

  const cards = $("cards");
  cards.replaceChildren();
  for (const info of catalog.templates) {
    const card = element("a", "card");
    card.href = `#/t/${info.id}`;
    card.dataset.template = info.id;
    const preview = element("div", "card-preview", "drawing…");
    preview.dataset.template = info.id;
    const body = element("div", "card-body");
    const title = element("div", "card-title");
    title.append(element("strong", "", info.name || "(no name)"));
    if (info.displayName && info.displayName !== info.name) title.append(element("span", "", info.displayName));
    const meta = element("div", "card-meta");
    meta.append(element("span", "chip", rangeText(info)));
    if (info.templateCode >= 0) meta.append(element("span", "chip", `code ${info.templateCode}`));
    body.append(title, meta);
    card.append(preview, body);
    cards.append(card);
    loadPreview(info.id, preview, catalog.generation);
  }

  const list = $("broken-list");
  list.replaceChildren();
  for (const failure of catalog.failures) {
    const item = element("li");
    item.append(element("div", "lib", failure.library));
    item.append(element("div", "reason", failure.reason));
    item.append(element("div", "path", failure.path));
    list.append(item);
  }
  $("broken-count").textContent = catalog.failures.length;
  $("broken").hidden = catalog.failures.length === 0;

  clearInterval(previewTimer);
  let frame = 0;
  const frames = catalog.previewFrames;
  previewTimer = setInterval(() => {
    frame = (frame + 1) % frames;
    for (const node of document.querySelectorAll(".card-preview.ready")) {
      node.style.backgroundPosition = `${(frame * 100) / (frames - 1)}% 0`;
    }
  }, 1000 / 12);
}

async function loadPreview(id, node, generation) {
  const key = `${id}@${generation}`;
  let preview = previews.get(key);
  if (!preview) {
    preview = { promise: null };
    previews.set(key, preview);
    preview.promise = (async () => {
      const response = await fetch(`/api/templates/${id}/preview.jpg`);
      if (!response.ok) throw new Error((await response.text()).trim());
      return URL.createObjectURL(await response.blob());
    })();
  }
  try {
    const url = await preview.promise;
    node.textContent = "";
    node.style.backgroundImage = `url("${url}")`;
    node.classList.add("ready");
  } catch (error) {
    node.textContent = error.message;
    node.classList.add("failed");
  }
}

// ---- Template page -----------------------------------------------------------------------

const player = {
  name: "",
  time: 0,
  playing: false,
  lastTick: 0,
  inFlight: false,
  pending: false,
  drawnVersion: -1,
  controller: null,
};

async function showTemplate(id) {
  clearInterval(previewTimer);
  studio.view = "template";
  $("gallery-view").hidden = true;
  $("template-view").hidden = false;
  if (studio.session.settings.template !== id) {
    player.time = 0;
    try {
      studio.session = await api("PUT", sessionPath("/settings"), { template: id });
    } catch (error) {
      toast(error.message, true);
      location.hash = "#/";
      return;
    }
  }
  showTemplateState(studio.session, true);
  layoutPlayer();
}

// Fills the page from a session state; `changed`: what is drawn must be fetched anew.
function showTemplateState(state, changed) {
  const info = state.template;
  // A plug-in that fails keeps the name it had, beside its file's.
  if (info) player.name = info.name || "(no name)";
  const name = info ? player.name : player.name || state.library || "Template";
  document.title = `${name} · Montage Studio`;
  setCrumbs([{ text: "Templates", href: "#/" }, { text: name }]);
  $("t-name").textContent = name;
  $("t-range").textContent = info ? rangeText(info) : "";
  $("t-code").textContent = info && info.templateCode >= 0 ? `code ${info.templateCode}` : "";
  $("t-library").textContent = state.library || "";
  for (const panel of document.querySelectorAll(".needs-template")) panel.classList.toggle("unavailable", !state.timeline);
  $("topbar-note").textContent = `uploads: ${sizeText(state.limits.used)} of ${state.limits.totalText}`;

  showSettings(state);
  showMedia(state);
  showRenders(state);

  $("frame-error").hidden = !state.error;
  $("frame-error-text").textContent = state.error || "";
  $("render").disabled = Boolean(state.error);
  if (changed) {
    layoutPlayer();
    requestFrame();
    showTimeline(state);
    showKeyframes(state);
  }
  showTime();
}

function showSettings(state) {
  const settings = state.settings;
  const info = state.template;
  const frames = Math.round(settings.fps * settings.seconds);
  $("render-summary").textContent =
    `${settings.width} × ${settings.height} · ${settings.fps} fps · ${settings.seconds} s · ${frames} frames`;
  if (!state.timeline) return;  // nothing built: the last count stays shown
  const limit = info ? info.inputLimit : 64;
  const slider = $("inputs-slider");
  slider.max = String(Math.max(limit, settings.inputs));
  const number = $("inputs-number");
  number.max = String(state.limits.maxInputs);
  if (document.activeElement !== number) number.value = settings.inputs;
  if (document.activeElement !== slider) slider.value = settings.inputs;
  const mark = $("min-mark");
  if (info && info.minInputs > 1) {
    const max = Number(slider.max);
    // The thumb's centre runs from half a thumb in to half a thumb from the end.
    const fraction = (info.minInputs - 1) / Math.max(1, max - 1);
    mark.style.left = `calc(8px + (100% - 16px) * ${Math.min(1, fraction)})`;
    mark.firstElementChild.textContent = `min ${info.minInputs}`;
    mark.hidden = false;
  } else {
    mark.hidden = true;
  }
  const hint = $("inputs-hint");
  const below = info && settings.inputs < info.minInputs;
  const above = info && info.maxInputs >= 0 && settings.inputs > info.maxInputs;
  hint.classList.toggle("warn", Boolean(below || above));
  hint.textContent = !info
    ? ""
    : below
      ? `${info.name} is designed for at least ${info.minInputs} inputs`
      : above
        ? `${info.name} is designed for at most ${info.maxInputs} inputs`
        : `default ${info.defaultInputs}`;
  if (document.activeElement !== $("seconds")) $("seconds").value = settings.seconds;
  const fps = $("fps");
  if (![...fps.options].some((option) => Number(option.value) === settings.fps)) {
    fps.append(element("option", "", String(settings.fps)));
  }
  fps.value = String(settings.fps);
  const size = $("size");
  const sizeValue = `${settings.width}x${settings.height}`;
  if (![...size.options].some((option) => option.value === sizeValue)) {
    const option = element("option", "", `${settings.width} × ${settings.height}`);
    option.value = sizeValue;
    size.append(option);
  }
  size.value = sizeValue;
  for (const button of $("fit").children) button.classList.toggle("on", button.dataset.value === settings.fit);
}

// ---- Player -------------------------------------------------------------------------------

// Fits the player into the space left beside the sidebar and above the fold, in the
// output's proportions.
function layoutPlayer() {
  if (studio.view !== "template" || !studio.session) return;
  const { width, height } = studio.session.settings;
  const box = $("player");
  const availableWidth = box.clientWidth;
  const availableHeight = Math.max(220, window.innerHeight - 230);
  let shownWidth = availableWidth;
  let shownHeight = (shownWidth * height) / width;
  if (shownHeight > availableHeight) {
    shownHeight = availableHeight;
    shownWidth = (shownHeight * width) / height;
  }
  const canvas = $("frame");
  canvas.style.width = `${Math.round(shownWidth)}px`;
  canvas.style.height = `${Math.round(shownHeight)}px`;
  box.style.height = `${Math.round(shownHeight)}px`;
}
window.addEventListener("resize", () => {
  layoutPlayer();
  requestFrame();
});

// The pixel size frames are asked for: the shown size on this screen, never more than
// the output size, in the output's proportions.
function frameSize() {
  const { width, height } = studio.session.settings;
  const canvas = $("frame");
  const shown = parseFloat(canvas.style.width) || width;
  const scale = Math.min(1, (shown * (window.devicePixelRatio || 1)) / width);
  return { w: Math.max(16, Math.round(width * scale)), h: Math.max(9, Math.round(height * scale)) };
}

// Asks for the frame at the current time. One request at a time: while one is on its
// way, later times collapse into one request for the latest.
async function requestFrame() {
  if (studio.view !== "template" || !studio.session || studio.session.error) return;
  if (player.inFlight) {
    player.pending = true;
    return;
  }
  player.inFlight = true;
  player.pending = false;
  const time = player.time;
  const version = studio.session.version;
  const { w, h } = frameSize();
  try {
    const response = await fetch(sessionPath(`/frame?t=${time}&w=${w}&h=${h}`));
    if (!response.ok) throw new ApiError(response.status, (await response.text()).trim());
    const bitmap = await createImageBitmap(await response.blob());
    const canvas = $("frame");
    if (canvas.width !== bitmap.width || canvas.height !== bitmap.height) {
      canvas.width = bitmap.width;
      canvas.height = bitmap.height;
    }
    canvas.getContext("2d").drawImage(bitmap, 0, 0);
    bitmap.close();
    canvas.dataset.time = String(time);
    canvas.dataset.version = String(version);
    canvas.dataset.inputs = String(studio.session.settings.inputs);
    player.drawnVersion = version;
  } catch (error) {
    if (error instanceof ApiError && (error.status === 409 || error.status === 422)) {
      $("frame-error").hidden = false;
      $("frame-error-text").textContent = error.message;
    } else if (error instanceof ApiError && error.status === 404) {
      poll();
    }
  } finally {
    player.inFlight = false;
    if (player.pending) requestFrame();
  }
}

function frameSteps() {
  return Math.max(1, studio.session ? studio.session.frameSteps : 60);
}

function showTime() {
  const t = player.time;
  const settings = studio.session.settings;
  const steps = frameSteps();
  $("readout-time").textContent = t.toFixed(3);
  $("readout-detail").textContent =
    `${(t * settings.seconds).toFixed(2)} s of ${settings.seconds.toFixed(2)} s · frame ${Math.round(t * steps)} of ${steps}`;
  const scrubber = $("scrubber");
  if (document.activeElement !== scrubber || player.playing) scrubber.value = String(t);
  const timeline = studio.session.timeline;
  const marker = $("timeline-marker");
  if (timeline) {
    const x = timeline.laneLeft + Math.min(1, Math.max(0, t)) * (timeline.laneRight - timeline.laneLeft);
    marker.style.left = `${(x / timeline.width) * 100}%`;
    marker.style.top = `${(timeline.rowsTop / timeline.height) * 100}%`;
    marker.style.height = `${((timeline.rowsShown * timeline.rowHeight) / timeline.height) * 100}%`;
    marker.dataset.time = String(t);
    marker.hidden = false;
  } else {
    marker.hidden = true;
  }
  highlightKeyframes(t);
}

function seek(time) {
  player.time = Math.min(1, Math.max(0, time));
  showTime();
  requestFrame();
}

function step(direction) {
  stopPlaying();
  const steps = frameSteps();
  seek(Math.round(player.time * steps + direction) / steps);
}

function tick(now) {
  if (!player.playing) return;
  const settings = studio.session.settings;
  const elapsed = (now - player.lastTick) / 1000;
  player.lastTick = now;
  let time = player.time + elapsed / settings.seconds;
  if (time > 1) time = 0;  // plays in a loop
  seek(time);
  requestAnimationFrame(tick);
}

function startPlaying() {
  if (player.playing || studio.session.error) return;
  if (player.time >= 1) player.time = 0;
  player.playing = true;
  player.lastTick = performance.now();
  $("play").classList.add("playing");
  $("play").setAttribute("aria-label", "Pause");
  requestAnimationFrame(tick);
}

function stopPlaying() {
  player.playing = false;
  $("play").classList.remove("playing");
  $("play").setAttribute("aria-label", "Play");
}

$("play").addEventListener("click", () => (player.playing ? stopPlaying() : startPlaying()));
$("step-back").addEventListener("click", () => step(-1));
$("step-forward").addEventListener("click", () => step(1));
$("scrubber").addEventListener("input", (event) => {
  stopPlaying();
  seek(Number(event.target.value));
});

document.addEventListener("keydown", (event) => {
  if (studio.view !== "template") return;
  const target = event.target;
  const typing = target instanceof HTMLInputElement && target.type !== "range";
  if (typing || target instanceof HTMLSelectElement || target instanceof HTMLTextAreaElement) return;
  if (event.key === "ArrowLeft" || event.key === "ArrowRight") {
    event.preventDefault();
    step(event.key === "ArrowLeft" ? -1 : 1);
  } else if (event.key === " ") {
    event.preventDefault();
    player.playing ? stopPlaying() : startPlaying();
  } else if (event.key === "Home" || event.key === "End") {
    event.preventDefault();
    stopPlaying();
    seek(event.key === "Home" ? 0 : 1);
  }
});

// ---- Timeline -----------------------------------------------------------------------------

function showTimeline(state) {
  const image = $("timeline");
  if (!state.timeline) {
    image.removeAttribute("src");
    $("timeline-wrap").hidden = true;
    return;
  }
  $("timeline-wrap").hidden = false;
  image.width = state.timeline.width;
  image.height = state.timeline.height;
  image.src = sessionPath(`/timeline.png?v=${state.version}`);
}

$("timeline-wrap").addEventListener("click", (event) => {
  const timeline = studio.session.timeline;
  if (!timeline) return;
  const box = event.currentTarget.getBoundingClientRect();
  const x = ((event.clientX - box.left) / box.width) * timeline.width;
  const time = (x - timeline.laneLeft) / (timeline.laneRight - timeline.laneLeft);
  if (time >= -0.02 && time <= 1.02) {
    stopPlaying();
    seek(time);
  }
});

// ---- Keyframes ----------------------------------------------------------------------------

const keyframes = { rows: [], shownAll: false, version: -1 };
const kRowsShown = 300;

async function showKeyframes(state) {
  const body = $("kf-body");
  if (!state.timeline) {
    body.replaceChildren();
    $("kf-summary").textContent = "";
    $("kf-more").hidden = true;
    return;
  }
  const version = state.version;
  let data;
  try {
    data = await api("GET", sessionPath("/keyframes.json"));
  } catch {
    return;
  }
  if (studio.session.version !== version) return;  // a newer state is on its way
  keyframes.rows = [];
  for (const input of data.inputs) {
    input.keyFrames.forEach((frame, k) => keyframes.rows.push({ input: input.index, k, frame }));
  }
  keyframes.version = version;
  $("kf-summary").textContent =
    `${keyframes.rows.length} keyframes of ${data.inputCount} inputs · aux values are in the copies`;
  fillKeyframes();
}

function fillKeyframes() {
  const rows = keyframes.shownAll ? keyframes.rows : keyframes.rows.slice(0, kRowsShown);
  const body = $("kf-body");
  const fragment = document.createDocumentFragment();
  for (const { input, k, frame } of rows) {
    const row = element("tr", k === 0 ? "first" : "");
    row.dataset.input = input;
    row.dataset.time = frame.time;
    const first = element("td");
    if (k === 0) {
      const swatch = element("span", "swatch");
      swatch.style.background = placeholderColour(input);
      first.append(swatch, document.createTextNode(String(input)));
    }
    row.append(first);
    for (const value of [k, frame.time, frame.posX, frame.posY, frame.scale, frame.opacity, frame.rotation]) {
      row.append(element("td", "", shortNumber(value)));
    }
    fragment.append(row);
  }
  body.replaceChildren(fragment);
  const more = $("kf-more");
  more.hidden = keyframes.shownAll || keyframes.rows.length <= kRowsShown;
  more.textContent = `Show all ${keyframes.rows.length} keyframes`;
  highlightKeyframes(player.time);
}

// Marks the keyframes that lie at the current time.
function highlightKeyframes(time) {
  for (const row of document.querySelectorAll("#kf-body tr")) {
    row.classList.toggle("at", Math.abs(Number(row.dataset.time) - time) < 1e-9);
  }
}

$("kf-more").addEventListener("click", () => {
  keyframes.shownAll = true;
  fillKeyframes();
});

for (const [button, format] of [["copy-json", "json"], ["copy-csv", "csv"]]) {
  $(button).addEventListener("click", async () => {
    try {
      const text = await (await fetch(sessionPath(`/keyframes.${format}`))).text();
      await copyText(text);
      toast(`Copied ${keyframes.rows.length} keyframes as ${format.toUpperCase()}`);
    } catch (error) {
      toast(`Could not copy: ${error.message}`, true);
    }
  });
}

// ---- Settings -------------------------------------------------------------------------------

let inputsTimer = 0;
function setInputs(value) {
  const count = Math.round(Number(value));
  if (!Number.isFinite(count) || count < 1) return;
  clearTimeout(inputsTimer);
  inputsTimer = setTimeout(() => changeSettings({ inputs: Math.min(count, studio.session.limits.maxInputs) }), 120);
}
$("inputs-slider").addEventListener("input", (event) => {
  $("inputs-number").value = event.target.value;
  setInputs(event.target.value);
});
$("inputs-number").addEventListener("change", (event) => setInputs(event.target.value));
$("seconds").addEventListener("change", (event) => {
  const seconds = Number(event.target.value);
  if (seconds > 0) changeSettings({ seconds });
});
$("fps").addEventListener("change", (event) => changeSettings({ fps: Number(event.target.value) }));
$("size").addEventListener("change", (event) => {
  const [width, height] = event.target.value.split("x").map(Number);
  changeSettings({ width, height });
});
$("fit").addEventListener("click", (event) => {
  const value = event.target.dataset?.value;
  if (value) changeSettings({ fit: value });
});

// ---- Pictures and clips ---------------------------------------------------------------------

function showMedia(state) {
  const list = $("media-list");
  const ids = state.media.map((item) => item.id).join(",");
  if (list.dataset.ids !== ids) {
    list.dataset.ids = ids;
    list.replaceChildren();
    state.media.forEach((item, index) => {
      const entry = element("li");
      entry.draggable = true;
      entry.dataset.id = item.id;
      entry.title = `${item.name} · ${item.width} × ${item.height}${item.kind === "clip" ? ` · ${item.seconds.toFixed(1)} s` : ""} · ${sizeText(item.bytes)}`;
      const thumb = element("img");
      thumb.alt = item.name;
      thumb.src = sessionPath(`/media/${item.id}/thumb.jpg`);
      const remove = element("button", "remove", "×");
      remove.title = `Remove ${item.name}`;
      remove.addEventListener("click", async (event) => {
        event.preventDefault();
        adoptState(await api("DELETE", sessionPath(`/media/${item.id}`)));
      });
      entry.append(thumb, element("span", "index", String(index + 1)), element("span", "kind", item.kind === "clip" ? "▶ clip" : ""), remove);
      list.append(entry);
    });
  }
  $("media-clear").hidden = state.media.length === 0;
  const limits = state.limits;
  $("limits-hint").textContent = `PNG, JPEG or video clips · up to ${limits.perFileText} a file, ${limits.totalText} in all`;
  const hint = $("media-hint");
  hint.replaceChildren();
  const count = state.media.length;
  if (count === 0) {
    hint.textContent = "Without pictures, inputs are numbered cards.";
  } else {
    hint.append(`Input i shows picture i mod ${count}. Drag to reorder. `);
    if (count !== state.settings.inputs) {
      const match = element("button", "", `Use ${count} input${count === 1 ? "" : "s"}`);
      match.addEventListener("click", () => changeSettings({ inputs: count }));
      hint.append(match);
    }
  }
}

$("media-clear").addEventListener("click", async () => adoptState(await api("PUT", sessionPath("/media"), { order: [] })));

// Uploads go one after another, in the order chosen, each checked by the server.
const uploadQueue = [];
let uploading = false;

function queueUploads(files) {
  const limits = studio.session.limits;
  for (const file of files) {
    if (file.size > limits.perFile) {
      uploadError(`${file.name} is ${sizeText(file.size)}; a file may be at most ${limits.perFileText}`);
      continue;
    }
    uploadQueue.push(file);
  }
  if (!uploading) nextUpload();
}

function uploadError(text) {
  const entry = element("li", "error");
  const close = element("button", "", "×");
  close.title = "Dismiss";
  close.addEventListener("click", () => entry.remove());
  entry.append(element("span", "", text), close);
  $("uploads").append(entry);
}

function nextUpload() {
  const file = uploadQueue.shift();
  if (!file) {
    uploading = false;
    return;
  }
  uploading = true;
  const entry = element("li");
  entry.append(element("span", "", `Uploading ${file.name}`));
  const bar = element("div", "bar");
  const fill = element("i");
  bar.append(fill);
  entry.append(bar);
  $("uploads").append(entry);
  const request = new XMLHttpRequest();
  request.open("POST", sessionPath(`/media?name=${encodeURIComponent(file.name)}`));
  request.setRequestHeader("X-Studio-Token", token);
  request.setRequestHeader("Content-Type", "application/octet-stream");
  request.upload.addEventListener("progress", (event) => {
    if (event.lengthComputable) fill.style.width = `${(100 * event.loaded) / event.total}%`;
  });
  request.addEventListener("loadend", async () => {
    entry.remove();
    if (request.status === 201) {
      adoptState(await api("GET", sessionPath()));
    } else {
      uploadError(request.status ? request.responseText.trim() : `${file.name}: the upload failed`);
    }
    nextUpload();
  });
  request.send(file);
}

$("file-picker").addEventListener("change", (event) => {
  queueUploads([...event.target.files]);
  event.target.value = "";
});

// Files dropped anywhere on the template page are uploaded.
let dragDepth = 0;
const carriesFiles = (event) => [...(event.dataTransfer?.types || [])].includes("Files");
document.addEventListener("dragenter", (event) => {
  if (studio.view !== "template" || !carriesFiles(event)) return;
  dragDepth++;
  $("drop-overlay").hidden = false;
  $("dropzone").classList.add("over");
});
document.addEventListener("dragleave", (event) => {
  if (!carriesFiles(event)) return;
  dragDepth = Math.max(0, dragDepth - 1);
  if (dragDepth === 0) {
    $("drop-overlay").hidden = true;
    $("dropzone").classList.remove("over");
  }
});
document.addEventListener("dragover", (event) => {
  if (studio.view === "template" && carriesFiles(event)) event.preventDefault();
});
document.addEventListener("drop", (event) => {
  if (!carriesFiles(event)) return;
  event.preventDefault();
  dragDepth = 0;
  $("drop-overlay").hidden = true;
  $("dropzone").classList.remove("over");
  if (studio.view === "template") queueUploads([...event.dataTransfer.files]);
});

// Reordering by dragging one thumbnail before or after another.
let dragged = null;
const list = $("media-list");
list.addEventListener("dragstart", (event) => {
  const item = event.target.closest("li");
  if (!item) return;
  dragged = item;
  item.classList.add("dragging");
  event.dataTransfer.effectAllowed = "move";
  event.dataTransfer.setData("text/plain", item.dataset.id);
});
list.addEventListener("dragover", (event) => {
  const item = event.target.closest("li");
  if (!dragged || !item || item === dragged) return;
  event.preventDefault();
  const box = item.getBoundingClientRect();
  const after = event.clientX > box.left + box.width / 2;
  for (const other of list.children) other.classList.remove("target-before", "target-after");
  item.classList.add(after ? "target-after" : "target-before");
});
list.addEventListener("drop", async (event) => {
  const item = event.target.closest("li");
  if (!dragged || !item) return;
  event.preventDefault();
  event.stopPropagation();
  const after = item.classList.contains("target-after");
  const ids = [...list.children].map((node) => node.dataset.id).filter((id) => id !== dragged.dataset.id);
  const at = ids.indexOf(item.dataset.id) + (after ? 1 : 0);
  ids.splice(at < 0 ? ids.length : at, 0, dragged.dataset.id);
  adoptState(await api("PUT", sessionPath("/media"), { order: ids }));
});
list.addEventListener("dragend", () => {
  if (dragged) dragged.classList.remove("dragging");
  dragged = null;
  for (const other of list.children) other.classList.remove("target-before", "target-after");
});

// ---- Renders --------------------------------------------------------------------------------

let renderFormat = "mp4";
$("format").addEventListener("click", (event) => {
  const value = event.target.dataset?.value;
  if (!value) return;
  renderFormat = value;
  for (const button of $("format").children) button.classList.toggle("on", button.dataset.value === value);
  $("render").textContent = `Render ${event.target.textContent}`;
});
$("format").firstElementChild.click();

$("render").addEventListener("click", async () => {
  try {
    await api("POST", sessionPath("/renders"), { format: renderFormat });
    adoptState(await api("GET", sessionPath()));
    poll();
  } catch (error) {
    toast(error.message, true);
  }
});

function showRenders(state) {
  const jobs = $("jobs");
  const shown = new Map([...jobs.children].map((node) => [node.dataset.id, node]));
  const wanted = [...state.renders].reverse();  // newest first
  for (const [id, node] of shown) {
    if (!wanted.some((job) => job.id === id)) node.remove();
  }
  wanted.forEach((job, index) => {
    let node = shown.get(job.id);
    if (!node) {
      node = element("li");
      node.dataset.id = job.id;
      const head = element("div", "job-head");
      head.append(element("span", "job-name", job.fileName), element("span", "job-state"));
      const bar = element("div", "bar");
      bar.append(element("i"));
      node.append(head, bar, element("div", "job-error"), element("div", "job-actions"));
    }
    if (jobs.children[index] !== node) jobs.insertBefore(node, jobs.children[index] || null);
    updateJob(node, job);
  });
}

// ", 12 s left" once a render has run long enough to tell.
function timeLeft(job) {
  if (job.framesDone < 2 || job.elapsedSeconds < 1) return "";
  const seconds = (job.elapsedSeconds * (job.frameCount - job.framesDone)) / job.framesDone;
  return seconds >= 90 ? ` · ${Math.round(seconds / 60)} min left` : ` · ${Math.ceil(seconds)} s left`;
}

function updateJob(node, job) {
  if (node.dataset.state === job.state && job.state !== "running" && job.state !== "queued") return;
  const previous = node.dataset.state;
  node.dataset.state = job.state;
  node.className = job.state;
  const state = node.querySelector(".job-state");
  state.className = `job-state ${job.state}`;
  const progress = job.frameCount ? job.framesDone / job.frameCount : 0;
  state.textContent = {
    queued: "waiting",
    running: `${Math.round(progress * 100)}% · frame ${job.framesDone} of ${job.frameCount}${timeLeft(job)}`,
    done: `done · ${sizeText(job.bytes)} · ${job.elapsedSeconds.toFixed(1)} s`,
    failed: "failed",
    cancelled: "cancelled",
  }[job.state];
  node.querySelector(".bar i").style.width = `${job.state === "done" ? 100 : progress * 100}%`;
  node.querySelector(".bar").hidden = job.state === "failed" || job.state === "cancelled";
  node.querySelector(".job-error").textContent = job.error || "";
  if (previous === job.state) return;
  const actions = node.querySelector(".job-actions");
  actions.replaceChildren();
  if (job.state === "queued" || job.state === "running") {
    const cancel = element("button", "button small danger", "Cancel");
    cancel.addEventListener("click", async () => {
      await api("POST", sessionPath(`/renders/${job.id}/cancel`));
      poll();
    });
    actions.append(cancel);
  } else {
    if (job.state === "done") {
      const download = element("a", "button small primary", `Download ${job.format.toUpperCase()}`);
      download.href = sessionPath(`/renders/${job.id}/file`);
      download.download = job.fileName;
      actions.append(download);
    }
    const remove = element("button", "button small ghost", "Remove");
    remove.addEventListener("click", async () => {
      await api("DELETE", sessionPath(`/renders/${job.id}`));
      poll();
    });
    actions.append(remove);
  }
  if (previous === "running" && job.state === "done") toast(`${job.fileName} is ready`);
}

// ---- Start ----------------------------------------------------------------------------------

(async () => {
  await openSession();
  await route();
  poll();
})();

// SPDX-License-Identifier: MIT
// The editor: CodeMirror with EPL2's colours, the stream kept across
// reloads, share links, files opened or dropped, and the character set
// typed text is sent in. The other scripts reach it through window.qb.
"use strict";
const qb = window.qb = {
  $: (id) => document.getElementById(id),
  dropped: null,        // the bytes of a binary stream, sent as they are until the text is edited
  renderSoon: () => {}, // set by labels.js
  renderNow: () => {},
  downloadPdf: () => {},
};

// The printer's character sets for bytes of text: its code pages (I8,p2)
// and the Chinese sets of fonts 8 and 9. The printer starts in DOS 437.
qb.charsets = [
  ["CP437", "DOS 437 (I8,0, the printer's default)"], ["CP850", "DOS 850 (I8,1)"], ["CP852", "DOS 852 (I8,2)"],
  ["CP860", "DOS 860 (I8,3)"], ["CP863", "DOS 863 (I8,4)"], ["CP865", "DOS 865 (I8,5)"], ["CP857", "DOS 857 (I8,6)"],
  ["CP861", "DOS 861 (I8,7)"], ["CP862", "DOS 862 (I8,8)"], ["CP855", "DOS 855 (I8,9)"], ["CP866", "DOS 866 (I8,10)"],
  ["CP737", "DOS 737 (I8,11)"], ["CP851", "DOS 851 (I8,12)"], ["CP869", "DOS 869 (I8,13)"],
  ["CP1252", "Windows 1252 (I8,A)"], ["CP1250", "Windows 1250 (I8,B)"], ["CP1251", "Windows 1251 (I8,C)"],
  ["CP1253", "Windows 1253 (I8,D)"], ["CP1254", "Windows 1254 (I8,E)"], ["CP1255", "Windows 1255 (I8,F)"],
  ["GB2312", "GB2312 (fonts 8 and 9)"], ["GBK", "GBK (fonts 8 and 9)"],
];
const byCodePage = {"0": "CP437", "1": "CP850", "2": "CP852", "3": "CP860", "4": "CP863", "5": "CP865", "6": "CP857",
  "7": "CP861", "8": "CP862", "9": "CP855", "10": "CP866", "11": "CP737", "12": "CP851", "13": "CP869",
  "A": "CP1252", "B": "CP1250", "C": "CP1251", "D": "CP1253", "E": "CP1254", "F": "CP1255"};
for (const [value, name] of qb.charsets) qb.$("charset").add(new Option(name, value));

CodeMirror.defineSimpleMode("epl2", {
  start: [
    {sol: true, regex: /;.*/, token: "comment"},
    {sol: true, regex: /\^default|\^ee|\^@|[A-Z][A-Z]?|[a-z][a-zA-Z]?|\?/, token: "command"},
    {regex: /"(?:[^\\"]|\\.)*"?/, token: "string"},
    {regex: /V\d\d|C\d|TT|TD/, token: "token"},
    {regex: /[-+]?\d+/, token: "number"},
    {regex: /./, token: null},
  ],
});

const sample = 'N\nq400\nQ300,24\nA20,20,0,4,1,1,N,"Hello from quillbar"\nB20,80,0,1,2,6,100,B,"QUILLBAR-1"\n' +
  "LO20,230,360,4\nP1\n";
qb.editor = CodeMirror(qb.$("editing"), {
  value: sample, mode: "epl2", lineNumbers: true, gutters: ["CodeMirror-linenumbers", "bad"],
  specialChars: /[\u0000-\u0008\u000b-\u001f\u007f-\u009f\u00ad\u200b-\u200f\u2028\u2029\ufeff]/,
  extraKeys: {
    "Ctrl-Enter": () => qb.renderNow(), "Cmd-Enter": () => qb.renderNow(),
    "Ctrl-Shift-P": () => qb.downloadPdf(), "Cmd-Shift-P": () => qb.downloadPdf(),
    "F1": () => qb.$("help").scrollIntoView(),
  },
});

// What the service is sent: a binary stream's bytes as they are, or the
// text, which the service turns into the chosen set's bytes.
qb.request = () => qb.dropped !== null
  ? {body: qb.dropped, headers: {"Content-Type": "application/octet-stream"}}
  : {body: qb.editor.getValue(), headers: {"Content-Type": "text/plain; charset=utf-8", "X-Charset": qb.$("charset").value}};

qb.settings = () => ({d: qb.$("density").value, w: qb.$("media-width").value, h: qb.$("media-height").value,
  c: qb.$("charset").value});
qb.applySettings = (s) => {
  if (s.d) qb.$("density").value = s.d;
  if (s.w) qb.$("media-width").value = s.w;
  if (s.h) qb.$("media-height").value = s.h;
  if (s.c && qb.charsets.some(([value]) => value === s.c)) qb.$("charset").value = s.c;
};

// A stream as text, or a binary one (GW/GM data, bytes that are not UTF-8)
// sent as it is and shown as Latin-1.
qb.load = (bytes, name, settings) => {
  let text = null;
  try { text = new TextDecoder("utf-8", {fatal: true}).decode(bytes); } catch (e) { text = null; }
  const binary = text === null || /(^|\n)\s*(GW|GM|ES)/.test(text) || text.includes("\0");
  qb.dropped = binary ? bytes : null;
  qb.editor.setValue(binary ? new TextDecoder("latin1").decode(bytes) : text);
  qb.dropped = binary ? bytes : null;  // setValue's change event cleared it
  qb.$("banner").textContent = binary ? `${name}: a binary stream (${bytes.length} bytes), rendered as it is and ` +
    "shown as Latin-1. Editing it replaces the file with the text." : "";
  qb.$("banner").style.display = binary ? "block" : "none";
  if (settings) qb.applySettings(settings);
  qb.renderNow();
};

// The printer's I command picks the set typed text is sent in.
function followCharacterSet() {
  const line = qb.editor.getValue().match(/^I8,([0-9]{1,2}|[A-F])\b/m);
  if (line && byCodePage[line[1]]) qb.$("charset").value = byCodePage[line[1]];
}

qb.editor.on("change", (cm, change) => {
  if (change.origin !== "setValue" && qb.dropped !== null) {
    qb.dropped = null;
    qb.$("banner").style.display = "none";
  }
  followCharacterSet();
  save();
  qb.renderSoon();
});
for (const id of ["density", "media-width", "media-height", "charset"])
  qb.$(id).addEventListener("change", () => { save(); qb.renderSoon(); });

// Kept across reloads, in this browser.
function save() {
  try {
    localStorage.setItem("quillbar-preview", JSON.stringify({t: qb.dropped === null ? qb.editor.getValue() : null,
      ...qb.settings()}));
  } catch (e) { /* storage full or off: nothing kept */ }
}

// Share links: the stream and settings, deflated (the browser's own
// CompressionStream), in the URL's fragment, which never reaches a server.
async function deflate(bytes, how) {
  const stream = new Blob([bytes]).stream().pipeThrough(how);
  return new Uint8Array(await new Response(stream).arrayBuffer());
}
function toBase64Url(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length; i += 8192) text += String.fromCharCode(...bytes.subarray(i, i + 8192));
  return btoa(text).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
}
const fromBase64Url = (text) => Uint8Array.from(atob(text.replace(/-/g, "+").replace(/_/g, "/")), (c) => c.charCodeAt(0));
qb.shareLink = async () => {
  const payload = {...qb.settings()};
  if (qb.dropped !== null) payload.b = toBase64Url(qb.dropped); else payload.t = qb.editor.getValue();
  const packed = await deflate(new TextEncoder().encode(JSON.stringify(payload)), new CompressionStream("deflate-raw"));
  return `${location.origin}${location.pathname}#s=${toBase64Url(packed)}`;
};
qb.$("share").addEventListener("click", async () => {
  const link = await qb.shareLink();
  history.replaceState(null, "", link);
  try { await navigator.clipboard.writeText(link); qb.$("status").textContent = "The share link is copied and in the address bar."; }
  catch (e) { qb.$("status").textContent = "The share link is in the address bar."; }
});

async function openShared() {
  const packed = fromBase64Url(location.hash.slice(3));
  const payload = JSON.parse(new TextDecoder().decode(await deflate(packed, new DecompressionStream("deflate-raw"))));
  if (payload.b !== undefined) qb.load(fromBase64Url(payload.b), "the shared stream", payload);
  else {
    qb.applySettings(payload);
    qb.editor.setValue(payload.t || "");
  }
}

// Files opened or dropped.
async function loadFile(file) { qb.load(new Uint8Array(await file.arrayBuffer()), file.name); }
qb.$("open-button").addEventListener("click", () => qb.$("open").click());
qb.$("open").addEventListener("change", () => { if (qb.$("open").files[0]) loadFile(qb.$("open").files[0]); });
document.addEventListener("dragover", (e) => { e.preventDefault(); document.body.classList.add("dragging"); });
document.addEventListener("dragleave", () => document.body.classList.remove("dragging"));
document.addEventListener("drop", (e) => {
  e.preventDefault();
  document.body.classList.remove("dragging");
  if (e.dataTransfer.files[0]) loadFile(e.dataTransfer.files[0]);
});

// At the start: a share link, or what this browser kept, or the sample.
qb.start = async () => {
  try {
    if (location.hash.startsWith("#s=")) return await openShared();
    const kept = JSON.parse(localStorage.getItem("quillbar-preview") || "null");
    if (kept) {
      qb.applySettings(kept);
      if (typeof kept.t === "string") qb.editor.setValue(kept.t);
    }
  } catch (e) {
    qb.$("status").textContent = `The stream could not be restored: ${e.message}`;
  }
  qb.renderNow();
};

// SPDX-License-Identifier: MIT
// The labels: one request an edit (the report with the shown labels'
// pictures in it), the diagnostics marked on their lines, zoom and fit to
// width, and what is under the pointer: its dots, its element outlined, its
// line; a click goes to that line.
"use strict";
(() => {
  const {$, editor} = qb;
  const maxShown = 20;  // labels drawn on the page; the PDF has them all
  let generation = 0;   // renders still running for older text are dropped
  let marked = [];      // editor lines marked bad or drawn
  let shown = [];       // the labels on the page, with their elements

  const apiPath = () => {
    const w = $("media-width").value || "4", h = $("media-height").value || "6";
    return `/v1/printers/${$("density").value}dpmm/labels/${w}x${h}/`;
  };

  async function post(accept, extra = {}) {
    const {body, headers} = qb.request();
    const response = await fetch(apiPath(), {method: "POST", headers: {...headers, Accept: accept, ...extra}, body});
    if (!response.ok) throw new Error(`${response.status}: ${(await response.text()).trim()}`);
    return response;
  }

  function unmark() {
    for (const m of marked) editor.removeLineClass(m.line, "background", m.cls);
    marked = [];
    editor.clearGutter("bad");
  }

  function markLine(number, cls) {
    const line = editor.getLineHandle(number - 1);
    if (!line) return;
    editor.addLineClass(line, "background", cls);
    marked.push({line, cls});
  }

  function showDiagnostics(report) {
    const list = $("diagnostics");
    list.innerHTML = "";
    unmark();
    const byLine = new Map();
    for (const d of report.diagnostics) {
      byLine.set(d.line, (byLine.has(d.line) ? byLine.get(d.line) + "\n" : "") + d.message);
      const item = document.createElement("li");
      item.dataset.line = d.line;
      item.innerHTML = "<b></b>";
      item.firstChild.textContent = `line ${d.line}`;
      item.append(d.message);
      item.addEventListener("click", () => qb.goToLine(d.line));
      list.appendChild(item);
    }
    for (const [line, messages] of byLine) {
      markLine(line, "bad-line");
      const mark = document.createElement("span");
      mark.className = "bad-mark";
      mark.textContent = "●";
      mark.title = messages;
      editor.setGutterMarker(line - 1, "bad", mark);
    }
    if (report.dropped_diagnostics) {
      const more = document.createElement("li");
      more.textContent = `${report.dropped_diagnostics} more not listed`;
      list.appendChild(more);
    }
  }

  qb.goToLine = (line) => {
    editor.focus();
    editor.setCursor({line: line - 1, ch: 0});
    editor.scrollIntoView({line: line - 1, ch: 0}, 60);
  };

  // Zoom: dots as sharp squares when enlarged, smoothed when made smaller;
  // fit: each label as wide as the view.
  function scaleOf(label) {
    if (!$("fit").checked) return $("zoom").value / 100;
    const room = $("view").clientWidth - 40;
    return room > 0 ? room / label.width : 1;
  }
  function applyZoom() {
    $("zoom-shown").textContent = $("fit").checked ? "fit" : `${$("zoom").value}%`;
    for (const figure of document.querySelectorAll("#labels figure")) {
      const label = shown[Number(figure.dataset.index)], img = figure.querySelector("img"), scale = scaleOf(label);
      img.style.width = `${label.width * scale}px`;
      img.style.imageRendering = scale >= 1 ? "pixelated" : "auto";
    }
  }

  // What is under the pointer: the last element drawn there is on top.
  function pointAt(event, index) {
    const label = shown[index], img = event.target, scale = img.clientWidth / label.width;
    const x = Math.floor(event.offsetX / scale), y = Math.floor(event.offsetY / scale);
    const element = [...label.elements].reverse().find((e) => x >= e.x && x < e.x + e.width && y >= e.y && y < e.y + e.height);
    const outline = img.parentNode.querySelector(".outline");
    for (const m of marked.filter((m) => m.cls === "drawn-line")) editor.removeLineClass(m.line, "background", m.cls);
    marked = marked.filter((m) => m.cls !== "drawn-line");
    $("pointer").textContent = `${x}, ${y} dots` + (element ? ` · line ${element.line}: ${element.command}` +
      (element.data ? ` "${element.data}"` : "") + ` · ${element.width} × ${element.height} at ${element.x}, ${element.y}` : "");
    $("pointer").dataset.line = element ? element.line : "";
    outline.style.display = element ? "block" : "none";
    if (!element) return null;
    Object.assign(outline.style, {left: `${element.x * scale}px`, top: `${element.y * scale}px`,
      width: `${element.width * scale}px`, height: `${element.height * scale}px`});
    markLine(element.line, "drawn-line");
    return element;
  }

  function showLabels(labels) {
    const box = $("labels");
    box.innerHTML = "";
    shown = labels;
    labels.forEach((l, index) => {
      const figure = document.createElement("figure");
      figure.dataset.index = index;
      const sheet = document.createElement("div");
      sheet.className = "sheet";
      const img = document.createElement("img");
      img.className = "label";
      img.alt = `label ${l.number}`;
      img.src = `data:image/png;base64,${l.png}`;
      img.addEventListener("mousemove", (e) => pointAt(e, index));
      img.addEventListener("mouseleave", () => { sheet.querySelector(".outline").style.display = "none"; });
      img.addEventListener("click", (e) => {
        const element = pointAt(e, index);
        if (element) qb.goToLine(element.line);
      });
      const outline = document.createElement("div");
      outline.className = "outline";
      outline.style.display = "none";
      sheet.append(img, outline);
      const caption = document.createElement("figcaption");
      caption.textContent = `label ${l.number} · ${l.width} × ${l.height} dots` +
        (l.copies > 1 || l.sets > 1 ? ` · ${l.sets} set(s) of ${l.copies}` : "") + " · ";
      const download = document.createElement("a");
      download.download = `label-${l.number}.png`;
      download.href = img.src;
      download.textContent = "PNG";
      caption.appendChild(download);
      figure.append(sheet, caption);
      box.appendChild(figure);
    });
    applyZoom();
  }

  async function render() {
    const mine = ++generation, started = performance.now(), status = $("status");
    try {
      const report = await (await post("application/json", {"X-Images": String(maxShown)})).json();
      if (mine !== generation) return;
      showDiagnostics(report);
      showLabels(report.labels.slice(0, maxShown));
      const total = report.labels.length + report.unrendered_labels, count = report.diagnostics.length;
      status.className = "";
      status.textContent = total === 0 ? "No label printed (no P command)." :
        `${total} label${total === 1 ? "" : "s"}` + (total > shown.length ? ` (${shown.length} shown)` : "") +
        ` · ${count} diagnostic${count === 1 ? "" : "s"} · ${Math.round(performance.now() - started)} ms`;
    } catch (error) {
      if (mine !== generation) return;
      status.className = "failed";
      status.textContent = error.message;
    }
    status.dataset.rendered = String(mine);
  }

  let timer = null;
  qb.renderSoon = () => { clearTimeout(timer); timer = setTimeout(render, 250); };
  qb.renderNow = () => { clearTimeout(timer); render(); };
  qb.downloadPdf = async () => {
    try {
      const url = URL.createObjectURL(await (await post("application/pdf")).blob());
      const a = document.createElement("a");
      a.href = url;
      a.download = "labels.pdf";
      a.click();
      setTimeout(() => URL.revokeObjectURL(url), 10000);
    } catch (error) {
      $("status").className = "failed";
      $("status").textContent = error.message;
    }
  };
  $("pdf").addEventListener("click", qb.downloadPdf);
  $("zoom").addEventListener("input", () => { $("fit").checked = false; applyZoom(); });
  $("fit").addEventListener("change", applyZoom);
  window.addEventListener("resize", () => { if ($("fit").checked) applyZoom(); });
})();

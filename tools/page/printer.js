// SPDX-License-Identifier: MIT
// The printer panel: labels printed on the network printer or the
// pseudo-terminal, newest first, each with its job's stream and report;
// a job opens in the editor byte for byte.
"use strict";
(() => {
  const {$} = qb;

  function showPrinted(event) {
    const p = JSON.parse(event.data);
    const card = document.createElement("div");
    card.className = "printed";
    card.dataset.id = p.id;
    const title = document.createElement("div");
    title.textContent = `job ${p.job} · label ${p.number} · ${p.width} × ${p.height} dots`;
    const img = document.createElement("img");
    img.alt = `printed label ${p.id}`;
    img.src = p.image;
    card.append(title, img);
    if (p.diagnostics.length) {
      const problems = document.createElement("ul");
      for (const d of p.diagnostics) {
        const item = document.createElement("li");
        item.className = "bad";
        item.textContent = `line ${d.line}: ${d.message}`;
        problems.appendChild(item);
      }
      card.appendChild(problems);
    }
    const details = document.createElement("details");
    const summary = document.createElement("summary");
    summary.textContent = `stream${p.stream_cut ? " (its first MB)" : ""}`;
    const pre = document.createElement("pre");
    pre.textContent = p.stream;
    const open = document.createElement("button");
    open.type = "button";
    open.textContent = "Open in the editor";
    // The job's own bytes, not the text shown: a binary job (GW, GM) opens
    // as it printed.
    open.addEventListener("click", async () => {
      const response = await fetch(p.image.replace(/\.png$/, ".epl"));
      if (!response.ok) {
        $("status").className = "failed";
        $("status").textContent = `${response.status}: ${(await response.text()).trim()}`;
        return;
      }
      $("density").value = String(p.dots_per_mm);
      qb.load(new Uint8Array(await response.arrayBuffer()), `job ${p.job}`);
    });
    details.append(summary, pre, open);
    card.appendChild(details);
    const list = $("printed");
    list.insertBefore(card, list.firstChild);
    while (list.children.length > 50) list.removeChild(list.lastChild);
  }

  const feed = new EventSource("/v1/printer/events");
  feed.addEventListener("printer", (event) => {
    const name = JSON.parse(event.data).printer;
    $("printer").style.display = name ? "block" : "none";
    $("printer-name").textContent = name ? `· ${name}` : "";
    if (!name) feed.close();  // no printer feeds this service
  });
  feed.addEventListener("label", showPrinted);
  qb.start();
})();

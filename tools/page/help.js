// SPDX-License-Identifier: MIT
// Help for the command under the caret: what it does and each field's
// name, range and default, the field the caret is in marked. It comes from
// the printer's own command table (/v1/commands), so it says what the
// printer does.
"use strict";
(() => {
  const {$, editor} = qb;
  let commands = [];  // longest letters first, as the printer matches them

  // The field the caret is in: commas outside quotes before it.
  function fieldAt(text, from, caret) {
    let field = 0, quoted = false;
    for (let i = from; i < caret && i < text.length; ++i) {
      if (quoted && text[i] === "\\") ++i;
      else if (text[i] === '"') quoted = !quoted;
      else if (text[i] === "," && !quoted) ++field;
    }
    return field;
  }

  function show() {
    const box = $("help"), caret = editor.getCursor(), text = editor.getLine(caret.line) || "";
    const command = commands.find((c) => text.startsWith(c.letters));
    box.dataset.command = command ? command.letters : "";
    if (!command) {
      box.dataset.field = "";
      box.textContent = text.trim() ? "No command starts this line (a form's data, or a mistake)." :
        "Put the caret on a command to see what it does.";
      return;
    }
    const field = caret.ch <= command.letters.length ? -1 : fieldAt(text, command.letters.length, caret.ch);
    box.dataset.field = field;
    box.innerHTML = "";
    const head = document.createElement("div");
    const letters = document.createElement("code");
    letters.textContent = command.letters;
    head.append(letters, ` ${command.summary}` + (command.in_form ? "" : " Not in a form."));
    box.appendChild(head);
    if (command.fields.length) {
      const table = document.createElement("table");
      command.fields.forEach((f, k) => {
        const row = table.insertRow();
        if (k === field || (k === command.fields.length - 1 && field > k)) row.className = "here";
        for (const cell of [f.name, f.range, f.default ? `default ${f.default}` : "", f.meaning])
          row.insertCell().textContent = cell;
      });
      box.appendChild(table);
    }
    const example = document.createElement("div");
    example.textContent = `Example: ${command.example}`;
    box.appendChild(example);
  }

  editor.on("cursorActivity", show);
  fetch("/v1/commands").then((r) => r.json()).then((list) => {
    commands = list.sort((a, b) => b.letters.length - a.letters.length);
    show();
  }).catch(() => { $("help").textContent = "The help could not be loaded."; });
})();

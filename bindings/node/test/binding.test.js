// SPDX-License-Identifier: MIT
// The Node.js package as a user installs it (npm install ./quillbar-x.y.z.tgz),
// against the built library: the shared calls table (the same bytes as the C
// calls), errors, status against the virtual printer, two printers from two
// workers, disposal and use after close, a handler that throws, async forms.
// Environment: QUILLBAR_CALLS (the table), QUILLBAR_PREVIEW (the virtual
// printer), QUILLBAR_LIBRARY (the library).
'use strict';

const assert = require('node:assert/strict');
const test = require('node:test');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const quillbar = require('quillbar');

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quillbar-node-'));
test.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

function newFile(name) {
  const file = path.join(scratch, name);
  fs.writeFileSync(file, '');
  return file;
}

const camel = (name) => name[0].toLowerCase() + name.slice(1);

test('every row of the calls table sends what the C call sends', () => {
  const table = JSON.parse(fs.readFileSync(process.env.QUILLBAR_CALLS, 'utf8'));
  assert.ok(table.calls.length > 20);
  table.calls.forEach((row, i) => {
    const what = `row ${i}: ${row.call}`;
    const file = newFile('row.epl');
    const p = new quillbar.Printer(file, 0);
    let code = 0;
    try {
      assert.equal(typeof p[camel(row.call)], 'function', what);
      p[camel(row.call)](...row.args);
    } catch (e) {
      if (!(e instanceof quillbar.QuillbarError)) throw e;
      code = e.code;
    } finally {
      p.close();
    }
    const sent = fs.readFileSync(file);
    if ('error' in row) {
      assert.equal(code, row.error, what);
      assert.equal(sent.length, 0, what);
    } else if ('bytes_prefix' in row) {
      assert.equal(code, 0, what);
      assert.ok(sent.toString('latin1').startsWith(row.bytes_prefix), what);
      assert.equal(sent.length, row.bytes_length, what);
    } else {
      assert.equal(code, 0, what);
      assert.deepEqual(sent, Buffer.from(row.bytes, 'latin1'), what);
    }
  });
});

test('the declarations are every export the library has', () => {
  const exported = fs.readFileSync(process.env.QUILLBAR_EXPORTS, 'utf8').split('\n').filter((l) => l.startsWith('QB_'));
  const declared = Object.keys(require('quillbar/lib/native.js').exports);
  assert.ok(exported.length > 50);
  assert.deepEqual(declared.sort(), exported.sort());
});

test('failures are QuillbarError with the library\'s code and reason', () => {
  assert.throws(() => new quillbar.Printer(path.join(scratch, 'missing', 'port'), 9600),
                (e) => e instanceof quillbar.QuillbarError && e.code === 2001 && /missing/.test(e.message));
  const file = newFile('errors.epl');
  const p = new quillbar.Printer(file, 0);
  assert.throws(() => p.setDarkness(42), (e) => e.code === 1001 && /darkness 42 is outside 0\.\.15/.test(e.message));
  for (const bad of [() => p.printCharacter(1, 1, 0, 1, 1, 1, 0, 'A\0B'),
                     () => p.printCharacter(1, 1, 0, 1, 1, 1, 0, '10€'),
                     () => p.printChineseStr(1, 1, 0, 0, 1, 0, '😀'),
                     () => p.printLine(1.5, 0, 1, 1),
                     () => p.print(),
                     () => p.sendBytes('text, not bytes')])
    assert.throws(bad, (e) => e instanceof quillbar.QuillbarError && e.code === 1001);
  // Other text goes in the printer's code page.
  p.encoding = 'win1252';
  p.printCharacter(1, 1, 0, 1, 1, 1, 0, '10€');
  p.close();
  assert.equal(fs.readFileSync(file).at(-3), 0x80);
  assert.match(quillbar.libraryVersion(), /^\d+\.\d+\.\d+$/);
});

test('close and Symbol.dispose close once; a closed printer refuses every call', async () => {
  const p = new quillbar.Printer(newFile('dispose.epl'), 0);
  p[Symbol.dispose || Symbol.for('nodejs.dispose')]();
  p.close();
  assert.ok(p.closed);
  assert.equal(p.notice, '');  // a file took every byte: nothing to say
  assert.throws(() => p.print(1), (e) => e.code === 1001);
  await assert.rejects(p.printAsync(1), (e) => e.code === 1001);
  assert.throws(() => p.status(), (e) => e.code === 1001);
});

test('a handler sees each stage, and one that throws ends the call without the process', async () => {
  const picture = path.join(scratch, 'logo.pcx');
  fs.writeFileSync(picture, 'PCX');
  const p = new quillbar.Printer(newFile('handler.epl'), 0);
  const seen = [];
  p.setMessageHandler((text) => seen.push(text));
  p.downPicture(picture, 'LOGO');
  assert.deepEqual(seen.slice(0, 2), [picture, 'filelengh:0--3']);
  assert.equal(seen.length, 5);
  await p.downPictureAsync(picture, 'LOGO');  // the handler runs on the main thread meanwhile
  assert.equal(seen.length, 10);
  p.setMessageHandler(() => { throw new Error('the dialog failed'); });
  assert.throws(() => p.downPicture(picture, 'LOGO'), (e) => e.code === 0 && e.cause.message === 'the dialog failed');
  p.setMessageHandler(null);
  p.downPicture(picture, 'LOGO');
  assert.throws(() => p.downPicture(path.join(scratch, 'missing.pcx'), 'LOGO'),
                (e) => e.code === 0 && /^cannot read the picture/.test(e.reason));
  p.close();
});

// Run in a process of its own, so that a hang shows as a process that does not end.
function exitsWithin(script, ms) {
  return new Promise((resolve) => {
    const began = Date.now();
    const child = spawn(process.execPath, ['-e', script], { cwd: process.cwd(), env: process.env, stdio: 'inherit' });
    const timer = setTimeout(() => { child.kill('SIGKILL'); resolve({ code: 'hung', ms }); }, ms);
    child.on('exit', (code) => { clearTimeout(timer); resolve({ code, ms: Date.now() - began }); });
  });
}

test('close() or a new handler during downPictureAsync never holds the process', async () => {
  const picture = path.join(scratch, 'close-during.pcx');
  fs.writeFileSync(picture, Buffer.alloc(64 << 10, 0x55));
  const rows = [
    ['close() from the handler\'s turn', 'setImmediate(() => p.close())'],
    ['close() from a timer', 'setTimeout(() => p.close(), 0)'],
    ['setMessageHandler() from the handler\'s turn', 'setImmediate(() => { if (!p.closed) p.setMessageHandler(() => {}); })'],
  ];
  // The bound: 5 s, or four times what the same run took with no close or handler at all (the
  // control, on this machine now): a hang never ends, a busy machine is slower for both.
  let bound = 5000;
  for (const [what, act] of [['control', ''], ...rows]) {
    const script = `
      const quillbar = require('quillbar');
      (async () => {
        for (let i = 0; i < 10; i++) {
          const p = new quillbar.Printer(${JSON.stringify(newFile('close-during.epl'))}, 0);
          p.setMessageHandler(() => { ${act}; });
          await p.downPictureAsync(${JSON.stringify(picture)}, 'LOGO').catch(() => {});
          await p.closeAsync();
        }
      })();`;
    const run = await exitsWithin(script, what === 'control' ? 60000 : bound);
    assert.equal(run.code, 0, `${what} (${run.ms} ms, bound ${bound} ms)`);
    if (what === 'control') bound = Math.max(5000, 4 * run.ms);
  }
});

test('a Printer collected without close() frees its route', async () => {
  const file = newFile('collected.epl');
  const script = `
    const quillbar = require('quillbar');
    (() => { new quillbar.Printer(${JSON.stringify(file)}, 0).sendBytes(Buffer.from('N\\n')); })();
    global.gc();
    setTimeout(() => { const again = new quillbar.Printer(${JSON.stringify(file)}, 0); again.close(); }, 50);`;
  const code = await new Promise((resolve) => {
    const child = spawn(process.execPath, ['--expose-gc', '-e', script], { env: process.env, stdio: 'inherit' });
    child.on('exit', resolve);
  });
  assert.equal(code, 0);  // the second open found the route free (files are opened for exclusive use)
  assert.equal(fs.readFileSync(file, 'utf8'), 'N\n');
});

test('the handler\'s text and the reasons, with a non-ASCII path, as C, Python and C# read them', () => {
  const table = JSON.parse(fs.readFileSync(process.env.QUILLBAR_CALLS, 'utf8'));
  assert.ok(table.messages.length >= 2);
  table.messages.forEach((row, i) => {
    const folder = path.join(scratch, `messages${i}`);
    const picture = path.join(folder, row.picture);
    fs.mkdirSync(path.dirname(picture), { recursive: true });
    if (row.content !== undefined) fs.writeFileSync(picture, Buffer.from(row.content, 'latin1'));
    const out = path.join(folder, 'out.epl');
    fs.writeFileSync(out, '');
    const shown = [];
    const p = new quillbar.Printer(out, 0);
    p.setMessageHandler((text) => shown.push(text));
    let reason = null;
    try { p.downPicture(picture, row.name); } catch (e) { reason = e.reason; }
    p.close();
    assert.deepEqual(shown, row.shown.map((t) => t.replaceAll('{picture}', picture)), `row ${i}`);
    if (row.reason_has !== undefined) assert.ok(reason && reason.includes(row.reason_has.replaceAll('{picture}', picture)), `row ${i}: ${reason}`);
    else assert.equal(reason, null, `row ${i}`);
  });
});

test('two printers from two workers keep their own bytes', async () => {
  const files = [newFile('a.epl'), newFile('b.epl')];
  const code = `
    const { workerData, parentPort } = require('node:worker_threads');
    const quillbar = require('quillbar');
    const p = new quillbar.Printer(workerData.file, 0);
    for (let i = 0; i < 200; i++) p.sendCommand(workerData.line);
    p.close();
    parentPort.postMessage('done');`;
  await Promise.all(files.map((file, k) => new Promise((resolve, reject) => {
    const w = new Worker(code, { eval: true, workerData: { file, line: k ? 'FOR_B' : 'FOR_A' } });
    w.on('message', resolve);
    w.on('error', reject);
  })));
  assert.equal(fs.readFileSync(files[0], 'utf8'), 'FOR_A\n'.repeat(200));
  assert.equal(fs.readFileSync(files[1], 'utf8'), 'FOR_B\n'.repeat(200));
});

test('status against the virtual printer, and async calls off the event loop', async () => {
  const tool = spawn(process.env.QUILLBAR_PREVIEW, ['--listen', '127.0.0.1:0', '--max-labels', '0', '--fault', 'paper-out'],
                     { stdio: ['ignore', 'pipe', 'inherit'] });
  try {
    const address = await new Promise((resolve) => {
      let out = '';
      tool.stdout.on('data', (d) => {
        out += d;
        const m = out.match(/^listening: (\S+)/m);
        if (m) resolve(m[1]);
      });
    });
    const p = new quillbar.Printer(`tcp://${address}`, 0);
    await p.setClearAsync();
    await p.printLineAsync(1, 1, 10, 10);
    p.print(1);
    let ticks = 0;
    const timer = setInterval(() => ticks++, 5);
    assert.equal(await p.statusAsync(3000), 'PAPER_OUT');
    clearInterval(timer);
    assert.equal(p.status(3000), 'PAPER_OUT');
    p.close();
    const file = new quillbar.Printer(newFile('file.epl'), 0);
    assert.equal(file.status(5000), 'UNKNOWN');
    file.close();
  } finally {
    tool.kill();
  }
});

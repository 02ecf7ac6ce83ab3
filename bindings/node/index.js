// SPDX-License-Identifier: MIT
// quillbar for Node.js: a printer as an object over the library's handle,
// methods in millimetres as the C API has them, failures as QuillbarError.
// Every operation also has an async form (statusAsync, printAsync, ...) that
// runs off the event loop, for printers that make a call wait. The library's
// declarations come from its one list of exports (lib/native.js, generated).
'use strict';

const fs = require('fs');
const path = require('path');
const koffi = require('koffi');
const iconv = require('iconv-lite');
const native = require('./lib/native.js');

const version = require('./package.json').version;

// ---- the library ------------------------------------------------------------------------

// Where the library is: QUILLBAR_LIBRARY, a copy bundled in lib/ (an Electron
// app ships it there, outside its asar archive), or the installed one by name.
function libraryPath() {
  if (process.env.QUILLBAR_LIBRARY) return process.env.QUILLBAR_LIBRARY;
  const name = process.platform === 'win32' ? 'quillbar.dll' : 'libquillbar.so.0';
  const bundled = path.join(__dirname, 'lib', name).replace('app.asar', 'app.asar.unpacked');
  return fs.existsSync(bundled) ? bundled : name;
}

let lib = null;
function library() {
  if (lib) return lib;
  let handle;
  try {
    handle = koffi.load(libraryPath());
  } catch (e) {
    throw new Error(`cannot load the quillbar library (${e.message}): install libquillbar0, or set QUILLBAR_LIBRARY ` +
                    'to the library\'s path');
  }
  koffi.opaque('QB_Printer');
  // stdcall on 32-bit Windows, as the DLL exports them; the platform's default elsewhere.
  const convention = process.platform === 'win32' && process.arch === 'ia32' ? '__stdcall' : '';
  koffi.proto(`void ${convention} QB_MessageHandler(const char *text, void *context)`);
  lib = {};
  for (const [name, [result, args]] of Object.entries(native.exports)) {
    // The flat QB_SetPrinterComDots is exported on 32-bit Windows only under its decorated name.
    const symbol = name === 'QB_SetPrinterComDots' && convention ? '_QB_SetPrinterComDots@4' : name;
    lib[name] = convention ? handle.func(convention, symbol, result, args) : handle.func(symbol, result, args);
  }
  return lib;
}

/** A call the library refused or could not carry out; code is the library's (0 for a picture). */
class QuillbarError extends Error {
  constructor(code, message) {
    super(`${message} (${code})`);
    this.name = 'QuillbarError';
    this.code = code;
    this.reason = message;
  }
}

// ---- text as the library takes it ---------------------------------------------------------

// NUL-terminated bytes in a code page; never cut, never sent as something else.
function bytes(text, encoding, what) {
  let data;
  if (text instanceof Uint8Array) {
    data = Buffer.from(text);
  } else if (typeof text === 'string') {
    data = iconv.encode(text, encoding);
    if (iconv.decode(data, encoding) !== text)
      throw new QuillbarError(1001, `the ${what} holds characters ${encoding} cannot write`);
  } else {
    throw new QuillbarError(1001, `the ${what} is not text (a string or bytes)`);
  }
  if (data.includes(0)) throw new QuillbarError(1001, `the ${what} holds a NUL byte, which would end it there`);
  return Buffer.concat([data, Buffer.from([0])]);
}

function number(value, what) {
  if (!Number.isInteger(value) || value < -2147483648 || value > 2147483647)
    throw new QuillbarError(1001, `${what} ${value} is not a whole number that fits a C int`);
  return value;
}

const gbk = (text) => bytes(text, 'gbk', 'Chinese text');
const pathBytes = (p) => bytes(p, process.platform === 'win32' ? 'latin1' : 'utf8', 'path');

function lastError() {
  const l = library();
  return new QuillbarError(l.QB_GetLastErrorCode(), l.QB_GetLastErrorMessage() || '');
}

// ---- a printer ----------------------------------------------------------------------------

const dispose = Symbol.dispose || Symbol.for('nodejs.dispose');

// A Printer collected without close() frees its route: what the registry holds
// is the handle and the handler, never the Printer itself.
const collected = new FinalizationRegistry((state) => {
  library().QB_PrinterClose(state.handle);
  if (state.callback) koffi.unregister(state.callback);
});

/** One printer on a route: a device path, a file, "tcp://HOST:PORT", "cups:QUEUE", ... */
class Printer {
  constructor(device, baud = 9600) {
    const l = library();
    const handle = l.QB_PrinterOpen(pathBytes(device), number(baud, 'baud'));
    if (!handle) throw lastError();
    this._handle = handle;
    this._handler = null;  // registered while the library may call it
    this._inFlight = 0;    // async calls under way: the library may wait on this thread for a handler
    /** What the close had to say although it succeeded ('' for nothing): when the printer had not
     * confirmed the last bytes, which words say (they may still print: never print them again blindly). */
    this.notice = '';
    this._closed = null;   // the close under way, once asked for
    this._state = { handle, callback: null };
    collected.register(this, this._state, this);
    /** The code page text other than Chinese goes in (the printer's own; latin1 unless set). */
    this.encoding = 'latin1';
  }

  get closed() { return this._handle === null; }

  /** Closes the printer; closing a closed one does nothing. During an async call it returns at
   * once and the close completes when that call ends (the handler is delivered meanwhile): the
   * event loop is never held. closeAsync() says how it ended. */
  close() {
    if (this._inFlight > 0 || this._closed) {
      this.closeAsync().catch(() => {});
      return;
    }
    const handle = this._handle;
    if (handle === null) return;
    this._handle = null;
    collected.unregister(this);
    const l = library();
    const result = l.QB_PrinterClose(handle);
    this.notice = l.QB_GetLastNotice() || '';
    this._unregister();
    if (result !== 0) throw lastError();
  }

  /** Closes the printer off the event loop; resolves when it is closed (rejects with the reason). */
  closeAsync() {
    if (this._closed) return this._closed;
    const handle = this._handle;
    if (handle === null) return Promise.resolve();
    this._handle = null;
    collected.unregister(this);
    this._closed = new Promise((resolve, reject) => {
      library().QB_PrinterClose.async(handle, (err, result) => {
        // No thread is inside the handler any more: it may go now. The notice was the worker's.
        this._unregister();
        if (err) return reject(err);
        if (result !== 0) return reject(lastError());
        resolve();
      });
    });
    return this._closed;
  }

  [dispose]() { this.close(); }

  _live() {
    if (this._handle === null) throw new QuillbarError(1001, 'the printer is closed');
    return this._handle;
  }

  _check(handle, result) {
    if (result === 0) return;
    // Closed meanwhile: the reason is this thread's, the handle being gone.
    if (this._handle === null) throw lastError();
    const l = library();
    throw new QuillbarError(l.QB_PrinterGetLastErrorCode(handle), l.QB_PrinterGetLastErrorMessage(handle) || '');
  }

  _unregister() {
    if (this._handler) koffi.unregister(this._handler);
    this._handler = null;
    this._state.callback = null;
  }

  // Runs native(...args, done) on a worker, counted while it runs.
  _run(native, args, done) {
    this._inFlight++;
    native.async(...args, (err, result) => {
      this._inFlight--;
      done(err, result);
    });
  }

  _args(op, values) {
    if (values.length !== op.args.length)
      throw new QuillbarError(1001, `${op.method} takes ${op.args.length} arguments, not ${values.length}`);
    return op.args.map((kind, i) => {
      const v = values[i];
      if (kind === 'int') return number(v, op.params[i]);
      if (kind === 'gbk') return gbk(v);
      if (kind === 'path') return pathBytes(v);
      return bytes(v, this.encoding, op.params[i]);
    });
  }

  /** Asks the printer (^ee) and waits at most timeoutMs for its answer: 'UNKNOWN' when the route
   * carries none or none came in time. */
  status(timeoutMs = 2000) {
    return this._status(library().QB_PrinterStatus(this._live(), number(timeoutMs, 'timeout')));
  }

  statusAsync(timeoutMs = 2000) {
    let handle, timeout;
    try {
      handle = this._live();
      timeout = number(timeoutMs, 'timeout');
    } catch (e) {
      return Promise.reject(e);
    }
    return new Promise((resolve, reject) => {
      this._run(library().QB_PrinterStatus, [handle, timeout], (err, result) => {
        if (err) return reject(err);
        try { resolve(this._status(result)); } catch (e) { reject(e); }
      });
    });
  }

  _status(result) {
    if (result === -1 && this._handle === null) throw new QuillbarError(1001, 'the printer was closed meanwhile');
    return native.statuses[String(result)] || `CODE_${result}`;
  }

  lastErrorCode() { return library().QB_PrinterGetLastErrorCode(this._live()); }
  lastErrorMessage() { return library().QB_PrinterGetLastErrorMessage(this._live()) || ''; }

  /** Sends bytes as they are; bytes ending with a print command complete a label. */
  sendBytes(data) {
    const buffer = this._raw(data);
    const handle = this._live();
    this._check(handle, library().QB_PrinterSendBytes(handle, buffer, buffer.length));
  }

  sendBytesAsync(data) {
    let buffer;
    try { buffer = this._raw(data); } catch (e) { return Promise.reject(e); }
    return this._async('QB_PrinterSendBytes', [buffer, buffer.length]);
  }

  _raw(data) {
    if (!(data instanceof Uint8Array)) throw new QuillbarError(1001, 'the data is not bytes (a Buffer or Uint8Array)');
    return Buffer.from(data);
  }

  /** handler(text) sees each stage of downPicture (the text as UTF-8 reads it); null removes it.
   * An exception it throws ends downPicture with it. */
  setMessageHandler(handler) {
    if (handler !== null && typeof handler !== 'function')
      throw new QuillbarError(1001, 'the message handler is not a function');
    const handle = this._live();
    let registered = null;
    if (handler) {
      registered = koffi.register((text) => {
        try {
          handler(text || '');
        } catch (e) {
          // Nothing is thrown into the library: it is passed on when the call returns.
          if (!this._handlerFailure) this._handlerFailure = e;
        }
      }, koffi.pointer('QB_MessageHandler'));
    }
    const old = this._handler;
    this._handler = registered;
    this._state.callback = registered;
    if (this._inFlight > 0) {
      // An async call may be inside the old handler, waiting for this thread to run it: the
      // library's wait for it happens off the event loop, and the old one goes after.
      this._run(library().QB_PrinterSetMessageHandler, [handle, registered, null], () => {
        if (old) koffi.unregister(old);
      });
      return;
    }
    const result = library().QB_PrinterSetMessageHandler(handle, registered, null);
    // The library returns once no thread is inside the old handler: it may go now.
    if (old) koffi.unregister(old);
    this._check(handle, result);
  }

  /** Stores the picture file at path (a 1-bit PCX) in the printer as name. */
  downPicture(picture, name) {
    const handle = this._live();
    this._handlerFailure = null;
    const result = library().QB_PrinterDownPicture(handle, pathBytes(picture), bytes(name, this.encoding, 'name'));
    this._picture(handle, result);
  }

  downPictureAsync(picture, name) {
    let handle, args;
    try {
      handle = this._live();
      args = [pathBytes(picture), bytes(name, this.encoding, 'name')];
    } catch (e) {
      return Promise.reject(e);
    }
    this._handlerFailure = null;
    return new Promise((resolve, reject) => {
      this._run(library().QB_PrinterDownPicture, [handle, ...args], (err, result) => {
        if (err) return reject(err);
        try { this._picture(handle, result); resolve(); } catch (e) { reject(e); }
      });
    });
  }

  _picture(handle, result) {
    const failed = this._handlerFailure;
    this._handlerFailure = null;
    if (failed) {
      const e = new QuillbarError(0, `the message handler threw: ${failed.message}`);
      e.cause = failed;
      throw e;
    }
    if (result !== 0) throw new QuillbarError(0, library().QB_PrinterGetLastErrorMessage(handle) || '');
  }

  _async(name, args) {
    let handle;
    try { handle = this._live(); } catch (e) { return Promise.reject(e); }
    return new Promise((resolve, reject) => {
      this._run(library()[name], [handle, ...args], (err, result) => {
        if (err) return reject(err);
        try { this._check(handle, result); resolve(); } catch (e) { reject(e); }
      });
    });
  }
}

// Every other operation: a method that calls QB_Printer<Name>, and its async form.
const HAND_WRITTEN = new Set(['SetMessageHandler', 'SendBytes', 'DownPicture']);
for (const op of native.operations) {
  if (HAND_WRITTEN.has(op.name)) continue;
  const name = 'QB_Printer' + op.name;
  Printer.prototype[op.method] = function (...values) {
    const args = this._args(op, values);
    const handle = this._live();
    this._check(handle, library()[name](handle, ...args));
  };
  Printer.prototype[op.method + 'Async'] = function (...values) {
    let args;
    try { args = this._args(op, values); } catch (e) { return Promise.reject(e); }
    return this._async(name, args);
  };
}

/** The printers a program can name, as routes ("printer:NAME" on Windows, "cups:NAME" elsewhere). */
function printers() {
  const l = library();
  for (;;) {
    const size = l.QB_PrinterList(null, 0);
    if (size < 0) throw lastError();
    const buffer = Buffer.alloc(Math.max(size, 1));
    if (l.QB_PrinterList(buffer, buffer.length) !== size) continue;  // it grew meanwhile
    return buffer.subarray(0, size).toString('utf8').split('\0').filter((n) => n);
  }
}

/** The loaded library's version, e.g. "0.3.0". */
function libraryVersion() { return library().QB_GetVersion(); }

module.exports = { Printer, QuillbarError, printers, libraryVersion, version };

// SPDX-License-Identifier: MIT
// The quick start's label from Node.js: node example.js /dev/ttyUSB0 (or a
// file, or tcp://HOST:9100 0).
'use strict';

const { Printer, QuillbarError, libraryVersion } = require('quillbar');

const [device = '/dev/ttyUSB0', baud = '9600'] = process.argv.slice(2);
async function main() {
  const p = new Printer(device, Number(baud));
  try {
    p.setInitialize(3, 10, 1);                        // S3  D10  JB
    p.setPaperSize(0, 100, 60, 3);                    // q800  Q480,24
    p.setClear();                                     // N
    p.printBox(2, 2, 98, 58, 1);                      // X16,16,8,784,464
    p.printCharacter(5, 5, 0, 4, 1, 1, 0, 'HELLO');   // A40,40,0,4,1,1,N,"HELLO"
    p.printChineseStr(5, 14, 1, 0, 4, 0, '中文标签');   // as GBK, drawn on the host
    p.printBarcodeByName(5, 30, 0, 'EAN-13', 0, 0, 10, 1, '501234567890');
    await p.printAsync(1);                            // P1, off the event loop
    console.log(`printed with quillbar ${libraryVersion()}; the printer says ${await p.statusAsync(2000)}`);
  } finally {
    p.close();
  }
}
main().catch((e) => {
  console.error(e instanceof QuillbarError ? `${e.reason} (code ${e.code})` : e);
  process.exit(1);
});

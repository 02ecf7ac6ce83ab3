// SPDX-License-Identifier: MIT
// The examples menu: streams that show what EPL2 does, each with the
// character set and media it needs.
"use strict";
(() => {
  const {$} = qb;

  // A stored graphic needs a PCX file in the stream: a 32 x 32 diamond,
  // one bit a dot, 0 black as the printer reads it, each row's bytes
  // written as they are (a byte of 0xC0 or more behind a count of 1).
  function diamondPcx() {
    const header = new Uint8Array(128);
    header.set([0x0a, 5, 1, 1]);
    const view = new DataView(header.buffer);
    view.setUint16(8, 31, true);   // Xmax
    view.setUint16(10, 31, true);  // Ymax
    view.setUint16(12, 203, true);
    view.setUint16(14, 203, true);
    header[65] = 1;                // planes
    view.setUint16(66, 4, true);   // bytes a line
    const rows = [];
    for (let y = 0; y < 32; ++y) {
      let bits = 0xffffffff;
      for (let x = 0; x < 32; ++x) if (Math.abs(x - 15.5) + Math.abs(y - 15.5) < 15) bits &= ~(1 << (31 - x));
      for (const byte of [bits >>> 24, (bits >>> 16) & 255, (bits >>> 8) & 255, bits & 255])
        rows.push(...(byte >= 0xc0 ? [0xc1, byte] : [byte]));
    }
    return new Uint8Array([...header, ...rows]);
  }

  const bytesOf = (text) => Uint8Array.from(text, (c) => c.charCodeAt(0));
  const examples = [
    {name: "4 × 6 shipping label: Code 128 and MaxiCode", charset: "CP437", text:
      'N\nq812\nQ1218,24\nA30,30,0,3,1,1,N,"FROM: Quillbar Labs, 12 Example Road, Springfield"\nLO20,70,772,3\n' +
      'A30,90,0,4,1,1,N,"SHIP TO:"\nA30,130,0,4,2,2,N,"JANE DOE"\nA30,190,0,4,1,1,N,"1600 MAIN STREET"\n' +
      'A30,225,0,4,1,1,N,"ANYTOWN CA 93065-1692"\nLO20,280,772,3\nb40,310,M,m2,"001,840,93065,1692,PACKAGE 1 OF 1"\n' +
      'A330,320,0,3,1,1,N,"CARRIER ROUTE 042"\nB40,560,0,1,3,6,180,B,"1Z9999990312345678"\nLO20,800,772,3\n' +
      'A30,830,0,2,1,1,N,"Weight 2.4 kg  Ref. QB-1042"\nP1\n'},
    {name: "Product label: EAN-13 and a price in Windows 1252", charset: "CP1252", text:
      'I8,A,001\nN\nq480\nQ240,24\nA20,15,0,4,1,1,N,"Organic coffee 250 g"\nA20,55,0,3,1,1,N,"Café crème, roasted in Köln"\n' +
      'B20,90,0,E30,3,3,90,B,"590123412345"\nA330,120,0,4,2,2,N,"€7.95"\nP1\n'},
    {name: "Chinese text in font 8 (GB2312)", charset: "GB2312", text:
      'N\nq600\nQ200,24\nA20,20,0,8,1,1,N,"上海仓库 标签"\nA20,70,0,8,2,2,N,"易碎品"\nA20,150,0,3,1,1,N,"Fragile"\nP1\n'},
    {name: "A stored graphic (GM, then GG)", bytes: () => new Uint8Array([
      ...bytesOf('GK"LOGO"\nGK"LOGO"\n'), ...bytesOf(`GM"LOGO"${diamondPcx().length}\n`), ...diamondPcx(),
      ...bytesOf('\nN\nq400\nQ120,24\nGG20,20,"LOGO"\nGG80,20,"LOGO"\nA140,45,0,3,1,1,N,"Stored graphic"\nP1\n')])},
    {name: "A form with variables and a counter", charset: "CP437", text:
      'FK"ADDR"\nFS"ADDR"\nV00,20,N,"Name:"\nV01,20,N,"City:"\nC0,3,L,+1,"Box:"\nq400\nQ180,24\n' +
      'A20,20,0,4,1,1,N,V00\nA20,60,0,3,1,1,N,V01\nA20,100,0,3,1,1,N,"Box "C0\nFE\nN\nFR"ADDR"\n?\nJane Doe\n' +
      'Springfield\n001\nP3\n'},
  ];

  examples.forEach((e, k) => $("examples").add(new Option(e.name, String(k))));
  $("examples").addEventListener("change", () => {
    const e = examples[Number($("examples").value)];
    $("examples").value = "";
    if (!e) return;
    if (e.bytes) return qb.load(e.bytes(), e.name);
    qb.dropped = null;
    $("banner").style.display = "none";
    $("charset").value = e.charset;
    qb.editor.setValue(e.text);
    qb.renderNow();
  });
})();

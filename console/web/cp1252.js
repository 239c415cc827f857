// What Windows-1252 can carry: the workstation shows alerts in that code page.
'use strict';
(function (global) {
  // 0x80..0x9F: the characters Windows-1252 puts there (0x81, 0x8D, 0x8F, 0x90, 0x9D are unused).
  const HIGH = '\u20AC\u0000\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\u0000\u017D\u0000' +
               '\u0000\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\u0000\u017E\u0178';
  const extra = new Set();
  for (const ch of HIGH) if (ch !== '\u0000') extra.add(ch);

  function encodable(ch) {
    const c = ch.codePointAt(0);
    if (c === 0) return false; // the client stops reading at a NUL
    return c < 0x80 || (c >= 0xA0 && c <= 0xFF) || extra.has(ch);
  }

  // Each distinct character that Windows-1252 lacks, in order of first appearance.
  function missing(text) {
    const seen = new Set();
    const out = [];
    for (const ch of text) {
      if (!encodable(ch) && !seen.has(ch)) { seen.add(ch); out.push(ch); }
    }
    return out;
  }

  function codePoint(ch) {
    return 'U+' + ch.codePointAt(0).toString(16).toUpperCase().padStart(4, '0');
  }

  // Bytes of the alert text as the server frames it: one byte per character,
  // each line ended by CR LF.
  function alertBytes(a) {
    let n = 0;
    const line = (s) => { n += [...s].length + 2; };
    line('[' + a.author + ']');
    line('D=' + a.date);
    line('O=' + a.subject);
    line('I=');
    for (const l of a.lines) line('M=' + (l === '' ? ' ' : l)); // a blank line goes as one space

    return n;
  }

  global.Cp1252 = { encodable, missing, codePoint, alertBytes, LIMIT: 1048576 };
})(typeof window !== 'undefined' ? window : globalThis);

#!/usr/bin/env node
// Compares the hex frame logs of the ground-control stand-in and the aircraft simulator.
//
//   logcheck.js equal A B        A and B hold the same lines in the same order
//   logcheck.js within PART ALL  PART is one unbroken run of ALL's lines: nothing added,
//                                nothing altered, nothing lost or repeated in between
//                                (ALL may hold more before and after)
//   logcheck.js subset PART ALL [FROM:TO...]
//                                PART is ALL with lines left out: nothing added, altered or
//                                repeated, the order kept. Prints delivered=N/M. Each FROM:TO
//                                (line indexes of ALL, from 0, TO excluded) must hold a line
//                                that PART has: the link carried traffic in that span.
// Exits 0 when the check holds, 1 with the first difference otherwise.
'use strict';

const fs = require('fs');

const lines = (file) => fs.readFileSync(file, 'utf8').split('\n').filter(l => l.length > 0);
const [mode, a, b, ...spans] = process.argv.slice(2);
if (!['equal', 'within', 'subset'].includes(mode) || !a || !b) {
  console.error('usage: logcheck.js equal|within|subset FILE FILE [FROM:TO...]');
  process.exit(2);
}
const left = lines(a);
const right = lines(b);

function fail(text) {
  console.error(`logcheck: ${text}`);
  process.exit(1);
}

if (mode === 'equal') {
  const n = Math.max(left.length, right.length);
  for (let i = 0; i < n; ++i) {
    if (left[i] !== right[i]) {
      fail(`${a} and ${b} differ at line ${i + 1} of ${left.length}/${right.length}:\n  ${left[i]}\n  ${right[i]}`);
    }
  }
  console.log(`logcheck: ${left.length} frames identical`);
  process.exit(0);
}

if (mode === 'subset') {
  const matched = [];
  let j = 0;
  for (let i = 0; i < left.length; ++i) {
    while (j < right.length && right[j] !== left[i]) ++j;
    if (j === right.length) {
      fail(`frame ${i + 1} of ${a} is not among the frames of ${b} that follow the ones before it ` +
           `(damaged, foreign, repeated or out of order):\n  ${left[i]}`);
    }
    matched.push(j++);
  }
  for (const span of spans) {
    const [from, to] = span.split(':').map(Number);
    if (!matched.some(k => k >= from && k < to)) fail(`nothing of frames ${from + 1} to ${to} of ${b} in ${a}`);
  }
  console.log(`delivered=${left.length}/${right.length}`);
  process.exit(0);
}

if (left.length === 0) fail(`${a} is empty`);
const start = right.indexOf(left[0]);
if (start < 0) fail(`the first frame of ${a} is not in ${b}: ${left[0]}`);
for (let i = 0; i < left.length; ++i) {
  if (right[start + i] !== left[i]) {
    fail(`frame ${i + 1} of ${a} is not the one that followed in ${b} (line ${start + i + 1}):\n` +
         `  got      ${left[i]}\n  expected ${right[start + i] ?? '(end of file)'}`);
  }
}
console.log(`logcheck: ${left.length} frames in order, from frame ${start + 1} of ${right.length}`);

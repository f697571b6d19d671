#!/usr/bin/env node
// Checks the relative links of the project's pages: README.md and every
// docs/*.md below ROOT (the repository by default), and the docs/ pages the
// deployment scripts' help names under .LINK (deploy/*.ps1, relative to
// ROOT).
//   node check.cjs [ROOT]
// Each link must name a file that exists and, where it has a #fragment, a
// heading of that file, by GitHub's anchor rules (lower case, spaces to '-',
// punctuation other than '-' and '_' dropped, a repeated heading numbered
// -1, -2 ...). A broken link is reported as FILE:LINE: broken link TARGET
// (why). Links to other sites, and anything inside code, are not checked.
// First it checks itself on pages and a script with known faults; the last
// line counts the pages, the scripts and that self-check that passed and
// failed:
//   docs-check: N passed, M failed
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');

const FENCE = /^\s*(```+|~~~+)/;
const HEADING = /^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$/;
const LINK = /!?\[([^\]]*)\]\(\s*(<[^>]*>|[^\s)]+)(?:\s+"[^"]*")?\s*\)/g;

// The lines of a Markdown text outside fenced code, each with its 1-based
// number, inline code spans blanked so that nothing in them is read.
function proseLines(text) {
  const lines = [];
  let fence = null;
  text.split(/\r?\n/).forEach((line, index) => {
    const opening = FENCE.exec(line);
    if (fence) {
      if (opening && opening[1][0] === fence[0] && opening[1].length >= fence.length) fence = null;
    } else if (opening) {
      fence = opening[1];
    } else {
      lines.push({ number: index + 1, text: line });
    }
  });
  return lines;
}

function withoutCode(line) {
  return line.replace(/(`+)[\s\S]*?\1/g, (span) => ' '.repeat(span.length));
}

// GitHub's anchor for a heading's text: the text as shown (code marks,
// emphasis and link targets gone), lower case, every character but letters,
// digits, spaces, '-' and '_' dropped, spaces turned into '-'.
function anchorOf(heading) {
  const shown = heading
    .replace(/!?\[([^\]]*)\]\([^)]*\)/g, '$1')
    .replace(/`/g, '')
    .replace(/<[^>]+>/g, '')
    .replace(/(\*+)(.*?)\1/g, '$2');
  return shown
    .toLowerCase()
    .replace(/[^\p{L}\p{N}\p{M} _-]/gu, '')
    .replace(/ /g, '-');
}

// Every anchor a Markdown file offers, repeated headings numbered as GitHub
// numbers them.
function anchorsOf(text) {
  const anchors = new Set();
  const seen = new Map();
  for (const { text: line } of proseLines(text)) {
    const heading = HEADING.exec(line);
    if (!heading) continue;
    const base = anchorOf(heading[2]);
    const count = seen.get(base) || 0;
    seen.set(base, count + 1);
    anchors.add(count === 0 ? base : `${base}-${count}`);
  }
  return anchors;
}

// A path as the report shows it: relative to root, with '/'.
function shown(root, file) {
  return path.relative(root, file).split(path.sep).join('/');
}

// Why a link to target, read relative to the folder base, is broken, or null
// when it is not: no such file, or a #fragment that names no heading there.
// from is the file the link is in, for a target that is a fragment alone.
function whyBroken(root, base, from, target) {
  const hash = target.indexOf('#');
  const file = decodeURI(hash < 0 ? target : target.slice(0, hash));
  const resolved = file ? path.resolve(base, file) : from;
  if (!fs.existsSync(resolved)) return `no file ${shown(root, resolved)}`;
  if (hash < 0) return null;
  const fragment = decodeURIComponent(target.slice(hash + 1));
  if (!/\.md$/i.test(resolved) || !fs.statSync(resolved).isFile())
    return 'a fragment on something that is not a Markdown page';
  if (!anchorsOf(fs.readFileSync(resolved, 'utf8')).has(fragment))
    return `no heading "${fragment}" in ${shown(root, resolved)}`;
  return null;
}

// The broken relative links of one page, each as FILE:LINE: broken link
// TARGET (why), FILE relative to root.
function brokenLinks(root, page) {
  const problems = [];
  for (const line of proseLines(fs.readFileSync(page, 'utf8'))) {
    for (const match of withoutCode(line.text).matchAll(LINK)) {
      const target = match[2].replace(/^<|>$/g, '');
      if (/^[a-z][a-z0-9+.-]*:/i.test(target) || target.startsWith('//')) continue;
      const why = whyBroken(root, path.dirname(page), page, target);
      if (why) problems.push(`${shown(root, page)}:${line.number}: broken link ${target} (${why})`);
    }
  }
  return problems;
}

// The broken .LINK entries of a script's comment-based help that name a
// page below docs/ (relative to root), as FILE:LINE: broken link TARGET (why).
function brokenHelpLinks(root, script) {
  const lines = fs.readFileSync(script, 'utf8').split(/\r?\n/);
  const problems = [];
  lines.forEach((line, index) => {
    if (!/^\s*\.LINK\s*$/i.test(line) || index + 1 >= lines.length) return;
    const target = lines[index + 1].trim();
    if (!/^docs\//.test(target)) return;
    const why = whyBroken(root, root, script, target);
    if (why) problems.push(`${shown(root, script)}:${index + 2}: broken link ${target} (${why})`);
  });
  return problems;
}

function scriptsBelow(root) {
  const deploy = path.join(root, 'deploy');
  if (!fs.existsSync(deploy)) return [];
  return fs.readdirSync(deploy).sort()
    .filter((name) => /\.ps1$/i.test(name) && !/\.Tests\.ps1$/i.test(name))
    .map((name) => path.join(deploy, name));
}

function pagesBelow(root) {
  const pages = [];
  if (fs.existsSync(path.join(root, 'README.md'))) pages.push(path.join(root, 'README.md'));
  const docs = path.join(root, 'docs');
  if (fs.existsSync(docs))
    for (const name of fs.readdirSync(docs).sort())
      if (/\.md$/i.test(name)) pages.push(path.join(docs, name));
  return pages;
}

// The checker on pages whose faults are known: each must be named with its
// file and line, and nothing else.
function selfCheckProblems() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'docs-check-'));
  try {
    fs.mkdirSync(path.join(root, 'docs'));
    fs.writeFileSync(path.join(root, 'README.md'), [
      '# Sample',
      '',
      'See [the page](docs/page.md#exit-status-and-output) and [gone](docs/gone.md).',
      '`[not a link](docs/none.md)` and [a site](https://example.com/x.md#y).',
      '',
    ].join('\n'));
    fs.writeFileSync(path.join(root, 'docs', 'page.md'), [
      '# The page',
      '',
      '## Exit status and output',
      '',
      '## What `dist/` holds: the kit, signed',
      '',
      '## Twice',
      '',
      '## Twice',
      '',
      '```powershell',
      '# Not a heading',
      '[x](missing.md)',
      '```',
      '',
      '[ok](#what-dist-holds-the-kit-signed) [ok](#twice-1) [ok](../README.md#sample)',
      '[bad](#not-a-heading) [bad](../README.md#no-such-heading) [bad](#twice-2)',
      '',
    ].join('\n'));
    fs.mkdirSync(path.join(root, 'deploy'));
    fs.writeFileSync(path.join(root, 'deploy', 'Get-Sample.ps1'), [
      '<#', '.SYNOPSIS', '    A sample.', '', '.LINK', '    docs/page.md#twice', '', '.LINK',
      '    docs/page.md#gone', '#>', '',
    ].join('\r\n'));
    const found = pagesBelow(root).flatMap((page) => brokenLinks(root, page))
      .concat(scriptsBelow(root).flatMap((script) => brokenHelpLinks(root, script)));
    const expected = [
      'README.md:3: broken link docs/gone.md (no file docs/gone.md)',
      'docs/page.md:17: broken link #not-a-heading (no heading "not-a-heading" in docs/page.md)',
      'docs/page.md:17: broken link ../README.md#no-such-heading (no heading "no-such-heading" in README.md)',
      'docs/page.md:17: broken link #twice-2 (no heading "twice-2" in docs/page.md)',
      'deploy/Get-Sample.ps1:9: broken link docs/page.md#gone (no heading "gone" in docs/page.md)',
    ];
    const missed = expected.filter((line) => !found.includes(line)).map((line) => `not reported: ${line}`);
    const extra = found.filter((line) => !expected.includes(line)).map((line) => `reported wrongly: ${line}`);
    return missed.concat(extra);
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
}

function main() {
  const root = path.resolve(process.argv[2] || path.join(__dirname, '..', '..'));
  let passed = 0;
  let failed = 0;
  const self = selfCheckProblems();
  if (self.length === 0) {
    passed += 1;
  } else {
    failed += 1;
    for (const line of self) console.log(`docs-check: the checker itself: ${line}`);
  }
  const pages = pagesBelow(root);
  for (const page of pages) {
    const problems = brokenLinks(root, page);
    for (const line of problems) console.log(line);
    if (problems.length === 0) passed += 1;
    else failed += 1;
  }
  for (const script of scriptsBelow(root)) {
    const problems = brokenHelpLinks(root, script);
    for (const line of problems) console.log(line);
    if (problems.length === 0) passed += 1;
    else failed += 1;
  }
  if (pages.length === 0) {
    console.log(`docs-check: no README.md or docs/*.md below ${root}`);
    failed += 1;
  }
  console.log(`docs-check: ${passed} passed, ${failed} failed`);
  process.exitCode = failed === 0 ? 0 : 1;
}

main();

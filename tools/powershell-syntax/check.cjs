#!/usr/bin/env node
// Parses PowerShell with tree-sitter's PowerShell grammar: every .ps1 file
// below ROOT, and every fenced powershell block in its Markdown files.
//   node check.cjs ROOT
// A syntax error fails the check and is reported as FILE:LINE:COLUMN. So does
// syntax that Windows PowerShell 5.1 lacks, in every source meant for it
// (all but the Pester tests and their support files, which run on
// PowerShell 7 only): PowerShell 7 would run those lines, 5.1 would not.
'use strict';
const fs = require('fs');
const path = require('path');
const { Parser, Language } = require('web-tree-sitter');

const SKIPPED = new Set(['.git', 'build', 'dist', 'node_modules']);
const FENCE = /^\s*(```+|~~~+)\s*(\S*)/;
const POWERSHELL = new Set(['powershell', 'ps1', 'pwsh', 'ps']);

function filesBelow(folder) {
  return fs.readdirSync(folder, { withFileTypes: true }).flatMap((entry) => {
    const full = path.join(folder, entry.name);
    if (entry.isDirectory()) return SKIPPED.has(entry.name) ? [] : filesBelow(full);
    return entry.isFile() ? [full] : [];
  });
}

// The fenced powershell blocks of a Markdown text, each with the line its
// code starts on (1-based).
function powershellBlocks(text) {
  const blocks = [];
  let open = null;
  text.split('\n').forEach((line, index) => {
    const fence = FENCE.exec(line);
    if (open) {
      if (fence && fence[1][0] === open.fence[0] && fence[1].length >= open.fence.length && !fence[2]) {
        if (open.wanted) blocks.push({ firstLine: open.firstLine, code: open.lines.join('\n') });
        open = null;
      } else {
        open.lines.push(line);
      }
    } else if (fence) {
      open = { fence: fence[1], wanted: POWERSHELL.has(fence[2].toLowerCase()), firstLine: index + 2, lines: [] };
    }
  });
  return blocks;
}

// Every node the parser could not fit into the grammar, or had to invent.
function syntaxErrors(node, found = []) {
  if (node.isError || node.isMissing) {
    found.push(node);
    return found;
  }
  for (const child of node.children) syntaxErrors(child, found);
  return found;
}

// Sources that only PowerShell 7 runs: the Pester tests and what supports them.
function forPowerShell7Only(file) {
  return /\.Tests\.ps1$/i.test(file) || file.split(path.sep).includes('testing');
}

function ancestor(node, type) {
  for (let up = node.parent; up; up = up.parent) if (up.type === type) return up;
  return null;
}

// What a 5.1 parser rejects or reads otherwise, each with the node to report.
// The grammar cannot parse ??, ?. and the ternary operator either; they show
// as errors whose text starts with the operator.
function windowsPowerShellGaps(node, found = []) {
  const named = (what) => found.push({ node, what });
  if (node.isError && node.childCount === 0) {
    // The operator's own token: '?.' follows its operand directly, the
    // ternary's '?' stands after a space.
    const text = node.text;
    if (text.trimStart().startsWith('??')) named("the '??' operator");
    else if (text.startsWith('?')) named("the '?.' operator");
    else if (text.trimStart().startsWith('?')) named('the ternary operator');
  } else if (node.type === '&&' || node.type === '||') {
    if (node.parent?.type === 'pipeline_chain_tail') named(`'${node.type}' between pipelines`);
  } else if (node.type === 'command_parameter' && /^-Parallel$/i.test(node.text)) {
    const command = ancestor(node, 'command');
    const name = command?.children.find((child) => child.type === 'command_name')?.text ?? '';
    if (/^(ForEach-Object|foreach|%)$/i.test(name)) named('ForEach-Object -Parallel');
  } else if (node.type === 'variable' && /^\$(PSScriptRoot|PSCommandPath)$/i.test(node.text)) {
    if (ancestor(node, 'param_block')) named(`${node.text} inside param(), which 5.1 leaves empty there`);
  }
  for (const child of node.children) windowsPowerShellGaps(child, found);
  return found;
}

async function main() {
  const root = process.argv[2];
  if (!root) {
    console.error('usage: node check.cjs ROOT');
    return 2;
  }
  await Parser.init();
  const grammar = require.resolve('tree-sitter-powershell/tree-sitter-powershell.wasm');
  const parser = new Parser();
  parser.setLanguage(await Language.load(grammar));

  const sources = [];
  for (const file of filesBelow(root).sort()) {
    const shown = path.relative(process.cwd(), file) || file;
    const for51 = !forPowerShell7Only(path.relative(root, file));
    if (/\.ps1$/i.test(file)) sources.push({ shown, for51, file: true, firstLine: 1, code: fs.readFileSync(file, 'utf8') });
    else if (/\.md$/i.test(file))
      for (const block of powershellBlocks(fs.readFileSync(file, 'utf8'))) sources.push({ shown, for51, ...block });
  }

  let failures = 0;
  let gaps = 0;
  const report = (source, node, what) =>
    console.error(`${source.shown}:${source.firstLine + node.startPosition.row}:${node.startPosition.column + 1}: ${what}`);
  for (const source of sources) {
    const code = source.code.replace(/^\uFEFF/, '');
    const tree = parser.parse(code);
    for (const node of syntaxErrors(tree.rootNode)) {
      const near = code.slice(node.startIndex, node.startIndex + 40).split(/\r?\n/)[0];
      report(source, node, node.isMissing ? `missing ${node.type}` : `syntax error near '${near}'`);
      failures += 1;
    }
    if (!source.for51) continue;
    for (const { node, what } of windowsPowerShellGaps(tree.rootNode)) {
      report(source, node, `Windows PowerShell 5.1 lacks ${what}`);
      gaps += 1;
    }
    // 5.1 reads a script file without a byte-order mark in the ANSI code page.
    if (source.file && !source.code.startsWith('\uFEFF')) {
      const line = code.split('\n').findIndex((text) => /[^\x00-\x7F]/.test(text));
      if (line >= 0) {
        console.error(`${source.shown}:${line + 1}:1: Windows PowerShell 5.1 reads this file, which has no byte-order mark, in the ANSI code page: keep it ASCII`);
        gaps += 1;
      }
    }
  }
  if (sources.length === 0) {
    console.error(`no PowerShell found below ${root}`);
    return 1;
  }
  console.log(`${sources.length} PowerShell sources parsed, ${failures} syntax errors, ` +
              `${gaps} lines that Windows PowerShell 5.1 would not run`);
  return failures + gaps === 0 ? 0 : 1;
}

main().then((status) => process.exit(status), (error) => {
  console.error(error);
  process.exit(2);
});

#!/usr/bin/env node
// Parses PowerShell with tree-sitter's PowerShell grammar, since PowerShell
// itself does not run here: every .ps1 file below ROOT, and every fenced
// powershell block in its Markdown files.
//   node check.cjs ROOT
// A syntax error fails the check and is reported as FILE:LINE:COLUMN.
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
    if (/\.ps1$/i.test(file)) sources.push({ shown, firstLine: 1, code: fs.readFileSync(file, 'utf8') });
    else if (/\.md$/i.test(file))
      for (const block of powershellBlocks(fs.readFileSync(file, 'utf8'))) sources.push({ shown, ...block });
  }

  let failures = 0;
  for (const source of sources) {
    const code = source.code.replace(/^\uFEFF/, '');
    for (const node of syntaxErrors(parser.parse(code).rootNode)) {
      const line = source.firstLine + node.startPosition.row;
      const near = code.slice(node.startIndex, node.startIndex + 40).split('\n')[0];
      const what = node.isMissing ? `missing ${node.type}` : `syntax error near '${near}'`;
      console.error(`${source.shown}:${line}:${node.startPosition.column + 1}: ${what}`);
      failures += 1;
    }
  }
  if (sources.length === 0) {
    console.error(`no PowerShell found below ${root}`);
    return 1;
  }
  console.log(`${sources.length} PowerShell sources parsed, ${failures} syntax errors`);
  return failures === 0 ? 0 : 1;
}

main().then((status) => process.exit(status), (error) => {
  console.error(error);
  process.exit(2);
});

#!/usr/bin/env node
// Parses and converts every workflow file below ROOT/.github/workflows with
// GitHub's workflow parser, as Actions would before running it, and reports
// each error as FILE: message. Nothing is run.
//   node check.mjs ROOT
import fs from 'node:fs';
import { register } from 'node:module';
import path from 'node:path';

register('./json-modules.mjs', import.meta.url);
const { convertWorkflowTemplate, NoOperationTraceWriter, parseWorkflow } = await import('@actions/workflow-parser');

const root = process.argv[2];
if (!root) {
  console.error('usage: node check.mjs ROOT');
  process.exit(2);
}
const folder = path.join(root, '.github', 'workflows');
const files = fs.existsSync(folder) ? fs.readdirSync(folder).filter((name) => /\.ya?ml$/.test(name)).sort() : [];
if (files.length === 0) {
  console.error(`no workflow files in ${folder}`);
  process.exit(1);
}
let errors = 0;
for (const name of files) {
  const shown = path.join('.github', 'workflows', name);
  const parsed = parseWorkflow({ name: shown, content: fs.readFileSync(path.join(folder, name), 'utf8') },
    new NoOperationTraceWriter());
  const found = [...parsed.context.errors.getErrors()];
  if (parsed.value && found.length === 0) {
    const template = await convertWorkflowTemplate(parsed.context, parsed.value);
    found.push(...(template.errors ?? []).map((error) => ({ message: error.Message ?? String(error) })));
  }
  for (const error of found) console.error(`${shown}: ${error.message ?? error.Message ?? error}`);
  errors += found.length;
}
console.log(`${files.length} workflow files checked, ${errors} errors`);
process.exit(errors === 0 ? 0 : 1);

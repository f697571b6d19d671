// A module hook: the parser imports its JSON schemas without the import
// attribute that Node asks for, as a bundler would allow; load them as JSON.
import fs from 'node:fs';

export async function load(url, context, nextLoad) {
  if (url.startsWith('file:') && url.endsWith('.json')) {
    return { format: 'json', source: fs.readFileSync(new URL(url), 'utf8'), shortCircuit: true };
  }
  return nextLoad(url, context);
}

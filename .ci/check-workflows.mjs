// Checks workflow files of the forge's hosted runners, as .ci/check-workflows
// runs it:
//
//   node .ci/check-workflows.mjs PARSER-INDEX.js FILE...
//
// First by the forge's own parser (parseWorkflow, then
// convertWorkflowTemplate): every error either reports. Then what the
// parser does not know:
// - every action (`uses:`) is pinned by a full 40-hex commit, with its
//   version in a comment on the same line, or is a folder of the repository;
// - every `runs-on:` is one label of the runners the forge offers;
// - every command of a `run:` step is one a developer runs too: a script
//   of the repository (run as `.ci/run` or `bash .ci/run`), the README's
//   `cmake --workflow --preset NAME` with NAME a workflow preset of
//   CMakePresets.json, or the README's installers of prerequisites
//   (`apt-get`, `brew`, with or without `sudo`). A `run:` is plain text:
//   an expression in it could not be checked, and would be pasted into the
//   shell unquoted.
// Prints each problem as FILE:LINE: MESSAGE and exits 1 if there is any.
// Paths are the repository's: it runs from the top of the checkout.
import { register } from 'node:module';
import { accessSync, constants, existsSync, readFileSync } from 'node:fs';
import { pathToFileURL } from 'node:url';

// The parser imports its JSON schemas without saying they are JSON, which
// Node 20 refuses; this hook says it for every .json it loads.
const hook = `export async function load(url, context, nextLoad) {
  if (!url.endsWith('.json')) return nextLoad(url, context);
  return nextLoad(url, {...context, importAttributes: {...context.importAttributes, type: 'json'}});
}`;
register(`data:text/javascript,${encodeURIComponent(hook)}`);

const [parserIndex, ...files] = process.argv.slice(2);
const parser = await import(pathToFileURL(parserIndex).href);

// The forge's hosted runners that the workflows may ask for.
const runners = new Set(['ubuntu-24.04', 'ubuntu-24.04-arm', 'macos-15', 'macos-15-intel',
                         'windows-latest']);
const presets = new Set(JSON.parse(readFileSync('CMakePresets.json', 'utf8'))
                          .workflowPresets.map((p) => p.name));
const installers = new Set(['apt-get', 'brew']);

let problems = 0;
for (const file of files) {
  const content = readFileSync(file, 'utf8');
  const lines = content.split('\n');
  const problem = (token, message) => {
    console.log(`${file}:${token?.line ?? 1}: ${message}`);
    problems += 1;
  };
  const parsed = parser.parseWorkflow({ name: file, content }, new parser.NoOperationTraceWriter());
  const workflow = await parser.convertWorkflowTemplate(parsed.context, parsed.value);
  // The parser's messages name the file and the line already.
  if (workflow.errors?.length) {
    for (const e of workflow.errors) console.log(e.Message);
    problems += workflow.errors.length;
    continue;
  }
  const pinned = (token) => {
    if (!parser.isString(token)) return problem(token, 'an action named by an expression');
    const uses = token.value;
    if (uses.startsWith('./')) {
      if (!existsSync(uses)) problem(token, `uses ${uses}, which the repository does not have`);
    } else if (!/^[\w.-]+\/[\w./-]+@[0-9a-f]{40}$/.test(uses)) {
      problem(token, `uses ${uses}, not pinned by a full commit`);
    } else if (!/#\s*v\d/.test(lines[token.line - 1] ?? '')) {
      problem(token, `uses ${uses} without its version in a comment`);
    }
  };
  for (const job of workflow.jobs ?? []) {
    if (job.type === 'reusableWorkflowJob') {
      pinned(job.ref);
      continue;
    }
    // A label, or a list of labels that the runner must all have.
    const runsOn = job['runs-on'];
    const labels = parser.isString(runsOn) ? [runsOn]
                 : parser.isSequence(runsOn) ? [...runsOn] : [undefined];
    for (const label of labels) {
      if (!parser.isString(label) || !runners.has(label.value)) {
        problem(runsOn ?? job.id, `job ${job.id.value} runs on ${label?.value ?? 'an expression or a group'}, ` +
                `not on one of: ${[...runners].join(', ')}`);
      }
    }
    for (const step of job.steps) {
      if ('uses' in step) pinned(step.uses);
      if (!('run' in step)) continue;
      if (!parser.isString(step.run)) {
        problem(step.run, 'a run: step with an expression in it');
        continue;
      }
      // One command a line; a line that ends in a backslash goes on.
      const text = step.run.value.replace(/\\\n/g, ' ');
      for (const line of text.split('\n').map((l) => l.trim())) {
        if (line === '' || line.startsWith('#')) continue;
        const words = line.split(/\s+/);
        if (words[0] === 'sudo') words.shift();
        const [command] = words;
        if (command === 'bash' || command === 'sh') {
          if (!existsSync(words[1] ?? '')) {
            problem(step.run, `runs ${words[1]}, which the repository does not have`);
          }
        } else if (command.includes('/')) {
          try {
            accessSync(command, constants.X_OK);
          } catch {
            problem(step.run, `runs ${command}, which the repository does not have as a program`);
          }
        } else if (command === 'cmake') {
          if (words.length !== 4 || words[1] !== '--workflow' || words[2] !== '--preset' ||
              !presets.has(words[3])) {
            problem(step.run, `runs "${line}", not cmake --workflow --preset NAME with NAME one of: ` +
                    [...presets].join(', '));
          }
        } else if (!installers.has(command)) {
          problem(step.run, `runs ${command}, neither a script of the repository nor the README's`);
        }
      }
    }
  }
}
process.exit(problems === 0 ? 0 : 1);

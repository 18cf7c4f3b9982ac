// Shared by the interop checks: the tally, @bsv/sdk, and the C++ helper that answers one JSON
// request per line with Dialo's own primitives. A run prints one line per failure and closes
// with "N passed, N failed"; it exits non-zero on any failure, a missing helper or package, or
// a crash.

import { spawn } from 'node:child_process'
import { createInterface } from 'node:readline'

let passed = 0
let failed = 0

export function check (name, ok, detail = '') {
  if (ok) passed++
  else {
    failed++
    console.log(`FAIL ${name}${detail ? ` -- ${detail}` : ''}`)
  }
}

export function eq (name, got, want, context = '') {
  const show = (v) => {
    const s = typeof v === 'string' ? v : JSON.stringify(v)
    return s !== undefined && s.length > 200 ? `${s.slice(0, 200)}... (${s.length} chars)` : s
  }
  check(name, got === want, `expected ${show(want)}, got ${show(got)}${context ? ` (${context})` : ''}`)
}

/// @bsv/sdk, or a failed run with the reason when it is not installed.
export async function loadSdk () {
  try {
    return await import('@bsv/sdk')
  } catch (e) {
    console.error(`cannot load @bsv/sdk (${e.message}); run scripts/setup to install tests/interop/node_modules`)
    console.log('0 passed, 1 failed')
    process.exit(1)
  }
}

/// The SDK and the helper named by the first argument, run with `env`; `usage` ends the run
/// when it is missing.
export async function start (usage, env = process.env) {
  if (!process.argv[2]) {
    console.error(`usage: ${usage}`)
    process.exit(2)
  }
  const sdk = await loadSdk()
  const proc = spawn(process.argv[2], [], { env, stdio: ['pipe', 'pipe', 'inherit'] })
  const exited = new Promise((resolve) => {
    proc.on('error', () => resolve(-1))
    proc.on('exit', (code) => resolve(code ?? -1))
  })
  proc.stdin.on('error', () => {}) // a dead helper shows as an unanswered call
  const lines = createInterface({ input: proc.stdout, crlfDelay: Infinity })[Symbol.asyncIterator]()
  const helper = {
    async call (request) {
      proc.stdin.write(JSON.stringify(request) + '\n')
      const { value, done } = await lines.next()
      if (done) throw new Error(`helper ended before answering ${request.cmd}`)
      const answer = JSON.parse(value)
      if (answer.ok !== true) throw new Error(`helper refused ${request.cmd}: ${answer.error}`)
      return answer
    },
    async close () {
      proc.stdin.end()
      return await exited
    }
  }
  return { sdk, helper }
}

// Runs one group of checks; a throw inside counts as one failure and the run goes on.
export async function section (name, body) {
  try {
    await body()
  } catch (e) {
    check(`${name}: ran to the end`, false, e.stack ?? String(e))
  }
}

/// Closes the helper (when there is one), prints the tally and exits: non-zero on any failure
/// or when nothing ran.
export async function finish (helper) {
  if (helper) eq('helper exit code', await helper.close(), 0)
  if (passed === 0) check('at least one check ran', false)
  console.log(`${passed} passed, ${failed} failed`)
  process.exit(failed === 0 ? 0 : 1)
}

export const hex = (bytes) => Buffer.from(bytes).toString('hex')
export const arr = (hexText) => [...Buffer.from(hexText, 'hex')]

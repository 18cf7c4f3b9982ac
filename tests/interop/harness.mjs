// Shared by the interop checks: the tally of checks, and the C++ helper that answers one
// JSON request per line with Dialo's own primitives.

import { spawn } from 'node:child_process'
import { createInterface } from 'node:readline'

let passed = 0
let failed = 0

export function check (name, ok, detail = '') {
  if (ok) {
    passed++
  } else {
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

/// Loads @bsv/sdk or ends the run as a failure.
export async function loadSdk () {
  try {
    return await import('@bsv/sdk')
  } catch (e) {
    console.error(`cannot load @bsv/sdk (${e.message}); run scripts/setup to install tests/interop/node_modules`)
    console.log('0 passed, 1 failed')
    process.exit(1)
  }
}

// One JSON line in, one JSON line out, in order.
export class Helper {
  constructor (path) {
    this.waiting = []
    this.exit = new Promise((resolve) => {
      this.proc = spawn(path, [], { stdio: ['pipe', 'pipe', 'inherit'] })
      this.proc.on('error', (e) => {
        this.failAll(new Error(`helper did not start: ${e.message}`))
        resolve(-1)
      })
      this.proc.on('exit', (code, signal) => {
        this.failAll(new Error(`helper ended (code ${code}, signal ${signal})`))
        resolve(code ?? -1)
      })
    })
    this.proc.stdin.on('error', () => {}) // a dead helper shows up through 'exit'
    createInterface({ input: this.proc.stdout, crlfDelay: Infinity }).on('line', (line) => {
      const w = this.waiting.shift()
      if (w) w.resolve(line)
    })
  }

  failAll (err) {
    this.dead = err
    for (const w of this.waiting.splice(0)) w.reject(err)
  }

  async call (request) {
    if (this.dead) throw this.dead
    const line = await new Promise((resolve, reject) => {
      this.waiting.push({ resolve, reject })
      this.proc.stdin.write(JSON.stringify(request) + '\n')
    })
    const answer = JSON.parse(line)
    if (answer.ok !== true) throw new Error(`helper refused ${request.cmd}: ${answer.error}`)
    return answer
  }

  async close () {
    this.proc.stdin.end()
    return await this.exit
  }
}

// Runs one group of checks; a throw inside counts as one failure and the run goes on.
export async function section (name, body) {
  try {
    await body()
  } catch (e) {
    check(`${name}: ran to the end`, false, e.stack ?? String(e))
  }
}

/// Closes the helper, prints the tally and exits: non-zero on any failure or when nothing ran.
export async function finish (helper) {
  const code = await helper.close()
  eq('helper exit code', code, 0)
  if (passed === 0) check('at least one check ran', false)
  console.log(`${passed} passed, ${failed} failed`)
  process.exit(failed === 0 ? 0 : 1)
}

export const hex = (bytes) => Buffer.from(bytes).toString('hex')
export const arr = (hexText) => [...Buffer.from(hexText, 'hex')]

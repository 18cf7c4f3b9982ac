// Call events here follow the rules without Dialo's code; any failure, missing helper or crash exits non-zero.

import { spawn } from 'node:child_process'
import { createHash } from 'node:crypto'
import { request } from 'node:https'
import { createInterface } from 'node:readline'

let passed = 0
let failed = 0

export function check (name, ok, detail = '') {
  if (ok) return passed++
  failed++
  console.log(`FAIL ${name}${detail ? ` -- ${detail}` : ''}`)
}

export function eq (name, got, want, context = '') {
  const show = (v, s = typeof v === 'string' ? v : JSON.stringify(v)) =>
    s !== undefined && s.length > 200 ? `${s.slice(0, 200)}... (${s.length} chars)` : s
  check(name, got === want, `expected ${show(want)}, got ${show(got)}${context ? ` (${context})` : ''}`)
}

/// The arguments after the script, or the usage and exit code 2 when fewer than `count`.
export function args (count, usage) {
  const list = process.argv.slice(2)
  if (list.length < count) console.error(`usage: node ${usage}`), process.exit(2)
  return list
}

export async function loadSdk () {
  try {
    return await import('@bsv/sdk')
  } catch (e) {
    console.error(`cannot load @bsv/sdk (${e.message}); run scripts/setup to install tests/interop/node_modules`)
    console.log('0 passed, 1 failed')
    process.exit(1)
  }
}

export async function start (usage, env = process.env) {
  const sdk = await loadSdk()
  const proc = spawn(args(1, usage)[0], [], { env, stdio: ['pipe', 'pipe', 'inherit'] })
  const exited = new Promise((resolve) => proc.on('error', () => resolve(-1)).on('exit', (code) => resolve(code ?? -1)))
  proc.stdin.on('error', () => {}) // a dead helper shows as an unanswered call
  const lines = createInterface({ input: proc.stdout, crlfDelay: Infinity })[Symbol.asyncIterator]()
  const helper = {
    async call (cmd, fields = {}) {
      proc.stdin.write(JSON.stringify({ cmd, ...fields }) + '\n')
      const { value, done } = await lines.next()
      if (done) throw new Error(`helper ended before answering ${cmd}`)
      const answer = JSON.parse(value)
      if (answer.ok !== true) throw new Error(`helper refused ${cmd}: ${answer.error}`)
      return answer
    },
    async close () { proc.stdin.end(); return await exited }
  }
  return { sdk, helper }
}

// Runs one group of checks; a throw inside counts as one failure and the run goes on.
export async function section (name, body) {
  await Promise.resolve().then(body).catch((e) => check(`${name}: ran to the end`, false, e.stack ?? String(e)))
}

/// Exits non-zero on any failure or when nothing ran.
export async function finish (helper) {
  if (helper) eq('helper exit code', await helper.close(), 0)
  if (passed === 0) check('at least one check ran', false)
  console.log(`${passed} passed, ${failed} failed`)
  process.exit(failed === 0 ? 0 : 1)
}

export const hex = (bytes) => Buffer.from(bytes).toString('hex')
export const arr = (hexText) => [...Buffer.from(hexText, 'hex')]
export const utf8 = (s) => [...Buffer.from(s, 'utf8')]

// ---- Call events ---------------------------------------------------------------------------

export const IDENTITY_PATH = "m/44'/236'/100'/0/0"
export const BUILT_IN_FEES = { event_fee_address: '1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH', call_fee_address: '1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP' }

const trim = (s) => s.replace(/^[ \t\n\v\f\r]+|[ \t\n\v\f\r]+$/g, '')
const lower = (s) => s.replace(/[A-Z]/g, (c) => c.toLowerCase())

/// Trim, one leading "@" or "$" off, trim again, ASCII lower case.
function speaker (handle) {
  let h = trim(handle)
  if (h.startsWith('@') || h.startsWith('$')) h = trim(h.slice(1))
  return lower(h)
}

// A string field (absent or of another type, empty); an integer field (else 0).
const text = (e, key) => typeof e[key] === 'string' ? e[key] : ''
const integer = (e, key, v = e[key]) =>
  typeof v === 'number' ? Math.trunc(v) : typeof v === 'string' && /^-?[0-9]+$/.test(v) ? Number(v) : 0

export function canonicalText (e) {
  const channel = text(e, 'channel') !== '' ? text(e, 'channel') : text(e, 'location')
  const audioHash = createHash('sha256').update(Buffer.from(text(e, 'audio'), 'utf8')).digest('hex')
  return ['OV1', trim(text(e, 'type')), lower(trim(channel)), speaker(text(e, 'handle')), speaker(text(e, 'actor')),
    integer(e, 'ts'), text(e, 'kind'), text(e, 'id'), integer(e, 'n'), text(e, 'codec'), text(e, 'mark'),
    integer(e, 'secs'), audioHash].join('|')
}

const byteOrder = (a, b) => Buffer.compare(Buffer.from(a, 'utf8'), Buffer.from(b, 'utf8'))

/// No white space between tokens, the keys of every object in ascending byte order.
export function compact (v) {
  if (Array.isArray(v)) return `[${v.map(compact).join(',')}]`
  if (v !== null && typeof v === 'object') {
    return `{${Object.keys(v).sort(byteOrder).map((k) => `${JSON.stringify(k)}:${compact(v[k])}`).join(',')}}`
  }
  return JSON.stringify(v)
}

/// The data output's payload as every phone writes it: compact, "enc_v" first, "type" last.
export const payloadOf = (outer) => compact({
  enc_v: 4, location: 'dialo', pmessage1: outer.pmessage1, protocol: 'OV-Dialo', ts: outer.ts, type: 'dl'
})

/// The identity signature: Base64 of r and s, 32 bytes each, over the signed-message digest.
export function identitySignature (sdk, message, key) {
  const sig = sdk.BSM.sign(utf8(message), key, 'raw')
  return Buffer.from([...sig.r.toArray('be', 32), ...sig.s.toArray('be', 32)]).toString('base64')
}

/// Verifies an identity signature (64 bytes) or a compact one (65, header ignored) by the SDK.
export function verifyIdentitySignature (sdk, message, signature, pubHex) {
  const bytes = [...Buffer.from(signature ?? '', 'base64')]
  if (bytes.length !== 64 && bytes.length !== 65) return false
  const rs = bytes.slice(bytes.length - 64)
  const sig = new sdk.Signature(new sdk.BigNumber(rs.slice(0, 32)), new sdk.BigNumber(rs.slice(32)))
  return attempt(() => sdk.BSM.verify(utf8(message), sig, sdk.PublicKey.fromString(pubHex ?? '')), false)
}

/// The push after OP_FALSE OP_RETURN (or a bare OP_RETURN), when it fits the script; else null.
export function dataPush (script) {
  let at = script[0] === 0x00 && script[1] === 0x6a ? 2 : script[0] === 0x6a ? 1 : -1
  if (at < 0 || at >= script.length) return null
  const op = script[at++]
  const width = { 0x4c: 1, 0x4d: 2, 0x4e: 4 }[op] ?? 0
  let length = op >= 1 && op <= 75 ? op : 0
  if (width === 0 && length === 0) return null
  if (width > 0) {
    if (script.length - at < width) return null
    length = 0
    for (let i = width - 1; i >= 0; i--) length = length * 256 + script[at + i]
    at += width
  }
  return length <= script.length - at ? script.slice(at, at + length) : null
}

/// A transaction output's data push as { text, json }; null unless it holds JSON.
export function outputPayload (output) {
  const script = output.lockingScript.toHex()
  if (!script.startsWith('006a')) return null
  const text = Buffer.from(dataPush(arr(script)) ?? []).toString('utf8')
  return attempt(() => ({ text, json: JSON.parse(text) }), null)
}

export function attempt (fn, otherwise) {
  try { return fn() } catch (e) { return typeof otherwise === 'function' ? otherwise(e) : otherwise }
}

export const identityKey = (sdk, phrase) =>
  sdk.HD.fromSeed(sdk.Mnemonic.fromString(phrase).toSeed()).derive(IDENTITY_PATH).privKey

/// The text an ECIES blob (hex) holds for `key`; null when the key does not open it.
export const unseal = (sdk, blobHex, key) => attempt(() => sdk.Utils.toUTF8(sdk.ECIES.electrumDecrypt(arr(blobHex), key)), null)

/// Whether the SDK's interpreter lets input `index` of `tx` spend `source` ({ sats, lockingScript }).
export function spendAccepts (sdk, tx, index, source) {
  const input = tx.inputs[index]
  return attempt(() => new sdk.Spend({
    sourceTXID: input.sourceTXID,
    sourceOutputIndex: input.sourceOutputIndex,
    sourceSatoshis: source.sats,
    lockingScript: source.lockingScript,
    transactionVersion: tx.version,
    otherInputs: tx.inputs.filter((_, i) => i !== index),
    outputs: tx.outputs,
    inputIndex: index,
    unlockingScript: input.unlockingScript,
    inputSequence: input.sequence,
    lockTime: tx.lockTime
  }).validate() === true, false)
}

// ---- The devnet ----------------------------------------------------------------------------

/// HTTPS to the devnet at `base` trusting its CA: { status, body }.
export function devnetRequest (base, ca, method, path, body) {
  return new Promise((resolve, reject) => {
    const data = body === undefined ? undefined : JSON.stringify(body)
    const req = request(new URL(path, base), {
      method, ca, timeout: 20000, headers: data === undefined ? {} : { 'Content-Type': 'application/json' }
    }, (res) => {
      let text = ''
      res.setEncoding('utf8').on('data', (chunk) => { text += chunk }).on('end', () => resolve({ status: res.statusCode, body: text }))
    })
    req.on('timeout', () => req.destroy(new Error(`${method} ${path}: no answer within 20 s`)))
    req.on('error', reject)
    if (data !== undefined) req.write(data)
    req.end()
  })
}

/// Signed over the text the directory checks (no avatar, no BN key).
export async function claim (sdk, base, ca, alias, key) {
  const pubkey = key.toPublicKey().toString()
  const address = key.toPublicKey().toAddress()
  const ts = Math.floor(Date.now() / 1000)
  const sig = sdk.BSM.sign(utf8(`OV-PAYMAIL-CLAIM|${alias}|${pubkey}|${address}||${ts}`), key)
  const r = await devnetRequest(base, ca, 'POST', '/api/paymail/claim', { alias, pubkey, address, avatar: '', ts, sig })
  if (r.status !== 200) throw new Error(`claim of ${alias} refused: ${r.status} ${r.body}`)
}

/// A GET to the devnet whose phone.json "network" object is given; the body, or a throw.
export function devnetGetter (network, ca) {
  const base = `https://127.0.0.1:${network.service_port}`
  return async (path) => {
    // The devnet closes idle connections after 5 s; a GET is safe to ask again on a new one.
    const r = await devnetRequest(base, ca, 'GET', path).catch((e) => {
      if (e.code !== 'ECONNRESET') throw e
      return devnetRequest(base, ca, 'GET', path)
    })
    if (r.status !== 200) throw new Error(`GET ${path}: ${r.status} ${r.body}`)
    return r.body
  }
}

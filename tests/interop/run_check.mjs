// Every transaction a run of phones made on a devnet, read back through its WhatsOnChain API and
// checked with @bsv/sdk alone: each input is accepted by the SDK's script interpreter against the
// output it spends, no output is spent twice, and each call event opens with the identity key of
// the wallet it pays (and no other wallet's), is signed by the sender's published identity key
// and names the sender. The transactions are those in the histories of the wallets' and the fee
// addresses and everything they spend back to the faucet's payments.
// With a third argument, a receipt per call is written there: the events each way, their
// kinds, txids and satoshis (the fee, the callee's satoshi and the event fee).
// Usage: node run_check.mjs PHONE-JSON WALLETS-FILE [RECEIPTS-FILE]
// WALLETS-FILE has one line per wallet: HANDLE ADDRESS FUNDING-TXID TWELVE WORDS OF ITS PHRASE.

import { readFileSync, writeFileSync } from 'node:fs'
import {
  BUILT_IN_FEES, args, canonicalText, check, devnetGetter, eq, finish, identityKey, loadSdk, outputPayload, spendAccepts,
  unseal, verifyIdentitySignature
} from './harness.mjs'

const [configFile, walletsFile, receiptsFile] = args(2, 'run_check.mjs PHONE-JSON WALLETS-FILE [RECEIPTS-FILE]')
const sdk = await loadSdk()
const { P2PKH, Transaction } = sdk
const network = JSON.parse(readFileSync(configFile, 'utf8')).network
const get = devnetGetter(network, readFileSync(network.ca_file))
const woc = '/woc/v1/bsv/main'

const wallets = readFileSync(walletsFile, 'utf8').split('\n').filter((l) => l.trim()).map((l) => {
  const [handle, address, funding, ...words] = l.trim().split(/\s+/)
  return { handle, address, funding, key: identityKey(sdk, words.join(' ')), script: new P2PKH().lock(address).toHex() }
})
const fees = Object.keys(BUILT_IN_FEES).map((k) => network[k] ?? BUILT_IN_FEES[k])
const funding = new Set(wallets.map((w) => w.funding))

const cache = new Map()
const txOf = async (txid) => {
  if (!cache.has(txid)) cache.set(txid, Transaction.fromHex((await get(`${woc}/tx/${txid}/hex`)).trim()))
  return cache.get(txid)
}

// The run's transactions: the histories, then what they spend, back to the faucet's payments.
const run = new Set()
for (const address of [...wallets.map((w) => w.address), ...fees]) {
  for (const { tx_hash: txid } of JSON.parse(await get(`${woc}/address/${address}/history`))) run.add(txid)
}
// The faucet's payments spend no output (their one input names no transaction): they are where
// the run's money comes from, not part of what it did.
const NO_TXID = '0'.repeat(64)
const faucet = new Set()
const queue = [...run]
while (queue.length > 0) {
  const txid = queue.pop()
  if (funding.has(txid)) continue
  const tx = await txOf(txid)
  if (tx.inputs.some((i) => i.sourceTXID === NO_TXID)) {
    faucet.add(txid)
    continue
  }
  for (const input of tx.inputs) {
    if (!run.has(input.sourceTXID)) {
      run.add(input.sourceTXID)
      queue.push(input.sourceTXID)
    }
  }
}
for (const txid of funding) {
  check(`the faucet's payment ${txid} is among the run's transactions`, run.has(txid))
  run.delete(txid)
}
for (const txid of faucet) run.delete(txid)

const spent = new Map()
const kinds = {}
let inputs = 0
let events = 0
const publishedKey = new Map()
const calls = new Map()
const feeScripts = fees.map((a) => new P2PKH().lock(a).toHex())
for (const txid of run) {
  const tx = await txOf(txid)
  eq(`${txid}: the devnet's bytes hash to the txid`, tx.id('hex'), txid)
  let paid = 0
  for (let i = 0; i < tx.inputs.length; i++) {
    const { sourceTXID, sourceOutputIndex } = tx.inputs[i]
    const outpoint = `${sourceTXID}:${sourceOutputIndex}`
    check(`${outpoint} is spent once (by ${txid} and ${spent.get(outpoint)})`, !spent.has(outpoint))
    spent.set(outpoint, txid)
    const source = (await txOf(sourceTXID)).outputs[sourceOutputIndex]
    check(`${txid} input ${i}: the SDK's interpreter accepts it`,
      source !== undefined && spendAccepts(sdk, tx, i, { sats: source.satoshis, lockingScript: source.lockingScript }))
    paid += source?.satoshis ?? 0
    inputs++
  }
  // A call event: a data output whose payload is an envelope, and 1 satoshi to its callee.
  const data = tx.outputs.find((o) => o.lockingScript.toHex().startsWith('006a'))
  const outer = data ? outputPayload(data)?.json : null
  if (!outer?.pmessage1) continue
  events++
  const callees = wallets.filter((w) => tx.outputs.some((o) => o.satoshis === 1 && o.lockingScript.toHex() === w.script))
  eq(`${txid}: pays one of the run's wallets 1 satoshi`, callees.length, 1)
  if (callees.length !== 1) continue
  const [callee] = callees
  for (const w of wallets.filter((w) => w !== callee)) {
    eq(`${txid}: ${w.handle}'s key opens nothing`, unseal(sdk, outer.pmessage1, w.key), null)
  }
  const inner = unseal(sdk, outer.pmessage1, callee.key)
  check(`${txid}: ${callee.handle}'s identity key opens it`, inner !== null)
  if (inner === null) continue
  const event = JSON.parse(inner)
  kinds[event.kind] = (kinds[event.kind] ?? 0) + 1
  const sender = wallets.find((w) => w.handle === event.handle)
  check(`${txid}: the ${event.kind} names a wallet of the run (${event.handle})`, sender !== undefined && sender !== callee)
  if (!sender) continue
  if (!publishedKey.has(sender.handle)) {
    publishedKey.set(sender.handle,
      JSON.parse(await get(`/api/bsvalias/id/${sender.handle}@${network.service_domain}`)).pubkey)
  }
  eq(`${txid}: signed with ${sender.handle}'s published identity key`, event.pubkey, publishedKey.get(sender.handle))
  eq(`${txid}: pays from ${sender.handle}'s address`, event.pay, sender.address)
  check(`${txid}: the signature verifies over the canonical text`,
    verifyIdentitySignature(sdk, canonicalText(event), event.sig, event.pubkey))
  // What the sender gave up: all but its change, which is every output to no one else.
  const kept = tx.outputs.filter((o) => o.lockingScript.toHex() !== callee.script &&
    !feeScripts.includes(o.lockingScript.toHex()) && !o.lockingScript.toHex().startsWith('006a'))
  const way = `${sender.handle} to ${callee.handle}`
  if (!calls.has(event.id)) calls.set(event.id, { ts: event.ts, ways: new Map() })
  const call = calls.get(event.id)
  call.ts = Math.min(call.ts, event.ts)
  if (!call.ways.has(way)) call.ways.set(way, [])
  call.ways.get(way).push({ kind: event.kind, n: event.n, txid, sats: paid - kept.reduce((t, o) => t + o.satoshis, 0) })
}
check('the run made transactions with call events', events > 0)
console.log(`run_check: ${run.size} transactions (after ${funding.size + faucet.size} from the faucet), ` +
  `${inputs} inputs checked by the interpreter, ${spent.size} outputs ` +
  `spent once each, ${events} events opened and verified (${Object.entries(kinds).map(([k, n]) => `${k} ${n}`).join(', ')})`)
if (receiptsFile) {
  const lines = []
  for (const [id, call] of [...calls].sort((a, b) => a[1].ts - b[1].ts)) {
    lines.push(`call ${id}`)
    for (const [way, list] of call.ways) {
      const order = (e) => ['invite', 'accept', 'box', 'audio', 'tape', 'hangup'].indexOf(e.kind) * 1e6 + (e.n ?? 0)
      list.sort((a, b) => order(a) - order(b))
      const counts = {}
      for (const e of list) counts[e.kind] = (counts[e.kind] ?? 0) + 1
      lines.push(`  ${way}: ${list.length} events (${Object.entries(counts).map(([k, n]) => `${k} ${n}`).join(', ')}), ` +
        `${list.reduce((t, e) => t + e.sats, 0)} satoshis`)
      for (const e of list) lines.push(`    ${e.kind}${e.kind === 'audio' ? ` ${e.n}` : ''}  ${e.txid}  ${e.sats} sats`)
    }
  }
  writeFileSync(receiptsFile, lines.join('\n') + '\n')
}
await finish()

// Holds the transactions Dialo builds and signs up against @bsv/sdk: its parser, its script
// interpreter and its fork-id signature hash, and checks the fee and input selection of the
// builders against sizes the SDK measures.
// Usage: node tx_check.mjs PATH-TO-dialo-interop-helper
// Prints one line per failure and closes with "N passed, N failed"; exits non-zero on any
// failure, including a missing helper, Node package or crash.

import { randomBytes, randomInt } from 'node:crypto'
import { Helper, arr, check, eq, finish, hex, loadSdk, section } from './harness.mjs'

const sdk = await loadSdk()
const {
  Hash, HD, LockingScript, Mnemonic, P2PKH, PrivateKey, Script, Spend, Transaction, TransactionSignature,
  UnlockingScript
} = sdk

const helperPath = process.argv[2]
if (!helperPath) {
  console.error('usage: node tx_check.mjs PATH-TO-dialo-interop-helper')
  process.exit(2)
}

// ---------------------------------------------------------------------------------------
// Small tools

// JSON with object keys sorted, so field order plays no part in a comparison.
const canon = (v) => JSON.stringify(v, (_, x) =>
  x && typeof x === 'object' && !Array.isArray(x) ? Object.fromEntries(Object.entries(x).sort()) : x)
const H = 0x80000000
const ALL_FORKID = TransactionSignature.SIGHASH_ALL | TransactionSignature.SIGHASH_FORKID
const MNEMONIC =
  'abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about'

const helper = new Helper(helperPath)

// ---------------------------------------------------------------------------------------
// Keys, scripts and the interpreter on the SDK side

// The SDK derives the test phrase's keys on its own; the helper only gets the path.
const root = HD.fromSeed(Mnemonic.fromString(MNEMONIC).toSeed()).deriveChild(44 + H).deriveChild(236 + H)
const derived = new Map()
function sdkKeyAt (account, index) {
  const id = `${account}/${index}`
  if (!derived.has(id)) derived.set(id, root.deriveChild(account + H).deriveChild(0).deriveChild(index).privKey)
  return derived.get(id)
}

const p2pkhOf = (key) => new P2PKH().lock(key.toPublicKey().toHash())
const randomAddress = () => PrivateKey.fromRandom().toPublicKey().toAddress()

// The push prefix after 00 6A for each payload size used, written out by hand.
const PUSH_PREFIX = {
  0: '00',
  1: '01',
  75: '4b',
  76: '4c4c',
  255: '4cff',
  256: '4d0001',
  65535: '4dffff',
  65536: '4e00000100'
}
const DATA_SIZES = Object.keys(PUSH_PREFIX).map(Number)

// A random amount, sometimes 0 and sometimes above 2^32 so every byte of the 8 is used.
function randomSats () {
  const pick = randomInt(10)
  if (pick === 0) return 0
  if (pick === 1) return 2 ** 32 + randomInt(2 ** 40)
  return 1 + randomInt(100_000_000)
}

// Everything the interpreter needs to judge input `index` of `tx`.
function spendAccepts (tx, index, source) {
  const input = tx.inputs[index]
  try {
    const spend = new Spend({
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
    })
    return spend.validate() === true
  } catch {
    return false
  }
}

function sdkSighash (tx, index, source) {
  const input = tx.inputs[index]
  const preimage = TransactionSignature.formatBytes({
    sourceTXID: input.sourceTXID,
    sourceOutputIndex: input.sourceOutputIndex,
    sourceSatoshis: source.sats,
    transactionVersion: tx.version,
    otherInputs: tx.inputs.filter((_, i) => i !== index),
    outputs: tx.outputs,
    inputIndex: index,
    subscript: source.lockingScript,
    inputSequence: input.sequence,
    lockTime: tx.lockTime,
    scope: ALL_FORKID
  })
  return hex(Hash.hash256(Array.from(preimage)))
}

// The push inside the data output, read by the SDK: at the top level it keeps everything
// after OP_RETURN as one chunk, so that remainder is parsed again as a script.
function dataPushOf (lockingScript) {
  const chunks = lockingScript.chunks
  if (chunks.length !== 2 || chunks[0].op !== 0 || chunks[1].op !== 0x6a) return null
  const inner = Script.fromBinary(chunks[1].data ?? []).chunks
  if (inner.length !== 1) return null
  return inner[0].data ?? []
}

// ---------------------------------------------------------------------------------------
// 1. Transactions built and signed here, read and judged by the SDK

function randomTxPlan (dataSize) {
  // Inputs sometimes share a source transaction, so outpoints differ only in vout.
  const inputs = []
  const shared = randomBytes(32).toString('hex')
  const nIn = 1 + randomInt(5)
  const accounts = [0, 1, 2, 3, 4, 5, 100, 102]
  for (let i = 0; i < nIn; i++) {
    const txid = randomInt(3) === 0 ? shared : randomBytes(32).toString('hex')
    const vout = txid === shared ? i : randomInt(12)
    const sats = randomSats()
    if (randomInt(5) === 0) {
      const key = PrivateKey.fromRandom()
      inputs.push({ request: { txid, vout, sats, priv: key.toHex() }, key })
    } else {
      const account = accounts[randomInt(accounts.length)]
      const index = randomInt(40)
      inputs.push({ request: { txid, vout, sats, path: [account, index] }, key: sdkKeyAt(account, index) })
    }
  }
  const outputs = Array.from({ length: 1 + randomInt(4) }, () => ({ address: randomAddress(), sats: randomSats() }))
  const data = dataSize === null ? null : randomBytes(dataSize)
  return { inputs, outputs, data }
}

async function checkSignedTx (n, plan) {
  const tag = `tx ${n} (${plan.inputs.length} in, ${plan.outputs.length} out, ` +
    `${plan.data === null ? 'no data' : `${plan.data.length}-byte data`})`
  const request = { cmd: 'build_sign_tx', inputs: plan.inputs.map((i) => i.request), outputs: plan.outputs }
  if (plan.data !== null) request.data = hex(plan.data)
  const ours = await helper.call(request)
  check(`built and signed here: ${tag}`, typeof ours.raw === 'string', JSON.stringify(ours).slice(0, 200))
  if (typeof ours.raw !== 'string') return

  let tx
  try {
    tx = Transaction.fromHex(ours.raw)
  } catch (e) {
    check(`SDK parses: ${tag}`, false, e.message)
    return
  }
  eq(`SDK txid: ${tag}`, tx.id('hex'), ours.txid)
  eq(`SDK writes the same bytes back: ${tag}`, tx.toHex(), ours.raw)
  eq(`version and lock time: ${tag}`, `${tx.version}/${tx.lockTime}`, '1/0')

  // Outputs: the P2PKH ones as the SDK would write them, then the data output.
  const wantOuts = plan.outputs.map((o) => ({ sats: o.sats, script: new P2PKH().lock(o.address).toHex() }))
  if (plan.data !== null) {
    wantOuts.push({ sats: 0, script: '006a' + PUSH_PREFIX[plan.data.length] + hex(plan.data) })
  }
  eq(`output count: ${tag}`, tx.outputs.length, wantOuts.length)
  wantOuts.forEach((want, i) => {
    const out = tx.outputs[i]
    eq(`output ${i} amount: ${tag}`, out?.satoshis, want.sats)
    eq(`output ${i} script: ${tag}`, out?.lockingScript.toHex(), want.script)
  })
  if (plan.data !== null) {
    const script = tx.outputs[tx.outputs.length - 1].lockingScript
    const push = dataPushOf(script)
    check(`data output is 00 6A and one push holding the payload, as the SDK reads it: ${tag}`,
      push !== null && Buffer.from(push).equals(plan.data),
      push === null ? `chunks ${JSON.stringify(script.chunks.map((c) => c.op))}` : `push of ${push.length} bytes`)
    check(`data output begins 006a${PUSH_PREFIX[plan.data.length]}: ${tag}`,
      script.toHex().startsWith('006a' + PUSH_PREFIX[plan.data.length]))
  }

  // Our parser reads the same fields as the SDK.
  const parsed = ours.parsed ?? {}
  const sdkFields = {
    version: tx.version,
    inputs: tx.inputs.map((i) => ({
      txid: i.sourceTXID, vout: i.sourceOutputIndex, script: i.unlockingScript.toHex(), sequence: i.sequence
    })),
    outputs: tx.outputs.map((o) => ({ sats: o.satoshis, script: o.lockingScript.toHex() })),
    lockTime: tx.lockTime
  }
  eq(`our parser agrees with the SDK: ${tag}`, canon(parsed), canon(sdkFields))

  // The estimate form is never smaller than the signed transaction, and not by much larger.
  const slack = ours.estimate - ours.raw.length / 2
  check(`estimate covers the signed size: ${tag}`, slack >= 0 && slack <= 3 * plan.inputs.length,
    `estimate ${ours.estimate}, signed ${ours.raw.length / 2}`)

  const sources = plan.inputs.map((i) => ({ sats: i.request.sats, lockingScript: p2pkhOf(i.key) }))
  for (let j = 0; j < plan.inputs.length; j++) {
    const input = tx.inputs[j]
    const want = plan.inputs[j]
    const where = `input ${j} of ${tag}`
    eq(`outpoint of ${where}`, `${input.sourceTXID}:${input.sourceOutputIndex}`, `${want.request.txid}:${want.request.vout}`)
    eq(`sequence of ${where}`, input.sequence, 0xFFFFFFFF)
    const chunks = input.unlockingScript.chunks
    const sig = chunks[0]?.data ?? []
    check(`unlocking script is two pushes, signature ending 41: ${where}`,
      chunks.length === 2 && sig.length >= 9 && sig[sig.length - 1] === 0x41)
    eq(`unlocking key of ${where}`, hex(chunks[1]?.data ?? []), hex(want.key.toPublicKey().encode(true)))
    eq(`fork-id signature hash of ${where}`, ours.sighashes[j], sdkSighash(tx, j, sources[j]))
    check(`SDK interpreter accepts ${where}`, spendAccepts(tx, j, sources[j]))

    // With the hash type checked above (ALL|FORKID) and the hash equal to the SDK's, the SDK's
    // interpreter refuses any change to the signed parts; tampering is not re-tested here.
  }
}

await section('signed transactions', async () => {
  // Two of every three carry data, cycling through the sizes so each is met several times.
  const seen = new Set()
  let withData = 0
  for (let n = 0; n < 60; n++) {
    const size = n % 3 === 2 ? null : DATA_SIZES[withData++ % DATA_SIZES.length]
    const plan = randomTxPlan(size)
    if (plan.data !== null) seen.add(plan.data.length)
    await checkSignedTx(n, plan)
  }
  for (const size of DATA_SIZES) check(`a ${size}-byte data output was covered`, seen.has(size))
})

// ---------------------------------------------------------------------------------------
// 2. Transactions made by the SDK, read by our parser

await section('parser', async () => {
  for (let n = 0; n < 12; n++) {
    const inputs = Array.from({ length: 1 + randomInt(4) }, () => ({
      sourceTXID: randomBytes(32).toString('hex'),
      sourceOutputIndex: randomInt(2 ** 32),
      unlockingScript: new UnlockingScript([
        { op: 72, data: [...randomBytes(72)] },
        { op: 33, data: [...randomBytes(33)] }
      ]),
      sequence: randomInt(2) === 0 ? 0xFFFFFFFF : randomInt(2 ** 32)
    }))
    const outputs = Array.from({ length: 1 + randomInt(4) }, () => ({
      satoshis: randomSats(), lockingScript: new P2PKH().lock(randomAddress())
    }))
    // An output script above 252 bytes needs a 3-byte length.
    outputs.push({ satoshis: 0, lockingScript: LockingScript.fromHex('006a4d2c01' + randomBytes(300).toString('hex')) })
    const tx = new Transaction(1 + randomInt(2), inputs, outputs, randomInt(2) === 0 ? 0 : randomInt(2 ** 32))
    const raw = tx.toHex()
    const tag = `SDK-made tx ${n}`
    const ours = await helper.call({ cmd: 'parse_tx', raw })
    eq(`our txid of ${tag}`, ours.txid, tx.id('hex'))
    eq(`our parse of ${tag}`, canon(ours.parsed), canon({
      inputs: tx.inputs.map((i) => ({
        script: i.unlockingScript.toHex(), sequence: i.sequence, txid: i.sourceTXID, vout: i.sourceOutputIndex
      })),
      lockTime: tx.lockTime,
      outputs: tx.outputs.map((o) => ({ sats: o.satoshis, script: o.lockingScript.toHex() })),
      version: tx.version
    }))
    const cut = raw.slice(0, raw.length - 2 * (1 + randomInt(raw.length / 2 - 1)))
    eq(`our parser refuses ${tag} cut short`, (await helper.call({ cmd: 'parse_tx', raw: cut })).parsed, null)
    eq(`our parser refuses ${tag} with a byte too many`, (await helper.call({ cmd: 'parse_tx', raw: raw + '00' })).parsed, null)
  }
})

// ---------------------------------------------------------------------------------------
// 3. Fees and input selection

// ceil(rate × size / 1000) in integers; the SDK's own fee model works in floating point
// (1100 bytes at 100 sat/kB gives 111 there), so it is not used as the reference.
const feeRule = (size, rate) => size < 1 ? 1 : Math.floor((Math.max(rate, 1) * size + 999) / 1000)

// The size the SDK gives to `count` inputs with 107-byte unlocking scripts and `outputs`.
function sdkEstimateSize (count, outputs) {
  const inputs = Array.from({ length: count }, () => ({
    sourceTXID: '00'.repeat(32),
    sourceOutputIndex: 0,
    unlockingScript: UnlockingScript.fromHex('00'.repeat(107)),
    sequence: 0xFFFFFFFF
  }))
  const outs = outputs.map((o) => ({ satoshis: o.sats, lockingScript: LockingScript.fromHex(o.script) }))
  return new Transaction(1, inputs, outs, 0).toBinary().length
}

const sum = (list) => list.reduce((t, x) => t + x.sats, 0)

await section('fees', async () => {
  const fixed = [[225, 1, 1], [225, 100, 23], [192, 100, 20], [226, 100, 23], [1000, 1, 1], [1001, 1, 2],
    [1100, 100, 110], [225, 0, 1], [0, 500, 1]]
  for (const [size, rate, fee] of fixed) {
    eq(`fee of ${size} bytes at ${rate} sat/kB`, (await helper.call({ cmd: 'fee_for_size', size, rate })).fee, fee)
    eq(`reference fee of ${size} bytes at ${rate} sat/kB`, feeRule(size, rate), fee)
  }

  // One coin paying one address at rate 1 and at rate 100; the estimate is 192 bytes and
  // 226 with change.
  const changeAddress = randomAddress()
  for (const [rate, fee] of [[1, 1], [100, 23]]) {
    const r = await helper.call({
      cmd: 'build_tx',
      mode: 'build_tx',
      coins: [{ txid: randomBytes(32).toString('hex'), vout: 0, sats: 100_000 }],
      requested: [{ address: randomAddress(), sats: 50_000 }],
      change: changeAddress,
      rate
    })
    eq(`one coin, one output and change at rate ${rate}: built`, r.built, true, r.error)
    eq(`one coin, one output and change at rate ${rate}: estimate size`, r.estimate.length / 2, 226)
    eq(`one coin, one output and change at rate ${rate}: fee`, r.fee, fee)
    eq(`one coin, one output and change at rate ${rate}: change`, r.outputs[1]?.sats, 100_000 - 50_000 - fee)
  }
})

// Checks one builder answer against the rules, with sizes measured by the SDK.
function judgeBuild (tag, req, r, requested, rate, forced) {
  const candidates = req.coins
  const target = sum(requested)
  if (!r.built) {
    // Refused: even every coin cannot pay the requested outputs and the change-less fee.
    const all = sdkEstimateSize(candidates.length, requested)
    check(`${tag}: refused only when short`, sum(candidates) < target + feeRule(all, rate),
      `error "${r.error}", coins ${sum(candidates)}, target ${target}`)
    check(`${tag}: refusal names the total`, r.error.startsWith('insufficient funds. Need ') &&
      r.error.endsWith(` sats, you have ${sum(candidates)} in your Vaultra wallet.`), r.error)
    return
  }
  let estimateTx
  try {
    estimateTx = Transaction.fromHex(r.estimate)
  } catch (e) {
    check(`${tag}: SDK parses the estimate`, false, e.message)
    return
  }
  const size = estimateTx.toBinary().length
  eq(`${tag}: SDK re-serialises the estimate to the same size`, size, r.estimate.length / 2)
  eq(`${tag}: fee of the estimate`, r.fee, feeRule(size, rate), `size ${size}, rate ${rate}`)
  eq(`${tag}: estimate size`, size, sdkEstimateSize(r.selected.length, r.outputs))

  // Requested outputs first, unchanged; then at most a change output.
  eq(`${tag}: requested outputs kept`, canon(r.outputs.slice(0, requested.length)), canon(requested))
  const changeScript = new P2PKH().lock(req.change).toHex()
  const extra = r.outputs.slice(requested.length)
  check(`${tag}: at most one extra output, the change`, extra.length === 0 ||
    (extra.length === 1 && extra[0].script === changeScript && extra[0].sats >= 1), JSON.stringify(extra))

  // The selection is a prefix of the candidates (all usable here), forced ones included.
  const k = r.selected.length
  eq(`${tag}: selection is the first coins in order`, canon(r.selected), canon(candidates.slice(0, k)))
  check(`${tag}: forced coins selected`, k >= Math.min(forced, candidates.length))
  const paid = sum(r.selected) - sum(r.outputs)
  if (extra.length === 1) {
    eq(`${tag}: inputs = outputs + fee with change`, paid, r.fee)
  } else {
    // No change: what is left over would not pay for a change output of at least 1.
    const withChange = feeRule(size + 34, rate)
    check(`${tag}: no change only when it would not pay`, paid >= r.fee && paid - withChange < 1,
      `left ${paid}, fee ${r.fee}, fee with change ${withChange}`)
  }
  // Coins beyond the forced ones are added only while the total falls short.
  if (k > Math.max(forced, 1)) {
    const before = sdkEstimateSize(k - 1, requested) + 34
    check(`${tag}: the last coin was needed`,
      sum(candidates.slice(0, k - 1)) < target + feeRule(before, rate))
  }
}

await section('input selection', async () => {
  const rates = [1, 50, 100, 500, 1000]
  for (let n = 0; n < 40; n++) {
    const coins = Array.from({ length: 1 + randomInt(6) }, () => ({
      txid: randomBytes(32).toString('hex'), vout: randomInt(5), sats: 1 + randomInt(20_000)
    }))
    const requested = Array.from({ length: 1 + randomInt(3) }, () => ({
      sats: randomInt(15_000), script: new P2PKH().lock(randomAddress()).toHex()
    }))
    if (randomInt(2) === 0) {
      requested.push({ sats: 0, script: '006a' + PUSH_PREFIX[256] + randomBytes(256).toString('hex') })
    }
    const rate = rates[randomInt(rates.length)]
    const forced = randomInt(3)
    const req = { cmd: 'build_tx', mode: 'build_tx', coins, requested, change: randomAddress(), forced, rate }
    const r = await helper.call(req)
    judgeBuild(`build_tx ${n} (${coins.length} coins, rate ${rate}, forced ${forced})`, req, r, requested, rate, forced)
  }

  // Payments: one address, optionally data, always 100 sat/kB.
  for (let n = 0; n < 20; n++) {
    const coins = Array.from({ length: 1 + randomInt(5) }, () => ({
      txid: randomBytes(32).toString('hex'), vout: randomInt(5), sats: 1 + randomInt(5_000)
    }))
    const destination = randomAddress()
    const amount = 1 + randomInt(8_000)
    const data = randomInt(2) === 0 ? null : randomBytes(randomInt(400))
    const requested = [{ sats: amount, script: new P2PKH().lock(destination).toHex() }]
    if (data !== null && data.length > 0) {
      const size = data.length
      const prefix = size < 76 ? hex([size]) : size < 256 ? '4c' + hex([size]) : '4d' + hex([size & 0xff, size >> 8])
      requested.push({ sats: 0, script: '006a' + prefix + data.toString('hex') })
    }
    const req = { cmd: 'build_tx', mode: 'payment', coins, destination, amount, change: randomAddress() }
    if (data !== null) req.data = data.toString('hex')
    const r = await helper.call(req)
    judgeBuild(`payment ${n} (${coins.length} coins, ${data === null ? 'no' : data.length + ' bytes of'} data)`,
      req, r, requested, 100, 0)
  }
})

// The amounts around the change threshold, where each coin total has one right answer:
// short by 1 is refused, up to the change output's own fee the surplus goes to the miners,
// and from 1 satoshi of change on it is kept.
await section('change threshold', async () => {
  const rates = [1, 100, 100, 500]
  for (let n = 0; n < 24; n++) {
    const payment = n % 3 === 0
    const rate = payment ? 100 : rates[randomInt(rates.length)]
    const destination = randomAddress()
    const requested = payment
      ? [{ sats: 10_000 + randomInt(50_000), script: new P2PKH().lock(destination).toHex() }]
      : Array.from({ length: 1 + randomInt(3) }, () => ({
        sats: 10_000 + randomInt(50_000), script: new P2PKH().lock(randomAddress()).toHex()
      }))
    const target = sum(requested)
    const k = 1 + randomInt(4)
    const size = sdkEstimateSize(k, requested)
    const feeNo = feeRule(size, rate)
    const feeWith = feeRule(size + 34, rate)
    const gap = feeWith - feeNo
    for (const delta of [...new Set([-1, 0, 1, gap - 1, gap, gap + 1, gap + 2])].filter((d) => d >= -1)) {
      // All but the last coin together stay below the target, so every coin is needed.
      const coins = Array.from({ length: k - 1 }, () => ({
        txid: randomBytes(32).toString('hex'), vout: randomInt(5), sats: 1 + randomInt(Math.floor(target / k))
      }))
      coins.push({
        txid: randomBytes(32).toString('hex'), vout: 0, sats: target + feeNo + delta - sum(coins)
      })
      const change = randomAddress()
      const req = payment
        ? { cmd: 'build_tx', mode: 'payment', coins, destination, amount: target, change }
        : { cmd: 'build_tx', mode: 'build_tx', coins, requested, change, forced: 0, rate }
      const r = await helper.call(req)
      const tag = `${payment ? 'payment' : 'build_tx'} ${n}, ${k} coins at rate ${rate}, ` +
        `surplus ${feeNo} + ${delta} (change costs ${gap} more)`
      if (delta < 0) {
        eq(`${tag}: refused`, r.built, false)
        eq(`${tag}: refusal`, r.error,
          `insufficient funds. Need ${target + feeNo} sats, you have ${sum(coins)} in your Vaultra wallet.`)
      } else if (delta <= gap) {
        eq(`${tag}: built`, r.built, true, r.error)
        eq(`${tag}: no change`, r.outputs.length, requested.length)
        eq(`${tag}: fee without change`, r.fee, feeNo)
      } else {
        eq(`${tag}: built`, r.built, true, r.error)
        eq(`${tag}: change`, r.outputs[requested.length]?.sats, delta - gap)
        eq(`${tag}: fee with change`, r.fee, feeWith)
      }
      judgeBuild(tag, req, r, requested, rate, 0)
    }
  }
})

// ---------------------------------------------------------------------------------------

await finish(helper)

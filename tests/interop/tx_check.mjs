// Holds the transactions Dialo builds and signs up against @bsv/sdk: its parser reads them as we
// meant them, its script interpreter accepts every input and refuses any change our signature
// hash covers, our parser reads what the SDK writes, and fees follow the sizes the SDK measures.
// Usage: node tx_check.mjs PATH-TO-dialo-interop-helper

import { randomBytes, randomInt } from 'node:crypto'
import { attempt, check, eq, finish, hex, section, spendAccepts as spendOk, start } from './harness.mjs'

const { sdk, helper } = await start('tx_check.mjs PATH-TO-dialo-interop-helper')
const { HD, LockingScript, Mnemonic, P2PKH, PrivateKey, Script, Transaction, UnlockingScript } = sdk
const call = helper.call

// JSON with object keys sorted, so field order plays no part in a comparison.
const canon = (v) => JSON.stringify(v, (_, x) =>
  x && typeof x === 'object' && !Array.isArray(x) ? Object.fromEntries(Object.entries(x).sort()) : x)
const H = 0x80000000
const txid = () => randomBytes(32).toString('hex')
const randomAddress = () => PrivateKey.fromRandom().toPublicKey().toAddress()
const p2pkh = (address) => new P2PKH().lock(address).toHex()
const dataScript = (data) => '006a' + new Script().writeBin([...data]).toHex()
const sum = (list) => list.reduce((t, x) => t + x.sats, 0)
const times = (n, fn) => Array.from({ length: n }, fn)
// Sometimes 0, sometimes above 2^32 so that every byte of the 8 is used.
const randomSats = () => [0, 2 ** 32 + randomInt(2 ** 40), 1 + randomInt(100_000_000)][Math.min(randomInt(10), 2)]

// The fields both parsers read.
const fieldsOf = (tx) => ({
  version: tx.version,
  inputs: tx.inputs.map((i) => ({ txid: i.sourceTXID, vout: i.sourceOutputIndex, script: i.unlockingScript.toHex(), sequence: i.sequence })),
  outputs: tx.outputs.map((o) => ({ sats: o.satoshis, script: o.lockingScript.toHex() })),
  lockTime: tx.lockTime
})
const spendAccepts = (tx, index, source) => spendOk(sdk, tx, index, source)

// The SDK derives the test phrase's keys on its own; the helper only gets the path.
const root = HD.fromSeed(Mnemonic.fromString(
  'abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about'
).toSeed()).deriveChild(44 + H).deriveChild(236 + H)
const branches = new Map([0, 1, 2, 3, 4, 5, 100, 102].map((a) => [a, root.deriveChild(a + H).deriveChild(0)]))
const accounts = [...branches.keys()]

// Each side of each push form's bound.
const DATA_SIZES = [0, 1, 75, 76, 255, 256, 65535, 65536]

// Changes to a signed transaction that the signature of input 0 must cover.
const TAMPER = [
  ['an output amount', (t) => { t.outputs[0].satoshis += 1 }],
  ['an output script', (t) => { t.outputs[0].lockingScript = new P2PKH().lock(randomAddress()) }],
  ['the last output dropped', (t) => { t.outputs.pop() }],
  ['the amount spent', (t, source) => { source.sats += 1 }],
  ['the outpoint spent', (t) => { t.inputs[0].sourceOutputIndex ^= 1 }],
  ['the last outpoint', (t) => { t.inputs.at(-1).sourceTXID = txid() }],
  ['the last sequence', (t) => { t.inputs.at(-1).sequence -= 1 }],
  ['the version', (t) => { t.version = 2 }],
  ['the lock time', (t) => { t.lockTime = 1 }]
]

await section('signed transactions', async () => {
  for (let n = 0; n < 36; n++) {
    // Two of every three carry data, cycling through the sizes so each is met three times.
    const data = n % 3 === 2 ? null : randomBytes(DATA_SIZES[(n - Math.floor(n / 3)) % DATA_SIZES.length])
    const shared = txid()
    const inputs = times(1 + randomInt(5), (_, i) => {
      // Inputs sometimes share a source transaction, so outpoints differ only in vout.
      const request = randomInt(3) === 0 ? { txid: shared, vout: i } : { txid: txid(), vout: randomInt(12) }
      request.sats = randomSats()
      if (randomInt(5) === 0) {
        const key = PrivateKey.fromRandom()
        return { request: { ...request, priv: hex(key.toArray('be', 32)) }, key }
      }
      const [account, index] = [accounts[randomInt(accounts.length)], randomInt(40)]
      return { request: { ...request, path: [account, index] }, key: branches.get(account).deriveChild(index).privKey }
    })
    const outputs = times(1 + randomInt(4), () => ({ address: randomAddress(), sats: randomSats() }))
    const tag = `tx ${n} (${inputs.length} in, ${outputs.length} out, ${data === null ? 'no' : data.length + ' bytes of'} data)`
    const ours = await call('build_sign_tx', { inputs: inputs.map((i) => i.request), outputs, data: data?.toString('hex') })
    const tx = attempt(() => Transaction.fromHex(ours.raw), null)
    check(`SDK parses ${tag}`, tx !== null, JSON.stringify(ours).slice(0, 200))
    if (tx === null) continue
    check(`SDK writes the same bytes back: ${tag}`, tx.toHex() === ours.raw)
    eq(`txid: ${tag}`, ours.txid, tx.id('hex'))
    const read = fieldsOf(tx)
    eq(`our parser agrees with the SDK: ${tag}`, canon(ours.parsed), canon(read))
    // Outputs as the SDK writes them, the data in its minimal push last; final inputs.
    const want = outputs.map((o) => ({ sats: o.sats, script: p2pkh(o.address) }))
    if (data !== null) want.push({ sats: 0, script: dataScript(data) })
    const asked = inputs.map(({ request: r }) => ({ txid: r.txid, vout: r.vout, sequence: 0xFFFFFFFF }))
    eq(`SDK reads the outpoints, outputs and data asked for: ${tag}`,
      canon({ ...read, inputs: read.inputs.map(({ script, ...rest }) => rest) }),
      canon({ version: 1, inputs: asked, outputs: want, lockTime: 0 }))
    // The estimate form is never smaller than the signed transaction, and not by much larger.
    const slack = ours.estimate - ours.raw.length / 2
    check(`estimate covers the signed size: ${tag}`, slack >= 0 && slack <= 3 * inputs.length,
      `estimate ${ours.estimate}, signed ${ours.raw.length / 2}`)

    const sources = inputs.map(({ request, key }) =>
      ({ sats: request.sats, lockingScript: new P2PKH().lock(key.toPublicKey().toHash()) }))
    sources.forEach((source, j) => {
      const hashType = tx.inputs[j].unlockingScript.chunks[0]?.data?.at(-1)
      check(`signature hash type ALL|FORKID (41): input ${j} of ${tag}`, hashType === 0x41)
      check(`SDK interpreter accepts input ${j} of ${tag}`, spendAccepts(tx, j, source))
    })
    for (const [change, apply] of TAMPER) {
      const t = Transaction.fromHex(ours.raw)
      const source = { ...sources[0] }
      apply(t, source)
      check(`SDK interpreter refuses input 0 of ${tag} with ${change} changed`, !spendAccepts(t, 0, source))
    }
  }
})

await section('SDK-made transactions read here', async () => {
  for (let n = 0; n < 12; n++) {
    const inputs = times(1 + randomInt(4), () => ({
      sourceTXID: txid(),
      sourceOutputIndex: randomInt(2 ** 32),
      unlockingScript: new UnlockingScript().writeBin([...randomBytes(72)]).writeBin([...randomBytes(33)]),
      sequence: randomInt(2) === 0 ? 0xFFFFFFFF : randomInt(2 ** 32)
    }))
    const outputs = times(1 + randomInt(4), () => ({ satoshis: randomSats(), lockingScript: new P2PKH().lock(randomAddress()) }))
    // An output script above 252 bytes needs a 3-byte length.
    outputs.push({ satoshis: 0, lockingScript: LockingScript.fromHex(dataScript(randomBytes(300))) })
    const tx = new Transaction(1 + randomInt(2), inputs, outputs, randomInt(2) === 0 ? 0 : randomInt(2 ** 32))
    const ours = await call('parse_tx', { raw: tx.toHex() })
    eq(`our parse and txid of SDK-made tx ${n}`, `${canon(ours.parsed)} ${ours.txid}`, `${canon(fieldsOf(tx))} ${tx.id('hex')}`)
  }
})

// ceil(rate × size / 1000), at least 1; the SDK's own fee model rounds otherwise (1100 bytes at
// 100 sat/kB gives 111 there), so only its sizes are used.
const feeRule = (size, rate) => Math.max(1, Math.ceil(rate * size / 1000))

// The size the SDK gives to `count` inputs with 107-byte unlocking scripts and `outputs`.
const sdkEstimateSize = (count, outputs) => new Transaction(1,
  times(count, () => ({ sourceTXID: '00'.repeat(32), sourceOutputIndex: 0, unlockingScript: UnlockingScript.fromHex('00'.repeat(107)), sequence: 0xFFFFFFFF })),
  outputs.map((o) => ({ satoshis: o.sats, lockingScript: LockingScript.fromHex(o.script) })), 0).toBinary().length

// Around the change threshold each coin total has one right answer: short by 1 is refused, up
// to the change output's own fee the surplus goes to the miners, and from 1 satoshi of change
// on it is kept. Coins are taken in order until they pay with room for change.
await section('fees and input selection', async () => {
  for (let n = 0; n < 15; n++) {
    const payment = n % 3 === 0
    const rate = payment ? 100 : [1, 100, 500][randomInt(3)]
    const destination = randomAddress()
    const requested = (payment ? [destination] : times(1 + randomInt(3), randomAddress))
      .map((a) => ({ sats: 10_000 + randomInt(50_000), script: p2pkh(a) }))
    const data = randomInt(2) === 0 ? null : randomBytes(1 + randomInt(400))
    if (data !== null) requested.push({ sats: 0, script: dataScript(data) })
    const target = sum(requested)
    const changeAddress = randomAddress()
    const changeOut = { sats: 0, script: p2pkh(changeAddress) }
    const k = 1 + randomInt(4)
    const feeNo = feeRule(sdkEstimateSize(k, requested), rate)
    const feeWith = feeRule(sdkEstimateSize(k, [...requested, changeOut]), rate)
    const gap = feeWith - feeNo
    for (const delta of new Set([-1, 0, 1, gap - 1, gap, gap + 1, gap + 2].filter((d) => d >= -1))) {
      // All but the last needed coin together stay below the target; with room for change
      // a further coin follows that must be left alone.
      const coins = times(k - 1, () => ({ txid: txid(), vout: randomInt(5), sats: 1 + randomInt(Math.floor(target / k)) }))
      coins.push({ txid: txid(), vout: 0, sats: target + feeNo + delta - sum(coins) })
      if (delta >= gap) coins.push({ txid: txid(), vout: 1, sats: 1 + randomInt(100_000) })
      const r = await call('build_tx', {
        coins, change: changeAddress,
        ...(payment ? { mode: 'payment', destination, amount: requested[0].sats, data: data?.toString('hex') } : { mode: 'build_tx', requested, rate })
      })
      const tag = `${payment ? 'payment' : 'build_tx'} ${n}, ${k} coins at rate ${rate}, ${data?.length ?? 0} bytes of data, ` +
        `surplus ${feeNo} + ${delta} (change costs ${gap} more)`
      if (delta < 0) {
        eq(`${tag}: refused`, `${r.built} ${r.error}`,
          `false insufficient funds. Need ${target + feeNo} sats, you have ${sum(coins)} in your Vaultra wallet.`)
        continue
      }
      const change = delta > gap ? [{ ...changeOut, sats: delta - gap }] : []
      const fee = change.length ? feeWith : feeNo
      const want = { built: true, fee, outputs: [...requested, ...change], selected: coins.slice(0, k) }
      eq(`${tag}: built`, canon({ built: r.built, fee: r.fee, outputs: r.outputs, selected: r.selected }), canon(want), r.error)
    }
  }
})

await finish(helper)

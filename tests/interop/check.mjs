// Dialo's primitives held up against @bsv/sdk both ways; given vaultra too, its commands.
// Usage: node check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]

import { spawnSync } from 'node:child_process'
import { randomBytes, randomInt } from 'node:crypto'
import { mkdtempSync, rmSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join } from 'node:path'
import { arr, attempt, check, eq, finish, hex, identityKey, section, spendAccepts, start } from './harness.mjs'

const { sdk, helper } = await start('check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]')
const { BSM, BigNumber, ECIES, HD, LockingScript, Mnemonic, P2PKH, PrivateKey, PublicKey, Script, Signature, Transaction, UnlockingScript, Utils } = sdk
const call = helper.call
const H = 0x80000000
const N = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141n
const privHex = (key) => hex(key.toArray('be', 32))
const pubHex = (key, compressed = true) => hex(key.toPublicKey().encode(compressed))
const flipBit = (bytes, index, bit = randomInt(8)) => bytes.map((b, i) => i === index ? b ^ (1 << bit) : b)
const times = (n, fn) => Array.from({ length: n }, fn)
const txid = () => randomBytes(32).toString('hex')
const randomAddress = () => PrivateKey.fromRandom().toPublicKey().toAddress()
const p2pkh = (address) => new P2PKH().lock(address).toHex()
const dataScript = (data) => '006a' + new Script().writeBin([...data]).toHex()
const sum = (list) => list.reduce((t, x) => t + x.sats, 0)
// Sometimes 0, sometimes above 2^32 so that every byte of the 8 is used.
const randomSats = () => [0, 2 ** 32 + randomInt(2 ** 40), 1 + randomInt(100_000_000)][Math.min(randomInt(10), 2)]
// JSON with object keys sorted, so field order plays no part in a comparison.
const canon = (v) => JSON.stringify(v, (_, x) => x && typeof x === 'object' && !Array.isArray(x) ? Object.fromEntries(Object.entries(x).sort()) : x)

await section('phrases, the key tree and addresses', async () => {
  for (const entropy of ['00'.repeat(16), 'ff'.repeat(16), randomBytes(16).toString('hex'), randomBytes(16).toString('hex')]) {
    const phrase = (await call('mnemonic', { entropy })).mnemonic
    eq(`words of entropy ${entropy}`, phrase, Mnemonic.fromEntropy(arr(entropy)).toString())
    eq(`phrase accepted here: "${phrase}"`, (await call('validate', { mnemonic: phrase })).valid, true)
    const seed = Mnemonic.fromString(phrase).toSeed()
    eq(`seed of "${phrase}"`, (await call('seed', { mnemonic: phrase })).seed, hex(seed))
    // Edges of the 31-bit index (the last plain one, hardened ones) and a random path.
    const paths = [[0, 0x7FFFFFFE], [1, 0x7FFFFFFF], [100, H], [0x7FFFFFFF, 0], [randomInt(200), randomInt(1000)]]
    const got = (await call('derive', { mnemonic: phrase, paths })).keys
    const root = HD.fromSeed(seed).deriveChild(44 + H).deriveChild(236 + H)
    paths.forEach(([a, i], n) => {
      const k = root.deriveChild(a + H).deriveChild(0).deriveChild(i)
      eq(`key at m/44'/236'/${a}'/0/${i} of "${phrase}"`, `${got[n]?.priv} ${got[n]?.pub} ${got[n]?.address}`,
        `${privHex(k.privKey)} ${hex(k.pubKey.encode(true))} ${k.pubKey.toAddress()}`)
    })
  }
  // The first and last keys, leading zero bytes (padding mistakes), random ones.
  const keys = [new PrivateKey(1), new PrivateKey(new BigNumber((N - 1n).toString(16), 16)), new PrivateKey([0, 0, ...randomBytes(30)]), PrivateKey.fromRandom()]
  const decode = async (address) => (await call('decode_address', { address })).hash
  for (const key of keys) {
    const address = key.toPublicKey().toAddress()
    const ours = await call('pubkey', { priv: privHex(key) })
    eq(`public key and address of ${privHex(key)}`, `${ours.pub} ${ours.address}`, `${pubHex(key)} ${address}`)
    eq(`hash of ${address}`, await decode(address), hex(key.toPublicKey().toHash()))
    const at = 1 + randomInt(address.length - 1)
    const broken = address.slice(0, at) + (address[at] === 'z' ? 'y' : 'z') + address.slice(at + 1)
    eq(`damaged address refused here: ${broken}`, await decode(broken), null)
    eq(`testnet address of ${address} refused here`, await decode(key.toPublicKey().toAddress('testnet')), null)
  }
})

await section('signatures', async () => {
  // Sizes on both sides of the length prefix's steps in the signed-message digest.
  for (const msg of [[], [...randomBytes(252)], [...randomBytes(253)], [...randomBytes(65536)], Utils.toArray('Grüße 📞', 'utf8')]) {
    const key = PrivateKey.fromRandom()
    const [priv, message, t] = [privHex(key), hex(msg), `${msg.length}-byte message`]
    const ours = async (m, pub, signature) => (await call('verify_message', { message: m, pub, signature })).valid
    const sig = (await call('sign_compact', { priv, message })).signature
    // Both sides take the RFC 6979 nonce and the low S: the same key and digest give the same bytes.
    eq(`our signature is the SDK's: ${t}`, sig, BSM.sign(msg, key))
    const bytes = [...Buffer.from(sig ?? '', 'base64')]
    check(`SDK verifies our signature: ${t}`, attempt(() => BSM.verify(msg, Signature.fromCompact(bytes), key.toPublicKey()), false))
    check(`signature verifies here with the uncompressed key: ${t}`, await ours(message, pubHex(key, false), sig))
    const damaged = Buffer.from(flipBit(bytes, 1 + randomInt(64))).toString('base64')
    eq(`damaged signature refused here: ${t}`, await ours(message, pubHex(key), damaged), false)
    eq(`signature under another key refused here: ${t}`, await ours(message, pubHex(PrivateKey.fromRandom()), sig), false)
    eq(`signature over another message refused here: ${t}`, await ours(hex([...msg, 0x20]), pubHex(key), sig), false)
  }
})

await section('ecies', async () => {
  const recipient = PrivateKey.fromRandom()
  const unseal = async (blob, priv = privHex(recipient)) => await call('unseal', { blob: hex(blob), priv })
  for (const size of [0, 15, 16, 1000]) {
    const [plain, pub] = [[...randomBytes(size)], pubHex(recipient, size % 2 === 0)]
    const ours = arr((await call('seal', { pub, plaintext: hex(plain) })).blob ?? '')
    eq(`our blob size: ${size} bytes`, ours.length, 4 + 33 + 16 * (Math.floor(size / 16) + 1) + 32)
    eq(`SDK opens our blob: ${size} bytes`, attempt(() => hex(ECIES.electrumDecrypt(ours, recipient)), 'refused'), hex(plain))
    const theirs = ECIES.electrumEncrypt(plain, PublicKey.fromString(pub), undefined, false)
    const back = await unseal(theirs)
    check(`SDK blob opens here: ${size} bytes`, back.opened && back.plaintext === hex(plain), JSON.stringify(back))
    const macAt = theirs.length - 32
    for (const [part, at] of [['magic', randomInt(4)], ['ephemeral key', 5 + randomInt(32)], ['ciphertext', 37 + randomInt(macAt - 37)], ['MAC', macAt + randomInt(32)]])
      eq(`SDK blob with a flipped bit in the ${part} refused here: ${size} bytes`, (await unseal(flipBit(theirs, at))).opened, false)
    eq(`SDK blob refused under the wrong key: ${size} bytes`, (await unseal(theirs, privHex(PrivateKey.fromRandom()))).opened, false)
  }
})

// The SDK derives the test phrase's keys on its own; the helper only gets the path.
const root = HD.fromSeed(Mnemonic.fromString('abandon '.repeat(11) + 'about').toSeed()).deriveChild(44 + H).deriveChild(236 + H)
const fieldsOf = (tx) => ({
  version: tx.version,
  inputs: tx.inputs.map((i) => ({ txid: i.sourceTXID, vout: i.sourceOutputIndex, script: i.unlockingScript.toHex(), sequence: i.sequence })),
  outputs: tx.outputs.map((o) => ({ sats: o.satoshis, script: o.lockingScript.toHex() })),
  lockTime: tx.lockTime
})
// Changes to a signed transaction that the signature of input 0 must cover.
const TAMPER = [
  ['an output amount', (t) => { t.outputs[0].satoshis += 1 }],
  ['the last output dropped', (t) => { t.outputs.pop() }],
  ['the amount spent', (t, source) => { source.sats += 1 }],
  ['the outpoint spent', (t) => { t.inputs[0].sourceOutputIndex ^= 1 }],
  ['the last sequence', (t) => { t.inputs.at(-1).sequence -= 1 }],
  ['the lock time', (t) => { t.lockTime = 1 }]
]

await section('signed transactions', async () => {
  // Each side of each push form's bound, then random sizes.
  for (const size of [0, 75, 76, 255, 256, 65536, null, randomInt(300)]) {
    const data = size === null ? null : randomBytes(size)
    const inputs = times(1 + randomInt(4), (_, i) => {
      const key = i === 0 ? PrivateKey.fromRandom() : null
      const [account, index] = [randomInt(200), randomInt(40)]
      return { request: { txid: txid(), vout: randomInt(12), sats: randomSats(), ...(key ? { priv: privHex(key) } : { path: [account, index] }) },
        key: key ?? root.deriveChild(account + H).deriveChild(0).deriveChild(index).privKey }
    })
    const outputs = times(1 + randomInt(3), () => ({ address: randomAddress(), sats: randomSats() }))
    const tag = `tx with ${inputs.length} in, ${outputs.length} out, ${size ?? 'no'} bytes of data`
    const ours = await call('build_sign_tx', { inputs: inputs.map((i) => i.request), outputs, data: data?.toString('hex') })
    const tx = attempt(() => Transaction.fromHex(ours.raw), null)
    check(`SDK parses ${tag}`, tx !== null && tx.toHex() === ours.raw && tx.id('hex') === ours.txid, JSON.stringify(ours).slice(0, 200))
    if (tx === null) continue
    const want = outputs.map((o) => ({ sats: o.sats, script: p2pkh(o.address) }))
    if (data !== null) want.push({ sats: 0, script: dataScript(data) })
    const read = fieldsOf(tx)
    eq(`our parser agrees with the SDK: ${tag}`, canon(ours.parsed), canon(read))
    eq(`SDK reads the outpoints, outputs and data asked for: ${tag}`, canon({ ...read, inputs: read.inputs.map(({ script, ...rest }) => rest) }),
      canon({ version: 1, inputs: inputs.map(({ request: r }) => ({ txid: r.txid, vout: r.vout, sequence: 0xFFFFFFFF })), outputs: want, lockTime: 0 }))
    const slack = ours.estimate - ours.raw.length / 2
    check(`estimate covers the signed size, not by much: ${tag}`, slack >= 0 && slack <= 3 * inputs.length, `${ours.estimate} vs ${ours.raw.length / 2}`)
    const sources = inputs.map(({ request, key }) => ({ sats: request.sats, lockingScript: new P2PKH().lock(key.toPublicKey().toHash()) }))
    sources.forEach((source, j) => {
      check(`signature hash type ALL|FORKID (41): input ${j} of ${tag}`, tx.inputs[j].unlockingScript.chunks[0]?.data?.at(-1) === 0x41)
      check(`SDK interpreter accepts input ${j} of ${tag}`, spendAccepts(sdk, tx, j, source))
    })
    for (const [change, apply] of TAMPER) {
      const [t, source] = [Transaction.fromHex(ours.raw), { ...sources[0] }]
      apply(t, source)
      check(`SDK interpreter refuses input 0 of ${tag} with ${change} changed`, !spendAccepts(sdk, t, 0, source))
    }
  }
  for (let n = 0; n < 6; n++) {
    const inputs = times(1 + randomInt(3), () => ({ sourceTXID: txid(), sourceOutputIndex: randomInt(2 ** 32),
      unlockingScript: new UnlockingScript().writeBin([...randomBytes(72)]), sequence: randomInt(2 ** 32) }))
    // An output script above 252 bytes needs a 3-byte length.
    const outputs = [{ satoshis: randomSats(), lockingScript: new P2PKH().lock(randomAddress()) }, { satoshis: 0, lockingScript: LockingScript.fromHex(dataScript(randomBytes(300))) }]
    const tx = new Transaction(1 + randomInt(2), inputs, outputs, randomInt(2 ** 32))
    const ours = await call('parse_tx', { raw: tx.toHex() })
    eq(`our parse and txid of SDK-made tx ${n}`, `${canon(ours.parsed)} ${ours.txid}`, `${canon(fieldsOf(tx))} ${tx.id('hex')}`)
  }
})

// Fees are over the sizes the SDK measures; around the change threshold each coin total has one right answer.
const feeRule = (size, rate) => Math.max(1, Math.ceil(rate * size / 1000))
const sdkSize = (count, outputs) => new Transaction(1, times(count, () => ({ sourceTXID: '00'.repeat(32), sourceOutputIndex: 0,
  unlockingScript: UnlockingScript.fromHex('00'.repeat(107)), sequence: 0xFFFFFFFF })),
outputs.map((o) => ({ satoshis: o.sats, lockingScript: LockingScript.fromHex(o.script) })), 0).toBinary().length
await section('fees and input selection', async () => {
  for (let n = 0; n < 6; n++) {
    const [payment, destination, changeAddress, k] = [n % 2 === 0, randomAddress(), randomAddress(), 1 + randomInt(3)]
    const rate = payment ? 100 : [1, 500][randomInt(2)]
    const requested = (payment ? [destination] : times(1 + randomInt(2), randomAddress)).map((a) => ({ sats: 10_000 + randomInt(50_000), script: p2pkh(a) }))
    const data = n % 3 === 0 ? null : randomBytes(1 + randomInt(400))
    if (data !== null) requested.push({ sats: 0, script: dataScript(data) })
    const [target, changeOut] = [sum(requested), { sats: 0, script: p2pkh(changeAddress) }]
    const feeNo = feeRule(sdkSize(k, requested), rate)
    const gap = feeRule(sdkSize(k, [...requested, changeOut]), rate) - feeNo
    for (const delta of new Set([-1, 0, gap, gap + 1].filter((d) => d >= -1))) {
      // A further coin past those needed must be left alone.
      const coins = times(k - 1, () => ({ txid: txid(), vout: randomInt(5), sats: 1 + randomInt(Math.floor(target / k)) }))
      coins.push({ txid: txid(), vout: 0, sats: target + feeNo + delta - sum(coins) })
      if (delta >= gap) coins.push({ txid: txid(), vout: 1, sats: 1 + randomInt(100_000) })
      const r = await call('build_tx', { coins, change: changeAddress,
        ...(payment ? { mode: 'payment', destination, amount: requested[0].sats, data: data?.toString('hex') } : { mode: 'build_tx', requested, rate }) })
      const tag = `${payment ? 'payment' : 'build_tx'} ${n}, ${k} coins at rate ${rate}, surplus ${feeNo} + ${delta} (change costs ${gap})`
      if (delta < 0) {
        eq(`${tag}: refused`, `${r.built} ${r.error}`, `false insufficient funds. Need ${target + feeNo} sats, you have ${sum(coins)} in your Vaultra wallet.`)
        continue
      }
      const change = delta > gap ? [{ ...changeOut, sats: delta - gap }] : []
      const want = { built: true, fee: feeNo + (change.length ? gap : 0), outputs: [...requested, ...change], selected: coins.slice(0, k) }
      eq(`${tag}: built`, canon({ built: r.built, fee: r.fee, outputs: r.outputs, selected: r.selected }), canon(want), r.error)
    }
  }
})

// vaultra in its own platform folder: exit code and both outputs.
if (process.argv[3]) {
  const folder = mkdtempSync(join(tmpdir(), 'dialo-interop-'))
  const { DISPLAY, WAYLAND_DISPLAY, ...env } = { ...process.env, LOCALAPPDATA: folder }
  const run = (...args) => {
    const r = spawnSync(process.argv[3], args, { env, encoding: 'utf8', timeout: 30000 })
    if (r.error) throw new Error(`vaultra ${args[0]} did not run: ${r.error.message}`)
    return { code: r.status, said: `${r.status} ${r.stdout}`, out: r.stdout }
  }
  const json = (...args) => JSON.parse(run('--json', ...args).out)
  try {
    await section('vaultra', async () => {
      const made = json('create')
      const shown = json('show', made.id)
      const identityPub = identityKey(sdk, made.mnemonic).toPublicKey()
      eq('vaultra create and show name the identity key and address the SDK derives from the printed phrase',
        `${made.identity_pub} ${shown.identity_pub} ${shown.identity_address}`, `${identityPub} ${identityPub} ${identityPub.toAddress()}`)
      const [recipient, key] = [PrivateKey.fromRandom(), PrivateKey.fromRandom()]
      for (const text of ['', 'Grüße aus Köln — 你好 📞']) {
        const [tag, bytes] = [`text ${JSON.stringify(text)}`, Utils.toArray(text, 'utf8')]
        const blob = arr(json('encrypt', pubHex(recipient, false), text).blob)
        eq(`SDK opens the vaultra encrypt blob: ${tag}`, attempt(() => Utils.toUTF8(ECIES.electrumDecrypt(blob, recipient)), 'refused'), text)
        const sig = [...Buffer.from(json('sign-message', '--wallet', made.id, text).signature, 'base64')]
        check(`SDK verifies the vaultra signature: ${tag}`, attempt(() => BSM.verify(bytes, Signature.fromCompact(sig), identityPub), false))
        const sealed = ECIES.electrumEncrypt(bytes, identityPub, undefined, false)
        eq(`vaultra decrypt opens an SDK blob: ${tag}`, run('decrypt', '--wallet', made.id, hex(sealed)).said, `0 ${text}\n`)
        eq(`vaultra decrypt refuses a damaged MAC: ${tag}`, run('decrypt', '--wallet', made.id, hex(flipBit(sealed, sealed.length - 1))).said, '1 ')
        const sdkSig = BSM.sign(bytes, key)
        eq(`vaultra verify-message accepts an SDK signature: ${tag}`, run('verify-message', key.toPublicKey().toAddress(), sdkSig, text).said, '0 valid\n')
        eq(`vaultra verify-message refuses a wrong text: ${tag}`, run('verify-message', pubHex(key), sdkSig, `${text}!`).said, '1 invalid\n')
      }
    })
  } finally {
    rmSync(folder, { recursive: true, force: true })
  }
}

await finish(helper)

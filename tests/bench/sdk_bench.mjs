// Throughput of @bsv/sdk on the operations tests/bench/crypto_bench.cpp times, with the same
// keys and texts, so tests/bench/run can put the two side by side. Prints one JSON object.
//
//   node tests/bench/sdk_bench.mjs [--seconds=S] [--rounds=N] [--filter=REGEX]
//
// Each operation is warmed up (so V8 has optimised it), then timed for N rounds of at least S
// seconds; the median round's rate is reported. Inputs and outputs are the same text forms the
// C++ functions take and give (hex keys, hex blobs, Base64 signatures), so parsing and encoding
// are paid on both sides. @bsv/sdk is the one scripts/setup installs in tests/interop.

import { readFileSync } from 'node:fs'
import {
  BigNumber, BSM, ECDSA, ECIES, HD, LockingScript, Mnemonic, P2PKH, PrivateKey, PublicKey, SatoshisPerKilobyte,
  Signature, Spend, Transaction, UnlockingScript, Utils
} from '../interop/node_modules/@bsv/sdk/dist/esm/mod.js'

const MNEMONIC =
  'abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about'

// Byte for byte the texts of crypto_bench.cpp.
const PLAINTEXT =
  '{"type":"voice","call":"6f1c2a9e4b7d3c8a","seq":42,"from":"alice@orvane.test",' +
  '"to":"bob@orvane.test","ts":1714000000123,"codec":"gsm","rate":8000,' +
  '"frames":"q83vEjRWeJq83vEjRWeJq83vEjRWeJq83vEjRWeJq83vEjRWeJ"}'
const MESSAGE =
  '{"type":"invite","call":"6f1c2a9e4b7d3c8a","from":"alice@orvane.test","ts":1714000000123}'

const RECIPIENT_PATH = "m/44'/236'/1'/0/0"
const IDENTITY_PATH = "m/44'/236'/100'/0/0"
const DERIVE_PATH = "m/44'/236'/1'/0/7"

// The transaction of tx_build_sign, as in crypto_bench.cpp.
const TX_COIN_TXID = '4a5e1e4baab89f3a32518a88c31bc87f618f76673e2cc77ab2127b7afdeda33b'
const TX_COIN_SATS = 100000
const TX_DESTINATION = '1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH'
const TX_DATA_BYTES = 1000

function option (name, fallback) {
  const prefix = `--${name}=`
  const arg = process.argv.slice(2).find((a) => a.startsWith(prefix))
  return arg === undefined ? fallback : arg.slice(prefix.length)
}
const seconds = Number(option('seconds', '1'))
const rounds = Math.max(1, Number.parseInt(option('rounds', '3'), 10))
const filter = new RegExp(option('filter', '.'))

// Fixed inputs, made once.
const master = HD.fromSeed(Mnemonic.fromString(MNEMONIC).toSeed())
const recipient = master.derive(RECIPIENT_PATH)
const recipientPriv = recipient.privKey.toHex()
const recipientPub = recipient.pubKey.toString()
const identity = master.derive(IDENTITY_PATH)
const identityPriv = identity.privKey
const identityPrivHex = identityPriv.toHex()
const identityPub = identity.pubKey.toString()
const plainBytes = Utils.toArray(PLAINTEXT, 'utf8')
const messageBytes = Utils.toArray(MESSAGE, 'utf8')
const digest = BSM.magicHash(messageBytes)
const sealed = Utils.toHex(ECIES.electrumEncrypt(plainBytes, PublicKey.fromString(recipientPub)))

const rsBase64 = (sig) => Utils.toBase64([...sig.r.toArray('be', 32), ...sig.s.toArray('be', 32)])
const identitySignature = rsBase64(ECDSA.sign(new BigNumber(digest), identityPriv, true))
const digestSignature = ECDSA.sign(new BigNumber(digest), identityPriv, true)
const identityPoint = PublicKey.fromString(identityPub)
const recoveryId = digestSignature.CalculateRecoveryFactor(identityPoint, new BigNumber(digest))
const digestRs = [...digestSignature.r.toArray('be', 32), ...digestSignature.s.toArray('be', 32)]
const recipientPubBytes = Utils.toArray(recipientPub, 'hex')
const identityPrivBytes = identityPriv.toArray('be', 32)
// m/44'/236'/1'/0, the parent of the default key: bip32_step derives its child 0.
const accountNode = master.derive("m/44'/236'/1'/0")

const txKey = recipient.privKey
const txOwnLock = new P2PKH().lock(txKey.toPublicKey().toHash())
const txDestinationLock = new P2PKH().lock(TX_DESTINATION)
const txData = Array.from({ length: TX_DATA_BYTES }, (_, i) => i % 251)
// 00 6A, PUSHDATA2 of 1000 bytes
const txDataLock = LockingScript.fromBinary([0x00, 0x6a, 0x4d, TX_DATA_BYTES & 0xff, TX_DATA_BYTES >> 8, ...txData])

// Only the amount and script of the coin are read from it; the outpoint is TX_COIN_TXID:0.
const txSource = new Transaction(1, [], [{ lockingScript: txOwnLock, satoshis: TX_COIN_SATS }], 0)

// The same transaction as build_tx there: the coin, 1 satoshi to the destination, the data,
// change back to the key at 1 sat/kB (the SDK's local fee model, no network), then signed.
async function buildSignTx () {
  const tx = new Transaction()
  tx.addInput({
    sourceTXID: TX_COIN_TXID,
    sourceOutputIndex: 0,
    sourceTransaction: txSource,
    unlockingScriptTemplate: new P2PKH().unlock(txKey, 'all', false, TX_COIN_SATS, txOwnLock),
    sequence: 0xFFFFFFFF
  })
  tx.addOutput({ lockingScript: txDestinationLock, satoshis: 1 })
  tx.addOutput({ lockingScript: txDataLock, satoshis: 0 })
  tx.addOutput({ lockingScript: txOwnLock, change: true })
  await tx.fee(new SatoshisPerKilobyte(1))
  await tx.sign()
  return tx
}

// Txid with every unlocking script replaced by 107 zero bytes, as the estimate form there.
function estimateTxid (tx) {
  const inputs = tx.inputs.map((i) => ({
    sourceTXID: i.sourceTXID,
    sourceOutputIndex: i.sourceOutputIndex,
    unlockingScript: UnlockingScript.fromBinary(new Array(107).fill(0)),
    sequence: i.sequence
  }))
  return new Transaction(tx.version, inputs, tx.outputs, tx.lockTime).id('hex')
}

// Each returns something, so no work can be dropped as unused.
const operations = {
  seal: () => Utils.toHex(ECIES.electrumEncrypt(plainBytes, PublicKey.fromString(recipientPub))),
  unseal: () => {
    const plain = ECIES.electrumDecrypt(Utils.toArray(sealed, 'hex'), PrivateKey.fromHex(recipientPriv))
    return Utils.toUTF8(plain)
  },
  // The identity key derived from the cached master on every call, then the signed-message
  // digest signed: what identity_sign does.
  identity_sign: () => {
    const key = master.derive(IDENTITY_PATH)
    const sig = ECDSA.sign(new BigNumber(BSM.magicHash(messageBytes)), key.privKey, true)
    return [key.pubKey.toString(), rsBase64(sig)]
  },
  sign_digest: () => ECDSA.sign(new BigNumber(digest), identityPriv, true),
  sign_compact: () => BSM.sign(messageBytes, PrivateKey.fromHex(identityPrivHex)),
  verify: () => {
    const rs = Utils.toArray(identitySignature, 'base64')
    const sig = new Signature(new BigNumber(rs.slice(0, 32)), new BigNumber(rs.slice(32, 64)))
    return BSM.verify(messageBytes, sig, PublicKey.fromString(identityPub))
  },
  verify_digest: () => ECDSA.verify(new BigNumber(digest), digestSignature, identityPoint),
  // r||s and the recovery id in, the uncompressed key out.
  recover: () => new Signature(new BigNumber(digestRs.slice(0, 32)), new BigNumber(digestRs.slice(32)))
    .RecoverPublicKey(recoveryId, new BigNumber(digest)).encode(false),
  // Key bytes in, the compressed shared point out, as a seal's key agreement.
  ecdh: () => new PrivateKey(identityPrivBytes).deriveSharedSecret(PublicKey.fromDER(recipientPubBytes)).encode(true),
  public_key: () => new PrivateKey(identityPrivBytes).toPublicKey().encode(true),
  bip32_step: () => accountNode.deriveChild(0).privKey,
  seed_master: () => HD.fromSeed(Mnemonic.fromString(MNEMONIC).toSeed()),
  // derive_key gives private key, public key and address.
  derive: () => {
    const key = master.derive(DERIVE_PATH)
    return [key.privKey.toHex(), key.pubKey.toString(), key.pubKey.toAddress()]
  },
  // Asynchronous in the SDK; timed with an awaiting loop.
  tx_build_sign: async () => (await buildSignTx()).toBinary()
}

// Every operation must succeed on these inputs, or its rate means nothing.
async function check () {
  const fail = (what) => {
    process.stderr.write(`bench.mjs: ${what}\n`)
    process.exit(1)
  }
  if (operations.unseal() !== PLAINTEXT) fail('unseal did not give the plaintext back')
  const opened = ECIES.electrumDecrypt(Utils.toArray(operations.seal(), 'hex'), PrivateKey.fromHex(recipientPriv))
  if (Utils.toUTF8(opened) !== PLAINTEXT) fail('seal did not round-trip')
  if (operations.verify() !== true) fail('verify rejected a good signature')
  if (operations.verify_digest() !== true) fail('digest verify rejected a good signature')
  if (PublicKey.fromDER(operations.recover()).toString() !== identityPub) fail('recover found another key')
  if (Utils.toHex(operations.public_key()) !== identityPub) fail('public key is not the identity key')
  if (operations.bip32_step().toHex() !== recipientPriv) fail('the child step is not the default key')
  const [pub, sig] = operations.identity_sign()
  const rs = Utils.toArray(sig, 'base64')
  const s = new Signature(new BigNumber(rs.slice(0, 32)), new BigNumber(rs.slice(32, 64)))
  if (pub !== identityPub || !BSM.verify(messageBytes, s, PublicKey.fromString(pub))) fail('identity sign is wrong')
  const tx = await buildSignTx()
  if (tx.outputs.length !== 3 || tx.getFee() !== 2) fail(`transaction has ${tx.outputs.length} outputs, fee ${tx.getFee()}`)
  const spend = new Spend({
    sourceTXID: TX_COIN_TXID,
    sourceOutputIndex: 0,
    sourceSatoshis: TX_COIN_SATS,
    lockingScript: txOwnLock,
    transactionVersion: tx.version,
    otherInputs: [],
    outputs: tx.outputs,
    inputIndex: 0,
    unlockingScript: tx.inputs[0].unlockingScript,
    inputSequence: tx.inputs[0].sequence,
    lockTime: tx.lockTime
  })
  if (!spend.validate()) fail('the signed transaction does not verify')
}

const now = () => Number(process.hrtime.bigint()) / 1e9

// Runs fn for at least `duration` seconds; returns [calls, seconds].
function run (fn, duration) {
  let calls = 0
  let sink = 0
  const start = now()
  let elapsed = 0
  do {
    if (fn() != null) sink++
    calls++
    elapsed = now() - start
  } while (elapsed < duration)
  if (sink < 0) process.stdout.write('')
  return [calls, elapsed]
}

// The same for an operation that returns a promise.
async function runAsync (fn, duration) {
  let calls = 0
  let sink = 0
  const start = now()
  let elapsed = 0
  do {
    if ((await fn()) != null) sink++
    calls++
    elapsed = now() - start
  } while (elapsed < duration)
  if (sink < 0) process.stdout.write('')
  return [calls, elapsed]
}

await check()
const results = {}
for (const [name, fn] of Object.entries(operations)) {
  if (!filter.test(name)) continue
  const timed = fn.constructor.name === 'AsyncFunction' ? runAsync : run
  await timed(fn, Math.max(0.3, seconds / 2))
  const rates = []
  for (let r = 0; r < rounds; r++) {
    const [calls, elapsed] = await timed(fn, seconds)
    rates.push(calls / elapsed)
  }
  const sorted = [...rates].sort((a, b) => a - b)
  results[name] = { ops_per_sec: sorted[Math.floor(sorted.length / 2)], rounds: rates }
}

const sdkPackage = JSON.parse(
  readFileSync(new URL('../interop/node_modules/@bsv/sdk/package.json', import.meta.url), 'utf8'))
process.stdout.write(JSON.stringify({
  library: '@bsv/sdk',
  version: sdkPackage.version,
  node: process.version,
  identity_pub: identityPub,
  recipient_pub: recipientPub,
  message_bytes: messageBytes.length,
  plaintext_bytes: plainBytes.length,
  tx_estimate_txid: estimateTxid(await buildSignTx()),
  digest_signature: `${Utils.toHex(digestRs)}/${recoveryId}`,
  results
}, null, 2) + '\n')

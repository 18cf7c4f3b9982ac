// Holds Dialo's recovery phrases, key tree, message signatures and ECIES blobs up against
// @bsv/sdk, an implementation written independently of ours, in both directions.
// Usage: node check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]
// With vaultra given, its encrypt, decrypt, sign-message and verify-message commands are held
// up against the SDK too, on a wallet it creates in a temporary platform folder.
// Prints one line per failure and closes with "N passed, N failed"; exits non-zero on any
// failure, including a missing helper, Node package or crash.

import { spawnSync } from 'node:child_process'
import { randomBytes, randomInt } from 'node:crypto'
import { mkdtempSync, rmSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join } from 'node:path'
import { Helper, arr, check, eq, finish, hex, loadSdk, section } from './harness.mjs'

const sdk = await loadSdk()
const { BSM, BigNumber, ECDSA, ECIES, HD, Mnemonic, PrivateKey, PublicKey, Signature, Utils } = sdk

const helperPath = process.argv[2]
const vaultraPath = process.argv[3]
if (!helperPath) {
  console.error('usage: node check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]')
  process.exit(2)
}

// ---------------------------------------------------------------------------------------
// Small tools

// True when the call throws or answers false: the SDK signals refusal either way.
function sdkRefuses (fn) {
  try {
    return fn() === false
  } catch {
    return true
  }
}

const H = 0x80000000
const N = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141n
const HALF_N = N >> 1n

function flipBit (bytes, index, bit = randomInt(8)) {
  const out = [...bytes]
  out[index] ^= 1 << bit
  return out
}

function printable (size) {
  return [...randomBytes(size)].map((b) => 0x20 + (b % 95))
}

const helper = new Helper(helperPath)

// ---------------------------------------------------------------------------------------
// 1. Recovery phrases, seeds and the key tree

const published = [
  'abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about',
  'legal winner thank year wave sausage worth useful legal winner thank yellow',
  'letter advice cage absurd amount doctor acoustic avoid letter advice cage above',
  'zoo zoo zoo zoo zoo zoo zoo zoo zoo zoo zoo wrong',
  'ozone drill grab fiber curtain grace pudding thank cruise elder eight picnic',
  'scheme spot photo card baby mountain device kick cradle pact join borrow',
  'cat swing flag economy stadium alone churn speed unique patch report train',
  'vessel ladder alter error federal sibling chat ability sun glass valve picture'
]

const accounts = [0, 1, 2, 3, 4, 5, 100, 102]
const indices = [0, 1, 7, 1000]
const paths = []
for (const a of accounts) for (const i of indices) paths.push([a, i])
// Edges of the 31-bit index: the last plain index, and hardened values in the last place.
paths.push([0, 0x7FFFFFFE], [1, 0x7FFFFFFF], [100, 0x80000000], [102, 0xFFFFFFFF], [0x7FFFFFFF, 0])

// The SDK walks the same path one child at a time, sharing the common prefix.
function sdkKeys (seedBytes) {
  const root = HD.fromSeed(seedBytes).deriveChild(44 + H).deriveChild(236 + H)
  const branches = new Map()
  return paths.map(([a, i]) => {
    if (!branches.has(a)) branches.set(a, root.deriveChild(a + H).deriveChild(0))
    const k = branches.get(a).deriveChild(i)
    return {
      priv: hex(k.privKey.toArray('be', 32)),
      pub: hex(k.pubKey.encode(true)),
      address: k.pubKey.toAddress()
    }
  })
}

async function checkPhrase (phrase, origin) {
  const tag = `${origin} "${phrase}"`
  const valid = await helper.call({ cmd: 'validate', mnemonic: phrase })
  check(`phrase accepted here: ${tag}`, valid.valid === true)
  check(`phrase accepted by the SDK: ${tag}`, Mnemonic.isValid(phrase))

  const sdkSeed = Mnemonic.fromString(phrase).toSeed()
  const ours = await helper.call({ cmd: 'seed', mnemonic: phrase })
  eq(`seed: ${tag}`, ours.seed, hex(sdkSeed))

  const want = sdkKeys(sdkSeed)
  const got = (await helper.call({ cmd: 'derive', mnemonic: phrase, paths })).keys
  paths.forEach(([a, i], n) => {
    const where = `${tag} m/44'/236'/${a}'/0/${i >= H ? `${i - H}'` : i}`
    const k = got[n] ?? {}
    eq(`private key ${where}`, k.priv, want[n].priv)
    eq(`public key ${where}`, k.pub, want[n].pub)
    eq(`address ${where}`, k.address, want[n].address)
  })
}

await section('phrases', async () => {
  // The same entropy must give the same words on both sides, starting with the published ones.
  const fixed = ['00', '7f', '80', 'ff'].map((b) => b.repeat(16))
  const entropies = [...fixed, ...Array.from({ length: 10 }, () => randomBytes(16).toString('hex'))]
  for (const [n, entropy] of entropies.entries()) {
    const ours = await helper.call({ cmd: 'mnemonic', entropy })
    const theirs = Mnemonic.fromEntropy(arr(entropy)).toString()
    eq(`words of entropy ${entropy}`, ours.mnemonic, theirs)
    if (n < fixed.length) eq(`published words of entropy ${entropy}`, ours.mnemonic, published[n])
  }

  for (const phrase of published) await checkPhrase(phrase, 'published')
  for (let n = 0; n < 10; n++) await checkPhrase(Mnemonic.fromRandom(128).toString(), 'SDK-made')
  for (let n = 0; n < 5; n++) {
    const made = await helper.call({ cmd: 'mnemonic' })
    eq(`our words match the SDK for entropy ${made.entropy}`, made.mnemonic,
      Mnemonic.fromEntropy(arr(made.entropy)).toString())
    await checkPhrase(made.mnemonic, 'Dialo-made')
  }

  // Fixed points that both implementations have to reach.
  const about = published[0]
  eq('seed of the all-"abandon" phrase', (await helper.call({ cmd: 'seed', mnemonic: about })).seed,
    '5eb00bbddcf069084889a8ab9155568165f5c453ccb85e70811aaed6f6da5fc1' +
    '9a5ac40b389cd370d086206dec8aa6c43daea6690f20ad3d8d48b2d2ce9e38e4')
  const bip44 = (await helper.call({ cmd: 'derive', mnemonic: about, paths: [[44 + H, H, H, 0, 0]] })).keys[0]
  eq("m/44'/0'/0'/0/0 of the all-\"abandon\" phrase", bip44?.address, '1LqBGSKuX5yYUonjxT5qGfpUsXKYYWeabA')
  eq("SDK m/44'/0'/0'/0/0 of the all-\"abandon\" phrase",
    HD.fromSeed(Mnemonic.fromString(about).toSeed()).derive("m/44'/0'/0'/0/0").pubKey.toAddress(),
    '1LqBGSKuX5yYUonjxT5qGfpUsXKYYWeabA')

  // Refusals. The 24-word phrase is valid BIP-39 (the SDK says so) but too long for the wallet.
  const art = `${'abandon '.repeat(23)}art`
  check('24-word phrase is valid for the SDK', Mnemonic.isValid(art))
  eq('24-word phrase refused here', (await helper.call({ cmd: 'validate', mnemonic: art })).valid, false)
  const badChecksum = [
    'abandon '.repeat(11) + 'abandon',
    'zoo '.repeat(11) + 'zoo',
    'legal winner thank year wave sausage worth useful legal winner thank zoo'
  ]
  for (const phrase of badChecksum) {
    check(`wrong checksum refused by the SDK: "${phrase}"`, !Mnemonic.isValid(phrase))
    eq(`wrong checksum refused here: "${phrase}"`, (await helper.call({ cmd: 'validate', mnemonic: phrase })).valid, false)
  }
  const notAWord = 'abandon '.repeat(11) + 'abou'
  eq('word outside the list refused here', (await helper.call({ cmd: 'validate', mnemonic: notAWord })).valid, false)
})

await section('keys and addresses', async () => {
  const keys = Array.from({ length: 20 }, () => PrivateKey.fromRandom())
  keys.push(new PrivateKey(1), new PrivateKey(new BigNumber((N - 1n).toString(16), 16)))
  // Keys with leading zero bytes catch padding mistakes.
  keys.push(new PrivateKey([0, 0, ...randomBytes(30)]), new PrivateKey([0, ...randomBytes(31)]))

  for (const key of keys) {
    const priv = hex(key.toArray('be', 32))
    const pub = key.toPublicKey()
    const pubHex = hex(pub.encode(true))
    eq(`public key of ${priv}`, (await helper.call({ cmd: 'pubkey', priv })).pub, pubHex)
    const address = pub.toAddress()
    eq(`address of ${pubHex}`, (await helper.call({ cmd: 'address', pub: pubHex })).address, address)
    const decoded = (await helper.call({ cmd: 'decode_address', address })).hash
    eq(`hash of ${address}`, decoded, hex(pub.toHash()))
    eq(`SDK hash of ${address}`, hex(Utils.fromBase58Check(address).data), decoded)

    // One character changed breaks the checksum for both sides.
    const at = 1 + randomInt(address.length - 1)
    const alphabet = '123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz'
    const other = alphabet[(alphabet.indexOf(address[at]) + 1 + randomInt(alphabet.length - 1)) % alphabet.length]
    const broken = address.slice(0, at) + other + address.slice(at + 1)
    eq(`damaged address refused here: ${broken}`, (await helper.call({ cmd: 'decode_address', address: broken })).hash, null)
    check(`damaged address refused by the SDK: ${broken}`, sdkRefuses(() => Utils.fromBase58Check(broken)))
    const testnet = pub.toAddress('testnet')
    eq(`testnet address refused here: ${testnet}`, (await helper.call({ cmd: 'decode_address', address: testnet })).hash, null)
  }
  for (const bad of ['00'.repeat(32), N.toString(16)]) {
    eq(`unusable private key refused here: ${bad}`, (await helper.call({ cmd: 'pubkey', priv: bad })).pub, '')
  }
})

// ---------------------------------------------------------------------------------------
// 2. Message signatures

function lowS (sBytes) {
  return BigInt('0x' + hex(sBytes)) <= HALF_N
}

function rsSignature (bytes) {
  return new Signature(new BigNumber(bytes.slice(0, 32)), new BigNumber(bytes.slice(32, 64)))
}

await section('signatures', async () => {
  const messages = [
    ['empty', []],
    ['1 byte', printable(1)],
    ['252 bytes', printable(252)],
    ['253 bytes', printable(253)],
    ['65535 bytes', printable(65535)],
    ['65536 bytes', printable(65536)],
    ['UTF-8', [...Buffer.from('Grüße aus Köln — 你好, 世界 📞 ☎', 'utf8')]],
    ['binary', [...randomBytes(300)]]
  ]
  for (const [label, msg] of messages) {
    const key = PrivateKey.fromRandom()
    const priv = hex(key.toArray('be', 32))
    const pub = key.toPublicKey()
    const pubHex = hex(pub.encode(true))
    const pubLong = hex(pub.encode(false))
    const address = pub.toAddress()
    const other = PrivateKey.fromRandom().toPublicKey()
    const otherHex = hex(other.encode(true))
    const message = hex(msg)
    const changed = msg.length > 0 ? flipBit(msg, randomInt(msg.length)) : [0x20]
    const changedHex = hex(changed)
    const digest = new BigNumber(BSM.magicHash(msg))
    const tag = `${label} message, key ${priv}`
    const ours = async (m, p, s) => (await helper.call({ cmd: 'verify_message', message: m, pub: p, signature: s })).valid

    eq(`digest of the ${label} message`, (await helper.call({ cmd: 'digest', message })).digest, hex(BSM.magicHash(msg)))

    // Compact (65 bytes, recoverable) and identity (64-byte r||s) forms, made on either side:
    // each verifies on the other side and here, and is refused here once damaged, under
    // another key or over another message.
    const b64 = (bytes) => Buffer.from(bytes).toString('base64')
    const sdkRs = ECDSA.sign(digest, key, true)
    const made = [
      ['our compact', (await helper.call({ cmd: 'sign_compact', priv, message })).signature, 65],
      ['SDK compact', BSM.sign(msg, key), 65],
      ['our identity', (await helper.call({ cmd: 'sign_rs', priv, message })).signature, 64],
      ['SDK identity', b64([...sdkRs.r.toArray('be', 32), ...sdkRs.s.toArray('be', 32)]), 64]
    ]
    for (const [kind, sig, size] of made) {
      const t = `${kind} signature: ${tag}`
      const bytes = [...Buffer.from(sig ?? '', 'base64')]
      check(`${t} is ${size} bytes (a compressed-key header on 65)`,
        bytes.length === size && (size === 64 || (bytes[0] >= 31 && bytes[0] <= 34)), `got ${sig}`)
      if (bytes.length !== size) continue
      const rs = bytes.slice(size - 64)
      if (kind.startsWith('our')) {
        check(`${t} is low-S`, lowS(rs.slice(32)))
        if (size === 65) {
          const compact = Signature.fromCompact(bytes)
          let recovered = null
          try { recovered = compact.RecoverPublicKey(bytes[0] - 31, digest).toAddress() } catch (e) { recovered = e.message }
          eq(`SDK recovers the signer of ${t}`, recovered, address)
          check(`SDK verifies ${t}`, BSM.verify(msg, compact, pub))
        } else {
          check(`SDK verifies ${t}`, ECDSA.verify(digest, rsSignature(rs), pub))
        }
      }
      check(`${t} verifies here`, await ours(message, pubHex, sig))
      check(`${t} verifies here with the uncompressed key`, await ours(message, pubLong, sig))
      // One bit of r or s flipped; the header byte is not part of the ECDSA signature.
      eq(`damaged ${t} refused here`, await ours(message, pubHex, b64(flipBit(bytes, size - 64 + randomInt(64)))), false)
      eq(`${t} under another key refused here`, await ours(message, otherHex, sig), false)
      eq(`${t} over another message refused here`, await ours(changedHex, pubHex, sig), false)
    }
  }
})

// ---------------------------------------------------------------------------------------
// 3. ECIES "BIE1" blobs and 4. damaged ones

function blobShapeProblem (blob, plainSize) {
  const want = 4 + 33 + 16 * (Math.floor(plainSize / 16) + 1) + 32
  if (blob.length !== want) return `length ${blob.length}, expected ${want}`
  if (Buffer.from(blob.slice(0, 4)).toString('latin1') !== 'BIE1') return 'no BIE1 magic'
  if (blob[4] !== 0x02 && blob[4] !== 0x03) return `ephemeral key starts with ${blob[4]}`
  return ''
}

// Flips one bit in each part of the blob in turn.
function damagedBlobs (blob) {
  const cipherEnd = blob.length - 32
  return [
    ['magic', flipBit(blob, randomInt(4))],
    ['ephemeral key prefix', flipBit(blob, 4, 0)],
    ['ephemeral key', flipBit(blob, 5 + randomInt(32))],
    ['ciphertext', flipBit(blob, 37 + randomInt(cipherEnd - 37))],
    ['last ciphertext byte', flipBit(blob, cipherEnd - 1)],
    ['MAC', flipBit(blob, cipherEnd + randomInt(32))]
  ]
}

await section('ecies', async () => {
  const recipient = PrivateKey.fromRandom()
  const priv = hex(recipient.toArray('be', 32))
  const stranger = hex(PrivateKey.fromRandom().toArray('be', 32))
  const forms = [
    ['compressed', hex(recipient.toPublicKey().encode(true))],
    ['uncompressed', hex(recipient.toPublicKey().encode(false))]
  ]
  const unseal = async (blob, key) => await helper.call({ cmd: 'unseal', blob: hex(blob), priv: key })
  const sdkOpen = (blob, key) => ECIES.electrumDecrypt(blob, PrivateKey.fromString(key, 'hex'))

  for (const size of [0, 15, 16, 17, 1000]) {
    for (const [form, pubHex] of forms) {
      const plain = [...randomBytes(size)]
      const tag = `${size} bytes to a ${form} key`

      // Sealed here, opened by the SDK.
      const sealed = (await helper.call({ cmd: 'seal', pub: pubHex, plaintext: hex(plain) })).blob
      const ours = arr(sealed ?? '')
      eq(`our blob is lower-case hex: ${tag}`, sealed, sealed?.toLowerCase())
      eq(`our blob has the BIE1 layout: ${tag}`, blobShapeProblem(ours, size), '')
      let opened
      try { opened = hex(sdkOpen(ours, priv)) } catch (e) { opened = `refused: ${e.message}` }
      eq(`SDK opens our blob: ${tag}`, opened, hex(plain))

      // Sealed by the SDK with its ephemeral key included, opened here.
      const theirs = ECIES.electrumEncrypt(plain, PublicKey.fromString(pubHex), undefined, false)
      eq(`SDK blob has the BIE1 layout: ${tag}`, blobShapeProblem(theirs, size), '')
      const back = await unseal(theirs, priv)
      check(`SDK blob opens here: ${tag}`, back.opened === true && back.plaintext === hex(plain),
        `got ${JSON.stringify(back)}`)

      for (const [origin, blob] of [['our', ours], ['SDK', theirs]]) {
        for (const [part, bad] of damagedBlobs(blob)) {
          eq(`${origin} blob with a flipped bit in the ${part} refused here: ${tag}`, (await unseal(bad, priv)).opened, false)
        }
        eq(`${origin} blob refused here under the wrong key: ${tag}`, (await unseal(blob, stranger)).opened, false)
      }
    }
  }
})

// ---------------------------------------------------------------------------------------
// 5. The vaultra command line, on a wallet of its own making

// Runs vaultra in the given platform folder; the exit code and both outputs.
function vaultra (folder, args) {
  const env = { ...process.env, LOCALAPPDATA: folder }
  delete env.DISPLAY
  delete env.WAYLAND_DISPLAY
  const r = spawnSync(vaultraPath, args, { env, encoding: 'utf8', timeout: 30000 })
  if (r.error) throw new Error(`vaultra ${args[0]} did not run: ${r.error.message}`)
  return { code: r.status, out: r.stdout, err: r.stderr }
}

// A --json command that has to succeed: its answer, parsed.
function vaultraJson (folder, args) {
  const r = vaultra(folder, ['--json', ...args])
  if (r.code !== 0 || r.err !== '') throw new Error(`vaultra ${args[0]} exit ${r.code}: ${r.err.trim()}`)
  return JSON.parse(r.out)
}

if (vaultraPath) {
  const folder = mkdtempSync(join(tmpdir(), 'dialo-interop-'))
  try {
    await section('vaultra', async () => {
      const texts = [
        ['short', 'hello'],
        ['empty', ''],
        ['spaces', '  call me back at nine  '],
        ['UTF-8', 'Grüße aus Köln — 你好, 世界 📞 ☎'],
        ['253 bytes', 'x'.repeat(253)],
        ['1000 bytes', String.fromCharCode(...printable(1000))]
      ]
      const made = vaultraJson(folder, ['create'])
      const id = made.id
      const shown = vaultraJson(folder, ['show', id])
      const identityPub = PublicKey.fromString(shown.identity_pub)
      eq('vaultra show: the identity address is that of the identity key', identityPub.toAddress(), shown.identity_address)
      eq('vaultra create and show name the same identity key', made.identity_pub, shown.identity_pub)
      // The key tree the SDK walks from the printed phrase reaches the same identity key.
      const sdkIdentity = HD.fromSeed(Mnemonic.fromString(made.mnemonic).toSeed()).derive("m/44'/236'/100'/0/0")
      eq('SDK derives the identity key vaultra shows', hex(sdkIdentity.pubKey.encode(true)), shown.identity_pub)

      // (1) Sealed by vaultra to an SDK key, opened by the SDK.
      const recipient = PrivateKey.fromRandom()
      const forms = [['compressed', hex(recipient.toPublicKey().encode(true))], ['uncompressed', hex(recipient.toPublicKey().encode(false))]]
      for (const [label, text] of texts) {
        for (const [form, pubHex] of forms) {
          const tag = `${label} text to a ${form} key`
          const blob = vaultraJson(folder, ['encrypt', pubHex, text]).blob
          let opened
          try { opened = Utils.toUTF8(ECIES.electrumDecrypt(arr(blob), recipient)) } catch (e) { opened = `refused: ${e.message}` }
          eq(`SDK opens the vaultra encrypt blob: ${tag}`, opened, text)
        }
      }
      const notAKey = vaultra(folder, ['encrypt', '02' + '00'.repeat(32), 'x'])
      eq('vaultra encrypt to a point off the curve: exit code', notAKey.code, 1)
      eq('vaultra encrypt to a point off the curve: one stderr line', notAKey.err.split('\n').length, 2, notAKey.err)

      // (2) Signed by vaultra with the identity key, verified by the SDK.
      for (const [label, text] of texts) {
        const tag = `${label} message`
        const signed = vaultraJson(folder, ['sign-message', '--wallet', id, text])
        eq(`vaultra sign-message names the identity address: ${tag}`, signed.address, shown.identity_address)
        const bytes = [...Buffer.from(signed.signature, 'base64')]
        check(`vaultra signature is 65 bytes with a compressed-key header: ${tag}`,
          bytes.length === 65 && bytes[0] >= 31 && bytes[0] <= 34, `got ${signed.signature}`)
        if (bytes.length !== 65) continue
        const sig = Signature.fromCompact(bytes)
        const msg = Utils.toArray(text, 'utf8')
        let signer
        try { signer = sig.RecoverPublicKey(bytes[0] - 31, new BigNumber(BSM.magicHash(msg))) } catch { signer = null }
        eq(`SDK recovers the identity address from the vaultra signature: ${tag}`, signer?.toAddress(), shown.identity_address)
        check(`SDK BSM verifies the vaultra signature: ${tag}`, BSM.verify(msg, sig, identityPub))
      }

      // (3) Sealed by the SDK to the wallet's identity key, opened by vaultra.
      for (const [label, text] of texts) {
        const blob = hex(ECIES.electrumEncrypt(Utils.toArray(text, 'utf8'), identityPub, undefined, false))
        const r = vaultra(folder, ['decrypt', '--wallet', id, blob])
        eq(`vaultra decrypt of an SDK blob: exit code: ${label} text`, r.code, 0, r.err.trim())
        eq(`vaultra decrypt opens an SDK blob: ${label} text`, r.out, `${text}\n`)
        eq(`vaultra --json decrypt opens an SDK blob: ${label} text`, vaultraJson(folder, ['decrypt', '--wallet', id, blob]).text, text)
        const damaged = hex(flipBit(arr(blob), arr(blob).length - 1 - randomInt(32)))
        const bad = vaultra(folder, ['decrypt', '--wallet', id, damaged])
        eq(`vaultra decrypt refuses an SDK blob with a damaged MAC: exit code: ${label} text`, bad.code, 1)
        eq(`vaultra decrypt refuses an SDK blob with a damaged MAC: nothing printed: ${label} text`, bad.out, '')
      }
      const stranger = hex(ECIES.electrumEncrypt(Utils.toArray('not for you', 'utf8'), PrivateKey.fromRandom().toPublicKey(), undefined, false))
      eq('vaultra decrypt refuses a blob sealed to another key', vaultra(folder, ['decrypt', '--wallet', id, stranger]).code, 1)

      // (4) Signed by the SDK, verified by vaultra against the signer's address.
      for (const [label, text] of texts) {
        const key = PrivateKey.fromRandom()
        const address = key.toPublicKey().toAddress()
        const sig = BSM.sign(Utils.toArray(text, 'utf8'), key)
        const tag = `${label} message`
        const good = vaultra(folder, ['verify-message', address, sig, text])
        eq(`vaultra verify-message accepts an SDK signature: exit code: ${tag}`, good.code, 0, good.err.trim())
        eq(`vaultra verify-message accepts an SDK signature: ${tag}`, good.out, 'valid\n')
        const wrong = vaultra(folder, ['verify-message', address, sig, `${text}!`])
        eq(`vaultra verify-message refuses a wrong text: exit code: ${tag}`, wrong.code, 1)
        eq(`vaultra verify-message refuses a wrong text: ${tag}`, wrong.out, 'invalid\n')
        const other = PrivateKey.fromRandom().toPublicKey().toAddress()
        eq(`vaultra verify-message refuses another address: exit code: ${tag}`, vaultra(folder, ['verify-message', other, sig, text]).code, 1)
        const byKey = vaultra(folder, ['--json', 'verify-message', hex(key.toPublicKey().encode(true)), sig, text])
        eq(`vaultra verify-message accepts an SDK signature against the public key: ${tag}`, byKey.out, '{"valid":true}\n', byKey.err.trim())
      }
    })
  } finally {
    rmSync(folder, { recursive: true, force: true })
  }
}

// ---------------------------------------------------------------------------------------

await finish(helper)

// Holds Dialo's recovery phrases, key tree, addresses, message signatures and ECIES blobs up
// against @bsv/sdk in both directions; given vaultra too, its encrypt, decrypt, sign-message and
// verify-message on a wallet it creates in a temporary platform folder.
// Usage: node check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]

import { spawnSync } from 'node:child_process'
import { randomBytes, randomInt } from 'node:crypto'
import { mkdtempSync, rmSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join } from 'node:path'
import { arr, check, eq, finish, hex, section, start } from './harness.mjs'

const { sdk, helper } = await start('node check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]')
const { BSM, BigNumber, ECDSA, ECIES, HD, Mnemonic, PrivateKey, PublicKey, Signature, Utils } = sdk
const vaultraPath = process.argv[3]

const H = 0x80000000
const N = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141n
const b64 = (bytes) => Buffer.from(bytes).toString('base64')
const privHex = (key) => hex(key.toArray('be', 32))
const pubHex = (key, compressed = true) => hex(key.toPublicKey().encode(compressed))
const printable = (size) => [...randomBytes(size)].map((b) => 0x20 + (b % 95))
// What the SDK makes of something it may refuse by throwing.
function sdkSays (fn) {
  try {
    return fn()
  } catch (e) {
    return `refused: ${e.message}`
  }
}
function flipBit (bytes, index, bit = randomInt(8)) {
  const out = [...bytes]
  out[index] ^= 1 << bit
  return out
}

await section('phrases and the key tree', async () => {
  // Words of fixed and random entropy, then phrases the SDK makes.
  const phrases = []
  const random = Array.from({ length: 5 }, () => randomBytes(16).toString('hex'))
  for (const entropy of [...['00', '7f', '80', 'ff'].map((b) => b.repeat(16)), ...random]) {
    const ours = (await helper.call({ cmd: 'mnemonic', entropy })).mnemonic
    eq(`words of entropy ${entropy}`, ours, Mnemonic.fromEntropy(arr(entropy)).toString())
    phrases.push(ours)
  }
  for (let n = 0; n < 5; n++) phrases.push(Mnemonic.fromRandom(128).toString())

  // Edges of the 31-bit index (the last plain one, hardened ones last) and ordinary paths.
  const paths = [[0, 0x7FFFFFFE], [1, 0x7FFFFFFF], [100, H], [102, 0xFFFFFFFF], [0x7FFFFFFF, 0]]
  for (const a of [0, 1, 2, 3, 4, 5, 100, 102]) for (const i of [0, 1, 7, 1000]) paths.push([a, i])
  for (const phrase of phrases) {
    eq(`phrase accepted here: "${phrase}"`, (await helper.call({ cmd: 'validate', mnemonic: phrase })).valid, true)
    const seed = Mnemonic.fromString(phrase).toSeed()
    eq(`seed of "${phrase}"`, (await helper.call({ cmd: 'seed', mnemonic: phrase })).seed, hex(seed))
    const got = (await helper.call({ cmd: 'derive', mnemonic: phrase, paths })).keys
    const root = HD.fromSeed(seed).deriveChild(44 + H).deriveChild(236 + H)
    const branches = new Map()
    paths.forEach(([a, i], n) => {
      if (!branches.has(a)) branches.set(a, root.deriveChild(a + H).deriveChild(0))
      const k = branches.get(a).deriveChild(i)
      eq(`priv, pub and address at m/44'/236'/${a}'/0/${i} of "${phrase}"`, `${got[n]?.priv} ${got[n]?.pub} ${got[n]?.address}`,
        `${privHex(k.privKey)} ${hex(k.pubKey.encode(true))} ${k.pubKey.toAddress()}`)
    })
  }
})

await section('keys and addresses', async () => {
  // Random keys, the first and last, and keys with leading zero bytes (padding mistakes).
  const keys = Array.from({ length: 20 }, () => PrivateKey.fromRandom())
  keys.push(new PrivateKey(1), new PrivateKey(new BigNumber((N - 1n).toString(16), 16)))
  keys.push(new PrivateKey([0, 0, ...randomBytes(30)]), new PrivateKey([0, ...randomBytes(31)]))
  const alphabet = '123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz'
  for (const key of keys) {
    const address = key.toPublicKey().toAddress()
    const ours = await helper.call({ cmd: 'pubkey', priv: privHex(key) })
    eq(`public key and address of ${privHex(key)}`, `${ours.pub} ${ours.address}`, `${pubHex(key)} ${address}`)
    const decode = async (a) => (await helper.call({ cmd: 'decode_address', address: a })).hash
    eq(`hash of ${address}`, await decode(address), hex(key.toPublicKey().toHash()))
    // One character changed, and the testnet form, are refused.
    const at = 1 + randomInt(address.length - 1)
    const other = alphabet[(alphabet.indexOf(address[at]) + 1 + randomInt(alphabet.length - 1)) % alphabet.length]
    const broken = address.slice(0, at) + other + address.slice(at + 1)
    eq(`damaged address refused here: ${broken}`, await decode(broken), null)
    eq(`testnet address of ${address} refused here`, await decode(key.toPublicKey().toAddress('testnet')), null)
  }
})

await section('signatures', async () => {
  // Sizes on both sides of the length prefix's steps in the signed-message digest.
  const messages = [['empty', []], ['1 byte', printable(1)], ['252 bytes', printable(252)],
    ['253 bytes', printable(253)], ['65535 bytes', printable(65535)], ['65536 bytes', printable(65536)],
    ['UTF-8', [...Buffer.from('Grüße aus Köln — 你好, 世界 📞 ☎', 'utf8')]], ['binary', [...randomBytes(300)]]]
  for (const [label, msg] of messages) {
    const key = PrivateKey.fromRandom()
    const priv = privHex(key)
    const pub = key.toPublicKey()
    const message = hex(msg)
    const changed = hex(msg.length > 0 ? flipBit(msg, randomInt(msg.length)) : [0x20])
    const digest = new BigNumber(BSM.magicHash(msg))
    const ours = async (m, p, s) => (await helper.call({ cmd: 'verify_message', message: m, pub: p, signature: s })).valid
    // Compact (65 bytes, recoverable) and identity (64-byte r||s) forms, made on either side:
    // each verifies on the other side and here, and is refused here once damaged, under
    // another key or over another message.
    const sdkRs = ECDSA.sign(digest, key, true)
    const made = [
      ['our compact', (await helper.call({ cmd: 'sign_compact', priv, message })).signature, 65],
      ['SDK compact', BSM.sign(msg, key), 65],
      ['our identity', (await helper.call({ cmd: 'sign_rs', priv, message })).signature, 64],
      ['SDK identity', b64([...sdkRs.r.toArray('be', 32), ...sdkRs.s.toArray('be', 32)]), 64]
    ]
    // Both sides take the RFC 6979 nonce and the low S: the same key and digest give the same bytes.
    eq(`our identity signature is the SDK's: ${label} message, key ${priv}`, made[2][1], made[3][1])
    eq(`our compact signature is the SDK's: ${label} message, key ${priv}`, made[0][1], made[1][1])
    for (const [kind, sig, size] of made) {
      const t = `${kind} signature: ${label} message, key ${priv}`
      const bytes = [...Buffer.from(sig ?? '', 'base64')]
      check(`${t} is ${size} bytes (a compressed-key header on 65)`,
        bytes.length === size && (size === 64 || (bytes[0] >= 31 && bytes[0] <= 34)), `got ${sig}`)
      if (bytes.length !== size) continue
      const rs = bytes.slice(size - 64)
      if (kind.startsWith('our')) {
        check(`${t} is low-S`, BigInt('0x' + hex(rs.slice(32))) <= N >> 1n)
        if (size === 65) {
          const signer = sdkSays(() => Signature.fromCompact(bytes).RecoverPublicKey(bytes[0] - 31, digest).toAddress())
          eq(`SDK recovers the signer of ${t}`, signer, pub.toAddress())
          check(`SDK verifies ${t}`, BSM.verify(msg, Signature.fromCompact(bytes), pub))
        } else {
          const s = new Signature(new BigNumber(rs.slice(0, 32)), new BigNumber(rs.slice(32)))
          check(`SDK verifies ${t}`, ECDSA.verify(digest, s, pub))
        }
      }
      check(`${t} verifies here`, await ours(message, pubHex(key), sig))
      check(`${t} verifies here with the uncompressed key`, await ours(message, pubHex(key, false), sig))
      // One bit of r or s flipped; the header byte is not part of the ECDSA signature.
      eq(`damaged ${t} refused here`, await ours(message, pubHex(key), b64(flipBit(bytes, size - 64 + randomInt(64)))), false)
      eq(`${t} under another key refused here`, await ours(message, pubHex(PrivateKey.fromRandom()), sig), false)
      eq(`${t} over another message refused here`, await ours(changed, pubHex(key), sig), false)
    }
  }
})

await section('ecies', async () => {
  const recipient = PrivateKey.fromRandom()
  const priv = privHex(recipient)
  const unseal = async (blob, key = priv) => await helper.call({ cmd: 'unseal', blob: hex(blob), priv: key })
  for (const size of [0, 15, 16, 17, 1000]) {
    for (const pub of [pubHex(recipient), pubHex(recipient, false)]) {
      const plain = [...randomBytes(size)]
      const tag = `${size} bytes to ${pub}`
      // Sealed here: BIE1, a compressed ephemeral key, padded ciphertext and MAC; the SDK opens it.
      const ours = arr((await helper.call({ cmd: 'seal', pub, plaintext: hex(plain) })).blob ?? '')
      eq(`our blob size: ${tag}`, ours.length, 4 + 33 + 16 * (Math.floor(size / 16) + 1) + 32)
      eq(`SDK opens our blob: ${tag}`, sdkSays(() => hex(ECIES.electrumDecrypt(ours, recipient))), hex(plain))

      // Sealed by the SDK, opened here; refused with one bit flipped in each part, or the wrong key.
      const theirs = ECIES.electrumEncrypt(plain, PublicKey.fromString(pub), undefined, false)
      const back = await unseal(theirs)
      check(`SDK blob opens here: ${tag}`, back.opened && back.plaintext === hex(plain), JSON.stringify(back))
      const macAt = theirs.length - 32
      const damaged = [['magic', randomInt(4)], ['ephemeral key prefix', 4, 0], ['ephemeral key', 5 + randomInt(32)],
        ['ciphertext', 37 + randomInt(macAt - 37)], ['last ciphertext byte', macAt - 1], ['MAC', macAt + randomInt(32)]]
      for (const [part, at, bit] of damaged) {
        const back = await unseal(flipBit(theirs, at, bit))
        eq(`SDK blob with a flipped bit in the ${part} refused here: ${tag}`, back.opened, false)
      }
      eq(`SDK blob refused under the wrong key: ${tag}`, (await unseal(theirs, privHex(PrivateKey.fromRandom()))).opened, false)
    }
  }
})

// vaultra in its own platform folder: exit code and both outputs, or with --json the answer.
function vaultra (folder, args) {
  const env = { ...process.env, LOCALAPPDATA: folder }
  delete env.DISPLAY
  delete env.WAYLAND_DISPLAY
  const r = spawnSync(vaultraPath, args, { env, encoding: 'utf8', timeout: 30000 })
  if (r.error) throw new Error(`vaultra ${args[0]} did not run: ${r.error.message}`)
  return { code: r.status, out: r.stdout, err: r.stderr, said: `${r.status} ${r.stdout}` }
}
function vaultraJson (folder, args) {
  const r = vaultra(folder, ['--json', ...args])
  if (r.code !== 0 || r.err !== '') throw new Error(`vaultra ${args[0]} exit ${r.code}: ${r.err.trim()}`)
  return JSON.parse(r.out)
}

if (vaultraPath) {
  const folder = mkdtempSync(join(tmpdir(), 'dialo-interop-'))
  const run = (...args) => vaultra(folder, args)
  const runJson = (...args) => vaultraJson(folder, args)
  const seal = (bytes, pub) => hex(ECIES.electrumEncrypt(bytes, pub, undefined, false))
  try {
    await section('vaultra', async () => {
      const made = runJson('create')
      const id = made.id
      const shown = runJson('show', id)
      const identityPub = PublicKey.fromString(shown.identity_pub)
      eq('vaultra show: the identity address is that of the identity key', identityPub.toAddress(), shown.identity_address)
      const sdkIdentity = HD.fromSeed(Mnemonic.fromString(made.mnemonic).toSeed()).derive("m/44'/236'/100'/0/0")
      const sdkPub = hex(sdkIdentity.pubKey.encode(true))
      eq('vaultra create and show name the identity key the SDK derives from the printed phrase',
        `${made.identity_pub} ${shown.identity_pub}`, `${sdkPub} ${sdkPub}`)

      const recipient = PrivateKey.fromRandom()
      const texts = [['short', 'hello'], ['empty', ''], ['spaces', '  call me back at nine  '],
        ['UTF-8', 'Grüße aus Köln — 你好, 世界 📞 ☎'], ['253 bytes', 'x'.repeat(253)],
        ['1000 bytes', String.fromCharCode(...printable(1000))]]
      for (const [label, text] of texts) {
        const tag = `${label} text`
        const bytes = Utils.toArray(text, 'utf8')
        // Sealed by vaultra to an SDK key in either form, opened by the SDK.
        for (const pub of [pubHex(recipient), pubHex(recipient, false)]) {
          const blob = arr(runJson('encrypt', pub, text).blob)
          const opened = sdkSays(() => Utils.toUTF8(ECIES.electrumDecrypt(blob, recipient)))
          eq(`SDK opens the vaultra encrypt blob: ${tag} to ${pub}`, opened, text)
        }

        // Signed by vaultra with the identity key, verified by the SDK.
        const signed = runJson('sign-message', '--wallet', id, text)
        eq(`vaultra sign-message names the identity address: ${tag}`, signed.address, shown.identity_address)
        const sig = [...Buffer.from(signed.signature, 'base64')]
        const digest = new BigNumber(BSM.magicHash(bytes))
        const signer = sdkSays(() => Signature.fromCompact(sig).RecoverPublicKey(sig[0] - 31, digest).toAddress())
        eq(`SDK recovers the identity address from the vaultra signature: ${tag}`, signer, shown.identity_address)
        check(`SDK verifies the vaultra signature: ${tag}`,
          sig.length === 65 && BSM.verify(bytes, Signature.fromCompact(sig), identityPub))

        // Sealed by the SDK to the identity key, opened by vaultra; refused with a damaged MAC.
        const blob = seal(bytes, identityPub)
        eq(`vaultra decrypt opens an SDK blob: ${tag}`, run('decrypt', '--wallet', id, blob).said, `0 ${text}\n`)
        eq(`vaultra --json decrypt opens an SDK blob: ${tag}`, runJson('decrypt', '--wallet', id, blob).text, text)
        const damaged = hex(flipBit(arr(blob), blob.length / 2 - 1 - randomInt(32)))
        eq(`vaultra decrypt refuses an SDK blob with a damaged MAC: ${tag}`, run('decrypt', '--wallet', id, damaged).said, '1 ')

        // Signed by the SDK, checked by vaultra against the signer's address or key.
        const key = PrivateKey.fromRandom()
        const address = key.toPublicKey().toAddress()
        const sdkSig = BSM.sign(bytes, key)
        const verify = (...args) => run('verify-message', ...args).said
        eq(`vaultra verify-message accepts an SDK signature: ${tag}`, verify(address, sdkSig, text), '0 valid\n')
        eq(`vaultra verify-message refuses a wrong text: ${tag}`, verify(address, sdkSig, `${text}!`), '1 invalid\n')
        const otherAddress = PrivateKey.fromRandom().toPublicKey().toAddress()
        eq(`vaultra verify-message refuses another address: ${tag}`, run('verify-message', otherAddress, sdkSig, text).code, 1)
        eq(`vaultra verify-message accepts an SDK signature against the public key: ${tag}`,
          run('--json', 'verify-message', pubHex(key), sdkSig, text).out, '{"valid":true}\n')
      }
      const notAKey = run('encrypt', '02' + '00'.repeat(32), 'x')
      eq('vaultra encrypt to a point off the curve: exit code and one stderr line',
        `${notAKey.code} ${notAKey.err.split('\n').length}`, '1 2', notAKey.err)
      const stranger = seal(Utils.toArray('not for you', 'utf8'), PrivateKey.fromRandom().toPublicKey())
      eq('vaultra decrypt refuses a blob sealed to another key', run('decrypt', '--wallet', id, stranger).code, 1)
    })
  } finally {
    rmSync(folder, { recursive: true, force: true })
  }
}

await finish(helper)

// Holds Dialo's recovery phrases, key tree, addresses, message signatures and ECIES blobs up
// against @bsv/sdk in both directions; given vaultra too, its encrypt, decrypt, sign-message and
// verify-message on a wallet it creates in a temporary platform folder.
// Usage: node check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]

import { spawnSync } from 'node:child_process'
import { randomBytes, randomInt } from 'node:crypto'
import { mkdtempSync, rmSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join } from 'node:path'
import { arr, attempt, check, eq, finish, hex, identityKey, section, start } from './harness.mjs'

const { sdk, helper } = await start('check.mjs PATH-TO-dialo-interop-helper [PATH-TO-vaultra]')
const { BSM, BigNumber, ECIES, HD, Mnemonic, PrivateKey, PublicKey, Signature, Utils } = sdk
const vaultraPath = process.argv[3]
const call = helper.call

const H = 0x80000000
const N = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141n
const privHex = (key) => hex(key.toArray('be', 32))
const pubHex = (key, compressed = true) => hex(key.toPublicKey().encode(compressed))
const printable = (size) => [...randomBytes(size)].map((b) => 0x20 + (b % 95))
const sdkSays = (fn) => attempt(fn, (e) => `refused: ${e.message}`)
const flipBit = (bytes, index, bit = randomInt(8)) => bytes.map((b, i) => i === index ? b ^ (1 << bit) : b)

await section('phrases and the key tree', async () => {
  const phrases = []
  for (const entropy of [...['00', '7f', 'ff'].map((b) => b.repeat(16)), randomBytes(16).toString('hex')]) {
    const ours = (await call('mnemonic', { entropy })).mnemonic
    eq(`words of entropy ${entropy}`, ours, Mnemonic.fromEntropy(arr(entropy)).toString())
    phrases.push(ours)
  }
  phrases.push(Mnemonic.fromRandom(128).toString(), Mnemonic.fromRandom(128).toString())
  // Edges of the 31-bit index (the last plain one, hardened ones last) and ordinary paths.
  const paths = [[0, 0x7FFFFFFE], [1, 0x7FFFFFFF], [100, H], [102, 0xFFFFFFFF], [0x7FFFFFFF, 0]]
  for (const a of [0, 1, 5, 100, 102]) for (const i of [0, 7, 1000]) paths.push([a, i])
  for (const phrase of phrases) {
    eq(`phrase accepted here: "${phrase}"`, (await call('validate', { mnemonic: phrase })).valid, true)
    const seed = Mnemonic.fromString(phrase).toSeed()
    eq(`seed of "${phrase}"`, (await call('seed', { mnemonic: phrase })).seed, hex(seed))
    const got = (await call('derive', { mnemonic: phrase, paths })).keys
    const root = HD.fromSeed(seed).deriveChild(44 + H).deriveChild(236 + H)
    paths.forEach(([a, i], n) => {
      const k = root.deriveChild(a + H).deriveChild(0).deriveChild(i)
      eq(`priv, pub and address at m/44'/236'/${a}'/0/${i} of "${phrase}"`, `${got[n]?.priv} ${got[n]?.pub} ${got[n]?.address}`,
        `${privHex(k.privKey)} ${hex(k.pubKey.encode(true))} ${k.pubKey.toAddress()}`)
    })
  }
})

await section('keys and addresses', async () => {
  // Random keys, the first and last, and keys with leading zero bytes (padding mistakes).
  const keys = Array.from({ length: 8 }, () => PrivateKey.fromRandom())
  keys.push(new PrivateKey(1), new PrivateKey(new BigNumber((N - 1n).toString(16), 16)))
  keys.push(new PrivateKey([0, 0, ...randomBytes(30)]), new PrivateKey([0, ...randomBytes(31)]))
  const alphabet = '123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz'
  const decode = async (address) => (await call('decode_address', { address })).hash
  for (const key of keys) {
    const address = key.toPublicKey().toAddress()
    const ours = await call('pubkey', { priv: privHex(key) })
    eq(`public key and address of ${privHex(key)}`, `${ours.pub} ${ours.address}`, `${pubHex(key)} ${address}`)
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
  const messages = [['empty', []], ['252 bytes', printable(252)], ['253 bytes', printable(253)],
    ['65535 bytes', printable(65535)], ['65536 bytes', printable(65536)], ['UTF-8', Utils.toArray('Grüße 你好 📞', 'utf8')]]
  for (const [label, msg] of messages) {
    const key = PrivateKey.fromRandom()
    const priv = privHex(key)
    const message = hex(msg)
    const changed = hex(msg.length > 0 ? flipBit(msg, randomInt(msg.length)) : [0x20])
    const ours = async (m, pub, signature) => (await call('verify_message', { message: m, pub, signature })).valid
    // Compact signatures (65 bytes, recoverable) made on either side verify on the other and here,
    // and are refused here once damaged, under another key or over another message. The 64-byte
    // identity form is held up against the SDK by events_check.mjs.
    const made = [['our', (await call('sign_compact', { priv, message })).signature], ['SDK', BSM.sign(msg, key)]]
    // Both sides take the RFC 6979 nonce and the low S: the same key and digest give the same bytes.
    eq(`our signature is the SDK's: ${label} message, key ${priv}`, made[0][1], made[1][1])
    for (const [who, sig] of made) {
      const t = `${who} signature: ${label} message, key ${priv}`
      const bytes = [...Buffer.from(sig ?? '', 'base64')]
      check(`${t} is 65 bytes with a compressed-key header`, bytes.length === 65 && bytes[0] >= 31 && bytes[0] <= 34, `got ${sig}`)
      if (bytes.length !== 65) continue
      if (who === 'our') {
        check(`${t} is low-S`, BigInt('0x' + hex(bytes.slice(33))) <= N >> 1n)
        const digest = new BigNumber(BSM.magicHash(msg))
        eq(`SDK recovers the signer of ${t}`, sdkSays(() => Signature.fromCompact(bytes).RecoverPublicKey(bytes[0] - 31, digest).toAddress()),
          key.toPublicKey().toAddress())
        check(`SDK verifies ${t}`, BSM.verify(msg, Signature.fromCompact(bytes), key.toPublicKey()))
      }
      check(`${t} verifies here`, await ours(message, pubHex(key), sig))
      check(`${t} verifies here with the uncompressed key`, await ours(message, pubHex(key, false), sig))
      // One bit of r or s flipped; the header byte is not part of the ECDSA signature.
      const damaged = Buffer.from(flipBit(bytes, 1 + randomInt(64))).toString('base64')
      eq(`damaged ${t} refused here`, await ours(message, pubHex(key), damaged), false)
      eq(`${t} under another key refused here`, await ours(message, pubHex(PrivateKey.fromRandom()), sig), false)
      eq(`${t} over another message refused here`, await ours(changed, pubHex(key), sig), false)
    }
  }
})

await section('ecies', async () => {
  const recipient = PrivateKey.fromRandom()
  const unseal = async (blob, priv = privHex(recipient)) => await call('unseal', { blob: hex(blob), priv })
  for (const size of [0, 15, 16, 17, 1000]) {
    for (const pub of [pubHex(recipient), pubHex(recipient, false)]) {
      const plain = [...randomBytes(size)]
      const tag = `${size} bytes to ${pub}`
      // Sealed here: BIE1, a compressed ephemeral key, padded ciphertext and MAC; the SDK opens it.
      const ours = arr((await call('seal', { pub, plaintext: hex(plain) })).blob ?? '')
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
        eq(`SDK blob with a flipped bit in the ${part} refused here: ${tag}`, (await unseal(flipBit(theirs, at, bit))).opened, false)
      }
      eq(`SDK blob refused under the wrong key: ${tag}`, (await unseal(theirs, privHex(PrivateKey.fromRandom()))).opened, false)
    }
  }
})

// vaultra in its own platform folder: exit code and both outputs. It signs and seals with the
// primitives checked above; here, the wallet it creates and what its commands read and print.
if (vaultraPath) {
  const folder = mkdtempSync(join(tmpdir(), 'dialo-interop-'))
  const { DISPLAY, WAYLAND_DISPLAY, ...env } = { ...process.env, LOCALAPPDATA: folder }
  const run = (...args) => {
    const r = spawnSync(vaultraPath, args, { env, encoding: 'utf8', timeout: 30000 })
    if (r.error) throw new Error(`vaultra ${args[0]} did not run: ${r.error.message}`)
    return { code: r.status, err: r.stderr, said: `${r.status} ${r.stdout}`, out: r.stdout }
  }
  const runJson = (...args) => {
    const r = run('--json', ...args)
    if (r.code !== 0 || r.err !== '') throw new Error(`vaultra ${args[0]} exit ${r.code}: ${r.err}`)
    return JSON.parse(r.out)
  }
  const seal = (bytes, pub) => hex(ECIES.electrumEncrypt(bytes, pub, undefined, false))
  try {
    await section('vaultra', async () => {
      const made = runJson('create')
      const { id } = made
      const shown = runJson('show', id)
      const identityPub = PublicKey.fromString(shown.identity_pub)
      eq('vaultra show: the identity address is that of the identity key', identityPub.toAddress(), shown.identity_address)
      const sdkPub = identityKey(sdk, made.mnemonic).toPublicKey().toString()
      eq('vaultra create and show name the identity key the SDK derives from the printed phrase',
        `${made.identity_pub} ${shown.identity_pub}`, `${sdkPub} ${sdkPub}`)
      const recipient = PrivateKey.fromRandom()
      for (const text of ['hello', '', '  call me back at nine  ', 'Grüße aus Köln — 你好 📞', String.fromCharCode(...printable(1000))]) {
        const tag = `text ${JSON.stringify(text.slice(0, 30))}`
        const bytes = Utils.toArray(text, 'utf8')
        const blob = arr(runJson('encrypt', pubHex(recipient, false), text).blob)
        eq(`SDK opens the vaultra encrypt blob: ${tag}`, sdkSays(() => Utils.toUTF8(ECIES.electrumDecrypt(blob, recipient))), text)
        const signed = runJson('sign-message', '--wallet', id, text)
        eq(`vaultra sign-message names the identity address: ${tag}`, signed.address, shown.identity_address)
        const sig = [...Buffer.from(signed.signature, 'base64')]
        check(`SDK verifies the vaultra signature: ${tag}`, sig.length === 65 && BSM.verify(bytes, Signature.fromCompact(sig), identityPub))
        // Sealed by the SDK to the identity key, opened by vaultra; refused with a damaged MAC.
        const sealed = seal(bytes, identityPub)
        eq(`vaultra decrypt opens an SDK blob: ${tag}`, run('decrypt', '--wallet', id, sealed).said, `0 ${text}\n`)
        const damaged = hex(flipBit(arr(sealed), sealed.length / 2 - 1 - randomInt(32)))
        eq(`vaultra decrypt refuses an SDK blob with a damaged MAC: ${tag}`, run('decrypt', '--wallet', id, damaged).said, '1 ')
        // Signed by the SDK, checked by vaultra against the signer's address or key.
        const key = PrivateKey.fromRandom()
        const sdkSig = BSM.sign(bytes, key)
        const verify = (...args) => run('verify-message', ...args).said
        eq(`vaultra verify-message accepts an SDK signature: ${tag}`, verify(key.toPublicKey().toAddress(), sdkSig, text), '0 valid\n')
        eq(`vaultra verify-message refuses a wrong text: ${tag}`, verify(pubHex(key), sdkSig, `${text}!`), '1 invalid\n')
        eq(`vaultra verify-message refuses another address: ${tag}`,
          verify(PrivateKey.fromRandom().toPublicKey().toAddress(), sdkSig, text), '1 invalid\n')
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

// SDK-made call events must pass Dialo's incoming steps, and forgeries must be refused.
// Usage: node events_check.mjs PATH-TO-dialo-interop-helper PATH-TO-dialo-devnet

import { spawn } from 'node:child_process'
import { randomBytes, randomInt } from 'node:crypto'
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join } from 'node:path'
import { createInterface } from 'node:readline'
import {
  args, attempt, canonicalText, check, claim, compact, eq, finish, hex, identitySignature, payloadOf, section, start, utf8
} from './harness.mjs'

const usage = 'events_check.mjs PATH-TO-dialo-interop-helper PATH-TO-dialo-devnet'
const [, devnetPath] = args(2, usage)

// The helper reads the devnet's phone.json only when asked to.
const helperFolder = mkdtempSync(join(tmpdir(), 'dialo-events-helper-'))
const devnetFolder = mkdtempSync(join(tmpdir(), 'dialo-events-devnet-'))
const { sdk, helper } = await start(usage, { ...process.env, LOCALAPPDATA: helperFolder })
const devnet = spawn(devnetPath, ['serve', '--port', '0', '--directory-port', '0', '--block-interval', '0'],
  { env: { ...process.env, LOCALAPPDATA: devnetFolder }, stdio: ['ignore', 'pipe', 'pipe'] })
process.on('exit', () => devnet.kill())
let devnetErr = ''
devnet.stderr.on('data', (d) => { devnetErr += d })
const devnetEnded = new Promise((resolve) => devnet.on('error', (e) => resolve(`could not start: ${e.message}`))
  .on('exit', (code, signal) => resolve(`ended with ${code ?? signal}`)))
const serving = () => devnet.exitCode === null && devnet.signalCode === null
const cleanUp = async () => {
  if (serving()) devnet.kill()
  await devnetEnded
  for (const f of [devnetFolder, helperFolder]) rmSync(f, { recursive: true, force: true })
}
const firstLine = await Promise.race([createInterface({ input: devnet.stdout })[Symbol.asyncIterator]().next().then((r) => r.value ?? 'printed nothing'),
  devnetEnded, new Promise((resolve) => setTimeout(() => resolve('printed nothing within 30 s'), 30000).unref())])
devnet.stdout.resume()
const network = attempt(() => JSON.parse(firstLine).network, null)
if (typeof network?.service_port !== 'number') {
  check('dialo-devnet serves', false, `${firstLine}\n${devnetErr}`)
  await cleanUp()
  await finish(helper)
}
mkdirSync(join(helperFolder, 'Orvane', 'dialo'), { recursive: true })
writeFileSync(join(helperFolder, 'Orvane', 'dialo', 'phone.json'), firstLine)
const [base, ca, domain] = [`https://127.0.0.1:${network.service_port}`, readFileSync(network.ca_file), network.service_domain]
const { ECIES, PrivateKey } = sdk

const seconds = () => Math.floor(Date.now() / 1000)
const pick = (list) => list[randomInt(list.length)]
const randomAddress = () => PrivateKey.fromRandom().toPublicKey().toAddress()
const aliasChars = [...'abcdefghijklmnopqrstuvwxyz0123456789']
let aliasCount = 0
// A handle the directory takes, never the same twice in a run (the count's letters end it).
const randomAlias = () => pick(aliasChars) + Array.from({ length: 1 + randomInt(8) }, () => pick([...aliasChars, '.', '_', '-'])).join('') +
  `-${(aliasCount++).toString(36)}`
const randomCase = (s) => [...s].map((c) => (randomInt(2) ? c.toUpperCase() : c)).join('')
// What a user or a peer may write for one handle: case, one "@" or "$", blanks around.
const handleVariant = (alias) => pick([
  alias, alias.toUpperCase(), randomCase(alias), `@${alias}`, `$${randomCase(alias)}`, ` ${alias} `,
  `\t@${randomCase(alias)} `, ` @ ${alias}`, `${randomCase(alias)}\n`])
// Mostly the phone's 16 hex digits; sometimes text with separators, quotes and letters beyond ASCII.
const randomCallId = () => pick([
  () => randomBytes(8).toString('hex'), () => randomBytes(8).toString('hex'),
  () => Array.from({ length: 1 + randomInt(30) }, () => String.fromCharCode(0x20 + randomInt(95))).join(''),
  () => `${randomBytes(2).toString('hex')}|é"\\${pick(['你好', '📞', 'Grüße', ''])}`])()
const randomGsm = () => randomBytes(65 * randomInt(26))
const KINDS = ['invite', 'accept', 'box', 'hangup', 'audio', 'tape']

try {
  eq('the helper reads the devnet network from its phone.json', (await helper.call('configure')).service_domain, domain)

  const sender = () => { const key = PrivateKey.fromRandom(); return { key, alias: randomAlias(), pub: key.toPublicKey().toString() } }
  const senders = [sender(), sender(), sender()]
  for (const s of senders) await claim(sdk, base, ca, s.alias, s.key)
  const stranger = sender()
  const receiver = PrivateKey.fromRandom()

  // `shortNames` false uses "publicKey" and "signature"; `compactSig` a 65-byte signature with header.
  function sdkEvent (kind, sender, { signer = sender.key, shortNames = true, compactSig = false } = {}) {
    const audio = randomGsm().toString('base64')
    const own = kind === 'audio'
      ? { n: 1 + randomInt(1000), codec: 'gsm', audio }
      : kind === 'tape' ? { mark: 'start-end', codec: 'gsm', audio, secs: 1 + randomInt(60) } : {}
    const event = {
      kind, id: randomCallId(), ...own, protocol: 'OV-Dialo', type: 'dl', location: 'dialo',
      handle: handleVariant(sender.alias), pay: randomAddress(), actor: handleVariant(sender.alias),
      paymail: `${sender.alias}@${domain}`, ts: seconds()
    }
    const message = canonicalText(event)
    const sig = compactSig ? sdk.BSM.sign(utf8(message), signer) : identitySignature(sdk, message, signer)
    const pub = signer.toPublicKey().toString()
    return shortNames ? { ...event, pubkey: pub, sig } : { ...event, publicKey: pub, signature: sig }
  }
  const sealed = (event, to = receiver.toPublicKey(), tail = '') => payloadOf({
    ts: seconds(), pmessage1: hex(ECIES.electrumEncrypt(utf8(compact(event)), to, undefined, false))
  }) + tail
  const incoming = async (payload) => await helper.call('incoming', { payload, priv: hex(receiver.toArray('be', 32)) })

  await section('SDK events, opened and verified here', async () => {
    let verified = 0
    for (let n = 0; n < 20; n++) {
      const kind = KINDS[n % KINDS.length]
      const event = sdkEvent(kind, pick(senders), { shortNames: n % 5 !== 4, compactSig: n % 4 === 3 })
      const tag = `SDK ${kind} ${JSON.stringify(event.id)} from ${JSON.stringify(event.handle)}`
      const r = await incoming(sealed(event, receiver.toPublicKey(), n % 7 === 6 ? '\r\n' : ''))
      eq(`${tag}: opened, as sent, with our canonical text, and verified here`, `${r.opened} ${compact(r.event ?? {})} ${r.canonical} ${r.verified}`,
        `true ${compact(event)} ${canonicalText(event)} true`)
      if (r.verified) verified++
    }
    console.log(`the SDK to ours: ${verified} of 20 events opened and verified`)
  })

  await section('forgeries refused here', async () => {
    const [alice, bob] = senders
    // Alice's event of `kind` with fields changed after she signed it.
    const changed = (kind, change) => () => ((e) => ({ ...e, ...change(e) }))(sdkEvent(kind, alice))
    // Bob's own valid signature on an event naming alice as its handle.
    const bobAsAlice = (fields) => () => {
      const forged = { ...sdkEvent('invite', alice), ...fields, actor: bob.alias, pubkey: bob.pub }
      return { ...forged, sig: identitySignature(sdk, canonicalText(forged), bob.key) }
    }
    // Each arrives sealed to the receiver; the last column says whether it must verify.
    const FORGERIES = [
      ['untouched', changed('invite', () => ({})), true],
      ['"pay" changed after signing', changed('invite', () => ({ pay: randomAddress() })), true],
      ['"paymail" changed after signing', changed('accept', () => ({ paymail: `${bob.alias}@${domain}` })), true],
      ['"kind" changed after signing', changed('invite', () => ({ kind: 'hangup' })), false],
      ['"id" changed after signing', changed('box', (e) => ({ id: `${e.id}0` })), false],
      ['"audio" changed after signing', changed('tape', (e) => ({ audio: `${e.audio}AAAA` })), false],
      ['"secs" changed after signing', changed('tape', (e) => ({ secs: e.secs + 1 })), false],
      ['"ts" changed after signing', changed('hangup', (e) => ({ ts: e.ts + 1 })), false],
      ['signed by bob\'s published key in alice\'s name', () => sdkEvent('invite', alice, { signer: bob.key }), false],
      ['signed by a key nobody published', () => sdkEvent('invite', stranger), false],
      // Another type must not lift the rule that the actor is the handle.
      ...['dl', ' dl', 'DL', 'call'].map((type) => [`signed by bob as actor of an event whose handle is alice, type "${type}"`, bobAsAlice({ type }), false])
    ]
    for (const [name, make, passes] of FORGERIES) {
      const r = await incoming(sealed(make()))
      eq(`${name}: opened and ${passes ? 'verified' : 'refused'} here`, `${r.opened} ${r.verified}`, `true ${passes}`)
    }
    eq('an event sealed to another key is not opened here', (await incoming(sealed(sdkEvent('invite', alice), PrivateKey.fromRandom().toPublicKey()))).opened, false)
    const text = sealed(sdkEvent('invite', alice)).replace('"enc_v":4', '"enc_v":"4"')
    eq('an envelope whose enc_v is the text "4" is not opened here', (await incoming(text)).opened, false)
  })
} finally {
  const served = serving()
  await cleanUp()
  check('the devnet served to the end', served, devnetErr.slice(-2000))
}
await finish(helper)

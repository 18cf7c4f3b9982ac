// Reads call-event transactions back from a devnet's WhatsOnChain API and checks them with
// @bsv/sdk alone: one output pays the callee 1 satoshi, one the event fee address 1 satoshi,
// and the data output's payload is an envelope that the callee's identity key opens, holding
// an event of the expected kind and call id, naming the sender's payment address, signed by
// the sender's published identity key; another key opens none of them.
// Usage: node open_events.mjs NETWORK-JSON-FILE SENDER SENDER-ADDRESS CALLEE-ADDRESS "CALLEE PHRASE"
//        "OTHER PHRASE" CALL-ID TXID:KIND...
// NETWORK-JSON-FILE is the phone's phone.json ({"network": ...}); an event_fee_address absent
// there is the phone's built-in one.

import { readFileSync } from 'node:fs'
import {
  BUILT_IN_FEES, args, canonicalText, check, compact, devnetGetter, eq, finish, identityKey, loadSdk, outputPayload,
  payloadOf, unseal, verifyIdentitySignature
} from './harness.mjs'

const [configFile, sender, senderAddress, calleeAddress, calleePhrase, otherPhrase, callId, ...sent] = args(8,
  'open_events.mjs NETWORK-JSON-FILE SENDER SENDER-ADDRESS CALLEE-ADDRESS "CALLEE PHRASE" "OTHER PHRASE" CALL-ID TXID:KIND...')
const sdk = await loadSdk()
const { P2PKH, Transaction } = sdk

const network = JSON.parse(readFileSync(configFile, 'utf8')).network
const feeAddress = network.event_fee_address ?? BUILT_IN_FEES.event_fee_address
const get = devnetGetter(network, readFileSync(network.ca_file))
const [callee, other] = [calleePhrase, otherPhrase].map((phrase) => identityKey(sdk, phrase))
const senderKey = JSON.parse(await get(`/api/bsvalias/id/${sender}@${network.service_domain}`)).pubkey
check(`the devnet publishes an identity key for ${sender}`, /^0[23][0-9a-f]{64}$/.test(senderKey ?? ''), senderKey)

const pays = (address) => new P2PKH().lock(address).toHex()
for (const item of sent) {
  const [txid, kind] = item.split(':')
  const tag = `${kind} ${txid}`
  const tx = Transaction.fromHex((await get(`/woc/v1/bsv/main/tx/${txid}/hex`)).trim())
  eq(`${tag}: the devnet's bytes hash to the txid`, tx.id('hex'), txid)
  const count = (script, sats) => tx.outputs.filter((o) => o.lockingScript.toHex() === script && o.satoshis === sats).length
  eq(`${tag}: outputs paying the callee ${calleeAddress} 1 satoshi`, count(pays(calleeAddress), 1), 1)
  eq(`${tag}: outputs paying the event fee address ${feeAddress} 1 satoshi`, count(pays(feeAddress), 1), 1)
  const data = tx.outputs.filter((o) => o.lockingScript.toHex().startsWith('006a'))
  eq(`${tag}: one zero-value OP_FALSE OP_RETURN output`, data.map((o) => o.satoshis).join(','), '0')
  const payload = data.length === 1 ? outputPayload(data[0]) : null
  check(`${tag}: the data output holds one JSON push`, payload !== null)
  if (payload === null) continue
  const outer = payload.json
  eq(`${tag}: the payload`, payload.text, payloadOf(outer))
  check(`${tag}: outer ts is a time in seconds`, Number.isInteger(outer.ts) && outer.ts > 1600000000, `got ${outer.ts}`)
  eq(`${tag}: another key opens nothing`, unseal(sdk, outer.pmessage1, other), null)
  const inner = unseal(sdk, outer.pmessage1, callee)
  check(`${tag}: the callee's identity key opens it`, inner !== null)
  if (inner === null) continue
  const event = JSON.parse(inner)
  eq(`${tag}: the sealed text is the compact event`, inner, compact(event))
  eq(`${tag}: kind, call id, sender, its payment address and protocol`,
    compact({ kind: event.kind, id: event.id, handle: event.handle, actor: event.actor, pay: event.pay, protocol: event.protocol }),
    compact({ kind, id: callId, handle: sender, actor: sender, pay: senderAddress, protocol: 'OV-Dialo' }))
  eq(`${tag}: signed with the identity key the devnet publishes for ${sender}`, event.pubkey, senderKey)
  check(`${tag}: the signature verifies over the canonical text`,
    verifyIdentitySignature(sdk, canonicalText(event), event.sig, event.pubkey), canonicalText(event))
}
await finish()

#!/usr/bin/env python3
"""Independent readers for tests/e2e/crash_loop.sh, printing shell assignments or findings.
files DIR HANDLE: f_unreadable, f_aside, f_temps (FILE:PID), and from phone-HANDLE.json f_inbox,
f_saved, f_answerphone, f_calls. chain LEDGER GROUP...: c_txs, c_double, c_balances (per GROUP).
payloads LEDGER PEER SECOND LISTING: what is wrong, if anything. paid LEDGER ADDRESS: "TXID SATS".
"""
import json, os, re, sqlite3, sys
def files(folder, handle):
    out = {"unreadable": [], "aside": [], "temps": []}
    for base, _dirs, names in os.walk(folder):
        for name in names:
            path, rel = os.path.join(base, name), os.path.relpath(os.path.join(base, name), folder)
            m = re.search(r"\.tmp-(\d+)-\d+$", name)
            if m:
                out["temps"].append("%s:%s" % (rel, m.group(1)))
            elif ".bak" in name:
                out["aside"].append(rel)
            elif name.endswith(".json"):
                try:
                    text = open(path, "rb").read()
                    # The phone leaves an empty phone.json on a first run as a marker.
                    if text.strip() or name != "phone.json":
                        json.loads(text)
                except (OSError, ValueError) as e:
                    out["unreadable"].append("%s:%s" % (rel, e))
    try:
        doc = json.load(open(os.path.join(folder, "dialo", "phone-%s.json" % handle), "rb"))
    except (OSError, ValueError):
        doc = {}
    out["inbox"] = [m.get("id") for m in doc.get("inbox", []) if isinstance(m, dict)]
    out["saved"] = [m.get("id") for m in doc.get("saved", []) if isinstance(m, dict)]
    out["answerphone"], out["calls"] = doc.get("answerphone"), len(doc.get("calls", []))
    for k, v in out.items():
        words = " ".join(str(x).replace(" ", "_") for x in v) if isinstance(v, list) else str(v)
        print("f_%s='%s'" % (k, words.replace("'", "")))
def varint(b, i):
    n = b[i]
    if n < 0xFD:
        return n, i + 1
    size = {0xFD: 2, 0xFE: 4, 0xFF: 8}[n]
    return int.from_bytes(b[i + 1:i + 1 + size], "little"), i + 1 + size
def parse_tx(raw):
    """Inputs as "txid:vout", outputs as (satoshis, script)."""
    n, i = varint(raw, 4)
    inputs = []
    for _ in range(n):
        inputs.append("%s:%d" % (raw[i:i + 32][::-1].hex(), int.from_bytes(raw[i + 32:i + 36], "little")))
        size, i = varint(raw, i + 36)
        i += size + 4
    n, i = varint(raw, i)
    outputs = []
    for _ in range(n):
        size, j = varint(raw, i + 8)
        outputs.append((int.from_bytes(raw[i:i + 8], "little"), raw[j:j + size]))
        i = j + size
    return inputs, outputs
def p2pkh(address):
    n = 0
    for c in address:
        n = n * 58 + "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz".index(c)
    return b"\x76\xa9\x14" + n.to_bytes(25, "big")[1:21] + b"\x88\xac"
def read_ledger(ledger):
    db = sqlite3.connect("file:%s?mode=ro" % ledger, uri=True, timeout=30)
    return {txid: parse_tx(bytes(raw)) for txid, raw in db.execute("SELECT txid, raw FROM txs")}
def chain(ledger, *groups):
    txs = read_ledger(ledger)
    spenders = {}
    for txid, (inputs, _outputs) in txs.items():
        for o in inputs:
            if o != "0" * 64 + ":4294967295":
                spenders.setdefault(o, []).append(txid)
    balances = []
    for group in groups:
        scripts = {p2pkh(a) for a in group.split(",") if a}
        balances.append(sum(s for txid, (_i, outs) in txs.items() for k, (s, script) in enumerate(outs)
                            if script in scripts and "%s:%d" % (txid, k) not in spenders))
    print("c_txs=%d c_double='%s' c_balances='%s'" % (len(txs), " ".join(o for o, t in spenders.items() if len(t) > 1),
                                                     " ".join(map(str, balances))))
def data_text(script):
    """The one push of an OP_FALSE OP_RETURN script, or None."""
    if script[:2] != b"\x00\x6a" or len(script) < 3:
        return None
    op, i = script[2], 3
    if op == 0x4C:
        op, i = script[3], 4
    elif op == 0x4D:
        op, i = int.from_bytes(script[3:5], "little"), 5
    return script[i:i + op] if len(script) == i + op else None
def payloads(ledger, peer, second, listing):
    """Each line of LISTING, "I TXID COST HEX", is in the ledger: 1 satoshi to PEER first, then
    to SECOND when I is a multiple of 5 (else nothing to it), the text HEX in a data output, and
    its fee plus what it paid is COST ("-": no answer named one)."""
    txs, bad = read_ledger(ledger), []
    for line in open(listing):
        i, txid, cost, text = line.split()
        if txid not in txs:
            bad.append("payload %s: %s is not in the ledger" % (i, txid))
            continue
        inputs, outs = txs[txid]
        fee = sum(txs[o.split(":")[0]][1][int(o.split(":")[1])][0] for o in inputs) - sum(s for s, _ in outs)
        want = [(1, p2pkh(peer))] + ([(1, p2pkh(second))] if int(i) % 5 == 0 else [])
        if outs[:len(want)] != want or sum(1 for o in outs if o[1] == p2pkh(second)) != len(want) - 1:
            bad.append("payload %s pays other than 1 sat to the payee, then the second address if named" % i)
        if not any(s == 0 and data_text(script) == bytes.fromhex(text) for s, script in outs):
            bad.append("payload %s carries not its text in a data output" % i)
        if cost != "-" and int(cost) != fee + len(want):
            bad.append("payload %s answered cost %s, not its fee %d and %d sats paid" % (i, cost, fee, len(want)))
    print("; ".join(bad))
    sys.exit(1 if bad else 0)
def paid(ledger, address):
    """"TXID SATS" for each output to ADDRESS."""
    for txid, (_inputs, outputs) in read_ledger(ledger).items():
        for sats, script in outputs:
            if script == p2pkh(address):
                print(txid, sats)
if __name__ == "__main__":
    commands = {"files": files, "chain": chain, "payloads": payloads, "paid": paid}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](*sys.argv[2:])

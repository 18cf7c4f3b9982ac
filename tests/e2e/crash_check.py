#!/usr/bin/env python3
"""Independent readers for tests/e2e/crash_loop.sh.

files DIR HANDLE     parses every *.json under a phone's Orvane folder with Python's json and
                     prints shell assignments: f_count, f_unreadable, f_aside (kept aside as
                     unreadable), f_temps (FILE:PID of leftover temporary files), and from
                     phone-HANDLE.json f_inbox and f_saved (message ids), f_answerphone, f_calls.
chain LEDGER GROUP...  reads the devnet's SQLite ledger, parsing every raw transaction itself,
                     and prints JSON: the number of transactions, every outpoint spent twice
                     ("double"), and per GROUP (comma-separated addresses) its unspent satoshis.
tx LEDGER ADDRESS[,ADDRESS...] TXID...   per TXID: txid, fee, then each output as SATS:WHAT,
                     WHAT an ADDRESS, the hex of an OP_FALSE OP_RETURN push, or the script hex.
paid LEDGER ADDRESS  the txids with an output to ADDRESS.
"""
import json, os, re, sqlite3, sys


def files(folder, handle):
    out = {"count": 0, "unreadable": [], "aside": [], "temps": []}
    for base, _dirs, names in os.walk(folder):
        for name in names:
            path, rel = os.path.join(base, name), os.path.relpath(os.path.join(base, name), folder)
            m = re.search(r"\.tmp-(\d+)-\d+$", name)
            if m:
                out["temps"].append("%s:%s" % (rel, m.group(1)))
            elif ".bak" in name:
                out["aside"].append(rel)
            elif name.endswith(".json"):
                out["count"] += 1
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
    print(json.dumps({"txs": len(txs), "double": {o: t for o, t in spenders.items() if len(t) > 1}, "balances": balances}))


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


def tx(ledger, addresses, *txids):
    txs = read_ledger(ledger)
    payees = {p2pkh(a): a for a in addresses.split(",")}
    for txid in txids:
        if txid not in txs:
            print(txid)
            continue
        inputs, outputs = txs[txid]
        held = sum(txs[o.split(":")[0]][1][int(o.split(":")[1])][0] for o in inputs)
        shown = ["%d:%s" % (s, payees.get(script) or (data_text(script) or script).hex()) for s, script in outputs]
        print(txid, held - sum(s for s, _ in outputs), *shown)


def paid(ledger, address):
    for txid, (_inputs, outputs) in read_ledger(ledger).items():
        if any(script == p2pkh(address) for _s, script in outputs):
            print(txid)


if __name__ == "__main__":
    commands = {"files": files, "chain": chain, "tx": tx, "paid": paid}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](*sys.argv[2:])

#!/usr/bin/env python3
"""Independent readers for tests/e2e/crash_loop.sh.

files DIR HANDLE
    Parses every *.json under a phone's data folder (its Orvane folder) with Python's own json
    module and prints one JSON object (with CRASH_CHECK_SHELL set: shell assignments f_NAME=...): the files that do not parse ("unreadable"), leftover
    temporary files ("temps": name, and the pid that wrote it), files kept aside as unreadable
    (".bak"), and from phone-HANDLE.json the inbox and saved message ids, the tomb, the
    answer-phone switch and the number of calls in the history.

chain LEDGER ADDRESS...
    Reads the devnet's SQLite ledger read-only, parses every transaction's raw bytes itself
    (blocks and mempool alike) and prints one JSON object: the number of transactions, every
    outpoint spent by more than one transaction ("double"), and for each ADDRESS group
    (comma-separated addresses) the satoshis of its outputs that no transaction spends.
tx LEDGER ADDRESS[,ADDRESS...] TXID...
    One line for each TXID: the txid, its fee (what its inputs held less its outputs), then each
    output as SATS:WHAT, WHAT being the address for one of those ADDRESSes, the text of an OP_FALSE OP_RETURN
    push as hex, or the script's hex. An unknown TXID prints only itself.
paid LEDGER ADDRESS
    The txids of the transactions with an output to ADDRESS, one a line.
"""
import json
import os
import re
import sqlite3
import sys

TEMP = re.compile(r"\.tmp-(\d+)-\d+$")


def files(folder, handle):
    out = {"unreadable": [], "temps": [], "aside": [], "count": 0}
    for base, _dirs, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            rel = os.path.relpath(path, folder)
            m = TEMP.search(name)
            if m:
                out["temps"].append({"file": rel, "pid": int(m.group(1))})
                continue
            if ".bak" in name:
                out["aside"].append(rel)
                continue
            if not name.endswith(".json"):
                continue
            out["count"] += 1
            try:
                with open(path, "rb") as f:
                    text = f.read()
                # The phone leaves an empty phone.json on a first run as a marker.
                if text.strip() == b"" and name == "phone.json":
                    continue
                json.loads(text)
            except (OSError, ValueError) as e:
                out["unreadable"].append(("%s:%s" % (rel, e)).replace(" ", "_"))
    store = os.path.join(folder, "dialo", "phone-%s.json" % handle)
    inbox, saved, tomb, answerphone, calls = [], [], [], None, 0
    try:
        with open(store, "rb") as f:
            doc = json.loads(f.read())
        inbox = [m.get("id") for m in doc.get("inbox", []) if isinstance(m, dict)]
        saved = [m.get("id") for m in doc.get("saved", []) if isinstance(m, dict)]
        tomb = [t for t in doc.get("tomb", []) if isinstance(t, str)]
        answerphone = doc.get("answerphone")
        calls = len(doc.get("calls", []))
    except (OSError, ValueError):
        pass
    out.update(inbox=inbox, saved=saved, tomb=tomb, answerphone=answerphone, calls=calls)
    if os.environ.get("CRASH_CHECK_SHELL"):
        # For a shell to eval: one variable per field, lists as words.
        def words(v):
            return " ".join(str(x).replace("'", "") for x in v) if isinstance(v, list) else str(v)
        out["temps"] = ["%s:%d" % (t["file"], t["pid"]) for t in out["temps"]]
        for k, v in out.items():
            print("f_%s='%s'" % (k, words(v)))
    else:
        print(json.dumps(out))


def varint(b, i):
    n = b[i]
    if n < 0xFD:
        return n, i + 1
    size = {0xFD: 2, 0xFE: 4, 0xFF: 8}[n]
    return int.from_bytes(b[i + 1:i + 1 + size], "little"), i + 1 + size


def parse_tx(raw):
    """Inputs as "txid:vout" and outputs as satoshis, from a serialised transaction."""
    i = 4
    n, i = varint(raw, i)
    inputs = []
    for _ in range(n):
        txid = raw[i:i + 32][::-1].hex()
        vout = int.from_bytes(raw[i + 32:i + 36], "little")
        size, i = varint(raw, i + 36)
        i += size + 4
        inputs.append("%s:%d" % (txid, vout))
    n, i = varint(raw, i)
    outputs = []
    for _ in range(n):
        sats = int.from_bytes(raw[i:i + 8], "little")
        size, i = varint(raw, i + 8)
        outputs.append((sats, raw[i:i + size]))
        i += size
    return inputs, outputs


B58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def hash160_of(address):
    n = 0
    for c in address:
        n = n * 58 + B58.index(c)
    raw = n.to_bytes(25, "big")
    return raw[1:21]


def chain(ledger, groups):
    db = sqlite3.connect("file:%s?mode=ro" % ledger, uri=True, timeout=30)
    rows = db.execute("SELECT txid, raw FROM txs").fetchall()
    spenders = {}
    outs = {}
    for txid, raw in rows:
        inputs, outputs = parse_tx(bytes(raw))
        for o in inputs:
            if o != "0" * 64 + ":4294967295":
                spenders.setdefault(o, []).append(txid)
        for k, (sats, script) in enumerate(outputs):
            outs["%s:%d" % (txid, k)] = (sats, script)
    double = {o: t for o, t in spenders.items() if len(t) > 1}
    balances = []
    for group in groups:
        scripts = {b"\x76\xa9\x14" + hash160_of(a) + b"\x88\xac" for a in group.split(",") if a}
        balances.append(sum(s for o, (s, script) in outs.items() if script in scripts and o not in spenders))
    print(json.dumps({"txs": len(rows), "double": double, "balances": balances}))


def p2pkh(address):
    return b"\x76\xa9\x14" + hash160_of(address) + b"\x88\xac"


def read_ledger(ledger):
    db = sqlite3.connect("file:%s?mode=ro" % ledger, uri=True, timeout=30)
    return {txid: parse_tx(bytes(raw)) for txid, raw in db.execute("SELECT txid, raw FROM txs")}


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


def tx(ledger, address, txids):
    txs = read_ledger(ledger)
    payees = {p2pkh(a): a for a in address.split(",")}
    for txid in txids:
        if txid not in txs:
            print(txid)
            continue
        inputs, outputs = txs[txid]
        held = sum(txs[o.split(":")[0]][1][int(o.split(":")[1])][0] for o in inputs)
        shown = []
        for sats, script in outputs:
            text = data_text(script)
            shown.append("%d:%s" % (sats, payees[script] if script in payees else script.hex() if text is None else text.hex()))
        print(txid, held - sum(s for s, _ in outputs), *shown)


def paid(ledger, address):
    payee = p2pkh(address)
    for txid, (_inputs, outputs) in read_ledger(ledger).items():
        if any(script == payee for _s, script in outputs):
            print(txid)


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "files":
        files(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 3 and sys.argv[1] == "chain":
        chain(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) >= 4 and sys.argv[1] == "tx":
        tx(sys.argv[2], sys.argv[3], sys.argv[4:])
    elif len(sys.argv) == 4 and sys.argv[1] == "paid":
        paid(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)

#!/usr/bin/env python3
"""Compares what one phone heard with what the other side said, from WAV files alone.
Loudness envelopes in 20 ms frames, the heard one aligned to the said one (silence may be
inserted on the heard side and dropped on the said side, sound never skipped or repeated).
  make OUT.wav PART...   joins WAV files and silence:SECONDS parts; prints its length in ms and s
  clock FILE.wav         the wall time (Unix ms) of the first frame of a file written in real time
  match SAID HEARD [--heard-t0 MS --from MS --to MS] [--corr R] [--cover F] [--span S] [--expect no]
        [--said-t0 MS --frames FILE]   one JSON line; exit 1 unless correlation >= R over >= F of
        the said voiced frames spanning S s (--expect no: the reverse); "gaps": silences >= 40 ms.
"""
import array, json, math, struct, sys, time
FRAME_MS = 20
FLOOR_DB = -50.0   # quieter frames all look the same: GSM and the mixer differ most down there
VOICED_DB = -45.0  # about the phone's own silence rule
MATCH_BONUS, CAP_DB = 6.0, 20.0  # dB: aligning frames closer than the bonus pays
ALONE_COST = 0.5   # dB per frame left unpaired: of two equal paths, the one with fewer gaps
def read_wav(path):
    """(rate, samples in -1..1) of a 16-bit mono PCM WAV, as all here are."""
    data = open(path, "rb").read()
    at, rate = 12, None
    while at + 8 <= len(data):
        kind, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if kind == b"fmt ":
            rate = struct.unpack_from("<I", data, at + 12)[0]
        elif kind == b"data":
            body = data[at + 8:]  # a file still being written may say less than it holds
            return rate, [x / 32768 for x in array.array("h", body[:len(body) // 2 * 2])]
        at += 8 + size + (size & 1)
    raise ValueError(f"{path}: no data chunk")
def envelope(rate, samples):
    """dB of each 20 ms frame over the 40 ms around it (chunks land anywhere on the other file's
    grid), the mean taken out (a GSM decoder may leave a slow offset in a pause)."""
    n = rate * FRAME_MS // 1000
    out = []
    for k in range(0, len(samples) - n + 1, n):
        frame = samples[max(0, k - n // 2):k + n + n // 2]
        mean = sum(frame) / len(frame)
        e = sum(x * x for x in frame) / len(frame) - mean * mean
        out.append(max(FLOOR_DB, 10 * math.log10(max(e, 0.0) + 1e-12)))
    return out
def align(heard, said):
    """(heard index, said index) pairs in order; only silent frames may stand alone."""
    n, m = len(heard), len(said)
    ss = [s < VOICED_DB for s in said]
    prev = [0.0] * (m + 1)
    back = bytearray((n + 1) * (m + 1))  # 0 start, 1 pair, 2 heard alone, 3 said alone
    best, best_at = 0.0, (0, 0)
    for i in range(1, n + 1):
        h, alone = heard[i - 1], heard[i - 1] < VOICED_DB
        row, base, left = [0.0] * (m + 1), i * (m + 1), 0.0
        for j in range(1, m + 1):
            # Silence against silence is neutral, or long pauses would pull the path off.
            v = prev[j - 1] + (0.0 if alone and ss[j - 1] else min(abs(h - said[j - 1]), CAP_DB) - MATCH_BONUS)
            how = 1
            if alone and prev[j] + ALONE_COST < v:
                v, how = prev[j] + ALONE_COST, 2
            if ss[j - 1] and left + ALONE_COST < v:
                v, how = left + ALONE_COST, 3
            if v >= 0.0:
                v, how = 0.0, 0
            row[j] = left = v
            back[base + j] = how
            if v < best:
                best, best_at = v, (i, j)
        prev = row
    pairs, (i, j) = [], best_at
    while i > 0 and j > 0 and back[i * (m + 1) + j]:
        how = back[i * (m + 1) + j]
        if how == 1:
            pairs.append((i - 1, j - 1))
        i, j = i - (how != 3), j - (how != 2)
    return pairs[::-1]
def pearson(xs, ys):
    n = len(xs)
    if n < 2:
        return 0.0
    mx, my = sum(xs) / n, sum(ys) / n
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    sxx, syy = sum((x - mx) ** 2 for x in xs), sum((y - my) ** 2 for y in ys)
    return sxy / math.sqrt(sxx * syy) if sxx > 0 and syy > 0 else 0.0
def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, max(0, math.ceil(p / 100 * len(v)) - 1))] if v else None
def match(said_path, heard_path, *rest):
    opts = {"--heard-t0": 0, "--from": None, "--to": None, "--corr": 0.8, "--cover": 0, "--span": 0, "--expect": "yes",
            "--said-t0": None, "--frames": None}
    for k in range(0, len(rest) - 1, 2):
        if rest[k] not in opts:
            raise SystemExit(f"voice_match: unknown option {rest[k]}")
        opts[rest[k]] = rest[k + 1]
    said, heard = envelope(*read_wav(said_path)), envelope(*read_wav(heard_path))
    t0 = float(opts["--heard-t0"])
    lo = 0 if opts["--from"] is None else max(0, int((float(opts["--from"]) - t0) // FRAME_MS))
    hi = len(heard) if opts["--to"] is None else min(len(heard), int((float(opts["--to"]) - t0) // FRAME_MS))
    pairs = [(i + lo, j) for i, j in align(heard[lo:hi], said)]
    used = [(i, j) for i, j in pairs if heard[i] >= VOICED_DB or said[j] >= VOICED_DB]
    corr = pearson([heard[i] for i, _ in used], [said[j] for _, j in used])
    voiced = sum(1 for x in said if x >= VOICED_DB)
    cover = sum(1 for _, j in pairs if said[j] >= VOICED_DB) / voiced if voiced else 0.0
    span = (pairs[-1][1] - pairs[0][1] + 1) * FRAME_MS / 1000 if pairs else 0.0
    # A gap: silence heard between two said frames that follow on, with speech at the break.
    gaps = [i2 - i1 - 1 for (i1, j1), (i2, j2) in zip(pairs, pairs[1:])
            if j2 == j1 + 1 and i2 - i1 > 2 and max(said[j1], said[j2]) >= VOICED_DB]
    if opts["--said-t0"] and opts["--frames"]:
        said_t0 = float(opts["--said-t0"])
        with open(opts["--frames"], "w") as f:
            f.writelines("%d\n" % round(t0 - said_t0 + (i - j) * FRAME_MS) for i, j in pairs if said[j] >= VOICED_DB)
    print(json.dumps({"corr": round(corr, 3), "cover": round(cover, 3), "span_s": span, "gaps": len(gaps),
                      "gap_ms": sum(gaps) * FRAME_MS}))
    matches = corr >= float(opts["--corr"]) and cover >= float(opts["--cover"]) and span >= float(opts["--span"])
    return 0 if matches == (opts["--expect"] != "no") else 1
def make(out, *parts):
    """Joins WAV files and silences into one 16-bit mono file at the first file's rate."""
    rate = next((read_wav(p)[0] for p in parts if not p.startswith("silence:")), 16000)
    samples = []
    for p in parts:
        if p.startswith("silence:"):
            samples.extend([0.0] * int(round(float(p[8:]) * rate)))
        else:
            r, s = read_wav(p)
            if r != rate:
                raise SystemExit(f"voice_match: {p} is at {r} Hz, not {rate}")
            samples.extend(s)
    body = array.array("h", (max(-32768, min(32767, int(round(x * 32768)))) for x in samples)).tobytes()
    with open(out, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(body)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16))
        f.write(b"data" + struct.pack("<I", len(body)) + body)
    print(round(len(samples) * 1000 / rate), round(len(samples) / rate, 3))
    return 0
def clock(path):
    """The file's frames so far counted back from now; the writer appends 20 ms at a time, and
    half of that is the likeliest lag."""
    now = time.time() * 1000
    rate, s = read_wav(path)
    print(round(now - len(s) * 1000 / rate - FRAME_MS / 2))
    return 0
if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in ("make", "clock", "match"):
        sys.exit(__doc__)
    sys.exit({"make": make, "clock": clock, "match": match}[sys.argv[1]](*sys.argv[2:]))

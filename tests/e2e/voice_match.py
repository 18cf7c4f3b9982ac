#!/usr/bin/env python3
"""Compares what one phone heard with what the other side said, from WAV files alone.

Both sides become loudness envelopes in 20 ms frames. The heard envelope is aligned to the said
one by a local alignment that may insert silence on the heard side (chunks arrive with gaps) and
drop silence on the said side (silent chunks are never sent), but never skips or repeats sound;
the correlation of the two envelopes over the aligned frames then says whether the words came
through. With each file's wall-clock start, every aligned frame also gives a mouth-to-ear delay.

  voice_match.py make OUT.wav PART...         PART: a WAV file, silence:SECONDS or cut:SECONDS
  voice_match.py clock FILE.wav               the wall time (Unix ms) of the file's first frame,
                                              from its length now (a file written in real time)
  voice_match.py match SAID.wav HEARD.wav [--said-t0 MS] [--heard-t0 MS] [--from MS] [--to MS]
                 [--played FILE] [--sent FILE] [--frames FILE] [--corr R] [--cover F] [--span S]
                 [--expect no]
                                              one JSON line; exit 1 unless it matches

It matches when the correlation is at least --corr, at least --cover of the said file's voiced
frames were aligned, and the aligned part of the said file spans at least --span seconds;
with --expect no, exit 1 when it does. --from/--to cut the heard file to that wall-time window
(with --heard-t0). --played and --sent name files of the phones' audio-played / audio-sent lines,
for per-chunk delays; --frames names a file for every voiced frame's delay (ms), one a line.
"gaps" and "gap_ms" count the silences of 40 ms or more heard inside the other side's speech.
"""

import array
import json
import math
import os
import struct
import sys
import time

FRAME_MS = 20
FLOOR_DB = -50.0   # quieter frames all look the same: GSM and the mixer differ most down there
VOICED_DB = -45.0  # about the phone's own silence rule (mean |sample| under 180)
MATCH_BONUS = 6.0  # dB: aligning frames closer than this pays
CAP_DB = 20.0
ALONE_COST = 0.5   # dB per frame left unpaired: of two equal paths, the one with fewer gaps
GSM_BLOCK_BYTES, GSM_BLOCK_MS = 65, 40


def read_wav(path):
    """(rate, mono samples in -1..1) of a 16-bit PCM or 32-bit float WAV."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a WAV file")
    at, fmt, body = 12, None, None
    while at + 8 <= len(data):
        kind, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if kind == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", data, at + 8)
            if fmt[0] == 0xFFFE:  # extensible: the sub-format's first two bytes say which
                fmt = (struct.unpack_from("<H", data, at + 32)[0],) + fmt[1:]
        elif kind == b"data":
            # A file still being written may say less than it holds; take what is there.
            body = data[at + 8:]
            break
        at += 8 + size + (size & 1)
    if fmt is None or body is None:
        raise ValueError(f"{path}: no fmt or data chunk")
    tag, channels, rate, _, align, bits = fmt
    body = body[:len(body) // align * align]
    if tag == 1 and bits == 16:
        s = array.array("h", body)
        scale = 1 / 32768
    elif tag == 3 and bits == 32:
        s = array.array("f", body)
        scale = 1.0
    else:
        raise ValueError(f"{path}: only 16-bit PCM and 32-bit float are read (format {tag}, {bits} bits)")
    if sys.byteorder != "little":
        s.byteswap()
    if channels > 1:
        s = [sum(s[k:k + channels]) / channels for k in range(0, len(s), channels)]
    return rate, [x * scale for x in s]


def write_wav(path, rate, samples):
    pcm = array.array("h", (max(-32768, min(32767, int(round(x * 32768)))) for x in samples))
    if sys.byteorder != "little":
        pcm.byteswap()
    body = pcm.tobytes()
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(body)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16))
        f.write(b"data" + struct.pack("<I", len(body)) + body)


def envelope(rate, samples):
    """Level of each 20 ms frame in dB of full scale, floored, over the 40 ms around it: chunks
    land anywhere on the other file's frame grid, and a wider window cares less where. The mean
    is taken out first: a GSM decoder may leave a slow offset in a pause, loud but never heard."""
    n = rate * FRAME_MS // 1000
    out = []
    for k in range(0, len(samples) - n + 1, n):
        frame = samples[max(0, k - n // 2):k + n + n // 2]
        w = len(frame)
        mean = sum(frame) / w
        e = sum(x * x for x in frame) / w - mean * mean
        out.append(max(FLOOR_DB, 10 * math.log10(max(e, 0.0) + 1e-12)))
    return out


def align(heard, said):
    """Local alignment of two envelopes: a list of (heard index, said index) pairs, in order.

    Heard frames may stand alone only when silent (a gap between chunks), said frames only when
    silent (a pause the sender never sent); every other frame is paired one to one."""
    n, m = len(heard), len(said)
    hs = [h < VOICED_DB for h in heard]
    ss = [s < VOICED_DB for s in said]
    inf = float("inf")
    prev = [0.0] * (m + 1)
    back = bytearray((n + 1) * (m + 1))  # 0 start, 1 pair, 2 heard alone, 3 said alone
    best, best_at = 0.0, (0, 0)
    for i in range(1, n + 1):
        h = heard[i - 1]
        alone = hs[i - 1]
        row = [0.0] * (m + 1)
        base = i * (m + 1)
        left = 0.0
        for j in range(1, m + 1):
            d = h - said[j - 1]
            if d < 0:
                d = -d
            # Silence against silence is neutral, or long pauses would pull the path off.
            v = prev[j - 1] + (0.0 if alone and ss[j - 1] else (d if d < CAP_DB else CAP_DB) - MATCH_BONUS)
            how = 1
            if alone and prev[j] + ALONE_COST < v:
                v, how = prev[j] + ALONE_COST, 2
            if ss[j - 1] and left + ALONE_COST < v:
                v, how = left + ALONE_COST, 3
            if v >= 0.0:
                v, how = 0.0, 0
            row[j] = v
            back[base + j] = how
            left = v
            if v < best:
                best, best_at = v, (i, j)
        prev = row
    pairs = []
    i, j = best_at
    while i > 0 and j > 0:
        how = back[i * (m + 1) + j]
        if how == 0:
            break
        if how == 1:
            pairs.append((i - 1, j - 1))
            i, j = i - 1, j - 1
        elif how == 2:
            i -= 1
        else:
            j -= 1
    pairs.reverse()
    return pairs


def pearson(xs, ys):
    n = len(xs)
    if n < 2:
        return 0.0
    mx, my = sum(xs) / n, sum(ys) / n
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    sxx = sum((x - mx) ** 2 for x in xs)
    syy = sum((y - my) ** 2 for y in ys)
    return sxy / math.sqrt(sxx * syy) if sxx > 0 and syy > 0 else 0.0


def percentile(values, p):
    v = sorted(values)
    if not v:
        return None
    return v[min(len(v) - 1, max(0, math.ceil(p / 100 * len(v)) - 1))]


def voice_lines(path):
    """{n: (bytes, ms)} from a file of audio-sent or audio-played lines (first of each n)."""
    out = {}
    if path:
        with open(path) as f:
            for line in f:
                try:
                    e = json.loads(line[line.index("{"):])
                except ValueError:
                    continue
                out.setdefault(e["n"], (e["bytes"], e["ms"]))
    return out


def chunk_delays(pairs, heard, heard_t0, said_t0, played, sent):
    """Per chunk: when its first sound was spoken (from the alignment) against when it was sent,
    queued to play and heard. A chunk plays when queued, or after the one before it ends."""
    j_of = dict(pairs)
    rows, ear_end = [], -math.inf
    for n in sorted(played):
        nbytes, ms = played[n]
        dur = nbytes / GSM_BLOCK_BYTES * GSM_BLOCK_MS
        start = max(ms, ear_end)
        ear_end = start + dur
        a, b = math.ceil((start - heard_t0) / FRAME_MS), int((start + dur - heard_t0) // FRAME_MS)
        # The first voiced frame a little inside the chunk; its sound was spoken as far before
        # it as it lies after the chunk's start, chunks being cut from one run of sound.
        first = next((i for i in range(a + 1, b) if i in j_of and heard[i] >= VOICED_DB), None)
        if first is None:
            continue
        mouth = said_t0 + (j_of[first] - (first - a)) * FRAME_MS
        row = {"n": n, "ms": round(dur), "played": ms - mouth, "heard": round(start - mouth)}
        if n in sent:
            row["sent"] = sent[n][1] - mouth
        rows.append(row)
    return rows


def match(args):
    said_path, heard_path = args[0], args[1]
    opts = {"--said-t0": 0, "--heard-t0": 0, "--from": None, "--to": None, "--played": None, "--sent": None,
            "--frames": None, "--corr": 0.8, "--cover": 0, "--span": 0, "--expect": "yes"}
    rest = args[2:]
    for k in range(0, len(rest) - 1, 2):
        if rest[k] not in opts:
            raise SystemExit(f"voice_match: unknown option {rest[k]}")
        opts[rest[k]] = rest[k + 1]
    said_t0, heard_t0 = float(opts["--said-t0"]), float(opts["--heard-t0"])
    rate_s, s = read_wav(said_path)
    rate_h, h = read_wav(heard_path)
    said = envelope(rate_s, s)
    heard = envelope(rate_h, h)
    lo = 0 if opts["--from"] is None else max(0, int((float(opts["--from"]) - heard_t0) // FRAME_MS))
    hi = len(heard) if opts["--to"] is None else min(len(heard), int((float(opts["--to"]) - heard_t0) // FRAME_MS))
    window = heard[lo:hi]
    pairs = [(i + lo, j) for i, j in align(window, said)]
    used = [(i, j) for i, j in pairs if heard[i] >= VOICED_DB or said[j] >= VOICED_DB]
    corr = pearson([heard[i] for i, _ in used], [said[j] for _, j in used])
    said_voiced = sum(1 for x in said if x >= VOICED_DB)
    matched = sum(1 for _, j in pairs if said[j] >= VOICED_DB)
    result = {
        "corr": round(corr, 3),
        "cover": round(matched / said_voiced, 3) if said_voiced else 0.0,
        "said_voiced_s": round(said_voiced * FRAME_MS / 1000, 2),
        "matched_voiced_s": round(matched * FRAME_MS / 1000, 2),
    }
    # A gap heard: silence the heard side holds between two said frames that follow on, with
    # speech at the break (the sound stopped mid-speech: a chunk came too late to follow on).
    breaks = [i2 - i1 - 1 for (i1, j1), (i2, j2) in zip(pairs, pairs[1:])
              if j2 == j1 + 1 and i2 - i1 > 2 and max(said[j1], said[j2]) >= VOICED_DB]
    result["gaps"] = len(breaks)
    result["gap_ms"] = sum(breaks) * FRAME_MS
    if pairs:
        result["said_from_s"] = round(pairs[0][1] * FRAME_MS / 1000, 2)
        result["said_to_s"] = round((pairs[-1][1] + 1) * FRAME_MS / 1000, 2)
    if opts["--said-t0"] and opts["--heard-t0"]:
        delays = [heard_t0 + i * FRAME_MS - (said_t0 + j * FRAME_MS) for i, j in pairs if said[j] >= VOICED_DB]
        if opts["--frames"]:
            with open(opts["--frames"], "w") as f:
                f.write("".join(f"{round(d)}\n" for d in delays))
        if delays:
            result["frame_delay_ms"] = {"p50": round(percentile(delays, 50)), "p95": round(percentile(delays, 95)),
                                        "min": round(min(delays)), "max": round(max(delays))}
        played = voice_lines(opts["--played"])
        if played:
            rows = chunk_delays(pairs, heard, heard_t0, said_t0, played, voice_lines(opts["--sent"]))
            result["chunks"] = rows
            firsts = [r["heard"] for r in rows]
            if firsts:
                result["chunk_delay_ms"] = {"p50": round(percentile(firsts, 50)), "p95": round(percentile(firsts, 95))}
    span = (pairs[-1][1] - pairs[0][1] + 1) * FRAME_MS / 1000 if pairs else 0.0
    matches = corr >= float(opts["--corr"]) and result["cover"] >= float(opts["--cover"]) and \
        span >= float(opts["--span"])
    print(json.dumps(result))
    return 0 if matches == (opts["--expect"] != "no") else 1


def make(args):
    """Joins WAV files and silences into one 16-bit mono file at the first file's rate;
    cut:SECONDS ends the result there."""
    out, parts = args[0], args[1:]
    rate, samples, cut = None, [], None
    for p in parts:
        if p.startswith("silence:") or p.startswith("cut:"):
            continue
        rate = read_wav(p)[0]
        break
    rate = rate or 16000
    for p in parts:
        if p.startswith("silence:"):
            samples.extend([0.0] * int(round(float(p[8:]) * rate)))
        elif p.startswith("cut:"):
            cut = int(round(float(p[4:]) * rate))
        else:
            r, s = read_wav(p)
            if r != rate:
                raise SystemExit(f"voice_match: {p} is at {r} Hz, not {rate}")
            samples.extend(s)
    if cut is not None:
        samples = samples[:cut] + [0.0] * max(0, cut - len(samples))
    write_wav(out, rate, samples)
    print(json.dumps({"file": out, "seconds": round(len(samples) / rate, 3)}))
    return 0


def clock(args):
    """The file's frames so far, counted back from now: when its first frame was written."""
    path = args[0]
    now = time.time() * 1000
    rate, s = read_wav(path)
    # The writer appends a tick (20 ms) at a time; half a tick is the likeliest lag.
    print(round(now - len(s) * 1000 / rate - FRAME_MS / 2))
    return 0


def main(argv):
    if len(argv) < 2 or argv[0] not in ("make", "clock", "match"):
        print(__doc__, file=sys.stderr)
        return 2
    return {"make": make, "clock": clock, "match": match}[argv[0]](argv[1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

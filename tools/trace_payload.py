#!/usr/bin/env python3
"""Compares the payload of two kdx4610-sim traces, the framing of how they reached the chip
taken out: a --backend com (or igcl) trace against a --backend linux one, say.

What is taken out:
  - bare-address I2C requests (length 0): the kernel's start and stop of each message;
  - the kernel's 1-byte probe read of DPCD 0x000 before every native read;
  - i915's own traffic (reads of 0x000..0x00E and 0x500..0x50B, writes to 0x516), with
    its probe reads;
  - every request that did not end with status 0 (the tries before the one that went
    through).

What is compared:
  - I2C write messages: the pieces of one transaction joined (a transaction ends on the
    piece without the middle-of-transaction bit);
  - native transfers: direction, DPCD address, length and data, in order; consecutive
    identical reads (a poll that saw the same bytes again) count once, since how often a
    flag is polled depends on the timing;
  - I2C read replies: each read transaction's bytes up to the end of the DDC/CI frame its
    header announces (0x6E, 0x80|n: n + 3 bytes). The Linux backend reads one fixed-length
    message, so its reads are longer; the bytes past the frame are not compared. The null
    message (no reply ready yet) carries no payload and is left out: how often it is read
    depends on the timing.

Usage: trace_payload.py TRACE_A TRACE_B   (exit 0 when the payloads are equal)
"""
import sys

I2C_WRITE, I2C_READ, I2C_WRITE_MOT, I2C_READ_MOT, NATIVE_WRITE, NATIVE_READ = 0, 1, 4, 5, 8, 9
I915_READS = {(0x000, 15), (0x500, 12)}
I915_WRITE = 0x516


def lines(path):
    with open(path) as f:
        for raw in f:
            if raw.startswith("time_us") or raw.startswith("#"):
                continue
            t, method, device, command, address, length, status, *data = raw.rstrip("\n").split("\t")
            yield dict(read=method == "R", device=device, command=int(command), address=int(address, 16),
                       length=int(length), status=int(status), data=bytes.fromhex(data[0] if data else ""))


def framing_removed(path):
    """The lines that carry payload, in order; probe reads and i915's accesses dropped."""
    kept = [line for line in lines(path) if line["status"] == 0]
    out = []
    for line in kept:
        native = line["command"] in (NATIVE_READ, NATIVE_WRITE)
        if native and line["command"] == NATIVE_READ and (line["address"], line["length"]) in I915_READS:
            continue
        if native and line["command"] == NATIVE_WRITE and line["address"] == I915_WRITE:
            continue
        # The kernel's probe before each native read: a 1-byte read of 0x000 (the updater
        # itself never reads that register).
        if line["command"] == NATIVE_READ and line["address"] == 0 and line["length"] == 1:
            continue
        if not native and line["length"] == 0:
            out.append(dict(line, bare=True))
            continue
        out.append(dict(line, bare=False))
    return out


NULL_MESSAGE = bytes([0x6E, 0x80, 0xBE])


def payload(path):
    writes, reads, natives = [], [], []
    message = b""
    reply, emitted, bare_framed = None, False, False
    for line in framing_removed(path):
        command = line["command"]
        if command in (I2C_WRITE, I2C_WRITE_MOT):
            reply = None
            if line["bare"] and command == I2C_WRITE_MOT:
                continue
            message += line["data"]
            if command == I2C_WRITE and message:
                writes.append(message)
                message = b""
        elif command in (I2C_READ, I2C_READ_MOT):
            if line["bare"]:
                # The kernel's bare addresses open (with MOT) and close a read transaction.
                reply, emitted, bare_framed = (b"", False, True) if command == I2C_READ_MOT else (None, False, False)
                continue
            if reply is None or (emitted and not bare_framed):
                reply, emitted, bare_framed = b"", False, False
            reply += line["data"]
            # The frame the header announces: n + 3 bytes; with n = 0 (the null message:
            # no reply ready) the header alone is read, and it carries no payload.
            if not emitted and len(reply) >= 2:
                n = reply[1] & 0x7F
                if n == 0:
                    emitted = True
                elif len(reply) >= n + 3:
                    emitted = True
                    reads.append(reply[: n + 3])
            if command == I2C_READ:
                reply = None
        else:
            entry = ("R" if line["read"] else "W", line["address"], line["length"], line["data"])
            if not (entry[0] == "R" and natives and natives[-1] == entry):
                natives.append(entry)
    return writes, reads, natives


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b)) if len(a) != len(b) else None


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1])
        return 2
    a, b = payload(sys.argv[1]), payload(sys.argv[2])
    equal = True
    for name, x, y in zip(("I2C write messages", "I2C read replies", "native transfers"), a, b):
        at = first_difference(x, y)
        size_x = sum(len(e if isinstance(e, bytes) else e[3]) for e in x)
        size_y = sum(len(e if isinstance(e, bytes) else e[3]) for e in y)
        if at is None:
            print(f"{name}: equal ({len(x)}, {size_x} bytes)")
            continue
        equal = False
        print(f"{name}: differ at #{at} ({len(x)} vs {len(y)}, {size_x} vs {size_y} bytes)")
        print(f"  A: {x[at] if at < len(x) else '(none)'}")
        print(f"  B: {y[at] if at < len(y) else '(none)'}")
    return 0 if equal else 1


if __name__ == "__main__":
    sys.exit(main())

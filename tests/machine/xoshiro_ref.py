# Independent xoshiro256** with the workstation's seeding: prints the first
# COUNT outputs for SEED in hex, one a line.
import sys

M = (1 << 64) - 1


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M


def step(s):
    out = (rotl((s[1] * 5) & M, 7) * 9) & M
    t = (s[1] << 17) & M
    s[2] ^= s[0]
    s[3] ^= s[1]
    s[1] ^= s[2]
    s[0] ^= s[3]
    s[2] ^= t
    s[3] = rotl(s[3], 45)
    return out


seed, count = int(sys.argv[1], 0) & M, int(sys.argv[2])
s = [seed ^ 0xDEADBEEF, 0xFF, rotl(seed, 32), 0]
for _ in range(8):
    step(s)
for _ in range(count):
    print("%016x" % step(s))

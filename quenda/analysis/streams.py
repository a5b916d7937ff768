"""Reproducible random streams: one per (seed, element), any value by its index.

A noisy run draws gaussian values for each noise source, one per interval of
time. Each source has a stream of its own, keyed by the run's seed and the
name of the element the noise belongs to, and value k of a stream is a pure
function of (key, k): a counter-based generator, Philox4x32 with 10 rounds
(Salmon, Moraes, Dror and Shaw, SC 2011), whose 128-bit output block for
counter k is turned into one gaussian by the Box-Muller transform. So

- one seed gives the same run, in any process and after any other work;
- adding or removing an element changes no other element's noise;
- value k is computed without drawing the k values before it (a run can
  start anywhere, and the compiled time loop can compute the same numbers).

The key of (seed, name) is the first 8 bytes of BLAKE2b over the seed (8
bytes, little-endian) and the name in UTF-8; the counter of value k is the
128-bit number k. From the output words w0..w3 (32 bits each):

    u1 = 1 - ((w0 >> 5) * 2**26 + (w1 >> 6)) / 2**53      in (0, 1]
    u2 =     ((w2 >> 5) * 2**26 + (w3 >> 6)) / 2**53      in [0, 1)
    g  = sqrt(-2 ln u1) * cos(2 pi u2)

Everything is vectorised over keys and counters: a block of values for all
sources costs a few NumPy operations.
"""

import hashlib

import numpy as np

_M0, _M1 = np.uint64(0xD2511F53), np.uint64(0xCD9E8D57)
_W0, _W1 = np.uint64(0x9E3779B9), np.uint64(0xBB67AE85)
_LOW = np.uint64(0xFFFFFFFF)
_32 = np.uint64(32)
ROUNDS = 10


def stream_key(seed, name):
    """The 64-bit key of the stream of element `name` in a run of `seed`."""
    if not isinstance(seed, int) or isinstance(seed, bool) or not 0 <= seed < 2**64:
        raise ValueError(f"a seed is a whole number from 0 to 2**64 - 1 (got {seed!r})")
    digest = hashlib.blake2b(seed.to_bytes(8, "little") + str(name).encode("utf-8"),
                             digest_size=8).digest()
    return int.from_bytes(digest, "little")


def philox(counter, key):
    """The Philox4x32-10 blocks of 128-bit counters under 64-bit keys.

    counter: (c0, c1, c2, c3), key: (k0, k1), 32-bit words as arrays (or
    numbers) that broadcast together; returns the four output words as
    uint64 arrays holding 32-bit values."""
    c0, c1, c2, c3 = (np.asarray(c, dtype=np.uint64) for c in counter)
    k0, k1 = (np.asarray(k, dtype=np.uint64) for k in key)
    for r in range(ROUNDS):
        if r:
            k0 = (k0 + _W0) & _LOW
            k1 = (k1 + _W1) & _LOW
        p0 = _M0 * c0  # both factors below 2**32: the product fits
        p1 = _M1 * c2
        c0, c1, c2, c3 = (p1 >> _32) ^ c1 ^ k0, p1 & _LOW, (p0 >> _32) ^ c3 ^ k1, p0 & _LOW
    return c0, c1, c2, c3


def gaussians(keys, counters):
    """Standard gaussian values: value counters[...] of the streams keys[...]
    (64-bit unsigned integers, broadcast together)."""
    keys = np.asarray(keys, dtype=np.uint64)
    counters = np.asarray(counters, dtype=np.uint64)
    w0, w1, w2, w3 = philox((counters & _LOW, counters >> _32, 0, 0),
                            (keys & _LOW, keys >> _32))
    scale = 1.0 / 9007199254740992.0  # 2**-53
    u1 = 1.0 - ((w0 >> np.uint64(5)).astype(float) * 67108864.0
                + (w1 >> np.uint64(6)).astype(float)) * scale
    u2 = ((w2 >> np.uint64(5)).astype(float) * 67108864.0
          + (w3 >> np.uint64(6)).astype(float)) * scale
    return np.sqrt(-2.0 * np.log(u1)) * np.cos(2.0 * np.pi * u2)


class Block:
    """Values of many streams, a block of counters at a time: value(k) is
    the array of value k of every stream (one key each)."""

    SIZE = 256

    def __init__(self, keys):
        self.keys = np.asarray(keys, dtype=np.uint64).reshape(-1, 1)
        self.first = None
        self.values = None

    def value(self, k):
        if self.first is None or not self.first <= k < self.first + self.SIZE:
            self.first = k
            self.values = gaussians(self.keys, np.arange(k, k + self.SIZE, dtype=np.uint64))
        return self.values[:, k - self.first]

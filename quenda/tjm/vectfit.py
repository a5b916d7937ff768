"""Vector fitting: sums of poles with shared poles fitted to frequency responses.

Several responses F_r(s), sampled at points s_j of the imaginary axis, are
approximated by rational functions with one set of poles a_k and residues of
their own,

    F_r(s) ~ Sum_k R_rk / (s - a_k),

real systems (complex poles and residues in conjugate pairs), strictly proper
(no constant, no term in s). The poles are found by relaxed vector fitting:
each iteration fits sigma(s) F_r(s) and sigma(s) with the present poles, and
the zeros of sigma become the next poles; poles that come out growing are
reflected into the left half plane. The residues are then a linear least
squares fit with the poles fixed.
"""

import numpy as np


def _basis(s, poles):
    """The real basis of each pole at the points s: one column for a real
    pole, two (1/(s-a) + 1/(s-a*), i/(s-a) - i/(s-a*)) for a pair, given by
    its member with Im a > 0."""
    cols = []
    for a in poles:
        d = 1 / (s - a)
        if a.imag == 0:
            cols.append(d)
        else:
            e = 1 / (s - np.conj(a))
            cols += [d + e, 1j * d - 1j * e]
    return np.array(cols).T


def _real_rows(m):
    return np.vstack([m.real, m.imag])


def _pole_matrix(poles):
    """The real state matrix and input vector whose poles are `poles`
    (pairs as 2x2 rotation blocks, in the order of _basis)."""
    blocks, inputs = [], []
    for a in poles:
        if a.imag == 0:
            blocks.append(np.array([[a.real]]))
            inputs.append([1.0])
        else:
            blocks.append(np.array([[a.real, a.imag], [-a.imag, a.real]]))
            inputs.append([2.0, 0.0])
    n = sum(len(b) for b in blocks)
    m, k = np.zeros((n, n)), 0
    for b in blocks:
        m[k:k + len(b), k:k + len(b)] = b
        k += len(b)
    return m, np.concatenate(inputs)


def _canonical(values):
    """Poles from the eigenvalues of a real matrix: one member (Im > 0) per
    pair, real ones as real, every one made decaying."""
    out = []
    for a in values:
        if abs(a.imag) <= 1e-12 * max(abs(a), 1.0):
            out.append(complex(-abs(a.real), 0.0))
        elif a.imag > 0:
            out.append(complex(-abs(a.real), a.imag))
    return np.array(sorted(out, key=lambda a: (a.imag, a.real)))


def relocate(s, responses, poles, weight):
    """One relaxed iteration: the zeros of sigma, the next poles."""
    phi = _basis(s, poles)
    n, ns = phi.shape[1], len(s)
    reduced = []
    for f in responses:
        fw = (weight * f)[:, None]
        a = _real_rows(np.hstack([weight[:, None] * phi, -fw * phi, -fw]))
        r = np.linalg.qr(a, mode="r")
        reduced.append(r[n:2 * n + 1, n:])
    # sigma's mean over the samples is fixed, which excludes sigma = 0.
    scale = np.linalg.norm(np.concatenate([weight * f for f in responses])) / ns
    relax = scale * np.concatenate([phi.sum(axis=0).real, [ns]])
    lhs = np.vstack(reduced + [relax])
    rhs = np.zeros(lhs.shape[0])
    rhs[-1] = scale * ns
    norms = np.linalg.norm(lhs, axis=0)
    sol = np.linalg.lstsq(lhs / norms, rhs, rcond=None)[0] / norms
    c, d = sol[:n], sol[n]
    if abs(d) < 1e-8:
        d = 1e-8 if d >= 0 else -1e-8
    m, b = _pole_matrix(poles)
    return _canonical(np.linalg.eigvals(m - np.outer(b, c) / d))


def residues(s, responses, poles, weight):
    """Least squares residues of each response at fixed poles: an array
    (responses x poles) of the residue at each pole of `poles`."""
    phi = _basis(s, poles)
    a = _real_rows(weight[:, None] * phi)
    norms = np.linalg.norm(a, axis=0)
    out = []
    for f in responses:
        c = np.linalg.lstsq(a / norms, _real_rows((weight * f)[:, None])[:, 0], rcond=None)[0]
        c = c / norms
        res, k = [], 0
        for p in poles:
            if p.imag == 0:
                res.append(complex(c[k], 0.0))
                k += 1
            else:
                res.append(complex(c[k], c[k + 1]))
                k += 2
        out.append(res)
    return np.array(out)


def evaluate(s, poles, res):
    """Sum over the poles of res/(s - a) + conj(res)/(s - conj a) (pairs) or res/(s - a) (real)."""
    s = np.asarray(s)[..., None]
    pair = poles.imag != 0
    out = res / (s - poles) + np.where(pair, np.conj(res) / (s - np.conj(poles)), 0)
    return out.sum(axis=-1)


def _damped(poles, min_damping):
    return np.where(poles.real > -min_damping, poles.imag * 1j - min_damping, poles)


def _start(total, terms, scale):
    """Starting poles of `total` real dimensions spent on `terms` terms:
    total - terms lightly damped pairs and 2 terms - total real poles,
    spread geometrically up to `scale`."""
    pairs, reals = total - terms, 2 * terms - total
    b = np.geomspace(scale / 60, scale, pairs) if pairs else np.zeros(0)
    r = -np.geomspace(scale / 600, scale, reals) if reals else np.zeros(0)
    return np.concatenate([-0.01 * b + 1j * b, r + 0j])


def vector_fit(s, responses, poles, weight=None, iterations=15, min_damping=0.0):
    """Poles and residues (responses x poles) fitted to the sampled responses,
    starting from `poles` (one member per pair); no pole is less damped than
    min_damping."""
    s = np.asarray(s, dtype=complex)
    responses = [np.asarray(f, dtype=complex) for f in responses]
    weight = np.ones(len(s)) if weight is None else np.asarray(weight, dtype=float)
    poles = np.asarray(poles, dtype=complex)
    for _ in range(iterations):
        poles = _damped(relocate(s, responses, poles, weight), min_damping)
    return poles, residues(s, responses, poles, weight)


def fit_terms(s, responses, terms, weight=None, min_damping=0.0, scale=1.0, iterations=15):
    """The best fit with at most `terms` terms (a real pole or a pair each).

    Relocation keeps the number of real dimensions (2 per pair, 1 per real
    pole) but may split a pair into two real poles, which costs a term: the
    search starts with every term a pair and gives up one dimension per
    excess term until the result fits the budget."""
    if not 1 <= terms:
        raise ValueError("a fit needs at least one term")
    weight = np.ones(len(s)) if weight is None else np.asarray(weight, dtype=float)
    total, tried, best = 2 * terms, set(), None
    while terms <= total <= 2 * terms and total not in tried:
        tried.add(total)
        poles, res = vector_fit(s, responses, _start(total, terms, scale), weight, iterations,
                                min_damping)
        if len(poles) > terms:
            total -= len(poles) - terms
            continue
        err = sum(np.linalg.norm(weight * (evaluate(s, poles, r) - f))
                  for r, f in zip(res, responses))
        if best is None or err < best[0]:
            best = (err, poles, res)
        if len(poles) == terms:
            break
        total += 1  # a term to spare: try one more dimension
    return best[1], best[2]

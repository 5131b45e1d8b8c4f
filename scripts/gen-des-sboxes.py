#!/usr/bin/env python3
"""Writes crypto/KxDesSboxes.inc: the eight DES S-boxes as boolean circuits for bitsliced DES.

Each S-box output bit is a function of the box's six input bits. The script derives a circuit
for every box from the FIPS 46-3 tables:

  binary:  gates of two inputs (AND, OR, XOR, AND-NOT), for SSE2, AVX2 and WebAssembly SIMD.
           A randomized search (class Search) builds the four outputs one after another,
           meeting each function where it matters (a multiplexer's half is free where the
           other half is chosen) by a node built before or its complement, by one gate of two
           built nodes, or by a form around any built node s: s & g, s | g, s ^ g and the
           multiplexer b ^ (s & d), so that the outputs share their parts. The best few forms
           at the top levels are built in full and the smallest kept; among many restarts,
           each seeded from the box and its number, the smallest circuit per box is taken.
           BINARY_SEEDS records which restart that is, so that a run builds only those;
           `--search N` tries restarts 0..N-1 anew (minutes per box) and prints the table.
  ternary: gates of any three inputs (AVX-512 VPTERNLOG), each one instruction. The smallest
           of: the searched two-input circuit of restart TERNARY_SEEDS merged (a gate into its
           users wherever each of them then reads at most three values); and, per order of the
           outputs, a recursive decomposition on one input variable at a time (forms: any
           function of at most three variables; the multiplexer x ? f1 : f0; a function of two
           variables and one further function h, up to complement), reusing any function or
           its complement built before, and the like decomposition in two-input forms, merged.

Every emitted circuit is checked against the table over all 64 inputs before it is written.
Usage: scripts/gen-des-sboxes.py [--search N] [crypto/KxDesSboxes.inc]
"""
import itertools
import random
import sys

# FIPS 46-3, the selection functions S1..S8: row (first and last input bit), column (the four
# middle bits).
SBOXES = [
    [14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7,
     0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0,
     15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13],
    [15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10,
     3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15,
     13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9],
    [10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8,
     13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7,
     1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12],
    [7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15,
     13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4,
     3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14],
    [2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9,
     14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14,
     11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3],
    [12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11,
     10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6,
     4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13],
    [4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1,
     13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2,
     6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12],
    [13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7,
     1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8,
     2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11],
]

ALL = (1 << 64) - 1
# Truth tables over the 64 inputs v = b1 b2 b3 b4 b5 b6 (b1 most significant): bit v is f(v).
VARS = [sum(1 << v for v in range(64) if v >> (5 - k) & 1) for k in range(6)]


def output_table(box, bit):
    table = 0
    for v in range(64):
        row, column = (v >> 4 & 2) | (v & 1), v >> 1 & 15
        if SBOXES[box][16 * row + column] >> (3 - bit) & 1:
            table |= 1 << v
    return table


def cofactors(f, k):
    shift, mask = 1 << (5 - k), VARS[k]
    low, high = f & ~mask & ALL, f & mask
    return low | low << shift, high | high >> shift


def support(f):
    return [k for k in range(6) if len(set(cofactors(f, k))) == 2]


def canonical(f):
    return min(f, f ^ ALL)


class Gate:
    """One operation: `op` (And, Or, Xor, AndNot or Tern) of the named inputs; `table` is the
    truth table of its value over the six box inputs."""

    def __init__(self, name, op, inputs, table):
        self.name, self.op, self.inputs, self.table = name, op, inputs, table


def tern_imm(table, tables):
    """The VPTERNLOG immediate that computes `table` from the three input tables."""
    imm = 0
    for v in range(64):
        index = sum((tables[i] >> v & 1) << (2 - i) for i in range(3))
        if table >> v & 1:
            imm |= 1 << index
    return imm


def fuse(gates, outputs):
    """Merges a gate used once into the gate that uses it wherever the two together read at
    most three values: one three-input gate in place of two. `gates` become Tern gates."""
    gates = [Gate(g.name, "Tern", list(dict.fromkeys(g.inputs)), g.table) for g in gates]
    changed = True
    while changed:
        changed = False
        uses = {}
        for g in gates:
            for i in g.inputs:
                uses[i] = uses.get(i, 0) + 1
        for _, name, _ in outputs:
            uses[name] = uses.get(name, 0) + 2
        by_name = {g.name: g for g in gates}
        for g in gates:
            for i in g.inputs:
                if i in by_name and uses[i] == 1:
                    merged = list(dict.fromkeys([j for j in g.inputs if j != i] + by_name[i].inputs))
                    if len(merged) <= 3:
                        g.inputs = merged
                        gates = [h for h in gates if h.name != i]
                        changed = True
                        break
            if changed:
                break
    return gates


def fuse_shared(gates, outputs):
    """After fuse: merges a gate used more than once into all its users wherever each of them,
    reading the gate's inputs in its place, reads at most three values. Outputs stay."""
    gates = [Gate(g.name, g.op, list(g.inputs), g.table) for g in gates]
    kept = {name for _, name, _ in outputs}
    changed = True
    while changed:
        changed = False
        for g in gates:
            if g.name in kept:
                continue
            users = [h for h in gates if g.name in h.inputs]
            merged = [list(dict.fromkeys([j for j in h.inputs if j != g.name] + g.inputs)) for h in users]
            if users and all(len(m) <= 3 for m in merged):
                for h, m in zip(users, merged):
                    h.inputs = m
                gates = [h for h in gates if h is not g]
                changed = True
                break
    return gates


def fold_outputs(gates, outputs):
    """Marks as "Out" the gates of at most two inputs that only feed an output: the XOR into
    the left half then takes the gate's place, y = f(y, a, b) in one three-input gate."""
    used = {}
    for g in gates:
        for i in g.inputs:
            used[i] = used.get(i, 0) + 1
    for _, name, _ in outputs:
        used[name] = used.get(name, 0) + 1
    return [Gate(g.name, "Out", g.inputs, g.table) if len(g.inputs) <= 2 and used.get(g.name) == 1 and
            any(name == g.name for _, name, _ in outputs) else g for g in gates]


class Circuit:
    """The gates of one S-box under construction: nodes by truth table, up to complement."""

    def __init__(self, ternary):
        self.ternary = ternary
        self.lines = []
        self.built = {}  # canonical truth table -> (name, truth table of the node)
        for k in range(6):
            self.built[canonical(VARS[k])] = (f"x{k}", VARS[k])
        self.memo = {}

    def have(self, f):
        return f in (0, ALL) or canonical(f) in self.built

    def cost(self, f):
        if self.have(f):
            return 0
        key = canonical(f)
        if key not in self.memo:
            self.memo[key] = min(c for c, _ in self.options(f))
        return self.memo[key]

    # ---- the forms: (estimated gates, builder) ----

    def options(self, f):
        s = support(f)
        if self.ternary:
            if len(s) <= 3:
                yield 1, lambda: self.tern(f, [f"x{k}" for k in s], [VARS[k] for k in s])
                return
            for k in s:
                f0, f1 = cofactors(f, k)
                subs = {canonical(g) for g in (f0, f1) if g not in (0, ALL)}
                yield 1 + sum(self.cost(g) for g in subs), self.mux_builder(f, k, f0, f1)
            for a, b in itertools.combinations(s, 2):
                c0, c1 = cofactors(f, a)
                parts = [*cofactors(c0, b), *cofactors(c1, b)]
                subs = {canonical(g) for g in parts if g not in (0, ALL)}
                if len(subs) == 1:
                    h = subs.pop()
                    yield 1 + self.cost(h), self.pair_builder(f, a, b, h)
            return
        for k in s:
            x = VARS[k]
            f0, f1 = cofactors(f, k)
            g = f0 ^ f1
            if g == ALL:
                yield 1 + self.cost(f0), lambda k=k, f0=f0: self.gate(f, "Xor", f"x{k}", self.ref(f0))
            elif f0 == 0:
                yield 1 + self.cost(f1), lambda k=k, f1=f1: self.and_var(f, k, f1)
            elif f1 == 0:
                yield 1 + self.cost(f0), lambda k=k, f0=f0: self.andnot_var(f, k, f0)
            elif f0 == ALL:
                yield 1 + self.cost(f1), lambda k=k, f1=f1: self.and_var(f, k, f1 ^ ALL)
            elif f1 == ALL:
                yield 1 + self.cost(f0), lambda k=k, f0=f0: self.andnot_var(f, k, f0 ^ ALL)
            else:
                yield 2 + self.cost(f0) + self.cost(g), lambda k=k, f0=f0, g=g: self.davio(f, k, f0, g, False)
                yield 2 + self.cost(f1) + self.cost(g), lambda k=k, f1=f1, g=g: self.davio(f, k, f1, g, True)
                yield 3 + self.cost(f0) + self.cost(f1), lambda k=k, f0=f0, f1=f1: self.shannon(f, k, f0, f1)
            del x

    # ---- building ----

    def build(self, f):
        """Returns (name, truth table) of a node computing f or its complement."""
        if canonical(f) in self.built:
            return self.built[canonical(f)]
        assert f not in (0, ALL)
        _, builder = min(self.options(f), key=lambda o: o[0])
        return builder()

    def ref(self, f):
        return self.build(f)

    def add(self, f, name, table, op, inputs):
        assert table in (f, f ^ ALL), "a gate computes the wrong function"
        self.lines.append(Gate(name, op, list(inputs), table))
        self.built[canonical(f)] = (name, table)
        self.memo.clear()
        return name, table

    def new_name(self):
        return f"t{len(self.lines)}"

    def gate(self, f, op, a, b):
        (na, ta), (nb, tb) = self.node(a), self.node(b)
        table = {"And": ta & tb, "Or": ta | tb, "Xor": ta ^ tb, "AndNot": ~ta & tb & ALL}[op]
        return self.add(f, self.new_name(), table, op, [na, nb])

    def node(self, a):
        if isinstance(a, tuple):
            return a
        return a, VARS[int(a[1:])]

    def and_var(self, f, k, h):
        """x & h, where h is f1, or ~(x & ~f1) for f = ~x | f1."""
        n, t = self.build(h)
        return self.gate(f, "And" if t == h else "AndNot", f"x{k}" if t == h else (n, t), (n, t) if t == h else f"x{k}")

    def andnot_var(self, f, k, h):
        """~x & h, as AND-NOT, or as OR of x and ~h (the complement)."""
        n, t = self.build(h)
        return self.gate(f, "AndNot" if t == h else "Or", f"x{k}", (n, t))

    def davio(self, f, k, base, g, negative):
        nb = self.build(base)
        ng, tg = self.build(g)
        if negative:  # base ^ (~x & g)
            part = self.gate(g & ~VARS[k] & ALL, "AndNot" if tg == g else "Or", f"x{k}", (ng, tg))
        elif tg == g:  # base ^ (x & g)
            part = self.gate(g & VARS[k], "And", f"x{k}", (ng, tg))
        else:
            part = self.gate(g & VARS[k], "AndNot", (ng, tg), f"x{k}")
        return self.gate(f, "Xor", nb, part)

    def shannon(self, f, k, f0, f1):
        n0, n1 = self.build(f0), self.build(f1)
        diff = self.gate(f0 ^ f1, "Xor", n0, n1)
        return self.davio(f, k, f0, diff[1] if diff[1] == f0 ^ f1 else f0 ^ f1, False)

    def mux_builder(self, f, k, f0, f1):
        def build():
            inputs = [(f"x{k}", VARS[k])]
            for g in (f1, f0):
                if g not in (0, ALL):
                    inputs.append(self.build(g))
            return self.tern(f, [n for n, _ in inputs], [t for _, t in inputs])
        return build

    def pair_builder(self, f, a, b, h):
        def build():
            n, t = self.build(h)
            return self.tern(f, [f"x{a}", f"x{b}", n], [VARS[a], VARS[b], t])
        return build

    def tern(self, f, names, tables):
        while len(names) < 3:
            names, tables = names + names[:1], tables + tables[:1]
        imm = tern_imm(f, tables)
        table = 0
        for v in range(64):
            index = sum((tables[i] >> v & 1) << (2 - i) for i in range(3))
            table |= (imm >> index & 1) << v
        return self.add(f, self.new_name(), table, "Tern", names)


# ---- the two-input circuits: search with don't-cares and reuse ----

def swapped(f, k):
    """f with input bit k complemented: the table with its two halves for x_k exchanged."""
    shift, mask = 1 << (5 - k), VARS[k]
    return (f & mask) >> shift | (f & ~mask & ALL) << shift


def support_on(f, care):
    """How many inputs f depends on within the inputs `care`."""
    return sum(1 for k in range(6) if (f ^ swapped(f, k)) & care & swapped(care, k))


# Rough gates for a function of n inputs with nothing to reuse (past two inputs, where one gate
# or none always does): the ranking of the forms, never a count that is emitted.
SUPPORT_COST = [0, 1, 1, 3, 6, 10, 16]
LOOKAHEAD = 2    # levels of the decomposition where the best forms are built and compared
BREADTH = 8      # forms built and compared at each of those levels
NOISE = 1.5      # random weight added to each form's estimate; restart 0 uses none


class Search:
    """Builds one S-box's four outputs from two-input gates. A request is a truth table f with
    a set of inputs that matter (`care`); any node equal to f or to its complement there
    answers it. Requests are met by a node already built, by one gate of two built nodes, or
    by a form around a built node s (a variable or any gate before), with s' = s or ~s:
        f = s' & g       where f is 0 off s' (and through complements f = s' | g), g on s';
        f = s ^ g        where f ^ s depends on fewer inputs than f;
        f = b ^ (s' & d) where b answers f off s' and d answers f ^ b on s' (a multiplexer
                         whose two halves are free to be anything where they are not chosen).
    The forms are ranked by their estimated gates plus a random term. At the top LOOKAHEAD
    levels the best BREADTH forms are each built and the smallest kept."""

    def __init__(self, rng):
        self.rng = rng
        self.gates = []
        self.pool = [(f"x{k}", VARS[k]) for k in range(6)]

    def new(self, op, a, b):
        (na, ta), (nb, tb) = a, b
        table = {"And": ta & tb, "Or": ta | tb, "Xor": ta ^ tb, "AndNot": ~ta & tb & ALL}[op]
        node = (f"t{len(self.gates)}", table)
        self.gates.append(Gate(node[0], op, [na, nb], table))
        self.pool.append(node)
        return node

    def conj(self, a, inv_a, b, inv_b):
        """A node for (a, complemented if inv_a) & (b, complemented if inv_b), or for its
        complement: ~a & ~b is made as a | b."""
        if not inv_a:
            return self.new("AndNot", b, a) if inv_b else self.new("And", a, b)
        return self.new("Or", a, b) if inv_b else self.new("AndNot", a, b)

    def match(self, f, care):
        if care == 0:
            return self.pool[0]
        for node in self.pool:
            d = (node[1] ^ f) & care
            if d == 0 or d == care:
                return node
        return None

    def one_gate(self, f, care):
        """A builder of f (on care, up to complement) by one gate of built nodes, or None."""
        keyed = {}
        for node in self.pool:
            keyed.setdefault(node[1] & care, node)
            keyed.setdefault(node[1] & care ^ care, node)
        for a in self.pool:
            b = keyed.get((f ^ a[1]) & care)
            if b is not None and b is not a:
                return lambda a=a, b=b: self.new("Xor", a, b)
        for target in (f, f ^ ALL):
            # target = a' & b': both literals cover target, and together exclude its zeros.
            covers = []
            for a in self.pool:
                if target & ~a[1] & care == 0:
                    covers.append((a, False, a[1]))
                if target & a[1] & care == 0:
                    covers.append((a, True, a[1] ^ ALL))
            zeros = ~target & care
            for i, (a, inv_a, la) in enumerate(covers):
                for b, inv_b, lb in covers[i + 1:]:
                    if zeros & la & lb == 0 and b is not a:
                        return lambda a=a, inv_a=inv_a, b=b, inv_b=inv_b: self.conj(a, inv_a, b, inv_b)
        return None

    def estimate(self, f, care):
        if self.match(f, care):
            return 0
        n = support_on(f, care)
        if n <= 2 or self.one_gate(f, care):
            return 1
        return SUPPORT_COST[n]

    def forms(self, f, care, noise):
        here = support_on(f, care)
        for s in self.pool:
            if support_on(f ^ s[1], care) < here:
                yield 1 + self.estimate(f ^ s[1], care) + noise * self.rng.random(), ("xor", s)
            for inv in (False, True):
                lit = s[1] ^ (ALL if inv else 0)
                on, off = care & lit, care & ~lit
                if not off or not on:
                    continue
                for target in (f, f ^ ALL):
                    if target & off == 0:
                        yield 1 + self.estimate(target, on) + noise * self.rng.random(), ("and", s, inv, target)
                if f & off not in (0, off) and f & on not in (0, on):
                    cost = 2 + self.estimate(f, off) + self.estimate(f, on)
                    yield cost + noise * self.rng.random(), ("mux", s, inv)

    def build(self, f, care, noise, look, exact=False):
        """A node equal to f or ~f on care (to f itself where `exact` allows, else one more)."""
        node = self.match(f, care)
        if node:
            return node
        single = self.one_gate(f, care)
        if single:
            return single()
        ranked = sorted(self.forms(f, care, noise), key=lambda o: o[0])
        if look == 0:
            return self.apply(ranked[0][1], f, care, noise, 0)
        start, best = (self.gates, self.pool), None
        for _, form in ranked[:BREADTH]:
            self.gates, self.pool = list(start[0]), list(start[1])
            node = self.apply(form, f, care, noise, look - 1)
            size = len(self.gates) + (exact and node[1] != f)
            if best is None or size < best[0]:
                best = (size, self.gates, self.pool, node)
        _, self.gates, self.pool, node = best
        return node

    def apply(self, form, f, care, noise, look):
        if form[0] == "xor":
            s = form[1]
            return self.new("Xor", s, self.build(f ^ s[1], care, noise, look))
        s, inv = form[1], form[2]
        lit = s[1] ^ (ALL if inv else 0)
        if form[0] == "and":
            target = form[3]
            g = self.build(target, care & lit, noise, look)
            return self.conj(s, inv, g, (g[1] ^ target) & care & lit != 0)
        b = self.build(f, care & ~lit, noise, look)
        if (b[1] ^ f) & care & ~lit:
            f ^= ALL  # b answers ~f: build ~f
        d_target = (f ^ b[1]) & care & lit
        if d_target == 0:
            return b
        if d_target == care & lit:  # f = b ^ s there
            return self.new("Xor", b, s)
        d = self.build(f ^ b[1], care & lit, noise, look)
        return self.new("Xor", b, self.conj(s, inv, d, (d[1] ^ f ^ b[1]) & care & lit != 0))


# The restarts of the search that gave each box its smallest circuit, in two-input gates and
# once merged into three-input gates (`--search N` finds them anew over restarts 0..N-1; each
# restart is seeded from the box and its number alone, so a restart always gives one circuit).
BINARY_SEEDS = [34, 18, 38, 23, 38, 8, 18, 36]
TERNARY_SEEDS = [34, 18, 38, 44, 11, 12, 22, 36]
_searched = {}


def searched_circuit(box, seed):
    """One restart of the search for box: (operations, gates, outputs), checked."""
    if (box, seed) in _searched:
        return _searched[box, seed]
    rng = random.Random(box * 1000003 + seed)
    search = Search(rng)
    order = list(range(4))
    rng.shuffle(order)
    noise = NOISE if seed else 0.0
    outputs = []
    for bit in order:
        f = output_table(box, bit)
        name, table = search.build(f, ALL, noise, LOOKAHEAD, exact=True)
        outputs.append((bit, name, table != f))
    used, gates = {name for _, name, _ in outputs}, []
    for g in reversed(search.gates):
        if g.name in used:
            gates.append(g)
            used.update(g.inputs)
    gates.reverse()
    verify(box, gates, outputs)
    result = len(gates) + 4 + sum(1 for _, _, inverted in outputs if inverted), gates, outputs
    _searched[box, seed] = result
    return result


def circuit(box, ternary, order):
    c = Circuit(ternary)
    outputs = []
    for bit in order:
        f = output_table(box, bit)
        name, table = c.build(f)
        outputs.append((bit, name, table != f))
    return c, outputs


def merged_size(gates, outputs):
    """A two-input circuit merged into three-input gates: (operations, gates), the smaller of
    merging only gates used once and merging shared gates after them too."""
    best = None
    fused = fuse(gates, outputs)
    for merged in (fused, fuse_shared(fused, outputs)):
        merged = fold_outputs(merged, outputs)
        size = len(merged) + 4 - sum(1 for g in merged if g.op == "Out")
        if best is None or size < best[0]:
            best = (size, merged)
    return best


def best_circuit(box, ternary, seeds):
    """The smallest circuit found for box: (operations, gates, outputs). Binary: the search's
    restart seeds[0][box]. Ternary: the searched circuit of restart seeds[1][box] merged into
    three-input gates, or, if smaller, over the orders of the four outputs, the recursive
    three-input decomposition or two-input one, merged likewise."""
    if not ternary:
        return searched_circuit(box, seeds[0][box])
    best = None
    searched = searched_circuit(box, seeds[1][box])
    candidates = [(searched[1], searched[2])]
    for order in itertools.permutations(range(4)):
        c, outputs = circuit(box, True, order)
        b, b_outputs = circuit(box, False, order)
        candidates += [(c.lines, outputs), (b.lines, b_outputs)]
    for gates, outs in candidates:
        size, gates = merged_size(gates, outs)
        if best is None or size < best[0]:
            best = (size, gates, outs)
    return best


def emit_box(box, ternary, seeds):
    size, gates, outputs = best_circuit(box, ternary, seeds)
    verify(box, gates, outputs)
    tables = {f"x{k}": VARS[k] for k in range(6)}
    kind = "Ternary" if ternary else "Binary"
    text = [f"// S{box + 1}: {size} operations, the four XORs into the left half included.",
            "template <class O, class V>",
            f"ZQV_SBOX_INLINE void DesSbox{box + 1}{kind}(V x0, V x1, V x2, V x3, V x4, V x5, "
            "V& y0, V& y1, V& y2, V& y3) {"]
    folded = {}
    for g in gates:
        tables[g.name] = g.table
        if g.op == "Out":
            folded[g.name] = g
            continue
        if g.op == "Tern":
            names = (g.inputs * 3)[:3] if len(g.inputs) < 3 else g.inputs
            if len(g.inputs) == 2:
                names = g.inputs + g.inputs[:1]
            imm = tern_imm(g.table, [tables[n] for n in names])
            text.append(f"  const V {g.name} = O::template Tern<0x{imm:02x}>({', '.join(names)});")
        else:
            text.append(f"  const V {g.name} = O::{g.op}({', '.join(g.inputs)});")
    for bit, name, inverted in sorted(outputs):
        if name in folded:
            g = folded[name]
            a, b = (g.inputs + g.inputs)[:2]
            imm = 0
            for v in range(64):
                ab = (tables[a] >> v & 1) << 1 | tables[b] >> v & 1
                value = (g.table >> v & 1) ^ int(inverted)
                imm |= value << ab | (1 - value) << (4 | ab)
            text.append(f"  y{bit} = O::template Tern<0x{imm:02x}>(y{bit}, {a}, {b});")
        elif not inverted:
            text.append(f"  y{bit} = O::Xor(y{bit}, {name});")
        elif ternary:
            text.append(f"  y{bit} = O::template Tern<0x81>(y{bit}, {name}, {name});")
        else:
            text.append(f"  y{bit} = O::Xor(y{bit}, O::Not({name}));")
    text.append("}")
    return size, text


def verify(box, gates, outputs):
    """Evaluates the gates on all 64 inputs at once (truth tables as values): each must compute
    its recorded table from its inputs' tables, and the outputs must be the box's."""
    values = {f"x{k}": VARS[k] for k in range(6)}
    for g in gates:
        args = [values[a] for a in g.inputs]
        if g.op in ("Tern", "Out"):
            seen = {}
            for v in range(64):
                key = tuple(a >> v & 1 for a in args)
                assert seen.setdefault(key, g.table >> v & 1) == g.table >> v & 1, "not a function of its inputs"
            r = g.table
        else:
            a, b = args
            r = {"And": a & b, "Or": a | b, "Xor": a ^ b, "AndNot": ~a & b & ALL}[g.op]
        assert r == g.table
        values[g.name] = r
    for bit, name, inverted in outputs:
        assert values[name] ^ (ALL if inverted else 0) == output_table(box, bit), (box, bit)


def check_text(text):
    """Runs the emitted C++ of every box over all 64 inputs (truth tables as the values, the
    left half's bits as arbitrary patterns) and requires each box's outputs XORed in."""
    import re
    start = [0xfedcba9876543210, 0x0f0f0f0f0f0f0f0f, 0x3333333333333333, 0x5555555555555555]
    for m in re.finditer(r"void DesSbox(\d)\w+\(.*?\{(.*?)\n\}", text, re.S):
        box = int(m.group(1)) - 1
        values = {f"x{k}": VARS[k] for k in range(6)}
        values.update({f"y{k}": start[k] for k in range(4)})
        for line in m.group(2).strip().split("\n"):
            target, expression = line.strip().rstrip(";").split(" = ", 1)
            op, args = expression.split("(", 1)
            args = [a.strip() for a in args[:-1].split(",")]
            if "Tern" in op:
                imm = int(op.split("<")[1].rstrip(">"), 16)
                a = [values[x] for x in args]
                r = 0
                for v in range(64):
                    r |= (imm >> ((a[0] >> v & 1) << 2 | (a[1] >> v & 1) << 1 | (a[2] >> v & 1)) & 1) << v
            else:
                a = values[args[0]]
                b = values[args[1][len("O::Not("):-1]] ^ ALL if args[1].startswith("O::Not(") else values[args[1]]
                r = {"O::And": a & b, "O::Or": a | b, "O::Xor": a ^ b, "O::AndNot": ~a & b & ALL}[op]
            values[target.split()[-1]] = r
        for k in range(4):
            assert values[f"y{k}"] ^ start[k] == output_table(box, k), f"S{box + 1} output {k} is wrong"


def search_seeds(restarts):
    """The restarts, of 0..restarts-1, that give each box its smallest two-input circuit and its
    smallest merged three-input one."""
    binary, ternary = [], []
    for box in range(8):
        found = [searched_circuit(box, seed) for seed in range(restarts)]
        size, seed = min((c[0], seed) for seed, c in enumerate(found))
        merged, merged_seed = min((merged_size(c[1], c[2])[0], seed) for seed, c in enumerate(found))
        print(f"S{box + 1}: restart {seed}, {size} operations; merged, restart {merged_seed}, "
              f"{merged}", file=sys.stderr)
        binary.append(seed)
        ternary.append(merged_seed)
    return binary, ternary


def main():
    args = sys.argv[1:]
    seeds = BINARY_SEEDS, TERNARY_SEEDS
    if args[:1] == ["--search"]:
        seeds = search_seeds(int(args[1]))
        print(f"BINARY_SEEDS = {seeds[0]}\nTERNARY_SEEDS = {seeds[1]}", file=sys.stderr)
        args = args[2:]
    path = args[0] if args else "crypto/KxDesSboxes.inc"
    out = ["// Generated by scripts/gen-des-sboxes.py; do not edit.",
           "// The DES S-boxes as boolean circuits for bitsliced DES: DesSboxNBinary in gates of two",
           "// inputs, DesSboxNTernary in three-input gates (O::Tern<imm>(a, b, c): bit (a b c) of imm).",
           "// Inputs x0..x5 are the box's six input bits (x0 first); y0..y3 receive its four output",
           "// bits (y0 first) by XOR. O supplies And, Or, Xor, AndNot (~a & b), Not and Tern.",
           ""]
    totals = {}
    for ternary in (False, True):
        total = 0
        for box in range(8):
            size, text = emit_box(box, ternary, seeds)
            total += size
            out += text + [""]
        totals[ternary] = total
    out.insert(5, f"// Totals per round: {totals[False]} binary operations, {totals[True]} ternary.")
    check_text("\n".join(out))
    with open(path, "w") as f:
        f.write("\n".join(out))
    print(f"{path}: {totals[False]} binary, {totals[True]} ternary operations per round", file=sys.stderr)


if __name__ == "__main__":
    main()

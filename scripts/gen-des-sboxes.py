#!/usr/bin/env python3
"""Writes crypto/KxDesSboxes.inc: the eight DES S-boxes as boolean circuits for bitsliced DES.

Each S-box output bit is a function of the box's six input bits. The script derives a circuit
for every box from the FIPS 46-3 tables by recursive decomposition on one input variable at a
time, choosing at each step the variable and the form that need the fewest gates, and reusing
any function (or its complement) built before within the same box:

  binary:  gates of two inputs (AND, OR, XOR, AND-NOT), for SSE2, AVX2 and WebAssembly SIMD.
           Forms: f = x ^ f0;  x & f1;  ~x & f0;  x | f0;  ~x | f1;  f0 ^ (x & (f0 ^ f1));
           f1 ^ (~x & (f0 ^ f1)), where f0, f1 are f with x = 0 and x = 1.
  ternary: gates of any three inputs (AVX-512 VPTERNLOG), each one instruction.
           Forms: any function of at most three variables; the multiplexer x ? f1 : f0; and a
           function of two variables and one further function h (up to complement).

Every emitted circuit is checked against the table over all 64 inputs before it is written.
Usage: scripts/gen-des-sboxes.py [crypto/KxDesSboxes.inc]
"""
import itertools
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


def circuit(box, ternary, order):
    c = Circuit(ternary)
    outputs = []
    for bit in order:
        f = output_table(box, bit)
        name, table = c.build(f)
        outputs.append((bit, name, table != f))
    return c, outputs


def best_circuit(box, ternary):
    """The smallest circuit over the orders of the four outputs: (gates, outputs)."""
    best = None
    for order in itertools.permutations(range(4)):
        candidates = []
        c, outputs = circuit(box, ternary, order)
        candidates.append((c.lines, outputs))
        if ternary:
            # The two-input circuit merged into three-input gates, and the three-input one merged.
            b, b_outputs = circuit(box, False, order)
            candidates = [(fuse(c.lines, outputs), outputs), (fuse(b.lines, b_outputs), b_outputs)]
        for gates, outs in candidates:
            if ternary:
                gates = fold_outputs(gates, outs)
            size = len(gates) + 4 + sum(1 for _, _, inverted in outs if inverted and not ternary)
            size -= sum(1 for g in gates if g.op == "Out")
            if best is None or size < best[0]:
                best = (size, gates, outs)
    return best


def emit_box(box, ternary):
    size, gates, outputs = best_circuit(box, ternary)
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


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "crypto/KxDesSboxes.inc"
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
            size, text = emit_box(box, ternary)
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

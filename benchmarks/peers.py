"""The Bloom filters that run.py measures, and how each is fed: ours takes the
array, the others one `bytes` key per row through their fastest bulk route.
The others size themselves from a capacity and a false-positive rate; the
capacity m (ln 2)^2 / -ln(rate) asks them for m bits, and what each really
allocates, bits and k, is read back."""
import numpy as np


def libraries(k, rate, seed):
    """name (the distribution's): (module, route, make(mod, m, capacity),
    insert(f, data), test(f, data), shape(mod, f, capacity) -> (bits, k))."""
    # pybloomfiltermmap3 picks k = 6 for 1 %; k fixed seeds give it our k.
    seeds = [int(s) for s in np.random.default_rng(seed).integers(1, 2**32, size=k)]

    def ours(mod, m, n):
        f = mod.bloomfilter()
        f.configure(k, m)
        return f

    def rbloom_k(mod, n):
        # rbloom does not tell k: a filter of the same size, with a hash
        # whose filter can be saved, shows it as the bits one add sets.
        probe = mod.Bloom(n, rate, lambda x: hash(x))
        ones = lambda: int(np.bitwise_count(np.frombuffer(probe.save_bytes(), dtype=np.uint8)).sum())
        before = ones()
        probe.add(b"probe")
        return ones() - before

    def pyprobables_insert(f, keys):
        for key in keys:
            f.add(key)

    return {
        "woxbloomfilter": ("woxbloomfilter", "insert(array) / test(array)", ours,
                           lambda f, a: f.insert(a), lambda f, a: f.test(a),
                           lambda mod, f, n: (f.get_m(), f.get_k())),
        "rbloom": ("rbloom", "update(keys) / [k in f for k in keys]", lambda mod, m, n: mod.Bloom(n, rate),
                   lambda f, keys: f.update(keys), lambda f, keys: [key in f for key in keys],
                   lambda mod, f, n: (f.size_in_bits, rbloom_k(mod, n))),
        "pybloomfiltermmap3": ("pybloomfilter", f"update(keys) / [k in f for k in keys], {k} hash seeds",
                               lambda mod, m, n: mod.BloomFilter(n, rate, hash_seeds=seeds),
                               lambda f, keys: f.update(keys), lambda f, keys: [key in f for key in keys],
                               lambda mod, f, n: (f.num_bits, f.num_hashes)),
        "fastbloom-rs": ("fastbloom_rs", "add_bytes_batch(keys) / contains_bytes_batch(keys, False)",
                         lambda mod, m, n: mod.FilterBuilder(n, rate).build_bloom_filter(),
                         # False skips a per-key isinstance check done in Python.
                         lambda f, keys: f.add_bytes_batch(keys), lambda f, keys: f.contains_bytes_batch(keys, False),
                         lambda mod, f, n: (len(f.get_bytes()) * 8, f.hashes())),
        "pyprobables": ("probables", "add(key) in a loop / map(check, keys); no batch call",
                        lambda mod, m, n: mod.BloomFilter(est_elements=n, false_positive_rate=rate),
                        pyprobables_insert, lambda f, keys: list(map(f.check, keys)),
                        lambda mod, f, n: (f.number_bits, f.number_hashes)),
    }

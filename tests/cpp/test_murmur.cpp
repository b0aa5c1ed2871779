// Tests of the MurmurHash3 header against published values and an independent
// implementation. Run by CTest; argv[1] is murmur_vectors.txt.
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "murmur.hpp"
#include "check.hpp"

using namespace tessvane::murmur;

using HashFn = void (*)(const void*, int, uint32_t, void*);

struct Function {
    const char* name;
    HashFn fn;
    int bytes;  // size of the result
};

static const Function functions[] = {
    {"x86_32", [](const void* k, int n, uint32_t s, void* o) { MurmurHash3_x86_32(k, n, s, o); }, 4},
    {"x86_128", [](const void* k, int n, uint32_t s, void* o) { MurmurHash3_x86_128(k, n, s, o); }, 16},
    {"x64_128", [](const void* k, int n, uint32_t s, void* o) { MurmurHash3_x64_128(k, n, s, o); }, 16},
};

static std::vector<unsigned char> hash_of(const Function& f, const void* key, int len, uint32_t seed) {
    std::vector<unsigned char> out(f.bytes);
    f.fn(key, len, seed, out.data());
    return out;
}

// The verification procedure of the reference implementation's test suite
// (SMHasher, KeysetTest.cpp VerificationTest): hash keys {}, {0}, {0,1}, ...,
// {0..254} with seed 256 - i, concatenate the 256 results, hash that with seed
// 0 and read the first four bytes as a little-endian uint32.
static uint32_t verification(const Function& f) {
    unsigned char key[256];
    std::vector<unsigned char> hashes(256 * f.bytes);
    for (int i = 0; i < 256; i++) {
        key[i] = static_cast<unsigned char>(i);
        f.fn(key, i, 256 - i, &hashes[i * f.bytes]);
    }
    auto final = hash_of(f, hashes.data(), 256 * f.bytes, 0);
    return uint32_t(final[0]) | uint32_t(final[1]) << 8 | uint32_t(final[2]) << 16 | uint32_t(final[3]) << 24;
}

static void test_verification_values() {
    // Published in SMHasher's main.cpp hash table.
    CHECK(verification(functions[0]) == 0xB0F57EE3u);
    CHECK(verification(functions[1]) == 0xB3ECE62Au);
    CHECK(verification(functions[2]) == 0x6384BA69u);
}

// MurmurHash3_x64_128_over of a key followed by 16 bytes it must not use.
static std::vector<unsigned char> over_reading(const std::vector<unsigned char>& key, uint32_t seed) {
    std::vector<unsigned char> padded(key.size() + 16, 0xA5), out(16);
    std::copy(key.begin(), key.end(), padded.begin());
    MurmurHash3_x64_128_over(padded.data(), int(key.size()), seed, out.data());
    return out;
}

static std::vector<unsigned char> from_hex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    if (hex == "-") return bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// Vectors computed by the mmh3 package (see make_vectors.py); every key is also
// hashed at an odd address, which must not change the result.
static void test_vectors(const char* path) {
    std::ifstream in(path);
    CHECK(in.good());
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, key_hex, out_hex;
        uint32_t seed;
        fields >> name >> seed >> key_hex >> out_hex;
        const auto key = from_hex(key_hex);
        const auto expected = from_hex(out_hex);
        std::vector<unsigned char> shifted(key.size() + 1);
        std::copy(key.begin(), key.end(), shifted.begin() + 1);
        bool known = false;
        for (const auto& f : functions) {
            if (name != f.name) continue;
            known = true;
            const bool equal = hash_of(f, key.data(), int(key.size()), seed) == expected;
            const bool equal_odd = hash_of(f, shifted.data() + 1, int(key.size()), seed) == expected;
            if (!equal || !equal_odd) std::fprintf(stderr, "mismatch: %s\n", line.c_str());
            CHECK(equal && equal_odd);
        }
        if (name == "x64_128") CHECK(over_reading(key, seed) == expected);
        CHECK(known);
        ++count;
    }
    CHECK(count > 600);
}

static void test_murmur_convenience() {
    CHECK((murmur("", 0) == std::vector<uint32_t>{0, 0, 0, 0}));
    const std::string s = "The quick brown fox jumps over the lazy dog";
    uint32_t words[4];
    MurmurHash3_x86_128(s.data(), int(s.size()), 42, words);
    CHECK((murmur(s, 42) == std::vector<uint32_t>(words, words + 4)));
}

// Only the lanes that receive tail bytes differ from the others for short keys.
static void test_x86_128_lanes() {
    const unsigned char key[8] = {0xff, 0x80, 0x01, 0x7f, 0xaa, 0x00, 0x55, 0xfe};
    for (int len = 0; len <= 8; len++) {
        uint32_t w[4];
        MurmurHash3_x86_128(key, len, 0x1234u, w);
        if (len <= 4) CHECK(w[1] == w[2] && w[2] == w[3]);
        CHECK(w[2] == w[3]);
    }
}

// A negative length reads nothing and hashes as the empty key. The key pointer
// is null, so any read would crash the test.
static void test_negative_length() {
    for (const auto& f : functions) {
        for (int len : {-1, -16, -17, -2147483647 - 1}) {
            CHECK(hash_of(f, nullptr, len, 7) == hash_of(f, "", 0, 7));
        }
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s murmur_vectors.txt\n", argv[0]);
        return 2;
    }
    test_verification_values();
    test_vectors(argv[1]);
    test_murmur_convenience();
    test_x86_128_lanes();
    test_negative_length();
    if (failures) std::fprintf(stderr, "%d check(s) failed\n", failures);
    else std::printf("all hash checks passed\n");
    return failures ? 1 : 0;
}

#include <gtest/gtest.h>

#include <iterator>
#include <set>

#include "client/Base64.h"
#include "client/MD5.h"
#include "client/SHA.h"
#include "client/SipHash.h"

using namespace tern;

namespace {
std::string md5hex(const std::string& s) {
    MD5 m;
    m.update(s);
    return m.hexDigest();
}
std::string sha1hex(const std::string& s) {
    SHA h;
    h.update(s);
    return h.hexDigest();
}
}  // namespace

TEST(MD5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& v : vectors) EXPECT_EQ(md5hex(v.first), v.second) << v.first;
}

TEST(MD5, IncrementalRawAndRepeatedDigests) {
    MD5 m;
    m.update(reinterpret_cast<const unsigned char*>("mess"), 4);
    m.update(reinterpret_cast<const unsigned char*>("xx"), 0);
    m.update(reinterpret_cast<const unsigned char*>("xx"), -3);
    m.update(std::string("age digest"));
    EXPECT_EQ(m.hexDigest(), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(m.hexDigest(), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(m.rawDigest().size(), 16u);
    EXPECT_EQ(static_cast<unsigned char>(m.rawDigest()[0]), 0xf9);
    m.reset();
    EXPECT_EQ(m.hexDigest(), "d41d8cd98f00b204e9800998ecf8427e");
    // Every length across the block boundary, compared with one-shot updates.
    std::string s;
    for (int len = 0; len < 200; ++len) {
        MD5 bytewise;
        for (char c : s) bytewise.update(reinterpret_cast<const unsigned char*>(&c), 1);
        EXPECT_EQ(bytewise.hexDigest(), md5hex(s));
        s.push_back(static_cast<char>('a' + len % 26));
    }
}

TEST(SHA, Fips180Vectors) {
    EXPECT_EQ(sha1hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    SHA million;
    const std::string a(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.update(a);
    EXPECT_EQ(million.hexDigest(), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(SHA, UpdateAfterDigestCorrupts) {
    SHA h;
    h.update("abc", 3);
    h.update("zzz", 0);
    EXPECT_EQ(h.hexDigest(), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(h.hexDigest(), "a9993e364706816aba3e25717850c26c9cd0d89d");
    h.update("d", 1);
    EXPECT_EQ(h.hexDigest(), "");
    h.reset();
    EXPECT_EQ(h.hexDigest(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(base64Encode(v.first), v.second);
        EXPECT_EQ(base64Decode(v.second), v.first);
    }
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
    EXPECT_EQ(base64Encode(std::string("\0user\0pass", 10)), "AHVzZXIAcGFzcw==");
}

TEST(Base64, LenientDecoding) {
    EXPECT_EQ(base64Decode("Zg==Zm8="), "f");      // stops at the first padding
    EXPECT_EQ(base64Decode("Z!=="), base64Decode("ZA=="));  // outside the alphabet counts as A
    EXPECT_EQ(base64Decode("Zm9vY"), "foo");       // an incomplete group is ignored
}

// The reference vectors of the SipHash paper: key 00..0f, message 00..len-1.
TEST(SipHash, ReferenceVectors) {
    std::string message;
    for (char c = 0; c < 16; ++c) message += c;
    const std::uint64_t k0 = 0x0706050403020100ull, k1 = 0x0f0e0d0c0b0a0908ull;
    const std::pair<std::size_t, std::uint64_t> vectors[] = {
        {0, 0x726fdb47dd0e0e31ull}, {8, 0x93f5f5799a932462ull}, {15, 0xa129ca6149be45e5ull}};
    for (const auto& [length, expected] : vectors)
        EXPECT_EQ(sipHash24(k0, k1, std::string_view(message).substr(0, length)), expected) << length;
}

// Where the first part ends is part of the key, whatever the bytes.
TEST(SipHash, PairKeysTellWhereTheFirstPartEnds) {
    const std::string x(8, 'X'), y(256, 'Y');
    const std::pair<std::string, std::string> pairs[] = {
        {"ab", "c"},  {"a", "bc"}, {"", "abc"}, {"abc", ""}, {"nickname", "text"}, {"nicknamet", "ext"},
        {x, y + "z"}, {x + y, "z"},  // the same bytes in whole blocks: only the split tells them apart
    };
    std::set<std::uint64_t> keys;
    for (const auto& [first, second] : pairs) {
        EXPECT_EQ(sipHash13Pair(first, second), sipHash13Pair(first, second));
        keys.insert(sipHash13Pair(first, second));
    }
    EXPECT_EQ(keys.size(), std::size(pairs));
}

// MD5 (RFC 1321). Used only by the DIGEST-MD5 SASL mechanism.
#ifndef TERN_CLIENT_MD5_H
#define TERN_CLIENT_MD5_H

#include <cstdint>
#include <string>

namespace tern {

class MD5 {
public:
    MD5() { reset(); }
    virtual ~MD5() = default;

    void reset();
    // Absorbs the bytes; a length of 0 or less does nothing.
    void update(const unsigned char* data, int length);
    void update(const std::string& data);
    // Appends padding and length once; later calls do nothing.
    void finish();
    // Both finish first when needed.
    std::string hexDigest();
    std::string rawDigest();

private:
    void transform(const unsigned char block[64]);

    std::uint32_t state_[4];
    std::uint32_t count_[2];  // message length in bits, low word first
    unsigned char buffer_[64];
    bool finished_;
};

}  // namespace tern

#endif

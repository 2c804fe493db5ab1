#pragma once

#include <cstdint>

// Hook through which every block except the header passes: encode just before a block
// is written, decode just after it is read. Both work in place on whole blocks and
// report failure with false. The default leaves the bytes unchanged.
class EfsEncryptor {
  public:
    virtual ~EfsEncryptor() = default;
    virtual bool encode(uint8_t* buffer, int32_t length);
    virtual bool decode(uint8_t* buffer, int32_t length);

    // The one process-wide default instance every volume starts with.
    static EfsEncryptor* defaultEncryptor();
};

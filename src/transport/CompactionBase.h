// Stream compression (XEP-0138) interface, exported so that a host or a
// plug-in can supply a compressor. The library contains none and never
// creates one; the engine uses one only when it is given one.
#ifndef TERN_TRANSPORT_COMPACTIONBASE_H
#define TERN_TRANSPORT_COMPACTIONBASE_H

#include <string>

#include "parley_export.h"

namespace tern {

class PARLEY_API CompactionDataHandler {
public:
    CompactionDataHandler();
    CompactionDataHandler(const CompactionDataHandler&);
    CompactionDataHandler& operator=(const CompactionDataHandler&);
    virtual ~CompactionDataHandler();
    virtual void onCompressed(const std::string& data) = 0;
    virtual void onDecompressed(const std::string& data) = 0;
};

class PARLEY_API CompactionBase {
public:
    explicit CompactionBase(CompactionDataHandler* handler);
    CompactionBase(const CompactionBase& other);
    CompactionBase& operator=(const CompactionBase& other);
    virtual ~CompactionBase();
    // Results arrive through the handler, possibly later and in other pieces.
    virtual void compress(const std::string& data) = 0;
    virtual void decompress(const std::string& data) = 0;

protected:
    CompactionDataHandler* handler_;
    bool valid_;
};

}  // namespace tern

#endif

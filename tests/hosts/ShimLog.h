// The record format record-shim writes and `host-check replay` reads.
#pragma once

#include <cstdint>

namespace shimlog {

enum Kind : std::uint32_t {
    kCreate = 1,      // an instance was made
    kDispatch = 2,    // rate, block size, program or switch change
    kParameter = 3,   // setParameter
    kProcess = 4,     // processReplacing, with its time, input and output
    kAccumulate = 5,  // process (accumulating): noted, not recorded
};

// What the host answered to the plug-in's audioMasterGetTime in one call.
enum TimeState : std::int32_t {
    kNoQuery = 0,     // the plug-in did not ask
    kNullAnswer = 1,  // the host answered null
    kAnswered = 2,    // the record follows
};

struct RecordHead {
    std::uint32_t kind;
    std::uint32_t reserved;
    std::uint64_t instance;  // the record's address, telling instances apart
};
static_assert(sizeof(RecordHead) == 16, "the log's record head is 16 bytes");

}  // namespace shimlog

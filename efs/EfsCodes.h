// The numbers of the volume's interface: error codes (lastError), the dispositions and
// access values of openFile, and the allocation modes stored in the volume parameters.
#pragma once

#include <cstdint>

namespace efs {

enum VolumeError : int32_t {
    ErrorNone = 0,
    ErrorHostOpen = 1,     // the host file cannot be opened
    ErrorVersion = 3,      // the header's version is above the one this program writes
    ErrorBlockSize = 4,    // the header's block size is not 8192
    ErrorState = 7,        // not in this state: open twice, file missing, file in use
    ErrorNoSpace = 8,      // the allocator could not provide the blocks asked for
    ErrorArgument = 9,     // an argument out of its range
    ErrorNotFound = 10,    // an unknown handle or name
    ErrorIo = 12,          // a header, record, node or block could not be read or written
    ErrorTempVolume = 13,  // compact could not create its temporary volume
};

enum Disposition : int32_t {
    CreateNew = 1,
    CreateAlways = 2,
    OpenExisting = 3,
    OpenAlways = 4,
    TruncateExisting = 5,
};

enum Access : int32_t { AccessRead = 1, AccessWrite = 2 };

enum AllocMode : int32_t { AllocFromStart = 0, AllocFromMiddle = 1, AllocBestFit = 2 };

}  // namespace efs

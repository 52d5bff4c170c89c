// The C++ classes are what the server hands to plug-ins and extensions, which see them
// through the C forms of velnor.h: both must lay out the same.
#include <cstddef>

#include "content/ConfigTable.h"
#include "content/TextTable.h"
#include "velnor/velnor.h"

namespace velnor {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

static_assert(sizeof(ByteBuffer) == sizeof(VelnorByteBuffer));
static_assert(offsetof(ByteBuffer, data) == offsetof(VelnorByteBuffer, data));
static_assert(offsetof(ByteBuffer, length) == offsetof(VelnorByteBuffer, length));
static_assert(offsetof(ByteBuffer, blockSize) == offsetof(VelnorByteBuffer, blockSize));

static_assert(sizeof(TextTable) == sizeof(VelnorTextTable));
static_assert(offsetof(TextTable, buffer) == offsetof(VelnorTextTable, buffer));
static_assert(offsetof(TextTable, cursor) == offsetof(VelnorTextTable, cursor));

// Derived tables are handed over as text tables, so they may add no fields.
static_assert(sizeof(ConfigTable) == sizeof(TextTable));

#pragma GCC diagnostic pop

} // namespace velnor

// The two checks of target resolution that stand on their own: removing an absolute-form
// prefix from a request target and the depth count that keeps a path inside the tree.
#pragma once

namespace velnor {

// Drops an "http://host" prefix (scheme in any letter case), keeping the path from the
// first "/" after the host. Returns 1 when the target is unchanged or rewritten, 0 when
// the host runs to the end of the target.
int stripAbsoluteForm(char* target) noexcept;

// The depth count over a request path ("/" and "\" alike): 1 when every ".." is balanced
// by an earlier named level, 0 when the path could climb out of the document root (also
// for an empty path or one that does not begin with a named level).
int isPathInsideRoot(const char* path) noexcept;

} // namespace velnor

// The checks of target resolution that stand on their own: removing an absolute-form
// prefix from a request target, the depth count that keeps a path inside the tree, and
// the walk over the directories whose password file may govern a resolved path.
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

// The answer of a password-file candidate that does not decide: the walk goes on.
constexpr int kWalkOn = -1;
using PasswordCandidateVisitor = int (*)(void* state, const char* candidate) noexcept;

// Offers `visit` every place a password file governing `resolvedPath` (a canonical path
// below `documentRoot`) may be: the path's own directory first, the document root last,
// each as the directory, "\" and `fileName`. The first answer other than kWalkOn ends the
// walk and is returned; without one the answer is `status`, and 500 when a candidate is
// too long to be examined.
int walkPasswordCandidates(int status, const char* resolvedPath, const char* documentRoot,
                           const char* fileName, PasswordCandidateVisitor visit,
                           void* state) noexcept;

} // namespace velnor

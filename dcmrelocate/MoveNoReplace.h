#ifndef DCMRELOCATE_MOVENOREPLACE_H
#define DCMRELOCATE_MOVENOREPLACE_H

#include <string>

// Moves `from` to `to` within one file system without ever replacing an existing `to`: the
// check and the move are one atomic step. Returns true on success; on failure errno tells why
// (EEXIST when `to` exists, EXDEV across file systems) and `from` is where it was.
bool moveNoReplace(const std::string& from, const std::string& to);

// The fallback where renameat2 or its no-replace flag is not supported: a hard link under
// the new name (which fails when the name exists), then removal of the old name. When the old
// name cannot be removed, the new link is taken back so that the file keeps one name.
bool linkThenUnlink(const std::string& from, const std::string& to);

#endif

// A block of memory shared by every process of one user: a POSIX
// shared-memory object, created on first use with owner-only access.
#pragma once

#include <cstddef>
#include <string>

namespace qrn::platform {

// Opens (creating when missing, mode 0600) the shared-memory object `name`
// ("/something"), makes it at least `size` bytes (new bytes are zero) and
// maps `size` bytes of it for reading and writing, for the life of the
// process. The object must belong to the calling user and grant nothing to
// group or others; otherwise, or on any failure, the result is null and
// *error says why. The mapping is never unmapped.
void* MapOwnerOnlySharedBlock(const std::string& name, size_t size, std::string* error);

// Removes the object's name (existing mappings stay valid). For tools and
// tests; true when it existed.
bool UnlinkSharedBlock(const std::string& name);

// The effective user id of the calling thread: the owner that
// MapOwnerOnlySharedBlock requires.
unsigned BlockOwnerId();

}  // namespace qrn::platform

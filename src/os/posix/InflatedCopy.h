// A copy of an ELF file whose compressed sections are stored inflated.
#pragma once

#include <cstdint>
#include <optional>

namespace kw::os {

// Writes to the empty file `fd` a copy of the ELF file open on `original`
// with every compressed section inflated; false when that fails, the file
// then holding anything. `sum` is the checksumOf the copy's bytes where
// they passed through memory whole, empty otherwise.
bool writeInflatedCopy(int original, int fd, std::optional<std::uint64_t>& sum);

}  // namespace kw::os

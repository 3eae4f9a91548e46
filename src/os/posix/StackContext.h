// The machine registers a walk starts from: the one place that knows the
// processor's register names.
#pragma once

namespace kw::os {

// The DWARF number of the frame-pointer register, or -1 where it is unknown.
int framePointerRegister();

}  // namespace kw::os

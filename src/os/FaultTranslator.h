// Hardware faults (access violations, division by zero, illegal
// instructions) turned into C++ exceptions thrown on the faulting thread.
#pragma once

#include <kw/Platform.h>

namespace kw::os {

using FaultTranslator = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Arms the calling thread: a fault on it calls translator on that thread
// with the fault's record and context (valid during the call), and what
// the translator throws leaves from the faulting instruction. Faults on
// threads that never called this go on as the platform delivers them.
void installFaultTranslator(FaultTranslator translator);

// For a translator that lets the fault it was given go on as if no
// translator were installed. Outside a translation it is a bare rethrow.
[[noreturn]] void passFaultOn();

}  // namespace kw::os

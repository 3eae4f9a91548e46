// A library that is no component: it exports neither entry point.
#include "ComponentExport.h"

KW_COMPONENT_EXPORT std::int32_t ComponentVersion() { return 1; }

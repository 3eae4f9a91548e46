// The name the suites know for a text SuiteSetting.
#pragma once

#include "support/SuiteSetting.h"

namespace kwtest {

using TextSetting = SuiteSetting;

}  // namespace kwtest

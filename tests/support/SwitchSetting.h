// The name the suites know for an integer SuiteSetting.
#pragma once

#include "support/SuiteSetting.h"

namespace kwtest {

using SwitchSetting = SuiteSetting;

}  // namespace kwtest

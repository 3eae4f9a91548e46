// Who runs the process.
#pragma once

#include <string>

namespace kw::os {

// The account in the SAM-compatible form "DOMAIN\user". On Linux the host
// name stands as the domain and the login name as the user. False on
// failure, with the reason as the thread's last system error.
bool samUserName(std::wstring& name);

}  // namespace kw::os

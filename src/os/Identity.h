// Who runs the process, on which machine, from which program.
#pragma once

#include <string>

namespace kw::os {

// The account in the SAM-compatible form "DOMAIN\user". On Linux the host
// name stands as the domain and the login name as the user. False on
// failure, with the reason as the thread's last system error.
bool samUserName(std::wstring& name);

// The computer's name and the domain or workgroup it belongs to. On Linux
// the host name, and the NIS domain when one is set, else the host name
// again (as the account name uses it). False when the system cannot say.
bool workstationNames(std::wstring& machine, std::wstring& domain);

// Where the platform knows the all-powerful system account by something
// other than its name (Linux: effective uid 0), sets `system` and returns
// true. False where the account's name must decide (Windows).
bool systemAccountKnown(bool& system);

// The full path of the process's executable; empty when it cannot be read.
// Windows reads at most MAX_PATH characters, as the system call allows.
std::wstring executablePath();

}  // namespace kw::os

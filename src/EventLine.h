// The log line of an event, composed into a buffer the caller keeps.
#pragma once

#include <kw/Event.h>

#include <string>

namespace kw {

// What toString does, with the line written into the buffer, whose memory is
// reused: the flag is stored in the event, and the buffer's text replaced.
void composeEventLine(std::wstring& line, Event& event, bool includeHeaders);

}  // namespace kw

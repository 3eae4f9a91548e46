// Names the ID of every site where kwtool traces.
#pragma once

namespace kwtool {

// The IDs of kwtool's own trace events. Users' trace files record the
// numbers: a value never changes and is never reused. 1070, the command's
// two digits (00 for any command), the site's two digits.
enum ToolSiteId : int {
  // A command started.
  CommandStarted = 1070001,
  // A command ended, with its exit code.
  CommandEnded = 1070002,
  // decode read a well-formed message.
  MessageDecoded = 1070101,
  // decode was given bytes that are no well-formed message.
  MessageMalformed = 1070102,
  // encode wrote a message.
  MessageEncoded = 1070201,
  // reg set wrote a value.
  SettingSet = 1070301,
  // reg delete removed a value.
  SettingDeleted = 1070302,
  // listen received a message.
  MessageReceived = 1070401,
  // send's messages were all taken by the receiver.
  MessagesSent = 1070501,
};

}  // namespace kwtool

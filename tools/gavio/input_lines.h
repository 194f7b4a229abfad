// Standard input read line by line on a thread of its own and handed to
// the thread that pumps messages, so a command can send what the user
// types while it keeps serving its connection's events.
#pragma once

#include "platform/messages.h"

namespace gavio_tool {

// Thread messages posted to the pumping thread: kInputLineMessage carries
// a new std::string (the line with its line end) in lParam, which the
// receiver deletes; kEndOfInputMessage follows the last line.
constexpr UINT kInputLineMessage = WM_APP + 0x70;
constexpr UINT kEndOfInputMessage = WM_APP + 0x71;

// Reads standard input to its end, posting each line to mainThread; the
// body of the reader thread.
void ReadInputLines(DWORD mainThread);

}  // namespace gavio_tool

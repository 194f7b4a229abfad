#include "input_lines.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace gavio_tool {

void ReadInputLines(DWORD mainThread) {
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, stdin)) > 0) {
    auto* text = new std::string(line, static_cast<size_t>(length));
    if (!PostThreadMessageA(mainThread, kInputLineMessage, 0, reinterpret_cast<LPARAM>(text))) {
      delete text;
      break;
    }
  }
  free(line);
  PostThreadMessageA(mainThread, kEndOfInputMessage, 0, 0);
}

}  // namespace gavio_tool

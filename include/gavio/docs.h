// Documents and utilities: the zip reader (67), the background extractor
// (355), the window maker (33) and the window timer service (795).
//
// Paths are narrow text of at most 259 characters; '\' and '/' both
// separate folders. Item names are shown in the '\' form.
#pragma once

#include <stdint.h>

#include "gavio/component.h"
#include "gavio/sink.h"
#include "platform/types.h"

namespace gavio {

// ---- Zip reader (67) --------------------------------------------------------
//
// Unpacks zip archives on the calling thread. An item name maps to a file
// below the target folder: with flatten set only the text after the name's
// last '\' (or last '/' when it has none) is kept; every '/' becomes '\';
// the result is joined to the folder ("%s%s" when the folder ends in a
// separator, else "%s\%s") and cut to 259 characters.
//
// Safety: an item whose name is absolute, carries a drive prefix or has a
// ".." part is refused and nothing is written for it; folders below the
// target are entered without following links; every file is written beside
// its final name and renamed over it only after its checksum matched, so a
// failure leaves no half-written file. Names ending in a separator (folder
// entries) create folders.
//
// Thread safety: an instance belongs to one thread.
class IZipReader : public IComponent {
 public:
  // 5: unpacks every item in archive order, creating the target folder and
  // the folders the names imply. Returns 1 when the archive held at least
  // one item and every item was unpacked; 0 for an archive that cannot be
  // opened, is empty, or has an item that was refused, corrupt or could not
  // be written (the sound items are still unpacked). Sets the thread's last
  // error on failure.
  virtual int32_t ExtractAll(const char* zipPath, const char* targetFolder, int32_t flatten) = 0;
  // 6: the number of items, 0 when the archive cannot be opened.
  virtual int32_t GetItemCount(const char* zipPath) = 0;
  // 7: 1 and the mapped name of item index (cut to capacity - 1 characters
  // and terminated) when index is below the item count; else 0 and the
  // buffer is left unchanged.
  virtual int32_t GetItemName(const char* zipPath, int32_t index, char* buffer, int32_t capacity,
                              int32_t flatten) = 0;
  // 8: closes the archive kept open between name lookups.
  virtual void ComponentFinalize() = 0;
};

// ---- Background extractor (355) ----------------------------------------------
//
// Runs the zip reader's unpacking on a worker thread and reports to its
// listeners (IEventSource, its second base) on the thread that first
// started it, through a hidden window: that thread must pump messages.

// Posted to the extractor's hidden window when a run ended: wParam is the
// result, lParam is 4.
inline constexpr uint32_t kExtractDoneMessage = 2024;

class IExtractListener : public ISink {
 public:
  // 1: an extraction ended with a non-zero result.
  virtual void OnExtractSucceeded() = 0;
  // 2: an extraction ended with 0 (failed, empty archive, or stopped).
  virtual void OnExtractFailed() = 0;
};

class IArchiveExtractor : public IComponent {
 public:
  // 5: waits for the previous run to end, stores the paths and the flag and
  // starts a worker thread. Returns 0 for a null path or folder, a path
  // longer than 259 characters, when the zip reader or the hidden window
  // cannot be made, or the thread cannot start; 1 otherwise.
  virtual int32_t Start(const char* zipPath, const char* targetFolder, int32_t flatten) = 0;
  // 6, 7: forwarded to the zip reader.
  virtual int32_t GetItemCount(const char* zipPath) = 0;
  virtual int32_t GetItemName(const char* zipPath, int32_t index, char* buffer, int32_t capacity,
                              int32_t flatten) = 0;
  // 8: asks a running extraction to stop after its current block of data
  // and waits up to 100 ms for the worker. Returns 1 when no worker is left
  // (its handle is closed); 0 when it still runs (the next Start or the
  // finalisation waits for it). A stopped run reports slot 2.
  virtual int32_t Stop() = 0;
  // 9: stops the run in progress and waits for its worker, destroys the
  // hidden window (results not yet delivered are dropped) and releases the
  // zip reader.
  virtual void ComponentFinalize() = 0;
};

// ---- Window maker (33) -------------------------------------------------------
//
// Creates windows of a private class and routes each window's messages to
// the sink given with it. The windows belong to the creating thread.

struct WindowRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};
static_assert(sizeof(WindowRect) == 16, "four 32-bit edges");

class IWindowSink : public ISink {
 public:
  // 1: a message for window. Returns non-zero when handled, with the
  // message's result stored in *result (0 on entry); 0 lets the platform's
  // default handling run. May destroy the window or the window maker.
  virtual int32_t OnWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                  LRESULT* result) = 0;
};

class IWindowMaker : public IComponent {
 public:
  // 5: MakeWindowEx(0, 0, null, null, window, sink).
  virtual int32_t MakeWindow(HWND* window, IWindowSink* sink) = 0;
  // 6: creates a window of the instance's class (registered again if it has
  // gone) titled with the class name, at rect (all 0 for null). Returns 1
  // and the handle in *window; 0 when window or sink is null or the
  // platform refuses.
  virtual int32_t MakeWindowEx(uint32_t style, uint32_t exStyle, HWND parent,
                               const WindowRect* rect, HWND* window, IWindowSink* sink) = 0;
  // 7: destroys the windows still alive, forgets them and unregisters the
  // class (kept while windows of another instance still use it).
  virtual void ComponentFinalize() = 0;
};

// ---- Window timer service (795) ----------------------------------------------
//
// Any number of timers per instance, all on one process-wide hidden window
// made on first need by a window maker. Each instance owns its timers: kill
// all and release touch only the calling instance's. Timer ids are distinct
// and never 0.
//
// Thread safety: timers fire on the thread that made the hidden window (the
// first to set a timer), which must pump messages; use every instance on
// that thread.

class IWindowTimerEvent : public ISink {
 public:
  // 1: the timer fired. The sink may kill or set timers, or destroy its
  // instance, from inside the call.
  virtual void OnWindowTimer(uint32_t timerId, uint32_t param) = 0;
};

class IWindowTimerService : public IComponent {
 public:
  // 5: 1 when this instance owns the timer and it was set again with the
  // new period; else 0 and nothing changes.
  virtual int32_t ChangePeriod(uint32_t timerId, uint32_t milliseconds) = 0;
  // 6: starts a repeating timer; returns its id, or 0 when the hidden
  // window cannot be made or the platform refuses.
  virtual uint32_t SetWindowTimer(uint32_t milliseconds, uint32_t param,
                                  IWindowTimerEvent* sink) = 0;
  // 7: stops and forgets the timer when this instance owns it. Returns 1
  // when it did.
  virtual int32_t KillWindowTimer(uint32_t timerId) = 0;
  // 8: stops and forgets every timer of this instance.
  virtual void KillAllTimers() = 0;
  // 9: kill all; when no instance owns a timer any more the hidden window
  // is destroyed (the next set timer makes a new one).
  virtual void Release() = 0;
  // 10: Release.
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio

// Windows, per-thread message queues and timers.
//
// Every thread gets a message queue on first use. A window belongs to the
// thread that created it; messages posted to it wait in that thread's queue
// and its window procedure runs on that thread only (a cross-thread
// SendMessageA waits while the owner thread processes it inside its next
// GetMessageA/PeekMessageA, and meanwhile answers messages sent to the
// waiting thread, so two threads sending to each other do not deadlock).
//
// Thread timers (SetTimer with no window) deliver WM_TIMER on the thread
// that set them, window timers on the window's thread; only when no posted
// message is waiting, at most one pending per timer. A WM_TIMER whose lParam is a
// TIMERPROC is handed to that procedure by DispatchMessageA.
#pragma once

#include "platform/types.h"

typedef struct tagWNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int32_t cbClsExtra;
  int32_t cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  const char* lpszMenuName;
  const char* lpszClassName;
} WNDCLASSA;

typedef struct tagCREATESTRUCTA {
  void* lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int32_t cy;
  int32_t cx;
  int32_t y;
  int32_t x;
  LONG style;
  const char* lpszName;
  const char* lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTA;

// Registers a window class of this process; "static" is always registered
// (its procedure is DefWindowProcA). Returns a non-zero atom, or 0 with
// ERROR_CLASS_ALREADY_EXISTS / ERROR_INVALID_PARAMETER. UnregisterClassA
// fails with ERROR_CLASS_HAS_WINDOWS while windows of the class exist.
GAVIO_PLATFORM_API WORD RegisterClassA(const WNDCLASSA* wc);
GAVIO_PLATFORM_API BOOL UnregisterClassA(const char* className, HINSTANCE instance);

// Creates a window owned by the calling thread. WM_NCCREATE and WM_CREATE
// are sent with a CREATESTRUCTA before it returns; a WM_CREATE result of -1
// destroys the window and returns null.
GAVIO_PLATFORM_API HWND CreateWindowExA(DWORD exStyle, const char* className,
                                        const char* windowName, DWORD style, int32_t x,
                                        int32_t y, int32_t width, int32_t height,
                                        HWND parent, HMENU menu, HINSTANCE instance,
                                        void* param);
// Sends WM_DESTROY and WM_NCDESTROY, kills the window's timers and drops
// messages still queued for it. Only the owner thread may destroy: another
// thread gets ERROR_ACCESS_DENIED.
GAVIO_PLATFORM_API BOOL DestroyWindow(HWND hwnd);
GAVIO_PLATFORM_API BOOL IsWindow(HWND hwnd);
GAVIO_PLATFORM_API DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);
GAVIO_PLATFORM_API int32_t GetWindowTextA(HWND hwnd, char* buffer, int32_t size);
GAVIO_PLATFORM_API BOOL SetWindowTextA(HWND hwnd, const char* text);

// Finds top-level windows by class and title (either may be null = any),
// starting after childAfter (null = from the first). parent must be null.
// Windows of other processes of the same user are included once the
// cross-process facility is built (see ipc.h).
GAVIO_PLATFORM_API HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                                      const char* windowName);
GAVIO_PLATFORM_API HWND FindWindowA(const char* className, const char* windowName);

GAVIO_PLATFORM_API LONG_PTR SetWindowLongPtrA(HWND hwnd, int32_t index, LONG_PTR value);
GAVIO_PLATFORM_API LONG_PTR GetWindowLongPtrA(HWND hwnd, int32_t index);
GAVIO_PLATFORM_API LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam,
                                           LPARAM lParam);
GAVIO_PLATFORM_API LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Posting never blocks. PostMessageA to a null window posts to the calling
// thread's queue. Fails with ERROR_INVALID_WINDOW_HANDLE for a window that
// does not exist.
GAVIO_PLATFORM_API BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
GAVIO_PLATFORM_API BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam,
                                           LPARAM lParam);
GAVIO_PLATFORM_API void PostQuitMessage(int32_t exitCode);

// Calls the window procedure: directly on the owner thread, else through
// the owner's queue, waiting for the answer. Returns 0 when the window does
// not exist or its thread ended before answering.
GAVIO_PLATFORM_API LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// GetMessageA waits for a message; returns 0 on WM_QUIT, -1 on bad input.
// Filters: hwnd null = any window and thread messages, (HWND)-1 = thread
// messages only; min/max 0/0 = all. WM_QUIT passes every filter, once the
// posted messages the filter lets through are taken.
GAVIO_PLATFORM_API BOOL GetMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
GAVIO_PLATFORM_API BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax,
                                     UINT removeFlags);
GAVIO_PLATFORM_API BOOL TranslateMessage(const MSG* msg);
GAVIO_PLATFORM_API LRESULT DispatchMessageA(const MSG* msg);
// Waits until a message arrives in the calling thread's queue (or a socket
// or timer becomes due) or the time passes. Returns TRUE when woken by input.
GAVIO_PLATFORM_API BOOL WaitMessageTimeout(DWORD milliseconds);

// Timers. With hwnd null and an id that is not one of this thread's live
// thread timers, a new process-unique id is returned; with the id of a live
// one, that timer is re-armed and its id returned. With a window, (hwnd, id)
// names the timer and setting it again replaces it. A period of 0 is
// treated as 1 ms. Returns 0 on failure.
GAVIO_PLATFORM_API UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
GAVIO_PLATFORM_API BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Message boxes: the handler is replaceable (a host with a user interface
// installs its own). The default writes the text to the debugger output and
// answers as a non-interactive user would: IDOK, and IDNO to a Yes/No question.
#define MB_OK 0x0u
#define MB_OKCANCEL 0x1u
#define MB_YESNO 0x4u
#define MB_ICONERROR 0x10u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
typedef int32_t (*GavioMessageBoxHandler)(HWND owner, const char* text, const char* caption,
                                          UINT type);
GAVIO_PLATFORM_API int32_t MessageBoxA(HWND owner, const char* text, const char* caption,
                                       UINT type);
GAVIO_PLATFORM_API GavioMessageBoxHandler GavioSetMessageBoxHandler(GavioMessageBoxHandler h);

// Counts for leak checks in tests: live windows and timers of this process.
GAVIO_PLATFORM_API DWORD GavioLiveWindowCount(void);
GAVIO_PLATFORM_API DWORD GavioLiveTimerCount(void);

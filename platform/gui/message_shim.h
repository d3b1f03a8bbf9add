// Private window messages by number: posted or sent to a window object, handled on the main thread.
#pragma once

#include "platform/win_types.h"

#include <functional>
#include <map>
#include <memory>

class QObject;

// The first number free for a program's own messages.
inline constexpr UINT WM_USER = 0x0400;

// The message side of one window. Create, register handlers and destroy it on the main thread;
// senders on other threads must be done before it goes, as with a window handle.
class CMessageShim {
 public:
  using Handler = std::function<LRESULT(WPARAM, LPARAM)>;

  CMessageShim();
  ~CMessageShim();
  CMessageShim(const CMessageShim&) = delete;
  CMessageShim& operator=(const CMessageShim&) = delete;

  // The handler of a message number (replacing an earlier one).
  void OnMessage(UINT msg, Handler handler);

  // Queues the message for the main thread's loop and returns at once; from any thread. A message
  // still queued when the shim goes is dropped.
  BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  // Handles the message on the main thread and returns the handler's result; from another thread
  // it blocks until then. A message without a handler gives 0.
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

 private:
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);

  std::unique_ptr<QObject> context_;  // lives on the main thread; queued calls die with it
  std::map<UINT, Handler> handlers_;
};

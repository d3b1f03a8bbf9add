// Delivering private messages on the main thread, queued or blocking.
#include "platform/gui/message_shim.h"

#include "platform/gui/main_thread.h"

#include <QMetaObject>
#include <QObject>

CMessageShim::CMessageShim() : context_(std::make_unique<QObject>()) {}

CMessageShim::~CMessageShim() = default;

void CMessageShim::OnMessage(UINT msg, Handler handler) {
  handlers_[msg] = std::move(handler);
}

BOOL CMessageShim::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  // The context object as receiver: Qt drops the queued call when it is deleted first.
  const bool queued = QMetaObject::invokeMethod(
      context_.get(), [this, msg, wParam, lParam] { Dispatch(msg, wParam, lParam); }, Qt::QueuedConnection);
  return queued ? TRUE : FALSE;
}

LRESULT CMessageShim::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  CallOnMainThread([&] { result = Dispatch(msg, wParam, lParam); });
  return result;
}

LRESULT CMessageShim::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  const auto it = handlers_.find(msg);
  if (it == handlers_.end() || !it->second) return 0;
  const Handler handler = it->second;  // a copy: the handler may replace itself
  return handler(wParam, lParam);
}

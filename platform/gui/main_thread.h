// Calls from any thread into the main thread, where every window lives.
#pragma once

#include <functional>

// Whether the calling thread is the one that owns the QApplication.
bool IsMainThread();

// Runs fn on the main thread and returns when it has run, as a message sent between threads
// does. On the main thread it runs at once. Needs a QApplication whose loop runs (or that a
// modal dialog pumps); without an application fn runs on the caller's thread.
void CallOnMainThread(const std::function<void()>& fn);

// Runs fn on the main thread later, from its loop, and returns at once.
void PostToMainThread(std::function<void()> fn);

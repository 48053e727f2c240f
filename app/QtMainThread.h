#pragma once
// Binds the library's main-thread call helper to the Qt event loop: the calling thread becomes
// the main thread, queued calls wake the event loop, and a waiting main thread keeps painting.
void BindMainThreadToQt();

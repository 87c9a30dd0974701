#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define ONDARI_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ONDARI_LEAK_CHECKS 1
#endif
#endif

#ifdef ONDARI_LEAK_CHECKS
#include <sanitizer/lsan_interface.h>
#endif

// In a build with AddressSanitizer, looks for leaks now instead of at exit; elsewhere does
// nothing. Called while the application object still exists (as one of its post routines),
// work that waits on a timer, such as a coroutine suspended in a sleep, is still held by the
// event loop; once the loop is gone it would look lost although it ends when its timer fires.
inline void checkLeaksWhileRunning() {
#ifdef ONDARI_LEAK_CHECKS
    __lsan_do_leak_check();
#endif
}

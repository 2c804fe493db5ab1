// Bounds for tests that drive the volume into failures: a per-case watchdog that ends
// the process with the name of the case that hung, and a cap on the address space so
// that an allocation driven by a damaged size fails instead of eating the machine.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace reliability {

namespace detail {
inline char g_caseName[256] = "no case";
inline void onAlarm(int) {
    static const char prefix[] = "\nwatchdog: a case ran too long (a hang or an unbounded loop): ";
    (void)!::write(2, prefix, sizeof prefix - 1);
    (void)!::write(2, g_caseName, std::strlen(g_caseName));
    (void)!::write(2, "\n", 1);
    ::_exit(3);
}
}  // namespace detail

// Arms the watchdog for one case; a new case re-arms it, the destructor disarms it.
class CaseWatchdog {
  public:
    CaseWatchdog(const std::string& name, unsigned seconds) {
        std::snprintf(detail::g_caseName, sizeof detail::g_caseName, "%s", name.c_str());
        struct sigaction sa {};
        sa.sa_handler = detail::onAlarm;
        sigaction(SIGALRM, &sa, nullptr);
        ::alarm(seconds);
    }
    ~CaseWatchdog() { ::alarm(0); }
    CaseWatchdog(const CaseWatchdog&) = delete;
    CaseWatchdog& operator=(const CaseWatchdog&) = delete;
};

#if defined(__SANITIZE_ADDRESS__)
#define VOXTRAIL_RELIABILITY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOXTRAIL_RELIABILITY_ASAN 1
#endif
#endif

// Caps the address space of this test process (not under AddressSanitizer, which
// reserves far more address space than it uses). Returns whether a cap was set.
inline bool capAddressSpace(unsigned long long bytes) {
#ifdef VOXTRAIL_RELIABILITY_ASAN
    (void)bytes;
    return false;
#else
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) != 0) return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= bytes) return true;
    limit.rlim_cur = bytes;
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
#endif
}

}  // namespace reliability

#pragma once

// Helpers the benchmarks that drive a real page share: running the main loop while waiting,
// evaluating a script for its value, waiting for a page variable, a competing CPU load and
// percentiles. Need a display (scripts/with-display.sh).

#include <sys/types.h>
#include <webkit/webkit.h>

#include <functional>
#include <string>
#include <vector>

namespace lumetta::bench {

/// Runs the default main context, blocking between events (a busy loop would steal a core
/// from the web process), until `done` or `seconds` have passed.
void spinUntil(const std::function<bool()>& done, double seconds);

/// Evaluates `script` in `view` and waits for its value as text ("" for none).
std::string evaluate(WebKitWebView* view, const std::string& script);

/// Waits until `window.<variable>` in `view` holds a non-empty value and returns it ("" when
/// `seconds` pass first).
std::string pollValue(WebKitWebView* view, const std::string& variable, double seconds = 120);

/// A child process that keeps one core busy at normal priority for as long as it lives.
class CpuHog {
  public:
    CpuHog();
    ~CpuHog();
    CpuHog(const CpuHog&) = delete;
    CpuHog& operator=(const CpuHog&) = delete;

  private:
    pid_t pid_ = -1;
};

/// The value below which `fraction` (0..1) of `sorted` lies; 0 for an empty list.
double percentile(const std::vector<double>& sorted, double fraction);

}  // namespace lumetta::bench

#include "internal/cache/ThrottleGate.h"

#include <time.h>

#include <mutex>
#include <unordered_map>

#include "internal/base/ForkGeneration.h"

namespace {

// Waits kept at once: far more credentials than a process holds; past it the
// ones that are over are dropped first.
constexpr size_t kMaxKeys = 4096;

struct Gate {
  std::mutex mutex;
  std::unordered_map<std::string, int64_t> until;  // key -> ms
};

// The process's gate, made anew in a forked child.
Gate& ThisProcessGate() {
  static PerProcess<Gate> gate;
  return gate.Get();
}

}  // namespace

namespace ThrottleGate {

std::string Key(const std::string& loginEndpoint, const std::string& tenant,
                const std::string& clientId) {
  return loginEndpoint + '\n' + tenant + '\n' + clientId;
}

int64_t NowMs() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t RemainingMs(const std::string& key, int64_t nowMs) {
  Gate& gate = ThisProcessGate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  const auto it = gate.until.find(key);
  if (it == gate.until.end()) {
    return 0;
  }
  if (it->second <= nowMs) {
    gate.until.erase(it);
    return 0;
  }
  return it->second - nowMs;
}

void Hold(const std::string& key, int64_t untilMs) {
  Gate& gate = ThisProcessGate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  if (gate.until.size() >= kMaxKeys && gate.until.count(key) == 0) {
    const int64_t now = NowMs();
    for (auto it = gate.until.begin(); it != gate.until.end();) {
      it = it->second <= now ? gate.until.erase(it) : std::next(it);
    }
    if (gate.until.size() >= kMaxKeys) {
      gate.until.erase(gate.until.begin());
    }
  }
  int64_t& held = gate.until[key];
  held = std::max(held, untilMs);
}

}  // namespace ThrottleGate

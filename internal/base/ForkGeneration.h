#pragma once

#include <cstdint>

// ForkGeneration: how many forks lie between this process and the one that
// loaded the library: 0 there, and in a child one more than its parent had
// at the fork. State made in one generation (pooled connections, TLS
// sessions, an open database, locks and requests in flight of other
// threads) is not the child's to use: its holders compare the generation
// they were made in with this one and start afresh, leaving the parent's
// state untouched. Reading it is one atomic load.
// Tests: tests/auth/Fork_test.cpp
uint64_t ForkGeneration() noexcept;

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// PerProcess<T>: one T for this process, made on first use and made anew in
// a forked child. The parent's is left as it was and never destroyed there:
// its locks may be held by threads that do not exist in the child, and its
// connections are the parent's to close. Made without a lock, so that no
// lock of the parent's is ever waited on.
template <class T>
class PerProcess {
 public:
  T& Get() {
    const uint64_t generation = ForkGeneration();
    for (;;) {
      Holder* held = m_held.load(std::memory_order_acquire);
      if (held != nullptr && held->generation == generation) {
        return held->object;
      }
      auto* made = new Holder{generation, T()};
      if (m_held.compare_exchange_strong(held, made,
                                         std::memory_order_acq_rel)) {
        return made->object;  // the one before is left alive
      }
      delete made;  // another thread of this process made it first
    }
  }

 private:
  struct Holder {
    uint64_t generation;
    T object;
  };
  std::atomic<Holder*> m_held{nullptr};
};

// PerProcessRegistry<T>: this process's T of each name (a home, a database
// URL), made by make at its first use and kept for the process's life; a
// forked child makes its own (see PerProcess).
template <class T>
class PerProcessRegistry {
 public:
  template <class Make>
  std::shared_ptr<T> Find(const std::string& name, const Make& make) {
    Items& items = m_items.Get();
    std::lock_guard<std::mutex> lock(items.mutex);
    std::shared_ptr<T>& item = items.byName[name];
    if (item == nullptr) {
      item = make();
    }
    return item;
  }

 private:
  struct Items {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<T>> byName;
  };
  PerProcess<Items> m_items;
};

#include "platform/EvEvent.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "internal/base/StringFormat.h"
#include "internal/text/Redact.h"
#include "platform/TQPlatformInfo.h"
#include "platform/auto_handle.h"
#include "platform/internal/TqHome.h"

namespace {

constexpr int kNoOverride = -1;
std::atomic<int> g_thresholdOverride{kNoOverride};
std::atomic<int> g_destinationOverride{kNoOverride};

std::string UtcTimestamp() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm utc{};
  gmtime_r(&ts.tv_sec, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec, ts.tv_nsec / 1000000L);
  return text;
}

bool WriteAll(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Appends to the log file, creating the home and logs folders (0700) and the
// file (0600) when missing. False when any of it fails or TqHome refuses it.
bool AppendToLogFile(const std::string& line) {
  const TqHome home;
  auto_handle fd;
  return !home.MakeFolder(home.LogsFolder()).IsError() &&
         !home.OpenFile(home.LogFile(), TqHome::FileKind::kLog,
                        O_WRONLY | O_APPEND | O_CREAT, 0600, fd)
              .IsError() &&
         WriteAll(fd.get(), line);
}

}  // namespace

EvDebug::EvDebug() = default;

void EvDebug::ReadSettings() const {
  TQPlatformInfo info;
  unsigned int level = 0;
  if (info.getNumber("Log", "Level", &level) != 0) {
    m_threshold = static_cast<int>(level);
  }
  std::string destination;
  if (info.getString("Log", "Destination", destination) &&
      destination == "stderr") {
    m_destination = EvLogDestination::Stderr;
  }
}

bool EvDebug::IsLogged(int level) const noexcept {
  const int over = g_thresholdOverride.load(std::memory_order_relaxed);
  if (over != kNoOverride) {
    return level <= over;
  }
  try {
    std::call_once(m_read, [this] { ReadSettings(); });
  } catch (...) {
    // settings that cannot be read leave the defaults
  }
  return level <= m_threshold;
}

void EvDebug::DebugLvl(const char* function, int level, const char* format,
                       ...) {
  if (!IsLogged(level)) {
    return;
  }
  va_list ap;
  va_start(ap, format);
  const std::string message = StringPrintfV(format, ap);
  va_end(ap);

  const std::string line =
      StringPrintf("%s [%ld] L%d %s: ", UtcTimestamp().c_str(),
                   static_cast<long>(::getpid()), level,
                   function != nullptr ? function : "?") +
      // One record, one line: a reply text must not forge log lines.
      EscapeControls(message, LineBreaks::kEscape) + "\n";

  try {
    std::call_once(m_read, [this] { ReadSettings(); });
  } catch (...) {
    // settings that cannot be read leave the defaults
  }
  const int over = g_destinationOverride.load(std::memory_order_relaxed);
  const EvLogDestination destination =
      over != kNoOverride ? static_cast<EvLogDestination>(over) : m_destination;
  if (destination == EvLogDestination::File && AppendToLogFile(line)) {
    return;
  }
  // Standard error is the destination of last resort: a line is never lost
  // silently because the home folder is not writable.
  WriteAll(STDERR_FILENO, line);
}

void EvDebug::SetThresholdOverride(int level) noexcept {
  g_thresholdOverride.store(level < 0 ? kNoOverride : level);
}

void EvDebug::SetDestinationOverride(EvLogDestination destination) noexcept {
  g_destinationOverride.store(static_cast<int>(destination));
}

void EvDebug::ClearOverrides() noexcept {
  g_thresholdOverride.store(kNoOverride);
  g_destinationOverride.store(kNoOverride);
}

std::string EvDebug::LogFilePath() { return TqHome().LogFile(); }

#pragma once

#include <mutex>
#include <string>

#include "platform/TQExport.h"

// Where debug-log lines go.
enum class EvLogDestination {
  File,    // $TQ_HOME/logs/tqcloudauth.log (the default)
  Stderr,  // standard error
};

// EvDebug: the debug log. A line is written when its level is at or below the
// threshold (kCritical 1 ... kFailure 3, the default ... kDetail 5). Threshold
// and destination come from [Log] Level / Destination in tqcloudauth.ini,
// read at the object's first use (a provider that never logs never reads
// them); the process-wide overrides win. Threads may share an object.
// Lines are "<UTC time> [<pid>] L<level> <function>: <message>", with control
// characters escaped so that one call writes exactly one line. Callers pass
// no secret: request bodies go through RedactFormBody first.
// Tests: tests/platform/EvEvent_test.cpp
class TQ_EXPORT EvDebug {
 public:
  EvDebug();

  void DebugLvl(const char* function, int level, const char* format, ...)
      TQ_PRINTF_FORMAT(4, 5);

  // True when a line of this level would be written.
  bool IsLogged(int level) const noexcept;

  // Process-wide overrides; a negative threshold or ClearOverrides() returns
  // to the configured values.
  static void SetThresholdOverride(int level) noexcept;
  static void SetDestinationOverride(EvLogDestination destination) noexcept;
  static void ClearOverrides() noexcept;

  // The log file under the current home directory.
  static std::string LogFilePath();

  // Levels, as [Log] Level counts them.
  static constexpr int kCritical = 1;
  static constexpr int kWarning = 2;  // a setting ignored, a fallback used
  static constexpr int kFailure = 3;  // a failed request
  static constexpr int kInfo = 4;
  static constexpr int kDetail = 5;
  static constexpr int kDefaultThreshold = kFailure;

 private:
  void ReadSettings() const;  // once, at first use

  mutable std::once_flag m_read;
  mutable int m_threshold = kDefaultThreshold;
  mutable EvLogDestination m_destination = EvLogDestination::File;
};

// The log object each library object owns.
class TQ_EXPORT EvEvent : public EvDebug {};

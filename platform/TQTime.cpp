#include "platform/TQTime.h"

tm* TQ_localtime(const time_t* value, tm* out) {
  if (value == nullptr || out == nullptr) {
    return nullptr;
  }
  return localtime_r(value, out);
}

tm* TQ_gmtime(const time_t* value, tm* out) {
  if (value == nullptr || out == nullptr) {
    return nullptr;
  }
  return gmtime_r(value, out);
}

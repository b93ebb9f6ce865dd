#pragma once

#include <map>
#include <string>

namespace tqtest {

// A fresh directory under the temporary folder, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// Points TQ_HOME at a fresh directory for the object's life and restores the
// previous value afterwards.
class ScopedTqHome {
 public:
  ScopedTqHome();
  ~ScopedTqHome();
  ScopedTqHome(const ScopedTqHome&) = delete;
  ScopedTqHome& operator=(const ScopedTqHome&) = delete;

  const std::string& path() const { return m_dir.path(); }
  // Writes tqcloudauth.ini with this content.
  void WriteConfig(const std::string& ini) const;
  std::string LogText() const;

 private:
  TempDir m_dir;
  bool m_hadPrevious = false;
  std::string m_previous;
};

// Every file and folder under root (root itself included, "logs" left out)
// by relative path: its type, mode and bytes. Two equal snapshots mean
// nothing stored was touched.
std::map<std::string, std::string> SnapshotTree(const std::string& root);

}  // namespace tqtest

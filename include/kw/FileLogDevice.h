// FileLogDevice: the trace device that appends to the shared trace file.
#pragma once

#include <kw/LogDevice.h>

#include <string>

namespace kw {

// A trace device appending each event, with its header, to one UTF-16LE
// file. The file is opened and closed for every event, so it is never held
// between events and the processes of one application share it under the
// logger's lock.
class KW_API FileLogDevice : public LogDevice {
 public:
  FileLogDevice() = default;

  // Null keeps the path; an empty one switches writing off.
  void SetLogFilePath(const wchar_t* path);

  void Setup() override {}
  // Appends the event's line, header included, to the trace file.
  void Write(Event& event) override;
  void ShutDown() override {}

 private:
  // Null when the file cannot be opened (on Windows also while another writer
  // holds it). The path by reference: a copy would be one allocation per event.
  HANDLE OpenTraceFile(const std::wstring& path);
  void WriteToTraceFile(HANDLE file, const wchar_t* text);
  void CloseTraceFile(HANDLE file);

  std::wstring m_strLogFilePath;
};

}  // namespace kw

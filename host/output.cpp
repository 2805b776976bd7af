// Win32-only: orbhost's output streams.
#include "output.h"

#include "support/win32.h"

#include <fcntl.h>
#include <io.h>

#include "utf.h"

namespace orbhost {

void LineWriter::WriteLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const int chunk = left > 0x40000000 ? 0x40000000 : static_cast<int>(left);
    const int written = _write(fd_, p, static_cast<unsigned>(chunk));
    if (written <= 0) return;
    p += written;
    left -= static_cast<size_t>(written);
  }
}

int DivertStandardOutput(FILE* target) {
  fflush(stdout);
  const int original = _dup(_fileno(stdout));
  if (original >= 0) _setmode(original, _O_BINARY);
  // fd 1 becomes a copy of the target's descriptor; the C runtime also
  // updates STD_OUTPUT_HANDLE for the standard descriptors, and SetStdHandle
  // makes sure of it for code that writes through the Win32 handle.
  const int fd = _fileno(target != nullptr ? target : stderr);
  _dup2(fd, _fileno(stdout));
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
  return original;
}

void LogSink::Write(uint32_t level, std::u16string_view text) {
  if (!Wants(level)) return;
  std::string line = "[" + std::to_string(level) + "] " + Utf16ToUtf8(text) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  FILE* out = file_ ? file_.get() : stderr;
  fwrite(line.data(), 1, line.size(), out);
  fflush(out);
  RotateIfFull();
}

void LogSink::RotateIfFull() {
  if (maxBytes_ <= 0 || !file_ || path_.empty() || ftell(file_.get()) < maxBytes_) return;
  file_.reset();
  MoveFileExW(path_.c_str(), (path_ + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
  file_.reset(_wfopen(path_.c_str(), L"ab"));
}

}  // namespace orbhost

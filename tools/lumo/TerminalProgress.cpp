#include "TerminalProgress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace lumo::cli {
namespace {

void writeErr(const std::string& text) {
  [[maybe_unused]] auto n = ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

TerminalProgress::TerminalProgress(bool terminal, bool quiet,
                                   std::function<std::int64_t()> totalBytes)
    : terminal_(terminal), quiet_(quiet), totalBytes_(std::move(totalBytes)) {}

std::string TerminalProgress::formatBytes(double bytes) {
  char text[32];
  if (bytes >= 1e6) {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  } else if (bytes >= 1e3) {
    std::snprintf(text, sizeof text, "%.0f KB", bytes / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  }
  return text;
}

void TerminalProgress::updateProgress(double progress) {
  std::lock_guard lock(mu_);
  draw(std::clamp(progress, 0.0, 1.0));
}

void TerminalProgress::finish(bool complete) {
  std::lock_guard lock(mu_);
  if (complete && (drawn_ || lastDecile_ >= 0)) {
    lastDraw_ = {};
    draw(1.0);
  }
  if (terminal_ && drawn_) writeErr("\n");
  drawn_ = false;
}

void TerminalProgress::printLine(const std::string& line) {
  if (quiet_ && line.rfind("error:", 0) != 0) return;
  std::lock_guard lock(mu_);
  if (terminal_ && drawn_) {
    writeErr("\r\033[K" + line + "\n" + line_);
  } else {
    writeErr(line + "\n");
  }
}

void TerminalProgress::draw(double progress) {
  if (quiet_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!drawn_ && lastDecile_ < 0) started_ = now;
  const int percent = static_cast<int>(std::floor(progress * 100));
  if (!terminal_) {
    const int decile = percent / 10;
    if (decile <= lastDecile_) return;
    lastDecile_ = decile;
    writeErr("progress: " + std::to_string(decile * 10) + "%\n");
    return;
  }
  // Redrawing more than ~20 times a second only costs the terminal.
  if (drawn_ && progress < 1.0 && now - lastDraw_ < std::chrono::milliseconds(50)) return;
  lastDraw_ = now;
  const double total = static_cast<double>(totalBytes_ ? totalBytes_() : 0);
  const double sent = total * progress;
  const double seconds = std::chrono::duration<double>(now - started_).count();
  if (progress < 1.0 || lastSpeed_ <= 0) lastSpeed_ = seconds > 0.05 ? sent / seconds : 0;
  const double speed = lastSpeed_;
  std::string line = "\r\033[KUploading " + std::to_string(percent) + "%";
  if (total > 0) line += "  " + formatBytes(sent) + " / " + formatBytes(total);
  if (speed > 0) {
    line += "  " + formatBytes(speed) + "/s";
    if (progress < 1.0) {
      const int left = static_cast<int>(std::ceil((total - sent) / speed));
      char eta[32];
      std::snprintf(eta, sizeof eta, "  %d:%02d left", left / 60, left % 60);
      line += eta;
    }
  }
  line_ = line;
  writeErr(line);
  drawn_ = true;
}

}  // namespace lumo::cli

#pragma once

#include <optional>

#include "Host.h"
#include "Output.h"

// The commands that make captures on the desktop and share them: `lumo capture`, `lumo record`
// and `lumo paste`. Each writes its results to `output` and returns the exit status: 0, 1 for
// a failure, 130 when Ctrl-C or a cancelled selection ended it. Main thread only.
namespace lumo::cli {

struct CaptureOptions {
  enum class Area { screen, region, window };
  Area area = Area::screen;
  double delaySeconds = 0;
  bool share = true;
};

// Takes a screenshot with the first back-end that fits the session (the desktop portal, grim,
// maim, import), saves it as a new capture and shares it.
int capture(Output& output, Host& host, const CaptureOptions& options);

struct RecordOptions {
  bool region = false;
  // Without it, the recording runs until Ctrl-C or SIGTERM.
  std::optional<double> seconds;
};

// Records a screencast (ffmpeg's x11grab, or wf-recorder) into a new capture and shares it.
int record(Output& output, Host& host, const RecordOptions& options);

// Shares what the clipboard holds: an image becomes a new screenshot capture, a list of files
// is shared as it is.
int paste(Output& output, Host& host);

}  // namespace lumo::cli

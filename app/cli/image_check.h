// Whether the image read may be written: its SHA-256 among the approved
// (--sha256, --approved), and its minisign signature verified by a
// trusted key (--key, --signature) over the very bytes read. Checked once,
// before any unit is touched; a refused image is written to no unit.
#pragma once

#include <string>

#include "app/cli/options.h"
#include "app/cli/output.h"

namespace tovrix::cli {

struct ImageCheck {
  ImageTrust trust;    // for the image's statement
  bool refused = false;
  std::string reason;  // refused: why, for standard error and the error event
  std::string brief;   // ... and in short, for the station's board
};

// Checks bytes (the image read from path, its SHA-256 sha256) against what
// options ask of it; nothing is checked, and nothing refused, where they
// ask nothing.
ImageCheck CheckImage(const FlashOptions& options, const std::string& path, const std::string& bytes,
                      const std::string& sha256);

}  // namespace tovrix::cli

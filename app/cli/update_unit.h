// The update of one unit, as the window runs it: the session with a shell
// of the command line's, the reports written watched for the progress and
// for the first that failed, and what the end means for the unit. And the
// image that every unit is given, read once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/flash_io.h"
#include "app/cli/output.h"
#include "app/cli/units.h"
#include "app/image_file.h"

namespace tovrix::cli {

// One unit's update, limited to the interface only (empty: the first unit
// found); seen is the listing that found it (for the unit's port). Returns
// the exit status for that unit. Station runs call it on each unit's
// thread, with that thread's hid and report.
// How the update of a unit went, for its record.
struct UnitEnd {
  FailureCode code = FailureCode::None;
  Phases phases;
  std::string path;  // the unit's interface path, once the search found it
};

// end, when given, gets how it went.
int UpdateUnit(const FlashOptions& options, FlashIo& io, HidApi& hid, Report& report, const std::string& only,
               const std::vector<ListedInterface>& seen, const std::function<bool()>& stopRequested,
               UnitEnd* end = nullptr);

// The image read once, for every unit.
struct ImageRead {
  std::shared_ptr<const ImageBytes> image;
  std::string sha256;  // its digest, when it could be read
  // Read, but not approved or not signed as options ask (image_check.h):
  // said why, and no unit may be touched. refusedBrief: why, in short.
  bool refused = false;
  std::string refusedBrief;
};

// Reads the image of options whole, once, checks it as options ask and
// states it (Report::Image) when it could be read; a refusal is said as an
// error after that.
ImageRead ReadImage(const FlashOptions& options, Report& report);

}  // namespace tovrix::cli

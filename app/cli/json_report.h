// tovrix-flash's report in JSON Lines (output.h): one object per event on
// standard output.
#pragma once

#include <iosfwd>
#include <memory>

#include "app/cli/output.h"

namespace tovrix::cli {

std::unique_ptr<Report> MakeJsonReport(const ReportSettings& settings, std::ostream& out);

}  // namespace tovrix::cli
